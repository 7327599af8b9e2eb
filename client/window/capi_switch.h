// Switching CAPI on and off for the client window: registration, the controllers'
// profiles (fax capability), the CAPI worker and the LISTEN requests, in the order
// the driver needs them.
//
// Enable:  register -> clear the connection table -> count controllers -> read every
//          profile -> start the worker -> LISTEN on each controller with a CIP mask.
// Disable: LISTEN with empty masks -> settle (serving sends) -> stop the worker ->
//          release. The worker is stopped before the release because a released remote
//          driver leaves it waiting on a dead socket; its join keeps serving the
//          window's sent messages, so a worker blocked in a synchronous send finishes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "platform/app_window.h"

namespace orvelin::client {

// What the switch does to the driver; realCapiOps() binds the CAPI layer, tests a fake.
struct CapiOps {
    // Registers with the window as message target; the number of controllers, 0 on failure.
    std::function<int()> registerApp;
    std::function<void()> release;
    std::function<void()> clearConnections;
    std::function<int()> controllers;
    // The controller's profile offers T.30 fax group 3 (bit 4) on B1, B2 and B3.
    std::function<bool(int controller)> faxProfile;
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

  private:
    CapiOps ops_;
    bool enabled_ = false;
    bool faxCapable_ = false;
    bool workerStarted_ = false;
    int controllers_ = 0;
};

}  // namespace orvelin::client
