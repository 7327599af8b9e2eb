// One call as the system keeps it: the 583-byte call record, its states and
// the fixed-size text fields inside it.
//
// On-disk and on-wire layout (little-endian, no padding). The in-memory struct
// below is NOT that layout; encodeCallRecord/decodeCallRecord convert.
//
//   offset size field
//     0     4  id (0 marks an empty slot)
//     4    16  arrival, local: year, month, day of week, day, hour, minute,
//              second, milliseconds (u16 each)
//    20     4  arrival, seconds since 1901-01-01 00:00 UTC (u32)
//    24     4  reserved, 0
//    28     4  state (CallState)
//    32     4  flags: bit 0 hidden, bit 1 number restricted, bits 16-31 MSN
//              index (0xFFFF none)
//    36     2  CIP value
//    38     2  reserved, 0
//    40     2  count (seconds or pages)
//    42     2  disconnect reason
//    44    25  caller number      69  50 caller name
//   119    25  called number     144  50 called name
//   194   129  comment           323 260 path of the call's file
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace orvelin::client {

inline constexpr std::size_t kCallRecordSize = 583;

enum class CallState : std::uint32_t {
    Shown = 0,
    Rejected = 1,
    Echoed = 2,
    Answered = 3,
    VoiceMessage = 4,
    BrokenFax = 5,
    Fax = 6,
    ReadVoiceMessage = 7,
    ViewedFaxMessage = 8,
    AnsweredByPhone = 9,
    Sms = 10,
    ReadSms = 11,
};
inline constexpr std::uint32_t kCallStateCount = 12;

// A state read from a file or a peer may be any 32-bit value; only the twelve
// known ones have a name, an image or a count rule.
inline bool isKnownCallState(std::uint32_t state) {
    return state < kCallStateCount;
}

// The display name; "" for state 0 and for unknown values.
std::string_view callStateName(std::uint32_t state);

// The platform's local date-time record, in its field order.
struct LocalDateTime {
    std::uint16_t year = 0;
    std::uint16_t month = 0;
    std::uint16_t dayOfWeek = 0;  // 0 = Sunday
    std::uint16_t day = 0;
    std::uint16_t hour = 0;
    std::uint16_t minute = 0;
    std::uint16_t second = 0;
    std::uint16_t milliseconds = 0;
};

// Seconds from 1901-01-01 to 1970-01-01 (69 years, 17 leap days).
inline constexpr std::uint32_t kSeconds1901To1970 = 2177452800u;

struct ArrivalTime {
    LocalDateTime local;
    std::uint32_t seconds1901 = 0;  // wraps after 2037-02-06 06:28:15 UTC
};

// The arrival time of a call taking place at `when`, in the process's time zone.
ArrivalTime makeArrivalTime(std::chrono::system_clock::time_point when);

// Fixed-size, zero-terminated text field. The terminator always fits:
// at most N - 1 bytes of text, never cut inside a UTF-8 sequence.
template <std::size_t N>
struct TextField {
    std::array<char, N> bytes{};

    std::string_view view() const {
        std::size_t n = 0;
        while (n < N && bytes[n] != '\0') ++n;
        return {bytes.data(), n};
    }
    bool empty() const { return bytes[0] == '\0'; }
    // Stores as much of `text` as fits; returns false when it was cut.
    bool assign(std::string_view text);
    static constexpr std::size_t capacity() { return N; }
};

// Length of the longest prefix of `text` of at most maxBytes bytes that does
// not end inside a UTF-8 sequence.
std::size_t utf8PrefixLength(std::string_view text, std::size_t maxBytes);

template <std::size_t N>
bool TextField<N>::assign(std::string_view text) {
    const std::size_t whole = text.size();
    // An embedded NUL would end the text early on the other side anyway.
    text = text.substr(0, text.find('\0'));
    const std::size_t n = utf8PrefixLength(text, N - 1);
    bytes.fill('\0');
    for (std::size_t i = 0; i < n; ++i) bytes[i] = text[i];
    return n == whole;
}

inline constexpr std::uint32_t kFlagHidden = 1u << 0;
inline constexpr std::uint32_t kFlagRestricted = 1u << 1;
inline constexpr std::uint16_t kNoMsnIndex = 0xFFFF;

struct TCallRecord {
    std::uint32_t id = 0;
    LocalDateTime arrival;
    std::uint32_t arrivalSeconds = 0;  // since 1901, UTC
    std::uint32_t reserved24 = 0;
    std::uint32_t state = 0;  // CallState; kept raw because loaded values may be unknown
    std::uint32_t flags = 0;
    std::uint16_t cip = 0;
    std::uint16_t reserved38 = 0;
    std::uint16_t count = 0;
    std::uint16_t reason = 0;
    TextField<25> callerNumber;
    TextField<50> callerName;
    TextField<25> calledNumber;
    TextField<50> calledName;
    TextField<129> comment;
    TextField<260> filePath;

    bool inUse() const { return id != 0; }
    bool hidden() const { return (flags & kFlagHidden) != 0; }
    bool restricted() const { return (flags & kFlagRestricted) != 0; }
    std::uint16_t msnIndex() const { return static_cast<std::uint16_t>(flags >> 16); }
    void setMsnIndex(std::uint16_t index) {
        flags = (flags & 0xFFFFu) | (static_cast<std::uint32_t>(index) << 16);
    }
    void setState(CallState s) { state = static_cast<std::uint32_t>(s); }
};

using CallRecordBytes = std::array<std::uint8_t, kCallRecordSize>;

void encodeCallRecord(const TCallRecord& record, std::span<std::uint8_t, kCallRecordSize> out);
CallRecordBytes encodeCallRecord(const TCallRecord& record);

// Decodes bytes from a file or a peer. Every text field comes back terminated
// within its size (cut at a UTF-8 boundary when it was not) with zeros after
// the terminator; numbers are taken as they are.
TCallRecord decodeCallRecord(std::span<const std::uint8_t, kCallRecordSize> in);

}  // namespace orvelin::client
