// The sound conversion library as the program uses it: loaded by absolute
// path, its one export looked up and called once, unloaded again.
#include <dlfcn.h>
#include <sys/stat.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <sstream>

#include "media/g711.h"
#include "media/wavefile.h"
#include "platform/library.h"
#include "tests/media/test_support.h"
#include "tests/support/numbered.h"

namespace orvelin::sundrel {
namespace {

using media::ALawToLinear;
using media::ALawToMuLaw;
using media::BitReverseTable;
using media::LinearToALaw;
using media::MuLawToALaw;
using test::Le16;
using test::Le32;
using test::TempDir;

const std::string LibraryPath = std::string(ORVELIN_BUILD_DIR) + "/libsundrel.so";

using ConvertSignature = int32_t(const char*, const char*, uint8_t, int32_t, int32_t, int32_t);

struct Gain {
    int32_t level, floor, window;
};
constexpr Gain NoGain{0, 0, 0};
constexpr Gain Agc{4000, 650, 130};

// Bound through the program's own binding (load by absolute path, look up,
// call once, unload): one conversion per load, as the answering machine does.
int32_t SndConvert(const std::string& source, const char* destination, bool toALaw, Gain g = NoGain) {
    const auto r = platform::callLibraryExportIn<ConvertSignature>(
        ORVELIN_BUILD_DIR, "libsundrel.so", "_SndConvertFile", source.c_str(), destination,
        static_cast<uint8_t>(toALaw ? 1 : 0), g.level, g.floor, g.window);
    if (!r.called()) {
        ADD_FAILURE() << "libsundrel.so not bound: " << r.error;
        return -1;
    }
    EXPECT_EQ(dlopen(LibraryPath.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "library stayed loaded";
    return *r.value;
}

int32_t SndConvert(const std::string& source, const std::string& destination, bool toALaw, Gain g = NoGain) {
    return SndConvert(source, destination.c_str(), toALaw, g);
}

// --- WAVE files made in the test ---------------------------------------------

constexpr auto Id = test::AppendId;
constexpr auto U16 = test::AppendLe16;
constexpr auto U32 = test::AppendLe32;

// Sets the RIFF size after the file grew or shrank.
void FixRiffSize(std::vector<uint8_t>& wave) {
    const auto riff = static_cast<uint32_t>(wave.size() - 8);
    std::memcpy(&wave[4], &riff, 4);
}

// 8 kHz 8-bit mono WAVE with the given tag and samples, optionally with a
// chunk before and after the data.
std::vector<uint8_t> MakeWave(uint16_t tag, const std::vector<uint8_t>& samples, bool extraChunks = false) {
    std::vector<uint8_t> v;
    Id(v, "RIFF");
    U32(v, 0);
    Id(v, "WAVE");
    Id(v, "fmt ");
    U32(v, tag == 1 ? 16 : 18);
    U16(v, tag);
    U16(v, 1);
    U32(v, 8000);
    U32(v, 8000);
    U16(v, 1);
    U16(v, 8);
    if (tag != 1) U16(v, 0);
    if (extraChunks) {
        Id(v, "LIST");
        U32(v, 4);
        Id(v, "INFO");
    }
    Id(v, "data");
    U32(v, static_cast<uint32_t>(samples.size()));
    v.insert(v.end(), samples.begin(), samples.end());
    if (samples.size() & 1) v.push_back(0);
    if (extraChunks) {
        Id(v, "id3 ");
        U32(v, 6);
        v.insert(v.end(), {'I', 'D', '3', 3, 0, 0});
    }
    FixRiffSize(v);
    return v;
}

// Puts `chunk` right behind a 16-byte "fmt " chunk, before the data.
void InsertChunkBeforeData(std::vector<uint8_t>& wave, const std::vector<uint8_t>& chunk) {
    wave.insert(wave.begin() + 36, chunk.begin(), chunk.end());
    FixRiffSize(wave);
}

std::vector<uint8_t> AllBytes(size_t repeat) {
    std::vector<uint8_t> v;
    for (size_t r = 0; r < repeat; ++r)
        for (int b = 0; b < 256; ++b) v.push_back(static_cast<uint8_t>(b * 73 + r));
    return v;
}

// --- the greeting written ------------------------------------------------------

struct Greeting {
    uint16_t tag = 0;
    std::vector<uint8_t> codes;  // as stored
};

::testing::AssertionResult ReadGreeting(const std::string& path, Greeting& g) {
    const auto f = test::ReadBytes(path);
    if (f.size() < 58) return ::testing::AssertionFailure() << path << ": " << f.size() << " bytes";
    const uint32_t n = Le32(f, 54);
    if (std::string(f.begin(), f.begin() + 4) != "RIFF" || std::string(f.begin() + 8, f.begin() + 16) != "WAVEfmt " ||
        Le32(f, 16) != 18 || std::string(f.begin() + 38, f.begin() + 42) != "fact" ||
        std::string(f.begin() + 50, f.begin() + 54) != "data")
        return ::testing::AssertionFailure() << path << ": not our header";
    if (Le32(f, 4) != n + 50 || Le32(f, 46) != n || f.size() != 58 + size_t{n})
        return ::testing::AssertionFailure() << path << ": sizes disagree";
    if (Le16(f, 22) != 1 || Le32(f, 24) != 8000 || Le32(f, 28) != 8000 || Le16(f, 32) != 1 || Le16(f, 34) != 8)
        return ::testing::AssertionFailure() << path << ": not 8 kHz 8-bit mono";
    g.tag = Le16(f, 20);
    g.codes.assign(f.begin() + 58, f.end());
    return ::testing::AssertionSuccess();
}

std::vector<int16_t> Decode(const Greeting& g, bool reversed) {
    std::vector<int16_t> x;
    for (uint8_t c : g.codes) {
        if (reversed) c = BitReverseTable[c];
        x.push_back(ALawToLinear(g.tag == media::WaveFormatMuLaw ? MuLawToALaw(c) : c));
    }
    return x;
}

double MeanMagnitude(const std::vector<int16_t>& x, size_t from) {
    double sum = 0;
    for (size_t i = from; i < x.size(); ++i) sum += std::abs(x[i]);
    return sum / static_cast<double>(x.size() - from);
}

// --- the library's promises ----------------------------------------------------------

TEST(SundrelLibrary, ExportsOneFunctionAndUnloads) {
    std::string out;
    if (!test::HaveTool("readelf")) GTEST_SKIP() << "readelf not installed";
    ASSERT_EQ(test::Run("readelf -sW --dyn-syms " + LibraryPath, &out), 0) << out;
    std::set<std::string> exported;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        EXPECT_EQ(line.find("UNIQUE"), std::string::npos) << line;
        std::istringstream f(line);
        std::string num, value, size, type, bind, vis, ndx, name;
        if (!(f >> num >> value >> size >> type >> bind >> vis >> ndx >> name)) continue;
        if (ndx == "UND" || vis != "DEFAULT" || (bind != "GLOBAL" && bind != "WEAK")) continue;
        if (type == "FUNC" && name != "_init" && name != "_fini") exported.insert(name);
    }
    EXPECT_EQ(exported, std::set<std::string>{"_SndConvertFile"});

    void* lib = dlopen(LibraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    EXPECT_NE(dlsym(lib, "_SndConvertFile"), nullptr);
    EXPECT_EQ(dlsym(lib, "SndConvertFile"), nullptr);
    ASSERT_EQ(dlclose(lib), 0);
    EXPECT_EQ(dlopen(LibraryPath.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "library stayed loaded";
}

// --- direct paths: byte-exact ----------------------------------------------------

TEST(SundrelDirect, Pcm8At8kHzBecomesTheG711CodesOfItsSamples) {
    TempDir dir;
    const auto samples = AllBytes(3);
    test::WriteBytes(dir / "pcm.wav", MakeWave(1, samples));
    for (bool aLaw : {true, false}) {
        ASSERT_EQ(SndConvert(dir / "pcm.wav", dir / "out.wav", aLaw), 1);
        Greeting g;
        ASSERT_TRUE(ReadGreeting(dir / "out.wav", g));
        EXPECT_EQ(g.tag, aLaw ? 6 : 7);
        ASSERT_EQ(g.codes.size(), samples.size());
        for (size_t i = 0; i < samples.size(); ++i) {
            const uint8_t a = LinearToALaw((samples[i] - 128) * 256);
            ASSERT_EQ(g.codes[i], aLaw ? a : ALawToMuLaw(a)) << i;
        }
    }
}

TEST(SundrelDirect, TargetFormatIsCopiedAndReversedOnlyForLineAudio) {
    TempDir dir;
    const auto samples = AllBytes(2);
    test::WriteBytes(dir / "alaw.wav", MakeWave(6, samples, /*extraChunks=*/true));
    ASSERT_EQ(SndConvert(dir / "alaw.wav", dir / "copy.wav", true), 1);
    Greeting copy;
    ASSERT_TRUE(ReadGreeting(dir / "copy.wav", copy));
    EXPECT_EQ(copy.tag, 6);
    EXPECT_EQ(copy.codes, samples);  // the chunks around the data are not audio

    for (const char* name : {"Call1.alw", "CALL2.ALW"}) {
        ASSERT_EQ(SndConvert(dir / "alaw.wav", dir / name, true), 1);
        Greeting line;
        ASSERT_TRUE(ReadGreeting(dir / name, line)) << name;
        ASSERT_EQ(line.codes.size(), samples.size());
        for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(line.codes[i], BitReverseTable[samples[i]]) << i;
    }

    test::WriteBytes(dir / "ulaw.wav", MakeWave(7, samples));
    ASSERT_EQ(SndConvert(dir / "ulaw.wav", dir / "mu.wav", false), 1);
    Greeting mu;
    ASSERT_TRUE(ReadGreeting(dir / "mu.wav", mu));
    EXPECT_EQ(mu.tag, 7);
    for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(mu.codes[i], ALawToMuLaw(MuLawToALaw(samples[i]))) << i;
}

// The chunks before the samples are read first, the samples as they are
// converted: a long chunk in front must not hide the data.
TEST(SundrelDirect, FindsTheDataBehindALongChunk) {
    TempDir dir;
    const auto samples = AllBytes(2);
    auto wave = MakeWave(1, samples);
    std::vector<uint8_t> junk;
    Id(junk, "JUNK");
    U32(junk, 300000);
    junk.resize(junk.size() + 300000, 0x5A);
    InsertChunkBeforeData(wave, junk);
    test::WriteBytes(dir / "long.wav", wave);
    ASSERT_EQ(SndConvert(dir / "long.wav", dir / "out.wav", true), 1);
    Greeting g;
    ASSERT_TRUE(ReadGreeting(dir / "out.wav", g));
    ASSERT_EQ(g.codes.size(), samples.size());
    for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(g.codes[i], LinearToALaw((samples[i] - 128) * 256)) << i;

    // A chunk claiming 2 GiB before the data: the search for "data" finds the samples.
    auto broken = MakeWave(1, samples, /*extraChunks=*/true);
    const uint32_t huge = 0x7FFFFFF0u;
    std::memcpy(&broken[40], &huge, 4);
    test::WriteBytes(dir / "broken.wav", broken);
    ASSERT_EQ(SndConvert(dir / "broken.wav", dir / "out2.wav", true), 1);
    ASSERT_TRUE(ReadGreeting(dir / "out2.wav", g));
    ASSERT_EQ(g.codes.size(), samples.size());
    for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(g.codes[i], LinearToALaw((samples[i] - 128) * 256)) << i;
}

// The export takes any 32-bit level: one that makes the gain negative is refused
// before anything is read or written.
TEST(SundrelRefuses, ANegativeGainLevel) {
    TempDir dir;
    test::WriteBytes(dir / "in.wav", MakeWave(1, AllBytes(2)));
    for (int32_t level : {-1, -100000, std::numeric_limits<int32_t>::min()}) {
        EXPECT_EQ(SndConvert(dir / "in.wav", dir / "out.wav", true, Gain{level, 650, 130}), 0) << level;
        EXPECT_FALSE(std::filesystem::exists(dir / "out.wav")) << level;
    }
    EXPECT_EQ(SndConvert(dir / "in.wav", dir / "out.wav", true, Gain{-1, 650, 0}), 1)
        << "without a window the level is not used";
}

TEST(SundrelDirect, GainControlRunsOverTheSamples) {
    TempDir dir;
    std::vector<uint8_t> quiet(4000);
    for (size_t i = 0; i < quiet.size(); ++i)
        quiet[i] = static_cast<uint8_t>(128 + std::lrint(8 * std::sin(2 * M_PI * 500 * static_cast<double>(i) / 8000)));
    test::WriteBytes(dir / "quiet.wav", MakeWave(1, quiet));
    ASSERT_EQ(SndConvert(dir / "quiet.wav", dir / "out.wav", true, Agc), 1);
    Greeting g;
    ASSERT_TRUE(ReadGreeting(dir / "out.wav", g));
    media::GainState state;
    ASSERT_TRUE(state.Configure(4000.0, 650, 130));
    for (size_t i = 0; i < quiet.size(); ++i) ASSERT_EQ(g.codes[i], media::ConvertPcm8Byte(quiet[i], state, false)) << i;
    EXPECT_GT(MeanMagnitude(Decode(g, false), 1000), 1500);  // raised from about 1300
}

TEST(SundrelDirect, WithoutDestinationOnlyReportsTheOutcome) {
    TempDir dir;
    test::WriteBytes(dir / "pcm.wav", MakeWave(1, AllBytes(1)));
    test::WriteBytes(dir / "bad.wav", {'R', 'I', 'F', 'F'});
    EXPECT_EQ(SndConvert(dir / "pcm.wav", nullptr, true), 1);
    EXPECT_EQ(SndConvert(dir / "bad.wav", nullptr, true), 0);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"bad.wav", "pcm.wav"}));
}

// --- any other encoding: decoded, mixed, resampled --------------------------------

struct Source {
    const char* name;
    const char* soxFormat;  // sox output options
    bool toALaw;
    bool lineAudio;
};

void PrintTo(const Source& s, std::ostream* os) { *os << s.name; }

class SundrelTone : public ::testing::TestWithParam<Source> {};

constexpr double ToneSeconds = 1.5;
constexpr double ToneHz = 1000;

TEST_P(SundrelTone, BecomesAn8kHzGreetingOfTheSameToneAndLength) {
    if (!test::HaveTool("sox")) GTEST_SKIP() << "sox not installed: no fixtures";
    const Source& s = GetParam();
    TempDir dir;
    const std::string src = dir / (std::string(s.name) + ".wav");
    std::string out;
    ASSERT_EQ(test::Run("sox -n " + std::string(s.soxFormat) + " " + src + " synth " + std::to_string(ToneSeconds) +
                            " sine " + std::to_string(ToneHz) + " vol 0.5",
                        &out),
              0)
        << out;
    const std::string dst = dir / (s.lineAudio ? "Call0.alw" : "greeting.wav");
    ASSERT_EQ(SndConvert(src, dst, s.toALaw), 1);
    Greeting g;
    ASSERT_TRUE(ReadGreeting(dst, g));
    EXPECT_EQ(g.tag, s.toALaw ? 6 : 7);
    EXPECT_NEAR(static_cast<double>(g.codes.size()), ToneSeconds * 8000, 400);
    const auto x = Decode(g, s.lineAudio);
    EXPECT_EQ(test::PeakFrequency(x, 8000, 200, 3800, 25), ToneHz);
    // vol 0.5 of full scale: a mean magnitude near 0.5 x 2/pi x 32768.
    EXPECT_NEAR(MeanMagnitude(x, 800), 10430, 1500);
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, SundrelTone,
    ::testing::Values(Source{"pcm16_44k_stereo", "-r 44100 -c 2 -b 16 -e signed-integer", true, false},
                      Source{"pcm16_44k_stereo_line", "-r 44100 -c 2 -b 16 -e signed-integer", true, true},
                      Source{"pcm8_11k", "-r 11025 -c 1 -b 8 -e unsigned-integer", false, false},
                      Source{"alaw_8k", "-r 8000 -c 1 -e a-law", true, false},
                      Source{"alaw_8k_to_mulaw", "-r 8000 -c 1 -e a-law", false, true},
                      Source{"mulaw_8k", "-r 8000 -c 1 -e u-law", false, false},
                      Source{"mulaw_8k_to_alaw", "-r 8000 -c 1 -e u-law", true, true},
                      Source{"ima_adpcm", "-r 8000 -c 1 -e ima-adpcm", true, false},
                      Source{"ima_adpcm_22k", "-r 22050 -c 1 -e ima-adpcm", false, false},
                      Source{"gsm610", "-r 8000 -c 1 -e gsm-full-rate", true, true},
                      Source{"float_48k", "-r 48000 -c 1 -e floating-point -b 32", true, false},
                      Source{"ms_adpcm_16k", "-r 16000 -c 1 -e ms-adpcm", true, false},
                      Source{"extensible_pcm24_96k_3ch", "-r 96000 -c 3 -b 24", false, true}),
    [](const ::testing::TestParamInfo<Source>& info) { return std::string(info.param.name); });

TEST(SundrelDecoded, GainControlEvensOutTheLevel) {
    if (!test::HaveTool("sox")) GTEST_SKIP() << "sox not installed: no fixtures";
    TempDir dir;
    for (const char* vol : {"0.05", "0.9"}) {
        std::string out;
        ASSERT_EQ(test::Run("sox -n -r 44100 -c 2 -b 16 " + (dir / "in.wav") + " synth 1 sine 600 vol " + vol, &out), 0)
            << out;
        ASSERT_EQ(SndConvert(dir / "in.wav", dir / "out.wav", true, Agc), 1) << vol;
        Greeting g;
        ASSERT_TRUE(ReadGreeting(dir / "out.wav", g));
        EXPECT_NEAR(MeanMagnitude(Decode(g, false), 2000), 4000, 700) << vol;
    }
}

TEST(SundrelDecoded, ATruncatedDataChunkConvertsWhatIsThere) {
    if (!test::HaveTool("sox")) GTEST_SKIP() << "sox not installed: no fixtures";
    TempDir dir;
    std::string out;
    ASSERT_EQ(test::Run("sox -n -r 16000 -c 1 -b 16 " + (dir / "in.wav") + " synth 1 sine 1000", &out), 0) << out;
    auto bytes = test::ReadBytes(dir / "in.wav");
    ASSERT_EQ(std::string(bytes.begin() + 36, bytes.begin() + 40), "data");
    bytes.resize(44 + 16000);  // half a second of the promised second
    test::WriteBytes(dir / "cut.wav", bytes);
    ASSERT_EQ(SndConvert(dir / "cut.wav", dir / "out.wav", true), 1);
    Greeting g;
    ASSERT_TRUE(ReadGreeting(dir / "out.wav", g));
    EXPECT_NEAR(static_cast<double>(g.codes.size()), 4000, 20);
}

// 16-bit PCM WAVE of one tone on every channel.
std::vector<uint8_t> ToneWave(uint32_t rate, uint16_t channels, double hz, double amplitude, double seconds) {
    std::vector<uint8_t> v;
    const auto frames = static_cast<uint32_t>(seconds * rate);
    Id(v, "RIFF");
    U32(v, 36 + frames * channels * 2);
    Id(v, "WAVE");
    Id(v, "fmt ");
    U32(v, 16);
    U16(v, 1);
    U16(v, channels);
    U32(v, rate);
    U32(v, rate * channels * 2);
    U16(v, static_cast<uint16_t>(channels * 2));
    U16(v, 16);
    Id(v, "data");
    U32(v, frames * channels * 2);
    for (uint32_t i = 0; i < frames; ++i) {
        const double x = amplitude * 32767 * std::sin(2 * M_PI * hz * i / rate);
        for (uint16_t c = 0; c < channels; ++c) U16(v, static_cast<uint16_t>(static_cast<int16_t>(std::lrint(x))));
    }
    return v;
}

// Level of one frequency in one second of 8 kHz output, relative to a
// full-scale tone of the given amplitude, in dB. 8000 samples hold a whole
// number of periods of every whole frequency, so nothing leaks between bins.
double LevelDb(const std::vector<int16_t>& x, size_t from, double hz, double amplitude) {
    const std::vector<int16_t> second(x.begin() + static_cast<std::ptrdiff_t>(from),
                                      x.begin() + static_cast<std::ptrdiff_t>(from + 8000));
    const double magnitude = 2 * std::sqrt(test::TonePower(second, 8000, hz)) / 8000;
    return 20 * std::log10(std::max(magnitude, 1e-9) / (amplitude * 32767));
}

// The telephone band passes flat, and what lies above the line's 4 kHz is
// held out instead of folding back into it.
TEST(SundrelDecoded, KeepsTheTelephoneBandFlatAndHoldsOutAliases) {
    struct Case {
        uint32_t rate;
        uint16_t channels;
        double hz;
        double heardAt;  // where the tone lands at 8 kHz
        double lowestDb, highestDb;
    };
    const Case cases[] = {
        {44100, 2, 300, 300, -0.5, 0.5},     {44100, 2, 1000, 1000, -0.5, 0.5},
        {44100, 2, 3000, 3000, -0.5, 0.5},   {44100, 2, 3400, 3400, -0.5, 0.5},
        {48000, 1, 3400, 3400, -0.5, 0.5},   {11025, 1, 3400, 3400, -0.5, 0.5},
        {44100, 2, 4600, 3400, -1e9, -60}, {44100, 2, 6000, 2000, -1e9, -60},
        {44100, 2, 11000, 3000, -1e9, -60}, {16000, 1, 7000, 1000, -1e9, -60},
    };
    constexpr double Amplitude = 0.25;
    TempDir dir;
    for (const Case& c : cases) {
        const std::string label = std::to_string(c.hz) + " Hz at " + std::to_string(c.rate);
        test::WriteBytes(dir / "tone.wav", ToneWave(c.rate, c.channels, c.hz, Amplitude, 1.5));
        ASSERT_EQ(SndConvert(dir / "tone.wav", dir / "out.wav", true), 1) << label;
        Greeting g;
        ASSERT_TRUE(ReadGreeting(dir / "out.wav", g)) << label;
        ASSERT_NEAR(static_cast<double>(g.codes.size()), 12000, 2) << label;
        const double level = LevelDb(Decode(g, false), 2000, c.heardAt, Amplitude);
        EXPECT_GE(level, c.lowestDb) << label;
        EXPECT_LE(level, c.highestDb) << label;
    }
}

// A compressed encoding fills its last block beyond the sound; the "fact"
// chunk's count ends the greeting where the sound ends. PCM needs no count,
// and a stale one left by an editor does not cut it.
TEST(SundrelDecoded, EndsWhereTheFactChunkSays) {
    TempDir dir;
    auto pcm = ToneWave(16000, 1, 500, 0.25, 1.0);
    const std::vector<uint8_t> fact = {'f', 'a', 'c', 't', 4, 0, 0, 0, 100, 0, 0, 0};
    InsertChunkBeforeData(pcm, fact);
    test::WriteBytes(dir / "pcm.wav", pcm);
    ASSERT_EQ(SndConvert(dir / "pcm.wav", dir / "out.wav", true), 1);
    Greeting whole;
    ASSERT_TRUE(ReadGreeting(dir / "out.wav", whole));
    EXPECT_NEAR(static_cast<double>(whole.codes.size()), 8000, 2);

    if (!test::HaveTool("sox")) GTEST_SKIP() << "sox not installed: no fixtures";
    for (const char* seconds : {"1.0", "1.01", "0.99"}) {
        std::string out;
        ASSERT_EQ(test::Run("sox -n -r 8000 -c 1 -e gsm-full-rate " + (dir / "gsm.wav") + " synth " + seconds +
                                " sine 700 vol 0.5",
                            &out),
                  0)
            << out;
        const auto file = test::ReadBytes(dir / "gsm.wav");
        size_t at = 12;
        while (at + 8 <= file.size() && std::string(file.begin() + static_cast<std::ptrdiff_t>(at),
                                                     file.begin() + static_cast<std::ptrdiff_t>(at + 4)) != "fact")
            at += 8 + Le32(file, at + 4);
        ASSERT_LE(at + 12, file.size()) << "no fact chunk from sox";
        const uint32_t fact = Le32(file, at + 8);
        ASSERT_EQ(SndConvert(dir / "gsm.wav", dir / "out.wav", true), 1) << seconds;
        Greeting g;
        ASSERT_TRUE(ReadGreeting(dir / "out.wav", g));
        EXPECT_EQ(g.codes.size(), fact) << seconds;
        const auto x = Decode(g, false);
        int tailPeak = 0;
        for (size_t i = x.size() - std::min<size_t>(x.size(), 320); i < x.size(); ++i)
            tailPeak = std::max(tailPeak, std::abs(int{x[i]}));
        EXPECT_LT(tailPeak, 0.6 * 32767) << seconds << ": the end is louder than the tone";
    }
}

// The same frames as 16-bit PCM or as 32-bit float holding s / 32768.
std::vector<uint8_t> SampleWave(uint32_t rate, uint16_t channels, const std::vector<int16_t>& samples, bool asFloat) {
    const uint16_t width = asFloat ? 4 : 2;
    const auto bytes = static_cast<uint32_t>(samples.size() * width);
    std::vector<uint8_t> v;
    Id(v, "RIFF");
    U32(v, 36 + bytes);
    Id(v, "WAVE");
    Id(v, "fmt ");
    U32(v, 16);
    U16(v, asFloat ? 3 : 1);
    U16(v, channels);
    U32(v, rate);
    U32(v, rate * channels * width);
    U16(v, static_cast<uint16_t>(channels * width));
    U16(v, static_cast<uint16_t>(8 * width));
    Id(v, "data");
    U32(v, bytes);
    for (int16_t x : samples) {
        if (!asFloat) {
            U16(v, static_cast<uint16_t>(x));
            continue;
        }
        const float f = static_cast<float>(x) / 32768;
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        U32(v, bits);
    }
    return v;
}

// 16-bit PCM is read from the file by the library itself, everything else by the
// general decoder: the same frames given either way make the same greeting, over
// several blocks, any channel count, with and without rate conversion, and from a
// file that ends inside a frame.
TEST(SundrelDecoded, Pcm16ReadDirectlyMatchesTheGeneralDecoder) {
    struct Case {
        uint32_t rate;
        uint16_t channels;
        size_t frames;
        size_t cutBytes;  // taken off the end of the 16-bit file
    };
    const Case cases[] = {
        {44100, 2, 50000, 0}, {48000, 2, 4096, 0}, {22050, 1, 9000, 0}, {16000, 3, 7000, 3}, {8000, 1, 5000, 1},
    };
    TempDir dir;
    std::mt19937 rng(11);
    for (const Case& c : cases) {
        const std::string label = std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " channels";
        std::vector<int16_t> samples(c.frames * c.channels);
        for (size_t i = 0; i < samples.size(); ++i) {
            const double tone = 20000 * std::sin(2 * M_PI * 700 * static_cast<double>(i / c.channels) / c.rate);
            samples[i] = static_cast<int16_t>(std::clamp<long>(std::lrint(tone) + static_cast<long>(rng() % 25000) - 12500,
                                                               -32768, 32767));
        }
        samples[0] = -32768;
        samples[1] = 32767;
        auto pcm = SampleWave(c.rate, c.channels, samples, false);
        pcm.resize(pcm.size() - c.cutBytes);
        const size_t kept = (samples.size() * 2 - c.cutBytes) / (2 * c.channels);
        samples.resize(kept * c.channels);
        test::WriteBytes(dir / "pcm.wav", pcm);
        test::WriteBytes(dir / "float.wav", SampleWave(c.rate, c.channels, samples, true));
        ASSERT_EQ(SndConvert(dir / "pcm.wav", dir / "pcm.alw", true), 1) << label;
        ASSERT_EQ(SndConvert(dir / "float.wav", dir / "float.alw", true), 1) << label;
        Greeting fromPcm, fromFloat;
        ASSERT_TRUE(ReadGreeting(dir / "pcm.alw", fromPcm)) << label;
        ASSERT_TRUE(ReadGreeting(dir / "float.alw", fromFloat)) << label;
        EXPECT_NEAR(static_cast<double>(fromPcm.codes.size()), static_cast<double>(kept) * 8000 / c.rate, 2) << label;
        EXPECT_EQ(fromPcm.codes, fromFloat.codes) << label;
    }
}

// Float files may hold values no decoder produces: they become silence or
// full scale, never undefined conversions.
TEST(SundrelDecoded, NonFiniteAndHugeFloatSamplesAreTamed) {
    TempDir dir;
    const float values[] = {NAN, INFINITY, -INFINITY, 1e30f, -1e30f, 0.5f, -0.25f, 0.0f};
    for (uint32_t rate : {8000u, 16000u}) {
        std::vector<uint8_t> v;
        Id(v, "RIFF");
        U32(v, 0);
        Id(v, "WAVE");
        Id(v, "fmt ");
        U32(v, 16);
        U16(v, 3);  // IEEE float
        U16(v, 1);
        U32(v, rate);
        U32(v, rate * 4);
        U16(v, 4);
        U16(v, 32);
        Id(v, "data");
        U32(v, 64 * sizeof values);
        for (int r = 0; r < 64; ++r)
            for (float f : values) {
                uint32_t bits;
                std::memcpy(&bits, &f, 4);
                U32(v, bits);
            }
        FixRiffSize(v);
        test::WriteBytes(dir / "float.wav", v);
        ASSERT_EQ(SndConvert(dir / "float.wav", dir / "out.wav", true), 1) << rate;
        Greeting g;
        ASSERT_TRUE(ReadGreeting(dir / "out.wav", g));
        if (rate != 8000) continue;
        ASSERT_EQ(g.codes.size(), 64 * std::size(values));
        const int expected[] = {0, 0, 0, 32767, -32768, 16384, -8192, 0};
        for (size_t i = 0; i < std::size(values); ++i) EXPECT_EQ(g.codes[i], LinearToALaw(expected[i])) << i;
    }
}

// --- refusals: result 0 and nothing written -----------------------------------------

TEST(SundrelRefuses, MalformedFilesWithoutWritingAnything) {
    TempDir dir;
    const auto good = MakeWave(1, AllBytes(4), /*extraChunks=*/true);
    std::vector<std::pair<std::string, std::vector<uint8_t>>> bad;
    std::mt19937 rng(7);
    std::vector<uint8_t> garbage(5000);
    for (auto& b : garbage) b = static_cast<uint8_t>(rng());
    bad.emplace_back("garbage", garbage);
    bad.emplace_back("empty", std::vector<uint8_t>(0));
    bad.emplace_back("text", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'});
    for (size_t cut : {4u, 11u, 16u, 19u, 20u, 30u, 36u, 44u, 48u, 55u, 56u})
        bad.emplace_back(orvelin::test::Numbered("cut", cut), std::vector<uint8_t>(good.begin(), good.begin() + cut));
    const uint32_t huge = 0x7FFFFFF0u;
    auto bigFmt = good;
    std::memcpy(&bigFmt[16], &huge, 4);
    bad.emplace_back("oversized_fmt", bigFmt);
    auto longFmt = good;
    const uint32_t seventy = 70;
    std::memcpy(&longFmt[16], &seventy, 4);
    bad.emplace_back("fmt_over_68", longFmt);
    auto shortRiff = good;
    const uint32_t thirty = 30;
    std::memcpy(&shortRiff[4], &thirty, 4);
    bad.emplace_back("riff_ends_before_data", shortRiff);
    auto unknownTag = good;
    unknownTag[20] = 0x34;
    unknownTag[21] = 0x12;
    bad.emplace_back("unknown_encoding", unknownTag);
    auto zeroChannels = good;
    zeroChannels[21] = 0x12;
    zeroChannels[22] = 0;
    bad.emplace_back("zero_channels", zeroChannels);
    auto noData = good;
    for (size_t i = 36; i + 4 <= noData.size(); ++i)
        if (std::memcmp(&noData[i], "data", 4) == 0) noData[i] = 'D';
    bad.emplace_back("no_data", noData);

    for (const auto& [name, bytes] : bad) {
        test::WriteBytes(dir / (name + ".wav"), bytes);
        test::WriteBytes(dir / "Call0.alw", {'o', 'l', 'd'});
        EXPECT_EQ(SndConvert(dir / (name + ".wav"), dir / "Call0.alw", true), 0) << name;
        EXPECT_EQ(test::ReadBytes(dir / "Call0.alw"), (std::vector<uint8_t>{'o', 'l', 'd'})) << name;
        EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"Call0.alw", name + ".wav"})) << name;
        std::filesystem::remove(dir / (name + ".wav"));
    }
}

TEST(SundrelRefuses, MissingSourceUnreadableSourceAndUncreatableDestination) {
    TempDir dir;
    test::WriteBytes(dir / "pcm.wav", MakeWave(1, AllBytes(1)));
    EXPECT_EQ(SndConvert(dir / "missing.wav", dir / "out.wav", true), 0);
    ASSERT_EQ(mkfifo((dir / "fifo.wav").c_str(), 0600), 0);
    EXPECT_EQ(SndConvert(dir / "fifo.wav", dir / "out.wav", true), 0);  // returns, does not wait for a writer
    std::filesystem::remove(dir / "fifo.wav");
    {
        // A valid start, then far more than any greeting: refused, not loaded.
        test::WriteBytes(dir / "huge.wav", MakeWave(1, AllBytes(1)));
        std::filesystem::resize_file(dir / "huge.wav", uintmax_t{300} << 20);
        EXPECT_EQ(SndConvert(dir / "huge.wav", dir / "out.wav", true), 0);
        std::filesystem::remove(dir / "huge.wav");
    }
    EXPECT_EQ(SndConvert(dir.path(), dir / "out.wav", true), 0);
    EXPECT_EQ(SndConvert(dir / "pcm.wav", dir / "no/such/folder/out.wav", true), 0);
    EXPECT_EQ(SndConvert(dir / "pcm.wav", dir / "out.wav", true, Gain{4000, 650, 2000000}), 0);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"pcm.wav"});
    // A negative window is gain control off, not an allocation.
    EXPECT_EQ(SndConvert(dir / "pcm.wav", dir / "out.wav", true, Gain{4000, 650, -130}), 1);
}

