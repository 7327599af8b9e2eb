// capi_bench: the CAPI layer driven through libcapi20's remote driver by isdnsim, with its
// peers measured in the same run.
//
// Latency, seen from the exchange (p50/p90/p99 in microseconds):
//   TcpRoundTrip        a bare 16-byte request and answer over loopback TCP: the floor
//   Alert/Plain         CONNECT_IND sent to ALERT_REQ received, a plain libcapi20 client
//   Alert/Layer         the same through the layer; x_plain_p50/p99 compare with the client
//   TwoBlocks/Plain     two DATA_B3_IND sent back to back to the second DATA_B3_RESP received
//   TwoBlocks/Layer     the same through the layer (goal: under 1 ms)
// Throughput (x_line_rate: bytes per second over 8,000, one B channel of G.711 audio):
//   DataFromExchange    DATA_B3_IND blocks handed to the window and acknowledged
//   DataToExchange      DATA_B3_REQ blocks sent by the layer and confirmed
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "capi/capi_driver.h"
#include "capi/capi_log.h"
#include "capi/connections.h"
#include "capi/dispatch.h"
#include "platform/app_messages.h"
#include "tools/isdnsim/isdnsim.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kLineRate = 8000.0;  // bytes per second per B channel
constexpr int kCalls = 2000;
constexpr int kBlockPairs = 500;

class Samples {
  public:
    void add(Clock::duration d) {
        us_.push_back(std::chrono::duration<double, std::micro>(d).count());
    }
    double percentile(double p) {
        if (us_.empty()) return 0;
        std::sort(us_.begin(), us_.end());
        size_t i = std::min(us_.size() - 1, size_t(p / 100.0 * double(us_.size())));
        return us_[i];
    }
    // Counters p50_us, p90_us, p99_us; returns {p50, p99}.
    std::pair<double, double> report(benchmark::State& state) {
        double p50 = percentile(50), p90 = percentile(90), p99 = percentile(99);
        state.counters["p50_us"] = p50;
        state.counters["p90_us"] = p90;
        state.counters["p99_us"] = p99;
        return {p50, p99};
    }

  private:
    std::vector<double> us_;
};

// Results of the peers, for the ratios of the layer's rows.
std::pair<double, double> gPlainAlert{0, 0};
std::pair<double, double> gPlainBlocks{0, 0};

void ratio(benchmark::State& state, std::pair<double, double> layer,
           std::pair<double, double> plain) {
    if (plain.first > 0) state.counters["x_plain_p50"] = layer.first / plain.first;
    if (plain.second > 0) state.counters["x_plain_p99"] = layer.second / plain.second;
}

// ---- the floor: a bare round trip ----

void TcpRoundTrip(benchmark::State& state) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        state.SkipWithError("no loopback socket");
        return;
    }
    auto readAll = [](int fd, char* p, size_t n) {
        while (n > 0) {
            ssize_t got = ::read(fd, p, n);
            if (got <= 0) return false;
            p += got;
            n -= size_t(got);
        }
        return true;
    };
    std::thread echo([&] {
        int fd = ::accept(listener, nullptr, nullptr);
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        char buf[16];
        while (readAll(fd, buf, sizeof buf))
            if (::write(fd, buf, sizeof buf) != ssize_t(sizeof buf)) break;
        ::close(fd);
    });
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        state.SkipWithError("no connection");
    } else {
        Samples samples;
        char buf[16] = {};
        for (auto _ : state) {
            auto start = Clock::now();
            if (::write(fd, buf, sizeof buf) != ssize_t(sizeof buf) ||
                !readAll(fd, buf, sizeof buf)) {
                state.SkipWithError("echo failed");
                break;
            }
            auto took = Clock::now() - start;
            samples.add(took);
            state.SetIterationTime(std::chrono::duration<double>(took).count());
        }
        samples.report(state);
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    echo.join();
    ::close(listener);
}
BENCHMARK(TcpRoundTrip)->Iterations(kCalls)->UseManualTime()->Unit(benchmark::kMicrosecond);

// ---- a plain libcapi20 client, as its examples write one ----

