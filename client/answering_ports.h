// What the answering machine and fax reception reach outside themselves: the CAPI
// requests on a line, the greeting converter, the window (status text, timers, row
// updates), the programs run after a call, and the settings. The client window
// implements it with the CAPI layer; tests with fakes.
//
// Every function is called on the window thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "client/call_record.h"
#include "platform/app_window.h"

namespace orvelin::client {

// The arguments of one greeting conversion (the sound library's export).
struct GreetingConversion {
    std::string source, target;
    bool aLaw = true;
    std::int32_t level = 0, floor = 0, window = 0;  // all 0: no gain control
};

class AnsweringPorts {
  public:
    virtual ~AnsweringPorts() = default;

    // --- CAPI, on lines 0 and 1 ---
    // Accepts the alerting call: 64 kbit/s transparent (1, 1, 0), or fax group 3 (4, 4, 4)
    // with the fax configuration for `stationId`.
    virtual void acceptVoice(int line) = 0;
    virtual void acceptFax(int line, const std::string& stationId) = 0;
    virtual void disconnect(int line) = 0;
    // DATA_B3_REQ; non-zero: not sent.
    virtual unsigned sendData(int line, const std::uint8_t* data, std::uint16_t length,
                              std::uint16_t handle) = 0;
    virtual void startDtmfListen(int line) = 0;
    // Fax tones heard: mark the connection for fax and close its B3 link (the layer then
    // calls back, and the window runs switchLineToFax).
    virtual void requestFaxSwitch(int line) = 0;
    // SELECT_B_PROTOCOL_REQ to fax group 3 with message number `messageNumber`.
    virtual void selectFaxProtocol(int line, std::uint16_t messageNumber,
                                   const std::string& stationId) = 0;

    // --- Files and conversion ---
    // The sound library's conversion; false when it failed or could not be called.
    virtual bool convertGreeting(const GreetingConversion& conversion) = 0;
    // Bytes the file system of `path` still has for this user; nullopt when unknown.
    virtual std::optional<std::uint64_t> freeBytes(const std::string& path) = 0;
    virtual void playSound(const std::string& path) = 0;

    // --- Window ---
    // After the record was changed and its row updated (redraw, activity line).
    virtual void rowUpdated(const TCallRecord& record) = 0;
    virtual void setStatusText(const std::string& text) = 0;
    virtual void setTimer(platform::TimerId id, std::int64_t periodMs) = 0;
    virtual bool mainWindowHidden() = 0;
    virtual void log(const std::string& line) = 0;

    // --- Programs after a call ---
    virtual void startFaxThread(const TCallRecord& record) = 0;

    // --- Settings, read at each use ---
    virtual std::uint32_t options() = 0;
};

}  // namespace orvelin::client
