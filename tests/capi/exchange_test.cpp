// The layer against the simulated exchange through the real libcapi20 remote driver.
#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include "tests/capi/support.h"

namespace capitest {
namespace {

using isdnsim::Bytes;
using isdnsim::CallSetup;
using isdnsim::Message;
using platform::WM_CAPI_DATA_SENT;
using platform::WM_CAPI_INCOMING_CALL;
using platform::WM_CAPI_STATE_CHANGED;

bool isMsg(const Message& m, uint8_t cmd, uint8_t sub) {
    return m.command() == cmd && m.subcommand() == sub;
}

TEST_F(ExchangeTest, ListenSendsTheConfiguredMasksPerController) {
    EXPECT_EQ(capi::Listen(1, 2, 0x18, 0x10012), 0u);
    auto first = ex.waitFor(CAPI_LISTEN, CAPI_REQ);
    ASSERT_TRUE(first);
    auto second = ex.waitFor(
        [](const Message& m) { return isMsg(m, CAPI_LISTEN, CAPI_REQ) && m.address() == 2; });
    ASSERT_TRUE(second);
    for (auto& m : {first, second}) {
        EXPECT_EQ(m->cmsg.InfoMask, 0x18u);
        EXPECT_EQ(m->cmsg.CIPmask, 0x10012u);
        EXPECT_EQ(m->cmsg.CIPmask2, 0u);
        EXPECT_EQ(m->number(), 0);
    }
    EXPECT_EQ(first->address(), 1u);
    EXPECT_EQ(capi::Listen(2, 1, 1, 1), 0x1009u);

    // The exchange refuses a controller it does not have.
    EXPECT_EQ(capi::Listen(3, 3, 1, 0x10012), 0u);
    EXPECT_TRUE(WaitLog(
        "Error: CAPI Listen not activated. Could be caused by incorrect Info Mask or CIP value."));
    EXPECT_TRUE(WaitLog("Listen error: Illegal Controller / PLCI / NCCI"));
}

class CallTest : public ExchangeTest {
  protected:
    void SetUp() override {
        ExchangeTest::SetUp();
        ASSERT_EQ(capi::Listen(1, 1, 0x18, 0x10012), 0u);
        ASSERT_TRUE(ex.waitFor(CAPI_LISTEN, CAPI_REQ));
        ASSERT_TRUE(ex.waitUntil([] { return true; }));
    }
    // Waits for the exchange to record the application's message for this call.
    isdnsim::MessagePtr sent(uint8_t cmd, uint8_t sub, uint32_t plci, size_t from = 0) {
        return ex.waitFor(
            [&](const Message& m) { return isMsg(m, cmd, sub) && (m.address() & 0xFFFF) == plci; },
            from);
    }
};

TEST_F(CallTest, IncomingCallIsAlertedAndPostedWithItsDetails) {
    CallSetup setup;
    setup.calling = "0301234567";
    setup.callingPresentation = 0xA0;  // restricted
    setup.called = "456";
    setup.cip = 16;
    setup.userUserData = {'h', 'i'};
    uint32_t plci = 0;
    size_t from = win->count();
    int id = ring(setup, &plci);
    ASSERT_EQ(id, 0);

    auto alert = sent(CAPI_ALERT, CAPI_REQ, plci);
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->address(), plci);
    EXPECT_EQ(alert->number(), 0);

    ASSERT_TRUE(win->waitState(id, capi::D_ConnectPending, from));
    auto all = win->all();
    auto call = std::find_if(all.begin() + long(from), all.end(),
                             [](auto& d) { return d.id == WM_CAPI_INCOMING_CALL; });
    ASSERT_NE(call, all.end());
    auto* info = call->as<capi::IncomingCallInfo>();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(call->connection, id);
    EXPECT_EQ(info->CallingNumber, "0301234567");
    EXPECT_EQ(info->CalledNumber, "456");
    EXPECT_EQ(info->CIPValue, 16);
    ASSERT_TRUE(info->UserUserData);
    EXPECT_EQ(*info->UserUserData, (std::vector<uint8_t>{2, 'h', 'i'}));
    EXPECT_EQ(info->PresentationRestricted, 0x20);
    // The state change follows the incoming call, never precedes it.
    auto before = std::find_if(all.begin() + long(from), call,
                               [](auto& d) { return d.id == WM_CAPI_STATE_CHANGED; });
    EXPECT_EQ(before, call);
    auto after =
        std::find_if(call, all.end(), [](auto& d) { return d.id == WM_CAPI_STATE_CHANGED; });
    ASSERT_NE(after, all.end());
    EXPECT_EQ(after->low(), unsigned(capi::D_ConnectPending));
    EXPECT_EQ(after->high(), 0u);
    EXPECT_EQ(capi::GetConnectionState(id), capi::D_ConnectPending);
    EXPECT_EQ(capi::GetPLCI(id), int32_t(plci));
    EXPECT_EQ(capi::GetController(id), 1);
    EXPECT_EQ(capi::GetCIPValue(id), 16);

