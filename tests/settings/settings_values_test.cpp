// Decoding of hand-edited values: each gives the whole value or nothing, never a part.
#include "settings/settings_values.h"

#include <gtest/gtest.h>

#include <string>

namespace orvelin::settings {
namespace {

StoredValue Bytes(platform::RegType type, std::initializer_list<std::uint8_t> bytes) {
    return {type, std::vector<std::uint8_t>(bytes)};
}

StoredValue Text(const std::string& text) {
    return {platform::RegType::String, std::vector<std::uint8_t>(text.begin(), text.end())};
}

TEST(SettingsValues, DwordNeedsExactlyFourBytesOfANonString) {
    EXPECT_EQ(DecodeDword(Bytes(platform::RegType::Dword, {0x11, 0x27, 0, 0})), 10001u);
    EXPECT_EQ(DecodeDword(Bytes(platform::RegType::Binary, {1, 2, 3, 4})), 0x04030201u);
    // A 2-byte DWORD or a 5-byte one is refused whole, not read in part.
    EXPECT_EQ(DecodeDword(Bytes(platform::RegType::Dword, {0x11, 0x27})), std::nullopt);
    EXPECT_EQ(DecodeDword(Bytes(platform::RegType::Binary, {1, 2, 3, 4, 5})), std::nullopt);
    EXPECT_EQ(DecodeDword(Bytes(platform::RegType::Binary, {})), std::nullopt);
    // "1" would otherwise read as its character code 49; a 4-character text as its bytes.
    EXPECT_EQ(DecodeDword(Text("1")), std::nullopt);
    EXPECT_EQ(DecodeDword(Text("1234")), std::nullopt);
}

TEST(SettingsValues, FixedBinaryNeedsExactSize) {
    EXPECT_EQ(DecodeFixedBinary(Bytes(platform::RegType::Binary, {7, 12, 4}), 3),
              (std::vector<std::uint8_t>{7, 12, 4}));
    EXPECT_EQ(DecodeFixedBinary(Bytes(platform::RegType::Binary, {7, 12}), 3), std::nullopt);
    EXPECT_EQ(DecodeFixedBinary(Bytes(platform::RegType::Binary, {7, 12, 4, 0}), 3), std::nullopt);
    EXPECT_EQ(DecodeFixedBinary(Text("abc"), 3), std::nullopt);
}

TEST(SettingsValues, StringMustLeaveRoomForItsTerminator) {
    EXPECT_EQ(DecodeString(Text("abc"), 4), "abc");
    // Stored with its terminator, as the native writer does.
    EXPECT_EQ(DecodeString(Bytes(platform::RegType::String, {'a', 'b', 'c', 0}), 4), "abc");
    // Exactly full without a terminator would be read unterminated: too long.
    EXPECT_EQ(DecodeString(Text("abcd"), 4), std::nullopt);
    EXPECT_EQ(DecodeString(Text(std::string(600, 'x')), 512), std::nullopt);
    // The text ends at its first NUL; trailing bytes past the buffer still make it too long.
    EXPECT_EQ(DecodeString(Bytes(platform::RegType::String, {'a', 0, 'b', 0}), 4), "a");
    EXPECT_EQ(DecodeString(Bytes(platform::RegType::String, {'a', 0, 0, 0, 0}), 4), std::nullopt);
    EXPECT_EQ(DecodeString(Text(""), 4), "");
    // A number is not text.
    EXPECT_EQ(DecodeString(Bytes(platform::RegType::Dword, {'4', '2', 0, 0}), 64), std::nullopt);
}

TEST(SettingsValues, CutStringsNeverSplitACharacter) {
    // "Ärztin" is 7 bytes: the cut to 2 bytes may not keep half of the 'Ä'.
    EXPECT_EQ(DecodeStringCut(Text("\xC3\x84rztin"), 2), "");
    EXPECT_EQ(DecodeStringCut(Text("\xC3\x84rztin"), 3), "\xC3\x84");
    EXPECT_EQ(DecodeStringCut(Text("Front desk"), 25), "Front desk");
    // 24 bytes of text fit a 25-byte name; a 4-byte character straddling byte 24 is dropped.
    const std::string name = std::string(22, 'n') + "\xF0\x9F\x93\x9E";
    EXPECT_EQ(DecodeStringCut(Text(name), 25), std::string(22, 'n'));
    EXPECT_EQ(Utf8Prefix(name, 26), name);
    EXPECT_EQ(DecodeStringCut(Bytes(platform::RegType::Binary, {'a'}), 25), std::nullopt);
}

TEST(SettingsValues, LeadingDigitsAreReadUnsignedAndClamped) {
    EXPECT_EQ(ParseLeadingUnsigned("15", 86400), 15u);
    EXPECT_EQ(ParseLeadingUnsigned("  +20 seconds", 86400), 20u);
    EXPECT_EQ(ParseLeadingUnsigned("007", 86400), 7u);
    EXPECT_EQ(ParseLeadingUnsigned("9999999", 86400), 86400u);
    EXPECT_EQ(ParseLeadingUnsigned("99999999999999999999999999", 262143), 262143u);
    EXPECT_EQ(ParseLeadingUnsigned("-5", 86400), 0u);
    EXPECT_EQ(ParseLeadingUnsigned("fifteen", 86400), 0u);
    EXPECT_EQ(ParseLeadingUnsigned("", 86400), 0u);
    EXPECT_EQ(ParseLeadingUnsigned("1,5", 86400), 1u);
    EXPECT_EQ(ParseLeadingUnsigned("86400", 86400), 86400u);
    EXPECT_EQ(ParseLeadingUnsigned("86401", 86400), 86400u);
}

}  // namespace
}  // namespace orvelin::settings
