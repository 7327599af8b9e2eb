// The table of ten logical connections and the CAPI requests made on their behalf.
//
// Connection ids are slot indexes 0..9; -1 means none. Any other value (for instance a
// message number echoed by the exchange) is treated like -1, so no id from outside can
// index past the table. The table is shared by the CAPI worker (dispatch) and the window
// thread (requests); every access takes the table lock, which is never held across a put,
// a post or a send.
//
// States (CAPI 2.0 PLCI/NCCI states), and who moves a connection between them:
//   Disconnected --CONNECT_IND / CONNECT_CONF ok--> D_ConnectPending
//   D_ConnectPending --CONNECT_ACTIVE_IND--> D_Connected
//   D_Connected --CONNECT_B3_IND / CONNECT_B3_CONF ok--> B_ConnectPending
//   B_ConnectPending --CONNECT_B3_ACTIVE_IND--> Connected
//   Connected --DISCONNECT_B3_CONF ok--> B_DisconnectPending
//   any B3 state --DISCONNECT_B3_IND--> D_Connected
//   any --DISCONNECT_CONF ok--> D_DisconnectPending --DISCONNECT_IND--> Disconnected (freed)
// Requests never change a state themselves; the dispatch does, through ChangeState().
#pragma once

#include <capi20.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capi/capi_driver.h"

