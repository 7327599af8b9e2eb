// Window timers keyed by id, on the manual clock (exact ticks) and on the real one.
#include <gtest/gtest.h>

#include <QTest>
#include <QThread>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/app_window.h"
#include "platform/clock.h"
#include "tests/support/qt_environment.h"

namespace {

using namespace platform;
using Tick = std::pair<TimerId, std::int64_t>;  // id, clock time when it fired

class TimerWindow : public AppWindow {
  public:
    explicit TimerWindow(Clock& clock) : AppWindow(&clock), clock_(clock) {}
    ~TimerWindow() override { closeWindow(); }

    std::vector<Tick> ticks;
    std::function<void(TimerId)> onTick;

  protected:
    LResult dispatch(AppMessage& m) override { return respond(kResponses, m); }

  private:
    LResult evTimer(AppMessage& m) {
        const auto id = static_cast<TimerId>(m.wParam);
        ticks.emplace_back(id, clock_.now());
        if (onTick) onTick(id);
        return 0;
    }
    static constexpr Response<TimerWindow> kResponses[] = {
        onMessage(WM_TIMER, &TimerWindow::evTimer),
    };
    Clock& clock_;
};

TEST(WindowTimers, FireAtTheirPeriodsInOrderUntilKilled) {
    ManualClock clock(1000);
    TimerWindow w(clock);
    w.setTimer(5, 10000);  // text-message time-out
    w.setTimer(4, 2000);   // tray blink
    clock.advance(1999);
    EXPECT_TRUE(w.ticks.empty());
    clock.advance(1);
    EXPECT_EQ(w.ticks, (std::vector<Tick>{{4, 3000}}));

    w.ticks.clear();
    clock.advance(9000);  // to 12000
    EXPECT_EQ(w.ticks, (std::vector<Tick>{{4, 5000}, {4, 7000}, {4, 9000}, {5, 11000}, {4, 11000}}))
        << "ties go in arming order: 5 was armed first";

    w.ticks.clear();
    w.killTimer(4);
    EXPECT_FALSE(w.timerArmed(4));
    EXPECT_TRUE(w.timerArmed(5));
    clock.advance(20000);  // to 32000
    EXPECT_EQ(w.ticks, (std::vector<Tick>{{5, 21000}, {5, 31000}}));

    w.ticks.clear();
    w.killTimer(5);
    clock.advance(100000);
    EXPECT_TRUE(w.ticks.empty());
    EXPECT_EQ(clock.armedCount(), 0);
}

TEST(WindowTimers, SetTimerRearmsFromNow) {
    ManualClock clock;
    TimerWindow w(clock);
    w.setTimer(1, 15000);  // answer delay
    clock.advance(10000);
    w.setTimer(1, 15000);  // armed again: counts from 10000
    clock.advance(14999);
    EXPECT_TRUE(w.ticks.empty());
    clock.advance(1);
    EXPECT_EQ(w.ticks, (std::vector<Tick>{{1, 25000}}));
    w.setTimer(1, 500);  // a new period replaces the old one
    clock.advance(1000);
    EXPECT_EQ(w.ticks, (std::vector<Tick>{{1, 25000}, {1, 25500}, {1, 26000}}));
}

// `count` ticks of timer `id`, the first at `first`, then every `period`.
std::vector<Tick> series(TimerId id, std::int64_t first, std::int64_t period, int count) {
    std::vector<Tick> out;
    for (int i = 0; i < count; ++i) out.emplace_back(id, first + i * period);
    return out;
}

// What a tick handler does to timers (its own or another due at the same time) holds
// from that tick on.
TEST(WindowTimers, HandlersThatKillOrRearmTimers) {
    struct Case {
        const char* name;
        std::vector<std::pair<TimerId, std::uint32_t>> armed;  // in arming order
        std::function<void(TimerWindow&, TimerId)> onTick;
        std::int64_t advance;
        std::vector<Tick> ticks;
    };
    std::vector<Tick> killedOwn = series(4, 2000, 2000, 30);
    killedOwn.insert(killedOwn.begin() + 7, Tick{2, 15000});
    const Case cases[] = {
        {"killed inside its own handler never fires again", {{2, 15000}, {4, 2000}},
         [](TimerWindow& w, TimerId id) {
             if (id == 2) w.killTimer(2);
         },
         60000, killedOwn},
        {"rearmed inside its own handler counts from the tick", {{5, 10000}},
         [](TimerWindow& w, TimerId id) {
             if (w.ticks.size() == 1) w.setTimer(id, 3000);
         },
         16000, {{5, 10000}, {5, 13000}, {5, 16000}}},
        {"one timer kills another due in the same advance", {{1, 1000}, {2, 1000}},
         [](TimerWindow& w, TimerId id) {
             if (id == 1) w.killTimer(2);
         },
         5000, series(1, 1000, 1000, 5)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ManualClock clock;
        TimerWindow w(clock);
        w.onTick = [&](TimerId id) { c.onTick(w, id); };
        for (const auto& [id, period] : c.armed) w.setTimer(id, period);
        clock.advance(c.advance);
        EXPECT_EQ(w.ticks, c.ticks);
    }
}

TEST(WindowTimers, ClosedOrDestroyedWindowGetsNoTicks) {
    ManualClock clock;
    {
        TimerWindow w(clock);
        w.setTimer(4, 2000);
        w.closeWindow();
        clock.advance(10000);
        EXPECT_TRUE(w.ticks.empty());
        w.setTimer(4, 2000);  // ignored once closed
        clock.advance(10000);
        EXPECT_TRUE(w.ticks.empty());
    }
    {
        auto w = std::make_unique<TimerWindow>(clock);
        w->setTimer(4, 2000);
        w.reset();
        EXPECT_EQ(clock.armedCount(), 0);
        clock.advance(10000);  // must not touch the dead window
    }
}

TEST(WindowTimers, WindowDestroyedByItsOwnTimer) {
    ManualClock clock;
    auto* w = new TimerWindow(clock);
    int fired = 0;
    w->onTick = [&](TimerId) {
        ++fired;
        delete w;
    };
    w->setTimer(1, 100);
    clock.advance(1000);
    EXPECT_EQ(fired, 1);
    QCoreApplication::processEvents();  // the port's deferred deletion
}

TEST(WindowTimers, WindowDestroyedByItsOwnSystemTimer) {
    auto* w = new TimerWindow(systemClock());
    bool fired = false;
    w->onTick = [&](TimerId) {
        fired = true;
        delete w;
    };
    w->setTimer(1, 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fired; }, 20000));
    QTest::qWait(20);  // no tick may reach the dead window
}