    // Without a calling number: empty digits and no restriction; presentation allowed: 0.
    CallSetup anonymous;
    anonymous.calling.reset();
    anonymous.called = "457";
    int id2 = ring(anonymous);
    CallSetup allowed;
    allowed.called = "458";
    int id3 = ring(allowed);
    auto calls = win->of(WM_CAPI_INCOMING_CALL);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].connection, id2);
    EXPECT_EQ(calls[1].as<capi::IncomingCallInfo>()->CallingNumber, "");
    EXPECT_EQ(calls[1].as<capi::IncomingCallInfo>()->PresentationRestricted, 0);
    EXPECT_EQ(*calls[1].as<capi::IncomingCallInfo>()->UserUserData, std::vector<uint8_t>{0});
    EXPECT_EQ(calls[2].connection, id3);
    EXPECT_EQ(calls[2].as<capi::IncomingCallInfo>()->PresentationRestricted, 0);
}

TEST_F(CallTest, ConfiguredNumberRuleRefusesOtherNumbersButPostsThemAll) {
    capi::SetOptionsReader([] { return std::optional<uint32_t>(0x100000); });
    capi::TheConfiguredNumberList().set(";123;0;456;1;");
    CallSetup to456;
    to456.called = "456";
    uint32_t p456 = 0, p4567 = 0;
    int id456 = ring(to456, &p456);
    CallSetup to4567;
    to4567.called = "4567";
    size_t from = win->count();
    int id4567 = ring(to4567, &p4567);

    EXPECT_TRUE(sent(CAPI_ALERT, CAPI_REQ, p456));
    auto refusal = sent(CAPI_CONNECT, CAPI_RESP, p4567);
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->cmsg.Reject, 2);
    EXPECT_TRUE(win->waitState(id4567, capi::D_ConnectPending, from));
    EXPECT_EQ(win->of(WM_CAPI_INCOMING_CALL).size(), 2u);
    // The exchange's DISCONNECT_IND ends the refused call and frees its slot.
    EXPECT_TRUE(win->waitState(id4567, capi::Disconnected, from));
    EXPECT_TRUE(ex.waitUntil([&] { return !capi::IsConnectionInUse(id4567); }));
    EXPECT_EQ(capi::GetConnectionState(id456), capi::D_ConnectPending);
    EXPECT_EQ(ex.find(CAPI_ALERT, CAPI_REQ).size(), 1u);

    // Settings that cannot be read: every call is alerted.
    capi::SetOptionsReader([] { return std::optional<uint32_t>(); });
    uint32_t p = 0;
    CallSetup other;
    other.called = "999";
    ring(other, &p);
    EXPECT_TRUE(sent(CAPI_ALERT, CAPI_REQ, p));
}

TEST_F(CallTest, EleventhCallIsRefusedWithoutASlot) {
    std::vector<int> ids;
    for (int i = 0; i < 10; ++i) {
        CallSetup s;
        s.called = "45" + std::to_string(i);
        ids.push_back(ring(s));
    }
    EXPECT_EQ(ids, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    CallSetup eleventh;
    eleventh.called = "999";
    uint32_t plci = ex.ring(eleventh);
    auto refusal = sent(CAPI_CONNECT, CAPI_RESP, plci);
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->cmsg.Reject, 2);
    EXPECT_TRUE(WaitLog("IND CONNECT Error: Could not allocate resources"));
    EXPECT_EQ(win->of(WM_CAPI_INCOMING_CALL).size(), 10u);
    for (int id : ids) EXPECT_TRUE(capi::IsConnectionInUse(id));
    EXPECT_EQ(ex.find(CAPI_ALERT, CAPI_REQ).size(), 10u);

    // And an outgoing call finds no slot either.
    int out = 5;
    EXPECT_EQ(
        capi::Connect(&out, "123", "456", 1, 1, 1, 0, nullptr, nullptr, nullptr, nullptr, nullptr),
        0x1108u);
    EXPECT_EQ(out, -1);
    EXPECT_TRUE(LogHas("Error: no available connection identifiers"));
    EXPECT_TRUE(ex.find(CAPI_CONNECT, CAPI_REQ).empty());
}

