#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

namespace platform {

namespace {

// The abstract namespace belongs to the network namespace, not to a user or a file
// system: the name is released by the kernel when the last descriptor closes.
SingleInstanceLock::Result bindAbstract(std::string_view name, int& fdOut, std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.empty() || name.size() + 1 > sizeof address.sun_path) {
        error = "unusable instance lock name @" + std::string(name);
        return SingleInstanceLock::Result::Error;
    }
    name.copy(address.sun_path + 1, name.size());  // sun_path[0] stays 0: abstract
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("cannot make the instance lock socket: ") + std::strerror(errno);
        return SingleInstanceLock::Result::Error;
    }
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EADDRINUSE) {
            error = "another instance holds @" + std::string(name);
            return SingleInstanceLock::Result::HeldElsewhere;
        }
        error = "cannot take the instance lock @" + std::string(name) + ": " + std::strerror(err);
        return SingleInstanceLock::Result::Error;
    }
    fdOut = fd;
    return SingleInstanceLock::Result::Acquired;
}

}  // namespace

std::string SingleInstanceLock::defaultPath() {
    const char* env = std::getenv("ORVELIN_LOCK");
    if (env && *env) return env;
    return "@Vigil-VigilFirstInstanceProvidedByBrennholt";
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
    if (!path.empty() && path.front() == '@')
        return bindAbstract(std::string_view(path).substr(1), fd_, error_);
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
