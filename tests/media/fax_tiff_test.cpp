// SFF to TIFF conversion: byte layout, decoding by independent tools, the
// failure codes, and hostile input.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <random>

#include "media/fax_tiff.h"
#include "media/sff.h"
#include "media/wavefile.h"
#include "tests/media/fax_support.h"

namespace orvelin::media {
namespace {

using test::DecodedPage;
using test::EncodeRow;
using test::Le16;
using test::Le32;
using test::PackRow;
using test::ReadBytes;
using test::Row;
using test::SffBuilder;
using test::TempDir;
using test::TiffDir;
using test::WriteBytes;

constexpr uint16_t TagWidth = 256, TagLength = 257, TagCompression = 259, TagPhotometric = 262,
                   TagStripOffsets = 273, TagRowsPerStrip = 278, TagStripCounts = 279, TagXRes = 282,
                   TagYRes = 283, TagResUnit = 296;

bool HaveTiffTools() { return test::HaveTool("tiffcp") && test::HaveTool("tiffinfo") && test::HaveTool("tiffdump"); }

#define REQUIRE_TIFF_TOOLS() \
    if (!HaveTiffTools()) GTEST_SKIP() << "tiffcp, tiffinfo or tiffdump missing (Debian package libtiff-tools)"

Row WhiteRow(unsigned width) { return Row(width, 0); }

// Runs of random length, short ones favoured so rows carry many codes.
Row RandomRow(unsigned width, std::mt19937& rng) {
    Row row(width, 0);
    uint8_t colour = rng() % 2;
    for (unsigned x = 0; x < width;) {
        const unsigned run = rng() % 4 == 0 ? 1 + rng() % 3000 : 1 + rng() % 40;
        for (unsigned i = 0; i < run && x < width; ++i) row[x++] = colour;
        colour ^= 1;
    }
    return row;
}

// Every pixel alternates: the longest possible coding, past 216 bytes.
Row CheckerRow(unsigned width) {
    Row row(width, 0);
    for (unsigned x = 0; x < width; ++x) row[x] = x % 2;
    return row;
}

struct Expected {
    uint32_t width;
    uint32_t yres;
    std::vector<Row> rows;
};

struct Result {
    int code = -1;
    std::string path;
    std::vector<uint8_t> tiff;
};

Result Convert(const TempDir& dir, const std::vector<uint8_t>& sff, const std::string& name = "fax.sff") {
    WriteBytes(dir / name, sff);
    Result r;
    r.code = ConvertSffToTiff(dir / name, &r.path);
    if (!r.path.empty()) r.tiff = ReadBytes(r.path);
    return r;
}

std::vector<TiffDir> Dirs(const std::vector<uint8_t>& tiff) {
    std::vector<TiffDir> dirs;
    std::string why;
    EXPECT_TRUE(test::ReadTiffDirs(tiff, dirs, why)) << why;
    return dirs;
}

// Decodes with the TIFF tools and compares each page, row by row.
void ExpectDecodes(const TempDir& dir, const std::string& tiff, const std::vector<Expected>& pages) {
    std::string why;
    const std::vector<DecodedPage> decoded = test::DecodeWithTools(tiff, dir / "plain.tif", why);
    ASSERT_EQ(decoded.size(), pages.size()) << why;
    for (size_t p = 0; p < pages.size(); ++p) {
        SCOPED_TRACE("page " + std::to_string(p));
        ASSERT_EQ(decoded[p].width, pages[p].width);
        ASSERT_EQ(decoded[p].rows.size(), pages[p].rows.size());
        for (size_t r = 0; r < pages[p].rows.size(); ++r)
            ASSERT_EQ(decoded[p].rows[r], PackRow(pages[p].rows[r])) << "row " << r;
    }
    // The TIFF itself states the resolution of each page.
    const auto dirs = Dirs(ReadBytes(tiff));
    ASSERT_EQ(dirs.size(), pages.size());
    for (size_t p = 0; p < pages.size(); ++p) {
        EXPECT_EQ(dirs[p].Get(TagYRes), pages[p].yres) << "page " << p;
        EXPECT_EQ(dirs[p].Get(TagXRes), 203u);
    }
}

TEST(FaxTiff, OnePageLayoutIsExact) {
    TempDir dir;
    std::mt19937 rng(7);
    const std::vector<Row> rows = {RandomRow(1728, rng), RandomRow(1728, rng), RandomRow(1728, rng)};
    SffBuilder sff;
    sff.Page(1, 1728);
    for (const Row& row : rows) sff.Row(row);
    sff.End();
    const Result r = Convert(dir, sff.bytes());
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.path, dir / "fax.tif");
    const auto& f = r.tiff;
    ASSERT_GE(f.size(), 8u + 154 + 18);
    EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.begin() + 8), (std::vector<uint8_t>{'I', 'I', 42, 0, 8, 0, 0, 0}));

    const uint32_t p = 8, n = 3;
    EXPECT_EQ(Le16(f, p), 11);
    struct E {
        uint16_t tag, type;
        uint32_t count, value;
    };
    const uint32_t data = p + 154 + 6 * n;
    const E entries[11] = {{254, 4, 1, 0},
                           {TagWidth, 4, 1, 1728},
                           {TagLength, 4, 1, n},
                           {TagCompression, 3, 1, 2},
                           {TagPhotometric, 3, 1, 0},
                           {TagStripOffsets, 4, n, p + 154},
                           {TagRowsPerStrip, 4, 1, 1},
                           {TagStripCounts, 3, n, p + 154 + 4 * n},
                           {TagXRes, 5, 1, p + 138},
                           {TagYRes, 5, 1, p + 146},
                           {TagResUnit, 3, 1, 2}};
    for (int i = 0; i < 11; ++i) {
        const size_t e = p + 2 + 12 * i;
        EXPECT_EQ(Le16(f, e), entries[i].tag) << i;
        EXPECT_EQ(Le16(f, e + 2), entries[i].type) << i;
        EXPECT_EQ(Le32(f, e + 4), entries[i].count) << i;
        EXPECT_EQ(Le32(f, e + 8), entries[i].value) << i;
    }
    EXPECT_EQ(Le32(f, p + 134), 0u) << "single directory";
    EXPECT_EQ(Le32(f, p + 138), 203u);
    EXPECT_EQ(Le32(f, p + 142), 1u);
    EXPECT_EQ(Le32(f, p + 146), 196u);
    EXPECT_EQ(Le32(f, p + 150), 1u);
    // Lines follow each other, most significant bit first as MH coded them.
    uint32_t at = data;
    for (uint32_t i = 0; i < n; ++i) {
        const auto coded = EncodeRow(rows[i]);
        EXPECT_EQ(Le32(f, p + 154 + 4 * i), at);
        EXPECT_EQ(Le16(f, p + 154 + 4 * n + 2 * i), coded.size());
        ASSERT_LE(at + coded.size(), f.size());
        EXPECT_EQ(std::vector<uint8_t>(f.begin() + at, f.begin() + at + coded.size()), coded) << "line " << i;
        at += static_cast<uint32_t>(coded.size());
    }
    EXPECT_EQ(at, f.size());
}

