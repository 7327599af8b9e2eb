// link_bench: ten peers ask for the 150-record history at once; a round lasts from the
// requests until every peer holds every record. The protocol keeps two records of a
// history on their way to each peer, and the peer answers each record as it comes.
// Both servers run on the benchmark's main thread:
//   Server   the instance-link server on the Qt event loop, with the program's log sink
//            writing to a log file as the program's does
//   Plain    a bare poll() loop keeping the same two records ahead with the same frames
//   KernelFloor  what one record's send and answer read cost the server thread in the
//                kernel, by where the woken peer runs
// Each server reports p50_ms and p99_ms over its rounds, and cpu_ms / cpu_p99_ms, the CPU
// time the server's thread spent in that span (it tells the servers apart when other work
// loads the machine); the program ends with the ratios and the kernel's bounds per round.
// The peers are plain blocking sockets on threads of their own; they take whatever has
// arrived in each read, several records or part of one, and answer every complete record.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
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

#include "capi/capi_log.h"
#include "link/instance_link.h"
#include "link/link_log.h"
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

// One record frame when no other is on its way: read in one call once it has arrived.
bool ReadFrame(int fd, std::uint8_t* frame, std::size_t capacity) {
    std::size_t have = 0;
    std::size_t total = capacity;
    while (have < total) {
        const ssize_t got = ::recv(fd, frame + have, capacity - have, 0);
        if (got <= 0) return false;
        have += static_cast<std::size_t>(got);
        if (have >= 9) total = static_cast<std::size_t>(Get16(frame + 1)) + 6;
    }
    return frame[0] == 14 && have == total;
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

// The peer's side of a history: the request, then an answer to every record, in one
// write for all the records one read completed. False when the records are not the
// ring's, in order, each whole.
bool FetchHistory(int fd) {
    const Buffer request = orvelin::link::NewNetMessage(5, 0, kNow);
    const Buffer ack = orvelin::link::NewNetMessage(8, 0, kNow);
    if (!WriteAll(fd, request.data(), request.size())) return false;
    Buffer in;
    Buffer answers;
    std::uint8_t chunk[8192];
    std::uint32_t got = 0;
    while (got < kRecords) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        in.insert(in.end(), chunk, chunk + n);
        std::size_t pos = 0;
        answers.clear();
        while (in.size() - pos >= 13) {
            const std::uint8_t* f = in.data() + pos;
            const std::size_t total = static_cast<std::size_t>(Get16(f + 1)) + 6;
            if (f[0] != 14 || total > 590 || total < 13) return false;
            if (in.size() - pos < total) break;
            const std::uint32_t id = f[9] | (f[10] << 8) | (f[11] << 16) |
                                     (static_cast<std::uint32_t>(f[12]) << 24);
            if (id != 1001 + got) return false;
            ++got;
            pos += total;
            answers.insert(answers.end(), ack.begin(), ack.end());
        }
        in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(pos));
        if (!answers.empty() && !WriteAll(fd, answers.data(), answers.size())) return false;
    }
    return in.empty();
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

// One round: ten peers connect, take the greeting, then at one signal fetch the
// history. Measures from the signal until the last peer held its
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
            if (failed || !FetchHistory(fd)) failed = true;
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
std::map<std::string, double> g_floor;

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
    state.counters["cpu_p99_ms"] = cpu[std::min(cpu.size() - 1, cpu.size() * 99 / 100)];
    g_cpu[name] = cpu[cpu.size() / 2];
}

void BM_Server(benchmark::State& state) {
    char logDir[] = "/tmp/link_bench-XXXXXX";
    if (!::mkdtemp(logDir)) {
        state.SkipWithError("no log folder");
        return;
    }
    const std::string logPath = std::string(logDir) + "/capilog.txt";
    capi::SetCapiLogPath(logPath);
    orvelin::link::LinkConfig config;
    config.ring = &Ring();
    config.profileDirectories = {"/nonexistent/"};
    config.log = orvelin::link::UserLogSink(capi::WriteCapiLog);
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
    capi::SetCapiLogPath("");
    ::unlink(logPath.c_str());
    ::rmdir(logDir);
    Report(state, times, cpu, "Server");
}
BENCHMARK(BM_Server)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

