#include "settings/settings_store.h"

#include <mutex>

#include "settings/msn_table.h"
#include "settings/option_bits.h"
#include "settings/settings_hive.h"
#include "settings/settings_log.h"
#include "settings/settings_values.h"

namespace orvelin::settings {

namespace {

constexpr std::string_view kRecordingDelayKey = "SOFTWARE\\ORVELIN\\MSN\\Recording delay";
constexpr std::string_view kMaxRecordingTimeKey = "SOFTWARE\\ORVELIN\\MSN\\Max recording time";
constexpr std::size_t kSecondsTextBytes = 64;
constexpr std::size_t kProgramBytes = 260;

std::uint32_t ReadDword(std::string_view name, std::uint32_t fallback) {
    const auto stored = ReadStoredValue(kProductKey, name);
    if (!stored) return fallback;
    return DecodeDword(*stored).value_or(fallback);
}

std::optional<std::string> ReadString(std::string_view key, std::string_view name,
                                      std::size_t bufferBytes) {
    const auto stored = ReadStoredValue(key, name);
    if (!stored) return std::nullopt;
    return DecodeString(*stored, bufferBytes);
}

std::string ReadString(std::string_view name, std::size_t bufferBytes,
                       std::string_view fallback = {}) {
    return ReadString(kProductKey, name, bufferBytes).value_or(std::string(fallback));
}

// "<base>" for controller 1, "<base><n>" for controller n >= 2.
std::string ControllerValueName(std::string_view base, int controller) {
    std::string name(base);
    if (controller >= 2) name += std::to_string(controller);
    return name;
}

bool IsMSNIndex(int index) {
    return index >= 0 && index < kMSNCount;
}

std::uint32_t ReadSeconds(std::string_view key, int index, std::uint32_t max) {
    if (!IsMSNIndex(index)) return 0;
    const auto text = ReadString(key, "MSN" + std::to_string(index + 1), kSecondsTextBytes);
    return text ? ParseLeadingUnsigned(*text, max) : 0;
}

}  // namespace

bool EnsureSettingsKeys() {
    return CreateStoredKey(kProductKey) && CreateStoredKey(kCallersKey);
}

std::uint32_t GetOptions() {
    return ReadDword("Options", 0);
}

bool SetOptions(std::uint32_t bits) {
    return UpdateStoredDword(kProductKey, "Options", [bits](const StoredValue*) { return bits; })
        .has_value();
}

std::optional<std::uint32_t> ChangeOptions(std::uint32_t set, std::uint32_t clear) {
    return UpdateStoredDword(kProductKey, "Options", [set, clear](const StoredValue* stored) {
        const std::uint32_t now = stored ? DecodeDword(*stored).value_or(0) : 0;
        return (now & ~clear) | set;
    });
}

bool UseALaw() {
    return (GetOptions() & OptionBits::MuLaw) == 0;
}

std::uint32_t GetCIPMask(int controller) {
    if (controller < 1) return 0;
    return ReadDword(ControllerValueName("CIP Mask", controller), controller == 1 ? 0x10012 : 0);
}

std::uint32_t GetInfoMask(int controller) {
    if (controller < 1) return 0;
    return ReadDword(ControllerValueName("Info Mask", controller), controller == 1 ? 1 : 0);
}

bool IsDiscreteMSN(int index) {
    if (!IsMSNIndex(index)) return false;
    const auto stored = ReadStoredValue(kProductKey, "Discrete");
    if (!stored) return false;
    const auto bytes = DecodeFixedBinary(*stored, 2);
    if (!bytes) return false;
    const auto mask = MSNFlagMask::FromBytes(*bytes);
    return mask && mask->has(index);
}

std::optional<StripSettings> GetStripSettings() {
    if ((GetOptions() & OptionBits::StripNumbers) == 0) return std::nullopt;
    const auto stored = ReadStoredValue(kProductKey, "Strip");
    if (!stored) return std::nullopt;
    // Fewer than three bytes would leave "digits kept" at 0 and erase every caller number.
    const auto bytes = DecodeFixedBinary(*stored, 3);
    if (!bytes) return std::nullopt;
    return StripSettings{(*bytes)[0], (*bytes)[1], (*bytes)[2]};
}

std::uint32_t GetPitch() {
    return ReadDword("Pitch", 0);
}
std::uint32_t GetSpeed() {
    return ReadDword("Speed", 0);
}
std::uint32_t GetVolume() {
    return ReadDword("Volume", 0);
}
std::string GetSpeechEngine() {
    return ReadString("SpeechEngine", 128);
}
std::string GetSayWhat() {
    return ReadString("SayWhat", 512);
}

std::optional<std::string> GetOnCallRun() {
    return ReadString(kProductKey, "OnCallRun", kProgramBytes);
}
std::string GetOnCallParams() {
    return ReadString("OnCallParams", kProgramBytes);
}
std::optional<std::string> GetAfterCallRun() {
    return ReadString(kProductKey, "AfterCallRun", kProgramBytes);
}
std::string GetAfterCallParams() {
    return ReadString("AfterCallParams", kProgramBytes);
}

std::string GetAuth() {
    std::string auth = ReadString("Auth", 128);
    return auth.empty() ? std::string("????") : auth;
}

std::string GetSmsMessageHandler() {
    return ReadString("SMS Message Handler", 64, "19100");
}
std::string GetCellularPrefix() {
    return ReadString("Cellular Prefix", 64, "9");
}
std::string GetCallerNumber() {
    return ReadString("Caller Number", 35);
}
std::uint32_t GetCallerCIP() {
    return ReadDword("Caller CIP", 1);
}

std::string GetLookupWindow() {
    return ReadString("LookupWindow", kProgramBytes);
}
std::string GetLookupApp() {
    return ReadString("LookupApp", kProgramBytes);
}

std::uint32_t GetHostPort() {
    return ReadDword("HostPort", 10001);
}

std::uint32_t ReadMaxCalls() {
    const std::uint32_t stored = ReadDword("MaxCalls", kDefaultMaxCalls);
    // Every walk of the ring takes an index modulo this count, and the ring is allocated
    // whole: 0 cannot be used and a huge count would exhaust memory.
    if (stored == 0) {
        SettingsLog("MaxCalls 0 cannot be used; using 150");
        return kDefaultMaxCalls;
    }
    if (stored > kMaxCallsLimit) {
        SettingsLog("MaxCalls " + std::to_string(stored) + " is too large; using " +
                    std::to_string(kMaxCallsLimit));
        return kMaxCallsLimit;
    }
    return stored;
}

std::uint32_t GetMaxCalls() {
    // The ring is sized once at start-up; a later change must not change its walks.
    static std::once_flag once;
    static std::uint32_t fixed = kDefaultMaxCalls;
    std::call_once(once, [] { fixed = ReadMaxCalls(); });
    return fixed;
}

LinePassword GetLinePassword(int index) {
    const auto stored = ReadStoredValue(kProductKey, "Pass" + std::to_string(index));
    if (!stored) return {};
    auto text = DecodeString(*stored, 64);
    // A password that is there but cannot be read must not open the entry.
    if (!text) return {LinePassword::State::Unreadable, {}};
    return {LinePassword::State::Set, std::move(*text)};
}

std::uint32_t GetRecordingDelay(int index) {
    return ReadSeconds(kRecordingDelayKey, index, kMaxRecordingDelay);
}

std::uint32_t GetMaxRecordingTime(int index) {
    return ReadSeconds(kMaxRecordingTimeKey, index, kMaxRecordingTimeLimit);
}

}  // namespace orvelin::settings
