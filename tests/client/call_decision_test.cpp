// The incoming-call decision against fake ports. Every port call lands in one ordered
// trace (CAPI requests, rows, saves, raising, speech, posted messages, answers, timers,
// programs); per concern a table of calls gives the trace expected and the record written.
#include "client/call_decision.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "client/call_ring.h"
#include "platform/app_window.h"
#include "platform/clock.h"
#include "settings/option_bits.h"
#include "tests/client/test_dir.h"
#include "tests/support/qt_environment.h"

namespace orvelin::client {
namespace {

using settings::CallerMode;
using settings::OptionBits;
using Strings = std::vector<std::string>;

std::uint32_t rule(CallerMode mode, std::uint32_t start = 0, std::uint32_t end = 0,
                   bool noFax = false) {
    return settings::CallerSettings{start, end, static_cast<std::uint32_t>(mode), noFax}.encode();
}

// Window timers on the manual clock, delivered as the client window delivers them.
class TimerWindow : public platform::AppWindow {
  public:
    explicit TimerWindow(platform::Clock* clock) : platform::AppWindow(clock) {}
    std::function<void(platform::TimerId)> onTimer;

  protected:
    platform::LResult dispatch(platform::AppMessage& m) override {
        if (m.id == platform::WM_TIMER && onTimer)
            onTimer(static_cast<platform::TimerId>(m.wParam));
        return 0;
    }
};

class FakePorts : public CallDecisionPorts, public LineHandler {
  public:
    FakePorts() {
        msn.entries[0] = {"111", "OFFICE", false, true, true, true};  // log, pop-up, answer
        msn.entries[1] = {"222", "FAXLINE", true, false, false, false};
        msn.entries[2] = {"333", "HOME", false, false, false, true};
        msn.entries[3] = {"444", "SECRET", false, false, false, false};  // "Discrete"
        now.local.hour = 12;
        caller.matchedKey = "Unlisted";
        caller.unlisted = true;
    }
    void note(std::string event) { trace.push_back(std::move(event)); }
    static std::string n(long long v) { return std::to_string(v); }

    void connectResp(int id, std::uint16_t reject, std::uint16_t b1, std::uint16_t b2,
                     std::uint16_t b3) override {
        note("resp " + n(id) + " " + n(reject) + "/" + n(b1) + "/" + n(b2) + "/" + n(b3));
    }
    void disconnect(int id) override { note("disc " + n(id)); }
    bool isConnectionInUse(int) override { return true; }
    bool faxCapable() override { return fax; }
    TCallRecord& takeNewRecord(const ArrivalTime& arrival) override {
        TCallRecord& r = ring.takeNew(arrival, {}, dir.path());
        lastId = r.id;
        return r;
    }
    void addCallRow(const TCallRecord& r) override { note(r.id == lastId ? "add" : "add other"); }
    void saveRing() override { note("save"); }
    void updateCallRow(const TCallRecord& r) override {
        note(r.id == lastId ? "update" : "update other");
        written = r;
    }
    int currentLine() override { return current; }
    void setCurrentLine(int line) override { current = line; }
    void closeScreenSaver() override { note("screensaver"); }
    void raiseWindow() override { note("raise"); }
    void post(platform::MessageId id, platform::WParam w, platform::RecordPtr record) override {
        const auto* p = dynamic_cast<PopupText*>(record.get());
        note((id == platform::WM_CLOSE_POPUP ? "close " : "show ") + n(static_cast<long long>(w)) +
             (p ? " [" + p->callerText + "] [" + p->detailLine + "]" : ""));
    }
    void setTimer(platform::TimerId id, std::int64_t ms) override {
        note("timer " + n(id) + " " + n(ms));
        window.setTimer(id, ms);
    }
    void killTimer(platform::TimerId id) override {
        note("kill " + n(id));
        window.killTimer(id);
    }
    void say(const std::string& text) override { note("say [" + text + "]"); }
    void launchProgram(std::uint32_t id, ProgramCommand command, std::uint32_t wait) override {
        std::string text = (id == lastId ? "launch " : "launch other ") + n(wait);
        for (const std::string& word : command.argv()) text += " <" + word + ">";
        note(text);
    }
    void runOnCallProgram(const TCallRecord& r, unsigned line) override {
        note((r.id == lastId ? "oncall " : "oncall other ") + n(line));
    }
    void answerWithGreeting(int line, int msnNumber) override {
        note("greeting " + n(line) + " " + n(msnNumber));
    }
    void answerFaxCall(int line) override { note("fax " + n(line)); }