// A struct copy that cannot be made is logged with the setter's line and leaves the empty
// struct; a call that would go on without its numbers is refused, and the worker goes on.
TEST_F(CallTest, StructCopiesThatCannotBeMadeAreLoggedAndTheCallRefused) {
    const unsigned char number[] = {4, 0x00, 0x80, '1', '2'};
    struct Setter {
        const char* logged;
        std::function<bool(int)> set;
        std::function<capi::CapiStruct(int)> field;
    };
    const Setter setters[] = {
        {"CalledPartyNumberStruct = NULL in SetCalledPartyNumber",
         [](int id) { return capi::SetCalledPartyNumber(id, "123"); },
         capi::GetCalledPartyNumberStruct},
        {"CalledPartyNumberStruct = NULL in SetCalledPartyNumberStruct",
         [&](int id) { return capi::SetCalledPartyNumberStruct(id, number); },
         capi::GetCalledPartyNumberStruct},
        {"CallingPartyNumberStruct = NULL in SetCallingPartyNumber",
         [](int id) { return capi::SetCallingPartyNumber(id, "456"); },
         capi::GetCallingPartyNumberStruct},
        {"CallingPartyNumberStruct = NULL in SetCallingPartyNumberStruct",
         [&](int id) { return capi::SetCallingPartyNumberStruct(id, number); },
         capi::GetCallingPartyNumberStruct},
        {"UserUserDataStruct = NULL in SetUserUserDataStruct",
         [&](int id) { return capi::SetUserUserDataStruct(id, number); },
         [](int id) { return *capi::GetUserUserDataStruct(id); }},
    };
    const int slot = capi::AllocConnection();
    for (const Setter& c : setters) {
        SCOPED_TRACE(c.logged);
        ASSERT_TRUE(c.set(slot));
        EXPECT_NE(c.field(slot), capi::kEmptyStruct);
        capi::FailStructCopiesForTesting(1);
        EXPECT_FALSE(c.set(slot));
        EXPECT_TRUE(LogHas(c.logged));
        EXPECT_EQ(c.field(slot), capi::kEmptyStruct);
    }
    capi::FreeConnection(slot);

    // An incoming call: refused, never posted, its slot free again.
    capi::FailStructCopiesForTesting(1);
    uint32_t plci = ex.ring(CallSetup{});
    auto refusal = sent(CAPI_CONNECT, CAPI_RESP, plci);
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->cmsg.Reject, 2);
    EXPECT_TRUE(WaitLog("IND CONNECT Error: Could not allocate resources"));
    EXPECT_TRUE(LogHas("CallingPartyNumberStruct = NULL in SetCallingPartyNumberStruct"));
    EXPECT_TRUE(ex.find(CAPI_ALERT, CAPI_REQ).empty());
    EXPECT_TRUE(win->of(WM_CAPI_INCOMING_CALL).empty());
    EXPECT_TRUE(ex.waitUntil([] { return !capi::IsConnectionInUse(0); }));

    // An outgoing call: not placed.
    int out = 5;
    capi::FailStructCopiesForTesting(1);
    EXPECT_EQ(
        capi::Connect(&out, "123", "456", 1, 1, 1, 0, nullptr, nullptr, nullptr, nullptr, nullptr),
        0x1108u);
    EXPECT_EQ(out, -1);
    EXPECT_FALSE(capi::IsConnectionInUse(0));
    EXPECT_TRUE(ex.find(CAPI_CONNECT, CAPI_REQ).empty());

    // The next call goes through as ever.
    EXPECT_EQ(ring(CallSetup{}), 0);
}

