// The answering machine and fax reception against fake ports. Every CAPI request lands in
// an ordered trace; the ring, the files and the clearing (LineEvents) are the real ones,
// and the blink timer runs on a window's manual clock.
#include "client/answering_machine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "client/fax_reception.h"
#include "client/free_name.h"
#include "client/remote_playback.h"
#include "client/window/line_events.h"
#include "media/wavefile.h"
#include "platform/app_window.h"
#include "platform/clock.h"
#include "settings/option_bits.h"
#include "tests/client/test_dir.h"
#include "tests/support/qt_environment.h"

namespace orvelin::client {
namespace {

namespace fs = std::filesystem;
using settings::OptionBits;
using Bytes = std::vector<std::uint8_t>;

class TimerWindow : public platform::AppWindow {
  public:
    explicit TimerWindow(platform::Clock* clock) : platform::AppWindow(clock) {}
    int blinks = 0;

  protected:
    platform::LResult dispatch(platform::AppMessage& m) override {
        if (m.id == platform::WM_TIMER && m.wParam == kBlinkTimer) ++blinks;
        return 0;
    }
};

struct Sent {
    int line;
    std::uint16_t handle;
    Bytes data;
};

class FakePorts : public AnsweringPorts {
  public:
    std::vector<std::string> trace;
    std::vector<Sent> sent;
    std::uint32_t opts = 0;
    std::optional<std::uint64_t> free;
    std::vector<unsigned> refuse;  // results of the next sendData calls (then 0)
    std::vector<std::string> played, logged;
    int faxThreads = 0;
    platform::ManualClock clock;
    TimerWindow window{&clock};

