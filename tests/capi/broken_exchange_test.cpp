// An exchange that sends what libcapi20 cannot decode, forged lengths, empty or half frames:
// the layer logs and goes on, answers every data block and never makes the window wait.
#include <capi20.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "tests/capi/support.h"

namespace capitest {
namespace {

using isdnsim::Bytes;
using isdnsim::CallSetup;
using isdnsim::Message;
using platform::WM_CAPI_DATA_RECEIVED;
using platform::WM_CAPI_INCOMING_CALL;

constexpr char kIndicationNotHandled[] =
    "Error: Indication not handled in function Handle_Indication";
constexpr char kConfirmationNotHandled[] =
    "Error: Confirmation not handled in function Handle_Confirmation";
constexpr char kLost[] = "Error: connection to the ISDN driver lost";

int countLog(const std::string& text) {
    int n = 0;
    for (auto& l : LogLines()) n += l == text;
    return n;
}

// DATA_B3_IND: 22 bytes of message (32-bit Data 0), then `data`; the length word says
// `declared` when given.
Bytes dataInd(uint32_t ncci, uint16_t handle, uint16_t dataLength, const Bytes& data,
              int declared = -1) {
    Bytes params{0,
                 0,
                 0,
                 0,
                 uint8_t(dataLength),
                 uint8_t(dataLength >> 8),
                 uint8_t(handle),
                 uint8_t(handle >> 8),
                 0,
                 0};
    Bytes m = RawMessage(CAPI_DATA_B3, CAPI_IND, 30, ncci, params, declared);
    m.insert(m.end(), data.begin(), data.end());
    return m;
}

Bytes frame(const Bytes& payload) {
    Bytes f{uint8_t((payload.size() + 2) >> 8), uint8_t(payload.size() + 2)};
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

class BrokenExchangeTest : public ExchangeTest {
  protected:
    void SetUp() override {
        ExchangeTest::SetUp();
        ASSERT_EQ(capi::Listen(1, 1, 0x18, 0x10012), 0u);
        ASSERT_TRUE(ex.waitFor(CAPI_LISTEN, CAPI_REQ));
    }
    // A call answered with its data link up: the layer's id and the link's NCCI.
    std::pair<int, uint32_t> connected() {
        uint32_t plci = 0;
        const int id = ringAndConnect("456", &plci);
        return {id, id >= 0 ? ex.ncciOf(plci) : 0};
    }
    // The layer still sees calls.
    void expectAlive() {
        size_t before = win->of(WM_CAPI_INCOMING_CALL).size();
        ring(CallSetup{});
        EXPECT_EQ(win->of(WM_CAPI_INCOMING_CALL).size(), before + 1);
    }
};

TEST_F(BrokenExchangeTest, MessagesWithoutADecoderEntryAreLoggedAndDropped) {
    struct Case {
        const char* what;
        uint8_t command, subcommand;
        Bytes params;
        const char* logged;  // nullptr: dropped silently
    };
    const Case cases[] = {
        {"ALERT_IND", CAPI_ALERT, CAPI_IND, {0}, kIndicationNotHandled},
        {"CONNECT_ACTIVE_CONF", CAPI_CONNECT_ACTIVE, CAPI_CONF, {0, 0}, kConfirmationNotHandled},
        {"unknown indication", 0x20, CAPI_IND, {1, 2, 3}, kIndicationNotHandled},
        {"unknown confirmation", 0x20, CAPI_CONF, {0, 0}, kConfirmationNotHandled},
        {"unknown command, failed", 0x77, CAPI_CONF, {0x01, 0x20}, nullptr},
        {"a request", CAPI_CONNECT, CAPI_REQ, {}, nullptr},
    };
    int indications = 0, confirmations = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ex.sendRawToApplication(RawMessage(c.command, c.subcommand, 9, 0x0101, c.params));
        if (c.logged == kIndicationNotHandled) ++indications;
        if (c.logged == kConfirmationNotHandled) ++confirmations;
        // A message the layer answers shows that everything before it was read.
        size_t mark = ex.messageCount();
        _cmsg marker;
        capi_cmsg_header(&marker, 0, CAPI_INFO, CAPI_IND, 10, 0x0701);
        ex.sendToApplication(marker);
        ASSERT_TRUE(ex.waitFor(CAPI_INFO, CAPI_RESP, mark));
        EXPECT_EQ(countLog(kIndicationNotHandled), indications);
        EXPECT_EQ(countLog(kConfirmationNotHandled), confirmations);
    }
    expectAlive();
}

TEST_F(BrokenExchangeTest, DataOutsideItsMessageNeverReachesTheWindow) {
    const auto [id, ncci] = connected();
    ASSERT_GE(id, 0);
    struct Case {
        const char* what;
        uint16_t dataLength;
        Bytes data;
        int declared;
        bool handed;
    };
    const Case cases[] = {
        {"length word past the end of the frame", 2048, {1, 2, 3, 4}, 100, false},
        {"block longer than the frame", 100, {1, 2, 3, 4}, -1, false},
        {"block inside the frame", 4, {9, 8, 7, 6}, -1, true},
        {"64-bit layout, block inside", 3, {5, 5, 5}, 30, true},
    };
    uint16_t handle = 500;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        size_t handed = win->of(WM_CAPI_DATA_RECEIVED).size();
        size_t mark = ex.messageCount();
        Bytes payload = dataInd(ncci, handle, c.dataLength, {}, c.declared);
        if (c.declared == 30) payload.resize(30, 0);  // Data64 0: the block follows
        payload.insert(payload.end(), c.data.begin(), c.data.end());
        ex.sendRawToApplication(payload);
        auto resp = ex.waitFor(CAPI_DATA_B3, CAPI_RESP, mark);
        ASSERT_TRUE(resp) << "every block is answered";
        EXPECT_EQ(resp->cmsg.DataHandle, handle);
        auto blocks = win->of(WM_CAPI_DATA_RECEIVED);
        ASSERT_EQ(blocks.size(), handed + (c.handed ? 1 : 0));
        if (c.handed) {
            std::lock_guard lock(dataMutex);
            ASSERT_GE(dataReceived.size(), c.data.size());
            EXPECT_EQ(Bytes(dataReceived.end() - long(c.data.size()), dataReceived.end()), c.data);
        }
        ++handle;
    }
    EXPECT_TRUE(LogHas("Error: CAPI message of 100 bytes dropped in function Handle_CAPI_Msg"));
    EXPECT_TRUE(LogHas("Error: data block of 100 bytes dropped in function Handle_Indication"));
}

TEST_F(BrokenExchangeTest, EveryDroppedDataBlockIsAnswered) {
    // More than libcapi20 has receive buffers (2 + 2 x 8): each must come back.
    size_t mark = ex.messageCount();
    for (uint16_t i = 0; i < 25; ++i) {
        Bytes m = dataInd(0x30701, uint16_t(900 + i), 4, {1, 2, 3, 4}, i % 2 ? 3000 : 9);
        ex.sendRawToApplication(m);
    }
    ASSERT_TRUE(ex.waitUntil([&] { return ex.find(CAPI_DATA_B3, CAPI_RESP).size() == 25; }));
    auto resps = ex.find(CAPI_DATA_B3, CAPI_RESP);
    for (size_t i = 0; i < resps.size(); ++i) EXPECT_EQ(resps[i]->cmsg.DataHandle, 900 + i);
    // Each exactly once: a marker answered after them shows nothing more was coming.
    _cmsg marker;
    capi_cmsg_header(&marker, 0, CAPI_INFO, CAPI_IND, 10, 0x0701);
    ex.sendToApplication(marker);
    ASSERT_TRUE(ex.waitFor(CAPI_INFO, CAPI_RESP, mark));
    EXPECT_EQ(ex.find(CAPI_DATA_B3, CAPI_RESP).size(), 25u);
    EXPECT_TRUE(win->of(WM_CAPI_DATA_RECEIVED).empty());
    EXPECT_TRUE(LogHas("Error: CAPI message of 3000 bytes dropped in function Handle_CAPI_Msg"));
    EXPECT_TRUE(LogHas("Error: CAPI message of 9 bytes dropped in function Handle_CAPI_Msg"));
    expectAlive();
}

TEST_F(BrokenExchangeTest, FetchesThatKeepFailingAreLoggedOnceAndRecover) {
    const auto [id, ncci] = connected();
    ASSERT_GE(id, 0);
    // The window keeps every block, so libcapi20 runs out of receive buffers.
    std::mutex m;
    std::vector<uint16_t> kept;
    std::atomic<bool> keep{true};
    win->onSend = [&](Delivered& d) -> platform::LResult {
        if (auto* info = d.as<capi::ReceivedDataInfo>(); info && keep) {
            *info->Respond = 0;
            std::lock_guard lock(m);
            kept.push_back(info->DataHandle);
        }
        return 1;
    };
    for (uint16_t i = 0; i < 24; ++i) ex.sendRawToApplication(dataInd(ncci, i, 2, {0, 0}));
    const std::string failing =
        "CAPI error 0x1108 (OS Resource error (no memory ?)) in function Handle_CAPI_Msg";
    ASSERT_TRUE(WaitLog(failing));
    std::this_thread::sleep_for(300ms);  // the worker tries again meanwhile
    EXPECT_EQ(countLog(failing), 1);
    std::vector<uint16_t> stuck;
    {
        std::lock_guard lock(m);
        stuck = kept;
    }
    EXPECT_LT(stuck.size(), 24u);
    // Answering the kept blocks gives the buffers back; the rest then arrives.
    keep = false;
    for (uint16_t handle : stuck) EXPECT_EQ(capi::DataB3Resp(id, handle), 0u);
    ASSERT_TRUE(ex.waitUntil([&] { return ex.find(CAPI_DATA_B3, CAPI_RESP).size() == 24; }));
    EXPECT_EQ(countLog(failing), 1);
    win->onSend = nullptr;
    expectAlive();
}

TEST_F(BrokenExchangeTest, EmptyFramesAreNotALostDriver) {
    for (int i = 0; i < 5; ++i) ex.sendBytesToApplication({0x00, 0x02});
    expectAlive();
    EXPECT_TRUE(capi::CapiWorkerRunning());
    EXPECT_FALSE(LogHas(kLost));
}

TEST_F(BrokenExchangeTest, AStalledFrameNeverHoldsTheWindowThread) {
    _cmsg info;
    capi_cmsg_header(&info, capi::ApplId(), CAPI_INFO, CAPI_IND, 40, 0x0701);
    info.InfoNumber = 0x0018;
    unsigned char buffer[256];
    capi_cmsg2message(&info, buffer);
    Bytes whole = frame(Bytes(buffer, buffer + CAPIMSG_LEN(buffer)));
    const size_t half = 7;
    auto stall = [&] {
        ex.sendBytesToApplication(Bytes(whole.begin(), whole.begin() + half));
        // Time for the worker to start on the frame.
        std::this_thread::sleep_for(100ms);
    };
    auto finish = [&] { ex.sendBytesToApplication(Bytes(whole.begin() + half, whole.end())); };
    // An exchange stuck in the middle of a frame sends nothing else meanwhile.
    ex.configure([](isdnsim::Options& o) { o.muted = true; });

    stall();
    size_t mark = ex.messageCount();
    auto request = std::async(std::launch::async, [] { return capi::Listen(2, 2, 0, 1); });
    bool done = request.wait_for(5s) == std::future_status::ready;
    EXPECT_TRUE(done) << "a request waited for the exchange";
    if (done) {
        EXPECT_TRUE(ex.waitFor(CAPI_LISTEN, CAPI_REQ, mark));
    }
    finish();
    EXPECT_EQ(request.get(), 0u);
    EXPECT_TRUE(ex.waitFor(CAPI_INFO, CAPI_RESP, mark)) << "the completed frame is read";

    // Stopping does not wait for the rest of a frame either (libcapi20 itself gives up after
    // five seconds).
    stall();
    auto stop = std::async(std::launch::async, [] { capi::StopCapiWorker(); });
    done = stop.wait_for(3s) == std::future_status::ready;
    EXPECT_TRUE(done) << "stopping waited for the exchange";
    if (!done) finish();
    stop.get();
    EXPECT_FALSE(capi::CapiWorkerRunning());
    ex.configure([](isdnsim::Options& o) { o.muted = false; });
}

TEST_F(BrokenExchangeTest, DriverSocketSendsWithoutDelay) {
    int fd = capi20_fileno(capi::ApplId());
    ASSERT_GE(fd, 0);
    int on = 0;
    socklen_t len = sizeof on;
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
    EXPECT_NE(on, 0) << "two messages in a row would wait for the exchange's delayed ACK";
}

// libcapi20 traces to stderr unless told otherwise; the user's configuration decides.
TEST(CapiTrace, SilentUnlessTheConfigurationAsksForIt) {
    struct Case {
        const char* what;
        const char* capi20rc;  // nullptr: none
        bool traced;
    };
    const Case cases[] = {
        {"no configuration", nullptr, false},
        {"configuration without a trace level", "REMOTE rcapi 127.0.0.1 1\n", false},
        {"configuration asking for tracing", "TRACELEVEL 3\n", true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string home = TestDir() + "/trace-home-" + std::to_string(n++);
        std::filesystem::create_directories(home);
        if (c.capi20rc) std::ofstream(home + "/.capi20rc") << c.capi20rc;
        std::string command = "HOME='" + home + "' '" CAPI_TRACE_PROBE "' 2>&1 >/dev/null";
        FILE* p = ::popen(command.c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string err;
        char buf[512];
        while (size_t got = std::fread(buf, 1, sizeof buf, p)) err.append(buf, got);
        EXPECT_EQ(::pclose(p), 0);
        EXPECT_EQ(err.find("CapiDebug") != std::string::npos, c.traced) << err;
    }
}

}  // namespace
}  // namespace capitest
