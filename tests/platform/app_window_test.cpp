// App messages: order, synchronous sends across threads (also into modal loops and
// worker waits), records freed when no handler takes them, routing by table.
#include "platform/app_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/worker_thread.h"
#include "tests/support/qt_environment.h"

namespace {

using namespace platform;
using namespace std::chrono_literals;

constexpr MessageId kSequenced = WM_APP + 100;
constexpr MessageId kDouble = WM_APP + 101;
constexpr MessageId kCount = WM_APP + 102;
constexpr MessageId kCustom = WM_APP + 103;
constexpr CommandId kCmdExit = 24310;
constexpr CommandId kCmdOther = 24311;

// Counts its live instances, so a leaked or double-freed record shows.
struct CountedRecord : MessageRecord {
    explicit CountedRecord(int v) : value(v) { ++live; }
    ~CountedRecord() override { --live; }
    int value;
    static inline std::atomic<int> live{0};
};

struct OtherRecord : MessageRecord {};

class TestWindow : public AppWindow {
  public:
    explicit TestWindow(Clock* clock = nullptr) : AppWindow(clock) {}
    ~TestWindow() override { closeWindow(); }

    std::mutex mutex;
    std::map<WParam, LParam> lastSeq;  // per sender: last sequence number seen
    int outOfOrder = 0;
    int badRecords = 0;
    std::atomic<int> sequenced{0};
    std::atomic<int> counted{0};
    int exits = 0, others = 0, defaults = 0, defaultCommands = 0;
    MessageId lastDefault = 0;
    std::thread::id handlerThread;
    bool modalWhenHandled = false;
    std::vector<std::pair<TimerId, std::int64_t>> ticks;
    std::function<void(TimerId)> onTick;
    std::function<LResult(AppMessage&)> custom;
    Clock* clockForTicks = nullptr;

    LResult evSequenced(AppMessage& m) {
        auto rec = m.take<CountedRecord>();
        std::lock_guard lock(mutex);
        if (!rec || rec->value != static_cast<int>(m.lParam)) ++badRecords;
        auto it = lastSeq.find(m.wParam);
        const LParam expected = it == lastSeq.end() ? 0 : it->second + 1;
        if (m.lParam != expected) ++outOfOrder;
        lastSeq[m.wParam] = m.lParam;
        ++sequenced;
        return 0;
    }
    LResult evDouble(AppMessage& m) {
        handlerThread = std::this_thread::get_id();
        modalWhenHandled = QApplication::activeModalWidget() != nullptr;
        return static_cast<LResult>(m.wParam) * 2;
    }
    LResult evCount(AppMessage&) {
        ++counted;
        return 7;
    }
    LResult evTimer(AppMessage& m) {
        const auto id = static_cast<TimerId>(m.wParam);
        ticks.emplace_back(id, clockForTicks ? clockForTicks->now() : 0);
        if (onTick) onTick(id);
        return 0;
    }
    LResult evCustom(AppMessage& m) { return custom ? custom(m) : 0; }
    void cmExit() { ++exits; }
    void cmOther() { ++others; }

  protected:
    LResult dispatch(AppMessage& m) override { return respond(kResponses, m); }
    LResult defaultMessage(AppMessage& m) override {
        if (m.id != WM_COMMAND) {
            ++defaults;
            lastDefault = m.id;
        }
        return AppWindow::defaultMessage(m);
    }
    void defaultCommand(CommandId) override { ++defaultCommands; }

  private:
    static constexpr Response<TestWindow> kResponses[] = {
        onMessage(kSequenced, &TestWindow::evSequenced), onMessage(kDouble, &TestWindow::evDouble),
        onMessage(kCount, &TestWindow::evCount),         onMessage(WM_TIMER, &TestWindow::evTimer),
        onMessage(kCustom, &TestWindow::evCustom),       onCommand(kCmdExit, &TestWindow::cmExit),
        onCommand(kCmdOther, &TestWindow::cmOther),
    };
};

class AppWindowTest : public testing::Test {
  protected:
    void SetUp() override { CountedRecord::live = 0; }
    void TearDown() override { EXPECT_EQ(CountedRecord::live.load(), 0) << "records leaked"; }
};

TEST_F(AppWindowTest, PostsFromSeveralThreadsArriveInOrderPerSenderNoneLost) {
    TestWindow w;
    WindowRef ref = w.ref();
    constexpr int kSenders = 6, kEach = 500;
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([ref, s] {
            for (int i = 0; i < kEach; ++i)
                ASSERT_TRUE(ref.post(kSequenced, s, i, std::make_unique<CountedRecord>(i)));
        });
    }
    for (auto& t : senders) t.join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.sequenced == kSenders * kEach; }, 20000));
    QCoreApplication::processEvents();
    EXPECT_EQ(w.sequenced, kSenders * kEach);
    EXPECT_EQ(w.outOfOrder, 0);
    EXPECT_EQ(w.badRecords, 0);
    ASSERT_EQ(w.lastSeq.size(), static_cast<size_t>(kSenders));
    for (auto& [sender, last] : w.lastSeq) EXPECT_EQ(last, kEach - 1) << "sender " << sender;
}

