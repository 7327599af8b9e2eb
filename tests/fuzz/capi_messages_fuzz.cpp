// Every CAPI message the program receives comes from the driver or, with the
// remote driver, from an exchange across the network. The input is a series of
// messages the exchange sends; they travel the way the program receives them
// (the socket, libcapi20's fetch, the worker's frame checks, the decoding and
// the dispatch), and the program must drop or act on each, never read outside
// what arrived, and stay able to receive.
//
// Input: one control byte (bit 0: only calls to configured numbers are alerted;
// bit 1: an outgoing call waits for its CONNECT_CONF in slot 0), then messages,
// each a little-endian u16 length and that many bytes (the last one cut to what
// is left).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "capi/capi_driver.h"
#include "capi/capi_log.h"
#include "capi/connections.h"
#include "capi/dispatch.h"
#include "capi/driver_connection.h"
#include "capi/target.h"
#include "platform/app_messages.h"
#include "tests/fuzz/scratch_dir.h"
#include "tools/isdnsim/isdnsim.h"

namespace {

// The main window: takes every post, and reads every received block whole while
// it is lent, as the program's window does.
class Window : public capi::MessageTarget {
  public:
    bool post(capi::MessageId, capi::WParam, capi::LParam, capi::RecordPtr) override { return true; }
    std::optional<capi::LResult> send(capi::MessageId id, capi::WParam, capi::LParam,
                                      capi::RecordPtr record) override {
        if (id == platform::WM_CAPI_DATA_RECEIVED) {
            const auto* info = dynamic_cast<const capi::ReceivedDataInfo*>(record.get());
            if (info == nullptr) std::abort();
            unsigned sum = 0;
            for (uint16_t i = 0; i < info->DataLength; ++i) sum += info->Data[i];
            volatile unsigned sink = sum;
            (void)sink;
        }
        return 1;
    }
};

std::string LogPath() { return fuzzsupport::ScratchDir() + "/capilog.txt"; }

isdnsim::Exchange& TheExchange() {
    static isdnsim::Exchange* exchange = [] {
        // libcapi20 must not find a user's configuration.
        setenv("HOME", fuzzsupport::ScratchDir().c_str(), 1);
        isdnsim::Options options;
        options.muted = true;  // the input is all the exchange says
        auto* ex = new isdnsim::Exchange(options);
        capi::SetRemoteExchange("127.0.0.1", ex->port());
        capi::SetCapiLogPath(LogPath());
        if (capi::LoadCapiDll() != 1) std::abort();
        return ex;
    }();
    return *exchange;
}

void StartLayer() {
    static std::shared_ptr<Window> window = std::make_shared<Window>();
    if (capi::RegisterCAPI(window, 2048) == 0 || !capi::StartCapiWorker()) {
        std::fprintf(stderr, "cannot register with the simulated exchange\n");
        std::abort();
    }
    // The worker must not outlive the process's statics.
    static const bool once = (std::atexit([] {
                                  capi::StopCapiWorker();
                                  capi::ReleaseCAPI();
                              }),
                              true);
    (void)once;
}

// The worker ends only where it must: after a frame that no reader could follow
// (which it logs) when registering again failed too; the harness then starts over.
void RestartLayer() {
    std::ifstream log(LogPath());
    const std::string text{std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>()};
    if (text.find("Error: unreadable frame from the ISDN driver") == std::string::npos) {
        std::fprintf(stderr, "the CAPI worker stopped receiving:\n%s", text.c_str());
        std::abort();
    }
    capi::StopCapiWorker();
    capi::ReleaseCAPI();
    StartLayer();
}

uint16_t gMarker = 0x8000;

// The worker has handled everything sent before a marker INFO_IND (for no call)
// once the marker's INFO_RESP arrives. False when the worker ended instead.
bool Settle(isdnsim::Exchange& ex) {
    const uint16_t number = gMarker;
    gMarker = uint16_t(gMarker == 0xFFFF ? 0x8000 : gMarker + 1);
    _cmsg marker;
    capi_cmsg_header(&marker, 0, CAPI_INFO, CAPI_IND, number, 0x7F7F01);
    marker.InfoNumber = 0x8001;
    ex.sendToApplication(marker);
    return ex.waitUntil(
        [&] {
            if (!capi::CapiWorkerRunning()) return true;
            for (const auto& m : ex.find(CAPI_INFO, CAPI_RESP))
                if (m->number() == number) return true;
            return false;
        },
        std::chrono::seconds(20)) &&
           capi::CapiWorkerRunning();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    isdnsim::Exchange& ex = TheExchange();
    static bool started = (StartLayer(), true);
    (void)started;
    if (size == 0) return 0;
    ex.clearRecord();
    std::error_code ignored;
    std::filesystem::resize_file(LogPath(), 0, ignored);
    capi::ResetConnectionsForTesting();
    capi::ResetDispatchForTesting();
    const bool configuredOnly = (data[0] & 1) != 0;
    capi::SetOptionsReader([configuredOnly]() -> std::optional<uint32_t> {
        return configuredOnly ? capi::kOptionConfiguredNumbersOnly : 0u;
    });
    capi::TheConfiguredNumberList().set(";456;0;");
    if (data[0] & 2) {
        int id = -1;
        capi::Connect(&id, "0301234567", "456", 0x2, 1, 1, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    for (std::size_t at = 1; at + 2 <= size;) {
        std::size_t length = data[at] | std::size_t{data[at + 1]} << 8;
        at += 2;
        if (length > size - at) length = size - at;
        // One frame carries at most the driver's frame size.
        if (length + 2 > capi::kMaxDriverFrame) length = capi::kMaxDriverFrame - 2;
        ex.sendRawToApplication(isdnsim::Bytes(data + at, data + at + length));
        at += length;
    }
    if (!Settle(ex)) RestartLayer();
    return 0;
}
