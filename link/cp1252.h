// Windows-1252 at the instance-link wire; the program's own text is UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace orvelin::link {

// UTF-8 to Windows-1252. Characters the code page lacks, and bytes that are not valid
// UTF-8, become '?'.
std::string utf8ToCp1252(std::string_view utf8);

// Windows-1252 to UTF-8. The five bytes the code page leaves undefined become '?'.
std::string cp1252ToUtf8(std::string_view cp1252);

}  // namespace orvelin::link
