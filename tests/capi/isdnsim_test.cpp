// The scenario format of the isdnsim program, its playback against the layer, and the far
// end's line pace, fax tones and fax documents.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "tests/capi/support.h"
#include "tools/isdnsim/scenario.h"

namespace capitest {
namespace {

using isdnsim::Bytes;

TEST(Scenario, ParsesSetUpAndSteps) {
    std::istringstream in(R"(# two controllers, the second without fax
port 5400
controller bchannels 2
controller bchannels 1 fax no
manufacturer "Sim Exchange"
wait listen timeout 5
ring from 0301234567 restricted to 456 cip 16 uud "hello there"
wait alert
play tone 0.5
dtmf 12#
fax-tone calling
fax page.sff pages 3 resolution normal station "+49 30 1" stay
save sent.alw
hangup reason 0x3490   # caller hangs up
)");
    auto sc = isdnsim::parseScenario(in);
    EXPECT_EQ(sc.options.port, 5400);
    ASSERT_EQ(sc.options.controllers.size(), 2u);
    EXPECT_EQ(sc.options.controllers[1].bChannels, 1);
    EXPECT_EQ(sc.options.controllers[1].b3Protocols & 0x10, 0u);
    EXPECT_NE(sc.options.controllers[0].b3Protocols & 0x10, 0u);
    EXPECT_EQ(sc.options.manufacturer, "Sim Exchange");
    ASSERT_EQ(sc.steps.size(), 9u);
    EXPECT_EQ(sc.steps[1].command, "ring");
    EXPECT_EQ(sc.steps[1].words.back(), "hello there");
    EXPECT_EQ(sc.steps[6].words,
              (std::vector<std::string>{"page.sff", "pages", "3", "resolution", "normal",
                                        "station", "+49 30 1", "stay"}));
    EXPECT_EQ(sc.steps[8].line, 14);
}

TEST(Scenario, ErrorsNameTheLine) {
    auto error = [](const std::string& text) {
        std::istringstream in(text);
        try {
            isdnsim::parseScenario(in);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(error("\n\nfly away\n"), "line 3: unknown command fly");
    EXPECT_EQ(error("port 40000\n"), "line 1: port above 32767");
    EXPECT_EQ(error("ring to 456 cip x\n"), "line 1: not a number: x");
    EXPECT_EQ(error("ring from 1 to 2 uud \"open\n"), "line 1: unclosed quote");
    EXPECT_EQ(error("wait forever\n"), "line 1: wait listen|alert|answer|connected|cleared");
    EXPECT_EQ(error("pause -1\n"), "line 1: not a duration: -1");
    EXPECT_EQ(error("ring from 1\n"), "line 1: ring ... to NUMBER");
    EXPECT_EQ(error("fax-tone\n"), "line 1: fax-tone calling|answer");
    EXPECT_EQ(error("fax-tone beep\n"), "line 1: fax-tone calling|answer");
    EXPECT_EQ(error("fax\n"), "line 1: fax FILE");
    EXPECT_EQ(error("fax a.sff pages 70000\n"), "line 1: pages above 65535");
    EXPECT_EQ(error("fax a.sff resolution high\n"), "line 1: resolution fine|normal");
    EXPECT_EQ(error("save\n"), "line 1: save FILE");
}

TEST(FaxNcpi, RateOptionsFormatPagesAndStation) {
    struct Row {
        uint16_t rate;
        bool high;
        uint16_t pages;
        std::string station;
        isdnsim::Bytes expected;
    } rows[] = {
        {9600, true, 2, "", {0x80, 0x25, 1, 0, 0, 0, 2, 0, 0}},
        {14400, false, 0x0102, "+49", {0x40, 0x38, 0, 0, 0, 0, 2, 1, 3, '+', '4', '9'}},
    };
    for (const Row& r : rows) {
        auto n = isdnsim::faxNcpi(r.rate, r.high, r.pages, r.station);
        EXPECT_EQ(n, r.expected) << r.rate;
        // The layer reads format at byte 5 and pages at byte 7 of the struct (length first).
        ASSERT_GE(n.size() + 1, 9u);
        EXPECT_EQ(n[4] | n[5] << 8, 0);
        EXPECT_EQ(n[6] | n[7] << 8, r.pages);
    }
}

TEST(Scenario, ToneIsLineAudioOfTheRightLength) {
    auto tone = isdnsim::toneALaw(0.5);
    EXPECT_EQ(tone.size(), 4000u);
    std::set<uint8_t> distinct(tone.begin(), tone.end());
    EXPECT_GT(distinct.size(), 10u);
}

TEST_F(ExchangeTest, ScenarioRingsTheLayerAndFollowsTheCall) {
    ASSERT_EQ(capi::Listen(1, 1, 1, 0x10012), 0u);
    std::istringstream in(R"(wait listen
ring from 0301234567 to 456 uud "hi"
wait alert timeout 10
dtmf 7
hangup reason 0x3490
wait cleared timeout 10
)");
    auto sc = isdnsim::parseScenario(in);
    std::ostringstream log;
    EXPECT_TRUE(isdnsim::playScenario(ex, sc, log)) << log.str();
    auto calls = win->of(platform::WM_CAPI_INCOMING_CALL);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].as<capi::IncomingCallInfo>()->CalledNumber, "456");
    EXPECT_TRUE(win->waitState(calls[0].connection, capi::Disconnected));
    EXPECT_NE(log.str().find("line 5: hangup reason 0x3490"), std::string::npos);

    // Nobody answers: the wait times out and says so.
    std::istringstream unanswered("ring to 457\nwait answer timeout 0.2\n");
    std::ostringstream log2;
    EXPECT_FALSE(isdnsim::playScenario(ex, isdnsim::parseScenario(unanswered), log2));
    EXPECT_NE(log2.str().find("line 2: timed out waiting for answer"), std::string::npos);
}

// The layer listens for voice and group 3 fax calls.
class FarEndTest : public ExchangeTest {
  protected:
    void SetUp() override {
        ExchangeTest::SetUp();
        ASSERT_EQ(capi::Listen(1, 1, 0x18, 0x30012), 0u);
        ASSERT_TRUE(ex.waitFor(CAPI_LISTEN, CAPI_REQ));
    }
};

// Line audio leaves the exchange no faster than 8000 bytes a second, and the application's
// blocks are confirmed no sooner than they would have been on the line.
TEST_F(FarEndTest, LineAudioKeepsTheRealPaceBothWays) {
    ex.configure([](isdnsim::Options& o) { o.linePace = true; });
    struct Restore {
        isdnsim::Exchange& ex;
        ~Restore() {
            ex.configure([](isdnsim::Options& o) { o.linePace = false; });
        }
    } restore{ex};
    uint32_t plci = 0;
    int id = ringAndConnect("456", &plci);
    ASSERT_GE(id, 0);
    const auto start = std::chrono::steady_clock::now();
    const Bytes audio = isdnsim::toneALaw(0.5);
    ASSERT_TRUE(ex.sendData(plci, audio, 160));
    ASSERT_TRUE(ex.waitUntil([&] { return ex.pendingData(plci) == 0; }));
    auto resps = ex.find(CAPI_DATA_B3, CAPI_RESP);
    ASSERT_EQ(resps.size(), audio.size() / 160);
    for (size_t k = 0; k < resps.size(); ++k)
        EXPECT_GE(resps[k]->received, start + std::chrono::milliseconds(20 * k)) << "block " << k;
    {
        std::lock_guard lock(dataMutex);
        EXPECT_EQ(dataReceived, audio);
    }

    const size_t from = win->count();
    const auto sending = std::chrono::steady_clock::now();
    Bytes block(1000, 0x55);  // 125 ms of line audio each
    for (uint16_t h = 1; h <= 4; ++h) ASSERT_EQ(capi::SendData(id, block.data(), 1000, h, 0), 0u);
    for (uint16_t h = 1; h <= 4; ++h) {
        auto sent = win->waitFor(
            [&](const Delivered& d) { return d.id == platform::WM_CAPI_DATA_SENT && d.high() == h; },
            from);
        ASSERT_TRUE(sent) << "handle " << h;
        EXPECT_EQ(sent->low(), 0u);
        EXPECT_GE(sent->at, sending + std::chrono::milliseconds(125 * h)) << "handle " << h;
    }
    EXPECT_EQ(ex.receivedData(plci).size(), 4000u);
    ex.hangUp(plci, 0x3490);
    EXPECT_TRUE(win->waitState(id, capi::Disconnected, from));
}

// A fax reaches the application on a T.30 link, on a call answered as a fax or after the
// switch a voice call makes on fax tones; its B3 clearing reports the pages.
TEST_F(FarEndTest, FaxArrivesOnAT30LinkAndItsClearingCountsThePages) {
    struct Row {
        const char* name;
        bool fromVoice;
        isdnsim::FaxTone tone;
        std::optional<uint16_t> pages;  // nullopt: from the document header
        uint16_t headerPages;
        bool hangUpAfter;
        size_t length;
    } rows[] = {
        {"answered as fax, pages from the header", false, isdnsim::FaxTone::Calling, {}, 2,
         true, 3000},
        {"answered as fax, pages given, far end stays", false, isdnsim::FaxTone::Calling, 5, 1,
         false, 700},
        {"voice call switched on the calling tone", true, isdnsim::FaxTone::Calling, {}, 3, true,
         1500},
        {"voice call switched on the answer tone", true, isdnsim::FaxTone::Answer, 1, 0, true,
         20},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        {
            std::lock_guard lock(dataMutex);
            dataReceived.clear();
        }
        Bytes sff(r.length);
        for (size_t i = 0; i < sff.size(); ++i) sff[i] = uint8_t(i * 13 + 1);
        sff[8] = uint8_t(r.headerPages);
        sff[9] = 0;
        const uint16_t pages = r.pages.value_or(r.headerPages);

        uint32_t plci = 0;
        int id = -1;
        const size_t from = win->count();
        std::atomic<int> switched{-1};
        isdnsim::FaxDocument fax;
        fax.sff = sff;
        fax.pages = r.pages;
        fax.hangUpAfter = r.hangUpAfter;
        fax.blockLength = 256;
        if (r.fromVoice) {
            id = ringAndConnect("456", &plci);
            ASSERT_GE(id, 0);
            ASSERT_TRUE(ex.sendFax(plci, fax));  // waits for the T.30 link
            ASSERT_TRUE(ex.sendFaxTone(plci, r.tone));
            auto dtmf = win->waitFor(
                [](const Delivered& d) { return d.id == platform::WM_CAPI_DTMF; }, from);
            ASSERT_TRUE(dtmf);
            EXPECT_EQ(dtmf->as<capi::DtmfInfo>()->Keys,
                      r.tone == isdnsim::FaxTone::Calling ? "X" : "Y");
            // As the line handler does: mark the call, clear B3, select fax at the switch.
            capi::SetFaxSwitchHandler([&](int sid, uint16_t number) {
                auto b1 = capi::MakeFaxB1Config();
                auto b3 = capi::MakeFaxB3Config(0, 1, "456");
                _cmsg m;
                capi_cmsg_header(&m, capi::ApplId(), CAPI_SELECT_B_PROTOCOL, CAPI_REQ,
                                 uint16_t(number + 1), uint32_t(capi::GetPLCI(sid)));
                m.BProtocol = CAPI_COMPOSE;
                m.B1protocol = m.B2protocol = m.B3protocol = 4;
                m.B1configuration = b1.data();
                m.B2configuration = nullptr;
                m.B3configuration = b3.data();
                capi::PutCapiMessage(m);
                switched = sid;
            });
            capi::SetSwitchToFax(id, 1);
            _cmsg b3off;
            capi_cmsg_header(&b3off, capi::ApplId(), CAPI_DISCONNECT_B3, CAPI_REQ, 0,
                             uint32_t(capi::GetNCCI(id)));
            ASSERT_EQ(capi::PutCapiMessage(b3off), 0u);
            ASSERT_TRUE(ex.waitUntil([&] { return switched == id; }));
        } else {
            isdnsim::CallSetup setup;
            setup.called = "456";
            setup.cip = 17;  // group 3 fax
            id = ring(setup, &plci);
            ASSERT_GE(id, 0);
            auto b3 = capi::MakeFaxB3Config(0, 1, "456");
            ASSERT_EQ(capi::ConnectResp(id, 0, 4, 4, 4, b3.data()), 0u);
            ASSERT_TRUE(win->waitState(id, capi::Connected, from));
            ASSERT_TRUE(ex.sendFax(plci, fax));  // the link is up: starts at once
        }
        ASSERT_TRUE(ex.waitUntil([&] { return ex.faxDone(plci); })) << "fax not finished";
        EXPECT_EQ(ex.protocols(plci), (isdnsim::BProtocols{4, 4, 4}));
        if (r.hangUpAfter) {
            auto cleared = win->waitState(id, capi::Disconnected, from);
            ASSERT_TRUE(cleared);
            auto* result = cleared->as<capi::ClearedCallInfo>();
            ASSERT_NE(result, nullptr);
            EXPECT_EQ(result->FaxPages, pages);
            EXPECT_EQ(result->FaxFormat, 0);
        } else {
            ASSERT_TRUE(ex.waitUntil([&] { return capi::GetFaxPages(id) == pages; }))
                << capi::GetFaxPages(id);
            EXPECT_EQ(capi::GetFaxFormat(id), 0);
            EXPECT_EQ(ex.callState(plci), isdnsim::CallState::Active) << "far end stays";
            ex.hangUp(plci, 0x3490);
            ASSERT_TRUE(win->waitState(id, capi::Disconnected, from));
        }
        std::lock_guard lock(dataMutex);
        EXPECT_EQ(dataReceived, sff);
    }
    capi::SetFaxSwitchHandler(nullptr);
}

// A selection of B protocols while the B3 link is still up is refused and changes nothing;
// once the link is down it brings up a new one with the new protocols.
TEST_F(FarEndTest, ProtocolsChangeOnlyBetweenB3Links) {
    uint32_t plci = 0;
    int id = ringAndConnect("456", &plci);
    ASSERT_GE(id, 0);
    const size_t mark = ex.messageCount();
    _cmsg m;
    capi_cmsg_header(&m, capi::ApplId(), CAPI_SELECT_B_PROTOCOL, CAPI_REQ, 7, plci);
    m.BProtocol = CAPI_COMPOSE;
    m.B1protocol = m.B2protocol = m.B3protocol = 4;
    ASSERT_EQ(capi::PutCapiMessage(m), 0u);
    ASSERT_TRUE(ex.waitFor(CAPI_SELECT_B_PROTOCOL, CAPI_REQ, mark));
    EXPECT_EQ(ex.protocols(plci), (isdnsim::BProtocols{1, 1, 0}));
    EXPECT_EQ(ex.callState(plci), isdnsim::CallState::B3Up);
    isdnsim::FaxDocument fax;
    fax.sff = Bytes(100, 1);
    EXPECT_TRUE(ex.sendFax(plci, fax));
    EXPECT_FALSE(ex.faxDone(plci)) << "no fax on a voice link";
    EXPECT_FALSE(ex.sendFax(0x7F7F, fax));

    // The far end clears B3 before the layer's CONNECT_B3_ACTIVE_RESP arrives: the late
    // response does not bring the cleared link back, and the selection is taken.
    const uint32_t oldNcci = ex.ncciOf(plci);
    ASSERT_TRUE(ex.clearB3(plci, 0));
    _cmsg late;
    capi_cmsg_header(&late, capi::ApplId(), CAPI_CONNECT_B3_ACTIVE, CAPI_RESP, 3, oldNcci);
    const size_t lateMark = ex.messageCount();
    ASSERT_EQ(capi::PutCapiMessage(late), 0u);
    ASSERT_TRUE(ex.waitFor(CAPI_CONNECT_B3_ACTIVE, CAPI_RESP, lateMark));
    EXPECT_EQ(ex.callState(plci), isdnsim::CallState::Active);
    const size_t selectMark = ex.messageCount();
    ASSERT_EQ(capi::PutCapiMessage(m), 0u);
    ASSERT_TRUE(ex.waitFor(CAPI_SELECT_B_PROTOCOL, CAPI_REQ, selectMark));
    EXPECT_TRUE(ex.waitUntil([&] { return ex.faxDone(plci); })) << "no fax on the new link";
    EXPECT_EQ(ex.protocols(plci), (isdnsim::BProtocols{4, 4, 4}));
    ex.hangUp(plci, 0x3490);
}

// The scenario's save command writes what the application sent on the call.
TEST_F(FarEndTest, ScenarioSavesTheAudioTheApplicationSent) {
    const std::string path = TestDir() + "/sent.alw";
    std::filesystem::remove(path);
    std::istringstream in("ring to 456\nwait connected\nfax-tone answer\n"
                          "wait cleared timeout 20\nsave " + path + "\n");
    auto sc = isdnsim::parseScenario(in);
    std::ostringstream log;
    std::atomic<bool> played{false};
    std::thread player([&] { played = isdnsim::playScenario(ex, sc, log); });
    auto call = win->waitFor(
        [](const Delivered& d) { return d.id == platform::WM_CAPI_INCOMING_CALL; });
    bool answered = false;
    if (call) {
        auto null = capi::MakeNullConfig(0);
        answered = capi::ConnectResp(call->connection, 0, 1, 1, 0, null.data()) == 0 &&
                   win->waitFor([](const Delivered& d) { return d.id == platform::WM_CAPI_DTMF; });
    }
    Bytes sent(600);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = uint8_t(i * 3);
    if (answered) {
        const size_t from = win->count();
        EXPECT_EQ(capi::SendData(call->connection, sent.data(), 300, 1, 0), 0u);
        EXPECT_EQ(capi::SendData(call->connection, sent.data() + 300, 300, 2, 0), 0u);
        EXPECT_TRUE(win->waitFor(
            [](const Delivered& d) { return d.id == platform::WM_CAPI_DATA_SENT && d.high() == 2; },
            from));
        capi::Disconnect(call->connection);
    }
    player.join();
    ASSERT_TRUE(answered);
    ASSERT_TRUE(played) << log.str();
    std::ifstream f(path, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(f), {}), sent);

    std::istringstream bad("ring to 456\nsave /nonexistent-dir/x.alw\n");
    std::ostringstream log2;
    EXPECT_FALSE(isdnsim::playScenario(ex, isdnsim::parseScenario(bad), log2));
    EXPECT_NE(log2.str().find("line 2: cannot write /nonexistent-dir/x.alw"), std::string::npos);
}

}  // namespace
}  // namespace capitest
