// Worker threads: std::thread with a start gate (a thread "created suspended" runs its
// body only once resumed), an optional lowest priority, and a stop flag that the body
// can wait on with a time-out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace platform {

// A stop request that can be waited for; shared by the owner and the worker.
class StopFlag {
  public:
    void request();
    bool requested() const;
    // Waits at most `timeout`; true when stop was requested (at once if it already was).
    bool waitFor(std::chrono::milliseconds timeout) const;

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool requested_ = false;
};

struct WorkerOptions {
    bool startSuspended = false;  // the body waits for resume()
    bool lowestPriority = false;  // nice 19 for this thread only
};

class WorkerThread {
  public:
    WorkerThread() = default;
    // Starts the thread at once; the body runs at once or after resume().
    explicit WorkerThread(std::function<void(StopFlag&)> body, WorkerOptions options = {});
    WorkerThread(WorkerThread&&) noexcept = default;
    WorkerThread& operator=(WorkerThread&& other) noexcept;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;
    // Requests stop and joins. A thread never resumed ends without running its body.
    ~WorkerThread();

    void resume();
    void requestStop();
    bool stopRequested() const;
    bool joinable() const { return thread_.joinable(); }
    void join();

  private:
    struct Gate;
    void finish();

    std::unique_ptr<Gate> gate_;
    std::thread thread_;
};

// Binds the calling thread, and the threads it starts afterwards, to the first CPU of
// its allowed set that accepts the binding. Call before any other thread starts.
// Returns that CPU's number, or -1 (and the allowed set unchanged) when none does.
int bindToFirstCpu();

}  // namespace platform