class PlainClient {
  public:
    explicit PlainClient(unsigned controller) {
        if (capi20_register(1, 7, 2048, &appl_) != 0) return;
        _cmsg m;
        capi_cmsg_header(&m, uint16_t(appl_), CAPI_LISTEN, CAPI_REQ, 0, controller);
        m.InfoMask = 0;
        m.CIPmask = 0x10012;
        capi_put_cmsg(&m);
        thread_ = std::thread([this] { run(); });
    }
    ~PlainClient() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (appl_) capi20_release(appl_);
    }
    bool registered() const { return appl_ != 0; }
    std::atomic<bool> accept{false};
    std::atomic<int> calls{0};

  private:
    void run() {
        while (!stop_) {
            timeval slice{0, 200000};
            if (capi20_waitformessage(appl_, &slice) != 0) continue;
            _cmsg m;
            if (capi_get_cmsg(&m, appl_) != 0 || m.Subcommand != CAPI_IND) continue;
            handle(m);
        }
    }
    void handle(_cmsg& in) {
        _cmsg out;
        if (in.Command == CAPI_CONNECT) {
            ++calls;
            capi_cmsg_header(&out, uint16_t(appl_), CAPI_ALERT, CAPI_REQ, 0, in.adr.adrPLCI);
            capi_put_cmsg(&out);
            if (!accept) return;
            capi_cmsg_header(&out, uint16_t(appl_), CAPI_CONNECT, CAPI_RESP, in.Messagenumber,
                             in.adr.adrPLCI);
            out.B1protocol = 1;
            out.B2protocol = 1;
            capi_put_cmsg(&out);
            return;
        }
        uint16_t handle = in.DataHandle;
        capi_cmsg_header(&out, uint16_t(appl_), in.Command, CAPI_RESP, in.Messagenumber,
                         in.adr.adrController);
        if (in.Command == CAPI_DATA_B3) out.DataHandle = handle;
        capi_put_cmsg(&out);
    }
    unsigned appl_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// ---- the layer ----

class CountingTarget : public capi::MessageTarget {
  public:
    std::atomic<int> incoming{0};
    std::atomic<int> connected{-1};
    std::atomic<uint64_t> sentConfirmed{0};
    std::atomic<uint64_t> bytesReceived{0};

    bool post(capi::MessageId id, capi::WParam w, capi::LParam l, capi::RecordPtr) override {
        if (id == platform::WM_CAPI_INCOMING_CALL) ++incoming;
        if (id == platform::WM_CAPI_STATE_CHANGED && (l & 0xFFFF) == capi::Connected)
            connected = int(intptr_t(w));
        if (id == platform::WM_CAPI_DATA_SENT) ++sentConfirmed;
        return true;
    }
    std::optional<capi::LResult> send(capi::MessageId id, capi::WParam, capi::LParam,
                                      capi::RecordPtr record) override {
        if (id == platform::WM_CAPI_DATA_RECEIVED)
            if (auto* info = dynamic_cast<capi::ReceivedDataInfo*>(record.get()))
                bytesReceived += info->DataLength;
        return 1;
    }
};

// One exchange for both clients: the layer listens on controller 1, the plain client on 2.
// (libcapi20 closes its control connection at every release and opens it again to the
// configured exchange, so both must talk to the same one.)
constexpr unsigned kLayerController = 1, kPlainController = 2;

struct Layer {
    isdnsim::Exchange exchange{[] {
        isdnsim::Options o;
        o.controllers = {isdnsim::Profile{}, isdnsim::Profile{}};
        return o;
    }()};
    std::shared_ptr<CountingTarget> target = std::make_shared<CountingTarget>();

    Layer() {
        capi::SetRemoteExchange("127.0.0.1", exchange.port());
        capi::LoadCapiDll();
        if (capi::RegisterCAPI(target, 2048) == 0) {
            std::fprintf(stderr, "capi_bench: registration failed\n");
            std::exit(1);
        }
        capi::ClearConnectionTable();
        capi::StartCapiWorker();
        capi::Listen(kLayerController, kLayerController, 1, 0x10012);
        exchange.waitFor(CAPI_LISTEN, CAPI_REQ);
    }
    ~Layer() {
        capi::StopCapiWorker();
        capi::ReleaseCAPI();
    }
    // An accepted voice call with its B3 link up; returns its PLCI.
    uint32_t connectedCall(int* id) {
        target->connected = -1;
        int before = target->incoming;
        uint32_t plci = exchange.ring(isdnsim::CallSetup{});
        exchange.waitUntil([&] { return target->incoming > before; });
        *id = capi::GetConnectionByPLCI(int32_t(plci));
        auto null = capi::MakeNullConfig(0);
        capi::ConnectResp(*id, 0, 1, 1, 0, null.data());
        exchange.waitUntil([&] { return target->connected == *id; });
        return plci;
    }
    void hangUp(uint32_t plci, int id) {
        exchange.hangUp(plci, 0x3490);
        exchange.waitUntil([&] { return !capi::IsConnectionInUse(id); });
    }
    bool idle() const {
        for (int id = 0; id < capi::kConnectionCount; ++id)
            if (capi::IsConnectionInUse(id)) return false;
        return true;
    }
};

