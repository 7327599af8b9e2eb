// The call ring at 150, 10,000 and 100,000 records ("MaxCalls" default, large, the
// allowed maximum). Rows of one size run side by side, each beside its baseline:
//
//   Rebuild/model            the call list rebuilt from a full ring (every start-up)
//   Rebuild/rows_only        baseline: the same rows made into a vector made ready for them
//   Rebuild/front_insert     the list as it was: each row inserted at the top, its ring
//                            index found by a scan (150 and 10,000 only: quadratic)
//   Burst/saver              100 record updates in a row: find by id, update the row, save
//   Burst/snapshot_each      the same with a whole-ring snapshot per update, as it was
//   Burst/plain_write        baseline: one plain write of the whole file
//   StartUp/load             a full call-table file loaded, listed and saved once again
//   StartUp/read_file        baseline: the file's bytes read into memory
//
// Burst rows count window-thread time only (the writer's time is its own); counters give
// the files written per burst (writes) and the bytes they carried (MB).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "client/call_history.h"
#include "client/call_list_model.h"
#include "client/call_ring.h"
#include "client/call_table_file.h"
#include "client/call_writers.h"

namespace {

using namespace orvelin::client;

constexpr int kBurst = 100;

std::string scratchDir() {
    static const std::string dir = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "call-table-bench.XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        return pattern + "/";
    }();
    return dir;
}

ArrivalTime arrival(std::uint32_t i) {
    ArrivalTime a;
    a.seconds1901 = 3'900'000'000u + i;
    a.local = {2026, 12, 3, 9, 8, 15, static_cast<std::uint16_t>(i % 60), 0};
    return a;
}

// Every slot in use with the texts a real call leaves behind.
void fill(CallRing& ring) {
    for (std::uint32_t i = 0; i < ring.size(); ++i) {
        TCallRecord& r = ring.takeNew(arrival(i), {true, true}, scratchDir());
        r.callerNumber.assign("0301" + std::to_string(1000000 + i));
        r.callerName.assign("Caller number " + std::to_string(i));
        r.calledNumber.assign("5551");
        r.calledName.assign("Office");
        r.cip = i % 3 ? 1 : 17;
        r.setState(i % 3 ? CallState::VoiceMessage : CallState::Fax);
        r.count = static_cast<std::uint16_t>(i % 300);
        r.filePath.assign(scratchDir() + "Messages/MSN1/" + std::to_string(i) + ".wav");
    }
}

const CallRing& fullRing(std::uint32_t size) {
    static std::vector<std::unique_ptr<CallRing>> rings;
    for (const auto& r : rings)
        if (r->size() == size) return *r;
    rings.push_back(std::make_unique<CallRing>(size));
    fill(*rings.back());
    return *rings.back();
}

CallListModel::Hooks quietHooks() {
    return {[](int) {}, [] {}, [](std::string_view) { return 0; }};
}

void rebuildModel(benchmark::State& state) {
    const CallRing& ring = fullRing(static_cast<std::uint32_t>(state.range(0)));
    CallListModel model(ring, quietHooks());
    for (auto _ : state) {
        model.rebuild();
        benchmark::DoNotOptimize(model.rows().size());
    }
}

void rebuildRowsOnly(benchmark::State& state) {
    const CallRing& ring = fullRing(static_cast<std::uint32_t>(state.range(0)));
    for (auto _ : state) {
        std::vector<CallRow> rows;
        rows.reserve(ring.size());
        for (const std::uint32_t i : ring.walkOrder())
            rows.push_back(makeCallRow(ring.at(i), false));
        benchmark::DoNotOptimize(rows.data());
    }
}

void rebuildFrontInsert(benchmark::State& state) {
    const CallRing& ring = fullRing(static_cast<std::uint32_t>(state.range(0)));
    for (auto _ : state) {
        std::vector<CallRow> rows;
        for (const std::uint32_t i : ring.walkOrder()) {
            const TCallRecord& r = ring.at(i);
            int index = -1;  // the ring index for the network clients, by a scan from 0
            for (std::uint32_t k = 0; k < ring.size() && index < 0; ++k)
                if (ring.at(k).id == r.id) index = static_cast<int>(k);
            benchmark::DoNotOptimize(index);
            rows.insert(rows.begin(), makeCallRow(r, false));
        }
        benchmark::DoNotOptimize(rows.data());
    }
}

