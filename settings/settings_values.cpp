#include "settings/settings_values.h"

#include <algorithm>

namespace orvelin::settings {

namespace {

bool IsStringType(const StoredValue& value) {
    return value.type == platform::RegType::String || value.type == platform::RegType::ExpandString;
}

std::string_view TextUpToNul(const StoredValue& value) {
    const auto* begin = reinterpret_cast<const char*>(value.data.data());
    const auto end = std::find(value.data.begin(), value.data.end(), std::uint8_t{0});
    return {begin, static_cast<std::size_t>(end - value.data.begin())};
}

bool IsContinuationByte(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

}  // namespace

std::optional<std::uint32_t> DecodeDword(const StoredValue& value) {
    if (IsStringType(value) || value.data.size() != 4) return std::nullopt;
    const auto& d = value.data;
    return static_cast<std::uint32_t>(d[0]) | static_cast<std::uint32_t>(d[1]) << 8 |
           static_cast<std::uint32_t>(d[2]) << 16 | static_cast<std::uint32_t>(d[3]) << 24;
}

std::optional<std::vector<std::uint8_t>> DecodeFixedBinary(const StoredValue& value,
                                                           std::size_t size) {
    if (IsStringType(value) || value.data.size() != size) return std::nullopt;
    return value.data;
}

std::optional<std::string> DecodeString(const StoredValue& value, std::size_t bufferBytes) {
    if (!IsStringType(value) || bufferBytes == 0) return std::nullopt;
    // The stored bytes must fit the buffer, and the text must leave room for its terminator:
    // a text that exactly fills the buffer would be read unterminated.
    if (value.data.size() > bufferBytes) return std::nullopt;
    const std::string_view text = TextUpToNul(value);
    if (text.size() > bufferBytes - 1) return std::nullopt;
    return std::string(text);
}

std::optional<std::string> DecodeStringCut(const StoredValue& value, std::size_t bufferBytes) {
    if (!IsStringType(value) || bufferBytes == 0) return std::nullopt;
    return std::string(Utf8Prefix(TextUpToNul(value), bufferBytes - 1));
}

std::string_view Utf8Prefix(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    std::size_t cut = maxBytes;
    // Step back over continuation bytes to the lead byte of the sequence the cut would split.
    while (cut > 0 && IsContinuationByte(static_cast<unsigned char>(text[cut]))) --cut;
    return text.substr(0, cut);
}

std::uint32_t ParseLeadingUnsigned(std::string_view text, std::uint32_t max) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i < text.size() && text[i] == '+') ++i;
    std::uint64_t result = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        result = result * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (result > max) return max;
    }
    return static_cast<std::uint32_t>(result);
}

}  // namespace orvelin::settings
