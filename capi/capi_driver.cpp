#include "capi/capi_driver.h"

#include <capi20.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "capi/capi_log.h"
#include "capi/connections.h"
#include "capi/driver_connection.h"
#include "capi/target.h"

namespace capi {
namespace {

std::atomic<bool> gLoaded{false};

struct Registration {
    std::mutex mutex;
    uint16_t applId = 0;
    unsigned blockLength = 0;
    std::shared_ptr<MessageTarget> window;
    std::vector<ControllerInfo> controllers;  // read at registration, index 0 = controller 1
};
Registration& reg() {
    static Registration r;
    return r;
}

// libcapi20 keeps the pointers it is given; these live for the whole process.
char gHost[256];
char gDriver[] = "rcapi";

void configureFromEnvironment() {
    const char* remote = std::getenv("ORVELIN_CAPI_REMOTE");
    if (!remote) return;
    std::string text(remote);
    auto colon = text.rfind(':');
    if (colon == std::string::npos) return;
    char* end = nullptr;
    unsigned long port = std::strtoul(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port == 0 || port > 65535) return;
    SetRemoteExchange(text.substr(0, colon), uint16_t(port));
}

std::string textOf(const unsigned char* text, size_t most) {
    const char* p = reinterpret_cast<const char*>(text);
    return std::string(p, strnlen(p, most));
}

}  // namespace

void SetRemoteExchange(const std::string& host, uint16_t port) {
    std::snprintf(gHost, sizeof gHost, "%s", host.c_str());
    capi20ext_set_driver(gDriver);
    capi20ext_set_host(gHost);
    capi20ext_set_port(port);
}

int LoadCapiDll() {
    // A put to a vanished remote driver raises SIGPIPE; the put's result reports it instead.
    ::signal(SIGPIPE, SIG_IGN);
    // libcapi20 traces to stderr unless told otherwise. Before its first call, so that a
    // TRACELEVEL in the user's libcapi20 configuration, read then, still decides.
    static std::once_flag quiet;
    std::call_once(quiet, [] { capi20ext_set_tracelevel(0); });
    if (!gLoaded) configureFromEnvironment();
    gLoaded = true;
    return 1;
}

void FreeCapiDll() {
    gLoaded = false;
}

bool CapiDllLoaded() {
    return gLoaded;
}

uint16_t CAPI20_Register(unsigned messageBufferSize, unsigned maxLogicalConnections,
                         unsigned maxB3Blocks, unsigned maxB3BlockLength, unsigned* error) {
    (void)messageBufferSize;  // libcapi20 sizes the message buffer itself
    if (!gLoaded) {
        if (error) *error = kInfoRegisterNotInstalled;
        return 0;
    }
    unsigned id = 0;
    unsigned rc = capi20_register(maxLogicalConnections, maxB3Blocks, maxB3BlockLength, &id);
    if (error) *error = rc;
    return rc == 0 ? uint16_t(id) : 0;
}

unsigned CAPI20_Release(uint16_t applId) {
    return gLoaded ? capi20_release(applId) : kInfoNotInstalled;
}

unsigned CAPI20_PutMessage(unsigned char* message, uint16_t applId) {
    return gLoaded ? capi20_put_message(applId, message) : kInfoNotInstalled;
}

unsigned CAPI20_GetMessage(uint16_t applId, unsigned char** message) {
    return gLoaded ? capi20_get_message(applId, message) : kInfoNotInstalled;
}

unsigned CAPI20_WaitForSignal(uint16_t applId, timeval* timeout) {
    return gLoaded ? capi20_waitformessage(applId, timeout) : kInfoNotInstalled;
}

unsigned char* CAPI20_GetManufacturer(unsigned char* buffer, unsigned controller) {
    if (!gLoaded) return nullptr;
    std::memset(buffer, 0, 64);
    unsigned char text[80] = {};
    if (!capi20_get_manufacturer(controller, text)) return nullptr;
    std::memcpy(buffer, text, 63);
    return buffer;
}

unsigned char* CAPI20_GetVersion(unsigned char* buffer, unsigned controller) {
    if (!gLoaded) return nullptr;
    // libcapi20 gives four 32-bit numbers; the caller keeps the low byte of each.
    unsigned char raw[16] = {};
    if (!capi20_get_version(controller, raw)) return nullptr;
    for (int i = 0; i < 4; ++i) buffer[i] = raw[4 * i];
    return buffer;
}

unsigned char* CAPI20_GetSerialNumber(unsigned char* buffer, unsigned controller) {
    if (!gLoaded) return nullptr;
    unsigned char text[16] = {};
    if (!capi20_get_serial_number(controller, text)) return nullptr;
    std::memcpy(buffer, text, 7);
    buffer[7] = 0;
    return buffer;
}

unsigned CAPI20_GetProfile(unsigned controller, unsigned char* buffer) {
    return gLoaded ? capi20_get_profile(controller, buffer) : kInfoNotInstalled;
}

bool CAPI20_IsInstalled() {
    return gLoaded && capi20_isinstalled() == 0;
}

int CAPI20_FileNo(uint16_t applId) {
    return gLoaded ? capi20_fileno(applId) : -1;
}

// One registration with the driver; 0 (logged) when it is refused.
static uint16_t registerApplication(unsigned b3BlockLength) {
    unsigned error = 0;
    uint16_t id = CAPI20_Register(kMessageBufferSize, kMaxLogicalConnections, kMaxB3Blocks,
                                  b3BlockLength, &error);
    if (id == 0 || error != 0) {
        WriteCapiLogf(
            "Error: 0x%04X registering the application with id: 0x%04X in function RegisterCAPI",
            error, id);
        return 0;
    }
    SetNoDelay(CAPI20_FileNo(id));
    ForgetLentReceiveBuffers();  // a new registration has all its buffers
    return id;
}

int RegisterCAPI(std::shared_ptr<MessageTarget> window, unsigned b3BlockLength) {
    if (!CAPI20_IsInstalled()) {
        WriteCapiLog("Error: ISDN-driver not installed");
        return 0;
    }
    int controllers = GetNumberOfControllers();
    if (controllers == 0) {
        WriteCapiLog("Error: No ISDN-controller installed");
        return 0;
    }
    const uint16_t id = registerApplication(b3BlockLength);
    if (id == 0) return 0;
    // Everything the layer and the window need of the controllers, read once now.
    std::vector<ControllerInfo> infos(static_cast<size_t>(controllers));
    for (int c = 1; c <= controllers; ++c) {
        ControllerInfo& info = infos[size_t(c - 1)];
        if (CAPI20_GetProfile(unsigned(c), info.profile.data()) != 0) info.profile.fill(0);
        unsigned char text[64] = {};
        if (CAPI20_GetManufacturer(text, unsigned(c))) info.manufacturer = textOf(text, 63);
        CAPI20_GetVersion(info.version.data(), unsigned(c));
        unsigned char serial[8] = {};
        if (CAPI20_GetSerialNumber(serial, unsigned(c))) info.serial = textOf(serial, 7);
    }
    std::lock_guard lock(reg().mutex);
    reg().applId = id;
    reg().blockLength = b3BlockLength;
    reg().window = std::move(window);
    reg().controllers = std::move(infos);
    return controllers;
}

void ReleaseCAPI() {
    uint16_t id;
    {
        std::lock_guard lock(reg().mutex);
        id = reg().applId;
        reg().applId = 0;
        reg().controllers.clear();
    }
    unsigned rc = CAPI20_Release(id);
    if (rc != 0)
        WriteCapiLogf(
            "Error: 0x%04x deregistering the application in function ReleaseCAPI Id: 0x%04X", rc,
            id);
}

uint16_t RegisterAgain() {
    uint16_t old;
    unsigned length;
    {
        std::lock_guard lock(reg().mutex);
        old = reg().applId;
        length = reg().blockLength;
    }
    if (old == 0) return 0;
    CAPI20_Release(old);
    const uint16_t id = registerApplication(length);
    if (id == 0) return 0;
    std::lock_guard lock(reg().mutex);
    reg().applId = id;
    return id;
}

uint16_t ApplId() {
    std::lock_guard lock(reg().mutex);
    return reg().applId;
}

unsigned RegisteredBlockLength() {
    std::lock_guard lock(reg().mutex);
    return reg().blockLength;
}

std::shared_ptr<MessageTarget> MainWindow() {
    std::lock_guard lock(reg().mutex);
    return reg().window;
}

std::optional<ControllerInfo> RegisteredController(int controller) {
    std::lock_guard lock(reg().mutex);
    auto& all = reg().controllers;
    if (reg().applId == 0 || controller < 1 || size_t(controller) > all.size()) return std::nullopt;
    return all[size_t(controller - 1)];
}

int GetNumberOfControllers() {
    {
        std::lock_guard lock(reg().mutex);
        if (reg().applId != 0) return int(reg().controllers.size());
    }
    unsigned char profile[64] = {};
    if (CAPI20_GetProfile(0, profile) != 0) return 0;
    return profile[0] | (profile[1] << 8);
}

int GetNumberOfBChannels(int controller) {
    if (controller < 0) return 0;
    {
        std::lock_guard lock(reg().mutex);
        if (reg().applId != 0) {
            auto& all = reg().controllers;
            if (controller < 1 || size_t(controller) > all.size()) return 0;
            const auto& p = all[size_t(controller - 1)].profile;
            return p[2] | (p[3] << 8);
        }
    }
    unsigned char profile[64] = {};
    if (CAPI20_GetProfile(unsigned(controller), profile) != 0) return 0;
    return profile[2] | (profile[3] << 8);
}

}  // namespace capi