// Disconnect reads the state and the address together: while the far end clears the B3
// link, no request goes to a link or call the connection no longer has.
TEST_F(CallTest, DisconnectDuringAFarEndClearingNeverAddressesNothing) {
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        uint32_t plci = 0;
        const int id = ringAndConnect("456", &plci);
        ASSERT_GE(id, 0);
        std::atomic<bool> stop{false};
        std::thread clearer([&] {
            ex.clearB3(plci, 0);
            stop = true;
        });
        while (!stop) {
            capi::Disconnect(id);
            std::this_thread::sleep_for(100us);  // the exchange answers each one
        }
        clearer.join();
        ex.hangUp(plci, 0x3490);
        ASSERT_TRUE(win->waitState(id, capi::Disconnected));
    }
    for (auto& m : ex.messages()) {
        if (isMsg(*m, CAPI_DISCONNECT_B3, CAPI_REQ)) {
            EXPECT_NE(m->address(), 0xFFFFFFFFu);
        }
        if (isMsg(*m, CAPI_DISCONNECT, CAPI_REQ)) {
            EXPECT_NE(m->address(), 0u);
        }
    }
    EXPECT_FALSE(LogHas("INVAL NCCI in GetConnectionByNCCI"));
}

TEST_F(CallTest, AcceptedCallCarriesDataBothWaysAndOneDisconnectClearsIt) {
    uint32_t plci = 0;
    size_t from = win->count();
    int id = ringAndConnect("456", &plci);
    ASSERT_EQ(id, 0);
    auto resp = sent(CAPI_CONNECT, CAPI_RESP, plci);
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->cmsg.Reject, 0);
    EXPECT_EQ(resp->cmsg.B1protocol, 1);
    EXPECT_EQ(resp->cmsg.B2protocol, 1);
    EXPECT_EQ(resp->cmsg.B3protocol, 0);
    for (int state : {capi::D_Connected, capi::B_ConnectPending, capi::Connected})
        EXPECT_TRUE(win->waitState(id, state, from)) << state;
    uint32_t ncci = ex.ncciOf(plci);
    EXPECT_EQ(capi::GetNCCI(id), int32_t(ncci));
    EXPECT_EQ(capi::GetOurInitiative(id), 0);

    // Line audio from the exchange: more blocks than the window, each handed to the
    // window synchronously and answered with the exchange's own handle.
    Bytes audio(160 * 40);
    for (size_t i = 0; i < audio.size(); ++i) audio[i] = uint8_t(i * 7);
    ASSERT_TRUE(ex.sendData(plci, audio));
    ASSERT_TRUE(ex.waitUntil([&] { return ex.pendingData(plci) == 0; }));
    {
        std::lock_guard lock(dataMutex);
        EXPECT_EQ(dataReceived, audio);
    }
    auto resps = ex.find(CAPI_DATA_B3, CAPI_RESP);
    ASSERT_EQ(resps.size(), 40u);
    for (size_t i = 0; i < resps.size(); ++i) {
        EXPECT_EQ(resps[i]->cmsg.DataHandle, i) << "block " << i;
        EXPECT_EQ(resps[i]->address(), ncci);
    }

    // The greeting from the application: blocks up to the registered length.
    Bytes greeting(2048 * 3 + 100);
    for (size_t i = 0; i < greeting.size(); ++i) greeting[i] = uint8_t(i ^ 0x5A);
    uint16_t handle = 100;
    for (size_t off = 0; off < greeting.size(); off += 2048, ++handle) {
        unsigned n = unsigned(std::min<size_t>(2048, greeting.size() - off));
        EXPECT_EQ(capi::SendData(id, greeting.data() + off, n, handle, 0), 0u);
    }
    auto lastSent = win->waitFor(
        [](const Delivered& d) { return d.id == WM_CAPI_DATA_SENT && d.high() == 103; });
    ASSERT_TRUE(lastSent);
    EXPECT_EQ(lastSent->connection, id);
    EXPECT_EQ(lastSent->low(), 0u);
    EXPECT_EQ(ex.receivedData(plci), greeting);
    EXPECT_EQ(capi::SendData(id, greeting.data(), 2049, 1, 0), 0x300Cu);
    EXPECT_EQ(capi::SendData(-1, greeting.data(), 10, 1, 0), 0x2001u);

    // One Disconnect: B3 first, then the call, without a further request.
    size_t mark = ex.messageCount();
    size_t winMark = win->count();
    EXPECT_EQ(capi::Disconnect(id), 0u);
    auto b3 = ex.waitFor(CAPI_DISCONNECT_B3, CAPI_REQ, mark);
    ASSERT_TRUE(b3);
    EXPECT_EQ(b3->address(), ncci);
    auto d = ex.waitFor(CAPI_DISCONNECT, CAPI_REQ, mark);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->address(), plci);
    for (int state : {capi::B_DisconnectPending, capi::D_Connected, capi::D_DisconnectPending,
                      capi::Disconnected})
        EXPECT_TRUE(win->waitState(id, state, winMark)) << state;
    EXPECT_TRUE(ex.waitUntil([&] { return !capi::IsConnectionInUse(id); }));
    EXPECT_EQ(capi::SendData(id, greeting.data(), 10, 1, 0), 0x2001u);
    // Nothing left to clear.
    size_t before = ex.messageCount();
    EXPECT_EQ(capi::Disconnect(id), 0u);
    EXPECT_EQ(ex.messageCount(), before);
}

