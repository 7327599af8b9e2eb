// The greeting recorder on its own: a recording without a single sample never replaces
// a greeting, whether the capture never started or could not be opened.
#include "tessaly/greeting_recorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <unistd.h>

#include "media/alsa_player.h"

namespace {

using tessaly::GreetingRecorder;

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(GreetingRecorder, OnlyARecordingWithSoundReplacesTheGreeting) {
    const char* tmp = std::getenv("ORVELIN_TEST_TMP");
    const std::string dir = std::string(tmp ? tmp : "/tmp") + "/recorder-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    const std::string greeting = dir + "/Welcome.wav";
    struct Case {
        const char* name;
        const char* device;
        bool start;  // Start is called
        int startResult;  // 0, or any errno
        GreetingRecorder::SaveResult saved;
    };
    const Case cases[] = {
        {"never started", "null", false, 0, GreetingRecorder::SaveResult::NothingRecorded},
        {"a capture device that does not open", "hw:99,0", true, -1,
         GreetingRecorder::SaveResult::NothingRecorded},
        {"a capture with sound", "null", true, 0, GreetingRecorder::SaveResult::Saved},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(greeting, std::ios::binary | std::ios::trunc) << "a good greeting";
        GreetingRecorder recorder(c.device);
        if (c.start) {
            const int rc = recorder.Start();
            if (c.startResult == 0) {
                EXPECT_EQ(rc, 0);
            } else {
                EXPECT_NE(rc, 0);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            recorder.Stop();
        }
        EXPECT_EQ(recorder.Save(greeting), c.saved);
        if (c.saved == GreetingRecorder::SaveResult::Saved) {
            const auto sound = orvelin::media::ReadWaveSound(greeting);
            ASSERT_TRUE(sound);
            EXPECT_EQ(sound->rate, 8000);
            EXPECT_FALSE(sound->samples.empty());
        } else {
            EXPECT_EQ(slurp(greeting), "a good greeting");
        }
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
