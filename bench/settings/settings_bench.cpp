// One incoming call's settings reads and caller lookup, on hives of 10, 1,000 and
// 10,000 caller keys. Three rows per size, measured in the same run:
//   Call/store        the program's accessors, each reading "at each use"
//   Call/parsed_tree  baseline: the same reads and lookup on a tree parsed beforehand
//   Call/parse_each   the cost of parsing the hive at each read (21 parses per call)
// Counters: p99_us and p99_cpu_us are the 99th percentiles of one call (elapsed and on
// the thread's own clock); hive_kb is the file size.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "settings/caller_lookup.h"
#include "settings/settings_store.h"

namespace {

using namespace orvelin::settings;

constexpr int kReadsPerCall = 20;  // plus the caller lookup: 21 reads of the hive

std::string scratchDir() {
    static const std::string dir = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "settings-bench.XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        return pattern;
    }();
    return dir;
}

std::string callerNumber(int i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0301%07d", i);
    return buf;
}

// A hive as the settings dialogs leave it: the product key, the MSN key and `callers`
// caller keys with every value the caller form writes.
std::string makeHive(int callers) {
    const std::string path = scratchDir() + "/orvelin-" + std::to_string(callers) + ".reg";
    const platform::Hive hive(path);
    const auto r = hive.update([&](platform::RegNode& root) {
        platform::RegNode* product = root.createSubkey(kProductKey);
        product->setDword("Options", 0x4019);
        product->setBinary("Strip", std::vector<std::uint8_t>{8, 4, 6});
        product->setBinary("Discrete", std::vector<std::uint8_t>{2, 0});
        product->setString("SayWhat", "Call from");
        product->setString("OnCallRun", "/usr/bin/notify-send");
        product->setString("OnCallParams", "%s");
        product->setString("Auth", "0301555;0172999");
        product->setDword("Pitch", 50);
        product->setDword("Speed", 170);
        product->setDword("Volume", 0xFFFFFFFF);
        platform::RegNode* delay = root.createSubkey("SOFTWARE\\ORVELIN\\MSN\\Recording delay");
        platform::RegNode* time = root.createSubkey("SOFTWARE\\ORVELIN\\MSN\\Max recording time");
        for (int m = 1; m <= 10; ++m) {
            delay->setString("MSN" + std::to_string(m), "15");
            time->setString("MSN" + std::to_string(m), "180");
        }
        platform::RegNode* keys = root.createSubkey(kCallersKey);
        for (int i = 0; i < callers; ++i) {
            platform::RegNode* k = keys->createSubkey(callerNumber(i));
            k->setString("Name", "Caller number " + std::to_string(i));
            k->setDword("Reject", 0x10000600u | static_cast<std::uint32_t>(i % 2400));
            k->setDword("PersonalMsg", i % 2);
            k->setDword("RejectMsg", 0);
            k->setString("Passthrough", "1;3");
            k->setBinary("Launch", std::vector<std::uint8_t>{1});
            k->setBinary("LaunchLine", std::vector<std::uint8_t>{255});
            k->setDword("LaunchCIP", 0xFFFFFFFF);
            k->setString("LaunchAtCall", "/usr/local/bin/on-call-program");
            k->setString("AtCallParam", "--number %s --name %n");
            k->setString("LaunchAtClear", "/usr/local/bin/after-call-program");
            k->setString("AtClearParam", "--number %s");
            k->setDword("WaitAtCall", 0);
            k->setDword("WaitAtClear", 0);
            k->setString("PersonalWav", "");
            k->setString("Cellular", "0172" + std::to_string(1000000 + i));
            k->setString("EMail", "caller" + std::to_string(i) + "@example.org");
        }
    });
    if (!r.ok()) std::abort();
    return path;
}

// The reads one incoming call makes (options at each decision step, number rewriting,
// answer timing, speech and the program started at the call), then the lookup.
std::uint64_t callThroughStore(const platform::Hive& hive, const std::string& number) {
    std::uint64_t sink = 0;
    for (int i = 0; i < 9; ++i) sink += GetOptions();
    const auto strip = GetStripSettings();  // reads "Options" again
    sink += strip ? strip->keepLong : 0;
    sink += IsDiscreteMSN(1);
    sink += GetRecordingDelay(0) + GetMaxRecordingTime(0);
    sink += GetAuth().size() + GetSayWhat().size();
    sink += GetOnCallRun().value_or("").size() + GetOnCallParams().size();
    sink += GetPitch() + GetSpeed() + GetVolume();
    sink += lookupCaller(hive, number, false, 1).name.size();
    return sink;
}

