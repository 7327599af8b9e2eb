// The "run as service" option (bit 5 of "Options") and the service itself: the options
// command turns the service on or off when the user changed the option, and before the
// dialog opens the service's real start type stands for the stored bit, so a change made
// outside the program is not taken for the user's.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace orvelin::client {

inline constexpr const char* kServiceOnText =
    "The service setting will change after the computer has rebooted.\n\nYou should "
    "manually remove Orvelin from your startup group";
inline constexpr const char* kServiceOffText =
    "The service setting will change after the computer has rebooted.\n\nYou should "
    "manually add Orvelin to your startup group";

// The service manager as the client window uses it; the program fills it, tests fake it.
// Every member may be left empty: then the options command leaves the service alone.
struct ServiceHooks {
    std::function<int()> install;    // 0 done, else a failure (the manager showed why)
    std::function<int()> disable;    // 0 done, else a failure
    std::function<int()> queryAutoStart;  // 1 starts at boot, 0 does not, 2 unknown
    // WM_SETTINGS_CHANGED 0x8: the process registers (true) or unregisters as a service.
    std::function<void(bool on)> registerProcess;
};

// The options the dialog's changes are measured against: bit 5 as the service really is
// when the manager can tell (query 0 or 1), else as stored.
std::uint32_t optionsBeforeDialog(std::uint32_t stored, int queryResult);

struct ServiceSwitchPorts {
    ServiceHooks service;
    std::function<void(const char* text)> tell;          // an information box
    std::function<void(std::uint32_t options)> store;    // "Options"
};

// After the dialog: nothing unless bit 5 differs between `before` and `after`. Then the
// service is switched, the user told that it takes a reboot (not when the switch failed),
// and "Options" stored as `after` with bit 5 set only when the service now starts at boot.
void switchServiceAfterDialog(std::uint32_t before, std::uint32_t after,
                              const ServiceSwitchPorts& ports);

}  // namespace orvelin::client