// One strip offset, or up to two SHORT counts, stand in the entry itself.
TEST(FaxTiff, SmallTablesStandInTheEntry) {
    TempDir dir;
    const auto a = EncodeRow(CheckerRow(64)), b = EncodeRow(WhiteRow(64));
    for (unsigned lines : {1u, 2u}) {
        SffBuilder sff;
        sff.Page(0, 64).Line(a);
        if (lines == 2) sff.Line(b);
        const Result r = Convert(dir, sff.End().bytes());
        ASSERT_EQ(r.code, 0);
        const auto dirs = Dirs(r.tiff);
        ASSERT_EQ(dirs.size(), 1u);
        const auto& f = r.tiff;
        const size_t offsets = 8 + 2 + 12 * 5, counts = 8 + 2 + 12 * 7;
        if (lines == 1) {
            EXPECT_EQ(Le32(f, offsets + 8), 8u + 154 + 6) << "the one strip's offset";
            EXPECT_EQ(Le32(f, counts + 8), a.size());
        } else {
            EXPECT_EQ(Le32(f, offsets + 8), 8u + 154) << "two offsets need the array";
            EXPECT_EQ(Le32(f, counts + 8), a.size() | b.size() << 16);
        }
        // The arrays are there all the same.
        EXPECT_EQ(Le32(f, 8 + 154), 8u + 154 + 6 * lines);
        EXPECT_EQ(Le16(f, 8 + 154 + 4 * lines), a.size());
    }
}

