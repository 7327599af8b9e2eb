// Text messages against fake CAPI hooks; timer 5 runs on a window's manual clock.
#include "client/text_messages.h"

#include <gtest/gtest.h>

#include <deque>

#include "capi/connections.h"
#include "client/line_record.h"
#include "platform/app_window.h"
#include "platform/clock.h"

namespace orvelin::client {
namespace {

constexpr const char* kDelivered = "Message delivered";
constexpr const char* kNotDelivered = "Message could not be delivered";

using Bytes = std::vector<std::uint8_t>;

class TimerWindow : public platform::AppWindow {
  public:
    explicit TimerWindow(platform::Clock* clock) : platform::AppWindow(clock) {}
    std::function<void()> onSmsTimer;

  protected:
    platform::LResult dispatch(platform::AppMessage& m) override {
        if (m.id == platform::WM_TIMER && m.wParam == kSmsTimer && onSmsTimer) onSmsTimer();
        return 0;
    }
};

struct Placed {
    std::string called, calling;
    std::uint32_t cip;
    Bytes uud;
};

struct Rig {
    platform::ManualClock clock;
    TimerWindow window{&clock};
    SmsSettings settings;
    std::deque<std::optional<std::string>> answers;  // what the prompts get, in order
    std::vector<std::string> prompts;
    std::vector<Placed> placed;
    std::vector<int> hungUp;
    std::vector<int> released;
    std::vector<std::string> told;
    int nextId = 0;
    TextMessages texts{TextMessages::Hooks{
        [this](const std::string& caption, const std::string&, std::size_t maxChars) {
            prompts.push_back(caption + " / " + std::to_string(maxChars));
            std::optional<std::string> a;
            if (!answers.empty()) {
                a = answers.front();
                answers.pop_front();
            }
            return a;
        },
        [this] { return settings; },
        [this](const std::string& called, const std::string& calling, std::uint32_t cip,
               const Bytes& uud) {
            placed.push_back({called, calling, cip, uud});
            return nextId;
        },
        [this](int id) { hungUp.push_back(id); },
        [this](int id) { released.push_back(id); },
        [this](std::int64_t ms) { window.setTimer(kSmsTimer, ms); },
        [this] { window.killTimer(kSmsTimer); },
        [this] { return clock.now(); },
        [this](const std::string& text, bool) { told.push_back(text); },
    }};
    Rig() { window.onSmsTimer = [this] { texts.timeElapsed(); }; }

