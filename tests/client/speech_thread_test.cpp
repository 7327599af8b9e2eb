// The speaking thread: every text handed over is spoken once, with the stored
// prosody only when "Pitch" is set; nothing is spoken without COM or a speech
// object; stop ends it while it waits and while it speaks.
#include "client/speech_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace orvelin::client;
using namespace std::chrono_literals;

struct Spoken {
    std::u16string text;
    std::optional<Prosody> prosody;
};

// Collects what is spoken; optionally blocks in speak until interrupted.
struct FakeEngine {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Spoken> spoken;
    bool block = false;
    bool interrupted = false;
    int speakerAsked = 0;

    SpeechThread::Hooks hooks(bool com, std::optional<Prosody> prosody, bool haveObject = true) {
        SpeechThread::Hooks h;
        h.comInitialized = com;
        h.speaker = [this, haveObject]() -> SpeakFunction {
            std::lock_guard lock(mutex);
            ++speakerAsked;
            if (!haveObject) return {};
            return [this](std::u16string_view text, const std::optional<Prosody>& p) {
                std::unique_lock lock(mutex);
                spoken.push_back({std::u16string(text), p});
                changed.notify_all();
                if (block) changed.wait(lock, [&] { return interrupted; });
            };
        };
        h.interrupt = [this] {
            std::lock_guard lock(mutex);
            interrupted = true;
            changed.notify_all();
        };
        h.prosody = [prosody] { return prosody; };
        return h;
    }
    bool waitSpoken(std::size_t n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 60s, [&] { return spoken.size() >= n; });
    }
};

TEST(SpeechThread, SpeaksEachTextOnceAndSetsProsodyOnlyWhenPitchIsStored) {
    FakeEngine engine;
    {
        SpeechThread plain(engine.hooks(true, std::nullopt));
        plain.say("Anruf von 0 30 12 34");
        ASSERT_TRUE(engine.waitSpoken(1));
        plain.say("\\Pau=200\\ M\xC3\xBCller");
        ASSERT_TRUE(engine.waitSpoken(2));
    }
    {
        SpeechThread tuned(engine.hooks(true, Prosody{120, 200, 0xFFFF}));
        tuned.say("x");
        ASSERT_TRUE(engine.waitSpoken(3));
    }
    std::lock_guard lock(engine.mutex);
    ASSERT_EQ(engine.spoken.size(), 3u) << "nothing spoken twice";
    EXPECT_EQ(engine.spoken[0].text, u"Anruf von 0 30 12 34");
    EXPECT_FALSE(engine.spoken[0].prosody);
    EXPECT_EQ(engine.spoken[1].text, u"\\Pau=200\\ M\u00FCller");
    ASSERT_TRUE(engine.spoken[2].prosody);
    EXPECT_EQ(engine.spoken[2].prosody->pitch, 120u);
    EXPECT_EQ(engine.spoken[2].prosody->speed, 200u);
    EXPECT_EQ(engine.spoken[2].prosody->volume, 0xFFFFu);
}

TEST(SpeechThread, NothingIsSpokenInServiceModeOrWithoutSpeechObjectAndTheTextIsDropped) {
    for (const bool com : {false, true}) {
        FakeEngine engine;
        SpeechThread thread(engine.hooks(com, std::nullopt, /*haveObject=*/false));
        thread.say("hello");
        // The text is taken (never left to spin on) and nothing reaches an engine.
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (thread.pending() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        EXPECT_FALSE(thread.pending());
        thread.stop();
        EXPECT_EQ(thread.spoken(), 0u);
        std::lock_guard lock(engine.mutex);
        EXPECT_TRUE(engine.spoken.empty());
        EXPECT_EQ(engine.speakerAsked, com ? 1 : 0) << "without COM no speech object is used";
    }
}

TEST(SpeechThread, StopEndsTheThreadWhileIdleAndWhileSpeaking) {
    FakeEngine idleEngine;
    SpeechThread idle(idleEngine.hooks(true, std::nullopt));
    idle.stop();
    idle.stop();
    idle.say("after stop");
    EXPECT_EQ(idle.spoken(), 0u);

    FakeEngine engine;
    engine.block = true;
    SpeechThread busy(engine.hooks(true, std::nullopt));
    busy.say("a long announcement");
    ASSERT_TRUE(engine.waitSpoken(1));
    busy.stop();  // returns only because the interrupt ended the speaking
    std::lock_guard lock(engine.mutex);
    EXPECT_TRUE(engine.interrupted);
}

TEST(SpeechThread, TextIsCutToTheBufferAtACharacterBoundary) {
    FakeEngine engine;
    SpeechThread thread(engine.hooks(true, std::nullopt));
    std::string text(510, 'a');
    text += "\xC3\xA4\xC3\xA4";  // the first two-byte character would end at byte 512
    thread.say(text);
    ASSERT_TRUE(engine.waitSpoken(1));
    std::lock_guard lock(engine.mutex);
    EXPECT_EQ(engine.spoken[0].text, std::u16string(510, u'a'));
}

TEST(SpeechThread, Utf8ToUtf16HandlesPairsMalformedBytesAndTheUnitLimit) {
    EXPECT_EQ(utf8ToUtf16("a\xF0\x9F\x93\x9E" "b", 10), u"a\U0001F4DEb");
    EXPECT_EQ(utf8ToUtf16("a\xF0\x9F\x93\x9E", 2), u"a") << "never half a pair";
    EXPECT_EQ(utf8ToUtf16("\xC0\xAF\xFFz\xED\xA0\x80", 10), u"\uFFFD\uFFFD\uFFFDz\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(utf8ToUtf16("abc\xE2\x82", 10), u"abc\uFFFD\uFFFD");
}

}  // namespace
