// What the options form edits under "SOFTWARE\ORVELIN": the values as the form holds them
// while it is open, how they are read with their fallbacks, and how they are written back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "settings/option_bits.h"

namespace platform {
class RegNode;
}

namespace tessaly {

using orvelin::settings::OptionBits;

// One check box (or the coding choice) bound to one bit of "Options".
struct OptionControl {
    const char* name;     // the control's object name
    int page;             // index into kOptionPages
    const char* caption;  // empty: not a check box
    std::uint32_t mask;
    bool checkedClears;  // checked means the bit is clear
};

inline constexpr std::array<const char*, 8> kOptionPages = {
    "General", "Fax", "Voice", "Speech", "Launch", "Ignore", "Text", "Lookup"};

inline constexpr std::array<OptionControl, 20> kOptionControls = {{
    {"ShowLarge", 0, "Show large caller display", OptionBits::PopupBanner, false},
    {"LongDate", 0, "Use long date format", OptionBits::LongDate, false},
    {"Service", 0, "Run as service", OptionBits::RunAsService, false},
    {"Stripl", 0, "Strip leading zero in caller number", OptionBits::StripLeadingZero, false},
    {"Addl", 0, "Add leading zero to caller number", OptionBits::AddLeadingZero, false},
    {"Strip", 0, "Strip numbers longer than", OptionBits::StripNumbers, false},
    {"PrintFax", 1, "Automatically print incoming faxes", OptionBits::PrintFaxes, false},
    {"Convertfax", 1, "Convert faxes to TIFF 6.0 format", OptionBits::FaxToTiff, false},
    {"KeepSFF", 1, "Keep Pellow files after conversion", OptionBits::KeepFaxAfterTiff, false},
    {"KeepOutdFax", 1, "Keep outdated fax documents", OptionBits::KeepFaxFiles, false},
    {"FaxSeparateDir", 1, "Separate directories for each MSN", OptionBits::FaxesInOneFolder, true},
    {"FaxCallerNName", 1, "Include callernumber in filename", OptionBits::CallerInFaxName, false},
    {"Autoplay", 2, "Automatically play incoming messages", OptionBits::AutoPlayMessages, false},
    {"AGCin", 2, "Auto gain control on incoming messages", OptionBits::GainOnMessages, false},
    {"AGCout", 2, "Auto gain control on outgoing messages", OptionBits::GainOnGreeting, false},
    {"KeepOutdVoice", 2, "Keep outdated messages", OptionBits::KeepVoiceFiles, false},
    {"VoiceSeparateDir", 2, "Separate directories for each MSN", OptionBits::MessagesInOneFolder,
     true},
    {"VoiceCallerNName", 2, "Include callernumber in filename", OptionBits::CallerInMessageName,
     false},
    {"uLawALaw", 2, "", OptionBits::MuLaw, false},
    {"Talking", 3, "Talking announce", OptionBits::AnnounceCallers, false},
}};

// Every bit the form owns; the others are written back as they stand in the hive.
constexpr std::uint32_t formOptionMask() {
    std::uint32_t mask = 0;
    for (const OptionControl& c : kOptionControls) mask |= c.mask;
    return mask;
}
// "Discrete": MSN 1 to 10; the six bits above belong to nobody here and are kept.
inline constexpr std::uint16_t kDiscreteMask = 0x3FF;

// Buffer sizes of the program's readers, terminator included: the form never stores a
// text the program would refuse.
inline constexpr std::size_t kProgramBytes = 260;
inline constexpr std::size_t kAuthBytes = 128;
inline constexpr std::size_t kSayWhatBytes = 512;
inline constexpr std::size_t kEngineBytes = 128;
inline constexpr std::size_t kTextMessageBytes = 64;

inline constexpr const char* kSampleAnnouncement = "Call on line 1 from 12 34 56 78";

struct OptionsValues {
    std::uint32_t options = 0;
    std::uint32_t optionsLoaded = 0;
    std::uint32_t cipMask = 0x10012;
    std::uint32_t infoMask = 1;
    std::uint16_t discrete = 0;
    std::array<std::uint8_t, 3> strip{};  // threshold, kept of short, kept of long numbers
    std::uint16_t pitch = 0;              // 0: the engine's own pitch, speed and volume
    std::uint32_t speed = 170;
    std::uint32_t volume = 0xFFFFFFFF;
    std::string onCallRun, onCallParams, afterCallRun, afterCallParams;
    std::string sayWhat, auth;
    std::string speechEngine, speechEngineLoaded;
    std::string callCenter, cellulars, lookupWindow, lookupApp;
};

// Reads the key with the form's fallback for every value that is missing, of another type
// or too long for the program.
OptionsValues readOptions(const platform::RegNode& key);

// Writes the values into the key by the form's saving rules. Bits and "Discrete" bits the
// form does not own are taken from the key as it stands now.
void writeOptions(const OptionsValues& values, platform::RegNode& key);

// The speech track bars: position 0 (top) to 10.
std::uint16_t pitchFromPosition(int position);
std::uint32_t speedFromPosition(int position);
std::uint32_t volumeFromPosition(int position);
// Where the bars stand for the engine's values.
int pitchPosition(std::uint32_t pitch);
int speedPosition(std::uint32_t speed);

// Decimal text of a strip edit as a byte: trimmed, read whole, low 8 bits; anything that is
// not a number gives 0.
std::uint8_t stripByte(std::string_view text);

}  // namespace tessaly