    ArrivalTime arrivalNow() override { return now; }
    std::uint32_t options() override { return opts; }
    std::optional<settings::StripSettings> stripSettings() override { return strip; }
    bool isDiscreteMsn(int index) override { return index == 3; }
    std::shared_ptr<const settings::MSNTable> msnTable() override {
        return std::make_shared<const settings::MSNTable>(msn);
    }
    std::uint32_t recordingDelay(int) override { return delay; }
    std::uint32_t maxRecordingTime(int) override { return maxTime; }
    std::string auth() override { return authText; }
    std::string sayWhat() override { return sayWhatText; }
    settings::CallerLookup lookupCaller(std::string_view number, bool restricted,
                                        int line) override {
        note("lookup " + std::string(number) + (restricted ? " restricted " : " ") + n(line));
        return caller;
    }

    // Settings as a case sets them.
    std::uint32_t opts = OptionBits::PopupBanner | OptionBits::AnnounceCallers;
    std::optional<settings::StripSettings> strip;
    settings::MSNTable msn;
    std::uint32_t delay = 0, maxTime = 60;
    std::string authText = "????", sayWhatText = "Call";
    settings::CallerLookup caller;
    bool fax = false;
    ArrivalTime now;

    // What happened.
    Strings trace;
    TCallRecord written;
    int current = 255;
    std::uint32_t lastId = 0;
    test::TestDir dir;
    CallRing ring{10};
    platform::ManualClock clock;
    TimerWindow window{&clock};
};

using Given = std::function<void(FakePorts&, capi::IncomingCallInfo&)>;

// One decision with its fakes.
struct Rig {
    FakePorts ports;
    LineRecords lines;
    CallDecision decision{ports, lines, ports};
    Rig() {
        ports.window.onTimer = [this](platform::TimerId id) { decision.answerDelayElapsed(id); };
    }
    // A call from 0301234 to MSN 1 on connection `id`, changed by `given`.
    void run(int id, const Given& given = {}, const char* calling = "0301234") {
        auto info = std::make_unique<capi::IncomingCallInfo>();
        info->CallingNumber = calling;
        info->CalledNumber = "111";
        info->CIPValue = 1;
        info->UserUserData = std::vector<std::uint8_t>{0};
        if (given) given(ports, *info);
        decision.incomingCall(id, std::move(info));
    }
    // The trace without the entries every call has, unless they are asked for.
    Strings trace(const Strings& keep) const {
        Strings out;
        for (const std::string& e : ports.trace)
            for (const std::string& k : keep)
                if (e.rfind(k, 0) == 0) {
                    out.push_back(e);
                    break;
                }
        return out;
    }
    // state|caller number|called number|called name|caller name|comment
    std::string record() const {
        const TCallRecord& r = ports.written;
        return std::to_string(r.state) + "|" + std::string(r.callerNumber.view()) + "|" +
               std::string(r.calledNumber.view()) + "|" + std::string(r.calledName.view()) + "|" +
               std::string(r.callerName.view()) + "|" + std::string(r.comment.view());
    }
};

struct Case {
    const char* name;
    Given given;
    const char* record;  // as Rig::record()
    Strings trace;       // filtered by the group's prefixes
};

void runTable(const std::vector<Case>& cases, const Strings& keep, int id = 0) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.run(id, c.given);
        EXPECT_EQ(rig.record(), c.record);
        EXPECT_EQ(rig.trace(keep), c.trace);
    }
}

