// The settings hive is a text file users edit by hand. Its parser must refuse or
// read any text, a parsed tree must survive writing and reading back unchanged,
// and every setting the program reads from it must keep to its buffer and range.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "platform/registry.h"
#include "settings/settings_log.h"
#include "settings/settings_store.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/scratch_dir.h"

namespace {

namespace st = orvelin::settings;


// Text for a C buffer of `bufferBytes`: shorter than the buffer, no NUL inside.
void CheckText(const std::string& text, std::size_t bufferBytes) {
    FUZZ_CHECK(text.size() < bufferBytes && text.find('\0') == std::string::npos);
}
void CheckText(const std::optional<std::string>& text, std::size_t bufferBytes) {
    if (text) CheckText(*text, bufferBytes);
}

const std::string& HivePath() {
    static const std::string path = [] {
        std::string p = fuzzsupport::ScratchDir() + "/orvelin.reg";
        setenv("ORVELIN_REGISTRY", p.c_str(), 1);
        st::SetSettingsLogSink([](std::string_view) {});
        return p;
    }();
    return path;
}

void ReadEverySetting() {
    (void)st::GetOptions();
    (void)st::UseALaw();
    for (int controller = 0; controller <= 3; ++controller) {
        (void)st::GetCIPMask(controller);
        (void)st::GetInfoMask(controller);
    }
    for (int index = -1; index <= 10; ++index) {
        (void)st::IsDiscreteMSN(index);
        FUZZ_CHECK(st::GetRecordingDelay(index) <= st::kMaxRecordingDelay);
        FUZZ_CHECK(st::GetMaxRecordingTime(index) <= st::kMaxRecordingTimeLimit);
        const st::LinePassword pass = st::GetLinePassword(index);
        if (pass.state == st::LinePassword::State::Set) CheckText(pass.text, 64);
        else FUZZ_CHECK(pass.text.empty() && !pass.matches(""));
    }
    (void)st::GetStripSettings();
    (void)st::GetPitch();
    (void)st::GetSpeed();
    (void)st::GetVolume();
    CheckText(st::GetSpeechEngine(), 128);
    CheckText(st::GetSayWhat(), 512);
    CheckText(st::GetOnCallRun(), 260);
    CheckText(st::GetOnCallParams(), 260);
    CheckText(st::GetAfterCallRun(), 260);
    CheckText(st::GetAfterCallParams(), 260);
    const std::string auth = st::GetAuth();
    FUZZ_CHECK(!auth.empty());
    CheckText(auth, 128);
    CheckText(st::GetSmsMessageHandler(), 64);
    CheckText(st::GetCellularPrefix(), 64);
    CheckText(st::GetCallerNumber(), 35);
    (void)st::GetCallerCIP();
    CheckText(st::GetLookupWindow(), 260);
    CheckText(st::GetLookupApp(), 260);
    (void)st::GetHostPort();
    const std::uint32_t maxCalls = st::ReadMaxCalls();
    FUZZ_CHECK(maxCalls >= 1 && maxCalls <= st::kMaxCallsLimit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    platform::RegNode root("HKEY_LOCAL_MACHINE");
    if (platform::parseHive(text, root).ok()) {
        const std::string written = platform::serializeHive(root);
        platform::RegNode again("HKEY_LOCAL_MACHINE");
        FUZZ_CHECK(platform::parseHive(written, again).ok());
        FUZZ_CHECK(platform::serializeHive(again) == written);
    }
    const std::string& path = HivePath();
    fuzzsupport::WriteScratchFile("orvelin.reg", data, size);
    (void)path;
    ReadEverySetting();
    return 0;
}
