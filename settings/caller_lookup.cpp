#include "settings/caller_lookup.h"

#include <array>

#include "platform/paths.h"
#include "platform/registry.h"

namespace orvelin::settings {

namespace {

constexpr std::array<std::string_view, 6> kModeNames = {"Normal action", "Reject in time period",
                                                        "Reject always", "Answer in time period",
                                                        "Answer always", "Never answer"};

// Texts read with a 260-byte buffer hold at most 259 bytes.
constexpr std::size_t kPathTextBytes = 259;
// The caller name field of a call record holds 49 bytes of text.
constexpr std::size_t kNameBytes = 49;

std::string utf8Prefix(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return std::string(text);
    std::size_t n = maxBytes;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return std::string(text.substr(0, n));
}

// A number stored as a DWORD or as one binary byte, judged by the data size
// rather than the declared type (hand-edited hives mix them).
std::optional<std::uint32_t> sizedNumber(const platform::RegNode& key, std::string_view name) {
    const platform::RegValue* v = key.value(name);
    if (!v) return std::nullopt;
    if (v->data.size() == 1) return v->data[0];
    if (v->data.size() == 4) {
        return std::uint32_t{v->data[0]} | (std::uint32_t{v->data[1]} << 8) |
               (std::uint32_t{v->data[2]} << 16) | (std::uint32_t{v->data[3]} << 24);
    }
    return std::nullopt;
}

std::string pathText(const platform::RegNode& key, std::string_view name) {
    return key.readString(name, "", kPathTextBytes);
}

CallerLaunch readLaunch(const platform::RegNode* key) {
    CallerLaunch l;
    if (!key) return l;
    // The caller form always writes "Launch" (0 or 1), so its value counts, not its presence.
    l.launch = sizedNumber(*key, "Launch").value_or(0) != 0;
    if (!l.launch) return l;
    const std::uint32_t line = sizedNumber(*key, "LaunchLine").value_or(0);
    l.launchLine = static_cast<std::uint8_t>(line <= 0xFF ? line : 0);
    l.launchCip = key->readDword("LaunchCIP", 0);
    l.atCall = pathText(*key, "LaunchAtCall");
    l.atCallParam = pathText(*key, "AtCallParam");
    l.atClear = pathText(*key, "LaunchAtClear");
    l.atClearParam = pathText(*key, "AtClearParam");
    l.waitAtCall = key->readDword("WaitAtCall", 0);
    l.waitAtClear = key->readDword("WaitAtClear", 0);
    return l;
}

std::string trimTrailingBlanks(std::string_view s) {
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return std::string(s);
}

}  // namespace

std::string_view callerModeName(std::uint32_t mode) {
    return mode < kModeNames.size() ? kModeNames[mode] : std::string_view{};
}

CallerSettings CallerSettings::decode(std::uint32_t reject) {
    CallerSettings s;
    s.periodStart = reject & 0xFFFFu;
    s.periodEnd = (reject >> 16) & 0x0FFFu;
    s.mode = (reject >> 28) & 0x7u;
    s.noFax = (reject >> 31) != 0;
    return s;
}

std::uint32_t CallerSettings::encode() const {
    return (periodStart & 0xFFFFu) | ((periodEnd & 0x0FFFu) << 16) | ((mode & 0x7u) << 28) |
           (noFax ? 0x80000000u : 0u);
}

bool CallerSettings::rejectsAt(int minuteOfDay) const {
    const auto m = static_cast<CallerMode>(mode);
    return m == CallerMode::RejectAlways ||
           (m == CallerMode::RejectInPeriod && inTimePeriod(periodStart, periodEnd, minuteOfDay));
}

bool CallerSettings::answersAt(int minuteOfDay) const {
    const auto m = static_cast<CallerMode>(mode);
    return m == CallerMode::AnswerAlways ||
           (m == CallerMode::AnswerInPeriod && inTimePeriod(periodStart, periodEnd, minuteOfDay));
}

int hhmmToMinutes(std::uint32_t hhmm) {
    return static_cast<int>((hhmm / 100) * 60 + hhmm % 100);
}

bool inTimePeriod(std::uint32_t startHhmm, std::uint32_t endHhmm, int minuteOfDay) {
    // Both limits and the time in minutes: the stored limits are hhmm, the
    // arrival time is minutes of the day, and mixing the two units would move
    // every limit after 01:00.
    const int start = hhmmToMinutes(startHhmm);
    const int end = hhmmToMinutes(endHhmm);
    if (start < end) return start <= minuteOfDay && minuteOfDay < end;
    return minuteOfDay >= start || minuteOfDay < end;
}

bool passthroughListsLine(std::string_view passthrough, int line) {
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict for
    // ";" + std::string (GCC bug 105651).
    std::string wrapped(1, ';');
    wrapped.append(passthrough).push_back(';');
    std::string item(1, ';');
    item.append(std::to_string(line)).push_back(';');
    return wrapped.find(item) != std::string::npos;
}

std::string callerNameText(std::string_view name) {
    return utf8Prefix(name, kNameBytes);
}

std::optional<std::uint32_t> callerNumberValue(const platform::RegNode& key,
                                               std::string_view name) {
    return sizedNumber(key, name);
}

std::string callerKeyText(std::string_view number, bool restricted) {
    if (!number.empty()) return std::string(number);
    return std::string(restricted ? kRestrictedKey : kUnknownKey);
}

bool isSafeCallerKey(std::string_view keyText) {
    if (keyText.empty() || keyText.front() == '.') return false;
    for (const char c : keyText) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\' || c == '/' || u < 0x20 || u == 0x7F) return false;
    }
    return true;
}