TEST_F(CallTest, FacilityRequestsAndFaxAcceptanceCarryTheirStructs) {
    uint32_t plci = 0;
    int id = ring(CallSetup{}, &plci);
    Bytes b3 = capi::MakeFaxB3Config(0, 1, "4930123");
    ASSERT_EQ(capi::ConnectResp(id, 0, 4, 4, 4, b3.data()), 0u);
    auto resp = sent(CAPI_CONNECT, CAPI_RESP, plci);
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->cmsg.B1protocol, 4);
    EXPECT_EQ(resp->cmsg.B3protocol, 4);
    EXPECT_EQ(Message::content(resp->cmsg.B3configuration), Bytes(b3.begin() + 1, b3.end() - 1));
    ASSERT_TRUE(win->waitState(id, capi::Connected));
    uint32_t ncci = ex.ncciOf(plci);

    size_t mark = ex.messageCount();
    ASSERT_EQ(capi::StartDTMFListen(capi::ApplId(), id, 0, 0, 0), 0u);
    ASSERT_EQ(capi::StartDTMFListen(capi::ApplId(), id, 40, 50, 3), 0u);
    ASSERT_EQ(capi::StopDTMFListen(capi::ApplId(), id), 0u);
    ASSERT_EQ(capi::SendDTMF(capi::ApplId(), id, "12"), 0u);
    ASSERT_EQ(capi::SendInfoReq(capi::ApplId(), id), 0u);
    ASSERT_TRUE(ex.waitFor(CAPI_INFO, CAPI_REQ, mark));
    auto reqs = ex.find(CAPI_FACILITY, CAPI_REQ);
    ASSERT_EQ(reqs.size(), 4u);
    for (size_t i = 0; i < reqs.size(); ++i) {
        EXPECT_EQ(reqs[i]->number(), i) << "counted message numbers";
        EXPECT_EQ(reqs[i]->address(), ncci);
        EXPECT_EQ(reqs[i]->cmsg.FacilitySelector, 1);
    }
    EXPECT_EQ(Message::content(reqs[0]->cmsg.FacilityRequestParameter), (Bytes{1, 0}));
    EXPECT_EQ(Message::content(reqs[1]->cmsg.FacilityRequestParameter),
              (Bytes{1, 0, 40, 0, 50, 0, 0, 2, 3, 0}));
    EXPECT_EQ(Message::content(reqs[2]->cmsg.FacilityRequestParameter), (Bytes{2, 0}));
    EXPECT_EQ(Message::content(reqs[3]->cmsg.FacilityRequestParameter),
              (Bytes{3, 0, 50, 0, 50, 0, 2, '1', '2'}));
    auto info = ex.find(CAPI_INFO, CAPI_REQ);
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0]->number(), 4);
    EXPECT_EQ(info[0]->address(), 1u);
}

