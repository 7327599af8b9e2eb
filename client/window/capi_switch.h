// Switching CAPI on and off for the client window: registration, the controllers'
// profiles (fax capability), the CAPI worker and the LISTEN requests, in the order
// the driver needs them.
//
// Enable:  register (which reads every controller's profile and identity) -> clear the
//          connection table -> count controllers -> log each controller's identity and
//          take its fax bits -> start the worker -> LISTEN on each controller with a CIP
//          mask. Nothing after the registration asks the driver anything.
// Disable: LISTEN with empty masks -> settle (serving sends) -> stop the worker ->
//          release. The worker is stopped before the release because a released remote
//          driver leaves it waiting on a dead socket; its join keeps serving the
//          window's sent messages, so a worker blocked in a synchronous send finishes.
#pragma once

#include <chrono>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/app_window.h"

namespace orvelin::client {

// What the registration learnt of one controller.
struct ControllerIdentity {
    std::string manufacturer;
    std::string serial;
    std::array<int, 4> version{};  // CAPI major, minor, driver major, minor
    int bChannels = 0;
    std::uint32_t globalOptions = 0;
};

// What the switch does to the driver; realCapiOps() binds the CAPI layer, tests a fake.
struct CapiOps {
    // Registers with the window as message target; the number of controllers, 0 on failure.
    std::function<int()> registerApp;
    std::function<void()> release;
    std::function<void()> clearConnections;
    std::function<int()> controllers;
    // The controller's profile offers T.30 fax group 3 (bit 4) on B1, B2 and B3.
    std::function<bool(int controller)> faxProfile;
    // Optional: the controller as the registration read it (no driver call).
    std::function<std::optional<ControllerIdentity>(int controller)> identity;
    // Optional: a line for the CAPI log.
    std::function<void(const std::string&)> log;
    std::function<bool()> startWorker;
    // Stops and joins the worker; the join keeps serving sent messages.
    std::function<void()> stopWorker;
    std::function<unsigned(int controller, std::uint32_t infoMask, std::uint32_t cipMask)> listen;
    std::function<std::uint32_t(int controller)> cipMask;
    std::function<std::uint32_t(int controller)> infoMask;
    // The settling wait after the empty LISTENs; serves sent messages meanwhile.
    std::function<void(std::chrono::milliseconds)> settle;
};

inline constexpr unsigned kCapiBlockLength = 2048;
inline constexpr std::chrono::milliseconds kCapiSettle{1000};

// The CAPI layer behind the ops, delivering to `window`.
CapiOps realCapiOps(platform::WindowRef window);

// Bit 4 of each of the B1, B2 and B3 protocol masks of a 64-byte CAPI profile.
bool profileOffersFax(const unsigned char* profile64);

class CapiSwitch {
  public:
    explicit CapiSwitch(CapiOps ops) : ops_(std::move(ops)) {}
    // Disables when still enabled.
    ~CapiSwitch();
    CapiSwitch(const CapiSwitch&) = delete;
    CapiSwitch& operator=(const CapiSwitch&) = delete;

    // True when CAPI is registered and listening. A failed step after registration
    // releases again, so a failed enable leaves nothing registered.
    bool enable();
    void disable();
    // Disable when enabled, else enable; returns the new state.
    bool toggle();

    bool enabled() const { return enabled_; }
    // Set by enable: the last controller's profile decides.
    bool faxCapable() const { return faxCapable_; }
    int controllerCount() const { return controllers_; }
    // The low six bits of the global options of the last controller's profile.
    std::uint32_t globalOptions() const { return globalOptions_; }

  private:
    CapiOps ops_;
    bool enabled_ = false;
    bool faxCapable_ = false;
    bool workerStarted_ = false;
    int controllers_ = 0;
    std::uint32_t globalOptions_ = 0;
};

}  // namespace orvelin::client
