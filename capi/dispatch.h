// Dispatch of every CAPI message the driver queues for the application, the application
// messages it sends to the main window, and the CAPI worker thread that runs it.
//
// Everything that arrives from the driver is untrusted: each message is copied into a
// zero-padded buffer before libcapi20's unchecked decoder reads it, every struct the
// decoder found must lie inside the message, and a data block may not be longer than the
// registered block length. A message that fails these checks is logged and dropped.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "capi/connections.h"
#include "capi/target.h"

namespace capi {

// "Options" bit: only calls to a configured number are alerted, others are refused.
inline constexpr uint32_t kOptionConfiguredNumbersOnly = 0x100000;

// Reads "Options" at each incoming call; nullopt when the settings cannot be opened (then
// every call is alerted). Until one is set, every call is alerted.
using OptionsReader = std::function<std::optional<uint32_t>()>;
void SetOptionsReader(OptionsReader reader);

// ";" followed by "number;index;" for every configured number. Written by the window
// thread, searched by the CAPI worker.
class ConfiguredNumberList {
  public:
    void set(std::string list);
    std::string get() const;
    bool contains(std::string_view needle) const;

  private:
    mutable std::mutex mutex_;
    std::string list_;
};
ConfiguredNumberList& TheConfiguredNumberList();

// Runs when a B3 link closes on a connection marked for fax, after DISCONNECT_B3_RESP, on
// the CAPI worker; it switches the line to fax reception (and sends SELECT_B_PROTOCOL_REQ).
// The line belongs to the window thread: the handler should send a message synchronously
// so the window thread does the switch, which keeps the order RESP, then SELECT_B_PROTOCOL.
using FaxSwitchHandler = std::function<void(int id, uint16_t messageNumber)>;
void SetFaxSwitchHandler(FaxSwitchHandler handler);

// The clearing reason posted for calls lost with the driver's connection.
inline constexpr unsigned kReasonLineLost = 0x3301;

enum class FetchResult { Handled, Empty, Failed };
struct DriverFrame;
// Fetches one message and dispatches it. Empty: the driver had none (0x1104). `frame`, when
// known, is the frame the message arrives in: the message and its data must lie inside it.
// Messages libcapi20 cannot decode are logged and dropped undecoded; every DATA_B3_IND is
// answered, also one that is dropped.
FetchResult Handle_CAPI_Msg(const DriverFrame* frame = nullptr);
// Act on a decoded message (the worker's received record).
void Handle_Indication(_cmsg& received);
void Handle_Confirmation(_cmsg& received);

bool PostIncomingCall(int id, const std::string& callingDigits, const std::string& calledDigits,
                      uint16_t cipValue, std::optional<CapiStruct> userUserData,
                      uint8_t presentationRestricted);
bool PostStateChange(int id, unsigned value, unsigned reason, RecordPtr record = nullptr);
bool PostDataSent(int id, uint16_t dataHandle, uint16_t info);
// Returns the handler's result; 0 when nothing handled it.
LResult SendDataReceived(int id, const uint8_t* data, uint16_t length, uint16_t handle,
                         int* respond);

// The CAPI worker: waits for the driver's signal in short slices and dispatches; with the
// remote driver it fetches only once a whole frame is queued, so no fetch blocks while it
// holds the put/get lock. It ends on its stop flag, when the application is no longer
// registered (0x1101), or when the exchange closes the connection. A fetch that keeps
// failing is logged once and retried with a growing pause.
inline constexpr std::chrono::milliseconds kWorkerWaitSlice{200};
bool StartCapiWorker();
// Stop flag, shutdown() of the application's socket, join, in that order. The window
// thread passes a join that keeps serving sent messages (platform::waitForThread), since
// the worker may be blocked sending WM_CAPI_DATA_RECEIVED to it. The caller releases the
// registration afterwards.
void StopCapiWorker(const std::function<void(std::thread&)>& join = {});
bool CapiWorkerRunning();

// Tests: forget hooks and the configured numbers.
void ResetDispatchForTesting();

}  // namespace capi
