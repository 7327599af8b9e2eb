// The thread that plays the unheard voice messages one after another.
//
// It works from a snapshot of (id, path) taken on the window thread and never
// touches the ring: for each message it has played it posts WM_PLAY_DONE with
// wParam kPlayHeard and a MessageHeard record, and the window marks the record
// heard (markHeard) when it still holds that call in state "Voice Message". When
// it has played everything it posts WM_PLAY_DONE with wParam 0 and no record; a
// stop request ends it silently.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "client/call_record.h"
#include "client/call_ring.h"
#include "platform/app_window.h"
#include "platform/worker_thread.h"

namespace orvelin::client {

inline constexpr platform::WParam kPlayHeard = 1;
inline constexpr std::chrono::milliseconds kPlayPoll{500};

struct UnheardMessage {
    std::uint32_t id = 0;
    std::string path;
};

// The records in state "Voice Message" in playing order (from the slot after the
// head around the ring, the head slot left out).
std::vector<UnheardMessage> unheardMessages(const CallRing& ring);

struct MessageHeard : platform::MessageRecord {
    std::uint32_t id = 0;
};

// "Voice Message" becomes "Read Voice Message"; false for any other state.
bool markHeard(TCallRecord& record);

// Asynchronous playback.
struct SoundPlayer {
    // Starts the file; false when refused (another sound still plays, or no device).
    std::function<bool(const std::string& path)> startIfIdle;
    std::function<void()> stopSound;
    // Stops what plays and starts the file; false when it could not be started.
    std::function<bool(const std::string& path)> play;
};

class PlayThread {
  public:
    // Starts at once. poll: how often a refused start is tried again.
    PlayThread(platform::WindowRef window, std::vector<UnheardMessage> messages, SoundPlayer player,
               std::chrono::milliseconds poll = kPlayPoll);
    // stop().
    ~PlayThread();
    PlayThread(const PlayThread&) = delete;
    PlayThread& operator=(const PlayThread&) = delete;

    // Stops the sound and the thread and joins it; idempotent.
    void stop();

  private:
    void run(platform::StopFlag& stop);

    const platform::WindowRef window_;
    const std::vector<UnheardMessage> messages_;
    const SoundPlayer player_;
    const std::chrono::milliseconds poll_;
    platform::WorkerThread thread_;  // last
};

}  // namespace orvelin::client
