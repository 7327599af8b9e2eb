#include "xbase/decimal_keys.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "xbase/text.h"

namespace {

constexpr int exponentBias = 52;
// A double carries about 15 significant decimal digits; more would key noise, so that
// 0.1 + 0.2 keys as 0.3.
constexpr int doubleDigits = 15;

void zeroKey(char* key) {
    std::memset(key, 0, c4bcdLen);
    key[0] = char(exponentBias);
    key[1] = 1;
}

void largestKey(char* key, bool negative) {
    std::memset(key, 0x99, c4bcdLen);
    key[0] = char(0xFF);
    key[1] = char((negative ? 0x80 : 0) | (20 << 2) | 1);
}

int digitCount(const char* key) { return (static_cast<unsigned char>(key[1]) >> 2) & 0x1F; }

constexpr int keyDigits = 20;

// Builds the key from significant digits (first one non-zero, none trailing) and the
// decimal exponent of the first digit's place (value = 0.d1d2... x 10^pointPlace).
void digitsKey(char* key, const char* digits, int count, int pointPlace, bool negative) {
    const int exponent = exponentBias + pointPlace;
    if (exponent > 255) {
        largestKey(key, negative);
        return;
    }
    if (exponent < 0 || count == 0) {
        zeroKey(key);
        return;
    }
    std::memset(key, 0, c4bcdLen);
    key[0] = char(exponent);
    key[1] = char((negative ? 0x80 : 0) | (count << 2) | 1);
    for (int i = 0; i < count; ++i) {
        const int nibble = digits[i] - '0';
        key[2 + i / 2] = char(key[2 + i / 2] | (i % 2 == 0 ? nibble << 4 : nibble));
    }
}

}  // namespace

void c4bcdFromDouble(char* key, double value) {
    if (std::isnan(value) || value == 0.0) {
        zeroKey(key);
        return;
    }
    const bool negative = value < 0;
    if (std::isinf(value)) {
        largestKey(key, negative);
        return;
    }
    // Scientific form d.dddddddddddddde±x: the digits and the decimal exponent.
    char text[40];
    const auto res = std::to_chars(text, text + sizeof text, std::fabs(value), std::chars_format::scientific,
                                   doubleDigits - 1);
    char digits[doubleDigits];
    int count = 0;
    const char* p = text;
    for (; p < res.ptr && *p != 'e'; ++p)
        if (*p >= '0' && *p <= '9') digits[count++] = *p;
    const int exp10 = p < res.ptr ? int(c4textToInt(p + 1, int(res.ptr - p - 1))) : 0;
    while (count > 0 && digits[count - 1] == '0') --count;
    digitsKey(key, digits, count, exp10 + 1, negative);
}

void c4bcdFromText(char* key, const char* text, int length) {
    // Plain decimal text is keyed digit by digit, so every value a field can hold keys
    // apart from its neighbours; other forms (exponents) go through a double.
    int i = 0;
    while (i < length && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < length && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    char digits[keyDigits];
    int count = 0;
    int pointPlace = 0;    // digits of the integer part after leading zeros, or minus the
                           // zeros after the point before the first significant digit
    bool seenPoint = false;
    bool seenDigit = false;
    bool roundUp = false;
    bool decided = false;
    for (; i < length; ++i) {
        const char c = text[i];
        if (c == '.' && !seenPoint) {
            seenPoint = true;
            continue;
        }
        if (c < '0' || c > '9') break;
        seenDigit = true;
        if (count == 0 && c == '0') {
            if (seenPoint) --pointPlace;
            continue;
        }
        if (!seenPoint) ++pointPlace;
        if (count < keyDigits) {
            digits[count++] = c;
        } else if (!decided) {  // the 21st digit rounds
            roundUp = c >= '5';
            decided = true;
        }
    }
    while (i < length && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i < length && text[i] != '\0') {
        // '*' overflow fill or other garbage reads as 0, as c4textToDouble does.
        c4bcdFromDouble(key, c4textToDouble(text, length));
        return;
    }
    if (!seenDigit) {
        zeroKey(key);
        return;
    }
    if (roundUp) {
        int j = keyDigits - 1;
        while (j >= 0 && digits[j] == '9') digits[j--] = '0';
        if (j >= 0) {
            ++digits[j];
        } else {
            digits[0] = '1';
            count = 1;
            ++pointPlace;
        }
    }
    while (count > 0 && digits[count - 1] == '0') --count;
    digitsKey(key, digits, count, pointPlace, negative && count > 0);
}

int c4bcdCmp(const char* a, const char* b) {
    const bool negA = (static_cast<unsigned char>(a[1]) & 0x80) != 0;
    const bool negB = (static_cast<unsigned char>(b[1]) & 0x80) != 0;
    if (negA != negB) return negA ? -1 : 1;
    const int countA = digitCount(a);
    const int countB = digitCount(b);
    const int expA = countA == 0 ? 0 : static_cast<unsigned char>(a[0]);
    const int expB = countB == 0 ? 0 : static_cast<unsigned char>(b[0]);
    int result;
    if (expA != expB) {
        result = expA < expB ? -1 : 1;
    } else {
        int bytes = ((countA > countB ? countA : countB) + 1) / 2;
        if (bytes > 10) bytes = 10;
        result = std::memcmp(a + 2, b + 2, size_t(bytes));
        result = result < 0 ? -1 : result > 0 ? 1 : 0;
    }
    return negA ? -result : result;
}
