#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/paths.h"

namespace platform {

std::string SingleInstanceLock::defaultPath() {
    const char* env = std::getenv("ORVELIN_LOCK");
    if (env && *env) return env;
    return joinPath(programDirectory(), "orvelin.lock");
}

SingleInstanceLock::SingleInstanceLock(SingleInstanceLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), error_(std::move(other.error_)) {}

SingleInstanceLock& SingleInstanceLock::operator=(SingleInstanceLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
        error_ = std::move(other.error_);
    }
    return *this;
}

SingleInstanceLock::~SingleInstanceLock() {
    release();
}

void SingleInstanceLock::release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

SingleInstanceLock::Result SingleInstanceLock::acquire(const std::string& path) {
    release();
    error_.clear();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error_ = "cannot open lock file " + path + ": " + std::strerror(errno);
        return Result::Error;
    }
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK) {
            error_ = "another instance holds " + path;
            return Result::HeldElsewhere;
        }
        error_ = "cannot lock " + path + ": " + std::strerror(err);
        return Result::Error;
    }
    fd_ = fd;
    return Result::Acquired;
}

}  // namespace platform