TEST_F(AppWindowTest, SendOnWindowThreadCallsHandlerDirectly) {
    TestWindow w;
    EXPECT_EQ(w.send(kDouble, 21), 42);
    EXPECT_EQ(w.handlerThread, std::this_thread::get_id());
    // Nothing was queued: the result came from a direct call.
    EXPECT_EQ(pendingSentMessages(), 0);
}

TEST_F(AppWindowTest, SendFromWorkerReturnsHandlerResultOnWindowThread) {
    TestWindow w;
    std::atomic<bool> done{false};
    std::optional<LResult> result;
    std::thread worker([&, ref = w.ref()] {
        result = ref.send(kDouble, 50, 0, std::make_unique<CountedRecord>(1));
        done = true;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 20000));
    worker.join();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, 100);
    EXPECT_EQ(w.handlerThread, std::this_thread::get_id());
}

TEST_F(AppWindowTest, SendIsServedWhileWindowThreadRunsModalDialog) {
    TestWindow w;
    QDialog dialog;
    std::atomic<bool> done{false};
    std::optional<LResult> result;
    std::thread worker;
    // Once the dialog's own loop runs: start the worker, and close the dialog when the
    // worker's send has come back.
    QTimer::singleShot(0, &dialog, [&] {
        worker = std::thread([&, ref = w.ref()] {
            result = ref.send(kDouble, 8);
            done = true;
        });
    });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &dialog, [&] {
        if (done) dialog.accept();
    });
    poll.start(5);
    dialog.exec();
    poll.stop();
    worker.join();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, 16);
    EXPECT_TRUE(w.modalWhenHandled);
    EXPECT_EQ(w.handlerThread, std::this_thread::get_id());
}

TEST_F(AppWindowTest, WaitForThreadServesSendsOfTheWorkerItJoins) {
    TestWindow w;
    std::vector<std::optional<LResult>> results;
    // The window thread processes no events between start and wait, so every send can
    // only be served by waitForThread itself.
    std::thread worker([&, ref = w.ref()] {
        ref.post(kCount);
        for (int i = 1; i <= 5; ++i) results.push_back(ref.send(kDouble, i));
    });
    waitForThread(worker);
    EXPECT_FALSE(worker.joinable());
    ASSERT_EQ(results.size(), 5u);
    for (int i = 1; i <= 5; ++i) {
        ASSERT_TRUE(results[i - 1].has_value());
        EXPECT_EQ(*results[i - 1], 2 * i);
    }
    // Only sends run during the wait; the posted message waits for the event loop.
    EXPECT_EQ(w.counted, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.counted == 1; }, 20000));
}

TEST_F(AppWindowTest, StoppingAWorkerThreadBlockedInSendDoesNotDeadlock) {
    // The shutdown case: the worker sends on every round until told to stop; the window
    // thread asks it to stop and joins it while its last send may be waiting.
    TestWindow w;
    std::atomic<int> sent{0};
    WorkerThread worker([&, ref = w.ref()](StopFlag& stop) {
        while (!stop.requested()) {
            if (ref.send(kDouble, 1) == 2) ++sent;
        }
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return sent >= 10; }, 20000));
    worker.requestStop();
    serveSendsDuring([&] { worker.join(); });
    EXPECT_FALSE(worker.joinable());
}

TEST_F(AppWindowTest, ServeSendsDuringPassesOnTheCallsException) {
    TestWindow w;  // a window here: the call runs on the helper thread
    EXPECT_THROW(serveSendsDuring([] { throw std::runtime_error("x"); }), std::runtime_error);
}

TEST_F(AppWindowTest, WaitForThreadInsideSendHandlerServesAnotherWorker) {
    // A handler run by one wait starts a second worker that sends too and waits for it:
    // the inner wait serves that send and returns only once its own thread is joined.
    TestWindow w;
    std::optional<LResult> inner;
    w.custom = [&](AppMessage&) -> LResult {
        std::thread second([&, ref = w.ref()] { inner = ref.send(kDouble, 30); });
        waitForThread(second);
        EXPECT_FALSE(second.joinable());
        return inner.value_or(-1) + 1;
    };
    std::optional<LResult> outer;
    std::thread first([&, ref = w.ref()] { outer = ref.send(kCustom); });
    waitForThread(first);
    EXPECT_EQ(inner, 60);
    EXPECT_EQ(outer, 61);
}

