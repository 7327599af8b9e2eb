// The greetings of a fresh installation: made when missing, never over a user's file.
#include "client/default_greetings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "media/wavefile.h"
#include "tests/client/test_dir.h"

namespace orvelin::client {
namespace {

namespace fs = std::filesystem;

TEST(DefaultGreetingsTest, MadeOnlyWhereMissing) {
    struct Case {
        const char* name;
        bool userWelcome;  // the user's own Welcome.wav is there
        bool speech;
        int made;
    };
    const Case cases[] = {
        {"fresh", false, true, 2},
        {"user's greeting kept", true, true, 1},
        {"no speech", false, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TestDir dir;
        const std::string home = dir.path().string() + "/";
        if (c.userWelcome) {
            fs::create_directories(dir.path() / "Answer");
            std::ofstream(dir.path() / "Answer/Welcome.wav") << "mine";
        }
        std::vector<std::string> spoken, logged;
        const Synthesizer synth = [&](const std::string& text, std::vector<std::int16_t>& s,
                                      int& rate) {
            if (!c.speech) return false;
            spoken.push_back(text);
            s.assign(text.size() * 10, 1000);
            rate = 22050;
            return true;
        };
        EXPECT_EQ(makeMissingGreetings(home, synth, [&](const std::string& l) {
                      logged.push_back(l);
                  }),
                  c.made);
        EXPECT_EQ(int(spoken.size()), c.made);
        if (c.userWelcome) {
            EXPECT_EQ(test::readText(dir.path() / "Answer/Welcome.wav"), "mine");
        }
        for (const DefaultGreeting& g : kDefaultGreetings) {
            const fs::path path = dir.path() / "Answer" / g.fileName;
            if (c.userWelcome && std::string(g.fileName) == "Welcome.wav") continue;
            ASSERT_EQ(fs::exists(path), c.speech) << g.fileName;
            if (!c.speech) continue;
            const std::vector<std::uint8_t> wave = test::readBytes(path);
            media::WaveLayout layout;
            ASSERT_TRUE(media::ParseWave(wave.data(), wave.size(), layout));
            EXPECT_EQ(layout.dataSize, std::string(g.text).size() * 20);
        }
        // No temporary file is left behind.
        for (const auto& e : fs::directory_iterator(dir.path() / "Answer"))
            EXPECT_NE(e.path().filename().string()[0], '.');
    }
}

}  // namespace
}  // namespace orvelin::client
