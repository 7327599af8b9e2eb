// The decision taken for every incoming call: turn the alerting call into a call record,
// name the caller, and ignore, reject, answer (now, after the MSN's delay, or as a fax)
// or only show it; then announce it and start the programs configured for it.
//
// The CAPI layer only alerts; everything after the alert follows from here. The class
// reaches the world only through CallDecisionPorts, the two LineRecords and the
// LineHandler, so it runs headless against fakes. Window thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "capi/target.h"
#include "client/call_decision_ports.h"
#include "client/line_handler.h"
#include "client/line_record.h"
#include "client/popup_text.h"
#include "settings/settings_store.h"

namespace orvelin::client {

class CallDecision {
  public:
    CallDecision(CallDecisionPorts& ports, LineRecords& lines, LineHandler& handler)
        : ports_(ports), lines_(lines), handler_(handler) {}

    // WM_CAPI_INCOMING_CALL: wParam the connection id, the record the call's info (null is
    // ignored). Consumes the record on every path.
    void incomingCall(int connectionId, std::unique_ptr<capi::IncomingCallInfo> info);

    // WM_TIMER with an answer-delay id (1 or 2): kills the timer and answers when the
    // line's call is still alerting. Other ids are ignored; returns whether it was one.
    bool answerDelayElapsed(platform::TimerId id);

  private:
    CallDecisionPorts& ports_;
    LineRecords& lines_;
    LineHandler& handler_;
};

// --- The texts and rules of single decisions, exposed for tests ---

// Leading-zero options: add a '0' (numbers longer than one character), else strip one.
std::string rewriteCallerNumber(std::string_view number, std::uint32_t options);
// "Strip": keep the last keepLong (longer than threshold) or keepShort digits; a keep
// of 0 leaves the number whole.
std::string stripCallerNumber(std::string_view number,
                              const std::optional<settings::StripSettings>& strip);
// Whether a token of "Auth" (split at ';' and ',') equals the number, or its end when
// the token is shorter. Only a non-empty number of digits, '*', '#' and '+' can be.
bool authorisedByAuth(std::string_view auth, std::string_view callerNumber);
// The spoken announcement: "SayWhat", a blank, then the name, or the number whole (when
// the text asks for an address), or in pairs from its end. At most 511 bytes.
std::string announcementText(std::string_view sayWhat, std::string_view callerName,
                             bool unlistedFallback, std::string_view callerNumber);

// Longest answer delay in milliseconds: the largest stored delay the settings allow.
inline constexpr std::int64_t kMaxAnswerDelayMs =
    static_cast<std::int64_t>(settings::kMaxRecordingDelay) << 10;

}  // namespace orvelin::client