    void acceptVoice(int line) override { trace.push_back("accept " + std::to_string(line)); }
    void acceptFax(int line, const std::string& station) override {
        trace.push_back("fax " + std::to_string(line) + " " + station);
    }
    void disconnect(int line) override { trace.push_back("disc " + std::to_string(line)); }
    unsigned sendData(int line, const std::uint8_t* data, std::uint16_t length,
                      std::uint16_t handle) override {
        unsigned rc = 0;
        if (!refuse.empty()) {
            rc = refuse.front();
            refuse.erase(refuse.begin());
        }
        if (rc == 0) sent.push_back({line, handle, Bytes(data, data + length)});
        return rc;
    }
    void startDtmfListen(int line) override { trace.push_back("dtmf " + std::to_string(line)); }
    void requestFaxSwitch(int line) override { trace.push_back("switch " + std::to_string(line)); }
    void selectFaxProtocol(int line, std::uint16_t n, const std::string& station) override {
        trace.push_back("select " + std::to_string(line) + " " + std::to_string(n) + " " + station);
    }
    // Stands in for the sound library: the 58-byte header, then the source's bytes.
    bool convertGreeting(const GreetingConversion& c) override {
        std::ifstream in(c.source, std::ios::binary);
        if (!in) return false;
        const Bytes body{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const auto head = media::MakeWaveHeader(media::WaveFormatALaw, std::uint32_t(body.size()));
        std::ofstream out(c.target, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size()));
        out.write(reinterpret_cast<const char*>(body.data()), std::streamsize(body.size()));
        return bool(out);
    }
    std::optional<std::uint64_t> freeBytes(const std::string&) override { return free; }
    void playSound(const std::string& path) override { played.push_back(path); }
    void rowUpdated(const TCallRecord&) override {}
    void setStatusText(const std::string&) override {}
    void setTimer(platform::TimerId id, std::int64_t ms) override { window.setTimer(id, ms); }
    bool mainWindowHidden() override { return true; }
    void log(const std::string& line) override { logged.push_back(line); }
    void startFaxThread(const TCallRecord&) override { ++faxThreads; }
    std::uint32_t options() override { return opts; }
};

Bytes pattern(std::size_t n, std::uint8_t seed = 1) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = std::uint8_t(seed + i * 7);
    return b;
}

void writeFile(const fs::path& path, const Bytes& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

struct Rig {
    test::TestDir dir;
    std::string home = dir.path().string() + "/";
    FakePorts ports;
    CallHistory history{CallHistory::Config{home, 6, {}, {}, [this] { return ports.opts; }}};
    LineRecords lines;
    AnsweringMachine machine{home, lines, history, ports};
    int afterCalls = 0;
    LineEvents events{lines, history,
                      LineEvents::Hooks{
                          {}, {}, {}, {}, {},
                          [this](const TCallRecord&) { ++afterCalls; },
                          [] { return 1000u; },
                          {},
                          [this](int line) { machine.linkUp(line); },
                          [this](int line, TCallRecord* r, std::int16_t pages) {
                              return machine.cleared(line, r, pages);
                          },
                          [this](int line, const TCallRecord& r, std::int16_t pages) {
                              return machine.dataCount(line, r, pages);
                          },
                          {}}};

    Rig() { fs::create_directories(dir.path() / "Messages"); }

    // A new alerting call to MSN 1, all arriving in the same second.
    TCallRecord& call(std::int32_t maxRecordingTime = 0, int line = 0) {
        ArrivalTime a;
        a.seconds1901 = 900;
        a.local = {2026, 12, 3, 9, 4, 5, 6, 0};
        TCallRecord& r = history.takeNew(a);
        r.calledNumber.assign("5550100");
        history.addCallRow(r);
        LineRecord& l = *lines.at(line);
        l.callId = r.id;
        l.msnNumber = 1;
        l.maxRecordingTime = maxRecordingTime;
        l.callerNumber = "0301234";
        l.lineState = 1;
        return r;
    }
    void state(int s, std::uint16_t reason = 0, std::int16_t pages = 0, int line = 0) {
        events.stateChanged(line, std::uint32_t(s) | std::uint32_t(reason) << 16, pages);
    }
    // Confirms every block sent so far on the line, in order, and whatever they cause.
    void confirmAll(int line = 0) {
        for (std::size_t i = 0; i < ports.sent.size(); ++i)
            if (ports.sent[i].line == line) machine.dataSent(line, ports.sent[i].handle);
    }
    void receive(std::size_t blocks, std::size_t size = 2000, int line = 0) {
        for (std::size_t i = 0; i < blocks; ++i) {
            const Bytes b = pattern(size, std::uint8_t(i));
            machine.dataReceived(line, b.data(), b.size());
        }
    }
    // A call on line 0 answered with `greeting`, the link up: the greeting is queued.
    struct Answer {
        std::int32_t maxRecordingTime = 0;
        Bytes greeting = pattern(500);
        bool recordingGreeting = false, authorised = false;
    };
    TCallRecord& answer(const Answer& how) {
        writeFile(dir.path() / "Answer/Welcome1.wav", how.greeting);
        TCallRecord& r = call(how.maxRecordingTime);
        lines.at(0)->recordingGreeting = how.recordingGreeting;
        lines.at(0)->authorised = how.authorised;
        machine.answerWithGreeting(0, 1);
        state(4);
        return r;
    }
    // Answered, greeting sent and confirmed: the line records now.
    void answerAndRecord(std::int32_t maxRecordingTime, const Bytes& greeting = pattern(500)) {
        answer({.maxRecordingTime = maxRecordingTime, .greeting = greeting});
        confirmAll();
    }
};

TEST(GreetingQueueTest, BlocksPaddingAndHandles) {
    struct Case {
        std::size_t audio;
        std::uint16_t firstHandle;
        std::vector<std::uint16_t> lengths;  // before the seven closing blocks
    };
    const Case cases[] = {
        {0, 1, {}},
        {1, 1, {128}},
        {300, 65534, {128, 128, 128}},
        {896, 0x7FFE, {128, 128, 128, 128, 128, 128, 128}},
        {896 + 2032 + 5, 65533, {128, 128, 128, 128, 128, 128, 128, 2032, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.audio);
        const Bytes audio = pattern(c.audio);
        GreetingQueue q;
        std::uint16_t handle = c.firstHandle;
        q.fill(audio, 0xAB, handle);
        ASSERT_EQ(q.size(), c.lengths.size() + 7);
        Bytes joined;
        std::uint16_t expected = c.firstHandle;
        for (std::size_t i = 0; !q.empty(); ++i, q.pop()) {
            const GreetingBlock& b = q.front();
            EXPECT_EQ(b.handle, expected++);  // wraps from 65535 to 0
            ASSERT_GT(b.length, 0);
            EXPECT_EQ(b.length, i < c.lengths.size() ? c.lengths[i] : 1);
            joined.insert(joined.end(), b.data.begin(), b.data.begin() + b.length);
        }
        EXPECT_EQ(handle, expected);
        Bytes want = audio;
        want.resize(std::max<std::size_t>(audio.size(), std::min<std::size_t>(
                                                            (audio.size() + 127) / 128 * 128, 896)),
                     0xAB);
        want.insert(want.end(), 7, 0xAB);
        EXPECT_EQ(joined, want);
    }
    const auto head = media::MakeWaveHeader(media::WaveFormatALaw, 10);
    Bytes wave(head.begin(), head.end());
    wave.resize(wave.size() + 10, 0x11);
    EXPECT_EQ(lineAudioStart(wave, wave.size()), media::WaveHeaderSize);
    EXPECT_EQ(lineAudioStart(Bytes(64, 0x11), 64), 0u);
    EXPECT_EQ(lineAudioStart(Bytes(wave.begin(), wave.begin() + 30), wave.size()), 0u);
}

// The fax station id is the called number, at most 20 bytes and never part of a character.
TEST(FaxStationIdTest, TheCalledNumberCutWithoutSplittingACharacter) {
    const std::string nineteen(19, '1');
    struct Case {
        const char* what;
        std::optional<std::string> called;  // nullopt: no call record
        std::string expected;
    };
    const Case cases[] = {
        {"no record", std::nullopt, "????????"},
        {"a short number", "5550100", "5550100"},
        {"24 digits", std::string(24, '7'), std::string(20, '7')},
        {"a two-byte character across the 20th byte", nineteen + "\xC3\xA9", nineteen},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TCallRecord record{};
        if (c.called) record.calledNumber.assign(*c.called);
        EXPECT_EQ(faxStationId(c.called ? &record : nullptr), c.expected);
    }
}

TEST(AnsweringMachineTest, GreetingChoice) {
    struct Case {
        bool personal, unlisted;
        std::string key, present, expected;
    };
    const Case cases[] = {
        {false, false, "", "Welcome2.wav", "Welcome2.wav"},
        {false, false, "", "", "Welcome.wav"},
        {true, true, "Unlisted", "Unlisted.wav", "Unlisted.wav"},
        {true, false, "030?", "030_.wav", "030_.wav"},
        {true, false, "../x", "Welcome2.wav", "Welcome2.wav"},  // key file missing
        {true, false, "", "0301.wav", "0301.wav"},
    };
    for (const Case& c : cases) {
        LineRecord l;
        l.personalMsg = c.personal;
        l.unlistedFallback = c.unlisted;
        l.matchedKey = c.key;
        l.callerNumber = "0301";
        const std::string got = chooseGreeting("/p/", l, 2, [&](const std::string& path) {
            return !c.present.empty() && path == "/p/Answer/" + c.present;
        });
        EXPECT_EQ(got, "/p/Answer/" + c.expected) << c.key;
    }
}

TEST(AnsweringMachineTest, PacingAndTheEndOfTheGreeting) {
    struct Case {
        const char* name;
        std::uint32_t options;
        std::vector<unsigned> refuse;  // results at link-up
        std::uint16_t firstHandle;
        std::int32_t maxRecordingTime;
        std::size_t inFlight;  // blocks sent at link-up
    };
    const Case cases[] = {
        {"one in flight", 0, {}, 1, 5, 1},
        {"four in flight", OptionBits::ExtraGreetingBlocks, {}, 1, 5, 4},
        {"an extra block refused", OptionBits::ExtraGreetingBlocks, {0, 0, 0x2001}, 1, 5, 2},
        {"handles past 0x7FFF", OptionBits::ExtraGreetingBlocks, {}, 0x7FF8, 5, 4},
        {"handles wrap to 0", 0, {}, 65530, 5, 1},
        {"no message may be left", OptionBits::ExtraGreetingBlocks, {}, 65533, 0, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.ports.opts = c.options;
        writeFile(rig.dir.path() / "Answer/Welcome1.wav", pattern(3000));
        TCallRecord& r = rig.call(c.maxRecordingTime);
        rig.machine.setNextDataHandle(c.firstHandle);
        rig.machine.answerWithGreeting(0, 1);
        EXPECT_EQ(rig.ports.trace, std::vector<std::string>{"accept 0"});
        EXPECT_TRUE(rig.ports.sent.empty());
        const std::size_t blocks = rig.machine.queuedBlocks(0);
        ASSERT_EQ(blocks, 7u + 2u + 7u);  // 896, then 2032 and 72 bytes, then the closing ones
        rig.ports.refuse = c.refuse;
        rig.state(4);
        EXPECT_EQ(rig.ports.sent.size(), c.inFlight);
        EXPECT_EQ(r.state, std::uint32_t(CallState::Answered));
        // Each confirmation sends one block; recording starts at the last one's only.
        const std::size_t dropped = c.refuse.empty() ? 0 : 1;
        const std::size_t total = blocks - dropped;
        for (std::size_t i = 0; i < rig.ports.sent.size(); ++i) {
            if (c.maxRecordingTime > 0) {
                EXPECT_EQ(rig.lines.at(0)->mode, LineMode::Greeting) << i;
            }
            rig.machine.dataSent(0, rig.ports.sent[i].handle);
            EXPECT_EQ(rig.ports.sent.size(), std::min(total, c.inFlight + i + 1)) << i;
        }
        if (c.maxRecordingTime > 0) {
            EXPECT_EQ(rig.lines.at(0)->mode, LineMode::Recording);
            EXPECT_EQ(std::count(rig.ports.trace.begin(), rig.ports.trace.end(), "disc 0"), 0);
        } else {
            // Every confirmation that finds the queue empty clears the call.
            EXPECT_EQ(std::count(rig.ports.trace.begin(), rig.ports.trace.end(), "disc 0"),
                      std::ptrdiff_t(c.inFlight));
            EXPECT_EQ(rig.lines.at(0)->mode, LineMode::Greeting);
        }
        for (std::size_t i = 1; i < rig.ports.sent.size(); ++i)
            EXPECT_EQ(std::uint16_t(rig.ports.sent[i - 1].handle + 1 + (dropped && i == 2)),
                      rig.ports.sent[i].handle);
        Bytes joined;
        for (const Sent& s : rig.ports.sent) joined.insert(joined.end(), s.data.begin(), s.data.end());
        if (!dropped) {
            EXPECT_EQ(Bytes(joined.begin(), joined.begin() + 3000), pattern(3000));
            EXPECT_EQ(rig.machine.bytesSent(0), joined.size());
        }
    }
}

TEST(AnsweringMachineTest, RecordingLimitsAndClearing) {
    struct Case {
        const char* name;
        std::int32_t maxRecordingTime;
        std::size_t blocks;
        std::optional<std::uint64_t> free;
        bool hangUp;
        std::uint64_t stored;  // bytes in the message, 0: no message
    };
    const Case cases[] = {
        // 3 s = 24576 bytes: reached by the 13th block, the first is not stored; the blocks
        // before the clearing are kept within the grace, later ones dropped.
        {"under the limit", 3, 11, std::nullopt, false, 10 * 2000},
        {"cut at the limit", 3, 13, std::nullopt, true, 12 * 2000},
        {"blocks before the clearing", 3, 15, std::nullopt, true, 14 * 2000},
        {"past the grace", 3, 40, std::nullopt, true, 20 * 2000},
        {"too short", 3, 9, std::nullopt, false, 0},
        {"disk full", 30, 40, (1u << 20) + 60000, true, 14 * 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.answerAndRecord(c.maxRecordingTime);
        TCallRecord& r = *rig.history.find(rig.lines.at(0)->callId);
        const std::uint32_t id = r.id;
        rig.ports.trace.clear();
        if (c.free) {
            // Free space shrinks as the recording grows.
            rig.ports.free = *c.free;
            for (std::size_t i = 0; i < c.blocks; ++i) {
                const Bytes b = pattern(2000, std::uint8_t(i));
                rig.machine.dataReceived(0, b.data(), b.size());
                *rig.ports.free -= std::min<std::uint64_t>(*rig.ports.free, 2000);
            }
        } else {
            rig.receive(c.blocks);
        }
        EXPECT_EQ(std::count(rig.ports.trace.begin(), rig.ports.trace.end(), "disc 0"),
                  c.hangUp ? 1 : 0);
        rig.state(0, 0x3490);
        TCallRecord* after = rig.history.find(id);
        ASSERT_NE(after, nullptr);
        EXPECT_TRUE(fs::is_empty(rig.dir.path() / "Alw/MSN1"));  // the raw file is gone
        if (c.stored == 0) {
            EXPECT_EQ(after->state, std::uint32_t(CallState::Answered));
            EXPECT_TRUE(after->filePath.empty());
            continue;
        }
        EXPECT_EQ(after->state, std::uint32_t(CallState::VoiceMessage));
        const std::string path(after->filePath.view());
        EXPECT_EQ(path, rig.home + "Messages/MSN1/MSG_2026.12.09_04.05.06.WAV");
        ASSERT_TRUE(fs::exists(path));
        EXPECT_EQ(fs::file_size(path), media::WaveHeaderSize + c.stored);
        EXPECT_EQ(after->count, c.stored / 8000);
        EXPECT_EQ(rig.afterCalls, 1);
        rig.ports.clock.advance(2000);
        EXPECT_EQ(rig.ports.window.blinks, 1);
    }
}

TEST(AnsweringMachineTest, EachClearingPath) {
    struct Case {
        const char* name;
        std::function<void(Rig&)> setUp;
        std::uint16_t reason;
        std::int16_t pages;
        CallState state;
        std::uint16_t count;
        bool file;
        int faxThreads, afterCalls;
    };
    const auto greeting = [](Rig& rig) { rig.answer({.greeting = pattern(16000)}); };
    const auto fax = [](std::size_t bytes, std::uint32_t options) {
        return [=](Rig& rig) {
            rig.ports.opts = options;
            TCallRecord& r = rig.call(0);
            r.setState(CallState::BrokenFax);
            rig.machine.answerFaxCall(0);
            rig.state(4);
            const Bytes b = pattern(bytes);
            rig.machine.dataReceived(0, b.data(), b.size());
        };
    };
    const Case cases[] = {
        {"only alerting", [](Rig& rig) { rig.call(0); }, 0x3490, 0, CallState::Shown, 100, false, 0, 1},
        {"answered by phone while alerting", [](Rig& rig) { rig.call(0); }, 0x349A, 0,
         CallState::AnsweredByPhone, 100, false, 0, 1},
        {"during the greeting", greeting, 0x3490, 0, CallState::Answered, 0, false, 0, 1},
        {"after the greeting",
         [&](Rig& rig) {
             greeting(rig);
             rig.confirmAll();
             rig.confirmAll();
         },
         0x3490, 0, CallState::Answered, 2, false, 0, 1},
        {"recording, then taken elsewhere",
         [](Rig& rig) {
             rig.answerAndRecord(30);
             rig.receive(20);
         },
         0x3487, 0, CallState::AnsweredByPhone, 100, true, 0, 1},
        {"empty fax", fax(48, 0), 0x3490, 3, CallState::Answered, 0, false, 0, 1},
        {"fax", fax(49, 0), 0x3490, 3, CallState::Fax, 3, true, 0, 1},
        {"fax to the post-processor", fax(4000, OptionBits::FaxToTiff), 0x3490, 2,
         CallState::BrokenFax, 2, true, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        c.setUp(rig);
        const std::uint32_t id = rig.lines.at(0)->callId;
        rig.state(0, c.reason, c.pages);
        const TCallRecord* r = rig.history.find(id);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->state, std::uint32_t(c.state));
        EXPECT_EQ(r->reason, c.reason);
        EXPECT_EQ(r->count, c.count);  // 100: the seconds since the arrival
        EXPECT_EQ(!r->filePath.empty(), c.file);
        if (c.file) {
            EXPECT_TRUE(fs::is_regular_file(std::string(r->filePath.view())));
        }
        EXPECT_EQ(rig.ports.faxThreads, c.faxThreads);
        EXPECT_EQ(rig.afterCalls, c.afterCalls);
        EXPECT_EQ(rig.lines.at(0)->mode, LineMode::Idle);
        EXPECT_EQ(rig.lines.at(0)->callId, 0u);  // a later stray report changes nothing
        if (fs::exists(rig.dir.path() / "FaxIn/MSN1")) {
            EXPECT_EQ(c.file, !fs::is_empty(rig.dir.path() / "FaxIn/MSN1"));
        }
    }
}

TEST(AnsweringMachineTest, RemotePlaybackOfUnheardMessages) {
    Rig rig;
    writeFile(rig.dir.path() / "Answer/NoMore.wav", pattern(50, 9));
    writeFile(rig.dir.path() / "outside.wav", pattern(70, 3));
    struct Stored {
        CallState state;
        std::string file;  // below the program directory
        bool played;
    };
    const Stored stored[] = {
        {CallState::VoiceMessage, "Messages/MSN1/a.wav", true},
        {CallState::ReadVoiceMessage, "Messages/MSN1/b.wav", false},
        {CallState::VoiceMessage, "Messages/../outside.wav", false},  // refused
        {CallState::Answered, "", false},
        {CallState::VoiceMessage, "Messages/MSN2/c.wav", true},
    };
    std::vector<std::uint32_t> ids;
    std::uint8_t seed = 20;
    for (const Stored& s : stored) {
        ArrivalTime a;
        TCallRecord& r = rig.history.takeNew(a);
        r.setState(s.state);
        if (!s.file.empty()) {
            r.filePath.assign(rig.home + s.file);
            if (!fs::exists(rig.home + s.file)) writeFile(rig.home + s.file, pattern(40, seed++));
        }
        ids.push_back(r.id);
    }
    rig.answer({.maxRecordingTime = 5, .greeting = pattern(100), .authorised = true});
    rig.machine.dtmf(0, "1");
    EXPECT_EQ(rig.machine.queuedBlocks(0), 0u);  // the greeting stops
    // Confirmations drive the playback: each file is sent as a greeting of its own.
    std::vector<Bytes> heard;
    for (std::size_t i = 0; i < rig.ports.sent.size(); ++i) {
        if (rig.ports.sent[i].data.size() == 128) heard.push_back(rig.ports.sent[i].data);
        rig.machine.dataSent(0, rig.ports.sent[i].handle);
    }
    const Bytes a = pattern(40, 20), c = pattern(40, 22), noMore = pattern(50, 9);
    ASSERT_GE(heard.size(), 4u);
    EXPECT_EQ(Bytes(heard[1].begin(), heard[1].begin() + 40), a);
    EXPECT_EQ(Bytes(heard[2].begin(), heard[2].begin() + 40), c);
    EXPECT_EQ(Bytes(heard[3].begin(), heard[3].begin() + 50), noMore);
    EXPECT_EQ(heard.size(), 4u);
    EXPECT_EQ(rig.ports.trace.back(), "disc 0");
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const TCallRecord* r = rig.history.find(ids[i]);
        ASSERT_NE(r, nullptr);
        const bool played = stored[i].played;
        EXPECT_EQ(r->state, std::uint32_t(played ? CallState::ReadVoiceMessage : stored[i].state)) << i;
    }
    EXPECT_FALSE(fileInsideFolder(rig.home + "Messages/../outside.wav", rig.home + "Messages"));
    EXPECT_TRUE(fileInsideFolder(rig.home + "Messages/MSN1/a.wav", rig.home + "Messages"));
}

TEST(AnsweringMachineTest, NewGreetingGetsTheQuietTail) {
    Rig rig;
    rig.answer({.greeting = pattern(100), .recordingGreeting = true});
    rig.confirmAll();
    ASSERT_EQ(rig.lines.at(0)->mode, LineMode::Recording);
    rig.receive(40);  // no limit: nobody hangs up
    EXPECT_EQ(std::count(rig.ports.trace.begin(), rig.ports.trace.end(), "disc 0"), 0);
    const std::uint32_t id = rig.lines.at(0)->callId;
    rig.state(0, 0x3490);
    const TCallRecord* r = rig.history.find(id);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->state, std::uint32_t(CallState::Shown));
    const std::string path = rig.home + "Answer/Welcome1.wav";
    EXPECT_EQ(std::string(r->filePath.view()), path);
    const Bytes wave = test::readBytes(path);
    ASSERT_EQ(wave.size(), media::WaveHeaderSize + 39 * 2000);
    EXPECT_EQ(Bytes(wave.end() - kGreetingTailBytes, wave.end()),
              Bytes(greetingTailFill(), greetingTailFill() + kGreetingTailBytes));
    for (std::size_t i = 0; i < kGreetingTailBytes; ++i)
        EXPECT_NEAR(greetingTailFill()[i], 128, 3);
}

TEST(AnsweringMachineTest, FaxTonesSwitchOncePerCall) {
    Rig rig;
    rig.answerAndRecord(5);
    rig.receive(3);
    rig.machine.dtmf(0, "X");
    rig.machine.dtmf(0, "Y");  // the tones go on: no second request
    EXPECT_EQ(std::count(rig.ports.trace.begin(), rig.ports.trace.end(), "switch 0"), 1);
    rig.machine.switchLineToFax(0, 7);
    rig.machine.switchLineToFax(0, 9);  // the fax link's own end
    EXPECT_EQ(rig.ports.trace.back(), "select 0 8 5550100");
    EXPECT_EQ(rig.lines.at(0)->mode, LineMode::FaxReceive);
    EXPECT_TRUE(fs::is_empty(rig.dir.path() / "Alw/MSN1"));  // the tones were not kept
    const Bytes page = pattern(5000);
    rig.machine.dataReceived(0, page.data(), page.size());
    const std::uint32_t id = rig.lines.at(0)->callId;
    rig.state(0, 0x3490, 1);
    const TCallRecord* r = rig.history.find(id);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->state, std::uint32_t(CallState::Fax));
    EXPECT_EQ(r->count, 1);
    EXPECT_EQ(test::readBytes(std::string(r->filePath.view())), page);
    EXPECT_EQ(std::string(r->filePath.view()), rig.home + "FaxIn/MSN1/FAX_2026.12.09_04.05.06.SFF");
}

// Calls of one second to one MSN, back to back on a line or at once on both lines: each
// message and fax keeps a file of its own, and no file already there is replaced.
TEST(AnsweringMachineTest, CallsOfOneSecondKeepEveryFile) {
    struct Case {
        const char* name;
        bool fax;
        bool atOnce;           // the second call starts (on line 1) before the first clears
        const char* existing;  // a file there before, "" for none
        const char* first;     // the records' files
        const char* second;
    };
    const Case cases[] = {
        {"messages back to back", false, false, "", "Messages/MSN1/MSG_2026.12.09_04.05.06.WAV",
         "Messages/MSN1/MSG_2026.12.09_04.05.06_2.WAV"},
        {"messages at once", false, true, "", "Messages/MSN1/MSG_2026.12.09_04.05.06.WAV",
         "Messages/MSN1/MSG_2026.12.09_04.05.06_2.WAV"},
        {"an older message", false, false, "Messages/MSN1/MSG_2026.12.09_04.05.06.WAV",
         "Messages/MSN1/MSG_2026.12.09_04.05.06_2.WAV", "Messages/MSN1/MSG_2026.12.09_04.05.06_3.WAV"},
        // A raw file kept after a failed conversion; the messages are named by the arrival.
        {"a kept raw file", false, true, "Alw/MSN1/MSG_2026.12.09_04.05.06.alw",
         "Messages/MSN1/MSG_2026.12.09_04.05.06.WAV", "Messages/MSN1/MSG_2026.12.09_04.05.06_2.WAV"},
        {"faxes back to back", true, false, "", "FaxIn/MSN1/FAX_2026.12.09_04.05.06.SFF",
         "FaxIn/MSN1/FAX_2026.12.09_04.05.06_2.SFF"},
        {"faxes at once", true, true, "", "FaxIn/MSN1/FAX_2026.12.09_04.05.06.SFF",
         "FaxIn/MSN1/FAX_2026.12.09_04.05.06_2.SFF"},
        // Its SFF file was removed after the conversion; the new fax's TIFF would replace it.
        {"the TIFF of an earlier fax", true, false, "FaxIn/MSN1/FAX_2026.12.09_04.05.06.tif",
         "FaxIn/MSN1/FAX_2026.12.09_04.05.06_2.SFF", "FaxIn/MSN1/FAX_2026.12.09_04.05.06_3.SFF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        writeFile(rig.dir.path() / "Answer/Welcome1.wav", pattern(100));
        if (*c.existing) writeFile(rig.dir.path() / c.existing, pattern(3));
        const int lines[] = {0, c.atOnce ? 1 : 0};
        const std::size_t blocks[] = {12, 15};  // two messages or faxes of their own length
        std::uint32_t ids[2] = {};
        const auto begin = [&](int call) {
            const int line = lines[call];
            TCallRecord& r = rig.call(c.fax ? 0 : 30, line);
            ids[call] = r.id;
            if (c.fax) {
                r.setState(CallState::BrokenFax);
                rig.machine.answerFaxCall(line);
                rig.state(4, 0, 0, line);
            } else {
                rig.machine.answerWithGreeting(line, 1);
                rig.state(4, 0, 0, line);
                rig.confirmAll(line);
                ASSERT_EQ(rig.lines.at(line)->mode, LineMode::Recording);
            }
        };
        const auto talk = [&](int call) { rig.receive(blocks[call], 2000, lines[call]); };
        const auto end = [&](int call) { rig.state(0, 0x3490, 1, lines[call]); };
        if (c.atOnce) {
            begin(0);
            begin(1);
            for (int call : {0, 1}) talk(call);
            for (int call : {0, 1}) end(call);
        } else {
            for (int call : {0, 1}) {
                begin(call);
                talk(call);
                end(call);
            }
        }
        for (int call : {0, 1}) {
            SCOPED_TRACE(call);
            const TCallRecord* r = rig.history.find(ids[call]);
            ASSERT_NE(r, nullptr);
            EXPECT_EQ(r->state, std::uint32_t(c.fax ? CallState::Fax : CallState::VoiceMessage));
            const std::string path(r->filePath.view());
            EXPECT_EQ(path, rig.home + (call == 0 ? c.first : c.second));
            // The first block of a recording is not stored.
            const std::uint64_t size = c.fax ? blocks[call] * 2000
                                             : media::WaveHeaderSize + (blocks[call] - 1) * 2000;
            EXPECT_EQ(fs::exists(path) ? fs::file_size(path) : 0, size);
        }
        if (*c.existing) {
            EXPECT_EQ(test::readBytes(rig.dir.path() / c.existing), pattern(3));
        }
        if (!c.fax) {
            // Both raw files are gone; one kept from before stays.
            const std::size_t left = *c.existing && std::string(c.existing).starts_with("Alw") ? 1 : 0;
            EXPECT_EQ(std::distance(fs::directory_iterator(rig.dir.path() / "Alw/MSN1"),
                                    fs::directory_iterator()),
                      std::ptrdiff_t(left));
        }
    }
}

TEST(AnsweringMachineTest, NumberedNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"/d/Messages/MSG_2026.12.09_04.05.06.WAV", "/d/Messages/MSG_2026.12.09_04.05.06_7.WAV"},
        {"/d/a.b/FAX", "/d/a.b/FAX_7"},  // a dot in a folder is no extension
        {"/d/.hidden", "/d/.hidden_7"},
        {"name.x.SFF", "name.x_7.SFF"},
    };
    for (const auto& [path, seventh] : cases) {
        EXPECT_EQ(numberedName(path, 1), path);
        EXPECT_EQ(numberedName(path, 7), seventh);
    }
}

TEST(AnsweringMachineTest, RawFileThatCannotBeCreated) {
    Rig rig;
    writeFile(rig.dir.path() / "Alw/MSN1", pattern(3));  // a file where the folder goes
    rig.answerAndRecord(5);
    rig.receive(20);
    EXPECT_FALSE(rig.ports.logged.empty());
    const std::uint32_t id = rig.lines.at(0)->callId;
    rig.state(0, 0x3490);
    const TCallRecord* r = rig.history.find(id);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->state, std::uint32_t(CallState::Answered));
    EXPECT_TRUE(r->filePath.empty());
    EXPECT_EQ(test::readBytes(rig.dir.path() / "Alw/MSN1"), pattern(3));
}