Given opts(std::uint32_t bits) {
    return [bits](FakePorts& p, capi::IncomingCallInfo&) { p.opts = bits; };
}
Given called(const char* number) {
    return [number](FakePorts& p, capi::IncomingCallInfo& i) {
        p.opts = 0;
        i.CalledNumber = number;
    };
}
Given uud(std::vector<std::uint8_t> bytes) {
    return [bytes](FakePorts& p, capi::IncomingCallInfo& i) {
        p.opts = 0;
        i.UserUserData = bytes;
    };
}
Given strip(std::uint8_t threshold, std::uint8_t keepShort, std::uint8_t keepLong) {
    return [=](FakePorts& p, capi::IncomingCallInfo& i) {
        p.opts = 0;
        p.strip = settings::StripSettings{threshold, keepShort, keepLong};
        i.CallingNumber = "0049301234567";
    };
}
Given callerRule(std::uint32_t r, bool faxController = false, std::uint16_t cip = 1) {
    return [=](FakePorts& p, capi::IncomingCallInfo& i) {
        p.opts = 0;
        p.caller.rule = r;
        p.fax = faxController;
        i.CIPValue = cip;
    };
}
Given both(Given a, Given b) {
    return [=](FakePorts& p, capi::IncomingCallInfo& i) {
        a(p, i);
        b(p, i);
    };
}

const Strings kAnswerKeep = {"resp", "disc", "greeting", "fax", "timer"};

// clang-format off
TEST(CallDecisionTest, RewritesAndStripsNumbers) {
    std::vector<std::uint8_t> longText{200, 4};
    longText.resize(202, 'a');
    const std::string longComment = "10|0301234|111|OFFICE||" + std::string(128, 'a');
    runTable({
        {"as received", opts(0), "0|0301234|111|OFFICE||", {"greeting 0 1"}},
        {"leading zero added", opts(OptionBits::AddLeadingZero), "0|00301234|111|OFFICE||", {"greeting 0 1"}},
        {"leading zero removed", opts(OptionBits::StripLeadingZero), "0|301234|111|OFFICE||", {"greeting 0 1"}},
        {"both bits: only added", opts(OptionBits::AddLeadingZero | OptionBits::StripLeadingZero), "0|00301234|111|OFFICE||", {"greeting 0 1"}},
        {"strip a long number", strip(8, 4, 6), "0|234567|111|OFFICE||", {"greeting 0 1"}},
        {"strip a short number", strip(20, 5, 6), "0|34567|111|OFFICE||", {"greeting 0 1"}},
        {"keep 0 leaves it whole", strip(8, 4, 0), "0|0049301234567|111|OFFICE||", {"greeting 0 1"}},
        {"one digit is an MSN index", called("2"), "0|0301234|333|HOME||", {"greeting 0 3"}},
        {"empty called number is MSN 1", called(""), "0|0301234|111|OFFICE||", {"greeting 0 1"}},
        {"digit of an empty MSN kept", called("7"), "0|0301234|7|||", {}},
        {"user data of length 1 ignored", uud({1, 4, 'x'}), "0|0301234|111|OFFICE||", {"greeting 0 1"}},
        {"user data is a text message", uud({4, 4, 'h', 'e', 'y', 'z'}), "10|0301234|111|OFFICE||hey", {"greeting 0 1"}},
        {"length beyond the data", uud({50, 4, 'h', 'i'}), "10|0301234|111|OFFICE||hi", {"greeting 0 1"}},
        {"text in Windows-1252", uud({4, 4, 0xE4, 0x80, '!'}), "10|0301234|111|OFFICE||\xC3\xA4\xE2\x82\xAC!", {"greeting 0 1"}},
        {"at most 128 bytes", uud(longText), longComment.c_str(), {"greeting 0 1"}},
    }, kAnswerKeep);
}

