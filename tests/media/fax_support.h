// Test-side fax tools written apart from the converter: an MH (T.4 1-D)
// row encoder for both colours, an SFF file builder, and a small TIFF
// directory reader for checking layouts and decoded pages.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/media/test_support.h"

namespace orvelin::test {

using Row = std::vector<uint8_t>;  // one pixel per byte, 1 = black

struct Code {
    uint16_t bits;
    uint8_t length;
};

// T.4 tables 2 and 3, written out independently of the product's copy.
inline const Code WhiteTerm[64] = {
    {0x35, 8}, {0x07, 6}, {0x07, 4}, {0x08, 4}, {0x0B, 4}, {0x0C, 4}, {0x0E, 4}, {0x0F, 4},
    {0x13, 5}, {0x14, 5}, {0x07, 5}, {0x08, 5}, {0x08, 6}, {0x03, 6}, {0x34, 6}, {0x35, 6},
    {0x2A, 6}, {0x2B, 6}, {0x27, 7}, {0x0C, 7}, {0x08, 7}, {0x17, 7}, {0x03, 7}, {0x04, 7},
    {0x28, 7}, {0x2B, 7}, {0x13, 7}, {0x24, 7}, {0x18, 7}, {0x02, 8}, {0x03, 8}, {0x1A, 8},
    {0x1B, 8}, {0x12, 8}, {0x13, 8}, {0x14, 8}, {0x15, 8}, {0x16, 8}, {0x17, 8}, {0x28, 8},
    {0x29, 8}, {0x2A, 8}, {0x2B, 8}, {0x2C, 8}, {0x2D, 8}, {0x04, 8}, {0x05, 8}, {0x0A, 8},
    {0x0B, 8}, {0x52, 8}, {0x53, 8}, {0x54, 8}, {0x55, 8}, {0x24, 8}, {0x25, 8}, {0x58, 8},
    {0x59, 8}, {0x5A, 8}, {0x5B, 8}, {0x4A, 8}, {0x4B, 8}, {0x32, 8}, {0x33, 8}, {0x34, 8},
};
inline const Code WhiteMake[27] = {
    {0x1B, 5}, {0x12, 5}, {0x17, 6}, {0x37, 7}, {0x36, 8}, {0x37, 8}, {0x64, 8}, {0x65, 8}, {0x68, 8},
    {0x67, 8}, {0xCC, 9}, {0xCD, 9}, {0xD2, 9}, {0xD3, 9}, {0xD4, 9}, {0xD5, 9}, {0xD6, 9}, {0xD7, 9},
    {0xD8, 9}, {0xD9, 9}, {0xDA, 9}, {0xDB, 9}, {0x98, 9}, {0x99, 9}, {0x9A, 9}, {0x18, 6}, {0x9B, 9},
};
inline const Code BlackTerm[64] = {
    {0x37, 10}, {0x02, 3},  {0x03, 2},  {0x02, 2},  {0x03, 3},  {0x03, 4},  {0x02, 4},  {0x03, 5},
    {0x05, 6},  {0x04, 6},  {0x04, 7},  {0x05, 7},  {0x07, 7},  {0x04, 8},  {0x07, 8},  {0x18, 9},
    {0x17, 10}, {0x18, 10}, {0x08, 10}, {0x67, 11}, {0x68, 11}, {0x6C, 11}, {0x37, 11}, {0x28, 11},
    {0x17, 11}, {0x18, 11}, {0xCA, 12}, {0xCB, 12}, {0xCC, 12}, {0xCD, 12}, {0x68, 12}, {0x69, 12},
    {0x6A, 12}, {0x6B, 12}, {0xD2, 12}, {0xD3, 12}, {0xD4, 12}, {0xD5, 12}, {0xD6, 12}, {0xD7, 12},
    {0x6C, 12}, {0x6D, 12}, {0xDA, 12}, {0xDB, 12}, {0x54, 12}, {0x55, 12}, {0x56, 12}, {0x57, 12},
    {0x64, 12}, {0x65, 12}, {0x52, 12}, {0x53, 12}, {0x24, 12}, {0x37, 12}, {0x38, 12}, {0x27, 12},
    {0x28, 12}, {0x58, 12}, {0x59, 12}, {0x2B, 12}, {0x2C, 12}, {0x5A, 12}, {0x66, 12}, {0x67, 12},
};
inline const Code BlackMake[27] = {
    {0x0F, 10}, {0xC8, 12}, {0xC9, 12}, {0x5B, 12}, {0x33, 12}, {0x34, 12}, {0x35, 12},
    {0x6C, 13}, {0x6D, 13}, {0x4A, 13}, {0x4B, 13}, {0x4C, 13}, {0x4D, 13}, {0x72, 13},
    {0x73, 13}, {0x74, 13}, {0x75, 13}, {0x76, 13}, {0x77, 13}, {0x52, 13}, {0x53, 13},
    {0x54, 13}, {0x55, 13}, {0x5A, 13}, {0x5B, 13}, {0x64, 13}, {0x65, 13},
};
inline const Code ExtMake[13] = {
    {0x08, 11}, {0x0C, 11}, {0x0D, 11}, {0x12, 12}, {0x13, 12}, {0x14, 12}, {0x15, 12},
    {0x16, 12}, {0x17, 12}, {0x1C, 12}, {0x1D, 12}, {0x1E, 12}, {0x1F, 12},
};

// MH-codes a row without EOL, most significant bit first, zero-padded to a byte.
inline std::vector<uint8_t> EncodeRow(const Row& row) {
    std::vector<uint8_t> out;
    int used = 0;
    auto put = [&](Code c) {
        for (int i = c.length - 1; i >= 0; --i) {
            if (used == 0) out.push_back(0);
            if ((c.bits >> i) & 1) out.back() |= static_cast<uint8_t>(0x80 >> used);
            used = (used + 1) % 8;
        }
    };
    auto run = [&](unsigned length, bool black) {
        while (length >= 2624) {
            put(ExtMake[12]);
            length -= 2560;
        }
        if (length >= 64) {
            const unsigned m = length / 64;
            put(m <= 27 ? (black ? BlackMake : WhiteMake)[m - 1] : ExtMake[m - 28]);
            length -= m * 64;
        }
        put((black ? BlackTerm : WhiteTerm)[length]);
    };
    size_t i = 0;
    bool black = false;
    for (;;) {  // a row always starts with a (maybe empty) white run
        size_t j = i;
        while (j < row.size() && (row[j] != 0) == black) ++j;
        run(static_cast<unsigned>(j - i), black);
        i = j;
        black = !black;
        if (i == row.size()) break;
    }
    return out;
}

inline uint8_t Reverse(uint8_t b) {
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i) r = static_cast<uint8_t>(r | (((b >> i) & 1) << (7 - i)));
    return r;
}