TEST_F(AppWindowTest, WaitUntilServesSendsAndTimesOut) {
    TestWindow w;
    std::atomic<bool> done{false};
    std::optional<LResult> result;
    std::thread worker([&, ref = w.ref()] {
        result = ref.send(kDouble, 4);
        done = true;
    });
    EXPECT_TRUE(waitUntil([&] { return done.load(); }, 20s));
    worker.join();
    EXPECT_EQ(result, 8);
    EXPECT_FALSE(waitUntil([] { return false; }, 20ms));
}

TEST_F(AppWindowTest, PostedRecordsAreFreedWhenWindowDiesUnhandled) {
    WindowRef ref;
    {
        TestWindow w;
        ref = w.ref();
        for (int i = 0; i < 10; ++i)
            ASSERT_TRUE(w.post(kSequenced, 0, i, std::make_unique<CountedRecord>(i)));
        EXPECT_EQ(CountedRecord::live, 10);
    }
    EXPECT_EQ(CountedRecord::live, 0);
    EXPECT_FALSE(ref.alive());
    EXPECT_FALSE(ref.post(kSequenced, 0, 0, std::make_unique<CountedRecord>(0)));
    EXPECT_EQ(ref.send(kDouble, 1, 0, std::make_unique<CountedRecord>(0)), std::nullopt);
    EXPECT_EQ(CountedRecord::live, 0);
    EXPECT_FALSE(WindowRef().post(kCount));
}

TEST_F(AppWindowTest, RecordOfWrongTypeStaysWithMessageAndIsFreed) {
    TestWindow w;
    // The handler asks for a CountedRecord; an OtherRecord is not taken.
    w.post(kSequenced, 0, 0, std::make_unique<OtherRecord>());
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.sequenced == 1; }, 20000));
    EXPECT_EQ(w.badRecords, 1);
    // A handler that ignores its record: it goes with the message.
    EXPECT_EQ(w.send(kCount, 0, 0, std::make_unique<CountedRecord>(3)), 7);
    EXPECT_EQ(CountedRecord::live, 0);
}

// Polls, without serving them, until a send to this thread's windows is queued (20 s at
// most).
bool sendQueuedHere() {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (pendingSentMessages() == 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST_F(AppWindowTest, SenderBlockedOnWindowThatIsDestroyedGetsFailure) {
    auto w = std::make_unique<TestWindow>();
    std::optional<LResult> result = 123;
    std::thread worker([&, ref = w->ref()] {
        result = ref.send(kDouble, 1, 0, std::make_unique<CountedRecord>(1));
    });
    EXPECT_TRUE(sendQueuedHere());
    w.reset();
    worker.join();
    EXPECT_EQ(result, std::nullopt);
    EXPECT_EQ(CountedRecord::live, 0);
    QCoreApplication::processEvents();  // the stale wake-up finds nothing to do
}

TEST_F(AppWindowTest, WindowDestroyedWhileManyThreadsPostAndSend) {
    // Whatever the interleaving: every sender comes back, no record outlives its message.
    auto w = std::make_unique<TestWindow>();
    WindowRef ref = w->ref();
    std::atomic<int> served{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < 4; ++s) {
        senders.emplace_back([ref, s, &served] {
            for (int i = 0;; ++i) {
                const bool ok =
                    s % 2 ? ref.send(kCount, 0, 0, std::make_unique<CountedRecord>(i)).has_value()
                          : ref.post(kCount, 0, 0, std::make_unique<CountedRecord>(i));
                if (!ok) return;
                ++served;
            }
        });
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return served > 2000; }, 20000));
    w.reset();
    for (auto& t : senders) t.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(CountedRecord::live, 0);
}

// A window on its own QThread, to end that thread's loop under it.
struct ThreadedWindow {
    QThread thread;
    QObject anchor;
    std::unique_ptr<TestWindow> window;

    ThreadedWindow() {
        anchor.moveToThread(&thread);
        thread.start();
        QMetaObject::invokeMethod(
            &anchor, [this] { window = std::make_unique<TestWindow>(); },
            Qt::BlockingQueuedConnection);
    }
    ~ThreadedWindow() {
        if (thread.isRunning()) {
            QMetaObject::invokeMethod(
                &anchor, [this] { window.reset(); }, Qt::BlockingQueuedConnection);
            thread.quit();
            thread.wait();
        }
        window.reset();
    }
};

