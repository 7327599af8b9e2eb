// Checked decoding of stored setting values. Values may be edited by hand, so every decoder
// either yields the whole value or nothing: the caller then takes that setting's default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace orvelin::settings {

// A value as the hive holds it: its type and its bytes. A string's bytes are its text,
// possibly with a terminator, and possibly without one when it was given as raw bytes.
using StoredValue = platform::RegValue;

// A 32-bit number: exactly four bytes of a non-string value, little-endian. A string such as
// "1" is refused rather than read as the bytes of its characters.
std::optional<std::uint32_t> DecodeDword(const StoredValue& value);

// Exactly `size` bytes of a non-string value. A shorter or longer value is refused whole.
std::optional<std::vector<std::uint8_t>> DecodeFixedBinary(const StoredValue& value,
                                                           std::size_t size);

// A string for a buffer of `bufferBytes` bytes, terminator included: the text up to the first
// NUL, refused when it needs more than bufferBytes - 1 bytes or the value is not a string.
std::optional<std::string> DecodeString(const StoredValue& value, std::size_t bufferBytes);

// As DecodeString, but a text too long for the buffer is cut to fit, never inside a UTF-8
// sequence.
std::optional<std::string> DecodeStringCut(const StoredValue& value, std::size_t bufferBytes);

// The longest prefix of `text` of at most `maxBytes` bytes that does not end inside a UTF-8
// sequence.
std::string_view Utf8Prefix(std::string_view text, std::size_t maxBytes);

// The number written by the leading decimal digits of `text` (after blanks and an optional '+'),
// clamped to `max`. A '-' sign or no digits give 0. Never uses the process locale.
std::uint32_t ParseLeadingUnsigned(std::string_view text, std::uint32_t max);

}  // namespace orvelin::settings
