// Calls of the real program seen from outside: the call-table file, the instance link and
// the program's hive, shared by the end-to-end call tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "client/call_ring.h"
#include "client/call_table_file.h"
#include "tests/e2e/e2e_support.h"

namespace e2e {

using orvelin::client::CallRing;
using orvelin::client::TCallRecord;

constexpr std::uint32_t kRingSize = 150;

inline std::uint16_t freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

inline std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The calls in the call-table file, nullopt when it does not load.
inline std::optional<std::vector<TCallRecord>> savedCalls(const fs::path& home) {
    CallRing ring(kRingSize);
    bool bad = false;
    const fs::path file = orvelin::client::callTablePath(home.string() + "/");
    if (!orvelin::client::loadCallTable(file, ring, [&](std::string_view) { bad = true; }) || bad)
        return std::nullopt;
    std::vector<TCallRecord> calls;
    for (std::uint32_t i : ring.walkOrder())
        if (ring.at(i).inUse()) calls.push_back(ring.at(i));
    return calls;
}

inline const TCallRecord* callFrom(const std::vector<TCallRecord>& calls, std::string_view caller) {
    auto it = std::find_if(calls.begin(), calls.end(),
                           [&](const TCallRecord& r) { return r.callerNumber.view() == caller; });
    return it == calls.end() ? nullptr : &*it;
}

// A peer of the instance link: takes every call record and accepts it.
class LinkPeer {
  public:
    struct Call {
        std::uint32_t state = 0;
        std::string text;
    };

    explicit LinkPeer(std::uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~LinkPeer() { close(fd_); }
    bool connected() const { return connected_; }

    // Reads what arrived within `ms`, answering each call frame with an accept.
    void pump(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return;
        char buf[4096];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            closed_ = true;
            return;
        }
        in_.append(buf, std::size_t(n));
        parse();
    }
    bool closed() const { return closed_; }
    const std::vector<Call>& calls() const { return calls_; }
    // The first 30 bytes the program sent.
    const std::string& greeting() const { return greeting_; }

  private:
    void parse() {
        if (!greeted_) {
            if (in_.size() < 30) return;
            greeting_ = in_.substr(0, 30);
            in_.erase(0, 30);
            greeted_ = true;
        }
        while (in_.size() >= 9) {
            const auto* b = reinterpret_cast<const std::uint8_t*>(in_.data());
            const std::size_t length = b[1] | b[2] << 8;
            const std::size_t whole = b[0] == 14 ? length + 6 : length;
            if (whole < 9 || in_.size() < whole) return;
            if (b[0] == 14 && whole > 45) {
                Call c;
                c.state = b[29] | b[30] << 8 | b[31] << 16 | std::uint32_t(b[32]) << 24;
                c.text.assign(in_.data() + 45, strnlen(in_.data() + 45, whole - 45));
                calls_.push_back(c);
                const std::uint8_t accept[9] = {8, 9, 0, 0, 1, 0, 0, 0, 0};
                send(fd_, accept, sizeof accept, MSG_NOSIGNAL);
            }
            in_.erase(0, whole);
        }
    }

    int fd_ = -1;
    bool connected_ = false;
    bool greeted_ = false;
    std::string greeting_;
    bool closed_ = false;
    std::string in_;
    std::vector<Call> calls_;
};

// The fixture hive `name` with the instance-link port filled in, as dir/home/orvelin.reg.
inline void writeHive(const fs::path& dir, const std::string& name, std::uint16_t linkPort) {
    fs::create_directories(dir / "home");
    std::string hive = readFile(fs::path(ORVELIN_FIXTURES) / name);
    char port[16];
    std::snprintf(port, sizeof port, "%08x", unsigned(linkPort));
    hive.replace(hive.find("dword:@HOSTPORT@") + 6, 10, port);
    std::ofstream(dir / "home" / "orvelin.reg") << hive;
}

}  // namespace e2e