TEST(CallDecisionTest, MsnAndCallerRules) {
    const auto launch = [](std::uint8_t line, std::uint32_t cips) {
        return [=](FakePorts& p, capi::IncomingCallInfo&) {
            p.opts = 0;
            p.caller.launch = {true, line, cips, "/bin/prog", "!c $(reboot) ;x", "", "", 500, 0};
        };
    };
    const Given faxMsn = [](FakePorts& p, capi::IncomingCallInfo& i) { p.opts = 0; p.fax = true; i.CalledNumber = "222"; };
    const Given noMsn = called("999");
    const Given launched = launch(255, 1u << 1);
    runTable({
        {"answer MSN answers at once", opts(0), "0|0301234|111|OFFICE||", {"lookup 0301234 1", "greeting 0 1", "oncall 1"}},
        {"never answer: only shown", callerRule(rule(CallerMode::NeverAnswer)), "0|0301234|111|OFFICE||", {"lookup 0301234 1", "oncall 1"}},
        {"no MSN: line 1, shown", noMsn, "0|0301234|999|||", {"lookup 0301234 1", "oncall 1"}},
        {"answer always, no MSN: greeting 0", both(noMsn, callerRule(rule(CallerMode::AnswerAlways))), "0|0301234|999|||", {"lookup 0301234 1", "greeting 0 0", "oncall 1"}},
        {"fax MSN, fax controller", faxMsn, "5|0301234|222|FAXLINE||", {"lookup 0301234 2", "fax 0", "oncall 2"}},
        {"fax MSN, no fax controller", both(faxMsn, [](FakePorts& p, capi::IncomingCallInfo&) { p.fax = false; }), "0|0301234|222|FAXLINE||", {"lookup 0301234 2", "oncall 2"}},
        {"never answer still takes a fax", callerRule(rule(CallerMode::NeverAnswer), true, 17), "5|0301234|111|OFFICE||", {"lookup 0301234 1", "fax 0", "oncall 1"}},
        {"caller refusing faxes", callerRule(rule(CallerMode::NeverAnswer, 0, 0, true), true, 17), "0|0301234|111|OFFICE||", {"lookup 0301234 1", "oncall 1"}},
        {"withheld number", [](FakePorts& p, capi::IncomingCallInfo& i) { p.opts = 0; i.CallingNumber = ""; i.PresentationRestricted = 0x20; }, "0||111|OFFICE||", {"lookup  restricted 1", "greeting 0 1", "oncall 1"}},
        {"caller's program, never through a shell", launched, "0|0301234|111|OFFICE||", {"lookup 0301234 1", "greeting 0 1", "launch 500 </bin/prog> <!c> <$(reboot)> <;x>", "oncall 1"}},
        {"caller's program for another line", launch(2, 1u << 1), "0|0301234|111|OFFICE||", {"lookup 0301234 1", "greeting 0 1", "oncall 1"}},
        {"caller's program for another CIP", launch(1, 1u << 16), "0|0301234|111|OFFICE||", {"lookup 0301234 1", "greeting 0 1", "oncall 1"}},
        {"caller's program on MSN 3", both(launch(4, 2), called("333")), "0|0301234|333|HOME||", {"lookup 0301234 3", "greeting 0 3", "launch 500 </bin/prog> <!c> <$(reboot)> <;x>", "oncall 3"}},
    }, {"lookup", "greeting", "fax", "launch", "oncall"});

    // What the line keeps for the answering machine: authorised / max recording time.
    struct LineCase { const char* name; Given given; bool authorised; std::int32_t maxTime; };
    const LineCase lineCases[] = {
        {"\"Auth\" missing authorises nobody", {}, false, 60},
        {"\"Auth\" token matches the end", [](FakePorts& p, capi::IncomingCallInfo&) { p.authText = "555;1234,99"; }, true, 60},
        {"pseudo-number never authorised", [](FakePorts& p, capi::IncomingCallInfo& i) { p.authText = "Unknown"; i.CallingNumber = ""; }, false, 60},
        {"network text never matches \"????\"", [](FakePorts&, capi::IncomingCallInfo& i) { i.CallingNumber = "12????"; }, false, 60},
        {"caller without messages", [](FakePorts& p, capi::IncomingCallInfo&) { p.caller.noVoiceMessage = true; }, false, 0},
        {"stored time cannot overflow", [](FakePorts& p, capi::IncomingCallInfo&) { p.maxTime = 0xFFFFFFFF; }, false, 262143},
    };
    for (const LineCase& c : lineCases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.run(0, c.given);
        const LineRecord& line = *rig.lines.at(0);
        EXPECT_EQ(line.callId, rig.ports.written.id);
        EXPECT_EQ(line.authorised, c.authorised);
        EXPECT_EQ(line.maxRecordingTime, c.maxTime);
        EXPECT_EQ(rig.ports.current, 0);
    }
}

