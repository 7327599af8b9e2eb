// The CAPI error log and the texts of CAPI 2.0 Info, Reason, command and subcommand values.
#pragma once

#include <cstdint>
#include <string>

namespace capi {

// Appends "YYYY.MM.DD hh:mm:ss.mmm text" (local time) to the CAPI log, opening and closing
// the file for each line; a line that cannot be written is dropped. Any thread may call it.
void WriteCapiLog(const std::string& text);
// printf-style convenience for the fixed log texts.
void WriteCapiLogf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The log file; "capilog.txt" in the program directory unless set. Empty: no log.
void SetCapiLogPath(const std::string& path);
std::string CapiLogPath();

// Text of a CAPI Info or Reason value; "No additional information" for unknown values.
const char* Decode_Info(unsigned value);
// CAPI names of a command and a subcommand byte (low 8 bits only).
const char* Decode_Command(unsigned command);
const char* Decode_Sub(unsigned subcommand);

}  // namespace capi
