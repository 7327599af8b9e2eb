#include "platform/clock.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>

namespace platform {

namespace {

class QtTimer : public ClockTimer {
  public:
    QtTimer(QObject* context, std::function<void()> fire) {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, context, std::move(fire));
    }
    void start(std::int64_t periodMs) override {
        timer_.start(static_cast<int>(std::clamp<std::int64_t>(periodMs, 1, INT32_MAX)));
    }
    void stop() override { timer_.stop(); }

  private:
    QTimer timer_;
};

class SystemClock : public Clock {
  public:
    std::int64_t now() const override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    std::unique_ptr<ClockTimer> createTimer(QObject* context, std::function<void()> fire) override {
        return std::make_unique<QtTimer>(context, std::move(fire));
    }
};

std::atomic<Clock*> g_defaultClock{nullptr};

}  // namespace

Clock& systemClock() {
    static SystemClock clock;
    return clock;
}

Clock& defaultClock() {
    Clock* c = g_defaultClock.load();
    return c ? *c : systemClock();
}

void setDefaultClock(Clock* clock) {
    g_defaultClock.store(clock);
}

class ManualClock::Timer : public ClockTimer {
  public:
    Timer(ManualClock& clock, QObject* context, std::function<void()> fire)
        : clock_(clock), context_(context), fire_(std::move(fire)) {
        std::lock_guard lock(clock_.mutex_);
        clock_.timers_.push_back(this);
    }
    ~Timer() override {
        std::lock_guard lock(clock_.mutex_);
        std::erase(clock_.timers_, this);
    }
    void start(std::int64_t periodMs) override {
        std::lock_guard lock(clock_.mutex_);
        period_ = std::max<std::int64_t>(periodMs, 1);
        due_ = clock_.now_ + period_;
        sequence_ = ++clock_.armSequence_;
        armed_ = true;
    }
    void stop() override {
        std::lock_guard lock(clock_.mutex_);
        armed_ = false;
    }

  private:
    friend class ManualClock;
    ManualClock& clock_;
    QObject* context_;
    std::function<void()> fire_;
    // Guarded by clock_.mutex_.
    std::int64_t period_ = 1;
    std::int64_t due_ = 0;
    std::uint64_t sequence_ = 0;
    bool armed_ = false;
};

ManualClock::ManualClock(std::int64_t startMs) : now_(startMs) {}

ManualClock::~ManualClock() = default;

std::int64_t ManualClock::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

std::unique_ptr<ClockTimer> ManualClock::createTimer(QObject* context, std::function<void()> fire) {
    return std::make_unique<Timer>(*this, context, std::move(fire));
}

int ManualClock::armedCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(
        std::count_if(timers_.begin(), timers_.end(), [](const Timer* t) { return t->armed_; }));
}

void ManualClock::advance(std::int64_t ms) {
    std::unique_lock lock(mutex_);
    const std::int64_t target = now_ + std::max<std::int64_t>(ms, 0);
    for (;;) {
        // A handler may arm, stop or destroy any timer, so pick afresh after each firing.
        Timer* next = nullptr;
        for (Timer* t : timers_) {
            if (!t->armed_ || t->due_ > target) continue;
            if (!next || t->due_ < next->due_ ||
                (t->due_ == next->due_ && t->sequence_ < next->sequence_))
                next = t;
        }
        if (!next) break;
        now_ = next->due_;
        next->due_ += next->period_;
        // A copy: the handler may destroy the timer that holds the original.
        std::function<void()> fire = next->fire_;
        QObject* context = next->context_;
        lock.unlock();
        if (!context || context->thread() == QThread::currentThread())
            fire();
        else
            QMetaObject::invokeMethod(context, fire, Qt::BlockingQueuedConnection);
        lock.lock();
    }
    now_ = std::max(now_, target);
}

}  // namespace platform
