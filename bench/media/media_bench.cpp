// Samples per second of the G.711 coder and the gain control, and the time to
// turn a 30-second CD-quality WAVE into a greeting, each printed next to sox
// doing the same job in the same run. sox times include its start-up and file
// I/O; inputs are large enough (16 M samples) for those to matter little.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "media/g711.h"

namespace {

using orvelin::media::GainState;

constexpr size_t Samples = size_t{1} << 24;
const std::string LibraryPath = std::string(ORVELIN_BUILD_DIR) + "/libsundrel.so";
std::string g_dir;

const std::vector<int16_t>& Linear() {
    static const std::vector<int16_t> v = [] {
        std::vector<int16_t> x(Samples);
        for (size_t i = 0; i < x.size(); ++i)
            x[i] = static_cast<int16_t>(20000 * std::sin(static_cast<double>(i) * 0.05) *
                                        std::sin(static_cast<double>(i) * 0.0001));
        return x;
    }();
    return v;
}

const std::vector<uint8_t>& ALaw() {
    static const std::vector<uint8_t> v = [] {
        std::vector<uint8_t> a(Samples);
        for (size_t i = 0; i < a.size(); ++i) a[i] = orvelin::media::LinearToALaw(Linear()[i]);
        return a;
    }();
    return v;
}

void BM_Encode(benchmark::State& state) {
    const auto& in = Linear();
    std::vector<uint8_t> out(in.size());
    for (auto _ : state) {
        for (size_t i = 0; i < in.size(); ++i) out[i] = orvelin::media::LinearToALaw(in[i]);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_Encode)->Unit(benchmark::kMillisecond);

void BM_Decode(benchmark::State& state) {
    const auto& in = ALaw();
    std::vector<int16_t> out(in.size());
    for (auto _ : state) {
        for (size_t i = 0; i < in.size(); ++i) out[i] = orvelin::media::ALawToLinear(in[i]);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_Decode)->Unit(benchmark::kMillisecond);

void BM_Gain(benchmark::State& state) {
    const auto& in = Linear();
    std::vector<int16_t> out(in.size());
    for (auto _ : state) {
        GainState g;
        g.Configure(4000.0, 650, 130);
        for (size_t i = 0; i < in.size(); ++i) out[i] = orvelin::media::AdjustGain(g, in[i]);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_Gain)->Unit(benchmark::kMillisecond);

using ConvertFn = int32_t (*)(const char*, const char*, uint8_t, int32_t, int32_t, int32_t);

// Bound, called and unloaded per conversion, as the answering machine does.
void BM_Greeting(benchmark::State& state) {
    const std::string src = g_dir + "/cd.wav", dst = g_dir + "/Call0.alw";
    for (auto _ : state) {
        void* lib = dlopen(LibraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        auto fn = lib ? reinterpret_cast<ConvertFn>(dlsym(lib, "_SndConvertFile")) : nullptr;
        if (fn == nullptr || fn(src.c_str(), dst.c_str(), 1, 4000, 650, 130) != 1) {
            state.SkipWithError("conversion failed");
            if (lib) dlclose(lib);
            break;
        }
        dlclose(lib);
    }
}
BENCHMARK(BM_Greeting)->Unit(benchmark::kMillisecond)->MinTime(2.0);

class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& r : runs) {
            const auto items = r.counters.find("items_per_second");
            results[r.run_name.function_name] = {items != r.counters.end() ? double(items->second) : 0.0,
                                           r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit)};
        }
        ConsoleReporter::ReportRuns(runs);
    }
    struct Result {
        double itemsPerSecond;
        double secondsPerIteration;
    };
    std::map<std::string, Result> results;
};

int Shell(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Best of three runs, in seconds; negative when sox failed.
double TimeSox(const std::string& args) {
    double best = -1;
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (Shell("sox " + args) != 0) return -1;
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (best < 0 || s < best) best = s;
    }
    return best;
}

void WriteFile(const std::string& path, const void* data, size_t size) {
    std::ofstream(path, std::ios::binary).write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    char pattern[] = "/tmp/media-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    g_dir = pattern;
    const bool haveSox = Shell("command -v sox") == 0;
    if (haveSox) {
        Shell("sox -n -r 44100 -c 2 -b 16 " + g_dir + "/cd.wav synth 30 sine 440 sine 1000 vol 0.4");
        WriteFile(g_dir + "/lin.raw", Linear().data(), Linear().size() * 2);
        WriteFile(g_dir + "/alaw.raw", ALaw().data(), ALaw().size());
    } else {
        std::printf("sox not installed: no peer measurements, no greeting source\n");
        benchmark::AddCustomContext("sox", "missing");
    }

    Collector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    if (haveSox) {
        const std::string raw16 = "-t raw -r 8000 -c 1 -e signed-integer -b 16 ";
        const std::string rawA = "-t raw -r 8000 -c 1 -e a-law ";
        struct Peer {
            const char* job;
            const char* ours;
            std::string sox;
            bool rate;
        };
        const std::vector<Peer> peers = {
            {"A-law encode (samples/s)", "BM_Encode", raw16 + g_dir + "/lin.raw " + rawA + g_dir + "/o.raw", true},
            {"A-law decode (samples/s)", "BM_Decode", rawA + g_dir + "/alaw.raw " + raw16 + g_dir + "/o.raw", true},
            {"gain control (samples/s; sox compand)", "BM_Gain",
             raw16 + g_dir + "/lin.raw " + raw16 + g_dir + "/o.raw compand 0.002,0.016 -60,-60,-20,-18,0,-18 0 -90 0",
             true},
            {"30 s CD WAVE to greeting (s)", "BM_Greeting",
             g_dir + "/cd.wav -r 8000 -c 1 -e a-law " + g_dir + "/o.wav", false},
        };
        std::printf("\n%-40s %14s %14s %8s\n", "job", "ours", "sox", "ratio");
        for (const auto& p : peers) {
            const double soxSeconds = TimeSox(p.sox);
            const auto it = reporter.results.find(p.ours);
            if (soxSeconds < 0 || it == reporter.results.end()) {
                std::printf("%-40s %14s\n", p.job, "not measured");
                continue;
            }
            if (p.rate) {
                const double soxRate = static_cast<double>(Samples) / soxSeconds;
                std::printf("%-40s %14.3g %14.3g %7.1fx\n", p.job, it->second.itemsPerSecond, soxRate,
                            it->second.itemsPerSecond / soxRate);
            } else {
                std::printf("%-40s %14.4f %14.4f %7.1fx\n", p.job, it->second.secondsPerIteration, soxSeconds,
                            soxSeconds / it->second.secondsPerIteration);
            }
        }
        std::printf("(ratio > 1: ours faster)\n");
    }
    benchmark::Shutdown();
    std::filesystem::remove_all(g_dir);
    return 0;
}
