#include "platform/worker_thread.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace platform {

void StopFlag::request() {
    std::lock_guard lock(mutex_);
    requested_ = true;
    changed_.notify_all();
}

bool StopFlag::requested() const {
    std::lock_guard lock(mutex_);
    return requested_;
}

bool StopFlag::waitFor(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requested_; });
}

struct WorkerThread::Gate {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    bool cancelled = false;
    StopFlag stop;
};

WorkerThread::WorkerThread(std::function<void(StopFlag&)> body, WorkerOptions options)
    : gate_(std::make_unique<Gate>()) {
    Gate* gate = gate_.get();
    gate->open = !options.startSuspended;
    thread_ = std::thread([gate, body = std::move(body), lowest = options.lowestPriority] {
        if (lowest) {
            // On Linux the nice value of PRIO_PROCESS with a thread id is per thread.
            // Raising it needs no privilege; should it fail, the thread just runs at
            // normal priority.
            (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
        }
        {
            std::unique_lock lock(gate->mutex);
            gate->opened.wait(lock, [&] { return gate->open || gate->cancelled; });
            if (!gate->open) return;
        }
        body(gate->stop);
    });
}

WorkerThread& WorkerThread::operator=(WorkerThread&& other) noexcept {
    if (this != &other) {
        finish();
        gate_ = std::move(other.gate_);
        thread_ = std::move(other.thread_);
    }
    return *this;
}

WorkerThread::~WorkerThread() {
    finish();
}

void WorkerThread::finish() {
    if (!thread_.joinable()) return;
    requestStop();
    {
        std::lock_guard lock(gate_->mutex);
        gate_->cancelled = true;
        gate_->opened.notify_all();
    }
    thread_.join();
}

void WorkerThread::resume() {
    if (!gate_) return;
    std::lock_guard lock(gate_->mutex);
    gate_->open = true;
    gate_->opened.notify_all();
}

void WorkerThread::requestStop() {
    if (gate_) gate_->stop.request();
}

bool WorkerThread::stopRequested() const {
    return gate_ && gate_->stop.requested();
}

void WorkerThread::join() {
    if (thread_.joinable()) thread_.join();
}

int bindToFirstCpu() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed)) continue;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        if (sched_setaffinity(0, sizeof one, &one) == 0) return cpu;
    }
    return -1;
}

}  // namespace platform