TEST(FaxTiff, ToolsReadTheFields) {
    REQUIRE_TIFF_TOOLS();
    TempDir dir;
    std::mt19937 rng(11);
    SffBuilder sff;
    sff.Page(0, 1728);
    for (int i = 0; i < 5; ++i) sff.Row(RandomRow(1728, rng));
    sff.Page(1, 2048);
    for (int i = 0; i < 7; ++i) sff.Row(RandomRow(2048, rng));
    const Result r = Convert(dir, sff.End().bytes());
    ASSERT_EQ(r.code, 0);
    std::string info;
    ASSERT_EQ(test::Run("tiffinfo '" + r.path + "'", &info), 0) << info;
    EXPECT_EQ(info.find("Warning"), std::string::npos) << info;
    const std::string pages[2] = {"Image Width: 1728 Image Length: 5", "Image Width: 2048 Image Length: 7"};
    size_t at = 0;
    for (const std::string& expected : pages) {
        at = info.find("TIFF Directory at offset", at);
        ASSERT_NE(at, std::string::npos) << info;
        const size_t end = info.find("TIFF Directory at offset", at + 1);
        const std::string page = info.substr(at, end == std::string::npos ? std::string::npos : end - at);
        EXPECT_NE(page.find(expected), std::string::npos) << page;
        EXPECT_NE(page.find(expected == pages[0] ? "Resolution: 203, 98 pixels/inch" : "Resolution: 203, 196 pixels/inch"),
                  std::string::npos)
            << page;
        EXPECT_NE(page.find("Compression Scheme: CCITT RLE"), std::string::npos) << page;
        EXPECT_NE(page.find("Photometric Interpretation: min-is-white"), std::string::npos) << page;
        EXPECT_NE(page.find("Rows/Strip: 1"), std::string::npos) << page;
        at = end;
    }
    EXPECT_EQ(at, std::string::npos) << "exactly two directories";
    // No fill-order tag: the default, most significant bit first, holds.
    std::string dump;
    ASSERT_EQ(test::Run("tiffdump '" + r.path + "'", &dump), 0) << dump;
    EXPECT_EQ(dump.find("FillOrder"), std::string::npos) << dump;
    EXPECT_EQ(dump.find("(266)"), std::string::npos) << dump;
}

// Every kind of record on pages of each width and resolution, decoded by the
// TIFF tools and compared pixel for pixel with what the SFF coded.
TEST(FaxTiff, DecodedPagesMatchTheCodedRows) {
    REQUIRE_TIFF_TOOLS();
    TempDir dir;
    std::mt19937 rng(2024);
    SffBuilder sff(true);
    std::vector<Expected> pages;

    // Fine, 1728: short and escape records, white skips, user data, fill records and an
    // escape record of no bytes. White skips, user data and fill records produce no line.
    sff.Page(1, 1728);
    pages.push_back({1728, 196, {}});
    for (int i = 0; i < 20; ++i) {
        const Row row = RandomRow(1728, rng);
        sff.Row(row, i % 5 == 0);
        pages.back().rows.push_back(row);
    }
    sff.Row(CheckerRow(1728));  // more than 216 bytes: the escape form
    pages.back().rows.push_back(CheckerRow(1728));
    sff.WhiteSkip(1).WhiteSkip(37).UserData(9).Illegal().Line({});
    pages.back().rows.push_back(WhiteRow(1728));  // the empty line only
    sff.UserData(255).Row(CheckerRow(1728));
    pages.back().rows.push_back(CheckerRow(1728));

    // Each page keeps its own width and resolution.
    for (const auto& [vres, width] : std::vector<std::pair<uint8_t, uint16_t>>{{0, 2048}, {1, 2432}, {0, 3456}, {1, 864}}) {
        sff.Page(vres, width);
        pages.push_back({width, vres == 0 ? 98u : 196u, {}});
        for (int i = 0; i < 6; ++i) {
            const Row row = RandomRow(width, rng);
            sff.Row(row);
            pages.back().rows.push_back(row);
            if (i == 2) sff.WhiteSkip(3);  // no line
        }
    }
    // A header too short to hold a width takes the first page's; a longer
    // one is skipped past its sixteenth byte.
    sff.Page(0, 0, 0, 4);
    pages.push_back({1728, 98, {}});
    sff.Row(CheckerRow(1728));
    pages.back().rows.push_back(CheckerRow(1728));
    sff.Page(1, 1728, 0, 40);
    pages.push_back({1728, 196, {}});
    sff.Row(CheckerRow(1728));
    pages.back().rows.push_back(CheckerRow(1728));

    const Result r = Convert(dir, sff.End().bytes());
    ASSERT_EQ(r.code, 0);
    ExpectDecodes(dir, r.path, pages);
}

// All-white lines are coded by the converter itself: check the make-up
// boundaries of T.4, including runs beyond 2560.
TEST(FaxTiff, WhiteLinesDecodeAtEveryWidth) {
    REQUIRE_TIFF_TOOLS();
    TempDir dir;
    SffBuilder sff;
    std::vector<Expected> pages;
    for (uint16_t width : {1, 63, 64, 65, 127, 1727, 1728, 1729, 1792, 2559, 2560, 2623, 2624, 2687, 5184, 5247, 65535}) {
        Row black(width, 1);
        sff.Page(1, width).Row(black).WhiteSkip(2).Illegal().Line({}).Line({});
        pages.push_back({width, 196, {black, WhiteRow(width), WhiteRow(width)}});
    }
    const Result r = Convert(dir, sff.End().bytes());
    ASSERT_EQ(r.code, 0);
    ExpectDecodes(dir, r.path, pages);
}

