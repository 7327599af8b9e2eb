// capi_bench: the CAPI layer driven through libcapi20's remote driver by isdnsim.
//   AlertLatency        time from the exchange sending CONNECT_IND to it receiving ALERT_REQ
//   DataFromExchange    DATA_B3_IND blocks handed to the window and acknowledged
//   DataToExchange      DATA_B3_REQ blocks sent by the layer and confirmed
// The throughput cases report x_line_rate: bytes per second divided by 8,000, the rate of one
// B channel carrying G.711 audio.
#include <benchmark/benchmark.h>
#include <stdlib.h>

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

constexpr double kLineRate = 8000.0;  // bytes per second per B channel

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

struct Setup {
    isdnsim::Exchange exchange{[] {
        isdnsim::Options o;
        o.keepRecord = false;
        return o;
    }()};
    std::shared_ptr<CountingTarget> target = std::make_shared<CountingTarget>();

    Setup() {
        capi::SetRemoteExchange("127.0.0.1", exchange.port());
        capi::LoadCapiDll();
        if (capi::RegisterCAPI(target, 2048) == 0) {
            std::fprintf(stderr, "capi_bench: registration failed\n");
            std::exit(1);
        }
        capi::ClearConnectionTable();
        capi::StartCapiWorker();
        capi::Listen(1, 1, 1, 0x10012);
        exchange.waitFor(CAPI_LISTEN, CAPI_REQ);
    }
    ~Setup() {
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
};

Setup& setup() {
    static Setup s;
    return s;
}

void AlertLatency(benchmark::State& state) {
    auto& s = setup();
    for (auto _ : state) {
        size_t mark = s.exchange.messageCount();
        auto start = std::chrono::steady_clock::now();
        uint32_t plci = s.exchange.ring(isdnsim::CallSetup{});
        auto alert = s.exchange.waitFor(
            [&](const isdnsim::Message& m) {
                return m.command() == CAPI_ALERT && m.subcommand() == CAPI_REQ &&
                       m.address() == plci;
            },
            mark);
        auto end = std::chrono::steady_clock::now();
        if (!alert) {
            state.SkipWithError("no ALERT_REQ");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        s.exchange.hangUp(plci, 0x3490);
        s.exchange.waitFor(CAPI_DISCONNECT, CAPI_RESP, mark);
        s.exchange.waitUntil([] {
            for (int id = 0; id < capi::kConnectionCount; ++id)
                if (capi::IsConnectionInUse(id)) return false;
            return true;
        });
        s.exchange.clearRecord();
    }
}
BENCHMARK(AlertLatency)->UseManualTime()->Unit(benchmark::kMicrosecond);

void DataFromExchange(benchmark::State& state) {
    auto& s = setup();
    int id = -1;
    uint32_t plci = s.connectedCall(&id);
    const size_t block = size_t(state.range(0));
    isdnsim::Bytes chunk(block * 64, 0xD5);
    uint64_t bytes = 0;
    auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) {
        s.exchange.sendData(plci, chunk, block);
        s.exchange.waitUntil([&] { return s.exchange.pendingData(plci) == 0; });
        bytes += chunk.size();
    }
    auto end = std::chrono::steady_clock::now();
    s.hangUp(plci, id);
    state.SetBytesProcessed(int64_t(bytes));
    double seconds = std::chrono::duration<double>(end - begin).count();
    state.counters["x_line_rate"] = double(bytes) / seconds / kLineRate;
}
BENCHMARK(DataFromExchange)->Arg(160)->Arg(2048)->UseRealTime()->Unit(benchmark::kMillisecond);

void DataToExchange(benchmark::State& state) {
    auto& s = setup();
    int id = -1;
    uint32_t plci = s.connectedCall(&id);
    const unsigned block = unsigned(state.range(0));
    std::vector<uint8_t> data(block, 0x55);
    uint64_t bytes = 0;
    uint16_t handle = 0;
    auto begin = std::chrono::steady_clock::now();
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
    auto end = std::chrono::steady_clock::now();
    s.hangUp(plci, id);
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
