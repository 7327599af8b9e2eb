// Named events that other processes may signal, as POSIX named semaphores. An event
// behaves as an auto-reset event: a wait consumes the signal, and signalling an event
// that is already signalled changes nothing.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The semaphore name for a pattern and a number: ("OrvelinWait", 123) gives
// "/OrvelinWait123".
std::string namedEventName(std::string_view prefix, long number);

class NamedEvent {
  public:
    enum class WaitResult { Signalled, TimedOut, Error };

    // Creates the event, unsignalled. A semaphore of that name left by a crashed run
    // would keep its count, so it is removed first. nullopt (and `error`) on failure.
    static std::optional<NamedEvent> create(const std::string& name, std::string* error = nullptr);

    // Signals an existing event by name, from any process. False (and `error`) when
    // there is no such event.
    static bool signal(const std::string& name, std::string* error = nullptr);

    NamedEvent(NamedEvent&& other) noexcept;
    NamedEvent& operator=(NamedEvent&& other) noexcept;
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;
    // Closes the event and removes its name.
    ~NamedEvent();

    const std::string& name() const { return name_; }
    // Waits until the event is signalled or `timeout` has passed (steady clock).
    WaitResult wait(std::chrono::milliseconds timeout);

  private:
    NamedEvent(std::string name, void* sem);
    void close();

    std::string name_;
    void* sem_ = nullptr;  // sem_t*
};

}  // namespace platform
