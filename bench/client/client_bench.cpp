// client_bench: the client window (offscreen) against isdnsim, through libcapi20's remote
// driver, the CAPI worker, the incoming-call decision, the list and the call-table saver.
//   OneCall      time from the exchange sending CONNECT_IND to the call's row listed and
//                its record on disk (the call-table file flushed)
//   Burst/100    100 calls rung back to back (each hung up at once, so the ten connections
//                suffice) until all 100 are listed and on disk; reports calls_per_second
// The program directory is a fresh temporary directory; no instance-link peer, no speech.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "capi/capi.h"
#include "client/window/client_window.h"
#include "platform/message_box.h"
#include "tools/isdnsim/isdnsim.h"

namespace {

using namespace orvelin::client;

struct Rig {
    Rig() {
        char tmpl[] = "/tmp/client-bench-XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("ORVELIN_HOME", (dir + "/").c_str(), 1);
        std::ofstream(dir + "/orvelin.reg")
            << "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\MSN]\n\"Log Settings\"=hex:01,00\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\MSN\\Numbers]\n\"MSN1\"=\"456\"\n";
        isdnsim::Options options;
        options.keepRecord = false;
        exchange = std::make_unique<isdnsim::Exchange>(options);
        capi::SetRemoteExchange("127.0.0.1", exchange->port());
        capi::SetCapiLogPath(dir + "/capilog.txt");
        platform::setMessageBoxMode(platform::BoxMode::Headless);
        ClientWindowConfig config;
        config.programDir = dir + "/";
        config.hostPort = [] { return 0u; };
        window = std::make_unique<ClientWindow>(std::move(config));
        window->setupWindow();
    }
    ~Rig() {
        window->cleanupWindow();
        window.reset();
        exchange.reset();
        std::filesystem::remove_all(dir);
    }

    // Processes events until the list's newest row is the call from `caller`.
    bool waitListed(const std::string& caller) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            const auto& rows = window->history().list().rows();
            if (!rows.empty() && rows.front().text[kColumnCallerNumber] == caller) return true;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        }
        return false;
    }

    std::string dir;
    std::unique_ptr<isdnsim::Exchange> exchange;
    std::unique_ptr<ClientWindow> window;
    unsigned next = 0;
};

Rig* rig = nullptr;

std::string callerNumber(unsigned n) {
    char text[16];
    std::snprintf(text, sizeof text, "0301%07u", n);
    return text;
}

void OneCall(benchmark::State& state) {
    if (!rig->window->capiEnabled()) {
        state.SkipWithError("CAPI did not come up");
        return;
    }
    for (auto _ : state) {
        isdnsim::CallSetup setup;
        setup.calling = callerNumber(++rig->next);
        setup.called = "456";
        const std::uint32_t plci = rig->exchange->ring(setup);
        if (!rig->waitListed(*setup.calling)) {
            state.SkipWithError("call not listed");
            return;
        }
        rig->window->history().flush();
        state.PauseTiming();
        rig->exchange->hangUp(plci, 0x3490);
        rig->waitListed(*setup.calling);
        rig->window->history().flush();
        state.ResumeTiming();
    }
}
BENCHMARK(OneCall)->Unit(benchmark::kMillisecond)->UseRealTime();

void Burst(benchmark::State& state) {
    if (!rig->window->capiEnabled()) {
        state.SkipWithError("CAPI did not come up");
        return;
    }
    const unsigned calls = unsigned(state.range(0));
    for (auto _ : state) {
        std::string last;
        for (unsigned i = 0; i < calls; ++i) {
            isdnsim::CallSetup setup;
            setup.calling = last = callerNumber(++rig->next);
            setup.called = "456";
            const std::uint32_t plci = rig->exchange->ring(setup);
            rig->exchange->hangUp(plci, 0x3490);
        }
        if (!rig->waitListed(last)) {
            state.SkipWithError("burst not listed");
            return;
        }
        rig->window->history().flush();
    }
    state.counters["calls_per_second"] =
        benchmark::Counter(double(calls) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(Burst)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    Rig r;
    rig = &r;
    benchmark::RunSpecifiedBenchmarks();
    rig = nullptr;
    return 0;
}
