// WAVE decoding for playback, checked against files and samples made by sox, and the
// player's one-sound-at-a-time behaviour on the "default" device.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "media/alsa_player.h"
#include "media/g711.h"
#include "media/wavefile.h"
#include "tests/media/test_support.h"

namespace orvelin::media {
namespace {


using test::TempDir;

std::vector<int16_t> rawSamples(const std::string& path) {
    std::vector<uint8_t> bytes = test::ReadBytes(path);
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = int16_t(test::Le16(bytes, 2 * i));
    return samples;
}

TEST(WaveSound, DecodesWhatSoxWrites) {
    if (!test::HaveTool("sox")) GTEST_SKIP() << "sox not installed";
    TempDir dir;
    const std::string source = dir / "source.wav";
    ASSERT_EQ(test::Run("sox -n -r 8000 -c 2 -b 16 -e signed " + source +
                  " synth 0.25 sine 440 sine 1000 vol 0.7"),
              0);
    struct Case {
        const char* name;
        const char* encoding;  // sox output options
        int tolerance;         // of the decoded sample against the source, at most
        bool relative;         // plus a sixteenth of the sample (companded codes)
    };
    const Case cases[] = {
        {"16-bit", "-e signed -b 16", 0, false},
        {"8-bit", "-e unsigned -b 8", 256, false},
        {"A-law", "-e a-law -b 8", 64, true},
        {"mu-law", "-e mu-law -b 8", 64, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = dir / (std::string(c.name) + ".wav");
        const std::string raw = dir / (std::string(c.name) + ".raw");
        ASSERT_EQ(test::Run("sox " + source + " " + c.encoding + " " + file), 0);
        // sox's own reading of the file, as 16-bit samples.
        ASSERT_EQ(test::Run("sox " + file + " -t raw -e signed -b 16 " + raw), 0);
        const std::vector<int16_t> want = rawSamples(raw);
        std::string error;
        const auto sound = ReadWaveSound(file, &error);
        ASSERT_TRUE(sound) << error;
        EXPECT_EQ(sound->rate, 8000);
        EXPECT_EQ(sound->channels, 2);
        ASSERT_EQ(sound->samples.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
            const int limit = c.tolerance + (c.relative ? std::abs(want[i]) / 16 : 0);
            ASSERT_LE(std::abs(sound->samples[i] - want[i]), limit) << "sample " << i;
        }
    }
}

TEST(WaveSound, ReadsTheLineAudioLayoutAndRefusesTheRest) {
    TempDir dir;
    std::vector<uint8_t> line = {0xD5, 0x55, 0x2A, 0xAA};
    const auto header = MakeWaveHeader(WaveFormatALaw, uint32_t(line.size()));
    std::vector<uint8_t> file(header.begin(), header.end());
    for (uint8_t b : line) file.push_back(b);  // a range insert here trips GCC 12's -Warray-bounds
    test::WriteBytes(dir / "alaw.wav", file);
    const auto sound = ReadWaveSound(dir / "alaw.wav");
    ASSERT_TRUE(sound);
    EXPECT_EQ(sound->rate, 8000);
    ASSERT_EQ(sound->samples.size(), line.size());
    for (size_t i = 0; i < line.size(); ++i) EXPECT_EQ(sound->samples[i], ALawToLinear(line[i]));

    std::vector<uint8_t> floats = file;
    floats[20] = 3;  // IEEE float
    std::vector<uint8_t> rateless = file;
    rateless[24] = rateless[25] = 0;
    const std::pair<const char*, std::vector<uint8_t>> refused[] = {
        {"float samples", floats},
        {"rate 0", rateless},
        {"cut inside the header", std::vector<uint8_t>(file.begin(), file.begin() + 30)},
        {"not a WAVE file", std::vector<uint8_t>(64, 'x')},
    };
    for (const auto& [name, bytes] : refused) {
        test::WriteBytes(dir / "bad.wav", bytes);
        std::string error;
        EXPECT_FALSE(ReadWaveSound(dir / "bad.wav", &error)) << name;
        EXPECT_FALSE(error.empty()) << name;
    }
    EXPECT_FALSE(ReadWaveSound(dir / "missing.wav"));
}

TEST(AlsaPlayer, PlaysOneSoundAtATimeAndStops) {
    snd_pcm_t* pcm = nullptr;
    const bool device = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) == 0;
    if (pcm) snd_pcm_close(pcm);
    AlsaPlayer player;
    PcmSound second{std::vector<int16_t>(8000, 1000), 8000, 1};
    if (!device) {
        // The failure comes back from the call, and nothing is left playing.
        EXPECT_NE(player.Play(second), 0);
        EXPECT_FALSE(player.Playing());
        GTEST_SKIP() << "no ALSA \"default\" playback device";
    }
    TempDir dir;
    const auto header = MakeWaveHeader(WaveFormatALaw, 80000);
    std::vector<uint8_t> file(header.begin(), header.end());
    file.resize(file.size() + 80000, 0xD5);  // ten seconds
    test::WriteBytes(dir / "long.wav", file);

    ASSERT_TRUE(player.StartIfIdle(dir / "long.wav"));
    EXPECT_TRUE(player.Playing());
    EXPECT_FALSE(player.StartIfIdle(dir / "long.wav")) << "a sound is still playing";
    const auto start = std::chrono::steady_clock::now();
    player.Stop();
    EXPECT_FALSE(player.Playing());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    // Play replaces a sound in progress; a short one ends by itself.
    ASSERT_EQ(player.PlayFile(dir / "long.wav"), 0);
    ASSERT_EQ(player.Play({std::vector<int16_t>(800, 1000), 8000, 1}), 0);
    for (int i = 0; i < 100 && player.Playing(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(player.Playing());
    EXPECT_EQ(player.PlayFile(dir / "missing.wav"), EINVAL);
}

}  // namespace
}  // namespace orvelin::media