TEST(FaxTiff, PagesAreLinkedOnWordBoundaries) {
    TempDir dir;
    std::mt19937 rng(3);
    // Pick rows until the first page's data ends on an odd offset.
    std::vector<uint8_t> line = EncodeRow(RandomRow(1728, rng));
    while (line.size() % 2 == 0) line = EncodeRow(RandomRow(1728, rng));
    SffBuilder sff;
    sff.Page(0, 1728).Line(line).Page(1, 2048).Row(RandomRow(2048, rng)).Row(RandomRow(2048, rng));
    const std::vector<uint8_t> withoutEnd = sff.bytes();
    const Result r = Convert(dir, sff.End().bytes());
    ASSERT_EQ(r.code, 0);
    const auto dirs = Dirs(r.tiff);
    ASSERT_EQ(dirs.size(), 2u);
    const uint32_t firstEnd = 8 + 154 + 6 + static_cast<uint32_t>(line.size());
    EXPECT_EQ(dirs[0].next, firstEnd + 1) << "one zero byte pads the odd end";
    EXPECT_EQ(r.tiff[firstEnd], 0);
    EXPECT_EQ(dirs[1].next, 0u);
    EXPECT_EQ(dirs[0].Get(TagWidth), 1728u);
    EXPECT_EQ(dirs[0].Get(TagYRes), 98u) << "first page at 98 lpi";
    EXPECT_EQ(dirs[1].Get(TagWidth), 2048u);
    EXPECT_EQ(dirs[1].Get(TagYRes), 196u) << "second page keeps its own 196 lpi";
    EXPECT_EQ(dirs[1].Get(TagLength), 2u);

    // Without the end-of-document header: the same pages, but code 2.
    const Result cut = Convert(dir, withoutEnd);
    EXPECT_EQ(cut.code, SffTiffNoPageHeader);
    EXPECT_EQ(cut.path, dir / "fax.tif");
    EXPECT_EQ(cut.tiff, r.tiff);
}

TEST(FaxTiff, PagesWithoutLinesLeaveNoDirectory) {
    TempDir dir;
    SffBuilder sff;
    sff.Page(1, 1728).UserData(3).Page(1, 1728).Row(CheckerRow(1728)).Page(0, 1728).End();
    const Result r = Convert(dir, sff.bytes());
    ASSERT_EQ(r.code, 0);
    const auto dirs = Dirs(r.tiff);
    ASSERT_EQ(dirs.size(), 1u);
    EXPECT_EQ(dirs[0].offset, 8u);
    EXPECT_EQ(dirs[0].Get(TagLength), 1u);
}

// A document without one line is no fax: nothing is written, a TIFF from
// an earlier run stays as it was, and the result is not success.
TEST(FaxTiff, EmptyDocumentIsNotAFax) {
    TempDir dir;
    WriteBytes(dir / "fax.tif", {'o', 'l', 'd'});
    SffBuilder empty;
    empty.Page(1, 1728).UserData(4).Page(0, 1728).End();
    const Result r = Convert(dir, empty.bytes());
    EXPECT_EQ(r.code, SffTiffNoPages);
    EXPECT_TRUE(r.path.empty());
    EXPECT_EQ(ReadBytes(dir / "fax.tif"), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"fax.sff", "fax.tif"}));
}

TEST(FaxTiff, ExistingTiffIsReplaced) {
    TempDir dir;
    WriteBytes(dir / "fax.tif", std::vector<uint8_t>(5000, 0xEE));
    SffBuilder sff;
    const Result r = Convert(dir, sff.Page(1, 1728).Row(CheckerRow(1728)).End().bytes());
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(Dirs(r.tiff).size(), 1u);
    EXPECT_LT(r.tiff.size(), 5000u);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"fax.sff", "fax.tif"}));
}

