// Raw recordings that a call's clearing never finished: the program was killed while a
// caller spoke. At the next start each raw file under "Alw/MSN<n>" becomes its WAVE
// message as at a clearing; its call record, when the ring still holds it, is found by
// the arrival time in the file's name and gets the message's state, count and path.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/call_ring.h"
#include "client/recording.h"

namespace orvelin::client {

struct RecoveredRecording {
    std::string raw;
    std::string wave;        // empty: no message (too short), or the conversion failed
    bool kept = false;       // the conversion failed: the raw file stays for the next start
    int msnNumber = 1;       // from the folder "MSN<n>"
    int ringIndex = -1;      // the record that now names the message; -1 when none
};

// Finishes every raw recording under programDir/Alw/MSN<n>/ ("MSG_<arrival>[_<k>].alw"),
// with `options` choosing the folder, name, law and gain as at a clearing. Each file is
// reported through `log`.
std::vector<RecoveredRecording> recoverRecordings(const std::string& programDir, CallRing& ring,
                                                  std::uint32_t options,
                                                  const Recording::Log& log);

}  // namespace orvelin::client
