#include "capi/driver_connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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
            if (want < 2) return Wait::Corrupt;
            if (want > kMaxDriverFrame) {
                setLowWater(1);
                frame = DriverFrame{};
                frame.length = want;
                return Wait::Oversized;
            }
            if (size_t(queued) >= want) {
                setLowWater(1);
                frame.length = want;
                frame.payload = want - 2;
                std::memset(frame.head, 0, sizeof frame.head);
                std::memcpy(frame.head, head + 2, std::min(frame.payload, sizeof frame.head));
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

bool DriverConnection::discard(size_t bytes, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    unsigned char sink[kMaxDriverFrame];
    while (bytes > 0) {
        ssize_t got = ::recv(fd_, sink, std::min(bytes, sizeof sink), MSG_DONTWAIT);
        if (got > 0) {
            bytes -= size_t(got);
            continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EINTR)) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        ::poll(&p, 1, int(left.count()));
    }
    return true;
}

bool DriverConnection::sendFrame(const unsigned char* message, size_t length) {
    if (length + 2 > kMaxDriverFrame) return false;
    unsigned char frame[kMaxDriverFrame];
    frame[0] = uint8_t((length + 2) >> 8);
    frame[1] = uint8_t(length + 2);
    std::memcpy(frame + 2, message, length);
    size_t sent = 0;
    while (sent < length + 2) {
        ssize_t n = ::send(fd_, frame + sent, length + 2 - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += size_t(n);
    }
    return true;
}

}  // namespace capi
