// link_bench: ten peers ask for the 150-record history at once; a round lasts from the
// requests until every peer holds every record (each record answered before the next
// comes, as the protocol wants). Both servers run on the benchmark's main thread:
//   Server   the instance-link server on the Qt event loop
//   Plain    a bare poll() loop sending the same frames for the same answers
// Each reports p50_ms and p99_ms over its rounds, and cpu_ms, the p50 of the CPU time the
// server's thread spent in that span (it tells the servers apart when other work loads the
// machine); the program ends with the ratios. The peers are plain blocking sockets on
// threads of their own.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "link/instance_link.h"
#include "platform/message_box.h"

namespace {

using orvelin::link::Buffer;
using Clock = std::chrono::steady_clock;

constexpr int kPeers = 10;
constexpr std::uint32_t kRecords = 150;
constexpr std::uint32_t kNow = 0x5F5E1000;

orvelin::client::CallRing& Ring() {
    static orvelin::client::CallRing ring = [] {
        orvelin::client::CallRing r(kRecords + 1);  // the head slot stays empty
        for (std::uint32_t i = 1; i <= kRecords; ++i) {
            auto& rec = r.at(i);
            rec.id = 1000 + i;
            rec.arrivalSeconds = 3887532309u + i * 60;
            rec.state = 3;
            rec.callerNumber.assign("0301234" + std::to_string(5000 + i));
            rec.callerName.assign("Caller number " + std::to_string(i));
            rec.calledNumber.assign("4711");
            rec.calledName.assign("Office");
            rec.comment.assign("Voice message left");
            rec.filePath.assign("/home/user/orvelin/Messages/" + std::to_string(rec.id) + ".wav");
        }
        return r;
    }();
    return ring;
}

std::uint16_t Get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

bool ReadAll(int fd, std::uint8_t* into, std::size_t n) {
    while (n > 0) {
        const ssize_t got = ::recv(fd, into, n, 0);
        if (got <= 0) return false;
        into += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

bool WriteAll(int fd, const std::uint8_t* from, std::size_t n) {
    while (n > 0) {
        const ssize_t put = ::send(fd, from, n, MSG_NOSIGNAL);
        if (put <= 0) return false;
        from += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

int ConnectTo(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

double CpuMs(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

struct RoundTimes {
    double wallMs = 0;       // 0 when a peer failed
    double serverCpuMs = 0;  // of the calling (server) thread over the same span
};

// One round: ten peers connect, take the greeting, then at one signal ask for the
// history and answer each record. Measures from the signal until the last peer held its
// last record. `serve` runs the server side on the calling thread until `finished`
// reaches the number of peers and it has let them go.
RoundTimes RunRound(std::uint16_t port,
                    const std::function<void(const std::atomic<int>&)>& serve) {
    clockid_t serverClock{};
    if (pthread_getcpuclockid(pthread_self(), &serverClock) != 0) return {};
    std::mutex lastGate;
    double cpuStart = 0;
    double cpuEnd = 0;
    std::mutex gate;
    std::condition_variable opened;
    int ready = 0;
    bool go = false;
    std::atomic<int> finished{0};
    std::atomic<bool> failed{false};
    Clock::time_point start;
    std::vector<Clock::time_point> ends(kPeers);
    std::vector<std::thread> peers;
    QThread* const mainThread = QThread::currentThread();
    for (int p = 0; p < kPeers; ++p) {
        peers.emplace_back([&, p] {
            const int fd = ConnectTo(port);
            std::uint8_t greeting[30];
            if (fd < 0 || !ReadAll(fd, greeting, sizeof greeting)) failed = true;
            {
                std::unique_lock lock(gate);
                ++ready;
                opened.notify_all();
                opened.wait(lock, [&] { return go; });
            }
            const Buffer request = orvelin::link::NewNetMessage(5, 0, kNow);
            const Buffer ack = orvelin::link::NewNetMessage(8, 0, kNow);
            bool ok = !failed && WriteAll(fd, request.data(), request.size());
            std::uint8_t frame[600];
            for (std::uint32_t r = 0; ok && r < kRecords; ++r) {
                ok = ReadAll(fd, frame, 9);
                const std::size_t total = static_cast<std::size_t>(Get16(frame + 1)) + 6;
                ok = ok && frame[0] == 14 && total <= sizeof frame &&
                     ReadAll(fd, frame + 9, total - 9) && WriteAll(fd, ack.data(), ack.size());
            }
            if (!ok) failed = true;
            ends[static_cast<std::size_t>(p)] = Clock::now();
            {
                std::lock_guard lock(lastGate);
                cpuEnd = std::max(cpuEnd, CpuMs(serverClock));
            }
            if (fd >= 0) ::close(fd);
            ++finished;
            if (auto* dispatcher = QAbstractEventDispatcher::instance(mainThread)) {
                dispatcher->wakeUp();
            }
        });
    }
    // The server side runs here while the peers connect, fetch and leave.
    std::thread starter([&] {
        std::unique_lock lock(gate);
        opened.wait(lock, [&] { return ready == kPeers; });
        start = Clock::now();
        cpuStart = CpuMs(serverClock);
        go = true;
        opened.notify_all();
    });
    serve(finished);
    starter.join();
    for (auto& t : peers) t.join();
    if (failed) return {};
    const auto last = *std::max_element(ends.begin(), ends.end());
    return {std::chrono::duration<double, std::milli>(last - start).count(), cpuEnd - cpuStart};
}

std::map<std::string, double> g_p50;
std::map<std::string, double> g_p99;
std::map<std::string, double> g_cpu;

void Report(benchmark::State& state, std::vector<double>& times, std::vector<double>& cpu,
            const char* name) {
    std::sort(times.begin(), times.end());
    std::sort(cpu.begin(), cpu.end());
    if (times.empty()) {
        state.SkipWithError("every round failed");
        return;
    }
    const auto at = [&](double q) {
        return times[std::min(times.size() - 1, static_cast<std::size_t>(q * times.size()))];
    };
    state.counters["p50_ms"] = at(0.50);
    state.counters["p99_ms"] = at(0.99);
    g_p50[name] = at(0.50);
    g_p99[name] = at(0.99);
    state.counters["cpu_ms"] = cpu[cpu.size() / 2];
    g_cpu[name] = cpu[cpu.size() / 2];
}

void BM_Server(benchmark::State& state) {
    orvelin::link::LinkConfig config;
    config.ring = &Ring();
    config.profileDirectories = {"/nonexistent/"};
    config.now = [] { return kNow; };
    orvelin::link::InstanceLinkServer server(std::move(config));
    if (server.Listen("0") != 0) {
        state.SkipWithError("cannot listen");
        return;
    }
    std::vector<double> times;
    std::vector<double> cpu;
    for (auto _ : state) {
        const RoundTimes round = RunRound(server.port(), [&](const std::atomic<int>& finished) {
            while (finished < kPeers || !server.peers().empty()) {
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            }
        });
        if (round.wallMs <= 0) {
            state.SkipWithError("a peer failed");
            return;
        }
        state.SetIterationTime(round.wallMs / 1000);
        times.push_back(round.wallMs);
        cpu.push_back(round.serverCpuMs);
    }
    Report(state, times, cpu, "Server");
}
BENCHMARK(BM_Server)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

// The floor: one poll() loop, frames built once, one send per frame.
void BM_Plain(benchmark::State& state) {
    std::vector<Buffer> frames;
    for (std::uint32_t i = 1; i <= kRecords; ++i) {
        frames.push_back(orvelin::link::BuildCallFrame(Ring().at(i), kNow));
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener, 16) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        state.SkipWithError("cannot listen");
        ::close(listener);
        return;
    }
    const std::uint16_t port = ntohs(a.sin_port);
    const std::string_view greeting = orvelin::link::kGreeting;

    struct Conn {
        int fd;
        std::uint32_t next = 0;
        std::size_t have = 0;
        std::uint8_t in[9];
    };
    std::vector<double> times;
    std::vector<double> cpu;
    for (auto _ : state) {
        const RoundTimes round = RunRound(port, [&](const std::atomic<int>& finished) {
            std::vector<Conn> conns;
            while (finished < kPeers || !conns.empty()) {
                std::vector<pollfd> fds{{listener, POLLIN, 0}};
                for (const Conn& c : conns) fds.push_back({c.fd, POLLIN, 0});
                if (::poll(fds.data(), fds.size(), 1) <= 0) continue;
                if (fds[0].revents & POLLIN) {
                    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                    if (fd >= 0) {
                        WriteAll(fd, reinterpret_cast<const std::uint8_t*>(greeting.data()),
                                 greeting.size());
                        conns.push_back(Conn{fd, 0, 0, {}});
                    }
                }
                for (std::size_t i = 1; i < fds.size(); ++i) {
                    if (!fds[i].revents) continue;
                    Conn& c = conns[i - 1];
                    const ssize_t n = ::recv(c.fd, c.in + c.have, sizeof c.in - c.have, 0);
                    if (n <= 0) {
                        ::close(c.fd);
                        c.fd = -1;
                        continue;
                    }
                    c.have += static_cast<std::size_t>(n);
                    if (c.have < sizeof c.in) continue;
                    c.have = 0;
                    if (c.next < frames.size()) {
                        const Buffer& f = frames[c.next++];
                        WriteAll(c.fd, f.data(), f.size());
                    }
                }
                conns.erase(std::remove_if(conns.begin(), conns.end(),
                                           [](const Conn& c) { return c.fd < 0; }),
                            conns.end());
            }
        });
        if (round.wallMs <= 0) {
            state.SkipWithError("a peer failed");
            break;
        }
        state.SetIterationTime(round.wallMs / 1000);
        times.push_back(round.wallMs);
        cpu.push_back(round.serverCpuMs);
    }
    ::close(listener);
    Report(state, times, cpu, "Plain");
}
BENCHMARK(BM_Plain)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    int qtArgc = 1;
    char name[] = "link_bench";
    char* qtArgv[] = {name, nullptr};
    QCoreApplication app(qtArgc, qtArgv);
    platform::setMessageBoxMode(platform::BoxMode::Headless);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_p99.count("Server") && g_p99.count("Plain") && g_p50["Plain"] > 0 && g_p99["Plain"] > 0) {
        std::printf("history p50: server %.2f ms, plain %.2f ms, ratio %.2f\n", g_p50["Server"],
                    g_p50["Plain"], g_p50["Server"] / g_p50["Plain"]);
        std::printf("history p99: server %.2f ms, plain %.2f ms, ratio %.2f\n", g_p99["Server"],
                    g_p99["Plain"], g_p99["Server"] / g_p99["Plain"]);
        if (g_cpu["Plain"] > 0) {
            std::printf("server thread CPU p50: server %.2f ms, plain %.2f ms, ratio %.2f\n",
                        g_cpu["Server"], g_cpu["Plain"], g_cpu["Server"] / g_cpu["Plain"]);
        }
    }
    return 0;
}