namespace capi {

enum ConnectionState : int {
    Disconnected = 0,
    D_ConnectPending = 1,
    D_Connected = 2,
    B_ConnectPending = 3,
    Connected = 4,
    B_DisconnectPending = 5,
    D_DisconnectPending = 6,
};
// The state's name, which is also its diagnostic text; "" for other values.
const char* ConnectionStateName(int state);

inline constexpr int kConnectionCount = 10;

// A CAPI struct as on the wire: length byte, then the content. An empty struct is {0}.
using CapiStruct = std::vector<uint8_t>;
inline const CapiStruct kEmptyStruct{0};
// Copies a received struct; a null pointer gives the empty struct.
CapiStruct CopyStruct(const unsigned char* capiStruct);
// Number structs from digit strings (null: the empty struct).
CapiStruct CalledNumberStruct(const char* digits);   // type octet 0x80, then the digits
CapiStruct CallingNumberStruct(const char* digits);  // 0x00, presentation 0x80, digits
// Digit views: the content after the type octet (called) or after the type and
// presentation octets (calling), up to the first zero byte.
std::string CalledDigits(const CapiStruct& s);
std::string CallingDigits(const CapiStruct& s);
// 0 for an empty mask, else 1 + the index of the lowest set bit, at most 31.
uint16_t CipValueFromMask(uint32_t cipMask);

// Table management.
void ClearConnectionTable();
int AllocConnection();
void FreeConnection(int id);

// Accessors; neutral values for -1 or a free slot.
bool IsConnectionInUse(int id);
int32_t GetPLCI(int id);
int32_t GetNCCI(int id);
int GetController(int id);
int GetConnectionState(int id);
uint16_t GetCIPValue(int id);
int GetOurInitiative(int id);
int GetSwitchToFax(int id);
int16_t GetFaxFormat(int id);
int16_t GetFaxPages(int id);
std::optional<CapiStruct> GetUserUserDataStruct(int id);  // nullopt for -1
CapiStruct GetCalledPartyNumberStruct(int id);
CapiStruct GetCallingPartyNumberStruct(int id);
std::string GetCalledPartyDigits(int id);
std::string GetCallingPartyDigits(int id);

void SetPLCI(int id, int32_t plci);  // also Controller = plci & 0xFF
void SetNCCI(int id, int32_t ncci);
void SetSavedNCCI(int id, int32_t ncci);
void SetConnectionState(int id, int state);
void SetOurInitiative(int id, int value);
void SetCIPValue(int id, uint16_t cip);
void SetSwitchToFax(int id, int value);
void SetFaxFormat(int id, int16_t format);
void SetFaxPages(int id, int16_t pages);

// Struct setters: false when nothing was stored, or when the copy could not be made (logged;
// the field is then the empty struct).
bool SetCalledPartyNumber(int id, const char* digits);
bool SetCalledPartyNumberStruct(int id, const unsigned char* capiStruct);
bool SetCallingPartyNumber(int id, const char* digits);
bool SetCallingPartyNumberStruct(int id, const unsigned char* capiStruct);
bool SetUserUserDataStruct(int id, const unsigned char* capiStruct);
// Tests: the next `count` struct copies fail as if memory had run out.
void FailStructCopiesForTesting(unsigned count);

// Look-ups: the first slot in use that matches, or -1.
int GetConnectionByPLCI(int32_t plci);
int GetConnectionByNCCI(int32_t ncci);
// Low 16 bits against the saved NCCI of the call's last B3 link.
int GetSavedConnectionByNCCI(int32_t ncci);
int CountConnectionsOnController(int controller);
int GetFreeController();

// Stores the state and posts WM_CAPI_STATE_CHANGED (also for a free slot).
void ChangeState(int id, int state, unsigned reason);

// Encodes into a private buffer and puts it, serialised with the worker's get.
unsigned PutCapiMessage(_cmsg& message);

// libcapi20's receive buffers (2 + connections x (blocks + 1)) held by DATA_B3_IND blocks
// that are not answered yet, by the buffer index libcapi20 puts in DataHandle. libcapi20
// breaks for good once every buffer is taken, and aborts on a second DATA_B3_RESP for one
// buffer: the worker fetches only while two are left, and a handle is answered once.
inline constexpr unsigned kReceiveBuffers = 2 + kMaxLogicalConnections * (kMaxB3Blocks + 1);
void LendReceiveBuffer(uint16_t handle, uint32_t ncci);
// DATA_B3_RESP for a lent buffer, which counts as lent until libcapi20 has it back;
// 0x2007 when that handle is not lent on that NCCI (answered already).
unsigned AnswerLentReceiveBuffer(uint16_t handle, uint32_t ncci, uint16_t messageNumber);
size_t LentReceiveBuffers();
void ForgetLentReceiveBuffers();
// The driver's get under the same lock (CAPI worker only).
unsigned GetCapiMessageLocked(uint16_t applId, unsigned char** message);
// The lock of the driver's put and get, for what is sent beside the driver.
std::mutex& DriverIoMutex();

// Requests; each returns the put result unless said otherwise.
// Controllers that listen are remembered (empty masks forget one) for ListenAgain().
unsigned Listen(unsigned firstController, unsigned lastController, uint32_t infoMask,
                uint32_t cipMask);
// The LISTEN of every controller that listens, again (after a new registration).
void ListenAgain();
unsigned Connect(int* id, const char* calledDigits, const char* callingDigits, uint32_t cipMask,
                 uint16_t b1, uint16_t b2, uint16_t b3, const unsigned char* b1Config,
                 const unsigned char* b2Config, const unsigned char* b3Config,
                 const unsigned char* bChannelInfo, const unsigned char* userUserData);
unsigned ConnectResp(int id, uint16_t reject, uint16_t b1, uint16_t b2, uint16_t b3,
                     const unsigned char* b3Config);
unsigned Disconnect(int id);
// 0x2001 unless Connected; 0x300C for a block longer than the registered block length.
unsigned SendData(int id, const void* data, unsigned length, uint16_t handle, uint16_t flags);
unsigned StartDTMFListen(uint16_t applId, int id, uint16_t toneDuration, uint16_t gapDuration,
                         uint16_t characteristics);
// DISCONNECT_B3_REQ on the connection's NCCI, leaving the call up (no initiative mark).
unsigned DisconnectB3(int id);
// SELECT_B_PROTOCOL_REQ on the connection's PLCI with the given message number.
unsigned SelectBProtocol(int id, uint16_t messageNumber, uint16_t b1, uint16_t b2, uint16_t b3,
                         const CapiStruct& b1Config, const CapiStruct& b2Config,
                         const CapiStruct& b3Config);
// Answers a block the window kept; 0x2007 for a handle that is not waiting for its answer.
unsigned DataB3Resp(int id, uint16_t handle);

// B-protocol configurations for fax and voice.
CapiStruct MakeFaxB1Config();
// The station id is cut to 20 bytes (the T.30 limit), never inside a character.
CapiStruct MakeFaxB3Config(uint16_t format, uint16_t resolution, const std::string& stationId);
// Six bytes whose length byte is 0: an empty struct that carries one value word.
std::vector<uint8_t> MakeNullConfig(uint16_t value);
inline constexpr char kFaxHeadLine[] = "ISDN Pellow";

// Requests that nothing in the program calls.
unsigned QueryServices(uint16_t applId, int id);
unsigned ListenSupplementaryServices(uint16_t applId, uint32_t address, uint32_t mask = 0x1F);
unsigned SendDTMF(uint16_t applId, int id, const char* digits);
unsigned StopDTMFListen(uint16_t applId, int id);
unsigned InterrogateForwarding(uint16_t applId, uint32_t address);
unsigned ActivateForwarding(uint16_t applId, uint32_t address, const char* servedUser,
                            const char* forwardedTo);
unsigned DeactivateForwarding(uint16_t applId, uint32_t address, const char* servedUser);
unsigned DeflectCall(uint16_t applId, uint32_t address, const char* deflectTo);
unsigned SendInfoReq(uint16_t applId, int id);

// Tests: forget the whole table and the request counters.
void ResetConnectionsForTesting();

}  // namespace capi