// Each fault after a complete first page: that page is kept, whole, and the
// code tells what went wrong.
TEST(FaxTiff, FaultsKeepTheCompletePages) {
    REQUIRE_TIFF_TOOLS();
    TempDir dir;
    const Row row = CheckerRow(1728);
    const auto coded = EncodeRow(row);
    SffBuilder good;
    good.Page(1, 1728).Row(row).Row(row);
    std::vector<uint8_t> many;
    for (int i = 0; i < 65536; ++i) many.insert(many.end(), {0, 0, 0});  // 65536 empty lines
    struct Case {
        const char* what;
        std::vector<uint8_t> tail;
        int code;
    };
    const std::vector<uint8_t> header = SffBuilder().Page(1, 1728).bytes();
    auto page = [&](std::vector<uint8_t> body) {
        std::vector<uint8_t> v(header.end() - 18, header.end());
        for (uint8_t b : body) v.push_back(b);  // a range insert here trips GCC 12's -Warray-bounds
        return v;
    };
    const std::vector<Case> cases = {
        {"escape length cut off by the end", {0, 5}, SffTiffNoPageHeader},
        {"file ends after the marker", {254}, SffTiffNoPageHeader},
        {"page header cut short", {254, 16, 1, 0, 0}, SffTiffPageHeaderShort},
        {"width 0", SffBuilder().Page(1, 0).Row(row).End().bytes(), SffTiffPageHeaderShort},
        {"two-dimensional coding", SffBuilder().Page(1, 1728, 1).Row(row).End().bytes(), SffTiffPageHeaderShort},
        {"user data cut short", page({255, 20, 1, 2, 3}), SffTiffUserDataShort},
        {"user data length missing", page({255}), SffTiffUserDataShort},
        {"short line cut short", page({30, 1, 2, 3}), SffTiffLineDataShort},
        {"escape line cut short", page({0, 0x00, 0x01, 1, 2, 3}), SffTiffLineDataShort},
        {"more than 65535 lines", page(many), SffTiffCannotWrite},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = good.bytes();
        // Strip the builder's own document header from cases built with one.
        const bool built = c.tail.size() >= 20 && c.tail[0] == 'S';
        bytes.insert(bytes.end(), c.tail.begin() + (built ? 20 : 0), c.tail.end());
        const Result r = Convert(dir, bytes);
        EXPECT_EQ(r.code, c.code);
        ASSERT_EQ(r.path, dir / "fax.tif");
        const auto dirs = Dirs(r.tiff);
        ASSERT_EQ(dirs.size(), 1u);
        EXPECT_EQ(dirs[0].next, 0u);
        EXPECT_EQ(r.tiff.size(), 8 + 154 + 12 + 2 * coded.size()) << "nothing of the faulty page";
        std::string info;
        EXPECT_EQ(test::Run("tiffinfo -D '" + r.path + "'", &info), 0) << info;
        EXPECT_EQ(info.find("rror"), std::string::npos) << info;
        EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"fax.sff", "fax.tif"}));
        std::remove(r.path.c_str());
    }
    // The same faults on the first page leave no TIFF at all.
    const std::vector<uint8_t> doc = SffBuilder().bytes();
    auto first = [&](std::vector<uint8_t> body) {
        std::vector<uint8_t> v = doc;
        v.insert(v.end(), body.begin(), body.end());
        return v;
    };
    std::vector<uint8_t> longHeader = SffBuilder().Page(1, 1728, 0, 40).bytes();
    longHeader.resize(longHeader.size() - 12);
    const std::vector<Case> firstCases = {
        {"no page header at the first page offset", first(std::vector<uint8_t>(18, 0x55)), SffTiffNoPageHeader},
        {"page header cut short", longHeader, SffTiffPageHeaderShort},
        {"width 0", SffBuilder().Page(1, 0).Row(row).End().bytes(), SffTiffPageHeaderShort},
        {"two-dimensional coding", SffBuilder().Page(1, 1728, 2).Row(row).End().bytes(), SffTiffPageHeaderShort},
        {"user data cut short", first(page({255, 20, 1, 2, 3})), SffTiffUserDataShort},
        {"line data cut short", first(page({30, 1, 2, 3})), SffTiffLineDataShort},
        {"more than 65535 lines", first(page(many)), SffTiffCannotWrite},
    };
    for (const Case& c : firstCases) {
        SCOPED_TRACE(std::string("first page: ") + c.what);
        const Result r = Convert(dir, c.tail);
        EXPECT_EQ(r.code, c.code);
        EXPECT_TRUE(r.path.empty());
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"fax.sff"});
    }
}

// An SFF stream that changes under the converter between its two passes
// over a page (another writer, a failing disk): from the `switchAt`-th
// absolute seek on it serves `after`; the `failAt`-th seek fails.
struct ShiftingSff {
    std::vector<uint8_t> before, after;
    int switchAt = 0, failAt = 0, seeks = 0;
    size_t pos = 0;
    bool switched = false;

    static ssize_t Read(void* cookie, char* into, size_t size) {
        auto* s = static_cast<ShiftingSff*>(cookie);
        const auto& bytes = s->switched ? s->after : s->before;
        const size_t n = s->pos >= bytes.size() ? 0 : std::min(size, bytes.size() - s->pos);
        std::memcpy(into, bytes.data() + s->pos, n);
        s->pos += n;
        return static_cast<ssize_t>(n);
    }
    static int Seek(void* cookie, off64_t* offset, int whence) {
        auto* s = static_cast<ShiftingSff*>(cookie);
        if (whence == SEEK_SET) {
            if (++s->seeks == s->failAt) return -1;
            if (s->seeks == s->switchAt) s->switched = true;
            s->pos = static_cast<size_t>(*offset);
        } else if (whence == SEEK_CUR) {
            s->pos = static_cast<size_t>(static_cast<off64_t>(s->pos) + *offset);
        } else {
            return -1;
        }
        *offset = static_cast<off64_t>(s->pos);
        return 0;
    }
    FILE* Open() { return fopencookie(this, "rb", {Read, nullptr, Seek, nullptr}); }
};

