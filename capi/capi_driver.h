// Binding of the CAPI 2.0 driver (libcapi20): its ten operations with fixed results while
// the driver is not bound, and registration of the application.
//
// libcapi20 is linked, so "loading" only switches the wrappers on. The driver itself is
// libcapi20's choice (its configuration), unless SetRemoteExchange() or the environment
// variable ORVELIN_CAPI_REMOTE ("host:port") selects the remote driver before the first
// CAPI call.
#pragma once

#include <sys/time.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace capi {

class MessageTarget;

// CAPI Info values used across the layer.
inline constexpr unsigned kInfoRegisterNotInstalled = 0x1009;
inline constexpr unsigned kInfoNotInstalled = 0x1109;
inline constexpr unsigned kInfoQueueEmpty = 0x1104;
inline constexpr unsigned kInfoIllegalApplication = 0x1101;
inline constexpr unsigned kInfoNoConnection = 0x1108;
inline constexpr unsigned kInfoResourceError = 0x1108;
inline constexpr unsigned kInfoWrongState = 0x2001;
inline constexpr unsigned kInfoIllegalCoding = 0x2007;
inline constexpr unsigned kInfoDataLength = 0x300C;

// Parameters of the registration.
inline constexpr unsigned kMessageBufferSize = 3072;
inline constexpr unsigned kMaxLogicalConnections = 2;
inline constexpr unsigned kMaxB3Blocks = 7;

// Selects libcapi20's remote driver at host:port. Must run before the first CAPI call.
void SetRemoteExchange(const std::string& host, uint16_t port);

int LoadCapiDll();
void FreeCapiDll();
bool CapiDllLoaded();

uint16_t CAPI20_Register(unsigned messageBufferSize, unsigned maxLogicalConnections,
                         unsigned maxB3Blocks, unsigned maxB3BlockLength, unsigned* error);
unsigned CAPI20_Release(uint16_t applId);
unsigned CAPI20_PutMessage(unsigned char* message, uint16_t applId);
unsigned CAPI20_GetMessage(uint16_t applId, unsigned char** message);
// Waits at most `timeout` (a finite wait lets the worker notice its stop flag).
unsigned CAPI20_WaitForSignal(uint16_t applId, timeval* timeout);
// The driver's texts and numbers, of one controller (0: the driver as a whole).
unsigned char* CAPI20_GetManufacturer(unsigned char* buffer, unsigned controller = 0);  // 64 bytes
unsigned char* CAPI20_GetVersion(unsigned char* buffer, unsigned controller = 0);       // 4 bytes
unsigned char* CAPI20_GetSerialNumber(unsigned char* buffer, unsigned controller = 0);  // 8 bytes
unsigned CAPI20_GetProfile(unsigned controller, unsigned char* buffer);                 // 64 bytes
bool CAPI20_IsInstalled();
// The application's socket (remote driver), -1 when there is none.
int CAPI20_FileNo(uint16_t applId);

// Registers the application; returns the number of controllers, 0 on failure (logged).
// Messages of the layer go to `window` from then on.
int RegisterCAPI(std::shared_ptr<MessageTarget> window, unsigned b3BlockLength);
void ReleaseCAPI();
// Releases the application and registers it again with the same parameters, for a
// connection whose stream cannot be followed any more. The new id, or 0 when refused.
uint16_t RegisterAgain();
uint16_t ApplId();
unsigned RegisteredBlockLength();
std::shared_ptr<MessageTarget> MainWindow();

// Both read the profile; a failed profile call counts as 0. While an application is
// registered they answer from what the registration read, without asking the driver: a
// driver that stops answering must not stop the thread that asks.
int GetNumberOfControllers();
int GetNumberOfBChannels(int controller);

// What the registration read of one controller.
struct ControllerInfo {
    std::array<unsigned char, 64> profile{};  // zero when the profile call failed
    std::string manufacturer;                 // empty when the call failed
    std::string serial;
    std::array<unsigned char, 4> version{};   // CAPI major, minor, driver major, minor
};
// Controllers 1 to the count; nullopt for any other number or while not registered.
std::optional<ControllerInfo> RegisteredController(int controller);

}  // namespace capi
