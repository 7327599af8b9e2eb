// The subscriber's line numbers (MSNs) and their per-line behaviour, from the key
// "SOFTWARE\ORVELIN\MSN". These are the numbers of controller 1; keys the number dialog may
// write for further controllers ("MSN2", ...) are not read.
//
// The table is loaded on the window thread and read on others (the playback thread filters
// the call list by it). It is published as an immutable snapshot: a reload builds a new table
// and swaps it in, so a reader holds either the old table or the new one, never a mix.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace orvelin::settings {

inline constexpr std::string_view kMSNKey = "SOFTWARE\\ORVELIN\\MSN";
inline constexpr int kMSNCount = 10;
inline constexpr std::size_t kMSNNumberBytes = 14;  // 13 bytes of text and the terminator
inline constexpr std::size_t kMSNNameBytes = 25;    // 24 bytes of text and the terminator

// A stored 2-byte mask, little-endian: bit i stands for MSN i+1, so MSNs 9 and 10 are bits 0
// and 1 of the second byte.
struct MSNFlagMask {
    std::uint16_t bits = 0;

    // Nothing unless exactly two bytes are given.
    static std::optional<MSNFlagMask> FromBytes(std::span<const std::uint8_t> bytes);
    std::array<std::uint8_t, 2> toBytes() const {
        return {static_cast<std::uint8_t>(bits & 0xFF), static_cast<std::uint8_t>(bits >> 8)};
    }
    // False for an index outside 0..9.
    bool has(int index) const;
};

struct MSNEntry {
    std::string number;  // at most 13 bytes
    std::string name;    // at most 24 bytes
    bool fax = false;
    bool log = false;
    bool popup = false;
    bool answer = false;
};

class MSNTable {
  public:
    std::array<MSNEntry, kMSNCount> entries{};

    // The entry of an MSN index, null outside 0..9.
    const MSNEntry* entry(int index) const;
    // The first index whose number equals `number` exactly; -1 for an empty text or none.
    int findIndex(std::string_view number) const;
};

// Builds a table from the hive. A mask that is missing or not exactly two bytes clears its
// flags; a missing number or name is empty; a number longer than 13 bytes is taken as empty
// (with a log line) so it cannot match calls; a longer name is cut at a character boundary.
// Fax flags are set only when `faxCapable` (a controller offers fax).
MSNTable ReadMSNTable(bool faxCapable);

// Rebuilds the published table from the hive. Called on the window thread at start-up, after
// the number dialog and when the MSN settings changed.
void LoadMSNSettings(bool faxCapable);
void ReloadMSNSettings(bool faxCapable);

// The published table; empty (no MSN, all flags clear) until the first load. Hold the pointer
// to read several entries consistently.
std::shared_ptr<const MSNTable> CurrentMSNTable();

// Readers of the published table. An index outside 0..9 gives false or "".
int FindMSNIndex(std::string_view number);
bool IsFaxMSN(int index);
bool IsLogMSN(int index);
bool IsPopupMSN(int index);
bool IsAnswerMSN(int index);
std::string GetMSNNumber(int index);
std::string GetMSNName(int index);

}  // namespace orvelin::settings