// A page that differs between the passes is cut off again: the TIFF ends
// with the last whole page and its link is cleared.
TEST(FaxTiff, PageChangedBetweenPassesIsCutOff) {
    TempDir dir;
    std::mt19937 rng(5);
    const Row a = RandomRow(1728, rng), b = CheckerRow(1728), c = RandomRow(1728, rng);
    SffBuilder first;
    first.Page(1, 1728).Row(a).Row(b);
    const Result reference = Convert(dir, SffBuilder(first).End().bytes());
    ASSERT_EQ(reference.code, 0);
    const std::vector<uint8_t> stable = SffBuilder(first).Page(1, 1728).bytes();
    const std::vector<uint8_t> before = SffBuilder(first).Page(1, 1728).Row(a).Row(b).Row(c).End().bytes();
    auto with = [&](const std::vector<uint8_t>& body) {
        std::vector<uint8_t> v = stable;
        v.insert(v.end(), body.begin(), body.end());
        return v;
    };
    // Ends inside the escape record of b, the second line.
    const size_t inB = stable.size() + 1 + EncodeRow(a).size() + 3 + 10;
    ASSERT_LT(inB, before.size());
    const std::vector<uint8_t> cut(before.begin(), before.begin() + static_cast<long>(inB));
    struct Case {
        const char* what;
        std::vector<uint8_t> after;
        int failAt;
        int code;
    };
    const std::vector<Case> cases = {
        {"line data cut short", cut, 0, SffTiffLineDataChanged},
        {"user data cut short", with({255, 50, 1, 2}), 0, SffTiffUserDataChanged},
        {"a line more", SffBuilder(first).Page(1, 1728).Row(a).Row(b).Row(c).Row(c).End().bytes(), 0, SffTiffLineDataChanged},
        {"a line less", SffBuilder(first).Page(1, 1728).Row(a).Row(b).End().bytes(), 0, SffTiffLineDataChanged},
        {"a line of another length", SffBuilder(first).Page(1, 1728).Row(b).Row(b).Row(c).End().bytes(), 0,
         SffTiffLineDataChanged},
        {"seek back fails", before, 3, SffTiffSeekFailed},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        ShiftingSff source{before, k.after, 3, k.failAt};
        FILE* sff = source.Open();
        ASSERT_NE(sff, nullptr);
        ASSERT_EQ(fseeko(sff, 20, SEEK_SET), 0);
        AtomicFile tiff;
        ASSERT_TRUE(tiff.Open(dir / "out.tif"));
        unsigned pages = 99;
        EXPECT_EQ(ConvertSffStream(sff, SffPage{}, tiff, pages), k.code);
        std::fclose(sff);
        EXPECT_EQ(pages, 1u);
        ASSERT_TRUE(tiff.Commit());
        EXPECT_EQ(ReadBytes(dir / "out.tif"), reference.tiff);
    }
    // Unchanged, the same stream gives both pages.
    ShiftingSff same{before, before, 3, 0};
    FILE* sff = same.Open();
    ASSERT_EQ(fseeko(sff, 20, SEEK_SET), 0);
    AtomicFile tiff;
    ASSERT_TRUE(tiff.Open(dir / "out.tif"));
    unsigned pages = 0;
    EXPECT_EQ(ConvertSffStream(sff, SffPage{}, tiff, pages), 0);
    std::fclose(sff);
    EXPECT_EQ(pages, 2u);
}

TEST(FaxTiff, UnreadableFilesGiveOne) {
    TempDir dir;
    std::string path = "x";
    EXPECT_EQ(ConvertSffToTiff(dir / "missing.sff", &path), SffTiffBadFile);
    EXPECT_TRUE(path.empty());
    std::vector<uint8_t> full = SffBuilder().Page(1, 1728).Row(CheckerRow(1728)).End().bytes();
    // Shorter than the document header, or than the first page header.
    for (size_t size : {0u, 19u, 20u, 37u}) {
        const Result r = Convert(dir, std::vector<uint8_t>(full.begin(), full.begin() + size));
        EXPECT_EQ(r.code, SffTiffBadFile) << size;
    }
    // A first page header beyond the end of the file.
    std::vector<uint8_t> far = full;
    far[10] = 0xFF;
    far[11] = 0xFF;
    EXPECT_EQ(Convert(dir, far).code, SffTiffBadFile);
    // A user area announced (first page at 84) that the file does not hold.
    std::vector<uint8_t> shortArea(full.begin(), full.begin() + 40);
    shortArea[10] = 84;
    EXPECT_EQ(Convert(dir, shortArea).code, SffTiffBadFile);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"fax.sff"});
}

