// Untrusted input from the exchange, concurrent slot allocation and the worker's end.
#include <atomic>
#include <functional>
#include <optional>
#include <set>
#include <thread>

#include "tests/capi/support.h"

namespace capitest {
namespace {

using isdnsim::Bytes;
using isdnsim::CallSetup;
using isdnsim::Message;
using platform::WM_CAPI_DATA_RECEIVED;
using platform::WM_CAPI_INCOMING_CALL;
using platform::WM_CAPI_STATE_CHANGED;

bool isMsg(const isdnsim::Message& m, uint8_t cmd, uint8_t sub) {
    return m.command() == cmd && m.subcommand() == sub;
}

class HostileExchangeTest : public ExchangeTest {
  protected:
    void SetUp() override {
        ExchangeTest::SetUp();
        ASSERT_EQ(capi::Listen(1, 1, 0x18, 0x10012), 0u);
        ASSERT_TRUE(ex.waitFor(CAPI_LISTEN, CAPI_REQ));
    }
    static Bytes raw(uint8_t cmd, uint8_t sub, uint16_t number, uint32_t address,
                     const Bytes& params, int declaredLength = -1) {
        return RawMessage(cmd, sub, number, address, params, declaredLength);
    }
};

TEST_F(HostileExchangeTest, ConfirmationsForSlotsThatDidNotAskAreIgnored) {
    uint32_t plci = 0;
    int id = ring(CallSetup{}, &plci);
    ASSERT_EQ(id, 0);
    size_t from = win->count();
    for (uint16_t number : {uint16_t(0x1234), uint16_t(0), uint16_t(7)}) {
        _cmsg conf;
        capi_cmsg_header(&conf, 0, CAPI_CONNECT, CAPI_CONF, number, 0x0901);
        ex.sendToApplication(conf);
    }
    // A bad CONNECT_CONF neither takes over the incoming call in slot 0 nor a free slot.
    _cmsg marker;
    capi_cmsg_header(&marker, 0, CAPI_INFO, CAPI_IND, 5, plci);
    marker.InfoNumber = 0x1234;
    ex.sendToApplication(marker);
    ASSERT_TRUE(win->waitFor([](const Delivered& d) { return d.high() == 0xFFFF; }, from));
    int invalid = 0;
    for (auto& l : LogLines())
        invalid +=
            l == "Error: invalid message number in CONNECT_CONF in function Handle_Confirmation";
    EXPECT_EQ(invalid, 3);
    EXPECT_EQ(capi::GetPLCI(id), int32_t(plci));
    EXPECT_FALSE(capi::IsConnectionInUse(7));
    for (auto& d : win->of(WM_CAPI_STATE_CHANGED)) EXPECT_TRUE(d.connection == id);
}

// Confirmations that report a failure, and indications for nothing the layer knows: each
// gets its line or its answer, and nothing reaches the window it should not.
TEST_F(HostileExchangeTest, FailedConfirmationsAndUnknownLinks) {
    uint32_t plci = 0;
    const int id = ring(CallSetup{}, &plci);
    ASSERT_EQ(id, 0);
    ASSERT_TRUE(win->waitState(id, capi::D_ConnectPending));  // the last post of the call
    ASSERT_TRUE(ex.waitFor(CAPI_ALERT, CAPI_REQ));            // its last message
    struct Case {
        const char* what;
        uint8_t command, subcommand;
        uint32_t address;
        std::function<void(_cmsg&)> fill;
        const char* logged;                         // nullptr: no line
        std::optional<std::pair<uint8_t, uint8_t>> reply;  // what the layer sends back
        std::function<void(const Message&)> check;  // of the reply
    };
    const Case cases[] = {
        {"DISCONNECT_CONF failed, unknown PLCI", CAPI_DISCONNECT, CAPI_CONF, 0x7F01,
         [](_cmsg& m) { m.Info = 0x2002; },
         "Error: invalid PLCI in DISCONNECT_CONF in function Handle_Confirmation", {}, {}},
        {"CONNECT_B3_CONF failed, unknown PLCI", CAPI_CONNECT_B3, CAPI_CONF, 0x17F01,
         [](_cmsg& m) { m.Info = 0x2001; },
         "Error: invalid PLCI in CONNECT_B3_CONF in function Handle_Confirmation", {}, {}},
        {"DISCONNECT_B3_CONF failed, unknown NCCI", CAPI_DISCONNECT_B3, CAPI_CONF, 0x17F01,
         [](_cmsg& m) { m.Info = 0x2002; },
         "Error: invalid NCCI in DISCONNECT_B3_CONF in function Handle_Confirmation", {}, {}},
        {"FACILITY_IND of another selector", CAPI_FACILITY, CAPI_IND, plci,
         [](_cmsg& m) { m.FacilitySelector = 3; }, nullptr, std::pair{CAPI_FACILITY, CAPI_RESP},
         [](const Message& m) {
             EXPECT_EQ(m.cmsg.FacilitySelector, 3);
             EXPECT_TRUE(Message::content(m.cmsg.FacilityResponseParameters).empty());
         }},
        {"DISCONNECT_B3_IND for an unknown link", CAPI_DISCONNECT_B3, CAPI_IND, 0x17F01,
         [](_cmsg&) {}, nullptr, std::pair{CAPI_DISCONNECT_B3, CAPI_RESP},
         [](const Message& m) { EXPECT_EQ(m.address(), 0x17F01u); }},
        {"DATA_B3_IND without data", CAPI_DATA_B3, CAPI_IND, 0x10000 | plci,
         [](_cmsg& m) {
             m.DataLength = 0;
             m.DataHandle = 33;
         },
         nullptr, std::pair{CAPI_DATA_B3, CAPI_RESP},
         [](const Message& m) { EXPECT_EQ(m.cmsg.DataHandle, 33); }},
        // Last: the clearing it starts brings more answers and states.
        {"CONNECT_B3_CONF failed for the call: the call is cleared", CAPI_CONNECT_B3, CAPI_CONF,
         0x10000 | plci, [](_cmsg& m) { m.Info = 0x2001; }, nullptr,
         std::pair{CAPI_DISCONNECT, CAPI_REQ},
         [&](const Message& m) { EXPECT_EQ(m.address(), plci); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t mark = ex.messageCount();
        const size_t posted = win->count();
        _cmsg m;
        capi_cmsg_header(&m, 0, c.command, c.subcommand, 60, c.address);
        c.fill(m);
        ex.sendToApplication(m);
        // A marker answered after it: everything before it was handled.
        _cmsg marker;
        capi_cmsg_header(&marker, 0, CAPI_INFO, CAPI_IND, 61, 0x7E01);
        ex.sendToApplication(marker);
        ASSERT_TRUE(ex.waitFor(CAPI_INFO, CAPI_RESP, mark));
        if (c.logged) {
            EXPECT_TRUE(LogHas(c.logged));
        }
        size_t replies = 0;
        auto all = ex.messages();
        const bool clears = c.reply && c.reply->first == CAPI_DISCONNECT;
        for (size_t i = mark; i < all.size(); ++i) {
            if (isMsg(*all[i], CAPI_INFO, CAPI_RESP)) continue;
            if (clears && replies == 1) break;  // the clearing's own messages follow
            ++replies;
            ASSERT_TRUE(c.reply) << "unexpected reply";
            EXPECT_EQ(all[i]->command(), c.reply->first);
            EXPECT_EQ(all[i]->subcommand(), c.reply->second);
            c.check(*all[i]);
        }
        EXPECT_EQ(replies, c.reply ? 1u : 0u);
        if (!clears) {
            EXPECT_EQ(win->count(), posted) << "nothing for the window";
        }
    }
    capi::SetUserUserDataStruct(-1, nullptr);
    EXPECT_TRUE(LogHas("INVAL CONNECTION ID in SetUserUserDataStruct"));
}

TEST_F(HostileExchangeTest, MalformedMessagesAreLoggedAndDropped) {
    // CONNECT_IND whose called number claims 200 bytes in a 15-byte message.
    ex.sendRawToApplication(raw(CAPI_CONNECT, CAPI_IND, 1, 0x0101, {0x01, 0x00, 200}));
    EXPECT_TRUE(WaitLog("Error: malformed CONNECT_IND dropped in function Handle_CAPI_Msg"));
    // Shorter than a header with an address.
    ex.sendRawToApplication(raw(CAPI_INFO, CAPI_IND, 2, 0x0101, {}, 9));
    EXPECT_TRUE(WaitLog("Error: CAPI message of 9 bytes dropped in function Handle_CAPI_Msg"));
    // Longer than the frame that carried it: read only within the driver's buffer.
    ex.sendRawToApplication(raw(CAPI_INFO, CAPI_IND, 4, 0x0101, {0x18, 0x00, 0x00}, 2000));
    // An unknown indication.
    _cmsg reset;
    capi_cmsg_header(&reset, 0, CAPI_RESET_B3, CAPI_IND, 3, 0x10101);
    ex.sendToApplication(reset);
    EXPECT_TRUE(WaitLog("Error: Indication not handled in function Handle_Indication"));
    EXPECT_TRUE(win->of(WM_CAPI_INCOMING_CALL).empty());
    // The layer still works afterwards.
    ring(CallSetup{});
    EXPECT_EQ(win->of(WM_CAPI_INCOMING_CALL).size(), 1u);
}

TEST_F(HostileExchangeTest, IndicationsForUnknownCallsAreAnsweredAndNotPosted) {
    size_t mark = ex.messageCount();
    _cmsg info;
    capi_cmsg_header(&info, 0, CAPI_INFO, CAPI_IND, 11, 0x0701);
    info.InfoNumber = 0x0018;
    ex.sendToApplication(info);
    _cmsg disc;
    capi_cmsg_header(&disc, 0, CAPI_DISCONNECT, CAPI_IND, 12, 0x0701);
    disc.Reason = 0x3490;
    ex.sendToApplication(disc);
    _cmsg active;
    capi_cmsg_header(&active, 0, CAPI_CONNECT_ACTIVE, CAPI_IND, 13, 0x0701);
    ex.sendToApplication(active);
    ASSERT_TRUE(ex.waitFor(CAPI_INFO, CAPI_RESP, mark));
    ASSERT_TRUE(ex.waitFor(CAPI_DISCONNECT, CAPI_RESP, mark));
    ASSERT_TRUE(ex.waitFor(CAPI_CONNECT_ACTIVE, CAPI_RESP, mark));
    EXPECT_TRUE(WaitLog("Invalid ConnectionID in ChangeState"));
    for (auto& d : win->all()) EXPECT_NE(d.id, WM_CAPI_STATE_CHANGED);
}

TEST_F(HostileExchangeTest, DataBlocksForUnknownLinksOrOverLongAreStillAcknowledged) {
    size_t mark = ex.messageCount();
    _cmsg data;
    capi_cmsg_header(&data, 0, CAPI_DATA_B3, CAPI_IND, 21, 0x30701);
    data.DataLength = 4;
    data.DataHandle = 77;
    ex.sendToApplication(data, {1, 2, 3, 4});
    auto resp = ex.waitFor(CAPI_DATA_B3, CAPI_RESP, mark);
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->cmsg.DataHandle, 77);
    auto handed = win->of(WM_CAPI_DATA_RECEIVED);
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(handed[0].connection, -1);

    // A block longer than the registered block length never reaches the window.
    size_t mark2 = ex.messageCount();
    _cmsg big;
    capi_cmsg_header(&big, 0, CAPI_DATA_B3, CAPI_IND, 22, 0x30701);
    big.DataLength = 3000;
    big.DataHandle = 78;
    ex.sendToApplication(big, Bytes(100, 0x55));
    auto resp2 = ex.waitFor(CAPI_DATA_B3, CAPI_RESP, mark2);
    ASSERT_TRUE(resp2);
    EXPECT_EQ(resp2->cmsg.DataHandle, 78);
    EXPECT_EQ(win->of(WM_CAPI_DATA_RECEIVED).size(), 1u);
    EXPECT_TRUE(LogHas("Error: data block of 3000 bytes dropped in function Handle_Indication"));
}

TEST_F(HostileExchangeTest, WindowMayKeepABlockUnanswered) {
    uint32_t plci = 0;
    int id = ringAndConnect("456", &plci);
    ASSERT_GE(id, 0);
    std::mutex m;
    std::vector<uint16_t> kept;
    win->onSend = [&](Delivered& d) -> platform::LResult {
        if (auto* info = d.as<capi::ReceivedDataInfo>()) {
            *info->Respond = 0;
            std::lock_guard lock(m);
            kept.push_back(info->DataHandle);
        }
        return 1;
    };
    size_t mark = ex.messageCount();
    ex.sendData(plci, Bytes(320, 1));
    ASSERT_TRUE(win->waitFor([](const Delivered& d) { return d.id == WM_CAPI_DATA_RECEIVED; }));
    // The two blocks stay unanswered; a later message shows the worker went on.
    ex.sendInfo(plci, 0x0042);
    ASSERT_TRUE(ex.waitFor(CAPI_INFO, CAPI_RESP, mark));
    EXPECT_TRUE(ex.find(CAPI_DATA_B3, CAPI_RESP).empty());
    EXPECT_EQ(ex.pendingData(plci), 2u);
    // DataB3Resp answers one later, with the handle the window was given.
    std::lock_guard lock(m);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(capi::DataB3Resp(id, kept[0]), 0u);
    EXPECT_TRUE(ex.waitFor(CAPI_DATA_B3, CAPI_RESP, mark));
    // A second answer would abort inside libcapi20; it is refused.
    EXPECT_EQ(capi::DataB3Resp(id, kept[0]), 0x2007u);
}

TEST_F(HostileExchangeTest, SlotsTakenOnBothThreadsNeverCollide) {
    ex.configure([](isdnsim::Options& o) { o.answerOutgoing = false; });
    std::vector<int> outgoing;
    std::thread window([&] {
        for (int i = 0; i < 5; ++i) {
            int id = -1;
            EXPECT_EQ(capi::Connect(&id, "123", nullptr, 1, 1, 1, 0, nullptr, nullptr, nullptr,
                                    nullptr, nullptr),
                      0u);
            outgoing.push_back(id);
        }
    });
    for (int i = 0; i < 5; ++i) {
        CallSetup s;
        s.called = "45" + std::to_string(i);
        ex.ring(s);
    }
    window.join();
    ASSERT_TRUE(ex.waitUntil([&] {
        int pending = 0;
        for (int id = 0; id < capi::kConnectionCount; ++id)
            pending += capi::GetConnectionState(id) == capi::D_ConnectPending;
        return pending == 10;
    }));
    std::set<int> ids(outgoing.begin(), outgoing.end());
    for (auto& d : win->of(WM_CAPI_INCOMING_CALL)) ids.insert(d.connection);
    EXPECT_EQ(ids.size(), 10u);
    std::set<int32_t> plcis;
    for (int id = 0; id < capi::kConnectionCount; ++id) plcis.insert(capi::GetPLCI(id));
    EXPECT_EQ(plcis.size(), 10u);
    ex.configure([](isdnsim::Options& o) { o.answerOutgoing = true; });
}

// The worker leaves by itself when the exchange goes away, and puts then fail cleanly.
TEST(LostExchange, WorkerEndsAndRequestsFail) {
    capi::ResetConnectionsForTesting();
    capi::SetCapiLogPath(TestDir() + "/lost.txt");
    isdnsim::Exchange lost;
    capi::SetRemoteExchange("127.0.0.1", lost.port());
    auto target = std::make_shared<RecordingTarget>();
    ASSERT_EQ(capi::LoadCapiDll(), 1);
    ASSERT_EQ(capi::RegisterCAPI(target, 2048), 1);
    ASSERT_TRUE(capi::StartCapiWorker());
    ASSERT_EQ(capi::Listen(1, 1, 1, 0x10012), 0u);
    ASSERT_TRUE(lost.waitFor(CAPI_LISTEN, CAPI_REQ));
    lost.dropLink();
    EXPECT_TRUE(WaitLog("Error: connection to the ISDN driver lost"));
    EXPECT_TRUE(lost.waitUntil([] { return !capi::CapiWorkerRunning(); }));
    // SIGPIPE is ignored: the put reports the failure instead of ending the process.
    unsigned rc = 0;
    for (int i = 0; i < 3 && rc == 0; ++i) rc = capi::Listen(1, 1, 1, 0x10012);
    EXPECT_NE(rc, 0u);
    capi::StopCapiWorker();
    capi::ReleaseCAPI();
    capi::SetRemoteExchange("127.0.0.1", TheExchange().port());
}

// Frames libcapi20 must not read, each arriving cut in two and completed after a pause:
// logged and taken off the stream (a data block answered all the same), or, where the
// stream cannot be followed, the application registers again. Either way later calls
// still arrive, and calls the old connection held are cleared.
TEST(UnreadableFrames, AreDroppedAndLaterCallsArrive) {
    auto frameOf = [](const Bytes& payload) {
        // Sized first: gcc 12 warns falsely on an insert behind a two-byte list.
        Bytes f(payload.size() + 2);
        f[0] = uint8_t((payload.size() + 2) >> 8);
        f[1] = uint8_t(payload.size() + 2);
        std::copy(payload.begin(), payload.end(), f.begin() + 2);
        return f;
    };
    Bytes oversized = frameOf(Bytes(6000, 0x41));
    struct Case {
        const char* what;
        Bytes bytes;
        std::vector<std::string> logged;
        bool registersAgain;
        std::optional<uint16_t> answeredHandle;  // the DATA_B3_RESP it gets
    };
    const Case cases[] = {
        {"a data block that libcapi20 would move past its buffer",
         frameOf(RawMessage(CAPI_DATA_B3, CAPI_IND, 3, 0x10101,
                            {0, 0, 0, 0, 0xFF, 0xFF, 1, 0, 0, 0})),
         {"Error: data block of 65535 bytes dropped in function Handle_Indication"}, false, 1},
        {"a frame shorter than a message header", frameOf({0x00}),
         {"Error: CAPI message of 1 bytes dropped in function Handle_CAPI_Msg"}, false, {}},
        {"a DATA_B3_IND cut before its DataLength",
         [&] {
             Bytes cut = RawMessage(CAPI_DATA_B3, CAPI_IND, 3, 0x10101, {0, 0, 0, 0, 0xFF, 0xFF});
             cut.resize(16);
             return frameOf(cut);
         }(),
         {"Error: CAPI message of 16 bytes dropped in function Handle_CAPI_Msg"}, false, {}},
        {"a frame longer than any frame", oversized,
         {"Error: CAPI message of 6000 bytes dropped in function Handle_CAPI_Msg"}, false, {}},
        {"a frame shorter than its own length word", {0x00, 0x01, 0x41},
         {"Error: unreadable frame from the ISDN driver", "Registered again with the ISDN driver"},
         true, {}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        capi::ResetConnectionsForTesting();
        capi::SetCapiLogPath(TestDir() + "/unreadable" + std::to_string(n++) + ".txt");
        isdnsim::Exchange ex;
        capi::SetRemoteExchange("127.0.0.1", ex.port());
        auto target = std::make_shared<RecordingTarget>();
        ASSERT_EQ(capi::LoadCapiDll(), 1);
        ASSERT_EQ(capi::RegisterCAPI(target, 2048), 1);
        ASSERT_TRUE(capi::StartCapiWorker());
        ASSERT_EQ(capi::Listen(1, 1, 1, 0x10012), 0u);
        ASSERT_TRUE(ex.waitFor(CAPI_LISTEN, CAPI_REQ));
        ASSERT_NE(ex.ring(CallSetup{}), 0u);
        ASSERT_TRUE(target->waitFor([](const Delivered& d) { return d.id == WM_CAPI_INCOMING_CALL; }));
        // Its ALERT_CONF is out: nothing else comes between the two halves.
        ASSERT_TRUE(ex.waitFor(CAPI_ALERT, CAPI_REQ));
        const size_t mark = ex.messageCount();
        const size_t half = c.bytes.size() / 2;
        ex.sendBytesToApplication(Bytes(c.bytes.begin(), c.bytes.begin() + long(half)));
        std::this_thread::sleep_for(150ms);
        ex.sendBytesToApplication(Bytes(c.bytes.begin() + long(half), c.bytes.end()));
        for (const std::string& line : c.logged)
            EXPECT_TRUE(WaitLog(line)) << line << "\n" << ::testing::PrintToString(LogLines());
        if (c.answeredHandle) {
            auto resp = ex.waitFor(CAPI_DATA_B3, CAPI_RESP, mark);
            ASSERT_TRUE(resp);
            EXPECT_EQ(resp->cmsg.DataHandle, *c.answeredHandle);
        }
        if (c.registersAgain) {
            EXPECT_TRUE(ex.waitUntil([&] { return ex.registrations() == 2; }));
            // The call of the old connection is gone with it.
            EXPECT_TRUE(target->waitState(0, capi::Disconnected));
            EXPECT_FALSE(capi::IsConnectionInUse(0));
        }
        EXPECT_TRUE(capi::CapiWorkerRunning());
        EXPECT_FALSE(LogHas("Error: connection to the ISDN driver lost"));
        // A later call arrives (on a new registration, which listens again).
        ASSERT_TRUE(ex.waitFor(CAPI_LISTEN, CAPI_REQ, c.registersAgain ? mark : 0));
        const size_t calls = target->of(WM_CAPI_INCOMING_CALL).size();
        CallSetup later;
        later.called = "789";
        EXPECT_NE(ex.ring(later), 0u);
        EXPECT_TRUE(target->waitFor(
            [](const Delivered& d) {
                auto* call = d.as<capi::IncomingCallInfo>();
                return call && call->CalledNumber == "789";
            },
            0));
        EXPECT_EQ(target->of(WM_CAPI_INCOMING_CALL).size(), calls + 1);
        capi::StopCapiWorker();
        capi::ReleaseCAPI();
    }
    capi::SetRemoteExchange("127.0.0.1", TheExchange().port());
}

TEST_F(ExchangeTest, WorkerReportsOtherWaitErrorsAndGoesOn) {
    ASSERT_EQ(capi::Listen(1, 1, 1, 0x10012), 0u);
    ASSERT_TRUE(ex.waitFor(CAPI_LISTEN, CAPI_REQ));
    capi::FreeCapiDll();  // every wait now reports 0x1109
    EXPECT_TRUE(WaitLog("CAPI error 0x1109 (CAPI not installed)"));
    EXPECT_TRUE(capi::CapiWorkerRunning());
    capi::LoadCapiDll();
    ring(CallSetup{});  // dispatched again after the back-off
    EXPECT_EQ(win->of(WM_CAPI_INCOMING_CALL).size(), 1u);
}

TEST_F(ExchangeTest, StopEndsAnIdleWorkerPromptly) {
    EXPECT_TRUE(capi::CapiWorkerRunning());
    EXPECT_FALSE(capi::StartCapiWorker());  // only one worker
    bool joined = false;
    capi::StopCapiWorker([&](std::thread& t) {
        t.join();
        joined = true;
    });
    EXPECT_TRUE(joined);
    EXPECT_FALSE(capi::CapiWorkerRunning());
    ASSERT_TRUE(capi::StartCapiWorker());  // TearDown stops it again
}

}  // namespace
}  // namespace capitest