// The supplementary-service requests nothing in the program sends: selector 3, the function
// word and its parameters; a request whose parameters do not fit a struct is not sent.
TEST_F(CallTest, SupplementaryServiceRequestsCarryTheirFunctionAndParameters) {
    int id = ring(CallSetup{});
    const std::string tooLong(250, '1');
    struct Case {
        const char* what;
        std::function<void()> send;
        std::vector<Bytes> contents;  // of the FACILITY_REQs it sends, in order
        uint32_t address;
    };
    const Case cases[] = {
        {"QueryServices", [&] { capi::QueryServices(capi::ApplId(), id); }, {{0, 0, 0}}, 1},
        {"ListenSupplementaryServices",
         [] { capi::ListenSupplementaryServices(capi::ApplId(), 0x101); },
         {{1, 0, 4, 0x1F, 0, 0, 0}}, 0x101},
        {"InterrogateForwarding", [] { capi::InterrogateForwarding(capi::ApplId(), 0x101); },
         {{0x0B, 0, 9, 1, 0, 0, 0, 0, 0, 0, 0, 0}, {0x0C, 0, 4, 2, 0, 0, 0}}, 0x101},
        {"ActivateForwarding", [] { capi::ActivateForwarding(capi::ApplId(), 0x101, "12", "34"); },
         {{0x09, 0, 17, 3, 0, 0, 0, 0, 0, 0, 0, 3, 0, '1', '2', 3, 0, '3', '4', 0}}, 0x101},
        {"DeactivateForwarding", [] { capi::DeactivateForwarding(capi::ApplId(), 0x101, "12"); },
         {{0x0A, 0, 12, 4, 0, 0, 0, 0, 0, 0, 0, 3, 0, '1', '2'}}, 0x101},
        {"DeflectCall", [] { capi::DeflectCall(capi::ApplId(), 0x101, "34"); },
         {{0x0D, 0, 7, 1, 0, 3, 0, '3', '4', 0}}, 0x101},
        {"DeactivateForwarding, 250 digits",
         [&] { capi::DeactivateForwarding(capi::ApplId(), 0x101, tooLong.c_str()); }, {}, 0},
        {"DeflectCall, 250 digits",
         [&] { capi::DeflectCall(capi::ApplId(), 0x101, tooLong.c_str()); }, {}, 0},
        {"ActivateForwarding, two long numbers",
         [&] {
             const std::string half(125, '2');
             capi::ActivateForwarding(capi::ApplId(), 0x101, half.c_str(), half.c_str());
         },
         {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        size_t mark = ex.messageCount();
        c.send();
        // A marker request shows that everything before it has arrived.
        ASSERT_EQ(capi::SendInfoReq(capi::ApplId(), id), 0u);
        ASSERT_TRUE(ex.waitFor(CAPI_INFO, CAPI_REQ, mark));
        std::vector<Bytes> contents;
        auto all = ex.messages();
        for (size_t i = mark; i < all.size(); ++i) {
            if (!isMsg(*all[i], CAPI_FACILITY, CAPI_REQ)) continue;
            EXPECT_EQ(all[i]->cmsg.FacilitySelector, 3);
            EXPECT_EQ(all[i]->address(), c.address);
            contents.push_back(Message::content(all[i]->cmsg.FacilityRequestParameter));
        }
        EXPECT_EQ(contents, c.contents);
    }
}

TEST_F(CallTest, FarEndReasonsArePostedWithTheNetworkBitSet) {
    uint32_t p1 = 0, p2 = 0;
    CallSetup a;
    a.called = "456";
    int id1 = ring(a, &p1);
    CallSetup b;
    b.called = "457";
    int id2 = ring(b, &p2);
    size_t from = win->count();
    ex.hangUp(p1, 0x3410);
    ex.hangUp(p2, 0x3301);
    auto c1 = win->waitState(id1, capi::Disconnected, from);
    auto c2 = win->waitState(id2, capi::Disconnected, from);
    ASSERT_TRUE(c1 && c2);
    EXPECT_EQ(c1->high(), 0x3490u);
    EXPECT_EQ(c2->high(), 0x3301u);
    EXPECT_TRUE(sent(CAPI_DISCONNECT, CAPI_RESP, p1));
    EXPECT_TRUE(ex.waitUntil([&] { return !capi::IsConnectionInUse(id1); }));
    EXPECT_TRUE(ex.waitUntil([&] { return !capi::IsConnectionInUse(id2); }));
}

TEST_F(CallTest, InfoIndicationPostsTheInfoNumberAndKeepsTheState) {
    uint32_t plci = 0;
    CallSetup s;
    int id = ring(s, &plci);
    ASSERT_TRUE(win->waitState(id, capi::D_ConnectPending));
    size_t from = win->count();
    ex.sendInfo(plci, 0x8045, {0x02, 0x80, 0x90});
    auto info = win->waitFor(
        [&](const Delivered& d) { return d.id == WM_CAPI_STATE_CHANGED && d.high() == 0xFFFF; },
        from);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->connection, id);
    EXPECT_EQ(info->low(), 0x8045u);
    EXPECT_TRUE(sent(CAPI_INFO, CAPI_RESP, plci));
    EXPECT_EQ(capi::GetConnectionState(id), capi::D_ConnectPending);
}

TEST_F(CallTest, DtmfReachesTheConnectionByTheLowSixteenBits) {
    uint32_t p0 = 0, plci = 0;
    ringAndConnect("455", &p0);
    int id = ringAndConnect("456", &plci);
    ASSERT_EQ(id, 1);
    size_t from = win->count();
    size_t mark = ex.messageCount();
    ex.sendDtmf(plci, "X");
    auto dtmf =
        win->waitFor([](const Delivered& d) { return d.id == platform::WM_CAPI_DTMF; }, from);
    ASSERT_TRUE(dtmf);
    EXPECT_EQ(dtmf->connection, id);
    EXPECT_EQ(dtmf->as<capi::DtmfInfo>()->Keys, "X");
    EXPECT_TRUE(WaitLog("Key: X"));
    auto resp = ex.waitFor(CAPI_FACILITY, CAPI_RESP, mark);
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->cmsg.FacilitySelector, 1);
    EXPECT_EQ(Message::content(resp->cmsg.FacilityResponseParameters), Bytes{'X'});
    EXPECT_EQ(resp->address(), ex.ncciOf(plci));

    // After the B3 link is gone, the call's PLCI still finds it.
    ex.clearB3(plci, 0);
    ASSERT_TRUE(win->waitState(id, capi::D_Connected, from));
    size_t from2 = win->count();
    ex.sendDtmf(plci, "12#");
    auto later =
        win->waitFor([](const Delivered& d) { return d.id == platform::WM_CAPI_DTMF; }, from2);
    ASSERT_TRUE(later);
    EXPECT_EQ(later->connection, id);
    EXPECT_EQ(later->as<capi::DtmfInfo>()->Keys, "12#");
}

