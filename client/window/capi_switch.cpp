#include "client/window/capi_switch.h"

#include <cstdio>

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
        auto info = capi::RegisteredController(controller);
        return info && profileOffersFax(info->profile.data());
    };
    ops.identity = [](int controller) -> std::optional<ControllerIdentity> {
        auto info = capi::RegisteredController(controller);
        if (!info) return std::nullopt;
        ControllerIdentity id;
        id.manufacturer = info->manufacturer;
        id.serial = info->serial;
        for (int i = 0; i < 4; ++i) id.version[i] = info->version[i];
        id.bChannels = capi::GetNumberOfBChannels(controller);
        id.globalOptions = le32(info->profile.data() + 4);
        return id;
    };
    ops.log = [](const std::string& line) { capi::WriteCapiLog(line); };
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
    for (int c = 1; c <= controllers_; ++c) {
        faxCapable_ = ops_.faxProfile(c);
        auto id = ops_.identity ? ops_.identity(c) : std::nullopt;
        if (!id) continue;
        globalOptions_ = id->globalOptions & 0x3F;
        char line[512];
        std::snprintf(line, sizeof line, "%s Serial# %s using CAPI v%d.%d Driver v%d.%d using %d B-channels",
                      id->manufacturer.c_str(), id->serial.c_str(), id->version[0], id->version[1],
                      id->version[2], id->version[3], id->bChannels);
        if (ops_.log) ops_.log(line);
    }
    if (!ops_.startWorker()) {
        ops_.release();
        return false;
    }
    workerStarted_ = true;
    for (int c = 1; c <= controllers_; ++c) {
        const std::uint32_t cip = ops_.cipMask(c);
        if (cip == 0) continue;
        // A failure skips the controller, with a line that says why.
        const unsigned rc = ops_.listen(c, ops_.infoMask(c), cip);
        if (rc != 0 && ops_.log) ops_.log(std::string("Listen error: ") + capi::Decode_Info(rc));
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
