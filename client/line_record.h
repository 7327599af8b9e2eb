// The two lines (B channels) on which calls are answered, and what each line knows
// about its current call.
//
// A CAPI connection id is used directly as the line index. Only ids 0 and 1 have a
// line; a call on any other connection (a second controller, a text-message call in
// a low slot) is still listed and may be rejected, but owns no line, no answer-delay
// timer and no banner slot. LineRecords::at() is the only way to a line, so no id
// from outside can index past the two.
//
// Window thread only.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "media/soundconv.h"
#include "platform/app_window.h"

namespace orvelin::client {

inline constexpr int kLineCount = 2;

enum class LineMode : int {
    Idle = 0,
    FaxReceive = 1,
    Recording = 3,
    Greeting = 4,
};

// Window timers. The answer delay of line n is timer n + 1.
inline constexpr platform::TimerId kAnswerDelayTimer0 = 1;
inline constexpr platform::TimerId kAnswerDelayTimer1 = 2;
inline constexpr platform::TimerId kBlinkTimer = 4;
inline constexpr platform::TimerId kSmsTimer = 5;
// 0 for an id that has no line, so ids 3 and up never reach the blink or text-message timer.
constexpr platform::TimerId answerDelayTimer(int line) {
    return line == 0 ? kAnswerDelayTimer0 : line == 1 ? kAnswerDelayTimer1 : 0;
}
// The line of an answer-delay timer, -1 for any other timer.
constexpr int lineOfAnswerDelayTimer(platform::TimerId id) {
    return id == kAnswerDelayTimer0 ? 0 : id == kAnswerDelayTimer1 ? 1 : -1;
}

inline constexpr std::size_t kLineCallerNumberBytes = 24;

struct LineRecord {
    // Bound call. The record is looked up by id at each use (0: none), so a record that
    // has left the ring is simply not found.
    std::uint32_t callId = 0;
    // The last connection state reported for the line; 1 (D_ConnectPending) while the
    // call is alerting and not yet answered.
    int lineState = 0;
    LineMode mode = LineMode::Idle;

    // Per call, filled by the incoming-call decision.
    std::uint16_t cip = 0;
    int msnNumber = 1;                  // 1-10; 1 when the call matched no MSN
    std::int32_t maxRecordingTime = 0;  // seconds; 0: no message may be left
    bool launch = false;                // the caller's own programs apply
    std::string launchAtCall, atCallParam, launchAtClear, atClearParam;
    std::uint32_t waitAtCall = 0, waitAtClear = 0;  // milliseconds
    bool personalMsg = false;                       // play the caller's own greeting
    // The caller number, or "Restricted"/"Unknown" when none was delivered; at most 24
    // bytes. Network text: pass it through platform::fileKey before it names a file.
    std::string callerNumber;
    bool unlistedFallback = false;  // no "Callers" key matched
    // The "Callers" key that matched, wildcards included; empty when none. Also goes
    // through the file-key mapping (settings::personalGreetingPath) before naming a file.
    std::string matchedKey;
    bool authorised = false;  // may play the stored messages remotely
    bool playbackActive = false;
    bool recordingGreeting = false;  // this call records the MSN's new greeting
    bool logCall = false;            // write the text-log line at clearing

    // A converter without files, made when the B channel comes up and dropped when the
    // call is cleared: it holds only a gain state.
    std::shared_ptr<media::CSoundConv> gainOnly;

    // Remote playback position: set by key presses, kept from call to call.
    int playbackIndex = 0;
    int playbackVisited = 0;
    bool playbackIncludeHeard = false;
    bool playbackBackwards = false;

    // Lets go of the bound call, so a later clearing on this line changes no record.
    void unbind() {
        callId = 0;
        launch = false;
        logCall = false;
        recordingGreeting = false;
    }
};

class LineRecords {
  public:
    // The line of a connection id; null for every id but 0 and 1.
    LineRecord* at(int connectionId) {
        return connectionId >= 0 && connectionId < kLineCount ? &lines_[connectionId] : nullptr;
    }
    const LineRecord* at(int connectionId) const {
        return connectionId >= 0 && connectionId < kLineCount ? &lines_[connectionId] : nullptr;
    }

  private:
    std::array<LineRecord, kLineCount> lines_{};
};

}  // namespace orvelin::client