TEST(CallDecisionTest, Reject) {
    const auto reject = [](std::uint32_t r, int hour) {
        return [=](FakePorts& p, capi::IncomingCallInfo&) {
            p.caller = {};
            p.caller.name = "Pest";
            p.caller.matchedKey = "0301234";
            p.caller.rule = r;
            p.now.local.hour = static_cast<std::uint16_t>(hour);
        };
    };
    const Given always = reject(rule(CallerMode::RejectAlways), 12);
    const Given night = reject(rule(CallerMode::RejectInPeriod, 2200, 600), 23);
    const Given morning = reject(rule(CallerMode::RejectInPeriod, 2200, 600), 6);
    const Strings rejected = {"resp 0 0/1/1/0", "disc 0", "add", "save", "raise", "update", "oncall 1"};
    runTable({
        {"reject always: accepted, cleared, listed, no speech, banner or answer", always, "1|0301234|111|OFFICE|Pest|", rejected},
        {"reject in the night", night, "1|0301234|111|OFFICE|Pest|", rejected},
        {"not at 06:00", morning, "0|0301234|111|OFFICE|Pest|", {"add", "save", "raise", "say [Call Pest]", "screensaver", "close 0", "show 0 [Pest] [Pest 0301234 to OFFICE 111]", "greeting 0 1", "update", "oncall 1"}},
        {"no MSN: no raise", both(always, called("999")), "1|0301234|999||Pest|", {"resp 0 0/1/1/0", "disc 0", "add", "save", "update", "oncall 1"}},
        {"a rejected text message shows Rejected", both(always, uud({3, 4, 'h', 'i'})), "1|0301234|111|OFFICE|Pest|hi", rejected},
    }, {"resp", "disc", "add", "save", "raise", "say", "screensaver", "close", "show", "greeting", "fax", "timer", "update", "launch", "oncall"});

    Rig noLine;  // a connection without a line is still rejected, by its own id
    noLine.run(6, always);
    EXPECT_EQ(noLine.record(), "1|0301234|111|OFFICE|Pest|");
    EXPECT_EQ(noLine.trace({"resp", "disc"}), (Strings{"resp 6 0/1/1/0", "disc 6"}));
    EXPECT_FALSE(noLine.lines.at(0)->logCall);
    EXPECT_EQ(noLine.ports.current, 255);
}

