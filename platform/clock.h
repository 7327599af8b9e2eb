// Time source for window timers. The program runs on the system clock; tests hand a
// ManualClock to the windows they build and move time forward themselves, so a
// ten-second time-out is checked without waiting ten seconds.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QObject;

namespace platform {

// One periodic timer made by a Clock. start() arms it (re-arms it when armed) with the
// given period; it then fires every period until stop(). It fires on the thread of the
// context object it was made for.
class ClockTimer {
  public:
    virtual ~ClockTimer() = default;
    virtual void start(std::int64_t periodMs) = 0;
    virtual void stop() = 0;
};

class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds on a monotonic scale; only differences mean anything.
    virtual std::int64_t now() const = 0;
    // A stopped timer that calls fire on context's thread. context must outlive it.
    virtual std::unique_ptr<ClockTimer> createTimer(QObject* context,
                                                    std::function<void()> fire) = 0;
};

// The real clock: steady time, timers backed by QTimer on the context's thread.
Clock& systemClock();

// The clock new windows take when none is given. Tests that exercise code which builds
// its own windows set a ManualClock here first; nullptr restores the system clock.
Clock& defaultClock();
void setDefaultClock(Clock* clock);

// A clock that moves only when advance() is called. Timers fire inside advance(), in
// order of their due time (ties in the order they were armed), each on its context's
// thread; while a timer fires, now() reads its due time, so a handler that re-arms
// counts from there. Must outlive every timer made from it.
class ManualClock : public Clock {
  public:
    explicit ManualClock(std::int64_t startMs = 0);
    ~ManualClock() override;

    std::int64_t now() const override;
    std::unique_ptr<ClockTimer> createTimer(QObject* context, std::function<void()> fire) override;

    // Moves time forward by ms, firing every timer that falls due on the way.
    void advance(std::int64_t ms);
    // Number of timers that are armed now.
    int armedCount() const;

  private:
    class Timer;
    friend class Timer;

    mutable std::mutex mutex_;
    std::int64_t now_;
    std::uint64_t armSequence_ = 0;
    std::vector<Timer*> timers_;
};

}  // namespace platform