// Random mutations of real encoded files through the whole library, under the
// sanitizers: every call either writes a well-formed greeting or nothing.
TEST(SundrelRefuses, SurvivesMutatedFiles) {
    if (!test::HaveTool("sox")) GTEST_SKIP() << "sox not installed: no fixtures";
    TempDir dir;
    std::string out;
    ASSERT_EQ(test::Run("sox -n -r 8000 -c 1 -e ima-adpcm " + (dir / "ima.wav") + " synth 0.1 sine 700", &out), 0) << out;
    ASSERT_EQ(test::Run("sox -n -r 22050 -c 2 -b 16 " + (dir / "s16.wav") + " synth 0.05 sine 700", &out), 0) << out;
    ASSERT_EQ(test::Run("sox -n -r 8000 -c 1 -e gsm-full-rate " + (dir / "gsm.wav") + " synth 0.1 sine 700", &out), 0)
        << out;
    std::mt19937 rng(99);
    int converted = 0;
    for (const char* base : {"ima.wav", "s16.wav", "gsm.wav"}) {
        const auto original = test::ReadBytes(dir / base);
        for (int iteration = 0; iteration < 100; ++iteration) {
            auto v = original;
            const size_t headerish = std::min<size_t>(v.size(), 120);
            for (int e = 0; e < 3; ++e) {
                const size_t at = (rng() % 2) ? rng() % headerish : rng() % v.size();
                v[at] = static_cast<uint8_t>(rng());
            }
            if (rng() % 4 == 0) v.resize(rng() % v.size());
            test::WriteBytes(dir / "m.wav", v);
            const int32_t r = SndConvert(dir / "m.wav", dir / "m.alw", true);
            ASSERT_TRUE(r == 0 || r == 1) << r;
            if (r == 1) {
                Greeting g;
                ASSERT_TRUE(ReadGreeting(dir / "m.alw", g));
                ++converted;
                std::filesystem::remove(dir / "m.alw");
            }
            ASSERT_FALSE(std::filesystem::exists(dir / "m.alw"));
        }
    }
    EXPECT_GT(converted, 0);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"gsm.wav", "ima.wav", "m.wav", "s16.wav"}));
}

}  // namespace
}  // namespace orvelin::sundrel
