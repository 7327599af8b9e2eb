// The single-instance lock, one for the whole machine: every user, every data directory
// and the service share it. By default it is an abstract unix socket name, which needs
// no file anyone could leave behind or lack the rights to; a lock file path (flock)
// scopes it instead, for tests. Either belongs to an open descriptor, so it ends with
// the process (a crash included) and, opened close-on-exec, is never held on by a
// started program.
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

    // ORVELIN_LOCK, else the machine-wide name.
    static std::string defaultPath();

    // Tries once, without waiting. `name` starting with '@' is an abstract socket name
    // (the rest of it); anything else is the path of a lock file. Any lock held before is
    // released first.

    SingleInstanceLock() = default;
    SingleInstanceLock(SingleInstanceLock&& other) noexcept;
    SingleInstanceLock& operator=(SingleInstanceLock&& other) noexcept;
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;
    ~SingleInstanceLock();

    Result acquire(const std::string& path);
    void release();
    bool held() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }

  private:
    int fd_ = -1;
    std::string error_;
};

}  // namespace platform