TEST_F(CallTest, FaxSwitchAndNcpiAtTheEndOfTheB3Link) {
    uint32_t plci = 0;
    int id = ringAndConnect("456", &plci);
    EXPECT_EQ(capi::GetFaxFormat(id), -1);
    EXPECT_EQ(capi::GetFaxPages(id), 0);
    // A short NCPI is not a fax NCPI.
    ex.clearB3(plci, 0, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07});
    ASSERT_TRUE(win->waitState(id, capi::D_Connected));
    EXPECT_EQ(capi::GetFaxFormat(id), -1);
    EXPECT_EQ(capi::GetFaxPages(id), 0);

    std::atomic<int> switchedId{-2};
    capi::SetFaxSwitchHandler([&](int sid, uint16_t) {
        // As the line handler does: new B protocols for fax.
        _cmsg m;
        capi_cmsg_header(&m, capi::ApplId(), CAPI_SELECT_B_PROTOCOL, CAPI_REQ, 0,
                         uint32_t(capi::GetPLCI(sid)));
        capi::PutCapiMessage(m);
        switchedId = sid;
    });
    // Bring a B3 link up again from the exchange side and mark the call for fax.
    capi::SetSwitchToFax(id, 1);
    size_t mark = ex.messageCount();
    _cmsg b3;
    capi_cmsg_header(&b3, 0, CAPI_CONNECT_B3, CAPI_IND, 900, plci | 0x20000);
    ex.sendToApplication(b3);
    ASSERT_TRUE(ex.waitFor(CAPI_CONNECT_B3, CAPI_RESP, mark));
    size_t from = win->count();
    // NCPI of T.30: rate, options, format 0 (SFF), 3 pages.
    Bytes ncpi{0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00};
    _cmsg end;
    Bytes ncpiStruct{uint8_t(ncpi.size())};
    ncpiStruct.insert(ncpiStruct.end(), ncpi.begin(), ncpi.end());
    capi_cmsg_header(&end, 0, CAPI_DISCONNECT_B3, CAPI_IND, 901, plci | 0x20000);
    end.NCPI = ncpiStruct.data();
    ex.sendToApplication(end);
    ASSERT_TRUE(win->waitState(id, capi::D_Connected, from));
    EXPECT_TRUE(ex.waitUntil([&] { return switchedId == id; }));
    EXPECT_EQ(capi::GetFaxFormat(id), 0);
    EXPECT_EQ(capi::GetFaxPages(id), 3);
    EXPECT_TRUE(ex.waitFor(CAPI_SELECT_B_PROTOCOL, CAPI_REQ, mark));
    EXPECT_TRUE(WaitLog("Error: Confirmation not handled in function Handle_Confirmation"));
    // The fax result travels with the cleared call, after the slot is gone.
    size_t f2 = win->count();
    ex.hangUp(plci, 0x3490);
    auto cleared = win->waitState(id, capi::Disconnected, f2);
    ASSERT_TRUE(cleared);
    auto* result = cleared->as<capi::ClearedCallInfo>();
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->FaxPages, 3);
    EXPECT_EQ(result->FaxFormat, 0);
}

