// answering_bench: the time from a caller's hang-up to the voice message on disk.
//   HangUpToMessage      the real program (headless) against isdnsim: a caller leaves 3 s
//                        after the greeting and hangs up; the clock runs from the exchange's
//                        DISCONNECT_IND until the WAVE file exists and the call-table file
//                        holds the record as "Voice Message" (polled every 0.5 ms)
//   ConvertAndSave       baseline, in this process: the same 3 s of raw line audio
//                        converted to WAVE and a call-table file of 150 records written,
//                        the least work the program has to do after the hang-up
// Both rows report milliseconds; their ratio is the program's overhead (message passing,
// threads, the clearing itself, the text log and the reads of this poll).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>

#include "client/call_ring.h"
#include "client/call_table_file.h"
#include "media/soundconv.h"
#include "tests/e2e/e2e_calls.h"
#include "tools/isdnsim/isdnsim.h"

namespace {

using namespace e2e;
using isdnsim::Bytes;

constexpr std::size_t kMessageBytes = 3 * 8000 + 160;
constexpr std::uint32_t kVoiceMessage = 4;

Bytes lineAudio(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = std::uint8_t(i * 37 + (i >> 7));
    return b;
}

std::size_t filesIn(const fs::path& dir) {
    std::error_code ec;
    std::size_t n = 0;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        ++n;
    return n;
}

struct Rig {
    Rig() {
        writeHive(dir.path(), "answering.reg", freePort());
        for (const char* folder : {"Answer", "Alw", "Messages", "FaxIn"})
            fs::create_directories(home() / folder);
        // A short greeting: the bench is about what follows the hang-up.
        Bytes wave{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                   16, 0, 0, 0, 1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0,
                   'd', 'a', 't', 'a', 0, 0, 0, 0};
        const std::uint32_t samples = 800;
        wave.resize(wave.size() + samples, 128);
        const std::uint32_t riff = std::uint32_t(wave.size() - 8);
        for (int i = 0; i < 4; ++i) {
            wave[4 + i] = std::uint8_t(riff >> (8 * i));
            wave[40 + i] = std::uint8_t(samples >> (8 * i));
        }
        std::ofstream(home() / "Answer" / "Welcome1.wav", std::ios::binary)
            .write(reinterpret_cast<const char*>(wave.data()), std::streamsize(wave.size()));
        program = std::make_unique<Program>(
            dir.path(), std::vector<std::string>{"ORVELIN_CAPI_REMOTE=127.0.0.1:" +
                                                 std::to_string(exchange.port())});
        ready = exchange.waitFor(CAPI_LISTEN, CAPI_REQ, 0, std::chrono::seconds(60)) &&
                program->waitFor(kLimit, [&] {
                    return program->errors().find("watching the lines") != std::string::npos;
                });
    }
    fs::path home() const { return dir.path() / "home"; }

    TempDir dir;
    isdnsim::Exchange exchange;
    std::unique_ptr<Program> program;
    bool ready = false;
};

void HangUpToMessage(benchmark::State& state) {
    Rig rig;
    if (!rig.ready) {
        state.SkipWithError("the program did not come up");
        return;
    }
    const Bytes talk = lineAudio(kMessageBytes);
    unsigned caller = 0;
    for (auto _ : state) {
        const std::string from = "04011" + std::to_string(100000 + caller++);
        isdnsim::CallSetup setup;
        setup.calling = from;
        setup.called = "456";
        const std::uint32_t plci = rig.exchange.ring(setup);
        const bool recording = plci != 0 && rig.program->waitFor(kLimit, [&] {
            return filesIn(rig.home() / "Alw" / "MSN1") > 0;
        });
        if (!recording) {
            state.SkipWithError("the call was not answered");
            return;
        }
        rig.exchange.sendData(plci, talk);
        rig.exchange.waitUntil([&] { return rig.exchange.pendingData(plci) == 0; });

        const auto start = Clock::now();
        rig.exchange.hangUp(plci, 0x3490);
        bool done = false;
        while (!done && Clock::now() - start < kLimit) {
            const auto calls = savedCalls(rig.home());
            const TCallRecord* r = calls ? callFrom(*calls, from) : nullptr;
            done = r && r->state == kVoiceMessage && fs::exists(std::string(r->filePath.view()));
            if (!done) std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        const auto stop = Clock::now();
        if (!done) {
            state.SkipWithError("no voice message on disk");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
        rig.exchange.waitUntil(
            [&] { return rig.exchange.callState(plci) == isdnsim::CallState::Cleared; });
    }
}
BENCHMARK(HangUpToMessage)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

void ConvertAndSave(benchmark::State& state) {
    TempDir dir;
    const fs::path raw = dir.path() / "MSG.alw";
    const Bytes talk = lineAudio(kMessageBytes);
    std::ofstream(raw, std::ios::binary)
        .write(reinterpret_cast<const char*>(talk.data()), std::streamsize(talk.size()));
    CallRing ring(kRingSize);
    const std::vector<std::uint8_t> image = ring.snapshot();
    const fs::path table = dir.path() / "ORVELIN.DAT";
    for (auto _ : state) {
        orvelin::media::CSoundConv conv(raw.string(), (dir.path() / "MSG.wav").string(), true,
                                        true, 0, 0, 0);
        std::string error;
        if (!conv.Convert() || !orvelin::client::writeCallTable(table, image, &error)) {
            state.SkipWithError("conversion or save failed");
            return;
        }
    }
}
BENCHMARK(ConvertAndSave)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
