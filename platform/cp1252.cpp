#include "platform/cp1252.h"

#include <cstdint>

namespace platform {

namespace {

// Code points of 0x80..0x9F; 0 where the code page defines no character.
constexpr char32_t kHigh[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

char encodeOne(char32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
    for (int i = 0; i < 32; ++i) {
        if (kHigh[i] != 0 && kHigh[i] == c) return static_cast<char>(0x80 + i);
    }
    return '?';
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string utf8ToCp1252(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    std::size_t i = 0;
    while (i < in.size()) {
        const auto b = static_cast<std::uint8_t>(in[i]);
        std::size_t len = 0;
        char32_t c = 0;
        if (b < 0x80) {
            len = 1;
            c = b;
        } else if ((b & 0xE0) == 0xC0 && b >= 0xC2) {
            len = 2;
            c = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
            c = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0 && b <= 0xF4) {
            len = 4;
            c = b & 0x07;
        }
        bool valid = len > 0 && i + len <= in.size();
        for (std::size_t k = 1; valid && k < len; ++k) {
            const auto cb = static_cast<std::uint8_t>(in[i + k]);
            if ((cb & 0xC0) != 0x80) valid = false;
            c = (c << 6) | (cb & 0x3F);
        }
        // Overlong forms and surrogates are not characters.
        if (valid && ((len == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) ||
                      (len == 4 && (c < 0x10000 || c > 0x10FFFF)))) {
            valid = false;
        }
        if (!valid) {
            out += '?';
            ++i;
            continue;
        }
        out += encodeOne(c);
        i += len;
    }
    return out;
}

std::string cp1252ToUtf8(std::string_view in) {
    // Plain ASCII, the usual case, is copied as it stands.
    std::size_t ascii = 0;
    while (ascii < in.size() && static_cast<std::uint8_t>(in[ascii]) < 0x80) ++ascii;
    std::string out;
    out.reserve(in.size());
    out.append(in.data(), ascii);
    for (char ch : in.substr(ascii)) {
        const auto b = static_cast<std::uint8_t>(ch);
        if (b < 0x80 || b >= 0xA0) {
            appendUtf8(out, b);
            continue;
        }
        const char32_t c = kHigh[b - 0x80];
        if (c == 0) {
            out += '?';
        } else {
            appendUtf8(out, c);
        }
    }
    return out;
}

}  // namespace platform