// The same values read from one parsed tree.
std::uint64_t callOnTree(const platform::RegNode& root, const std::string& number) {
    const platform::RegNode* product = root.subkey(kProductKey);
    std::uint64_t sink = 0;
    for (int i = 0; i < 10; ++i) sink += product->readDword("Options", 0);
    sink += product->binary("Strip", 3) ? 1 : 0;
    sink += product->binary("Discrete", 2) ? 1 : 0;
    sink += root.subkey("SOFTWARE\\ORVELIN\\MSN\\Recording delay")->readString("MSN1", "").size();
    sink +=
        root.subkey("SOFTWARE\\ORVELIN\\MSN\\Max recording time")->readString("MSN1", "").size();
    sink += product->readString("Auth", "", 127).size() +
            product->readString("SayWhat", "", 511).size();
    sink += product->readString("OnCallRun", "", 259).size();
    sink += product->readString("OnCallParams", "", 259).size();
    sink += product->readDword("Pitch", 0) + product->readDword("Speed", 0) +
            product->readDword("Volume", 0);
    sink += lookupCaller(root.subkey(kCallersKey), number, false, 1).name.size();
    return sink;
}

double p99(std::vector<double>& micros) {
    std::sort(micros.begin(), micros.end());
    return micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

double threadMicros() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// p99_us: elapsed time of one call; p99_cpu_us: the thread's own time for it, which a
// busy machine does not inflate.
template <typename F>
void timedCalls(benchmark::State& state, const std::string& path, F&& call) {
    std::vector<double> wall;
    std::vector<double> cpu;
    int i = 0;
    for (auto _ : state) {
        const std::string number = callerNumber((i++ * 7919) % static_cast<int>(state.range(0)));
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = threadMicros();
        benchmark::DoNotOptimize(call(number));
        cpu.push_back(threadMicros() - cpuStart);
        wall.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    if (wall.empty()) return;
    state.counters["p99_us"] = p99(wall);
    state.counters["p99_cpu_us"] = p99(cpu);
    state.counters["hive_kb"] = static_cast<double>(std::filesystem::file_size(path)) / 1024.0;
}

void callStore(benchmark::State& state) {
    const std::string path = makeHive(static_cast<int>(state.range(0)));
    setenv("ORVELIN_REGISTRY", path.c_str(), 1);
    const platform::Hive hive(path);
    // A file written a moment ago is compared byte for byte at each read until its
    // change time is safely in the past; calls come long after any settings change.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) std::abort();
    const bool coarse = st.st_ctim.tv_nsec % 10000000 == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(coarse ? 2700 : 300));
    callThroughStore(hive, callerNumber(0));
    timedCalls(state, path, [&](const std::string& n) { return callThroughStore(hive, n); });
}

void callParsedTree(benchmark::State& state) {
    const std::string path = makeHive(static_cast<int>(state.range(0)));
    platform::RegNode root;
    if (!platform::Hive(path).load(root).ok()) std::abort();
    timedCalls(state, path, [&](const std::string& n) { return callOnTree(root, n); });
}

void callParseEach(benchmark::State& state) {
    const std::string path = makeHive(static_cast<int>(state.range(0)));
    const platform::Hive hive(path);
    timedCalls(state, path, [&](const std::string& n) {
        std::uint64_t sink = 0;
        for (int i = 0; i <= kReadsPerCall; ++i) {
            platform::RegNode root;
            if (!hive.load(root).ok()) std::abort();
            sink += i < kReadsPerCall ? root.subkey(kProductKey)->readDword("Options", 0)
                                      : lookupCaller(root.subkey(kCallersKey), n, false, 1).rule;
        }
        return sink;
    });
}

}  // namespace

int main(int argc, char** argv) {
    // Each size's three rows side by side.
    for (const int keys : {10, 1000, 10000}) {
        std::string n = "/";  // appended: GCC 12 misreports "lit" + std::string at -O3
        n += std::to_string(keys);
        benchmark::RegisterBenchmark(("Call/store" + n).c_str(), callStore)
            ->Arg(keys)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("Call/parsed_tree" + n).c_str(), callParsedTree)
            ->Arg(keys)
            ->Unit(benchmark::kMicrosecond);
        auto* each = benchmark::RegisterBenchmark(("Call/parse_each" + n).c_str(), callParseEach)
                         ->Arg(keys)
                         ->Unit(benchmark::kMillisecond);
        if (keys >= 10000) each->Iterations(5);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
