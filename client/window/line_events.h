// The CAPI layer's reports about the two lines, as far as they concern calls that are
// only alerting or shown: the line state, the clearing of a call (reason, "Answered by
// phone", count, log line, programs). The answering machine extends this when it takes
// over a line's data.
//
// Connection ids other than 0 and 1 own no line and are ignored; a clearing lets go of
// the line's call, so a later stray report can change no record.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "client/call_history.h"
#include "client/line_record.h"
#include "platform/app_window.h"

namespace orvelin::client {

// Clearing reasons that mean another terminal took the call.
bool answeredElsewhere(std::uint16_t reason);

// The count a cleared call keeps: seconds from its arrival to `nowSeconds1901` (16 bits)
// for the states that count no data.
std::uint16_t clearedCallSeconds(const TCallRecord& record, std::uint32_t nowSeconds1901);

class LineEvents {
  public:
    struct Hooks {
        std::function<void(int line, int state)> showLineState;
        std::function<void(platform::TimerId)> killTimer;
        std::function<void(int line)> closePopup;
        std::function<void()> stopSpeech;
        // The caller's program at clearing (launch settings of the line).
        std::function<void(const TCallRecord&, const LineRecord&)> launchAtClear;
        std::function<void(const TCallRecord&)> afterCall;
        std::function<std::uint32_t()> nowSeconds1901;
        // After a row was updated (redraw, activity line).
        std::function<void(const TCallRecord&)> rowUpdated;
        // The answering machine's part: the B channel is up; the call is cleared (returns
        // true when the fax post-processor took over the after-call program); the count
        // of a record in a state that counts data.
        std::function<void(int line)> linkUp;
        std::function<bool(int line, TCallRecord* record, std::int16_t faxPages)> clearMode;
        std::function<std::optional<std::uint16_t>(int line, const TCallRecord&,
                                                   std::int16_t faxPages)>
            dataCount;
        // True for a text message's connection, which is no line's call.
        std::function<bool(int id, std::uint32_t parameter)> textMessageCall;
    };

    LineEvents(LineRecords& lines, CallHistory& history, Hooks hooks);

    // WM_CAPI_STATE_CHANGED: state in the low word, reason (or 0xFFFF for an INFO
    // number in the low word) in the high word. `faxPages` travels with a clearing.
    void stateChanged(int connectionId, std::uint32_t parameter, std::int16_t faxPages = 0);

  private:
    void cleared(int id, LineRecord& line, std::uint16_t reason, std::int16_t faxPages);
    void update(const TCallRecord& record);

    LineRecords& lines_;
    CallHistory& history_;
    Hooks hooks_;
};

}  // namespace orvelin::client