Layer& layer() {
    static Layer l;
    return l;
}

PlainClient* plainClient() {
    static PlainClient* client = [] {
        size_t mark = layer().exchange.messageCount();
        auto* c = new PlainClient(kPlainController);
        if (!c->registered() || !layer().exchange.waitFor(CAPI_LISTEN, CAPI_REQ, mark)) {
            delete c;
            return static_cast<PlainClient*>(nullptr);
        }
        return c;
    }();
    return client;
}

// ---- exchange-side measurements, the same for both clients ----

bool isMsg(const isdnsim::Message& m, uint8_t command, uint8_t subcommand, uint32_t plci) {
    return m.command() == command && m.subcommand() == subcommand && (m.address() & 0xFFFF) == plci;
}

// Rings, takes the time to ALERT_REQ, hangs up and waits until `cleared` holds.
template <class Cleared>
std::pair<double, double> alertLoop(benchmark::State& state, isdnsim::Exchange& ex,
                                    unsigned controller, Cleared cleared) {
    Samples samples;
    isdnsim::CallSetup setup;
    setup.controller = controller;
    for (auto _ : state) {
        size_t mark = ex.messageCount();
        auto start = Clock::now();
        uint32_t plci = ex.ring(setup);
        auto alert = ex.waitFor(
            [&](const isdnsim::Message& m) { return isMsg(m, CAPI_ALERT, CAPI_REQ, plci); }, mark);
        if (!alert) {
            state.SkipWithError("no ALERT_REQ");
            break;
        }
        samples.add(alert->received - start);
        state.SetIterationTime(std::chrono::duration<double>(alert->received - start).count());
        ex.hangUp(plci, 0x3490);
        ex.waitFor(
            [&](const isdnsim::Message& m) { return isMsg(m, CAPI_DISCONNECT, CAPI_RESP, plci); },
            mark);
        ex.waitUntil(cleared);
        ex.clearRecord();
    }
    return samples.report(state);
}

// Sends two blocks back to back on a connected call and takes the time to the second answer.
std::pair<double, double> blocksLoop(benchmark::State& state, isdnsim::Exchange& ex,
                                     uint32_t plci) {
    Samples samples;
    isdnsim::Bytes two(320, 0xD5);
    for (auto _ : state) {
        size_t mark = ex.messageCount();
        auto start = Clock::now();
        ex.sendData(plci, two, 160);
        ex.waitUntil([&] { return ex.pendingData(plci) == 0; });
        auto all = ex.messages();
        isdnsim::MessagePtr second;
        int seen = 0;
        for (size_t i = mark; i < all.size() && !second; ++i)
            if (isMsg(*all[i], CAPI_DATA_B3, CAPI_RESP, plci) && ++seen == 2) second = all[i];
        if (!second) {
            state.SkipWithError("no second DATA_B3_RESP");
            break;
        }
        samples.add(second->received - start);
        state.SetIterationTime(std::chrono::duration<double>(second->received - start).count());
    }
    return samples.report(state);
}

void Alert_Plain(benchmark::State& state) {
    PlainClient* client = plainClient();
    if (!client) {
        state.SkipWithError("plain client did not register");
        return;
    }
    client->accept = false;
    gPlainAlert = alertLoop(state, layer().exchange, kPlainController, [] { return true; });
}
BENCHMARK(Alert_Plain)->Iterations(kCalls)->UseManualTime()->Unit(benchmark::kMicrosecond);

void Alert_Layer(benchmark::State& state) {
    auto& l = layer();
    auto result = alertLoop(state, l.exchange, kLayerController, [&] { return l.idle(); });
    ratio(state, result, gPlainAlert);
}
BENCHMARK(Alert_Layer)->Iterations(kCalls)->UseManualTime()->Unit(benchmark::kMicrosecond);

