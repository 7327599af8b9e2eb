// The bits of the "Options" value. This table is the only place their values are written.
#pragma once

#include <cstdint>

namespace orvelin::settings {

struct OptionBits {
    static constexpr std::uint32_t PopupBanner = 1u << 0;  // large caller banner on a call
    static constexpr std::uint32_t ExtraGreetingBlocks = 1u
                                                         << 1;  // three more blocks at B-channel up
    static constexpr std::uint32_t MuLaw = 1u << 2;             // line is mu-law (clear: A-law)
    static constexpr std::uint32_t StripNumbers = 1u << 3;      // apply "Strip" to caller numbers
    static constexpr std::uint32_t LongDate = 1u << 4;          // long date format in the call list
    static constexpr std::uint32_t RunAsService = 1u << 5;
    static constexpr std::uint32_t PrintFaxes = 1u << 6;
    static constexpr std::uint32_t AutoPlayMessages = 1u << 7;
    static constexpr std::uint32_t GainOnMessages = 1u << 8;
    static constexpr std::uint32_t GainOnGreeting = 1u << 9;
    static constexpr std::uint32_t FaxToTiff = 1u << 10;
    static constexpr std::uint32_t KeepFaxAfterTiff = 1u << 11;
    static constexpr std::uint32_t AddLeadingZero = 1u << 12;  // numbers longer than one character
    static constexpr std::uint32_t StripLeadingZero = 1u
                                                      << 13;  // only when AddLeadingZero is clear
    static constexpr std::uint32_t AnnounceCallers = 1u << 14;
    static constexpr std::uint32_t MessagesInOneFolder = 1u
                                                         << 16;  // "Messages", not "Messages/MSN%d"
    static constexpr std::uint32_t CallerInMessageName = 1u << 17;
    static constexpr std::uint32_t FaxesInOneFolder = 1u << 18;  // "FaxIn", not "FaxIn/MSN%d"
    static constexpr std::uint32_t CallerInFaxName = 1u << 19;
    static constexpr std::uint32_t ConfiguredMSNOnly = 1u << 20;  // refuse calls to other numbers
    static constexpr std::uint32_t KeepFaxFiles = 1u << 21;    // of overwritten or removed records
    static constexpr std::uint32_t KeepVoiceFiles = 1u << 22;  // of overwritten or removed records
    static constexpr std::uint32_t ToolButtonDown = 1u << 24;  // two-state tool button of the frame
};

// True when every bit of `bits` is set in `options`.
constexpr bool HasOption(std::uint32_t options, std::uint32_t bits) {
    return (options & bits) == bits && bits != 0;
}

}  // namespace orvelin::settings