TEST(FaxTiff, ReadSffHeaderFillsOrZeroes) {
    TempDir dir;
    SffHeaderInfo info;
    const auto with = SffBuilder(true).Page(1, 2048).Row(CheckerRow(2048)).End().bytes();
    WriteBytes(dir / "a.sff", with);
    ASSERT_TRUE(ReadSffHeader(dir / "a.sff", info));
    EXPECT_EQ(0, std::memcmp(info.documentHeader, with.data(), 20));
    EXPECT_EQ(0, std::memcmp(info.userArea, with.data() + 20, 64));
    EXPECT_EQ(0, std::memcmp(info.firstPageHeader, with.data() + 84, 18));
    EXPECT_EQ(info.firstPageHeader[0], 254);

    const auto without = SffBuilder().Page(0, 1728).Row(CheckerRow(1728)).End().bytes();
    WriteBytes(dir / "b.sff", without);
    std::memset(&info, 0x5A, sizeof info);
    ASSERT_TRUE(ReadSffHeader(dir / "b.sff", info));
    EXPECT_EQ(0, std::memcmp(info.firstPageHeader, without.data() + 20, 18));
    EXPECT_TRUE(std::all_of(std::begin(info.userArea), std::end(info.userArea), [](uint8_t b) { return b == 0; }));

    WriteBytes(dir / "c.sff", std::vector<uint8_t>(without.begin(), without.begin() + 30));
    std::memset(&info, 0x5A, sizeof info);
    EXPECT_FALSE(ReadSffHeader(dir / "c.sff", info));
    const auto* raw = reinterpret_cast<const uint8_t*>(&info);
    EXPECT_TRUE(std::all_of(raw, raw + sizeof info, [](uint8_t b) { return b == 0; }));
}

TEST(FaxTiff, TiffPathReplacesTheExtension) {
    EXPECT_EQ(TiffPathForSff("/var/lib/orvelin/FaxIn/0815.sff"), "/var/lib/orvelin/FaxIn/0815.tif");
    EXPECT_EQ(TiffPathForSff("/a/b.c/FAX.SFF"), "/a/b.c/FAX.tif");
    EXPECT_EQ(TiffPathForSff("/a/b.c/fax"), "/a/b.c/fax.tif");
    EXPECT_EQ(TiffPathForSff("fax.x.sff"), "fax.x.tif");
    EXPECT_EQ(TiffPathForSff("fax"), "fax.tif");
}

TEST(FaxTiff, FailedWriteIsNoSuccess) {
    TempDir dir;
    // A directory in the TIFF's place: the rename at the end must fail.
    ASSERT_EQ(::mkdir((dir / "fax.tif").c_str(), 0700), 0);
    const Result r = Convert(dir, SffBuilder().Page(1, 1728).Row(CheckerRow(1728)).End().bytes());
    EXPECT_EQ(r.code, SffTiffCannotWrite);
    EXPECT_TRUE(r.path.empty());
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"fax.sff", "fax.tif"})) << "no temporary file left";
}

// What any input must give: a code from the table, and either no TIFF or a
// whole one whose every page is complete; never a temporary file left over.
void CheckOutcome(const TempDir& dir, const Result& r, const std::string& what) {
    ASSERT_GE(r.code, 0) << what;
    ASSERT_LE(r.code, SffTiffNoPages) << what;
    if (r.path.empty()) {
        ASSERT_EQ(dir.Entries(), std::vector<std::string>{"fax.sff"}) << what;
        ASSERT_NE(r.code, 0) << what;
        return;
    }
    ASSERT_EQ(dir.Entries(), (std::vector<std::string>{"fax.sff", "fax.tif"})) << what;
    std::vector<TiffDir> dirs;
    std::string why;
    ASSERT_TRUE(test::ReadTiffDirs(r.tiff, dirs, why)) << what << ": " << why;
    ASSERT_FALSE(dirs.empty()) << what;
    uint64_t end = 8;
    for (const TiffDir& d : dirs) {
        ASSERT_EQ(d.tags.size(), 11u) << what;
        const uint32_t n = d.Get(TagLength);
        ASSERT_GE(n, 1u) << what;
        ASSERT_LE(n, MaxFaxPageLines) << what;
        ASSERT_EQ(d.typeCount.at(TagStripOffsets).second, n) << what;
        ASSERT_GE(d.Get(TagWidth), 1u) << what;
        ASSERT_EQ(d.offset, end + (end & 1)) << what;
        const auto& offsets = d.values.at(TagStripOffsets);
        const auto& counts = d.values.at(TagStripCounts);
        ASSERT_EQ(offsets[0], d.offset + 154 + 6 * n) << what;
        for (uint32_t i = 0; i < n; ++i) {
            ASSERT_GT(counts[i], 0u) << what;
            if (i > 0) {
                ASSERT_EQ(offsets[i], offsets[i - 1] + counts[i - 1]) << what;
            }
        }
        end = uint64_t{offsets[n - 1]} + counts[n - 1];
    }
    ASSERT_EQ(end, r.tiff.size()) << what << ": the last page is complete and nothing follows";
    std::remove(r.path.c_str());
}

