#include "tessaly/options_values.h"

#include <charconv>

#include "platform/registry.h"

namespace tessaly {
namespace {

// A text the program reads into a buffer of `bytes`; nothing when it would not.
std::optional<std::string> text(const platform::RegNode& key, std::string_view name,
                                 std::size_t bytes) {
    return key.string(name, bytes - 1);
}

void readText(const platform::RegNode& key, std::string_view name, std::size_t bytes,
              std::string& into) {
    if (auto t = text(key, name, bytes)) into = std::move(*t);
}

// Written when either is given, both deleted when both are empty.
void writePair(platform::RegNode& key, std::string_view runName, const std::string& run,
               std::string_view paramsName, const std::string& params) {
    if (run.empty() && params.empty()) {
        key.deleteValue(runName);
        key.deleteValue(paramsName);
    } else {
        key.setString(runName, run);
        key.setString(paramsName, params);
    }
}

}  // namespace

OptionsValues readOptions(const platform::RegNode& key) {
    OptionsValues v;
    v.cipMask = key.readDword("CIP Mask", 0x10012);
    v.infoMask = key.readDword("Info Mask", 1);
    v.options = key.readDword("Options", 0);
    v.optionsLoaded = v.options;
    v.pitch = std::uint16_t(key.readDword("Pitch", 0));
    v.speed = key.readDword("Speed", 170);
    v.volume = key.readDword("Volume", 0xFFFFFFFF);
    if (auto d = key.binary("Discrete", 2)) v.discrete = std::uint16_t((*d)[0] | (*d)[1] << 8);
    if (auto s = key.binary("Strip", 3)) v.strip = {(*s)[0], (*s)[1], (*s)[2]};

    readText(key, "OnCallRun", kProgramBytes, v.onCallRun);
    readText(key, "OnCallParams", kProgramBytes, v.onCallParams);
    readText(key, "AfterCallRun", kProgramBytes, v.afterCallRun);
    readText(key, "AfterCallParams", kProgramBytes, v.afterCallParams);
    readText(key, "SpeechEngine", kEngineBytes, v.speechEngine);
    v.speechEngineLoaded = v.speechEngine;
    if (key.value("SayWhat"))
        readText(key, "SayWhat", kSayWhatBytes, v.sayWhat);
    else
        v.sayWhat = kSampleAnnouncement;
    readText(key, "Auth", kAuthBytes, v.auth);

    const auto orDefault = [&](std::string_view name, std::size_t bytes, const char* fallback) {
        std::string t = text(key, name, bytes).value_or("");
        return t.empty() ? std::string(fallback) : t;
    };
    v.callCenter = orDefault("SMS Message Handler", kTextMessageBytes, "19100");
    v.cellulars = orDefault("Cellular Prefix", kTextMessageBytes, "9");
    v.lookupWindow = orDefault("LookupWindow", kProgramBytes, "Telefonkatalogen versjon 4.99");
    v.lookupApp = orDefault("LookupApp", kProgramBytes, "c:\\tele\\telekat.exe %s");
    return v;
}

void writeOptions(const OptionsValues& v, platform::RegNode& key) {
    // Another writer (the program's tool button) may have changed a bit meanwhile.
    const std::uint32_t keep = ~formOptionMask();
    const std::uint32_t stored = key.readDword("Options", v.optionsLoaded);
    key.setDword("Options", (stored & keep) | (v.options & ~keep));
    key.setDword("CIP Mask", v.cipMask);
    key.setDword("Info Mask", v.infoMask);

    std::uint16_t storedDiscrete = v.discrete;
    if (auto d = key.binary("Discrete", 2)) storedDiscrete = std::uint16_t((*d)[0] | (*d)[1] << 8);
    const std::uint16_t discrete =
        std::uint16_t((storedDiscrete & ~kDiscreteMask) | (v.discrete & kDiscreteMask));
    const std::uint8_t discreteBytes[2] = {std::uint8_t(discrete), std::uint8_t(discrete >> 8)};
    key.setBinary("Discrete", discreteBytes);
    key.setBinary("Strip", v.strip);

    if (v.pitch != 0) {
        key.setDword("Pitch", v.pitch);
        key.setDword("Speed", v.speed);
        key.setDword("Volume", v.volume);
    } else {
        for (const char* name : {"Pitch", "Speed", "Volume"}) key.deleteValue(name);
    }
    if (v.speechEngine.empty())
        key.deleteValue("SpeechEngine");
    else
        key.setString("SpeechEngine", v.speechEngine);

    writePair(key, "OnCallRun", v.onCallRun, "OnCallParams", v.onCallParams);
    writePair(key, "AfterCallRun", v.afterCallRun, "AfterCallParams", v.afterCallParams);
    key.setString("SayWhat", v.sayWhat);
    if (v.auth.empty())
        key.deleteValue("Auth");
    else
        key.setString("Auth", v.auth);
    key.setString("SMS Message Handler", v.callCenter);
    key.setString("Cellular Prefix", v.cellulars);
    key.setString("LookupWindow", v.lookupWindow);
    key.setString("LookupApp", v.lookupApp);
}

std::uint16_t pitchFromPosition(int p) { return std::uint16_t(25 * (10 - p) + 50); }
std::uint32_t speedFromPosition(int p) { return std::uint32_t(20 * (10 - p) + 100); }
std::uint32_t volumeFromPosition(int p) {
    const auto level = std::uint32_t((10 - p) * 6553.5);
    return level * 65537u;
}

int pitchPosition(std::uint32_t pitch) {
    const std::int64_t q = (10 * std::int64_t(pitch) - 500) / 250;
    return q < 0 || q > 10 ? 0 : int(10 - q);
}

int speedPosition(std::uint32_t speed) {
    if (speed < 100) return 0;
    const std::int64_t q = 10 * (std::int64_t(speed) - 100) / 200;
    return q > 10 ? 0 : int(10 - q);
}

std::uint8_t stripByte(std::string_view t) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!t.empty() && blank(t.front())) t.remove_prefix(1);
    while (!t.empty() && blank(t.back())) t.remove_suffix(1);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
    if (ec != std::errc() || end != t.data() + t.size()) return 0;
    return std::uint8_t(value);
}

}  // namespace tessaly