// One burst on a full ring: the newest records change state one after another.
template <typename Save>
void burst(benchmark::State& state, Save&& save) {
    const auto size = static_cast<std::uint32_t>(state.range(0));
    CallRing ring = fullRing(size);
    const std::filesystem::path file = scratchDir() + "burst-" + std::to_string(size) + ".dat";
    CallTableSaver saver(file, [](std::string_view line) {
        std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    });
    CallListModel model(
        ring, {[](int) {}, [&] { save(saver, ring); }, [](std::string_view) { return 0; }});
    model.rebuild();
    saver.save(ring);
    saver.flush();
    const std::uint32_t newestId = ring.at((ring.head() + size - 1) % size).id;
    std::uint64_t writes = 0;
    std::uint64_t round = 0;
    for (auto _ : state) {
        const std::uint64_t before = saver.writes();
        const auto start = std::chrono::steady_clock::now();
        for (int k = 0; k < kBurst; ++k) {
            TCallRecord* r = ring.find(newestId - static_cast<std::uint32_t>(k) % size);
            r->setState(round % 2 ? CallState::ReadVoiceMessage : CallState::VoiceMessage);
            r->count = static_cast<std::uint16_t>(k + round);
            model.updateCallRow(*r);
        }
        const auto elapsed = std::chrono::steady_clock::now() - start;
        saver.flush();
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        writes += saver.writes() - before;
        ++round;
    }
    const double perBurst = static_cast<double>(writes) / static_cast<double>(round);
    state.counters["writes"] = perBurst;
    state.counters["MB"] = perBurst * static_cast<double>(CallRing::fileSize(size)) / 1e6;
}

void burstSaver(benchmark::State& state) {
    burst(state, [](CallTableSaver& saver, CallRing& ring) { saver.save(ring); });
}

void burstSnapshotEach(benchmark::State& state) {
    burst(state, [](CallTableSaver& saver, const CallRing& ring) { saver.save(ring.snapshot()); });
}

void burstPlainWrite(benchmark::State& state) {
    const auto size = static_cast<std::uint32_t>(state.range(0));
    const std::vector<std::uint8_t> image = fullRing(size).snapshot();
    const std::filesystem::path file = scratchDir() + "plain-" + std::to_string(size) + ".dat";
    for (auto _ : state) {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()),
                  static_cast<std::streamsize>(image.size()));
        out.flush();
    }
    state.counters["MB"] = static_cast<double>(image.size()) / 1e6;
}

std::string startUpHome(std::uint32_t size) {
    const std::string home = scratchDir() + "home-" + std::to_string(size) + "/";
    std::filesystem::create_directories(home);
    if (!writeCallTable(callTablePath(home), fullRing(size).snapshot(), nullptr)) std::abort();
    return home;
}

void startUpLoad(benchmark::State& state) {
    const auto size = static_cast<std::uint32_t>(state.range(0));
    const std::string home = startUpHome(size);
    for (auto _ : state) {
        CallHistory history({home, size, {}, {}, {}});
        history.load();
        history.startSave();  // the first save after start-up hands over the whole ring
        if (history.list().rows().size() + 1 != size) std::abort();
        state.PauseTiming();
        history.flush();
        state.ResumeTiming();
    }
}

void startUpReadFile(benchmark::State& state) {
    const auto size = static_cast<std::uint32_t>(state.range(0));
    const std::string home = startUpHome(size);
    for (auto _ : state) {
        std::ifstream in(callTablePath(home), std::ios::binary);
        std::vector<char> bytes(CallRing::fileSize(size));
        in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        benchmark::DoNotOptimize(bytes.data());
    }
}

}  // namespace

int main(int argc, char** argv) {
    using benchmark::RegisterBenchmark;
    for (const int size : {150, 10000, 100000}) {
        std::string n = "/";  // appended: GCC 12 misreports "lit" + std::string at -O3
        n += std::to_string(size);
        const auto unit = size >= 10000 ? benchmark::kMillisecond : benchmark::kMicrosecond;
        RegisterBenchmark(("Rebuild/model" + n).c_str(), rebuildModel)->Arg(size)->Unit(unit);
        RegisterBenchmark(("Rebuild/rows_only" + n).c_str(), rebuildRowsOnly)
            ->Arg(size)
            ->Unit(unit);
        if (size <= 10000) {
            RegisterBenchmark(("Rebuild/front_insert" + n).c_str(), rebuildFrontInsert)
                ->Arg(size)
                ->Unit(unit)
                ->Iterations(size >= 10000 ? 3 : 200);
        }
        RegisterBenchmark(("Burst/saver" + n).c_str(), burstSaver)
            ->Arg(size)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Iterations(size >= 100000 ? 3 : 20);
        RegisterBenchmark(("Burst/snapshot_each" + n).c_str(), burstSnapshotEach)
            ->Arg(size)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Iterations(size >= 100000 ? 1 : 5);
        RegisterBenchmark(("Burst/plain_write" + n).c_str(), burstPlainWrite)
            ->Arg(size)
            ->Unit(benchmark::kMillisecond);
        RegisterBenchmark(("StartUp/load" + n).c_str(), startUpLoad)
            ->Arg(size)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(size >= 100000 ? 3 : 20);
        RegisterBenchmark(("StartUp/read_file" + n).c_str(), startUpReadFile)
            ->Arg(size)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
