#include "tests/capi/support.h"

#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <thread>

namespace capitest {

bool RecordingTarget::post(platform::MessageId id, platform::WParam w, platform::LParam l,
                           platform::RecordPtr record) {
    add({id, int(intptr_t(w)), l, std::shared_ptr<platform::MessageRecord>(std::move(record)),
         false});
    return true;
}

std::optional<platform::LResult> RecordingTarget::send(platform::MessageId id, platform::WParam w,
                                                       platform::LParam l,
                                                       platform::RecordPtr record) {
    Delivered d{id, int(intptr_t(w)), l,
                std::shared_ptr<platform::MessageRecord>(std::move(record)), true};
    platform::LResult result = onSend ? onSend(d) : 0;
    add(d);
    return result;
}

void RecordingTarget::add(Delivered d) {
    d.at = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    delivered_.push_back(std::move(d));
    changed_.notify_all();
}

std::vector<Delivered> RecordingTarget::all() const {
    std::lock_guard lock(mutex_);
    return delivered_;
}

std::vector<Delivered> RecordingTarget::of(platform::MessageId id) const {
    std::lock_guard lock(mutex_);
    std::vector<Delivered> out;
    for (auto& d : delivered_)
        if (d.id == id) out.push_back(d);
    return out;
}

size_t RecordingTarget::count() const {
    std::lock_guard lock(mutex_);
    return delivered_.size();
}

std::optional<Delivered> RecordingTarget::waitFor(
    const std::function<bool(const Delivered&)>& match, size_t from,
    std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::optional<Delivered> found;
    changed_.wait_for(lock, timeout, [&] {
        for (size_t i = from; i < delivered_.size(); ++i)
            if (match(delivered_[i])) {
                found = delivered_[i];
                return true;
            }
        return false;
    });
    return found;
}

std::optional<Delivered> RecordingTarget::waitState(int connection, int state, size_t from) {
    return waitFor(
        [&](const Delivered& d) {
            return d.id == platform::WM_CAPI_STATE_CHANGED && d.connection == connection &&
                   d.high() != 0xFFFF && int(d.low()) == state;
        },
        from);
}

std::string TestDir();
namespace {
// Removes the per-process directory when the process ends.
struct DirCleanup {
    ~DirCleanup() {
        std::error_code ec;
        std::filesystem::remove_all(TestDir(), ec);
    }
};
}  // namespace

std::string TestDir() {
    // Never destroyed: the clean-up at exit still needs it.
    static const std::string* dir = new std::string([] {
        const char* base = std::getenv("ORVELIN_TEST_TMP");
        std::string root = base ? base : "/tmp";
        std::filesystem::create_directories(root);
        std::string tmpl = root + "/capi-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data())) std::abort();
        return std::string(buf.data());
    }());
    static DirCleanup cleanup;
    return *dir;
}

std::vector<std::string> LogLines() {
    std::ifstream in(capi::CapiLogPath());
    std::vector<std::string> lines;
    // "YYYY.MM.DD hh:mm:ss.mmm "
    static const std::string shape = "dddd.dd.dd dd:dd:dd.ddd ";
    std::string line;
    while (std::getline(in, line)) {
        bool stamped = line.size() >= shape.size();
        for (size_t i = 0; stamped && i < shape.size(); ++i)
            stamped = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                      : line[i] == shape[i];
        EXPECT_TRUE(stamped) << "no time stamp: " << line;
        lines.push_back(stamped ? line.substr(shape.size()) : line);
    }
    return lines;
}

bool LogHas(const std::string& text) {
    for (auto& l : LogLines())
        if (l == text) return true;
    return false;
}

bool WaitLog(const std::string& text, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (LogHas(text)) return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

std::vector<uint8_t> RawMessage(uint8_t command, uint8_t subcommand, uint16_t number,
                                uint32_t address, const std::vector<uint8_t>& params,
                                int declaredLength) {
    std::vector<uint8_t> m(12);
    size_t len = declaredLength >= 0 ? size_t(declaredLength) : 12 + params.size();
    uint16_t appl = capi::ApplId();
    m[0] = uint8_t(len);
    m[1] = uint8_t(len >> 8);
    m[2] = uint8_t(appl);
    m[3] = uint8_t(appl >> 8);
    m[4] = command;
    m[5] = subcommand;
    m[6] = uint8_t(number);
    m[7] = uint8_t(number >> 8);
    for (int i = 0; i < 4; ++i) m[8 + i] = uint8_t(address >> (8 * i));
    m.insert(m.end(), params.begin(), params.end());
    return m;
}

isdnsim::Exchange& TheExchange() {
    static isdnsim::Exchange* ex = [] {
        isdnsim::Options o;
        o.controllers = {isdnsim::Profile{}, isdnsim::Profile{}};
        o.controllers[1].b1Protocols = 0x03;  // no fax on controller 2
        o.manufacturer = "Test Exchange";
        o.serial = "7654321";
        auto* e = new isdnsim::Exchange(o);
        capi::SetRemoteExchange("127.0.0.1", e->port());
        return e;
    }();
    return *ex;
}

void ExchangeTest::SetUp() {
    capi::ResetConnectionsForTesting();
    capi::ResetDispatchForTesting();
    capi::SetCapiLogPath(TestDir() + "/capilog.txt");
    std::filesystem::remove(capi::CapiLogPath());
    ex.clearRecord();
    win->onSend = [this](Delivered& d) -> platform::LResult {
        if (d.id != platform::WM_CAPI_DATA_RECEIVED) return 0;
        auto* info = d.as<capi::ReceivedDataInfo>();
        std::lock_guard lock(dataMutex);
        dataReceived.insert(dataReceived.end(), info->Data, info->Data + info->DataLength);
        handlesSeen.push_back(info->DataHandle);
        return 1;
    };
    ASSERT_EQ(capi::LoadCapiDll(), 1);
    ASSERT_EQ(capi::RegisterCAPI(win, 2048), 2);
    capi::ClearConnectionTable();
    ASSERT_TRUE(capi::StartCapiWorker());
}

void ExchangeTest::TearDown() {
    capi::StopCapiWorker();
    capi::ReleaseCAPI();
}

int ExchangeTest::ring(const isdnsim::CallSetup& setup, uint32_t* plci) {
    size_t from = win->count();
    uint32_t p = ex.ring(setup);
    EXPECT_NE(p, 0u) << "nobody listens";
    if (plci) *plci = p;
    auto posted = win->waitFor(
        [](const Delivered& d) { return d.id == platform::WM_CAPI_INCOMING_CALL; }, from);
    EXPECT_TRUE(posted) << "no incoming call posted";
    return posted ? posted->connection : -1;
}

int ExchangeTest::ringAndConnect(const std::string& called, uint32_t* plci) {
    isdnsim::CallSetup setup;
    setup.called = called;
    size_t from = win->count();
    int id = ring(setup, plci);
    if (id < 0) return id;
    auto null = capi::MakeNullConfig(0);
    EXPECT_EQ(capi::ConnectResp(id, 0, 1, 1, 0, null.data()), 0u);
    EXPECT_TRUE(win->waitState(id, capi::Connected, from)) << "B3 link did not come up";
    return id;
}

}  // namespace capitest
