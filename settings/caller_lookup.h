// Known callers: the keys under SOFTWARE\ORVELIN\Callers, the caller rule in
// their "Reject" value, and the lookup that names a caller and fetches how
// calls from that number are handled.
//
// A key is named after the caller's number; a trailing '?' stands for any one
// character. The pseudo-callers "Restricted" (number withheld), "Unknown" (no
// number) and "Unlisted" (no key matched) hold the handling of their case.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "settings/settings_store.h"

namespace platform {
class Hive;
class RegNode;
}  // namespace platform

namespace orvelin::settings {

inline constexpr std::string_view kRestrictedKey = "Restricted";
inline constexpr std::string_view kUnknownKey = "Unknown";
inline constexpr std::string_view kUnlistedKey = "Unlisted";

// Bits 28-30 of "Reject". Values 6 and 7 can be stored but mean nothing.
enum class CallerMode : std::uint32_t {
    Normal = 0,
    RejectInPeriod = 1,
    RejectAlways = 2,
    AnswerInPeriod = 3,
    AnswerAlways = 4,
    NeverAnswer = 5,
};

// "Normal action" ... "Never answer"; "" for 6 and 7.
std::string_view callerModeName(std::uint32_t mode);

// The "Reject" value taken apart.
struct CallerSettings {
    std::uint32_t periodStart = 0;  // hhmm, bits 0-15
    std::uint32_t periodEnd = 0;    // hhmm, bits 16-27
    std::uint32_t mode = 0;         // bits 28-30, see CallerMode
    bool noFax = false;             // bit 31

    static CallerSettings decode(std::uint32_t reject);
    std::uint32_t encode() const;

    // Mode 2, or mode 1 with the minute inside the period.
    bool rejectsAt(int minuteOfDay) const;
    // Mode 4, or mode 3 with the minute inside the period.
    bool answersAt(int minuteOfDay) const;
};

// hhmm (2230 = 22:30) as minutes after midnight. Minutes above 59 are kept as
// they are counted (0160 is 100 minutes), so hand-edited values stay ordered.
int hhmmToMinutes(std::uint32_t hhmm);

// Whether `minuteOfDay` (hour x 60 + minute) lies in the period from `start`
// to `end` (both hhmm). start < end covers start <= t < end; otherwise the
// period wraps midnight and covers t >= start or t < end, so equal limits
// cover the whole day.
bool inTimePeriod(std::uint32_t startHhmm, std::uint32_t endHhmm, int minuteOfDay);

// Whether "Passthrough" (line numbers separated by ';') lists `line`.
bool passthroughListsLine(std::string_view passthrough, int line);

// What a caller's key says about starting a program.
struct CallerLaunch {
    bool launch = false;          // "Launch" present and not 0
    std::uint8_t launchLine = 0;  // 255 all lines, else bit (line - 1)
    std::uint32_t launchCip = 0;  // bit v for CIP value v
    std::string atCall, atCallParam, atClear, atClearParam;
    std::uint32_t waitAtCall = 0, waitAtClear = 0;  // milliseconds
};

// A caller found in the phone-book table (searched only when no key matched).
struct PhoneBookEntry {
    std::string name;          // as stored, trailing blanks included
    std::int64_t reject = 0;   // "REJECT"; the low 32 bits are the rule
    bool rejectFax = false;    // "REJECTFAX" = 'T'
    bool personalMsg = false;  // "PRIVMSG" = 'T'
    bool rejectMsg = false;    // "REJECTMSG" = 'T'
};
// Seeks a caller number in the phone book; nullopt when not found or when no
// table is open.
using PhoneBookSearch = std::function<std::optional<PhoneBookEntry>(std::string_view number)>;

struct CallerLookup {
    std::string name;        // at most 49 bytes, whole UTF-8 characters
    std::string matchedKey;  // the key that matched, or "Unlisted"
    bool unlisted = false;   // no key matched (the phone book may still name the caller)
    std::uint32_t rule = 0;  // "Reject", 0 when lifted by "Passthrough"
    bool personalMsg = false;
    bool noVoiceMessage = false;
    bool fromPhoneBook = false;   // the phone book named the caller
    bool phoneBookNoFax = false;  // "REJECTFAX" of a phone-book entry
    CallerLaunch launch;

    CallerSettings settings() const { return CallerSettings::decode(rule); }
    // A phone-book entry says "no fax" in REJECTFAX alone; bit 31 of the rule is
    // the registry's.
    bool noFax() const { return phoneBookNoFax || (!fromPhoneBook && settings().noFax); }
};

// A caller name as the call record holds it: at most 49 bytes, cut only between
// whole UTF-8 characters.
std::string callerNameText(std::string_view name);

// A small number stored as a DWORD or as one binary byte ("PersonalMsg", "Launch"),
// judged by the data size rather than the declared type; nullopt when missing or of
// another size.
std::optional<std::uint32_t> callerNumberValue(const platform::RegNode& key, std::string_view name);

// The text a number is looked up under: the number itself, or "Restricted"
// or "Unknown" when it is empty.
std::string callerKeyText(std::string_view number, bool restricted);

// Whether a lookup text can name a key under "Callers" without reaching
// another key: no '\\' or '/', no control character or NUL, no leading '.'.
bool isSafeCallerKey(std::string_view keyText);

// The caller's own greeting: "<programDir>Answer/<key>.wav", the key passed
// through the file-key mapping ('?' and path characters become '_'), so a
// wildcard key names a file and no key can name one outside the folder.
std::string personalGreetingPath(std::string_view programDir, std::string_view matchedKey);

// Looks a caller up in `callers` (the "Callers" key; null when it is
// missing). `line` is the call's line number for "Passthrough". The phone
// book is searched only for a non-empty number that matched no key.
CallerLookup lookupCaller(const platform::RegNode* callers, std::string_view number,
                          bool restricted, int line, const PhoneBookSearch& phoneBook = {});

// The same against the hive, read once for the whole lookup.
CallerLookup lookupCaller(const platform::Hive& hive, std::string_view number, bool restricted,
                          int line, const PhoneBookSearch& phoneBook = {});

}  // namespace orvelin::settings