// The floor: one poll() loop, frames built once, one send per frame, the same two
// records of the history ahead of each peer, answers read as they come.
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
        std::size_t next = 0;      // the next record to send
        std::size_t awaiting = 0;  // sent, not yet answered
        bool history = false;
        std::size_t have = 0;
        std::uint8_t in[512];
    };
    const auto sendNext = [&](Conn& c) {
        const std::size_t limit = c.history ? 2 : 1;
        while (c.awaiting < limit && c.next < frames.size()) {
            const Buffer& f = frames[c.next++];
            WriteAll(c.fd, f.data(), f.size());
            ++c.awaiting;
        }
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
                        // As the server does: a frame never waits for the last one's ACK.
                        const int on = 1;
                        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                        WriteAll(fd, reinterpret_cast<const std::uint8_t*>(greeting.data()),
                                 greeting.size());
                        conns.push_back(Conn{fd, 0, 0, false, 0, {}});
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
                    std::size_t pos = 0;
                    for (; c.have - pos >= 9; pos += 9) {
                        if (c.in[pos] == 5) {
                            if (!c.history && c.next == 0) c.history = true;
                        } else if (c.in[pos] == 8 && c.awaiting > 0) {
                            --c.awaiting;
                            if (c.next == frames.size() && c.awaiting == 0) c.history = false;
                        }
                        sendNext(c);
                    }
                    std::copy(c.in + pos, c.in + c.have, c.in);
                    c.have -= pos;
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

// The kernel's part per record: the server thread's CPU for one record frame sent to a
// peer asleep in recv (the send runs the peer's TCP receive and wakes it), for the same
// frame with nobody waiting, and for reading the 9-byte answer once it has arrived. Every
// record costs a round at most one waking send and one answer read on the server's
// thread, whatever the server does around them.
void BM_KernelFloor(benchmark::State& state) {
    const Buffer frame = orvelin::link::BuildCallFrame(Ring().at(1), kNow);
    const Buffer ack = orvelin::link::NewNetMessage(8, 0, kNow);
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int server = -1;
    int peer = -1;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::listen(listener, 1) == 0 &&
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        peer = ConnectTo(ntohs(a.sin_port));
        server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    ::close(listener);
    if (server < 0 || peer < 0) {
        state.SkipWithError("no loopback connection");
        if (server >= 0) ::close(server);
        if (peer >= 0) ::close(peer);
        return;
    }
    const int on = 1;
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    clockid_t self{};
    pthread_getcpuclockid(pthread_self(), &self);
    const auto us = [&] { return CpuMs(self) * 1000; };

    constexpr int kRoundTrips = kPeers * static_cast<int>(kRecords);
    constexpr int kBatch = 20;  // frames left unread at a time: well inside the buffers
    // Where the sleeping peer runs decides what its wake-up costs: on the sender's own
    // processor it is queued there; on another one the sender has to kick that processor.
    // In the ten-peer rounds the server thread stays busy, so the peers wake elsewhere.
    cpu_set_t original;
    CPU_ZERO(&original);
    pthread_getaffinity_np(pthread_self(), sizeof original, &original);
    int serverCpu = -1;
    int otherCpu = -1;
    for (int c = 0; c < CPU_SETSIZE; ++c) {
        if (!CPU_ISSET(c, &original)) continue;
        if (serverCpu < 0) {
            serverCpu = c;
        } else if (otherCpu < 0) {
            otherCpu = c;
        }
    }
    const auto pin = [](int c) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(c, &one);
        return pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0;
    };
    std::vector<double> waking, wakingHere, lone, answer, clockCost;
    if (otherCpu < 0 || !pin(serverCpu)) {
        state.SkipWithError("needs two processors it may run on");
        ::close(server);
        ::close(peer);
        return;
    }
    bool ok = true;
    for (auto _ : state) {
        for (const bool here : {false, true}) {
            std::thread answering([&] {
                std::uint8_t in[600];
                if (!pin(here ? serverCpu : otherCpu)) {
                    ::shutdown(peer, SHUT_WR);  // the server side stops at once
                    return;
                }
                for (int i = 0; i < kRoundTrips; ++i) {
                    if (!ReadFrame(peer, in, sizeof in) ||
                        !WriteAll(peer, ack.data(), ack.size())) {
                        ::shutdown(peer, SHUT_WR);
                        return;
                    }
                }
            });
            std::uint8_t in[600];
            for (int i = 0; ok && i < kRoundTrips; ++i) {
                const double t0 = us();
                ok = WriteAll(server, frame.data(), frame.size());
                const double t1 = us();
                pollfd p{server, POLLIN, 0};
                ok = ok && ::poll(&p, 1, -1) == 1;
                const double t2 = us();
                ok = ok && ReadAll(server, in, 9);
                const double t3 = us();
                (here ? wakingHere : waking).push_back(t1 - t0);
                answer.push_back(t3 - t2);
            }
            if (!ok) ::shutdown(server, SHUT_RDWR);  // lets a peer waiting for a frame go
            answering.join();
        }
        std::uint8_t in[600];
        for (int b = 0; ok && b < kRoundTrips / kBatch; ++b) {
            for (int i = 0; ok && i < kBatch; ++i) {
                const double t0 = us();
                ok = WriteAll(server, frame.data(), frame.size());
                lone.push_back(us() - t0);
            }
            for (int i = 0; ok && i < kBatch; ++i) ok = ReadAll(peer, in, frame.size());
        }
        for (int i = 0; i < kRoundTrips; ++i) {
            const double t0 = us();
            clockCost.push_back(us() - t0);
        }
    }
    pthread_setaffinity_np(pthread_self(), sizeof original, &original);
    ::close(server);
    ::close(peer);
    if (!ok) {
        state.SkipWithError("loopback transfer failed");
        return;
    }
    const auto median = [](std::vector<double>& v) {
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    // Each figure has one clock reading's worth of cost in it.
    const double clock = median(clockCost);
    const double wakingUs = std::max(0.0, median(waking) - clock);
    const double wakingHereUs = std::max(0.0, median(wakingHere) - clock);
    const double loneUs = std::max(0.0, median(lone) - clock);
    const double answerUs = std::max(0.0, median(answer) - clock);
    state.counters["waking_send_us"] = wakingUs;
    state.counters["waking_here_send_us"] = wakingHereUs;
    state.counters["lone_send_us"] = loneUs;
    state.counters["answer_read_us"] = answerUs;
    g_floor["waking"] = wakingUs;
    g_floor["here"] = wakingHereUs;
    g_floor["lone"] = loneUs;
    g_floor["answer"] = answerUs;
}
BENCHMARK(BM_KernelFloor)->Iterations(3)->Unit(benchmark::kMillisecond);

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
    if (g_floor.count("waking")) {
        // Every record costs the server one waking send and one answer read; where the
        // peer wakes sets the price, so a round's server CPU lies between these bounds.
        const double records = kPeers * kRecords;
        std::printf("kernel per record: send waking the peer on another processor %.2f us, "
                    "on the same one %.2f us, nobody waiting %.2f us; answer read %.2f us\n",
                    g_floor["waking"], g_floor["here"], g_floor["lone"], g_floor["answer"]);
        std::printf("server thread per round for sends and reads alone: %.2f ms (peers woken "
                    "on its processor) to %.2f ms (each on another)\n",
                    (g_floor["here"] + g_floor["answer"]) * records / 1000,
                    (g_floor["waking"] + g_floor["answer"]) * records / 1000);
    }
    return 0;
}