TEST(CallDecisionTest, AnswerTimingOnTheManualClock) {
    struct TimingCase {
        const char* name;
        int id;
        std::uint32_t delay, callerRule;
        int hour, lineState;  // the line's state when the delay runs out
        Strings atOnce;
        std::int64_t wait;
        Strings later;
    };
    const std::uint32_t night = rule(CallerMode::AnswerInPeriod, 2200, 600);
    const TimingCase cases[] = {
        {"no delay", 0, 0, 0, 12, 1, {"greeting 0 1"}, 0, {}},
        {"15 s", 0, 15, 0, 12, 1, {"timer 1 15360"}, 15360, {"kill 1", "greeting 0 1"}},
        {"not yet", 0, 15, 0, 12, 1, {"timer 1 15360"}, 15359, {}},
        {"answered by phone meanwhile", 0, 15, 0, 12, 4, {"timer 1 15360"}, 20000, {"kill 1"}},
        {"line 1 uses timer 2", 1, 3, 0, 12, 1, {"timer 2 3072"}, 3072, {"kill 2", "greeting 1 1"}},
        {"answer period at 23:00", 0, 15, night, 23, 1, {"greeting 0 1"}, 20000, {}},
        {"answer period at 12:00: the MSN's delay", 0, 15, night, 12, 1, {"timer 1 15360"}, 15360, {"kill 1", "greeting 0 1"}},
        {"stored delay cannot overflow", 0, 0xFFFFFFFF, 0, 12, 1, {"timer 1 88473600"}, 88473600, {"kill 1", "greeting 0 1"}},
        {"no line: no timer", 2, 15, 0, 12, 1, {}, 100000, {}},
        {"no line: no answer", 3, 0, 0, 12, 1, {}, 0, {}},
        {"no line: no answer by rule", 4, 0, rule(CallerMode::AnswerAlways), 12, 1, {}, 0, {}},
    };
    const Strings keep = {"greeting", "timer", "kill", "resp", "disc"};
    for (const TimingCase& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.run(c.id, [&](FakePorts& p, capi::IncomingCallInfo&) {
            p.delay = c.delay;
            p.caller.rule = c.callerRule;
            p.now.local.hour = static_cast<std::uint16_t>(c.hour);
        });
        EXPECT_EQ(rig.trace(keep), c.atOnce);
        EXPECT_EQ(rig.record(), "0|0301234|111|OFFICE||");
        if (LineRecord* line = rig.lines.at(c.id)) line->lineState = c.lineState;
        rig.ports.trace.clear();
        rig.ports.clock.advance(c.wait);
        EXPECT_EQ(rig.trace(keep), c.later);
        // Neither the blink timer nor the text-message timer, whatever the id.
        EXPECT_FALSE(rig.ports.window.timerArmed(kBlinkTimer));
        EXPECT_FALSE(rig.ports.window.timerArmed(kSmsTimer));
        EXPECT_EQ(rig.lines.at(0)->callId != 0, c.id == 0);
        EXPECT_EQ(rig.lines.at(1)->callId != 0, c.id == 1);
    }
    Rig rig;  // other timers are not the decision's
    EXPECT_FALSE(rig.decision.answerDelayElapsed(kBlinkTimer));
    EXPECT_FALSE(rig.decision.answerDelayElapsed(3));
    EXPECT_TRUE(rig.ports.trace.empty());
}

TEST(CallDecisionTest, SpeechText) {
    const auto speak = [](const char* sayWhat, const char* name, bool unlisted) {
        return [=](FakePorts& p, capi::IncomingCallInfo&) {
            p.opts = OptionBits::AnnounceCallers;
            p.sayWhatText = sayWhat;
            p.caller.name = name;
            p.caller.unlisted = unlisted;
        };
    };
    const auto number = [](const char* digits) {
        return [=](FakePorts&, capi::IncomingCallInfo& i) { i.CallingNumber = digits; };
    };
    runTable({
        {"known caller by name", speak("Call from", "Anna", false), "0|0301234|111|OFFICE|Anna|", {"say [Call from Anna]"}},
        {"phone-book name: by number", speak("Call from", "Anna", true), "0|0301234|111|OFFICE|Anna|", {"say [Call from 0 30 12 34 ]"}},
        {"even length in pairs", both(speak("", "", true), number("1234")), "0|1234|111|OFFICE||", {"say [ 12 34 ]"}},
        {"address tag: whole number", speak("\\ctx=\"address\"\\", "", true), "0|0301234|111|OFFICE||", {"say [\\ctx=\"address\"\\ 0301234]"}},
        {"withheld: nothing after the text", both(speak("Call", "", true), number("")), "0||111|OFFICE||", {"say [Call ]"}},
        {"speech off", opts(OptionBits::PopupBanner), "0|0301234|111|OFFICE||", {}},
    }, {"say"});
    // Cut to the buffer, never inside a character.
    EXPECT_EQ(announcementText(std::string(509, 'x'), "\xC3\xA9\xC3\xA9", false, ""), std::string(509, 'x') + " ");
}

