#include "capi/driver_connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <thread>

namespace capi {
namespace {

bool isStreamSocket(int fd) {
    int type = 0;
    socklen_t len = sizeof type;
    return fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 &&
           type == SOCK_STREAM;
}

}  // namespace

bool SetNoDelay(int fd) {
    if (!isStreamSocket(fd)) return false;
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        (addr.ss_family != AF_INET && addr.ss_family != AF_INET6))
        return false;
    int on = 1;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

DriverConnection::DriverConnection(int fd) : fd_(fd), watched_(isStreamSocket(fd)) {}

void DriverConnection::setLowWater(int bytes) {
    if (bytes == lowWater_) return;
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes) == 0) lowWater_ = bytes;
}

DriverConnection::Wait DriverConnection::waitForFrame(std::chrono::milliseconds timeout,
                                                      DriverFrame& frame) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    ssize_t before = -1;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd_, POLLIN | POLLRDHUP, 0};
        int ready = ::poll(&p, 1, int(std::max<long>(0, left.count())));
        if (ready < 0 && errno != EINTR) return Wait::Closed;
        if (ready <= 0) {
            if (Clock::now() >= deadline) return Wait::Timeout;
            continue;
        }
        if (p.revents & POLLNVAL) return Wait::Closed;
        unsigned char head[kMaxDriverFrame];
        ssize_t queued = ::recv(fd_, head, sizeof head, MSG_PEEK | MSG_DONTWAIT);
        if (queued == 0) return Wait::Closed;
        if (queued < 0) {
            if (errno != EAGAIN && errno != EINTR) return Wait::Closed;
            continue;
        }
        // Whatever else is still to come, the peer has stopped sending.
        bool ended = p.revents & (POLLRDHUP | POLLHUP | POLLERR);
        size_t want = 2;
        if (queued >= 2) {
            want = size_t(head[0]) << 8 | head[1];
            if (want < 2 || want > kMaxDriverFrame) return Wait::Corrupt;
            if (size_t(queued) >= want) {
                setLowWater(1);
                frame.payload = want - 2;
                frame.messageLength = want >= 4 ? size_t(head[2] | head[3] << 8) : 0;
                // The command bytes and DataLength of a DATA_B3_IND (0x86, 0x82); the
                // DataLength only when the frame holds it.
                frame.dataIndication = want >= 2 + kCapiHeaderSize && head[6] == 0x86 && head[7] == 0x82;
                frame.dataLength = frame.dataIndication && want >= 20 ? size_t(head[18] | head[19] << 8) : 0;
                return Wait::Frame;
            }
        }
        if (ended) return Wait::Closed;
        // Sleep in poll until the rest is there.
        setLowWater(int(want));
        // A poll that ignores the low-water mark comes back at once; do not spin on it.
        if (queued == before) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        before = queued;
        if (Clock::now() >= deadline) return Wait::Timeout;
    }
}

}  // namespace capi
