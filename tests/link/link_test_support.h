// What the link tests share: one QApplication for the binary, a plain blocking-
// connect TCP peer that reads without blocking while the event loop runs, a window that
// records socket notifications, and a private temporary directory.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QTest>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "link/stream_socket.h"
#include "platform/app_window.h"
#include "tests/support/qt_environment.h"

namespace link_test {

using orvelin::link::Buffer;


inline constexpr int kWaitMs = 5000;

// Runs the event loop until pred holds (at most kWaitMs).
template <class Pred>
bool waitFor(Pred pred) {
    return QTest::qWaitFor(pred, kWaitMs);
}

// Lets every message that is already queued run: a few rounds of the event loop.
inline void settle() {
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

class TestDir {
  public:
    TestDir() {
        const char* base = std::getenv("ORVELIN_TEST_TMP");
        std::filesystem::path root =
            base && *base ? base : std::filesystem::temp_directory_path();
        std::filesystem::create_directories(root);
        std::string tmpl = (root / "link-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TestDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string str() const { return path_.string() + "/"; }
    void write(const std::string& name, const std::string& text) const {
        std::ofstream(path_ / name, std::ios::binary | std::ios::trunc) << text;
    }

  private:
    std::filesystem::path path_;
};

// The far end of a connection, as a peer program would hold it.
class Peer {
  public:
    // receiveBuffer: a small value makes a peer that does not read fill up quickly.
    explicit Peer(std::uint16_t port, int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0) {
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        const int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~Peer() { closeNow(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool connected() const { return connected_; }

    void send(const Buffer& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }
    void send(std::string_view text) const { send(Buffer(text.begin(), text.end())); }

    // Takes what has arrived without waiting; notes end of stream.
    void poll() {
        std::uint8_t chunk[65536];
        for (;;) {
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) {
                received_.insert(received_.end(), chunk, chunk + n);
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) closed_ = true;
            return;
        }
    }
    // Waits until n bytes are there and takes them; empty when they did not come.
    Buffer read(std::size_t n) {
        waitFor([&] {
            poll();
            return received_.size() >= n || closed_;
        });
        if (received_.size() < n) return {};
        Buffer out(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(n));
        received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(n));
        return out;
    }
    // Waits until the other side has closed.
    bool waitClosed() {
        return waitFor([&] {
            poll();
            return closed_;
        });
    }
    // What has arrived so far, after letting queued work run.
    std::size_t pending() {
        settle();
        poll();
        return received_.size();
    }
    bool closed() const { return closed_; }
    // Closes with a reset instead of an orderly close.
    void reset() {
        linger l{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        closeNow();
    }
    void closeNow() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    std::uint16_t localPort() const {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
    Buffer received_;
};

}  // namespace link_test
