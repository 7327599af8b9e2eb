// The answering machine and fax reception: everything on a line after the incoming-call
// decision chose to answer. It picks and converts the greeting, accepts the call, sends
// the greeting paced by the confirmations, records the caller, plays stored messages to
// an authorised caller, switches to fax reception on fax tones, receives faxes, and at
// clearing finishes the recording or the fax and gives the record its final state.
//
// The line states themselves (popup, answer-delay timer, "Answered by phone", programs,
// log line) stay with LineEvents, which calls linkUp() and cleared() here.
//
// Window thread only; switchLineToFax too (the CAPI worker sends it over).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "client/answering_ports.h"
#include "client/call_history.h"
#include "client/fax_reception.h"
#include "client/greeting_queue.h"
#include "client/line_handler.h"
#include "client/line_record.h"
#include "client/recording.h"

namespace orvelin::client {

// The connection state of a line whose B channel carries data.
inline constexpr int kLineConnected = 4;

// The greeting a call hears: the caller's own, else the MSN's, else the general one.
// `readable` tells whether a file can be opened for reading.
std::string chooseGreeting(const std::string& programDir, LineRecord& line, int msnNumber,
                           const std::function<bool(const std::string&)>& readable);

class AnsweringMachine : public LineHandler {
  public:
    AnsweringMachine(std::string programDir, LineRecords& lines, CallHistory& history,
                     AnsweringPorts& ports);
    ~AnsweringMachine() override;

    // --- LineHandler ---
    void answerWithGreeting(int line, int msnNumber) override;
    void answerFaxCall(int line) override;

    // Converts and queues `file` on a connected line and sends its first block (a stored
    // message, the end message); without a file: the greeting of an alerting call.
    void answerWithGreeting(int line, int msnNumber, const std::string* file);

    // --- From the CAPI layer, by way of the window ---
    // The B channel is up (state Connected).
    void linkUp(int line);
    // A block was confirmed (WM_CAPI_DATA_SENT).
    void dataSent(int line, std::uint16_t handle);
    // A block arrived (WM_CAPI_DATA_RECEIVED); `data` is valid only during the call.
    void dataReceived(int line, const std::uint8_t* data, std::size_t length);
    // Keys or fax tones ('X', 'Y') on the line.
    void dtmf(int line, const std::string& keys);
    // The B3 link closed after fax tones: receive a fax on the same call.
    void switchLineToFax(int line, std::uint16_t messageNumber);

    // The call is cleared (mode-dependent part). `faxPages` travelled with the clearing.
    // Returns true when the fax post-processor was started (it runs the after-call program).
    bool cleared(int line, TCallRecord* record, std::int16_t faxPages);
    // The count of a cleared record in a state that counts data (seconds of audio sent or
    // stored, or fax pages); nullopt for the other states.
    std::optional<std::uint16_t> dataCount(int line, const TCallRecord& record,
                                           std::int16_t faxPages) const;

    // CAPI is going down, or the program ends, with calls maybe still up; no clearing will
    // come for them. A recording becomes its message as at a clearing (state, count, file,
    // log line; the record saved), and the line lets go of its call. Every other file is
    // closed (a fax stays on disk as received so far).
    void endCalls();

    // --- For tests ---
    std::uint16_t nextDataHandle() const { return nextDataHandle_; }
    void setNextDataHandle(std::uint16_t handle) { nextDataHandle_ = handle; }
    std::size_t queuedBlocks(int line) const;
    std::uint32_t bytesSent(int line) const;

  private:
    struct LineAudio {
        std::unique_ptr<GreetingQueue> queue;
        SendSlots slots;
        std::uint32_t bytesSent = 0;
        Recording recording;
        std::uint64_t storedAtFinish = 0;
        std::string messageName;  // "MSG_<arrival>": the base of the message's WAVE name
        FaxFile fax;
        std::uint64_t faxReceived = 0;
        std::string faxPath;
        bool faxSwitchRequested = false;
        bool hangUpRequested = false;
    };

    void closeAll();
    bool convertAndQueue(int line, const std::string& source);
    unsigned sendNext(int line);
    void startRecording(int line);
    void finishRecording(int line, TCallRecord* record);
    bool startFax(int line, TCallRecord* record);
    void remotePlayback(int line);
    void update(TCallRecord& record);
    void blinkIfHidden();
    void log(const std::string& text) { ports_.log(text); }

    const std::string programDir_;
    LineRecords& lines_;
    CallHistory& history_;
    AnsweringPorts& ports_;
    std::array<LineAudio, kLineCount> audio_;
    std::uint16_t nextDataHandle_ = 1;
};

}  // namespace orvelin::client
