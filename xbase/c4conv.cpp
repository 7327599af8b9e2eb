#include "xbase/c4conv.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool isAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Length of the text up to its terminator, at most n.
int boundedLen(const char* text, int n) {
    int len = 0;
    while (len < n && text[len] != '\0') ++len;
    return len;
}

}  // namespace

double c4textToDouble(const char* text, int n) {
    if (text == nullptr || n <= 0) return 0.0;
    const int len = boundedLen(text, n < 49 ? n : 49);
    const char* p = text;
    const char* end = text + len;
    while (p < end && isSpace(*p)) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    // from_chars takes no sign, so a second sign ("--1") is rejected here as atof would.
    if (p == end || *p == '+' || *p == '-') return 0.0;
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(p, end, value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // from_chars leaves the value alone; strtod's answer is a signed zero or infinity.
        // Tell them apart by the exponent's sign after the mantissa.
        const char* e = p;
        while (e < end && *e != 'e' && *e != 'E') ++e;
        const bool tiny = e + 1 < end && e[1] == '-';
        value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (ec != std::errc()) {
        return 0.0;
    }
    (void)ptr;
    return negative ? -value : value;
}

int32_t c4textToInt(const char* text, int n) {
    if (text == nullptr || n <= 0) return 0;
    const int len = boundedLen(text, n < 127 ? n : 127);
    int i = 0;
    while (i < len && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < len && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Unsigned arithmetic wraps modulo 2^64, so the low 32 bits are exact for any length.
    uint64_t value = 0;
    for (; i < len && text[i] >= '0' && text[i] <= '9'; ++i) value = value * 10 + uint64_t(text[i] - '0');
    if (negative) value = 0 - value;
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

void c4doubleToText(double value, char* buffer, int length, int decimals) {
    if (buffer == nullptr || length <= 0) return;
    if (decimals > 15) decimals = 15;
    if (decimals > length - 1) decimals = length - 1;
    if (decimals < 0) decimals = 0;
    const int intWidth = decimals > 0 ? length - decimals - 1 : length;
    // Anything as large as 10^intWidth cannot fit; checking first also keeps the fixed
    // conversion below to a bounded number of digits.
    if (!std::isfinite(value) || std::fabs(value) >= std::pow(10.0, intWidth)) {
        std::memset(buffer, '*', size_t(length));
        return;
    }
    // A finite double has at most 309 integer digits: with 15 decimals, sign and point
    // that fits 400 bytes.
    char digits[400];
    const auto res = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, decimals);
    if (res.ec != std::errc()) {
        std::memset(buffer, '*', size_t(length));
        return;
    }
    const char* p = digits;
    const char* end = res.ptr;
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    }
    const char* point = static_cast<const char*>(std::memchr(p, '.', size_t(end - p)));
    const char* intEnd = point != nullptr ? point : end;
    int intDigits = int(intEnd - p);
    // A lone "0" before the point gives way when the field has no room for it.
    if (intDigits == 1 && *p == '0' && intWidth == 0) {
        ++p;
        intDigits = 0;
    }
    // Rounding may have turned a negative value into zero: no sign before "0.00".
    if (negative) {
        bool allZero = true;
        for (const char* q = p; q < end; ++q)
            if (*q >= '1' && *q <= '9') allZero = false;
        if (allZero) negative = false;
    }
    if (intDigits + (negative ? 1 : 0) > intWidth) {
        std::memset(buffer, '*', size_t(length));
        return;
    }
    std::memset(buffer, ' ', size_t(intWidth));
    std::memcpy(buffer + intWidth - intDigits, p, size_t(intDigits));
    if (negative) buffer[intWidth - intDigits - 1] = '-';
    if (decimals > 0) {
        buffer[intWidth] = '.';
        std::memset(buffer + intWidth + 1, '0', size_t(decimals));
        if (point != nullptr) {
            const int frac = int(end - point - 1);
            std::memcpy(buffer + intWidth + 1, point + 1, size_t(frac < decimals ? frac : decimals));
        }
    }
}

void c4longToText(int64_t value, char* buffer, int length) {
    if (buffer == nullptr || length == 0) return;
    const bool zeroPad = length < 0;
    const int width = zeroPad ? -length : length;
    const bool negative = value < 0;
    uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char digits[24];
    int count = 0;
    do {
        digits[count++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    const int needed = count + (negative ? 1 : 0);
    if (needed > width || (negative && zeroPad)) {
        std::memset(buffer, '*', size_t(width));
        return;
    }
    std::memset(buffer, zeroPad ? '0' : ' ', size_t(width));
    for (int i = 0; i < count; ++i) buffer[width - 1 - i] = digits[i];
    if (negative) buffer[width - count - 1] = '-';
}

void c4trimBlanks(char* text, int n) {
    if (text == nullptr || n <= 0) return;
    int end = 0;
    while (end < n - 1 && text[end] != '\0') ++end;
    text[end] = '\0';
    while (end > 0 && text[end - 1] == ' ') text[--end] = '\0';
}

void c4upperN(char* text, int n) {
    for (int i = 0; i < n; ++i)
        if (text[i] >= 'a' && text[i] <= 'z') text[i] = char(text[i] - 'a' + 'A');
}

void c4lowerN(char* text, int n) {
    for (int i = 0; i < n; ++i)
        if (text[i] >= 'A' && text[i] <= 'Z') text[i] = char(text[i] - 'A' + 'a');
}

void c4upper(char* text) {
    if (text != nullptr) c4upperN(text, int(std::strlen(text)));
}

void c4lower(char* text) {
    if (text != nullptr) c4lowerN(text, int(std::strlen(text)));
}

int c4log2(long n) {
    int count = 0;
    while (n > 1) {
        n /= 2;
        ++count;
    }
    return count;
}

void c4encode(char* destination, const char* data, const char* targetPicture,
              const char* sourcePicture) {
    const size_t targetLen = std::strlen(targetPicture);
    std::memcpy(destination, targetPicture, targetLen);
    for (size_t s = 0; sourcePicture[s] != '\0';) {
        const char letter = sourcePicture[s];
        size_t runLen = 1;
        while (sourcePicture[s + runLen] == letter) ++runLen;
        if (isAlpha(letter)) {
            const char* t = std::strchr(targetPicture, letter);
            if (t != nullptr) {
                const size_t at = size_t(t - targetPicture);
                for (size_t i = 0; i < runLen && at + i < targetLen && targetPicture[at + i] == letter; ++i)
                    destination[at + i] = data[s + i];
            }
        }
        s += runLen;
    }
}
