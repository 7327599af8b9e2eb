// Line-audio recordings to WAVE files: the header, the samples, and files that
// sox and libsndfile read back as we meant them.
#include "media/soundconv.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cmath>

#include "tests/media/g711_arithmetic.h"
#include "tests/media/test_support.h"

namespace orvelin::media {
namespace {

using test::Le16;
using test::Le32;
using test::TempDir;

// A line-audio recording of a tone: A-law or mu-law, bit-reversed.
std::vector<uint8_t> LineTone(size_t samples, double freq, double amplitude, bool aLaw) {
    std::vector<uint8_t> v(samples);
    for (size_t i = 0; i < samples; ++i) {
        const int x = static_cast<int>(std::lrint(amplitude * std::sin(2 * M_PI * freq * static_cast<double>(i) / 8000)));
        uint8_t code = LinearToALaw(x);
        if (!aLaw) code = ALawToMuLaw(code);
        v[i] = BitReverseTable[code];
    }
    return v;
}

bool ConvertFile(const std::string& src, const std::string& dst, bool aLaw, int32_t window = 0) {
    CSoundConv conv(src, dst, /*toWave=*/true, aLaw, window ? 4000.0 : 0.0, window ? 650 : 0, window);
    return conv.Convert();
}

TEST(SoundConv, EmptyRecordingGivesTheBare58ByteHeader) {
    TempDir dir;
    test::WriteBytes(dir / "empty.alw", {});
    ASSERT_TRUE(ConvertFile(dir / "empty.alw", dir / "empty.wav", true));
    const auto wav = test::ReadBytes(dir / "empty.wav");
    const auto expected = MakeWaveHeader(WaveFormatPcm, 0);
    ASSERT_EQ(wav, std::vector<uint8_t>(expected.begin(), expected.end()));
    EXPECT_EQ(Le32(wav, 4), 50u);
    EXPECT_EQ(Le16(wav, 20), 1);
    EXPECT_EQ(Le32(wav, 46), 0u);
    EXPECT_EQ(Le32(wav, 54), 0u);
}

TEST(SoundConv, RecordingBecomesPcmSampleForSample) {
    TempDir dir;
    for (bool aLaw : {true, false}) {
        std::vector<uint8_t> line(20000);
        for (size_t i = 0; i < line.size(); ++i) line[i] = static_cast<uint8_t>(i * 7 + i / 256);
        test::WriteBytes(dir / "rec.alw", line);
        ASSERT_TRUE(ConvertFile(dir / "rec.alw", dir / "rec.wav", aLaw));
        const auto wav = test::ReadBytes(dir / "rec.wav");
        ASSERT_EQ(wav.size(), 20058u);
        EXPECT_EQ(Le32(wav, 4), 20050u);
        EXPECT_EQ(Le32(wav, 46), 20000u);
        EXPECT_EQ(Le32(wav, 54), 20000u);
        for (size_t i = 0; i < line.size(); ++i)
            ASSERT_EQ(wav[58 + i], arithmetic::LineToPcm8(line[i], aLaw)) << i;
    }
}

TEST(SoundConv, GainControlClipsTheStartAndEvensOutTheLevel) {
    TempDir dir;
    for (double amplitude : {2000.0, 16000.0}) {
        test::WriteBytes(dir / "tone.alw", LineTone(8000, 400, amplitude, true));
        ASSERT_TRUE(ConvertFile(dir / "tone.alw", dir / "tone.wav", true, 130));
        const auto wav = test::ReadBytes(dir / "tone.wav");
        ASSERT_EQ(wav.size(), 8058u);
        // The first non-silent sample meets an almost empty ring.
        EXPECT_EQ(wav[58 + 1], 255) << amplitude;
        // Afterwards the mean magnitude sits near the target level, 4000.
        double sum = 0;
        for (size_t i = 4000; i < 8000; ++i) sum += std::abs((wav[58 + i] - 128) * 256 + 128);
        EXPECT_NEAR(sum / 4000, 4000, 600) << amplitude;
    }
}

TEST(SoundConv, FailsWithoutStreamsAndWritesNothing) {
    TempDir dir;
    test::WriteBytes(dir / "rec.alw", LineTone(100, 1000, 8000, true));
    EXPECT_FALSE(ConvertFile(dir / "missing.alw", dir / "a.wav", true));
    EXPECT_FALSE(ConvertFile(dir / "rec.alw", dir / "no/dir/b.wav", true));
    EXPECT_FALSE(ConvertFile(dir.path(), dir / "c.wav", true));  // a folder is not a recording
    ASSERT_EQ(mkfifo((dir / "fifo.alw").c_str(), 0600), 0);
    EXPECT_FALSE(ConvertFile(dir / "fifo.alw", dir / "f.wav", true));  // returns, does not wait
    std::filesystem::remove(dir / "fifo.alw");
    CSoundConv gainOnly("", "", true, true, 4000.0, 650, 130);
    EXPECT_FALSE(gainOnly.Convert());
    // The WAVE-to-line direction is not offered.
    CSoundConv back(dir / "rec.alw", dir / "d.alw", /*toWave=*/false, true, 0, 0, 0);
    EXPECT_FALSE(back.Convert());
    CSoundConv absurd(dir / "rec.alw", dir / "e.wav", true, true, 4000.0, 650, GainState::MaxWindow + 1);
    EXPECT_FALSE(absurd.Convert());
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"rec.alw"});
}

