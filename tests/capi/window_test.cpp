// The layer delivering to a real platform window on the Qt event loop: posted records,
// the synchronous data send, and stopping the worker while it waits in that send.
#include <QApplication>
#include <QTest>
#include <atomic>
#include <mutex>

#include "platform/app_window.h"
#include "tests/capi/support.h"
#include "tests/support/qt_environment.h"

namespace capitest {
namespace {

using namespace platform;


class LineWindow : public AppWindow {
  public:
    ~LineWindow() override { closeWindow(); }

    std::mutex mutex;
    std::vector<std::string> callers;
    std::vector<int> states;
    std::vector<uint8_t> data;
    std::atomic<int> blocks{0};
    std::atomic<bool> wrongThread{false};

  private:
    LResult evIncoming(AppMessage& m) {
        auto info = m.take<capi::IncomingCallInfo>();
        std::lock_guard lock(mutex);
        callers.push_back(info ? info->CallingNumber : "<no record>");
        return 0;
    }
    LResult evState(AppMessage& m) {
        std::lock_guard lock(mutex);
        states.push_back(int(m.lParam & 0xFFFF));
        return 0;
    }
    LResult evData(AppMessage& m) {
        if (!onWindowThread()) wrongThread = true;
        auto* info = m.peek<capi::ReceivedDataInfo>();
        if (!info) return 0;
        std::lock_guard lock(mutex);
        data.insert(data.end(), info->Data, info->Data + info->DataLength);
        ++blocks;
        return 1;
    }
    static constexpr Response<LineWindow> kResponses[] = {
        onMessage(WM_CAPI_INCOMING_CALL, &LineWindow::evIncoming),
        onMessage(WM_CAPI_STATE_CHANGED, &LineWindow::evState),
        onMessage(WM_CAPI_DATA_RECEIVED, &LineWindow::evData),
    };
    LResult dispatch(AppMessage& m) override { return respond(kResponses, m); }
};

// Forwards to the window, telling the test when the worker is inside a send.
class WatchedTarget : public capi::MessageTarget {
  public:
    explicit WatchedTarget(std::shared_ptr<capi::MessageTarget> inner) : inner_(std::move(inner)) {}
    bool post(MessageId id, WParam w, LParam l, RecordPtr r) override {
        return inner_->post(id, w, l, std::move(r));
    }
    std::optional<LResult> send(MessageId id, WParam w, LParam l, RecordPtr r) override {
        ++sending;
        return inner_->send(id, w, l, std::move(r));
    }
    std::atomic<int> sending{0};

  private:
    std::shared_ptr<capi::MessageTarget> inner_;
};

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        capi::ResetConnectionsForTesting();
        capi::ResetDispatchForTesting();
        capi::SetCapiLogPath(TestDir() + "/window.txt");
        ex.clearRecord();
        target = std::make_shared<WatchedTarget>(capi::WindowTarget(window.ref()));
        ASSERT_EQ(capi::LoadCapiDll(), 1);
        ASSERT_EQ(capi::RegisterCAPI(target, 2048), 2);
        capi::ClearConnectionTable();
        ASSERT_TRUE(capi::StartCapiWorker());
        ASSERT_EQ(capi::Listen(1, 1, 1, 0x10012), 0u);
        ASSERT_TRUE(ex.waitFor(CAPI_LISTEN, CAPI_REQ));
    }
    void TearDown() override {
        capi::StopCapiWorker(platform::waitForThread);
        capi::ReleaseCAPI();
    }
    // An accepted call with its B3 link up.
    uint32_t connectedCall() {
        uint32_t plci = ex.ring(isdnsim::CallSetup{});
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                std::lock_guard l(window.mutex);
                return !window.callers.empty();
            },
            10000));
        int id = capi::GetConnectionByPLCI(int32_t(plci));
        auto null = capi::MakeNullConfig(0);
        capi::ConnectResp(id, 0, 1, 1, 0, null.data());
        EXPECT_TRUE(QTest::qWaitFor([&] { return capi::GetConnectionState(id) == capi::Connected; },
                                    10000));
        return plci;
    }

    isdnsim::Exchange& ex = TheExchange();
    LineWindow window;
    std::shared_ptr<WatchedTarget> target;
};

TEST_F(WindowTest, CallsAndDataReachTheWindowThread) {
    uint32_t plci = connectedCall();
    {
        std::lock_guard lock(window.mutex);
        EXPECT_EQ(window.callers, std::vector<std::string>{"0301234567"});
    }
    isdnsim::Bytes audio(160 * 30);
    for (size_t i = 0; i < audio.size(); ++i) audio[i] = uint8_t(i);
    ex.sendData(plci, audio);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ex.pendingData(plci) == 0; }, 10000));
    std::lock_guard lock(window.mutex);
    EXPECT_EQ(window.data, audio);
    EXPECT_FALSE(window.wrongThread);
    EXPECT_EQ(window.states.back(), capi::Connected);
}

TEST_F(WindowTest, StopServesTheSendTheWorkerIsBlockedIn) {
    uint32_t plci = connectedCall();
    int before = target->sending;
    ex.sendData(plci, isdnsim::Bytes(160 * 3, 0x55));
    // Without running events: the worker now waits for the window thread.
    while (target->sending == before) std::this_thread::yield();
    capi::StopCapiWorker(platform::waitForThread);
    EXPECT_FALSE(capi::CapiWorkerRunning());
    EXPECT_GE(window.blocks.load(), 1);
    ASSERT_TRUE(capi::StartCapiWorker());  // TearDown stops it again
}

}  // namespace
}  // namespace capitest