TEST(CallDecisionTest, PopupText) {
    const auto named = [](const char* name, bool unlisted) {
        return [=](FakePorts& p, capi::IncomingCallInfo&) { p.caller.name = name; p.caller.unlisted = unlisted; };
    };
    const Given faxCall = [](FakePorts& p, capi::IncomingCallInfo& i) { p.fax = true; i.CIPValue = 17; };
    const Given refused = [](FakePorts& p, capi::IncomingCallInfo&) { p.caller.phoneBookNoFax = true; };
    const Strings unknown = {"screensaver", "close 0", "show 0 [0301234] [ 0301234 to OFFICE 111]"};
    const Strings keep = {"screensaver", "close", "show"};
    runTable({
        {"known caller", named("Anna", false), "0|0301234|111|OFFICE|Anna|", {"screensaver", "close 0", "show 0 [Anna] [Anna 0301234 to OFFICE 111]"}},
        {"phone-book name: number as title", named("Anna", true), "0|0301234|111|OFFICE|Anna|", {"screensaver", "close 0", "show 0 [0301234] [Anna 0301234 to OFFICE 111]"}},
        {"unknown caller", named("", true), "0|0301234|111|OFFICE||", unknown},
        {"withheld", [](FakePorts&, capi::IncomingCallInfo& i) { i.CallingNumber = ""; i.PresentationRestricted = 0x20; }, "0||111|OFFICE||", {"screensaver", "close 0", "show 0 [Restricted] [ Restricted to OFFICE 111]"}},
        {"banner off", opts(OptionBits::AnnounceCallers), "0|0301234|111|OFFICE||", {}},
        {"fax call: none", faxCall, "5|0301234|111|OFFICE||", {}},
        {"fax refused: shown", both(faxCall, refused), "0|0301234|111|OFFICE||", unknown},
    }, keep);
    runTable({{"line 1", {}, "0|0301234|111|OFFICE||", {"screensaver", "close 1", "show 1 [0301234] [ 0301234 to OFFICE 111]"}}}, keep, 1);
    runTable({{"no line: shown, no slot closed", {}, "0|0301234|111|OFFICE||", {"screensaver", "show 7 [0301234] [ 0301234 to OFFICE 111]"}}}, keep, 7);
}
// clang-format on

TEST(CallDecisionTest, DiscreteCallLeavesNoTrace) {
    Rig rig;
    rig.run(0);
    LineRecord& line = *rig.lines.at(0);
    line.launch = line.logCall = true;
    rig.ports.setTimer(kAnswerDelayTimer0, 5000);
    const std::uint32_t head = rig.ports.ring.head();
    rig.ports.trace.clear();

    rig.run(0, called("444"));
    EXPECT_EQ(rig.ports.trace, Strings{"kill 1"});
    EXPECT_EQ(rig.ports.ring.head(), head);
    EXPECT_EQ(line.callId, 0u);  // the earlier call's clearing now finds no record
    EXPECT_FALSE(line.launch);
    EXPECT_FALSE(line.logCall);
    EXPECT_FALSE(rig.ports.window.timerArmed(kAnswerDelayTimer0));
    EXPECT_EQ(rig.ports.current, 255);

    Rig other;  // on a connection without a line it touches neither line
    other.run(1);
    other.ports.trace.clear();
    other.run(4, called("444"));
    EXPECT_TRUE(other.ports.trace.empty());
    EXPECT_EQ(other.lines.at(1)->callId, other.ports.written.id);
    EXPECT_EQ(other.ports.current, 1);
}

TEST(CallDecisionTest, NetworkTextNamesNoPathAndRunsNoCommand) {
    Rig rig;
    rig.ports.caller.launch = {true, 255, 0xFFFFFFFF, "", "/bin/echo !c", "", "", 0, 0};
    rig.run(0, {}, "../../x;$(id)");
    const std::string& key = rig.lines.at(0)->callerNumber;
    EXPECT_EQ(key.find('/'), std::string::npos);
    EXPECT_NE(key.front(), '.');
    // The caller's own program gets no placeholders: the number never reaches its argv.
    EXPECT_EQ(rig.trace({"launch"}), Strings{"launch 0 </bin/echo> <!c>"});
    EXPECT_EQ(rig.record(), "0|../../x;$(id)|111|OFFICE||");
}

}  // namespace
}  // namespace orvelin::client