// Packs a row MSB first, 1 = black: the layout of an uncompressed min-is-white TIFF.
inline std::vector<uint8_t> PackRow(const Row& row) {
    std::vector<uint8_t> packed((row.size() + 7) / 8);
    for (size_t i = 0; i < row.size(); ++i)
        if (row[i]) packed[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    return packed;
}

class SffBuilder {
public:
    explicit SffBuilder(bool userArea = false) {
        bytes_ = {'S', 'f', 'f', 'f', 1, 0, 0, 0, 0, 0, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        if (userArea) {
            bytes_[6] = 64;
            bytes_[10] = 84;
            for (int i = 0; i < 64; ++i) bytes_.push_back(static_cast<uint8_t>(0xA0 + i % 16));
        }
    }
    // A page header of `length` bytes (16 defined, more are padding).
    SffBuilder& Page(uint8_t vres, uint16_t width, uint8_t coding = 0, uint8_t length = 16) {
        std::vector<uint8_t> h = {vres, 0, coding, 0, static_cast<uint8_t>(width), static_cast<uint8_t>(width >> 8),
                                  0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        h.resize(length, 0x77);
        bytes_.push_back(254);
        bytes_.push_back(length);
        bytes_.insert(bytes_.end(), h.begin(), h.end());
        return *this;
    }
    // `msbFirst` is coded as TIFF wants it; SFF stores it least significant bit first.
    SffBuilder& Line(const std::vector<uint8_t>& msbFirst, bool forceEscape = false) {
        if (msbFirst.size() <= 216 && !msbFirst.empty() && !forceEscape) {
            bytes_.push_back(static_cast<uint8_t>(msbFirst.size()));
        } else {
            bytes_.push_back(0);
            bytes_.push_back(static_cast<uint8_t>(msbFirst.size()));
            bytes_.push_back(static_cast<uint8_t>(msbFirst.size() >> 8));
        }
        for (uint8_t b : msbFirst) bytes_.push_back(Reverse(b));
        return *this;
    }
    SffBuilder& Row(const test::Row& row, bool forceEscape = false) { return Line(EncodeRow(row), forceEscape); }
    SffBuilder& WhiteSkip(unsigned lines) {
        bytes_.push_back(static_cast<uint8_t>(216 + lines));
        return *this;
    }
    SffBuilder& Illegal() {
        bytes_.push_back(255);
        bytes_.push_back(0);
        return *this;
    }
    SffBuilder& UserData(uint8_t size) {
        bytes_.push_back(255);
        bytes_.push_back(size);
        for (unsigned i = 0; i < size; ++i) bytes_.push_back(254);  // looks like page headers
        return *this;
    }
    SffBuilder& End() {
        bytes_.push_back(254);
        bytes_.push_back(0);
        return *this;
    }
    SffBuilder& Raw(std::vector<uint8_t> raw) {
        bytes_.insert(bytes_.end(), raw.begin(), raw.end());
        return *this;
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

// One directory as the file states it, every value bounds-checked.
struct TiffDir {
    uint32_t offset = 0;
    uint32_t next = 0;
    std::vector<uint16_t> tags;                       // in file order
    std::map<uint16_t, std::vector<uint32_t>> values;  // RATIONAL as numerator, denominator
    std::map<uint16_t, std::pair<uint16_t, uint32_t>> typeCount;
    uint32_t Get(uint16_t tag, size_t i = 0) const {
        auto it = values.find(tag);
        return it == values.end() || i >= it->second.size() ? 0xFFFFFFFFu : it->second[i];
    }
    bool Has(uint16_t tag) const { return values.count(tag) != 0; }
};

// Walks every directory; false with a reason for anything out of bounds, a
// loop, or strips reaching past the end of the file.
inline bool ReadTiffDirs(const std::vector<uint8_t>& f, std::vector<TiffDir>& dirs, std::string& why) {
    dirs.clear();
    if (f.size() < 8 || f[0] != 'I' || f[1] != 'I' || Le16(f, 2) != 42) return why = "bad header", false;
    uint32_t at = Le32(f, 4);
    std::set<uint32_t> seen;
    while (at != 0) {
        if (!seen.insert(at).second) return why = "directory loop", false;
        if (at & 1) return why = "odd directory offset", false;
        if (uint64_t{at} + 2 > f.size()) return why = "directory past end", false;
        const uint16_t count = Le16(f, at);
        if (uint64_t{at} + 2 + 12ull * count + 4 > f.size()) return why = "directory past end", false;
        TiffDir d;
        d.offset = at;
        for (uint16_t k = 0; k < count; ++k) {
            const size_t e = at + 2 + 12 * size_t{k};
            const uint16_t tag = Le16(f, e), type = Le16(f, e + 2);
            const uint32_t n = Le32(f, e + 4);
            const unsigned size = type == 3 ? 2 : type == 4 ? 4 : type == 5 ? 8 : 0;
            if (size == 0 || n > (1u << 20)) return why = "bad type or count", false;
            const uint64_t total = uint64_t{size} * n;
            const uint64_t where = total <= 4 ? e + 8 : Le32(f, e + 8);
            if (where + total > f.size()) return why = "value past end", false;
            std::vector<uint32_t> v;
            for (uint32_t i = 0; i < n; ++i) {
                if (type == 3) v.push_back(Le16(f, where + 2 * i));
                if (type == 4) v.push_back(Le32(f, where + 4 * i));
                if (type == 5) {
                    v.push_back(Le32(f, where + 8 * i));
                    v.push_back(Le32(f, where + 8 * i + 4));
                }
            }
            d.tags.push_back(tag);
            d.values[tag] = v;
            d.typeCount[tag] = {type, n};
        }
        d.next = Le32(f, at + 2 + 12 * size_t{count});
        const auto& offs = d.values[273];
        const auto& counts = d.values[279];
        if (offs.size() != counts.size()) return why = "strip tables differ", false;
        for (size_t i = 0; i < offs.size(); ++i)
            if (uint64_t{offs[i]} + counts[i] > f.size()) return why = "strip past end", false;
        dirs.push_back(std::move(d));
        at = dirs.back().next;
    }
    return true;
}

struct DecodedPage {
    uint32_t width = 0;
    std::vector<std::vector<uint8_t>> rows;  // packed, MSB first, 1 = black
};

// Decodes with the TIFF tools (not our code): recompress to none, then read
// the plain strips. Empty result with `why` set on failure.
inline std::vector<DecodedPage> DecodeWithTools(const std::string& tiff, const std::string& scratch, std::string& why) {
    std::string out;
    const int rc = Run("tiffcp -c none '" + tiff + "' '" + scratch + "'", &out);
    if (rc != 0 || !out.empty()) {
        why = "tiffcp: " + out;
        return {};
    }
    const auto f = ReadBytes(scratch);
    std::vector<TiffDir> dirs;
    if (!ReadTiffDirs(f, dirs, why)) return {};
    std::vector<DecodedPage> pages;
    for (const auto& d : dirs) {
        if (d.Get(259) != 1 || d.Get(262) != 0 || (d.Has(266) && d.Get(266) != 1)) {
            why = "unexpected uncompressed layout";
            return {};
        }
        DecodedPage p;
        p.width = d.Get(256);
        std::vector<uint8_t> data;
        for (size_t i = 0; i < d.values.at(273).size(); ++i) {
            const uint32_t o = d.values.at(273)[i], c = d.values.at(279)[i];
            data.insert(data.end(), f.begin() + o, f.begin() + o + c);
        }
        const size_t rowBytes = (p.width + 7) / 8;
        const uint32_t length = d.Get(257);
        if (data.size() < rowBytes * length) {
            why = "short strips";
            return {};
        }
        for (uint32_t r = 0; r < length; ++r)
            p.rows.emplace_back(data.begin() + r * rowBytes, data.begin() + (r + 1) * rowBytes);
        pages.push_back(std::move(p));
    }
    return pages;
}

}  // namespace orvelin::test