TEST(FaxTiff, HostileFilesAreRefusedCleanly) {
    TempDir dir;
    const std::vector<uint8_t> doc = SffBuilder().bytes();
    auto after = [&](std::vector<uint8_t> body) {
        std::vector<uint8_t> v = doc;
        v.insert(v.end(), body.begin(), body.end());
        v.resize(std::max<size_t>(v.size(), 38), 0);
        return v;
    };
    std::vector<std::pair<std::string, std::vector<uint8_t>>> corpus = {
        {"all ones", std::vector<uint8_t>(4096, 0xFF)},
        {"all zeros", std::vector<uint8_t>(4096, 0x00)},
        {"all markers", std::vector<uint8_t>(4096, 0xFE)},
        {"first page at offset 0", [&] { auto v = after({}); v[10] = 0; return v; }()},
        {"header of 255 bytes cut", after({254, 255, 1, 0, 0, 0, 0xC0, 6})},
        {"escape of 65535 bytes cut", after({254, 16, 1, 0, 0, 0, 0xC0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 1})},
        {"width 65535, one white skip", after({254, 16, 1, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 217, 254, 0})},
    };
    // Many tiny pages: every page needs its own directory, all linked.
    std::vector<uint8_t> pages = doc;
    for (int i = 0; i < 3000; ++i) pages.insert(pages.end(), {254, 1, 1, 0, 0, 0});
    pages.insert(pages.end(), {254, 0});
    corpus.push_back({"3000 one-line pages", pages});
    for (const auto& [what, bytes] : corpus) {
        const Result r = Convert(dir, bytes);
        CheckOutcome(dir, r, what);
    }
    const Result many = Convert(dir, pages);
    EXPECT_EQ(many.code, 0);
    EXPECT_EQ(Dirs(many.tiff).size(), 3000u);
}

// Random damage to a valid multi-page fax, under the sanitizers: every
// outcome must satisfy CheckOutcome; a sample is read back by the TIFF tools.
TEST(FaxTiff, MutatedFilesNeverCrashOrTear) {
    TempDir dir;
    std::mt19937 rng(0xFA7);
    SffBuilder base(true);
    base.Page(1, 1728);
    for (int i = 0; i < 6; ++i) base.Row(RandomRow(1728, rng), i == 3);
    base.WhiteSkip(5).UserData(7).Illegal().Page(0, 2048);
    for (int i = 0; i < 6; ++i) base.Row(RandomRow(2048, rng));
    base.Page(1, 864).Row(CheckerRow(864)).End();
    const std::vector<uint8_t>& good = base.bytes();
    const bool tools = HaveTiffTools();
    const uint8_t interesting[] = {0, 1, 16, 215, 216, 217, 253, 254, 255};
    int withTiff = 0;
    for (int iteration = 0; iteration < 600; ++iteration) {
        std::vector<uint8_t> bytes = good;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const size_t at = rng() % bytes.size();
            switch (rng() % 5) {
                case 0: bytes[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
                case 1: bytes[at] = interesting[rng() % sizeof interesting]; break;
                case 2: bytes.resize(at); break;
                case 3: bytes.insert(bytes.begin() + static_cast<long>(at), interesting[rng() % sizeof interesting]); break;
                case 4: bytes.erase(bytes.begin() + static_cast<long>(at)); break;
            }
            if (bytes.empty()) bytes.push_back(0);
        }
        const std::string what = "iteration " + std::to_string(iteration);
        const Result r = Convert(dir, bytes);
        if (!r.path.empty() && tools && ++withTiff % 40 == 0) {
            std::string dump;
            EXPECT_EQ(test::Run("tiffdump '" + r.path + "'", &dump), 0) << what << dump;
        }
        CheckOutcome(dir, r, what);
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(withTiff, 120) << "mutations should still leave many convertible files";
}

}  // namespace
}  // namespace orvelin::media