TEST(SoundConv, ConvertsOnceOnly) {
    TempDir dir;
    test::WriteBytes(dir / "rec.alw", LineTone(100, 1000, 8000, true));
    CSoundConv conv(dir / "rec.alw", dir / "rec.wav", true, true, 0, 0, 0);
    EXPECT_TRUE(conv.Convert());
    EXPECT_FALSE(conv.Convert());
    EXPECT_EQ(test::ReadBytes(dir / "rec.wav").size(), 158u);
}

// A full disk (here: a file size limit) must be reported, and must not leave a
// half-written WAVE or replace an older one.
TEST(SoundConv, FailedWriteIsReportedAndLeavesNoDestination) {
    TempDir dir;
    test::WriteBytes(dir / "rec.alw", LineTone(200000, 1000, 8000, true));
    test::WriteBytes(dir / "rec.wav", {'o', 'l', 'd'});
    signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 100000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool converted = ConvertFile(dir / "rec.alw", dir / "rec.wav", true);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_FALSE(converted);
    EXPECT_EQ(test::ReadBytes(dir / "rec.wav"), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"rec.alw", "rec.wav"}));
}

class SoundConvReadBack : public ::testing::Test {
protected:
    void SetUp() override {
        line_ = LineTone(12345, 1000, 12000, true);
        test::WriteBytes(dir_ / "tone.alw", line_);
        ASSERT_TRUE(ConvertFile(dir_ / "tone.alw", dir_ / "tone.wav", true));
        wav_ = test::ReadBytes(dir_ / "tone.wav");
        ASSERT_EQ(wav_.size(), 58u + line_.size());
    }
    TempDir dir_;
    std::vector<uint8_t> line_;
    std::vector<uint8_t> wav_;
};

TEST_F(SoundConvReadBack, SoxSeesAn8kHz8BitMonoFileWithOurSamples) {
    if (!test::HaveTool("sox") || !test::HaveTool("soxi")) GTEST_SKIP() << "sox/soxi not installed";
    std::string out;
    const std::string f = dir_ / "tone.wav";
    ASSERT_EQ(test::Run("soxi -r " + f, &out), 0) << out;
    EXPECT_EQ(std::stoi(out), 8000);
    ASSERT_EQ(test::Run("soxi -c " + f, &out), 0) << out;
    EXPECT_EQ(std::stoi(out), 1);
    ASSERT_EQ(test::Run("soxi -b " + f, &out), 0) << out;
    EXPECT_EQ(std::stoi(out), 8);
    ASSERT_EQ(test::Run("soxi -s " + f, &out), 0) << out;
    EXPECT_EQ(std::stoul(out), line_.size());
    ASSERT_EQ(test::Run("soxi -e " + f, &out), 0) << out;
    EXPECT_NE(out.find("Unsigned"), std::string::npos) << out;
    ASSERT_EQ(test::Run("sox " + f + " -t raw -e unsigned-integer -b 8 " + (dir_ / "tone.raw"), &out), 0) << out;
    EXPECT_EQ(test::ReadBytes(dir_ / "tone.raw"), std::vector<uint8_t>(wav_.begin() + 58, wav_.end()));
}

TEST_F(SoundConvReadBack, LibsndfileReadsTheToneBack) {
    SF_INFO info{};
    SNDFILE* f = sf_open((dir_ / "tone.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_U8);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.samplerate, 8000);
    EXPECT_EQ(info.frames, static_cast<sf_count_t>(line_.size()));
    std::vector<int16_t> samples(line_.size());
    EXPECT_EQ(sf_readf_short(f, samples.data(), info.frames), info.frames);
    sf_close(f);
    for (size_t i = 0; i < samples.size(); ++i)
        ASSERT_EQ(samples[i], (wav_[58 + i] - 128) * 256) << i;
    EXPECT_EQ(test::PeakFrequency(samples, 8000, 200, 3800, 50), 1000);
}

}  // namespace
}  // namespace orvelin::media
