// The single-instance lock: an exclusive flock on a lock file. The lock belongs to the
// open file description, so it ends with the process (a crash included) and, opened
// close-on-exec, is never held on by a started program.
#pragma once

#include <string>

namespace platform {

class SingleInstanceLock {
  public:
    enum class Result {
        Acquired,
        HeldElsewhere,  // another instance holds the lock
        Error,          // the lock file cannot be opened or locked; see error()
    };

    // ORVELIN_LOCK, else <program directory>orvelin.lock.
    static std::string defaultPath();

    SingleInstanceLock() = default;
    SingleInstanceLock(SingleInstanceLock&& other) noexcept;
    SingleInstanceLock& operator=(SingleInstanceLock&& other) noexcept;
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;
    ~SingleInstanceLock();

    // Tries once, without waiting. Any lock held before is released first.
    Result acquire(const std::string& path);
    void release();
    bool held() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }

  private:
    int fd_ = -1;
    std::string error_;
};

}  // namespace platform
