// The access rules of the instance link: "orvelin.ini", one section per peer address.
//
//   [192.168.1.20]
//   Fields=1
//   Enabled=0
//
// Section and key names are matched without regard to case; ';' and '#' start comment
// lines. The file is hand-edited, so anything malformed is read as absent: a number
// is its leading optional sign and digits (no digits: 0), and a file over 1 MiB counts
// as no file. The file is read again at every admission.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvelin::link {

inline constexpr const char* kProfileFileName = "orvelin.ini";

// The first directory (each ending with '/' or not) holding the file; nullopt when none.
std::optional<std::string> findProfileFile(const std::vector<std::string>& directories);
// The program directory, then /etc/orvelin/.
std::vector<std::string> defaultProfileDirectories();

// The integer of `key` in `section`, or `fallback` when the file, the section or the
// key is missing.
int readProfileInt(const std::optional<std::string>& file, std::string_view section,
                   std::string_view key, int fallback);

// The same from the text of a file.
int profileIntFromText(std::string_view text, std::string_view section, std::string_view key,
                       int fallback);

}  // namespace orvelin::link