void TwoBlocks_Plain(benchmark::State& state) {
    PlainClient* client = plainClient();
    if (!client) {
        state.SkipWithError("plain client did not register");
        return;
    }
    client->accept = true;
    auto& ex = layer().exchange;
    isdnsim::CallSetup setup;
    setup.controller = kPlainController;
    uint32_t plci = ex.ring(setup);
    if (!ex.waitUntil([&] { return ex.callState(plci) == isdnsim::CallState::B3Up; })) {
        state.SkipWithError("the call did not come up");
        return;
    }
    gPlainBlocks = blocksLoop(state, ex, plci);
    ex.hangUp(plci, 0x3490);
    ex.waitUntil([&] { return ex.callState(plci) == isdnsim::CallState::Cleared; });
    ex.clearRecord();
}
BENCHMARK(TwoBlocks_Plain)->Iterations(kBlockPairs)->UseManualTime()->Unit(benchmark::kMicrosecond);

void TwoBlocks_Layer(benchmark::State& state) {
    auto& l = layer();
    int id = -1;
    uint32_t plci = l.connectedCall(&id);
    auto result = blocksLoop(state, l.exchange, plci);
    ratio(state, result, gPlainBlocks);
    l.hangUp(plci, id);
    l.exchange.clearRecord();
}
BENCHMARK(TwoBlocks_Layer)->Iterations(kBlockPairs)->UseManualTime()->Unit(benchmark::kMicrosecond);

// ---- throughput ----

void DataFromExchange(benchmark::State& state) {
    auto& s = layer();
    s.exchange.configure([](isdnsim::Options& o) { o.keepRecord = false; });
    int id = -1;
    uint32_t plci = s.connectedCall(&id);
    const size_t block = size_t(state.range(0));
    isdnsim::Bytes chunk(block * 64, 0xD5);
    uint64_t bytes = 0;
    auto begin = Clock::now();
    for (auto _ : state) {
        s.exchange.sendData(plci, chunk, block);
        s.exchange.waitUntil([&] { return s.exchange.pendingData(plci) == 0; });
        bytes += chunk.size();
    }
    auto end = Clock::now();
    s.hangUp(plci, id);
    s.exchange.clearRecord();
    state.SetBytesProcessed(int64_t(bytes));
    double seconds = std::chrono::duration<double>(end - begin).count();
    state.counters["x_line_rate"] = double(bytes) / seconds / kLineRate;
}
BENCHMARK(DataFromExchange)->Arg(160)->Arg(2048)->UseRealTime()->Unit(benchmark::kMillisecond);

void DataToExchange(benchmark::State& state) {
    auto& s = layer();
    s.exchange.configure([](isdnsim::Options& o) { o.keepRecord = false; });
    int id = -1;
    uint32_t plci = s.connectedCall(&id);
    const unsigned block = unsigned(state.range(0));
    std::vector<uint8_t> data(block, 0x55);
    uint64_t bytes = 0;
    uint16_t handle = 0;
    auto begin = Clock::now();
    for (auto _ : state) {
        // 64 blocks, at most seven unconfirmed at a time (the registered window).
        uint64_t base = s.target->sentConfirmed;
        for (int i = 0; i < 64; ++i) {
            while (i - int(s.target->sentConfirmed - base) >= int(capi::kMaxB3Blocks))
                std::this_thread::yield();
            if (capi::SendData(id, data.data(), block, handle++, 0) != 0) {
                state.SkipWithError("SendData failed");
                break;
            }
        }
        while (s.target->sentConfirmed - base < 64) std::this_thread::yield();
        bytes += uint64_t(block) * 64;
    }
    auto end = Clock::now();
    s.hangUp(plci, id);
    s.exchange.clearRecord();
    state.SetBytesProcessed(int64_t(bytes));
    double seconds = std::chrono::duration<double>(end - begin).count();
    state.counters["x_line_rate"] = double(bytes) / seconds / kLineRate;
}
BENCHMARK(DataToExchange)->Arg(160)->Arg(2048)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // libcapi20 reads $HOME/.capi20rc at its first call: give it an empty private home.
    char home[] = "/tmp/capi-bench-XXXXXX";
    if (!::mkdtemp(home)) return 1;
    ::setenv("HOME", home, 1);
    capi::SetCapiLogPath(std::string(home) + "/capilog.txt");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return 0;
}
