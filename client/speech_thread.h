// The thread that speaks the announcement of a call, and the speech buffer it
// shares with the window thread.
//
// The window thread hands over a text with say(); the thread sleeps on a condition
// variable while the buffer is empty, so a text handed over while it is still
// speaking the previous one is never lost. After each wake-up it waits 100 ms, then
// takes the text (emptying the buffer) and speaks it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/worker_thread.h"

namespace orvelin::media {
class CTTSMode;
}

namespace orvelin::client {

inline constexpr std::size_t kSpeechBufferSize = 512;  // bytes, terminator included
inline constexpr std::chrono::milliseconds kSpeechDelay{100};

// "Pitch", "Speed" and "Volume" as the settings hold them.
struct Prosody {
    std::uint32_t pitch = 0, speed = 0, volume = 0;
};

// Speaks tagged UTF-16 text, with the prosody to set first when there is one.
using SpeakFunction = std::function<void(std::u16string_view text, const std::optional<Prosody>&)>;

// UTF-8 to UTF-16, at most maxUnits code units and never half a surrogate pair;
// malformed bytes become U+FFFD.
std::u16string utf8ToUtf16(std::string_view text, std::size_t maxUnits);

class SpeechThread {
  public:
    struct Hooks {
        // COM was initialised at start-up: false in service mode, where nothing is spoken.
        bool comInitialized = false;
        // The current speaker, or an empty function while there is no speech object.
        std::function<SpeakFunction()> speaker;
        // Stops what is being spoken (at shutdown).
        std::function<void()> interrupt;
        // The stored prosody; nullopt when "Pitch" is 0 (the engine's own values stay).
        std::function<std::optional<Prosody>()> prosody;
    };
    // Hooks for a speech object held by the window: speaks through it, stops it with
    // AudioReset, reads the prosody from the settings store.
    static Hooks hooksFor(bool comInitialized,
                          std::function<std::shared_ptr<media::CTTSMode>()> speechObject);

    // Starts the thread below normal priority.
    explicit SpeechThread(Hooks hooks);
    // stop().
    ~SpeechThread();
    SpeechThread(const SpeechThread&) = delete;
    SpeechThread& operator=(const SpeechThread&) = delete;

    // Puts the text into the buffer (cut to 511 bytes at a character boundary),
    // replacing one not yet taken, and wakes the thread.
    void say(std::string_view text);
    // Ends the thread, interrupting what it speaks; idempotent.
    void stop();
    // Texts spoken so far; for tests and diagnostics.
    std::uint64_t spoken() const;
    // True while the buffer holds a text not yet taken.
    bool pending() const;

  private:
    void run(platform::StopFlag& stop);

    const Hooks hooks_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::string buffer_;
    bool stopping_ = false;
    std::uint64_t spoken_ = 0;
    platform::WorkerThread thread_;  // last: started once the members above exist
};

}  // namespace orvelin::client