TEST_F(AppWindowTest, WindowOnAnotherThreadServesSendsAndRefusesAfterLoopEnds) {
    ThreadedWindow tw;
    WindowRef ref = tw.window->ref();
    EXPECT_EQ(ref.send(kDouble, 5), 10);
    EXPECT_NE(tw.window->handlerThread, std::this_thread::get_id());

    tw.thread.quit();
    ASSERT_TRUE(tw.thread.wait(20000));
    EXPECT_FALSE(ref.alive());
    EXPECT_EQ(ref.send(kDouble, 1, 0, std::make_unique<CountedRecord>(1)), std::nullopt);
    EXPECT_FALSE(ref.post(kCount, 0, 0, std::make_unique<CountedRecord>(2)));
    EXPECT_EQ(CountedRecord::live, 0);
}

TEST_F(AppWindowTest, TwoWindowThreadsSendingToEachOtherDoNotDeadlock) {
    TestWindow mainWindow;
    ThreadedWindow tw;
    WindowRef back = mainWindow.ref();
    QMetaObject::invokeMethod(
        &tw.anchor,
        [&] {
            tw.window->custom = [back](AppMessage&) -> LResult {
                return back.send(kDouble, 5).value_or(-1) + 1000;
            };
        },
        Qt::BlockingQueuedConnection);
    // The other thread's handler sends back here while this thread waits in send().
    EXPECT_EQ(tw.window->ref().send(kCustom), 1010);
    EXPECT_EQ(mainWindow.handlerThread, std::this_thread::get_id());
}

TEST_F(AppWindowTest, SenderWaitingWhenLoopEndsDoesNotHang) {
    ThreadedWindow tw;
    WindowRef ref = tw.window->ref();
    // Keep the window thread busy until the send is queued there, then end its loop.
    std::atomic<bool> queued{false};
    QMetaObject::invokeMethod(&tw.anchor, [&] {
        queued = sendQueuedHere();
        QThread::currentThread()->quit();
    });
    std::atomic<bool> done{false};
    std::thread worker([&] {
        ref.send(kDouble, 1, 0, std::make_unique<CountedRecord>(1));
        done = true;
    });
    ASSERT_TRUE(tw.thread.wait(30000));
    EXPECT_TRUE(queued) << "the loop ended before the send was waiting";
    worker.join();  // returns: served before the loop ended, or failed when it did
    EXPECT_TRUE(done);
    EXPECT_EQ(CountedRecord::live, 0);
}

TEST_F(AppWindowTest, TableRoutesByMessageNumberAndCommandIdAndDefaults) {
    TestWindow w;
    EXPECT_EQ(w.send(kCount), 7);
    EXPECT_EQ(w.counted, 1);

    w.command(kCmdExit);
    w.command(kCmdOther);
    w.command(kCmdOther);
    w.ref().postCommand(kCmdExit);
    w.post(WM_COMMAND, 999);  // unknown command id
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.exits == 2 && w.defaultCommands == 1; }, 20000));
    EXPECT_EQ(w.others, 2);

    EXPECT_EQ(w.send(WM_APP + 500, 1, 2), 0);
    EXPECT_EQ(w.defaults, 1);
    EXPECT_EQ(w.lastDefault, WM_APP + 500);
    // Every numbered message is routed only where the table says so.
    EXPECT_EQ(w.send(WM_CAPI_DTMF), 0);
    EXPECT_EQ(w.defaults, 2);
    EXPECT_EQ(w.counted, 1);
    EXPECT_EQ(w.exits, 2);
}

TEST(AppMessages, NumbersAreFixed) {
    EXPECT_EQ(WM_APP, 0x8000u);
    const MessageId table[] = {WM_CAPI_INCOMING_CALL, WM_CAPI_STATE_CHANGED, WM_CAPI_DATA_SENT,
                               WM_CAPI_DATA_RECEIVED, WM_THREAD_DONE,        WM_FAX_DONE,
                               WM_REFRESH_LIST,       WM_OPEN_OPTIONS,       WM_RESTORE_WINDOW,
                               WM_CLOSE_POPUP,        WM_SHOW_POPUP,         WM_PLAY_DONE,
                               WM_SETTINGS_CHANGED,   WM_TRAY_NOTIFY,        WM_SERVER_SOCKET,
                               WM_CLIENT_SOCKET,      WM_CAPI_DTMF};
    for (MessageId i = 0; i < std::size(table); ++i) EXPECT_EQ(table[i], 0x8000u + 1 + i);
}

}  // namespace
