// Without the engine's data there is no speech object, and nothing else breaks.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "media/speech.h"
#include "test_support.h"

using namespace orvelin::media;

TEST(SpeechWithoutData, NoEngineNoSpeechObjectNoCrash) {
    orvelin::test::TempDir empty;
    // Read when the engine starts, which is at the first use below.
    ASSERT_EQ(setenv("ORVELIN_ESPEAK_DATA", empty.path().c_str(), 1), 0);

    CTTSMode mode;
    EXPECT_EQ(mode.InitDefault(), ClassNotRegistered);
    TTSModeInfo info;
    info.modeName = "German";
    TTSModeRank rank{10, 0};
    EXPECT_EQ(mode.Init(info, &rank), ClassNotRegistered);
    EXPECT_EQ(mode.InitByMode("gmw/de"), ClassNotRegistered);
    // The failed object stays empty and answers like one.
    EXPECT_EQ(mode.Speak(u"hello", true), E_NOINTERFACE);
    EXPECT_EQ(mode.AudioReset(), E_NOINTERFACE);

    CTTSEnum list;
    EXPECT_EQ(list.Init(), ClassNotRegistered);
    EXPECT_EQ(list.Next(info), E_NOINTERFACE);

    SpeechService& engine = SpeechService::Instance();
    EXPECT_FALSE(engine.Available());
    EXPECT_TRUE(engine.Voices().empty());
    std::vector<int16_t> out;
    EXPECT_NE(engine.Synthesize("gmw/en", EngineParams{}, "hello", false, out, {}), 0);
    EXPECT_TRUE(out.empty());
}
