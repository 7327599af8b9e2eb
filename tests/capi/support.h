// Helpers shared by the CAPI tests: a recording main window, the CAPI log reader and a
// fixture that runs the layer against an in-process simulated exchange.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capi/capi_driver.h"
#include "capi/capi_log.h"
#include "capi/connections.h"
#include "capi/dispatch.h"
#include "platform/app_messages.h"
#include "tools/isdnsim/isdnsim.h"

namespace capitest {

using namespace std::chrono_literals;

struct Delivered {
    platform::MessageId id = 0;
    int connection = -1;
    platform::LParam lParam = 0;
    std::shared_ptr<platform::MessageRecord> record;
    bool sent = false;
    std::chrono::steady_clock::time_point at{};  // when it reached the window

    unsigned low() const { return unsigned(lParam) & 0xFFFF; }
    unsigned high() const { return (unsigned(lParam) >> 16) & 0xFFFF; }
    template <class R>
    const R* as() const {
        return dynamic_cast<const R*>(record.get());
    }
};

// Stands in for the main window: records what the layer posts and sends. Sent messages
// run `onSend` on the sender's thread before they are recorded.
class RecordingTarget : public capi::MessageTarget {
  public:
    bool post(platform::MessageId id, platform::WParam w, platform::LParam l,
              platform::RecordPtr record) override;
    std::optional<platform::LResult> send(platform::MessageId id, platform::WParam w,
                                          platform::LParam l, platform::RecordPtr record) override;

    std::function<platform::LResult(Delivered&)> onSend;

    std::vector<Delivered> all() const;
    std::vector<Delivered> of(platform::MessageId id) const;
    // First delivery at or after `from` that matches; nullopt after the timeout.
    std::optional<Delivered> waitFor(const std::function<bool(const Delivered&)>& match,
                                     size_t from = 0, std::chrono::milliseconds timeout = 10s);
    std::optional<Delivered> waitState(int connection, int state, size_t from = 0);
    size_t count() const;

  private:
    void add(Delivered d);
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Delivered> delivered_;
};

// Lines of the CAPI log with their time stamps checked and removed.
std::vector<std::string> LogLines();
bool LogHas(const std::string& text);
// Waits until the log holds the line.
bool WaitLog(const std::string& text, std::chrono::milliseconds timeout = 10s);

// A CAPI message as bytes: header, then the parameter bytes; its length word says
// `declaredLength` when given.
std::vector<uint8_t> RawMessage(uint8_t command, uint8_t subcommand, uint16_t number,
                                uint32_t address, const std::vector<uint8_t>& params,
                                int declaredLength = -1);

// One exchange per test process, started on first use.
isdnsim::Exchange& TheExchange();
std::string TestDir();

class ExchangeTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Rings and waits until the layer has posted the call; returns the connection id.
    int ring(const isdnsim::CallSetup& setup, uint32_t* plci = nullptr);
    // Rings, accepts as a voice call and waits for Connected.
    int ringAndConnect(const std::string& called, uint32_t* plci);

    isdnsim::Exchange& ex = TheExchange();
    std::shared_ptr<RecordingTarget> win = std::make_shared<RecordingTarget>();
    std::mutex dataMutex;
    std::vector<uint8_t> dataReceived;  // blocks handed to the window, in order
    std::vector<uint16_t> handlesSeen;
};

}  // namespace capitest
