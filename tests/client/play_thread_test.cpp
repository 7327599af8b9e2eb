// Playing the unheard voice messages: playing order from the ring, each message
// really played before it counts as heard, the window marking only records still
// unheard, and stop ending playback without a done message.
#include "client/play_thread.h"

#include <gtest/gtest.h>

#include <QTest>
#include <mutex>
#include <string>
#include <vector>

#include "tests/client/test_dir.h"

namespace {

using namespace orvelin::client;
using namespace std::chrono_literals;
using orvelin::test::TestDir;

// A sound device: a sound plays for `length` refused starts, then the device is idle.
struct FakeDevice {
    std::mutex mutex;
    std::vector<std::string> log;
    std::string playing;
    int left = 0;
    int length = 2;
    int busyAtStart = 0;  // another sound already plays for this many starts

    SoundPlayer player() {
        return {[this](const std::string& path) {
                    std::lock_guard lock(mutex);
                    if (busyAtStart > 0) {
                        --busyAtStart;
                        log.push_back("refused (busy)");
                        return false;
                    }
                    if (!playing.empty() && left > 0) {
                        --left;
                        log.push_back("refused");
                        return false;
                    }
                    playing = path;
                    left = length;
                    log.push_back("start " + std::filesystem::path(path).filename().string());
                    return true;
                },
                [this] {
                    std::lock_guard lock(mutex);
                    playing.clear();
                    log.push_back("stop");
                },
                {}};
    }
    std::vector<std::string> entries() {
        std::lock_guard lock(mutex);
        return log;
    }
};

// Marks heard what the thread reports, as the client window does.
class PlayWindow : public platform::AppWindow {
  public:
    explicit PlayWindow(CallRing& ring) : ring_(ring) {}
    ~PlayWindow() override { closeWindow(); }
    std::vector<std::uint32_t> heard;
    int done = 0;

  protected:
    platform::LResult dispatch(platform::AppMessage& m) override {
        if (m.id != platform::WM_PLAY_DONE) return 0;
        if (m.wParam == kPlayHeard) {
            auto h = m.take<MessageHeard>();
            EXPECT_TRUE(h);
            if (!h) return 0;
            heard.push_back(h->id);
            if (TCallRecord* r = ring_.find(h->id)) markHeard(*r);
        } else {
            ++done;
        }
        return 0;
    }

  private:
    CallRing& ring_;
};

TCallRecord record(std::uint32_t id, CallState state, const std::string& path) {
    TCallRecord r;
    r.id = id;
    r.setState(state);
    r.filePath.assign(path);
    return r;
}

TEST(PlayThread, PlaysUnheardMessagesInListOrderAndTheWindowMarksThem) {
    TestDir dir;
    for (const char* name : {"a.wav", "b.wav", "head.wav"}) orvelin::test::touch(dir / name);
    CallRing ring(5);
    // Head at 2: playing order is slots 3, 4, 0, 1.
    ASSERT_TRUE(ring.replace(2, {record(10, CallState::VoiceMessage, (dir / "b.wav").string()),
                                 record(11, CallState::Answered, (dir / "a.wav").string()),
                                 record(12, CallState::VoiceMessage, (dir / "head.wav").string()),
                                 record(13, CallState::VoiceMessage, (dir / "a.wav").string()),
                                 record(14, CallState::VoiceMessage, (dir / "gone.wav").string())}));
    const std::vector<UnheardMessage> list = unheardMessages(ring);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].id, 13u);
    EXPECT_EQ(list[1].id, 14u);
    EXPECT_EQ(list[2].id, 10u);

    FakeDevice device;
    PlayWindow window(ring);
    PlayThread thread(window.ref(), list, device.player(), 1ms);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.done == 1; }, 60000));
    EXPECT_EQ(window.heard, (std::vector<std::uint32_t>{13, 10})) << "a missing file is skipped";
    EXPECT_EQ(ring.find(13)->state, static_cast<std::uint32_t>(CallState::ReadVoiceMessage));
    EXPECT_EQ(ring.find(10)->state, static_cast<std::uint32_t>(CallState::ReadVoiceMessage));
    EXPECT_EQ(ring.find(14)->state, static_cast<std::uint32_t>(CallState::VoiceMessage));
    EXPECT_EQ(ring.find(12)->state, static_cast<std::uint32_t>(CallState::VoiceMessage));
    EXPECT_EQ(device.entries(),
              (std::vector<std::string>{"start a.wav", "refused", "refused", "start a.wav", "stop",
                                        "start b.wav", "refused", "refused", "start b.wav", "stop"}));
}

TEST(PlayThread, WaitsForAnotherSoundBeforePlayingAndDoneComesAtOnceWithoutMessages) {
    TestDir dir;
    orvelin::test::touch(dir / "m.wav");
    CallRing ring(2);
    ASSERT_TRUE(ring.replace(0, {TCallRecord{}, record(7, CallState::VoiceMessage, (dir / "m.wav").string())}));
    FakeDevice device;
    device.busyAtStart = 2;
    device.length = 1;
    PlayWindow window(ring);
    {
        PlayThread thread(window.ref(), unheardMessages(ring), device.player(), 1ms);
        ASSERT_TRUE(QTest::qWaitFor([&] { return window.done == 1; }, 60000));
    }
    EXPECT_EQ(device.entries(), (std::vector<std::string>{"refused (busy)", "refused (busy)", "start m.wav",
                                                          "refused", "start m.wav", "stop"}))
        << "the message itself is played before it counts as heard";

    FakeDevice idle;
    PlayThread none(window.ref(), {}, idle.player(), 1ms);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.done == 2; }, 60000));
    EXPECT_TRUE(idle.entries().empty());
}

TEST(PlayThread, StopDuringPlaybackStopsTheSoundWithoutAnyMessage) {
    TestDir dir;
    orvelin::test::touch(dir / "long.wav");
    CallRing ring(2);
    ASSERT_TRUE(ring.replace(0, {TCallRecord{}, record(7, CallState::VoiceMessage, (dir / "long.wav").string())}));
    FakeDevice device;
    device.length = 1 << 30;
    PlayWindow window(ring);
    PlayThread thread(window.ref(), unheardMessages(ring), device.player(), 1ms);
    ASSERT_TRUE(QTest::qWaitFor([&] { return device.entries().size() >= 3; }, 60000));
    thread.stop();
    thread.stop();
    const std::vector<std::string> log = device.entries();
    EXPECT_EQ(log.front(), "start long.wav");
    EXPECT_EQ(log.back(), "stop");
    QCoreApplication::processEvents();
    EXPECT_EQ(window.done, 0);
    EXPECT_TRUE(window.heard.empty());
}

TEST(PlayThread, MarkHeardChangesOnlyUnheardMessages) {
    TCallRecord r = record(1, CallState::VoiceMessage, "");
    EXPECT_TRUE(markHeard(r));
    EXPECT_EQ(r.state, static_cast<std::uint32_t>(CallState::ReadVoiceMessage));
    EXPECT_FALSE(markHeard(r));
    TCallRecord fax = record(2, CallState::Fax, "");
    EXPECT_FALSE(markHeard(fax));
    EXPECT_EQ(fax.state, static_cast<std::uint32_t>(CallState::Fax));
}

}  // namespace
