// The WAVE header we write and the RIFF walker that reads WAVE files from
// outside: sizes from the file are never trusted past the file's end.
#include "media/wavefile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "tests/media/test_support.h"

namespace orvelin::media {
namespace {

using test::Le16;
using test::Le32;

constexpr auto Id = test::AppendId;
constexpr auto U32 = test::AppendLe32;
void Chunk(std::vector<uint8_t>& v, const char* id, uint32_t declared, size_t actual, uint8_t fill) {
    Id(v, id);
    U32(v, declared);
    v.insert(v.end(), actual, fill);
}

// RIFF WAVE with a 16-byte fmt chunk, optional chunks, then data.
std::vector<uint8_t> Wave(size_t samples, bool listBefore = false, bool listAfter = false) {
    std::vector<uint8_t> v;
    Id(v, "RIFF");
    U32(v, 0);
    Id(v, "WAVE");
    Chunk(v, "fmt ", 16, 0, 0);
    const uint8_t fmt[16] = {1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0};
    v.insert(v.end(), fmt, fmt + 16);
    if (listBefore) Chunk(v, "LIST", 5, 6, 'L');  // odd size, padded
    Chunk(v, "data", static_cast<uint32_t>(samples), samples, 0x80);
    if (samples & 1) v.push_back(0);
    if (listAfter) Chunk(v, "LIST", 10, 10, 'T');
    const auto riff = static_cast<uint32_t>(v.size() - 8);
    std::memcpy(&v[4], &riff, 4);
    return v;
}

bool Parse(const std::vector<uint8_t>& file, WaveLayout& layout) {
    // An exactly sized heap copy, so the sanitizer sees any read past the end.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[std::max<size_t>(file.size(), 1)]);
    if (!file.empty()) std::memcpy(copy.get(), file.data(), file.size());
    return ParseWave(copy.get(), file.size(), layout);
}

TEST(WaveHeader, Is58BytesWithTheSampleCountInEachSizeField) {
    const auto h = MakeWaveHeader(WaveFormatALaw, 20000);
    const std::vector<uint8_t> v(h.begin(), h.end());
    EXPECT_EQ(std::string(v.begin(), v.begin() + 4), "RIFF");
    EXPECT_EQ(Le32(v, 4), 20050u);
    EXPECT_EQ(std::string(v.begin() + 8, v.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(Le32(v, 16), 18u);
    EXPECT_EQ(Le16(v, 20), 6);
    EXPECT_EQ(Le16(v, 22), 1);
    EXPECT_EQ(Le32(v, 24), 8000u);
    EXPECT_EQ(Le32(v, 28), 8000u);
    EXPECT_EQ(Le16(v, 32), 1);
    EXPECT_EQ(Le16(v, 34), 8);
    EXPECT_EQ(Le16(v, 36), 0);
    EXPECT_EQ(std::string(v.begin() + 38, v.begin() + 42), "fact");
    EXPECT_EQ(Le32(v, 42), 4u);
    EXPECT_EQ(Le32(v, 46), 20000u);
    EXPECT_EQ(std::string(v.begin() + 50, v.begin() + 54), "data");
    EXPECT_EQ(Le32(v, 54), 20000u);
}

TEST(ParseWave, FindsDataAfterOtherChunksAndStopsAtItsSize) {
    WaveLayout l;
    ASSERT_TRUE(Parse(Wave(100), l));
    EXPECT_EQ(l.fmtOffset, 20u);
    EXPECT_EQ(l.fmtSize, 16u);
    EXPECT_EQ(l.dataOffset, 44u);  // "data" at 36
    EXPECT_EQ(l.dataSize, 100u);

    ASSERT_TRUE(Parse(Wave(101, true, true), l));
    EXPECT_EQ(l.dataOffset, 36u + 14 + 8);
    EXPECT_EQ(l.dataSize, 101u);  // the trailing LIST is not audio
}

TEST(ParseWave, DataSizeZeroOrUnsetMeansToTheEnd) {
    for (uint32_t declared : {0u, 0xFFFFFFFFu, 5000u}) {
        auto v = Wave(100);
        std::memcpy(&v[40], &declared, 4);
        WaveLayout l;
        ASSERT_TRUE(Parse(v, l)) << declared;
        EXPECT_EQ(l.dataSize, 100u) << declared;
    }
}

TEST(ParseWave, TheRiffSizeBoundsTheSamples) {
    auto v = Wave(100);
    uint32_t riff = 36 + 50;
    std::memcpy(&v[4], &riff, 4);
    WaveLayout l;
    ASSERT_TRUE(Parse(v, l));
    EXPECT_EQ(l.dataSize, 50u);
    riff = 30;  // ends before the data chunk
    std::memcpy(&v[4], &riff, 4);
    EXPECT_FALSE(Parse(v, l));
    riff = 0xFFFFFFF0u;  // beyond the file: the file's end holds
    std::memcpy(&v[4], &riff, 4);
    ASSERT_TRUE(Parse(v, l));
    EXPECT_EQ(l.dataSize, 100u);
}

// A chunk before the data whose size runs past the file or the RIFF: "data" is then searched byte by byte after the format chunk.
TEST(ParseWave, DataBehindABrokenChunkIsFoundBySearch) {
    const struct {
        uint32_t listSize;
        const char* why;
    } cases[] = {{0x7FFFFFF0u, "beyond the file"}, {200u, "beyond the RIFF"}};
    for (const auto& c : cases) {
        auto v = Wave(101, true, false);
        std::memcpy(&v[40], &c.listSize, 4);  // the LIST chunk at 36
        WaveLayout l;
        ASSERT_TRUE(Parse(v, l)) << c.why;
        EXPECT_EQ(l.dataOffset, 36u + 14 + 8) << c.why;  // "data" at 50, samples at 58
        EXPECT_EQ(l.dataSize, 101u) << c.why;
    }
    // Nothing named "data" anywhere: refused.
    auto v = Wave(10, true, false);
    const uint32_t huge = 0x7FFFFFF0u;
    std::memcpy(&v[40], &huge, 4);
    std::memcpy(&v[50], "dat4", 4);
    WaveLayout l;
    EXPECT_FALSE(Parse(v, l));
}

TEST(ParseWave, RefusesMalformedFiles) {
    WaveLayout l;
    auto notRiff = Wave(10);
    notRiff[0] = 'X';
    EXPECT_FALSE(Parse(notRiff, l));
    auto fmtNotFirst = Wave(10);
    std::memcpy(&fmtNotFirst[12], "LIST", 4);
    EXPECT_FALSE(Parse(fmtNotFirst, l));
    for (uint32_t fmtSize : {0u, 15u, 69u, 0xFFFFFFF0u}) {
        auto v = Wave(10);
        std::memcpy(&v[16], &fmtSize, 4);
        EXPECT_FALSE(Parse(v, l)) << fmtSize;
    }
    auto noData = Wave(10);
    std::memcpy(&noData[36], "dat4", 4);
    EXPECT_FALSE(Parse(noData, l));
    EXPECT_FALSE(Parse(Wave(0), l));  // nothing to convert
    EXPECT_FALSE(Parse({}, l));
}

TEST(ParseWave, EveryTruncationBeforeTheFirstSampleIsRefused) {
    const auto v = Wave(64, true);
    WaveLayout l;
    ASSERT_TRUE(Parse(v, l));
    const size_t firstSample = l.dataOffset;
    for (size_t cut = 0; cut <= firstSample; ++cut)
        EXPECT_FALSE(Parse(std::vector<uint8_t>(v.begin(), v.begin() + static_cast<long>(cut)), l)) << cut;
    ASSERT_TRUE(Parse(std::vector<uint8_t>(v.begin(), v.begin() + static_cast<long>(firstSample + 3)), l));
    EXPECT_EQ(l.dataSize, 3u);
}

// Random byte changes, insertions and cuts of a valid file: the walker either
// refuses or names regions inside the buffer. Run under the sanitizers.
TEST(ParseWave, SurvivesRandomMutations) {
    std::mt19937 rng(20261208);
    const auto base = Wave(200, true, true);
    int accepted = 0;
    for (int iteration = 0; iteration < 30000; ++iteration) {
        auto v = base;
        const int edits = 1 + static_cast<int>(rng() % 6);
        for (int e = 0; e < edits; ++e) {
            const size_t at = rng() % v.size();
            switch (rng() % 4) {
            case 0: v[at] = static_cast<uint8_t>(rng()); break;
            case 1: v[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
            case 2: v.resize(std::max<size_t>(at, 1)); break;
            default: {
                // Size fields are the interesting targets.
                const size_t field = std::vector<size_t>{4, 16, 40, 54, 266}[rng() % 5];
                if (field + 4 <= v.size()) {
                    const uint32_t values[] = {0, 1, 0x7FFFFFFF, 0xFFFFFFFF, static_cast<uint32_t>(rng())};
                    std::memcpy(&v[field], &values[rng() % 5], 4);
                }
            }
            }
        }
        WaveLayout l;
        if (!Parse(v, l)) continue;
        ++accepted;
        ASSERT_GE(l.fmtSize, 16u);
        ASSERT_LE(l.fmtSize, MaxFormatSize);
        ASSERT_LE(l.fmtOffset + l.fmtSize, v.size());
        ASSERT_GT(l.dataSize, 0u);
        ASSERT_LE(l.dataOffset + l.dataSize, v.size());
        if (l.factOffset) {
            ASSERT_LE(l.factOffset + 4, v.size());
        }
    }
    EXPECT_GT(accepted, 0);
}

TEST(AtomicFile, AppearsOnlyOnCommit) {
    test::TempDir dir;
    const std::string path = dir / "out.wav";
    {
        AtomicFile f;
        ASSERT_TRUE(f.Open(path));
        f.Write("abc", 3);
        EXPECT_FALSE(std::filesystem::exists(path));
        ASSERT_TRUE(f.Commit());
    }
    EXPECT_EQ(test::ReadBytes(path), (std::vector<uint8_t>{'a', 'b', 'c'}));
    {
        AtomicFile f;
        ASSERT_TRUE(f.Open(path));
        f.Write("xyz!", 4);
    }  // abandoned: the old file stays
    EXPECT_EQ(test::ReadBytes(path), (std::vector<uint8_t>{'a', 'b', 'c'}));
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"out.wav"});
    AtomicFile missing;
    EXPECT_FALSE(missing.Open(dir / "no/such/dir.wav"));
    EXPECT_FALSE(missing.Commit());
}

}  // namespace
}  // namespace orvelin::media
