// The text call log: one line per call of a logged MSN, appended to
// "orvelin.txt" in the program directory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "client/call_record.h"

namespace orvelin::client {

inline constexpr std::string_view kTextLogFileName = "orvelin.txt";

// The text log in the program directory.
std::filesystem::path textLogPath(std::string_view programDir);

// The log line of `record` with `count` (the count handed over when the call
// ended, not necessarily the record's), ending in "\r\n". Control characters
// in the texts (which may come from the network) become blanks so that a
// line stays one line with its tab-separated columns.
std::string formatTextLogLine(const TCallRecord& record, std::uint16_t count);

// Appends `line` (one or more lines) at the end of the file, creating it when missing.
// Returns false when the file cannot be opened or not all of it written; `written` then
// tells how many bytes of it are in the file and `error` why the rest is not.
bool appendTextLogLine(const std::filesystem::path& file, std::string_view line,
                       std::size_t* written = nullptr, std::string* error = nullptr);

}  // namespace orvelin::client