std::string personalGreetingPath(std::string_view programDir, std::string_view matchedKey) {
    return platform::joinPath(programDir, "Answer", platform::fileKey(matchedKey) + ".wav");
}

CallerLookup lookupCaller(const platform::RegNode* callers, std::string_view number,
                          bool restricted, int line, const PhoneBookSearch& phoneBook) {
    CallerLookup out;
    const std::string keyText = callerKeyText(number, restricted);

    // Exact key first, then the last character as '?', the last two, ... so
    // longer exact keys win and a wildcard key matches only its own length.
    const platform::RegNode* matched = nullptr;
    if (callers && isSafeCallerKey(keyText)) {
        std::string candidate = keyText;
        for (std::size_t k = 0; k <= candidate.size() && !matched; ++k) {
            if (k > 0) candidate[candidate.size() - k] = '?';
            const platform::RegNode* key = callers->subkey(candidate);
            if (!key) continue;
            if (auto name = key->string("Name")) {
                matched = key;
                out.matchedKey = candidate;
                out.name = utf8Prefix(*name, kNameBytes);
            }
        }
    }

    if (!matched) {
        out.matchedKey = std::string(kUnlistedKey);
        out.unlisted = true;
        const platform::RegNode* unlisted = callers ? callers->subkey(kUnlistedKey) : nullptr;
        // An empty number would match the phone book's first record.
        if (!number.empty() && phoneBook) {
            if (auto entry = phoneBook(number)) {
                out.name = utf8Prefix(trimTrailingBlanks(entry->name), kNameBytes);
                out.rule = static_cast<std::uint32_t>(static_cast<std::uint64_t>(entry->reject));
                out.fromPhoneBook = true;
                out.phoneBookNoFax = entry->rejectFax;
                out.personalMsg = entry->personalMsg;
                out.noVoiceMessage = entry->rejectMsg;
                out.launch = readLaunch(unlisted);
                return out;
            }
        }
        if (!unlisted) return out;
        matched = unlisted;
        if (auto name = unlisted->string("Name")) out.name = utf8Prefix(*name, kNameBytes);
    }

    out.rule = matched->readDword("Reject", 0);
    if (out.rule != 0 && passthroughListsLine(pathText(*matched, "Passthrough"), line)) {
        out.rule = 0;
    }
    out.personalMsg = sizedNumber(*matched, "PersonalMsg").value_or(0) != 0;
    out.noVoiceMessage = matched->readDword("RejectMsg", 0) != 0;
    out.launch = readLaunch(matched);
    return out;
}

CallerLookup lookupCaller(const platform::Hive& hive, std::string_view number, bool restricted,
                          int line, const PhoneBookSearch& phoneBook) {
    const auto key = hive.openKey(kCallersKey, platform::RegAccess::Read);
    return lookupCaller(key ? &key->node() : nullptr, number, restricted, line, phoneBook);
}

}  // namespace orvelin::settings
