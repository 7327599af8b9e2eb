// A caller's message (or a new greeting) on its way to disk: raw line audio while the
// call lasts, a WAVE file once it is cleared.
//
// The raw file never grows without bound: a message stops being stored a few blocks past
// its limit (the blocks that arrive while the call is being cleared), a new greeting at
// kMaxGreetingBytes, and any recording when the disk would not keep room for the WAVE
// copy made at the end. Whatever was stored is finished soundly.
//
// Window thread only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "client/call_record.h"

namespace orvelin::client {

// Line audio is 8000 bytes a second; the limit counts 8192 bytes per configured second.
inline constexpr std::uint64_t kRecordingBytesPerLimitSecond = 8192;
// Stored past a message's limit at most: the blocks still in flight while the call clears.
inline constexpr std::uint64_t kLimitGraceBytes = 8 * 2048;
// A new greeting has no configured limit: ten minutes.
inline constexpr std::uint64_t kMaxGreetingBytes = 8000 * 600;
// Kept free beside the recording and the WAVE copy it becomes.
inline constexpr std::uint64_t kFreeSpaceReserve = 1u << 20;
// A shorter recording is no message.
inline constexpr std::uint64_t kMinMessageBytes = 20000;
inline constexpr std::size_t kGreetingTailBytes = 4193;

// Quiet background samples (8-bit PCM near 128) written over a new greeting's end.
const std::uint8_t* greetingTailFill();

// "MSG_YYYY.MM.DD_hh.mm.ss.alw" of the arrival time, in folder `folder`.
std::string rawRecordingPath(const std::string& folder, const LocalDateTime& arrival);

class Recording {
  public:
    using FreeBytes = std::function<std::optional<std::uint64_t>(const std::string& path)>;
    using Log = std::function<void(const std::string&)>;

    Recording() = default;
    ~Recording() { close(); }
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    // Creates the raw file (and its folders) under the first free numbered name of `path`
    // (free_name.h); path() then tells which. `limitBytes`: where the caller is cut off
    // (0: none, a new greeting, capped at kMaxGreetingBytes). False when it cannot be
    // created; the recording then counts what arrives and stores nothing.
    bool start(const std::string& path, std::uint64_t limitBytes, const Log& log);

    // One received block. The first block is counted, not stored (it holds the end of the
    // greeting's echo). Returns true when the call should be cleared now.
    bool receive(const std::uint8_t* data, std::size_t length, const FreeBytes& freeBytes,
                 const Log& log);

    // Takes over a closed raw file of `bytes` bytes left by an earlier run, as if it had
    // just been recorded (everything in it counts as received and stored).
    void adopt(const std::string& path, std::uint64_t bytes);

    // Closes the raw file (synced). Idempotent.
    void close();
    // Closes and removes the raw file.
    void discard();

    bool active() const { return active_; }
    const std::string& path() const { return path_; }
    std::uint64_t received() const { return received_; }
    std::uint64_t stored() const { return stored_; }

  private:
    FILE* file_ = nullptr;
    bool active_ = false;
    bool stopped_ = false;  // nothing more is stored
    std::string path_;
    std::uint64_t limit_ = 0;
    std::uint64_t received_ = 0;
    std::uint64_t stored_ = 0;
};

// Where a finished recording goes and how it is made.
struct RecordingTarget {
    std::string wavePath;   // a message takes the first free numbered name of it
    // A new greeting replaces the MSN's greeting file.
    bool greeting = false;  // a new greeting: state 0 and the quiet tail
    bool aLaw = true;
    bool gain = false;      // automatic gain on the message
};

// Where a caller's message goes: "Messages/MSN<n>/<base>[_<caller>].WAV", or straight in
// "Messages" with option bit 16; the caller number (a file key) only with option bit 17.
std::string messageWavePath(const std::string& programDir, std::uint32_t options,
                            int msnNumber, const std::string& baseName,
                            const std::string& callerKey);

// The conversion as `options` ask for a caller's message (law and gain).
RecordingTarget messageTarget(std::uint32_t options, std::string wavePath);

enum class FinishResult { NoMessage, Converted, ConversionFailed };

// Turns the closed raw recording into the target WAVE file. Below kMinMessageBytes
// received the raw file is removed; after a successful conversion too; after a failed
// one it is kept (a full disk must not cost the message). On success the record takes
// state "Voice Message" (0 for a greeting) and the WAVE path, also given in `written`.
FinishResult finishRecording(Recording& recording, const RecordingTarget& target,
                             TCallRecord* record, const Recording::Log& log,
                             std::string* written = nullptr);

}  // namespace orvelin::client
