#include "client/window/service_switch.h"

#include "settings/option_bits.h"

namespace orvelin::client {

using settings::OptionBits;

std::uint32_t optionsBeforeDialog(std::uint32_t stored, int queryResult) {
    if (queryResult == 1) return stored | OptionBits::RunAsService;
    if (queryResult == 0) return stored & ~OptionBits::RunAsService;
    return stored;
}

void switchServiceAfterDialog(std::uint32_t before, std::uint32_t after,
                              const ServiceSwitchPorts& ports) {
    if (!((before ^ after) & OptionBits::RunAsService)) return;
    const ServiceHooks& service = ports.service;
    if (!service.install || !service.disable || !service.queryAutoStart) return;
    const bool on = after & OptionBits::RunAsService;
    const int result = on ? service.install() : service.disable();
    // A failed switch changes nothing at the next boot: the manager's box said why.
    if (result == 0 && ports.tell) ports.tell(on ? kServiceOnText : kServiceOffText);
    std::uint32_t stored = after & ~OptionBits::RunAsService;
    // Only a clear "starts at boot" sets the bit: 2 means the manager could not say.
    if (on && service.queryAutoStart() == 1) stored |= OptionBits::RunAsService;
    if (ports.store) ports.store(stored);
}

}  // namespace orvelin::client
