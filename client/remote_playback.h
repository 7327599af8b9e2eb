// Remote inquiry: an authorised caller's keys choose which stored voice messages are
// played back on the line, and in which order.
//
// Only a record whose file lies inside the messages folder is ever played, whatever
// path the record holds (the call-table file and the instance-link peers are outside
// input).
//
// Window thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "client/call_ring.h"
#include "client/line_record.h"

namespace orvelin::client {

// A key pressed by an authorised caller: '1' unheard messages oldest first, '2' all
// oldest first, '3' all newest first; any other key repeats the last choice. Starts
// a new pass over the ring.
void choosePlayback(LineRecord& line, char key, std::uint32_t ringHead, std::uint32_t ringSize);

// Whether `path` names an existing regular file below `folder` once links and ".."
// are resolved.
bool fileInsideFolder(const std::string& path, const std::string& folder);

// What the pass does next when the line has sent everything.
struct PlaybackStep {
    enum Kind { Play, PlayNoMore, Disconnect, Nothing } kind = Nothing;
    std::uint32_t ringIndex = 0;  // Play: the record to send
};

// Walks on from the line's position over at most one full pass of the ring and finds
// the next record to play (state "Voice Message", or "Read Voice Message" when heard
// ones are included, with a file `playable` accepts). After the whole pass: the end
// message once, then the clearing.
PlaybackStep nextPlayback(LineRecord& line, const CallRing& ring,
                          const std::function<bool(const TCallRecord&)>& playable);

}  // namespace orvelin::client
