// Windows-1252, the code page of the instance-link wire and of tables other programs write;
// the program's own text is UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// UTF-8 to Windows-1252. Characters the code page lacks, and bytes that are not valid
// UTF-8, become '?'.
std::string utf8ToCp1252(std::string_view utf8);

// Windows-1252 to UTF-8. The five bytes the code page leaves undefined become '?'.
std::string cp1252ToUtf8(std::string_view cp1252);

}  // namespace platform