TEST(WindowTimers, ManualClockFiresOnTheWindowsOwnThread) {
    ManualClock clock;
    QThread thread;
    QObject anchor;
    anchor.moveToThread(&thread);
    thread.start();
    std::unique_ptr<TimerWindow> w;
    std::vector<std::thread::id> firedOn;
    std::thread::id windowThread;
    QMetaObject::invokeMethod(
        &anchor,
        [&] {
            w = std::make_unique<TimerWindow>(clock);
            w->onTick = [&](TimerId) { firedOn.push_back(std::this_thread::get_id()); };
            w->setTimer(4, 2000);
            windowThread = std::this_thread::get_id();
        },
        Qt::BlockingQueuedConnection);
    clock.advance(4000);  // returns once both ticks have run over there
    EXPECT_EQ(firedOn, (std::vector<std::thread::id>{windowThread, windowThread}));
    EXPECT_NE(windowThread, std::this_thread::get_id());
    QMetaObject::invokeMethod(
        &anchor, [&] { w.reset(); }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
}

TEST(WindowTimers, DefaultClockIsReplaceable) {
    ManualClock clock;
    setDefaultClock(&clock);
    EXPECT_EQ(&defaultClock(), &clock);
    setDefaultClock(nullptr);
    EXPECT_EQ(&defaultClock(), &systemClock());
}

TEST(WindowTimers, SystemClockTimerRepeatsAndStopsWhenKilled) {
    TimerWindow w(systemClock());
    w.setTimer(4, 5);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.ticks.size() >= 3; }, 20000));
    w.killTimer(4);
    const size_t seen = w.ticks.size();
    QTest::qWait(50);
    EXPECT_EQ(w.ticks.size(), seen);
    for (auto& [id, at] : w.ticks) EXPECT_EQ(id, 4u);
    // Re-armed after a kill, it runs again.
    w.setTimer(4, 5);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.ticks.size() > seen; }, 20000));
    w.killTimer(4);
}

}  // namespace