TEST_F(CallTest, OutgoingCallCarriesItsUserUserDataAndComesUp) {
    Bytes uud{5, 'H', 'e', 'l', 'l', 'o'};
    int id = -1;
    size_t from = win->count();
    ASSERT_EQ(capi::Connect(&id, "01701234", "456", 0x2, 1, 1, 0, nullptr, nullptr, nullptr,
                            nullptr, uud.data()),
              0u);
    EXPECT_EQ(id, 0);
    auto req = ex.waitFor(CAPI_CONNECT, CAPI_REQ);
    ASSERT_TRUE(req);
    EXPECT_EQ(req->number(), 0);
    EXPECT_EQ(req->address(), 1u);
    EXPECT_EQ(req->cmsg.CIPValue, 2);
    EXPECT_EQ(Message::content(req->cmsg.CalledPartyNumber),
              (Bytes{0x80, '0', '1', '7', '0', '1', '2', '3', '4'}));
    EXPECT_EQ(Message::content(req->cmsg.CallingPartyNumber), (Bytes{0x00, 0x80, '4', '5', '6'}));
    EXPECT_EQ(Message::content(req->cmsg.Useruserdata), (Bytes{'H', 'e', 'l', 'l', 'o'}));
    for (int state :
         {capi::D_ConnectPending, capi::D_Connected, capi::B_ConnectPending, capi::Connected})
        EXPECT_TRUE(win->waitState(id, state, from)) << state;
    uint32_t plci = ex.lastOutgoingCall();
    EXPECT_EQ(capi::GetPLCI(id), int32_t(plci));
    EXPECT_TRUE(sent(CAPI_CONNECT_B3, CAPI_REQ, plci));
    EXPECT_EQ(capi::GetCalledPartyDigits(id), "01701234");
    EXPECT_EQ(capi::GetCallingPartyDigits(id), "456");
}

TEST_F(CallTest, FailedConnectConfirmationFreesTheSlot) {
    ex.configure([](isdnsim::Options& o) { o.connectConfInfo = 0x2003; });
    int id = -1;
    size_t from = win->count();
    ASSERT_EQ(
        capi::Connect(&id, "123", nullptr, 1, 1, 1, 0, nullptr, nullptr, nullptr, nullptr, nullptr),
        0u);
    ASSERT_EQ(id, 0);
    ASSERT_TRUE(win->waitState(id, capi::Disconnected, from));
    std::vector<unsigned> states;
    for (auto& d : win->of(WM_CAPI_STATE_CHANGED))
        if (d.connection == id) states.push_back(d.low());
    EXPECT_EQ(states, (std::vector<unsigned>{capi::D_ConnectPending, capi::Disconnected}));
    unsigned reason = 0;
    for (auto& d : win->of(WM_CAPI_STATE_CHANGED))
        if (d.connection == id && d.low() == capi::Disconnected) reason = d.high();
    EXPECT_EQ(reason, 0x2003u) << "the refusal is no normal clearing";
    EXPECT_TRUE(ex.waitUntil([&] { return !capi::IsConnectionInUse(id); }));
    // The slot is free for the next call.
    ex.configure([](isdnsim::Options& o) { o.connectConfInfo = 0; });
    int again = -1;
    ASSERT_EQ(capi::Connect(&again, "123", nullptr, 1, 1, 1, 0, nullptr, nullptr, nullptr, nullptr,
                            nullptr),
              0u);
    EXPECT_EQ(again, 0);
    ex.configure([](isdnsim::Options& o) { o.connectConfInfo = 0; });
}

}  // namespace
}  // namespace capitest