// Whatever ends a recording, what was stored is on disk, closed, and nothing is lost.
TEST(AnsweringMachineTest, RecordingsEndSoundly) {
    struct Case {
        const char* name;
        bool greeting;
        std::size_t blocks;
        std::function<void(Rig&)> end;
        int hangUps;
        const char* raw;   // the raw file left in Alw/MSN1, "" for none
        const char* wave;  // the WAVE made, "" for none
        std::uint64_t stored;
    };
    const Case cases[] = {
        // The messages folder cannot be made: the conversion fails and the raw file stays.
        {"conversion fails", false, 12,
         [](Rig& rig) {
             writeFile(rig.dir.path() / "Messages/MSN1", pattern(1));
             rig.state(0, 0x3490);
         },
         0, "MSG_2026.12.09_04.05.06.alw", "", 11 * 2000},
        // CAPI goes down or the program ends mid-call: no clearing comes, the message is
        // made all the same.
        {"CAPI stops", false, 12, [](Rig& rig) { rig.machine.endCalls(); }, 0, "",
         "Messages/MSN1/MSG_2026.12.09_04.05.06.WAV", 11 * 2000},
        // A new greeting has no configured limit, but it is capped far below the WAVE limit.
        {"greeting cap", true, kMaxGreetingBytes / 2000 + 5,
         [](Rig& rig) { rig.state(0, 0x3490); }, 1, "", "Answer/Welcome1.wav", kMaxGreetingBytes},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.answer(
            {.maxRecordingTime = 30, .greeting = pattern(100), .recordingGreeting = c.greeting});
        rig.confirmAll();
        rig.receive(c.blocks);
        const std::uint32_t id = rig.lines.at(0)->callId;
        c.end(rig);
        EXPECT_EQ(std::count(rig.ports.trace.begin(), rig.ports.trace.end(), "disc 0"), c.hangUps);
        EXPECT_EQ(rig.lines.at(0)->mode, LineMode::Idle);
        const fs::path raw = rig.dir.path() / "Alw/MSN1" / c.raw;
        if (*c.raw) {
            EXPECT_EQ(test::readBytes(raw).size(), c.stored);
        } else {
            EXPECT_TRUE(fs::is_empty(rig.dir.path() / "Alw/MSN1"));
        }
        if (*c.wave) {
            EXPECT_EQ(fs::file_size(rig.dir.path() / c.wave), media::WaveHeaderSize + c.stored);
        }
        const TCallRecord* r = rig.history.find(id);
        ASSERT_NE(r, nullptr);
        if (*c.wave && !c.greeting) {
            EXPECT_EQ(r->state, std::uint32_t(CallState::VoiceMessage));
            EXPECT_EQ(r->filePath.view(), (rig.dir.path() / c.wave).string());
            EXPECT_EQ(r->count, c.stored / 8000);
        }
        EXPECT_EQ(rig.lines.at(0)->callId, 0u) << "the line let go of its call";
    }
}

TEST(AnsweringMachineTest, KeysOnlyFromAuthorisedCallers) {
    for (const bool authorised : {false, true}) {
        SCOPED_TRACE(authorised);
        Rig rig;
        rig.answer({.greeting = pattern(3000), .authorised = authorised});
        const std::size_t queued = rig.machine.queuedBlocks(0);
        rig.machine.dtmf(0, "2");
        EXPECT_EQ(rig.lines.at(0)->playbackActive, authorised);
        EXPECT_EQ(rig.machine.queuedBlocks(0), authorised ? 0u : queued);
    }
}

}  // namespace
}  // namespace orvelin::client
