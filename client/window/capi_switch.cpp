#include "client/window/capi_switch.h"

#include "capi/capi.h"
#include "settings/settings_store.h"

namespace orvelin::client {

namespace {

std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

}  // namespace

bool profileOffersFax(const unsigned char* profile) {
    // CAPI 2.0 profile: controllers u16, B channels u16, global options u32, then the
    // B1, B2 and B3 protocol masks.
    constexpr std::uint32_t kT30 = 1u << 4;
    return (le32(profile + 8) & kT30) && (le32(profile + 12) & kT30) && (le32(profile + 16) & kT30);
}

CapiOps realCapiOps(platform::WindowRef window) {
    CapiOps ops;
    ops.registerApp = [window] { return capi::RegisterCAPI(capi::WindowTarget(window), kCapiBlockLength); };
    ops.release = [] { capi::ReleaseCAPI(); };
    ops.clearConnections = [] { capi::ClearConnectionTable(); };
    ops.controllers = [] { return capi::GetNumberOfControllers(); };
    ops.faxProfile = [](int controller) {
        unsigned char profile[64] = {};
        if (capi::CAPI20_GetProfile(unsigned(controller), profile) != 0) return false;
        return profileOffersFax(profile);
    };
    ops.startWorker = [] { return capi::StartCapiWorker(); };
    ops.stopWorker = [] { capi::StopCapiWorker([](std::thread& t) { platform::waitForThread(t); }); };
    ops.listen = [](int controller, std::uint32_t info, std::uint32_t cip) {
        return capi::Listen(unsigned(controller), unsigned(controller), info, cip);
    };
    ops.cipMask = [](int c) { return settings::GetCIPMask(c); };
    ops.infoMask = [](int c) { return settings::GetInfoMask(c); };
    ops.settle = [](std::chrono::milliseconds ms) { platform::waitUntil([] { return false; }, ms); };
    return ops;
}

CapiSwitch::~CapiSwitch() {
    if (enabled_) disable();
}

bool CapiSwitch::enable() {
    if (enabled_) return true;
    if (ops_.registerApp() == 0) return false;
    ops_.clearConnections();
    controllers_ = ops_.controllers();
    if (controllers_ <= 0) {
        controllers_ = 0;
        ops_.release();
        return false;
    }
    for (int c = 1; c <= controllers_; ++c) faxCapable_ = ops_.faxProfile(c);
    if (!ops_.startWorker()) {
        ops_.release();
        return false;
    }
    workerStarted_ = true;
    for (int c = 1; c <= controllers_; ++c) {
        const std::uint32_t cip = ops_.cipMask(c);
        if (cip != 0) ops_.listen(c, ops_.infoMask(c), cip);  // a failure skips the controller
    }
    enabled_ = true;
    return true;
}

void CapiSwitch::disable() {
    if (!enabled_) return;
    for (int c = 1; c <= controllers_; ++c) {
        if (ops_.cipMask(c) != 0) ops_.listen(c, 0, 0);
    }
    if (ops_.settle) ops_.settle(kCapiSettle);
    if (workerStarted_) ops_.stopWorker();
    workerStarted_ = false;
    ops_.release();
    enabled_ = false;
}

bool CapiSwitch::toggle() {
    if (enabled_) {
        disable();
        return false;
    }
    return enable();
}

}  // namespace orvelin::client
