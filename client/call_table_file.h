// The call-table file: the ring's head index (u32 LE) followed by every
// record of the ring, exactly 4 + size x 583 bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/call_ring.h"

namespace orvelin::client {

inline constexpr std::string_view kCallTableFileName = "ORVELIN.DAT";

// The call-table file in the program directory.
std::filesystem::path callTablePath(std::string_view programDir);

using LogLine = std::function<void(std::string_view)>;

// Loads the file into `ring`. Returns false only when the file cannot be
// opened (the caller then writes a fresh one). A file that is not a regular
// file of exactly the ring's size, or whose head index is out of range, leaves
// the ring empty and logs why. Loaded text fields are terminated; states and
// other numbers are kept as they are.
bool loadCallTable(const std::filesystem::path& file, CallRing& ring, const LogLine& log);
// The same; when the file was taken, `image` gets the ring's file image (equal to
// ring.snapshot()), else it is left empty.
bool loadCallTable(const std::filesystem::path& file, CallRing& ring, const LogLine& log,
                   std::vector<std::uint8_t>& image);

// Writes a whole file image to a temporary file beside `file`, flushes it to
// disk and renames it over `file`, so a reader sees the old file or the new
// one, never a mix, and the length is always that of the image.
// On failure the old file is untouched and `error` says why.
bool writeCallTable(const std::filesystem::path& file, std::span<const std::uint8_t> image,
                    std::string* error);

}  // namespace orvelin::client
