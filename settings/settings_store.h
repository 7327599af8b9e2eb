// The program's settings under HKEY_LOCAL_MACHINE "SOFTWARE\ORVELIN".
//
// Every accessor reads the hive afresh, so a change made by the settings dialogs is seen at
// the next call; nothing is cached except "MaxCalls", which is fixed for the life of the
// process. A value that is missing, of the wrong type or size, too long for its buffer or
// otherwise malformed gives that one setting's default; no accessor reports an error. All
// accessors may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvelin::settings {

inline constexpr std::string_view kProductKey = "SOFTWARE\\ORVELIN";
inline constexpr std::string_view kCallersKey = "SOFTWARE\\ORVELIN\\Callers";

// Creates the product key and its "Callers" subkey when they are missing, so the settings
// dialogs can save on a fresh machine. False when the hive cannot be written.
bool EnsureSettingsKeys();

// "Options" (see OptionBits), 0 when unreadable.
std::uint32_t GetOptions();
// Writes "Options" whole. False when the hive refused the write.
bool SetOptions(std::uint32_t bits);
// Sets the bits of `set` and clears those of `clear` in one transaction of the hive, so
// concurrent changes of other bits are never lost. Returns the value written, or nothing
// when the hive refused the write.
std::optional<std::uint32_t> ChangeOptions(std::uint32_t set, std::uint32_t clear);
// True when the line speaks A-law (option MuLaw clear).
bool UseALaw();

// CAPI LISTEN masks of a controller counted from 1: controller 1 reads "CIP Mask" (default
// 0x10012) and "Info Mask" (default 1), controller n >= 2 "CIP Mask<n>" and "Info Mask<n>"
// (default 0: do not listen). Controllers below 1 give 0.
std::uint32_t GetCIPMask(int controller);
std::uint32_t GetInfoMask(int controller);

// Bit `index` of the 2-byte "Discrete" mask: calls to MSN index+1 are ignored. False for an
// index outside 0..9.
bool IsDiscreteMSN(int index);

// The three bytes of "Strip". Only when option StripNumbers is set and the value is exactly
// three bytes long; otherwise caller numbers are not shortened.
struct StripSettings {
    std::uint8_t threshold = 0;  // length that separates short from long numbers
    std::uint8_t keepShort = 0;  // trailing digits kept of numbers not longer than threshold
    std::uint8_t keepLong = 0;   // trailing digits kept of longer numbers
};
std::optional<StripSettings> GetStripSettings();

// Speech: 0 leaves the engine's own pitch, speed and volume. (The options dialog shows its own
// starting values for a missing speed or volume; the program keeps 0.)
std::uint32_t GetPitch();
std::uint32_t GetSpeed();
std::uint32_t GetVolume();
// "SpeechEngine" (128 bytes): the speech voice by name, empty for the default one.
std::string GetSpeechEngine();
// "SayWhat" (512 bytes): leading text of the spoken announcement, empty when missing.
std::string GetSayWhat();

// Programs run at calls (260 bytes each). The programs are absent when they cannot be read;
// the parameters are empty then.
std::optional<std::string> GetOnCallRun();
std::string GetOnCallParams();
std::optional<std::string> GetAfterCallRun();
std::string GetAfterCallParams();

// "Auth" (128 bytes): callers allowed to listen to messages remotely; "????" when missing or
// empty.
std::string GetAuth();

// Text messages.
std::string GetSmsMessageHandler();  // 64 bytes, "19100"
std::string GetCellularPrefix();     // 64 bytes, "9"
std::string GetCallerNumber();       // 35 bytes, empty
std::uint32_t GetCallerCIP();        // 1

// The lookup program (260 bytes each, empty when missing).
std::string GetLookupWindow();
std::string GetLookupApp();

// "HostPort", 10001 when missing; returned as stored, the listener refuses ports it cannot use.
std::uint32_t GetHostPort();

// "MaxCalls": records in the call ring. Read at the first call and returned unchanged for the
// life of the process. 0 or unreadable gives 150; values above kMaxCallsLimit are capped.
inline constexpr std::uint32_t kDefaultMaxCalls = 150;
inline constexpr std::uint32_t kMaxCallsLimit = 100000;
std::uint32_t GetMaxCalls();
// The same rule applied to the value stored now; for start-up and the dialogs.
std::uint32_t ReadMaxCalls();

// The password of entry `index` of the line selector ("Pass<index>", 64 bytes).
struct LinePassword {
    enum class State {
        Absent,      // no password: the entry is open
        Set,         // `text` is the password
        Unreadable,  // present but malformed: no typed text matches it
    };
    State state = State::Absent;
    std::string text;
    bool matches(std::string_view typed) const { return state == State::Set && typed == text; }
};
LinePassword GetLinePassword(int index);

// Seconds before MSN index+1 answers ("Recording delay\MSN<n>", at most 86,400) and the longest
// voice message in seconds ("Max recording time\MSN<n>", at most 262,143), read afresh as
// leading decimal digits; 0 when missing, unreadable, negative or for an index outside 0..9.
// The bounds keep delay << 10 and time << 13 within a signed 32-bit number. (The number dialog
// starts a missing delay at 15 and a missing time at 180; the program keeps 0.)
inline constexpr std::uint32_t kMaxRecordingDelay = 86400;
inline constexpr std::uint32_t kMaxRecordingTimeLimit = 262143;
std::uint32_t GetRecordingDelay(int index);
std::uint32_t GetMaxRecordingTime(int index);

}  // namespace orvelin::settings
