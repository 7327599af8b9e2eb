// Samples per second of our G.711 coding next to spandsp's coder and a plain
// look-up table, all three in this one run over the same samples and codes,
// compiled with the same flags. spandsp's coders are inline functions of its
// header, so its loops get every chance ours get.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <spandsp/telephony.h>
#include <spandsp/bit_operations.h>
#include <spandsp/g711.h>
}

#include "media/g711.h"

namespace {

namespace m = orvelin::media;

constexpr size_t Samples = size_t{1} << 22;

// Speech-like: a tone whose level wanders over 60 dB, so every segment is used.
const std::vector<int16_t>& Linear() {
    static const std::vector<int16_t> v = [] {
        std::vector<int16_t> x(Samples);
        for (size_t i = 0; i < x.size(); ++i) {
            const double t = static_cast<double>(i);
            const double level = std::pow(10.0, -3.0 * (0.5 + 0.5 * std::sin(t * 0.00013)));
            x[i] = static_cast<int16_t>(32000 * level * std::sin(t * 0.37) * std::sin(t * 0.011));
        }
        return x;
    }();
    return v;
}

template <uint8_t (*Encode)(int)>
const std::vector<uint8_t>& Codes() {
    static const std::vector<uint8_t> v = [] {
        std::vector<uint8_t> c(Samples);
        for (size_t i = 0; i < c.size(); ++i) c[i] = Encode(Linear()[i]);
        return c;
    }();
    return v;
}

uint8_t OurALaw(int x) { return m::LinearToALaw(x); }
uint8_t OurMuLaw(int x) { return m::LinearToMuLaw(x); }

// The plain tables: every result stored, indexed by the sample or the code.
struct PlainTables {
    std::vector<uint8_t> alawOf = std::vector<uint8_t>(65536), mulawOf = std::vector<uint8_t>(65536);
    std::vector<int16_t> ofAlaw = std::vector<int16_t>(256), ofMulaw = std::vector<int16_t>(256);
    PlainTables() {
        for (int i = 0; i < 65536; ++i) {
            alawOf[static_cast<size_t>(i)] = linear_to_alaw(static_cast<int16_t>(i));
            mulawOf[static_cast<size_t>(i)] = linear_to_ulaw(static_cast<int16_t>(i));
        }
        for (int c = 0; c < 256; ++c) {
            ofAlaw[static_cast<size_t>(c)] = alaw_to_linear(static_cast<uint8_t>(c));
            ofMulaw[static_cast<size_t>(c)] = ulaw_to_linear(static_cast<uint8_t>(c));
        }
    }
};
const PlainTables& Plain() {
    static const PlainTables t;
    return t;
}

template <typename F>
void EncodeLoop(benchmark::State& state, F encode) {
    const auto& in = Linear();
    std::vector<uint8_t> out(in.size());
    for (auto _ : state) {
        for (size_t i = 0; i < in.size(); ++i) out[i] = encode(in[i]);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

template <typename F>
void DecodeLoop(benchmark::State& state, const std::vector<uint8_t>& in, F decode) {
    std::vector<int16_t> out(in.size());
    for (auto _ : state) {
        for (size_t i = 0; i < in.size(); ++i) out[i] = decode(in[i]);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void BM_ALawEncode_Ours(benchmark::State& s) { EncodeLoop(s, [](int16_t x) { return m::LinearToALaw(x); }); }
void BM_ALawEncode_Spandsp(benchmark::State& s) { EncodeLoop(s, [](int16_t x) { return linear_to_alaw(x); }); }
void BM_ALawEncode_Table(benchmark::State& s) {
    const uint8_t* t = Plain().alawOf.data();
    EncodeLoop(s, [t](int16_t x) { return t[static_cast<uint16_t>(x)]; });
}
void BM_ALawDecode_Ours(benchmark::State& s) {
    DecodeLoop(s, Codes<OurALaw>(), [](uint8_t a) { return m::ALawToLinear(a); });
}
void BM_ALawDecode_Spandsp(benchmark::State& s) {
    DecodeLoop(s, Codes<OurALaw>(), [](uint8_t a) { return alaw_to_linear(a); });
}
void BM_ALawDecode_Table(benchmark::State& s) {
    const int16_t* t = Plain().ofAlaw.data();
    DecodeLoop(s, Codes<OurALaw>(), [t](uint8_t a) { return t[a]; });
}
// Ours goes through A-law (one stored step); spandsp codes mu-law directly.
void BM_MuLawEncode_Ours(benchmark::State& s) { EncodeLoop(s, [](int16_t x) { return m::LinearToMuLaw(x); }); }
void BM_MuLawEncode_Spandsp(benchmark::State& s) { EncodeLoop(s, [](int16_t x) { return linear_to_ulaw(x); }); }
void BM_MuLawEncode_Table(benchmark::State& s) {
    const uint8_t* t = Plain().mulawOf.data();
    EncodeLoop(s, [t](int16_t x) { return t[static_cast<uint16_t>(x)]; });
}
void BM_MuLawDecode_Ours(benchmark::State& s) {
    DecodeLoop(s, Codes<OurMuLaw>(), [](uint8_t u) { return m::MuLawToLinear(u); });
}
void BM_MuLawDecode_Spandsp(benchmark::State& s) {
    DecodeLoop(s, Codes<OurMuLaw>(), [](uint8_t u) { return ulaw_to_linear(u); });
}
void BM_MuLawDecode_Table(benchmark::State& s) {
    const int16_t* t = Plain().ofMulaw.data();
    DecodeLoop(s, Codes<OurMuLaw>(), [t](uint8_t u) { return t[u]; });
}

#define G711_BENCH(job)                                            \
    BENCHMARK(BM_##job##_Ours)->Unit(benchmark::kMillisecond);    \
    BENCHMARK(BM_##job##_Spandsp)->Unit(benchmark::kMillisecond); \
    BENCHMARK(BM_##job##_Table)->Unit(benchmark::kMillisecond)
G711_BENCH(ALawEncode);
G711_BENCH(ALawDecode);
G711_BENCH(MuLawEncode);
G711_BENCH(MuLawDecode);

class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& r : runs) {
            const auto items = r.counters.find("items_per_second");
            if (items != r.counters.end()) rates[r.run_name.function_name] = items->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Linear();
    Plain();
    Codes<OurALaw>();
    Codes<OurMuLaw>();
    Collector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\n%-14s %14s %14s %14s %10s %10s\n", "samples/s", "ours", "spandsp", "table", "/spandsp",
                "/table");
    for (const char* job : {"ALawEncode", "ALawDecode", "MuLawEncode", "MuLawDecode"}) {
        const std::string base = std::string("BM_") + job + "_";
        const double ours = reporter.rates[base + "Ours"], peer = reporter.rates[base + "Spandsp"],
                     table = reporter.rates[base + "Table"];
        if (ours <= 0 || peer <= 0 || table <= 0) {
            std::printf("%-14s not measured\n", job);
            continue;
        }
        std::printf("%-14s %14.4g %14.4g %14.4g %9.2fx %9.2fx\n", job, ours, peer, table, ours / peer, ours / table);
    }
    std::printf("(ratio > 1: ours faster)\n");
    benchmark::Shutdown();
    return 0;
}
