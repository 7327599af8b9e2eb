// G.711 coding checked exhaustively against an independent coder, plus the
// answering machine's own rounding of negative samples and the gain control.
#include "media/g711.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <functional>
#include <vector>

#include "tests/media/g711_arithmetic.h"
#include "tests/media/spandsp_reference.h"

namespace orvelin::media {
namespace {

int ALawMagnitudeCode(uint8_t a) { return (a ^ 0x55) & 0x7F; }
bool ALawPositive(uint8_t a) { return (a & 0x80) != 0; }

TEST(BitReverse, TableReversesEveryByteAndIsItsOwnInverse) {
    EXPECT_EQ(BitReverseTable[1], 128);
    EXPECT_EQ(BitReverseTable[2], 64);
    EXPECT_EQ(BitReverseTable[3], 192);
    for (int i = 0; i < 256; ++i) {
        int r = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (i & (1 << bit)) r |= 0x80 >> bit;
        EXPECT_EQ(BitReverseTable[i], r) << i;
        EXPECT_EQ(BitReverseTable[BitReverseTable[i]], i) << i;
    }
}

TEST(ALaw, DecodesAll256CodesLikeTheReference) {
    for (int a = 0; a < 256; ++a)
        EXPECT_EQ(ALawToLinear(static_cast<uint8_t>(a)), ref_alaw_to_linear(static_cast<uint8_t>(a))) << a;
    EXPECT_EQ(ALawToLinear(0xD5), 8);
    EXPECT_EQ(ALawToLinear(0x55), -8);
    EXPECT_EQ(ALawToLinear(0xAA), 32256);
    EXPECT_EQ(ALawToLinear(0x2A), -32256);
}

TEST(ALaw, EncodesEveryNonNegativeSampleLikeTheReference) {
    for (int x = 0; x <= 32767; ++x) ASSERT_EQ(LinearToALaw(x), ref_linear_to_alaw(x)) << x;
    EXPECT_EQ(LinearToALaw(0), 0xD5);
    EXPECT_EQ(LinearToALaw(32767), 0xAA);
}

// Negative samples lose 8 before quantising (the reference loses 1), so they
// are checked against that rule, not against another encoder.
TEST(ALaw, RoundsNegativeSamplesByItsOwnRule) {
    EXPECT_EQ(LinearToALaw(-8), 0x55);
    EXPECT_EQ(LinearToALaw(-32768), 0x2A);
    EXPECT_EQ(LinearToALaw(-17), 0x55);  // the reference gives 0x54 here
    for (int x = -7; x <= -1; ++x) EXPECT_EQ(LinearToALaw(x), 0x55) << x;
    for (int x = -32768; x <= -8; ++x)
        ASSERT_EQ(LinearToALaw(x), LinearToALaw(-x - 8) ^ 0x80) << x;
    int differing = 0;
    for (int x = -32768; x < 0; ++x) differing += LinearToALaw(x) != ref_linear_to_alaw(x);
    EXPECT_EQ(differing, 889);
}

TEST(ALaw, UsesOnlyTheLow16BitsOfTheArgument) {
    EXPECT_EQ(LinearToALaw(0x10000 + 1000), LinearToALaw(1000));
    EXPECT_EQ(LinearToALaw(0x8000), LinearToALaw(-32768));
    EXPECT_EQ(LinearToALaw(-0x10000 - 5), LinearToALaw(-5));
}

TEST(ALaw, DecodingThenEncodingGivesBackEveryCode) {
    for (int a = 0; a < 256; ++a)
        EXPECT_EQ(LinearToALaw(ALawToLinear(static_cast<uint8_t>(a))), a) << a;
}

TEST(MuLaw, TranscodingTablesMatchTheReference) {
    for (int c = 0; c < 256; ++c) {
        const auto b = static_cast<uint8_t>(c);
        EXPECT_EQ(MuLawToALaw(b), ref_ulaw_to_alaw(b)) << c;
        EXPECT_EQ(ALawToMuLaw(b), ref_alaw_to_ulaw(b)) << c;
    }
    // MuToATable holds the A-law code plus one, AToMuTable the code itself.
    EXPECT_EQ(MuToATable[0], 1);
    EXPECT_EQ(MuToATable[127], 128);
    EXPECT_EQ(AToMuTable[0], 1);
    EXPECT_EQ(AToMuTable[127], 127);
    for (int i = 1; i < 128; ++i) {
        EXPECT_LE(MuToATable[i - 1], MuToATable[i]) << i;
        EXPECT_LE(AToMuTable[i - 1], AToMuTable[i]) << i;
    }
}

TEST(MuLaw, DecodesAll256CodesThroughALaw) {
    for (int u = 0; u < 256; ++u) {
        const auto b = static_cast<uint8_t>(u);
        const int ours = ALawToLinear(MuLawToALaw(b));
        EXPECT_EQ(ours, ref_alaw_to_linear(ref_ulaw_to_alaw(b))) << u;
        // Within one A-law step of the mu-law value itself.
        const int direct = ref_ulaw_to_linear(b);
        EXPECT_LE(std::abs(ours - direct), std::max(16, std::abs(direct) / 16)) << u;
        if (direct != 0) {
            EXPECT_EQ(ours > 0, direct > 0) << u;
        }
    }
}

TEST(MuLaw, EncodesEveryNonNegativeSampleThroughALaw) {
    for (int x = 0; x <= 32767; ++x) {
        const uint8_t ours = ALawToMuLaw(LinearToALaw(x));
        ASSERT_EQ(ours, ref_alaw_to_ulaw(ref_linear_to_alaw(x))) << x;
        const int back = ref_ulaw_to_linear(ours);
        ASSERT_LE(std::abs(back - x), std::max(32, x / 8)) << x;
    }
}

TEST(MuLaw, ALawToMuLawAndBackStaysWithinOneStep) {
    for (int a = 0; a < 256; ++a) {
        const auto b = static_cast<uint8_t>(a);
        const uint8_t back = MuLawToALaw(ALawToMuLaw(b));
        EXPECT_EQ(ALawPositive(back), ALawPositive(b)) << a;
        EXPECT_LE(std::abs(ALawMagnitudeCode(back) - ALawMagnitudeCode(b)), 1) << a;
    }
}


// FNV-1a over the 16-bit results, so a digest also pins results the
// arithmetic above would share with a changed coder.
uint64_t Digest(int count, const std::function<int(int)>& f) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (int i = 0; i < count; ++i) {
        const auto v = static_cast<uint16_t>(f(i));
        for (uint8_t byte : {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}) {
            h ^= byte;
            h *= 0x100000001b3ull;
        }
    }
    return h;
}

struct Pinned {
    const char* name;
    int inputs;  // every 16-bit sample, or every 8-bit code
    std::function<int(int)> coder;
    std::function<int(int)> arithmetic;
    uint64_t digest;  // of the results as first released
};

// Inputs 0..65535 stand for the samples 0..32767, -32768..-1 (low 16 bits).
TEST(PinnedResults, EverySampleAndEveryCodeCodesAsFirstReleased) {
    auto u8 = [](int i) { return static_cast<uint8_t>(i); };
    const std::vector<Pinned> pinned = {
        {"linear to A-law", 65536, [](int x) { return LinearToALaw(x); },
         [](int x) { return arithmetic::LinearToALaw(x); }, 10624369908542048698ull},
        {"A-law to linear", 256, [&](int a) { return ALawToLinear(u8(a)); },
         [&](int a) { return arithmetic::ALawToLinear(u8(a)); }, 7582444160614126245ull},
        {"mu-law to A-law", 256, [&](int u) { return MuLawToALaw(u8(u)); },
         [&](int u) { return arithmetic::MuLawToALaw(u8(u)); }, 6649052166789547973ull},
        {"A-law to mu-law", 256, [&](int a) { return ALawToMuLaw(u8(a)); },
         [&](int a) { return arithmetic::ALawToMuLaw(u8(a)); }, 6819024307151727749ull},
        {"linear to mu-law", 65536, [](int x) { return ALawToMuLaw(LinearToALaw(x)); },
         [](int x) { return arithmetic::ALawToMuLaw(arithmetic::LinearToALaw(x)); }, 12200711680486629467ull},
        {"mu-law to linear", 256, [&](int u) { return ALawToLinear(MuLawToALaw(u8(u))); },
         [&](int u) { return arithmetic::ALawToLinear(arithmetic::MuLawToALaw(u8(u))); }, 11968781601717672709ull},
    };
    for (const auto& p : pinned) {
        for (int i = 0; i < p.inputs; ++i) ASSERT_EQ(p.coder(i), p.arithmetic(i)) << p.name << " of " << i;
        EXPECT_EQ(Digest(p.inputs, p.coder), p.digest) << p.name;
    }
}

// A regression pin: the digests were taken from this code's own output, so they catch a
// change, not an error. The gain arithmetic itself is checked against worked values in
// the Gain tests below, and the coding against the independent arithmetic above. The
// signal sweeps every level, so a change in the order of coding and gain shows.
TEST(PinnedResults, PipelinesWithGainCodeAsFirstReleased) {
    using Pipeline = uint8_t (*)(uint8_t, GainState&);
    const std::vector<std::pair<const char*, Pipeline>> pipelines = {
        {"ConvertALawByte", [](uint8_t b, GainState& g) { return ConvertALawByte(b, g); }},
        {"ConvertALawByteToMuLaw", [](uint8_t b, GainState& g) { return ConvertALawByteToMuLaw(b, g); }},
        {"ConvertPcm8Byte", [](uint8_t b, GainState& g) { return ConvertPcm8Byte(b, g); }},
        {"ConvertPcm8ByteToMuLaw", [](uint8_t b, GainState& g) { return ConvertPcm8ByteToMuLaw(b, g, false); }},
        {"LineALawToPcm8", [](uint8_t b, GainState& g) { return LineALawToPcm8(b, g); }},
        {"LineMuLawToPcm8", [](uint8_t b, GainState& g) { return LineMuLawToPcm8(b, g); }},
    };
    const uint64_t digests[] = {892178785627563038ull,   10786951368572433644ull, 2834928923309560856ull,
                                8242083737130758955ull, 11627070867834373227ull, 11291350205980407112ull};
    for (size_t k = 0; k < pipelines.size(); ++k) {
        GainState g;
        ASSERT_TRUE(g.Configure(4000.0, 650, 130));
        // Noise whose amplitude rises and falls over the whole byte range
        // (integers only, so the input is the same on every machine).
        auto input = [](int i) {
            const int noise = static_cast<int>((static_cast<uint32_t>(i) * 2654435761u) >> 24) - 128;
            const int phase = i % 8192;
            const int envelope = phase < 4096 ? phase / 32 : (8191 - phase) / 32;  // 0..127
            return static_cast<uint8_t>(128 + noise * envelope / 128);
        };
        EXPECT_EQ(Digest(200000, [&](int i) { return pipelines[k].second(input(i), g); }), digests[k])
            << pipelines[k].first;
    }
}

GainState Agc(double level = 4000.0, int32_t floor = 650, int32_t window = 130) {
    GainState g;
    EXPECT_TRUE(g.Configure(level, floor, window));
    return g;
}

TEST(Gain, WindowZeroPassesSamplesUnchanged) {
    GainState g = Agc(0, 0, 0);
    EXPECT_FALSE(g.Enabled());
    for (int x = -32768; x <= 32767; x += 7) ASSERT_EQ(AdjustGain(g, x), x);
    EXPECT_EQ(AdjustGain(g, -32768), -32768);
    GainState negative;
    EXPECT_TRUE(negative.Configure(4000.0, 650, -5));
    EXPECT_FALSE(negative.Enabled());
    EXPECT_EQ(AdjustGain(negative, 1234), 1234);
}

TEST(Gain, QuietInputSettlesAtLevelOverFloor) {
    GainState g = Agc();
    int out = 0;
    for (int i = 0; i < 130; ++i) out = AdjustGain(g, 400);
    EXPECT_EQ(out, 2461);  // 400 x 4000 / 650, truncated
    GainState n = Agc();
    for (int i = 0; i < 130; ++i) out = AdjustGain(n, -400);
    EXPECT_EQ(out, -2461);
}

TEST(Gain, LoudInputSettlesAtHalf) {
    GainState g = Agc();
    int out = 0;
    for (int i = 0; i < 200; ++i) out = AdjustGain(g, 8000);
    EXPECT_EQ(out, 4000);
    for (int i = 0; i < 200; ++i) out = AdjustGain(g, -8000);
    EXPECT_EQ(out, -4000);
}

TEST(Gain, FirstSamplesOfAConversionAreClippedSymmetrically) {
    GainState g = Agc();
    EXPECT_EQ(AdjustGain(g, 3000), 32767);
    EXPECT_EQ(AdjustGain(g, -3000), -32767);
    EXPECT_EQ(AdjustGain(g, 0), 0);
    // Reset makes the next conversion start afresh, index and sum included.
    for (int i = 0; i < 500; ++i) AdjustGain(g, 8000);
    g.Reset();
    EXPECT_EQ(AdjustGain(g, 3000), 32767);
}

TEST(Gain, SilenceWithoutFloorGivesZeroNotADivisionByZero) {
    GainState g = Agc(4000.0, 0, 10);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(AdjustGain(g, 0), 0);
}

TEST(Gain, HoldsTheFullMagnitudeOfMinus32768) {
    GainState unity = Agc(32768.0, 0, 1);
    EXPECT_EQ(AdjustGain(unity, -32768), -32767);  // gain exactly 1, clipped
    GainState half = Agc(16384.0, 0, 1);
    EXPECT_EQ(AdjustGain(half, -32768), -16384);
}

TEST(Gain, ClampsTheFloorAndRefusesAbsurdWindows) {
    GainState g = Agc(32767.0, 40000, 1);
    EXPECT_EQ(AdjustGain(g, 100), 100);  // floor held at full scale: gain 1
    GainState absurd;
    EXPECT_FALSE(absurd.Configure(4000.0, 650, GainState::MaxWindow + 1));
    EXPECT_FALSE(absurd.Enabled());
    // A negative or non-finite level would make the gain negative or meaningless: refused,
    // gain control stays off and samples pass unchanged.
    for (double level : {-100000.0, -1e-9, std::nan(""), std::numeric_limits<double>::infinity()}) {
        GainState bad;
        EXPECT_FALSE(bad.Configure(level, 650, 130)) << level;
        EXPECT_FALSE(bad.Enabled()) << level;
        EXPECT_EQ(AdjustGain(bad, 1000), 1000) << level;
    }
}

TEST(Gain, LargestWindowSumsWithoutOverflow) {
    GainState g = Agc(4000.0, 650, GainState::MaxWindow);
    int out = 0;
    for (int i = 0; i < GainState::MaxWindow + 10; ++i) out = AdjustGain(g, 32767);
    EXPECT_NEAR(out, 4000, 1);
}

TEST(Pipelines, WithoutGainArePureCodingPlusReversal) {
    GainState off;
    for (int c = 0; c < 256; ++c) {
        const auto b = static_cast<uint8_t>(c);
        const int pcm = (c - 128) * 256;
        ASSERT_EQ(ConvertALawByte(b, off), BitReverseTable[b]);
        ASSERT_EQ(ConvertALawByte(b, off, false), b);
        ASSERT_EQ(ConvertALawByteToMuLaw(b, off), BitReverseTable[ALawToMuLaw(b)]);
        ASSERT_EQ(ConvertPcm8Byte(b, off), BitReverseTable[LinearToALaw(pcm)]);
        ASSERT_EQ(ConvertPcm8ByteToMuLaw(b, off, false), ALawToMuLaw(LinearToALaw(pcm)));
        ASSERT_EQ(LineALawToPcm8(b, off), static_cast<uint8_t>((ALawToLinear(BitReverseTable[b]) >> 8) + 128));
        ASSERT_EQ(LineMuLawToPcm8(b, off),
                  static_cast<uint8_t>((ALawToLinear(MuLawToALaw(BitReverseTable[b])) >> 8) + 128));
    }
    EXPECT_EQ(ConvertPcm8Byte(128, off), BitReverseTable[0xD5]);
    // Line silence decodes to the PCM midpoint.
    EXPECT_EQ(LineALawToPcm8(BitReverseTable[0xD5], off), 128);
    EXPECT_EQ(LineALawToPcm8(BitReverseTable[0x55], off), 127);
}

TEST(Pipelines, ApplyGainBetweenDecodingAndEncoding) {
    GainState a = Agc(), b = Agc();
    for (int c = 0; c < 1000; ++c) {
        const auto in = static_cast<uint8_t>(c * 37);
        const int y = AdjustGain(b, ALawToLinear(BitReverseTable[in]));
        ASSERT_EQ(LineALawToPcm8(in, a), static_cast<uint8_t>((y >> 8) + 128)) << c;
    }
    GainState p = Agc(), q = Agc();
    EXPECT_EQ(ConvertPcm8Byte(140, p), BitReverseTable[LinearToALaw(AdjustGain(q, 12 * 256))]);
    EXPECT_EQ(ConvertPcm8Byte(140, p), BitReverseTable[0xAA]);  // still inside the clipping start
}

}  // namespace
}  // namespace orvelin::media