    bool state(int id, unsigned state, unsigned reason = 0) {
        return texts.stateChanged(id, state | reason << 16);
    }
    // A message that the layer confirmed on `id`.
    void sent(int id, const std::string& to = "0301234") {
        nextId = id;
        texts.send(to, false, "hi");
        state(id, capi::D_ConnectPending);
    }
};

Bytes uudOf(const std::string& text) {
    Bytes b{std::uint8_t(text.size() + 1), 0x04};
    // Byte by byte: GCC 12 misreads a small range insert here (-Warray-bounds).
    for (char c : text) b.push_back(std::uint8_t(c));
    return b;
}

TEST(TextMessagesTest, WhereAMessageGoesAndWhatTheCallCarries) {
    const std::string max128(128, 'x');
    struct Case {
        const char* name;
        std::optional<std::string> recipient;  // nullopt: asked for
        std::optional<std::string> text;       // nullopt: asked for
        std::vector<std::optional<std::string>> answers;
        std::string prefixes;
        std::string called;  // "" when nothing is placed
        std::string wireText;
        std::string told;
        std::string lastPrompt;
    };
    const std::vector<Case> cases = {
        {"cellular by default", "9171234", {}, {"hello"}, "9", "19100", "9171234 hello", "",
         "Orvelin SMS to 9171234 / 120"},
        {"fixed line", "0301234", {}, {"hello"}, "9", "0301234", "hello", "",
         "Orvelin SMS to 0301234 / 128"},
        {"both asked", {}, {}, {"9170", "hi"}, "9", "19100", "9170 hi", "",
         "Orvelin SMS to 9170 / 123"},
        {"given text replaces the prefix", "1999", "TLF 0301234", {}, "1", "19100",
         "TLF 0301234", "", ""},
        {"several prefixes, empty parts skipped", "0171555", "x", {}, "015;;017 ; ", "19100", "x",
         "", ""},
        {"empty parts match nothing", "0171555", "x", {}, ";;", "0171555", "x", "", ""},
        {"128 characters fit", "0301", max128, {}, "9", "0301", max128, "", ""},
        {"129 do not, and say so", "0301", max128 + "y", {}, "9", "", "",
         "The message was not sent: it is 129 characters long, at most 128 fit.", ""},
        {"euro sign is one byte", "0301", "5 \xE2\x82\xAC", {}, "9", "0301", "5 \x80", "", ""},
        {"character the code page lacks", "0301", "\xC5\x99", {}, "9", "", "",
         "The message was not sent: it holds characters a text message cannot carry.", ""},
        {"cancelled recipient", {}, {}, {std::nullopt}, "9", "", "", "", "Orvelin SMS / 34"},
        {"empty recipient", {}, {}, {"  "}, "9", "", "", "", "Orvelin SMS / 34"},
        {"cancelled text", "9171", {}, {std::nullopt}, "9", "", "", "",
         "Orvelin SMS to 9171 / 123"},
        {"empty text on a cellular recipient", "9171", {}, {""}, "9", "", "", "",
         "Orvelin SMS to 9171 / 123"},
        {"recipient cut to 34", std::string(40, '3'), "x", {}, "9", std::string(34, '3'), "x", "",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.settings.cellularPrefixes = c.prefixes;
        rig.answers.assign(c.answers.begin(), c.answers.end());
        rig.texts.send(c.recipient, false, c.text);
        if (c.called.empty()) {
            EXPECT_TRUE(rig.placed.empty());
        } else {
            ASSERT_EQ(rig.placed.size(), 1u);
            EXPECT_EQ(rig.placed[0].called, c.called);
            EXPECT_EQ(rig.placed[0].uud, uudOf(c.wireText));
            EXPECT_EQ(rig.placed[0].uud[0], c.wireText.size() + 1);
        }
        EXPECT_EQ(rig.told.empty() ? "" : rig.told.back(), c.told);
        EXPECT_EQ(rig.prompts.empty() ? "" : rig.prompts.back(), c.lastPrompt);
        EXPECT_EQ(rig.window.timerArmed(kSmsTimer), !c.called.empty());
    }
}

TEST(TextMessagesTest, CallingNumberAndCipComeFromTheSettings) {
    Rig rig;
    rig.texts.send("0301", false, "a");
    rig.settings.callerNumber = "456";
    rig.settings.callerCip = 0x10;
    rig.texts.send("0301", false, "b");
    ASSERT_EQ(rig.placed.size(), 2u);
    EXPECT_EQ(rig.placed[0].calling, "");
    EXPECT_EQ(rig.placed[0].cip, 1u);
    EXPECT_EQ(rig.placed[1].calling, "456");
    EXPECT_EQ(rig.placed[1].cip, 0x10u);
}

TEST(TextMessagesTest, TheClearingReasonSaysWhetherTheTextArrived) {
    struct Case {
        std::uint16_t reason;
        bool quiet;
        const char* told;
    };
    const Case cases[] = {
        {0x3490, false, kDelivered},    {0, false, kDelivered},
        {0x3487, false, kDelivered},    {0x3493, false, kDelivered},
        {0x349A, false, kDelivered},    {0x349F, false, kDelivered},
        {0x34A2, false, kNotDelivered}, {0x3491, false, kNotDelivered},
        {0x2003, false, kNotDelivered}, {0x3490, true, ""},
        {0x34A2, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        Rig rig;
        rig.nextId = 1;
        rig.texts.send("0301", c.quiet, "hi");
        EXPECT_TRUE(rig.state(1, capi::D_ConnectPending));
        EXPECT_TRUE(rig.state(1, kInfoFarEndAlerting, 0xFFFF));
        EXPECT_EQ(rig.hungUp, std::vector<int>{1}) << "hung up as the far end alerts";
        EXPECT_FALSE(rig.window.timerArmed(kSmsTimer));
        EXPECT_TRUE(rig.state(1, capi::D_Connected)) << "no second hang-up";
        EXPECT_EQ(rig.hungUp.size(), 1u);
        EXPECT_TRUE(rig.state(1, capi::Disconnected, c.reason));
        EXPECT_EQ(rig.told.empty() ? "" : rig.told.back(), c.told);
        EXPECT_EQ(rig.texts.current(), -1);
        EXPECT_FALSE(rig.texts.watching(1));
        EXPECT_FALSE(rig.state(1, capi::Disconnected, c.reason)) << "a line's call again";
    }
}

TEST(TextMessagesTest, TimeOutHangsUpAfterTenSecondsAndItsLateClearingChangesNothing) {
    Rig rig;
    rig.sent(0);
    rig.clock.advance(kSmsTimeoutMs - 1);
    EXPECT_TRUE(rig.hungUp.empty());
    rig.clock.advance(1);
    EXPECT_EQ(rig.hungUp, std::vector<int>{0});
    EXPECT_EQ(rig.texts.current(), -1);
    EXPECT_FALSE(rig.window.timerArmed(kSmsTimer));

    rig.sent(1, "0302");  // the next message, pending when the late clearing arrives
    EXPECT_TRUE(rig.state(0, capi::Disconnected, 0x3490)) << "kept from the line handlers";
    EXPECT_TRUE(rig.told.empty()) << "no report after the time-out";
    EXPECT_EQ(rig.texts.current(), 1);
    EXPECT_TRUE(rig.window.timerArmed(kSmsTimer));
    EXPECT_TRUE(rig.state(1, capi::Disconnected, 0x34A2));
    EXPECT_EQ(rig.told, std::vector<std::string>{kNotDelivered});
    EXPECT_EQ(rig.texts.watchedCount(), 0u);
}

TEST(TextMessagesTest, ACallNeverConfirmedIsGivenBackAtItsTimeOut) {
    struct Case {
        const char* name;
        bool earlierClearing;  // the slot's earlier message still has its clearing due
    };
    for (const Case& c : {Case{"fresh slot", false}, Case{"slot of an earlier message", true}}) {
        SCOPED_TRACE(c.name);
        Rig rig;
        if (c.earlierClearing) rig.sent(3);
        rig.nextId = 3;
        rig.texts.send("0301", false, "hi");  // no confirmation ever comes
        rig.clock.advance(kSmsTimeoutMs);
        EXPECT_EQ(rig.released, std::vector<int>{3});
        EXPECT_TRUE(rig.hungUp.empty()) << "there is no call to hang up";
        EXPECT_EQ(rig.texts.current(), -1);
        EXPECT_FALSE(rig.window.timerArmed(kSmsTimer));
        if (c.earlierClearing) {
            EXPECT_TRUE(rig.texts.watching(3));
            EXPECT_TRUE(rig.state(3, capi::Disconnected, 0x3490)) << "the earlier clearing";
        }
        EXPECT_FALSE(rig.texts.watching(3));
        EXPECT_EQ(rig.texts.watchedCount(), 0u);
        EXPECT_FALSE(rig.state(3, capi::Disconnected, 0x3490)) << "the slot is a line's again";
        EXPECT_TRUE(rig.told.empty());
        rig.clock.advance(60000);
        EXPECT_EQ(rig.released.size(), 1u);
    }
}

TEST(TextMessagesTest, ASecondMessageWhileOneIsPendingLosesNeither) {
    Rig rig;
    rig.sent(0);
    rig.clock.advance(4000);
    rig.sent(1);
    EXPECT_EQ(rig.texts.current(), 1);
    // The first keeps its own deadline although the second re-armed the timer.
    rig.clock.advance(6000);
    EXPECT_EQ(rig.hungUp, std::vector<int>{0});
    EXPECT_TRUE(rig.window.timerArmed(kSmsTimer));
    EXPECT_TRUE(rig.state(0, capi::Disconnected, 0x3490));
    EXPECT_TRUE(rig.told.empty()) << "only the newest message reports";
    EXPECT_TRUE(rig.state(1, capi::D_Connected));
    EXPECT_EQ(rig.hungUp, (std::vector<int>{0, 1}));
    EXPECT_TRUE(rig.state(1, capi::Disconnected, 0x3490));
    EXPECT_EQ(rig.told, std::vector<std::string>{kDelivered});
    rig.clock.advance(60000);
    EXPECT_EQ(rig.hungUp.size(), 2u);
}

TEST(TextMessagesTest, AReusedSlotKeepsTheEarlierClearingApart) {
    Rig rig;
    rig.sent(0);
    // The layer freed slot 0 with its clearing still queued; the next message gets slot 0.
    rig.nextId = 0;
    rig.texts.send("0302", false, "again");
    EXPECT_TRUE(rig.state(0, capi::Disconnected, 0x3490));
    EXPECT_TRUE(rig.told.empty());
    EXPECT_TRUE(rig.texts.watching(0));
    EXPECT_TRUE(rig.state(0, capi::D_ConnectPending));
    EXPECT_TRUE(rig.state(0, capi::Disconnected, 0x34A2));
    EXPECT_EQ(rig.told, std::vector<std::string>{kNotDelivered});

    // A slot last held by a line's call: its leftover reports stay the line's.
    rig.nextId = 1;
    rig.texts.send("0303", false, "x");
    EXPECT_FALSE(rig.state(1, capi::Disconnected, 0x3490));
    EXPECT_TRUE(rig.state(1, capi::D_ConnectPending));
    EXPECT_FALSE(rig.state(7, capi::D_Connected)) << "not ours";
}

TEST(TextMessagesTest, NothingPlacedIsReportedAndCapiOffForgetsTheWatch) {
    Rig rig;
    rig.nextId = -1;
    rig.texts.send("0301", false, "hi");
    EXPECT_EQ(rig.told, std::vector<std::string>{kNotDelivered});
    rig.texts.send("0301", true, "hi");
    EXPECT_EQ(rig.told.size(), 1u) << "quiet";
    EXPECT_EQ(rig.texts.watchedCount(), 0u);

    rig.sent(2);
    rig.texts.forgetAll();
    EXPECT_FALSE(rig.window.timerArmed(kSmsTimer));
    EXPECT_FALSE(rig.state(2, capi::Disconnected));
}

}  // namespace
}  // namespace orvelin::client
