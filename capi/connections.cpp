#include "capi/connections.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <new>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "capi/capi_driver.h"
#include "capi/capi_log.h"
#include "capi/dispatch.h"

namespace capi {
namespace {

struct ConnectionEntry {
    int32_t InUse = 0;
    int32_t PLCI = -1;
    int32_t NCCI = -1;
    int32_t SavedNCCI = -1;
    int32_t Controller = -1;
    int32_t State = Disconnected;
    int32_t OurInitiative = 0;
    CapiStruct CalledPartyNumberStruct = kEmptyStruct;
    CapiStruct CallingPartyNumberStruct = kEmptyStruct;
    uint16_t CIPValue = 0;
    int32_t SwitchToFax = 0;
    int16_t FaxFormat = -1;
    int16_t FaxPages = 0;
    CapiStruct UserUserDataStruct = kEmptyStruct;
};

std::mutex gTableMutex;
std::array<ConnectionEntry, kConnectionCount> gTable;
uint16_t gRequestCounter = 0;  // message numbers of FACILITY_REQ and INFO_REQ
uint32_t gForwardingHandle = 1;

// Serialises libcapi20's put and get: its remote driver shares state between them.
std::mutex gIoMutex;

std::mutex gListenMutex;
std::map<unsigned, std::pair<uint32_t, uint32_t>> gListening;  // controller -> info, CIP

std::mutex gLentMutex;
std::map<uint16_t, uint32_t> gLent;  // receive buffer index -> NCCI

// libcapi20 takes the buffers back itself at these answers.
void noteAnswer(const _cmsg& m) {
    if (m.Subcommand != CAPI_RESP) return;
    std::lock_guard lock(gLentMutex);
    if (m.Command == CAPI_DATA_B3)
        gLent.erase(m.DataHandle);
    else if (m.Command == CAPI_DISCONNECT_B3)
        std::erase_if(gLent, [&](auto& e) { return e.second == m.adr.adrNCCI; });
}

bool validId(int id) {
    return id >= 0 && id < kConnectionCount;
}

// The slot when id is valid and in use; caller holds the table lock.
ConnectionEntry* used(int id) {
    if (!validId(id) || !gTable[id].InUse) return nullptr;
    return &gTable[id];
}

size_t structContentLength(const unsigned char* s) {
    return s[0] == 0xFF ? size_t(s[1] | (s[2] << 8)) : s[0];
}

uint16_t nextRequestNumber() {
    std::lock_guard lock(gTableMutex);
    return gRequestCounter++;
}

template <class F>
auto withSlot(int id, auto neutral, F read) {
    std::lock_guard lock(gTableMutex);
    ConnectionEntry* e = used(id);
    return e ? read(*e) : neutral;
}

template <class F>
void updateSlot(int id, F write) {
    std::lock_guard lock(gTableMutex);
    if (ConnectionEntry* e = used(id)) write(*e);
}

std::atomic<unsigned> gFailCopies{0};

// Shared body of the struct setters: the log texts differ per setter. The copy is made by
// `make` (null source: the empty struct); a copy that cannot be made leaves the empty struct.
bool setStruct(int id, CapiStruct ConnectionEntry::*field, const char* fieldName,
               const std::function<CapiStruct()>& make, const char* name, bool logInvalid) {
    if (!validId(id)) {
        if (logInvalid) WriteCapiLogf("INVAL CONNECTION ID in %s", name);
        return false;
    }
    CapiStruct value;
    bool made = true;
    try {
        if (make) {
            if (gFailCopies > 0) {
                --gFailCopies;
                throw std::bad_alloc();
            }
            value = make();
        } else {
            value = kEmptyStruct;
        }
    } catch (const std::bad_alloc&) {
        made = false;
    }
    {
        std::lock_guard lock(gTableMutex);
        ConnectionEntry& e = gTable[id];
        if (!e.InUse) {
            if (logInvalid) WriteCapiLogf("Connection not in use in %s", name);
            return false;
        }
        if (made)
            (e.*field).swap(value);
        else
            (e.*field).assign(kEmptyStruct.begin(), kEmptyStruct.end());  // fits any copy's space
    }
    if (!made) WriteCapiLogf("%s = NULL in %s", fieldName, name);
    return made;
}

void putLE16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void putLE32(std::vector<uint8_t>& b, uint32_t v) {
    putLE16(b, uint16_t(v));
    putLE16(b, uint16_t(v >> 16));
}
void putStruct(std::vector<uint8_t>& b, const CapiStruct& s) {
    b.insert(b.end(), s.begin(), s.end());
}
// A length byte says at most 254: 255 announces the long form.
bool fitsStruct(const std::vector<uint8_t>& content) {
    return content.size() <= 254;
}
// Prefixes the content with its length byte; the caller has checked that it fits.
CapiStruct asStruct(std::vector<uint8_t> content) {
    content.insert(content.begin(), uint8_t(content.size()));
    return content;
}

unsigned facility(uint16_t applId, uint32_t address, uint16_t selector, const CapiStruct& param) {
    _cmsg m;
    capi_cmsg_header(&m, applId, CAPI_FACILITY, CAPI_REQ, nextRequestNumber(), address);
    m.FacilitySelector = selector;
    m.FacilityRequestParameter = const_cast<unsigned char*>(param.data());
    return PutCapiMessage(m);
}

unsigned debugResult(unsigned rc) {
    std::fprintf(stderr, "%s\n", Decode_Info(rc));
    return 0;
}

}  // namespace

const char* ConnectionStateName(int state) {
    static const char* const names[] = {
        "Disconnected", "D_ConnectPending",    "D_Connected",        "B_ConnectPending",
        "Connected",    "B_DisconnectPending", "D_DisconnectPending"};
    return state >= 0 && state < 7 ? names[state] : "";
}

CapiStruct CopyStruct(const unsigned char* s) {
    if (s == nullptr) return kEmptyStruct;
    size_t header = s[0] == 0xFF ? 3 : 1;
    return CapiStruct(s, s + header + structContentLength(s));
}

CapiStruct CalledNumberStruct(const char* digits) {
    if (!digits) return kEmptyStruct;
    std::vector<uint8_t> c{0x80};
    c.insert(c.end(), digits, digits + std::strlen(digits));
    return asStruct(std::move(c));
}

CapiStruct CallingNumberStruct(const char* digits) {
    if (!digits) return kEmptyStruct;
    std::vector<uint8_t> c{0x00, 0x80};
    c.insert(c.end(), digits, digits + std::strlen(digits));
    return asStruct(std::move(c));
}

namespace {
std::string digitsFrom(const CapiStruct& s, size_t skip) {
    if (s.empty() || s[0] == 0xFF || s[0] < skip) return "";
    size_t end = std::min<size_t>(s.size(), 1 + s[0]);
    std::string out(s.begin() + 1 + skip, s.begin() + end);
    return out.substr(0, out.find('\0'));
}
}  // namespace

std::string CalledDigits(const CapiStruct& s) {
    return digitsFrom(s, 1);
}
std::string CallingDigits(const CapiStruct& s) {
    return digitsFrom(s, 2);
}

uint16_t CipValueFromMask(uint32_t cipMask) {
    if (cipMask == 0) return 0;
    return uint16_t(std::min(1 + __builtin_ctz(cipMask), 31));
}

void ClearConnectionTable() {
    std::lock_guard lock(gTableMutex);
    for (auto& e : gTable) e.InUse = 0;
}

int AllocConnection() {
    std::lock_guard lock(gTableMutex);
    for (int id = 0; id < kConnectionCount; ++id) {
        if (gTable[id].InUse) continue;
        gTable[id] = ConnectionEntry{};
        gTable[id].InUse = 1;
        return id;
    }
    return -1;
}

void FreeConnection(int id) {
    std::lock_guard lock(gTableMutex);
    ConnectionEntry* e = used(id);
    if (!e) return;
    e->InUse = 0;
    e->CalledPartyNumberStruct = kEmptyStruct;
    e->CallingPartyNumberStruct = kEmptyStruct;
    e->UserUserDataStruct = kEmptyStruct;
}

bool IsConnectionInUse(int id) {
    return withSlot(id, false, [](auto&) { return true; });
}
int32_t GetPLCI(int id) {
    return withSlot(id, int32_t(0), [](auto& e) { return e.PLCI; });
}
int32_t GetNCCI(int id) {
    return withSlot(id, int32_t(0), [](auto& e) { return e.NCCI; });
}
int GetController(int id) {
    return withSlot(id, -1, [](auto& e) { return int(e.Controller); });
}
int GetConnectionState(int id) {
    return withSlot(id, -1, [](auto& e) { return int(e.State); });
}
uint16_t GetCIPValue(int id) {
    return withSlot(id, uint16_t(0), [](auto& e) { return e.CIPValue; });
}
int GetOurInitiative(int id) {
    return withSlot(id, 0, [](auto& e) { return int(e.OurInitiative); });
}
int GetSwitchToFax(int id) {
    return withSlot(id, 0, [](auto& e) { return int(e.SwitchToFax); });
}

// The fax result stays readable in a free slot until the slot is taken again.
int16_t GetFaxFormat(int id) {
    if (!validId(id)) return -1;
    std::lock_guard lock(gTableMutex);
    return gTable[id].FaxFormat;
}
int16_t GetFaxPages(int id) {
    if (!validId(id)) return 0;
    std::lock_guard lock(gTableMutex);
    return gTable[id].FaxPages;
}

std::optional<CapiStruct> GetUserUserDataStruct(int id) {
    if (!validId(id)) return std::nullopt;
    std::lock_guard lock(gTableMutex);
    return gTable[id].UserUserDataStruct;
}
CapiStruct GetCalledPartyNumberStruct(int id) {
    if (!validId(id)) return kEmptyStruct;
    std::lock_guard lock(gTableMutex);
    return gTable[id].CalledPartyNumberStruct;
}
CapiStruct GetCallingPartyNumberStruct(int id) {
    if (!validId(id)) return kEmptyStruct;
    std::lock_guard lock(gTableMutex);
    return gTable[id].CallingPartyNumberStruct;
}
std::string GetCalledPartyDigits(int id) {
    return CalledDigits(GetCalledPartyNumberStruct(id));
}
std::string GetCallingPartyDigits(int id) {
    return CallingDigits(GetCallingPartyNumberStruct(id));
}

void SetPLCI(int id, int32_t plci) {
    updateSlot(id, [&](auto& e) {
        e.PLCI = plci;
        e.Controller = plci & 0xFF;
    });
}
void SetNCCI(int id, int32_t ncci) {
    updateSlot(id, [&](auto& e) { e.NCCI = ncci; });
}
void SetSavedNCCI(int id, int32_t ncci) {
    updateSlot(id, [&](auto& e) { e.SavedNCCI = ncci; });
}
void SetConnectionState(int id, int state) {
    updateSlot(id, [&](auto& e) { e.State = state; });
}
void SetOurInitiative(int id, int v) {
    updateSlot(id, [&](auto& e) { e.OurInitiative = v; });
}
void SetCIPValue(int id, uint16_t cip) {
    updateSlot(id, [&](auto& e) { e.CIPValue = cip; });
}
void SetSwitchToFax(int id, int v) {
    updateSlot(id, [&](auto& e) { e.SwitchToFax = v; });
}
void SetFaxFormat(int id, int16_t f) {
    updateSlot(id, [&](auto& e) { e.FaxFormat = f; });
}
void SetFaxPages(int id, int16_t p) {
    updateSlot(id, [&](auto& e) { e.FaxPages = p; });
}

bool SetCalledPartyNumber(int id, const char* digits) {
    return setStruct(id, &ConnectionEntry::CalledPartyNumberStruct, "CalledPartyNumberStruct",
                     digits ? std::function([=] { return CalledNumberStruct(digits); }) : nullptr,
                     "SetCalledPartyNumber", true);
}
bool SetCalledPartyNumberStruct(int id, const unsigned char* capiStruct) {
    return setStruct(id, &ConnectionEntry::CalledPartyNumberStruct, "CalledPartyNumberStruct",
                     capiStruct ? std::function([=] { return CopyStruct(capiStruct); }) : nullptr,
                     "SetCalledPartyNumberStruct", true);
}
bool SetCallingPartyNumber(int id, const char* digits) {
    return setStruct(id, &ConnectionEntry::CallingPartyNumberStruct, "CallingPartyNumberStruct",
                     digits ? std::function([=] { return CallingNumberStruct(digits); }) : nullptr,
                     "SetCallingPartyNumber", true);
}
bool SetCallingPartyNumberStruct(int id, const unsigned char* capiStruct) {
    return setStruct(id, &ConnectionEntry::CallingPartyNumberStruct, "CallingPartyNumberStruct",
                     capiStruct ? std::function([=] { return CopyStruct(capiStruct); }) : nullptr,
                     "SetCallingPartyNumberStruct", false);
}
bool SetUserUserDataStruct(int id, const unsigned char* capiStruct) {
    return setStruct(id, &ConnectionEntry::UserUserDataStruct, "UserUserDataStruct",
                     capiStruct ? std::function([=] { return CopyStruct(capiStruct); }) : nullptr,
                     "SetUserUserDataStruct", true);
}

void FailStructCopiesForTesting(unsigned count) {
    gFailCopies = count;
}

int GetConnectionByPLCI(int32_t plci) {
    if (plci == -1) {
        WriteCapiLog("INVAL PLCI in GetConnectionByPLCI");
        return -1;
    }
    std::lock_guard lock(gTableMutex);
    for (int id = 0; id < kConnectionCount; ++id)
        if (gTable[id].InUse && gTable[id].PLCI == plci) return id;
    return -1;
}

int GetConnectionByNCCI(int32_t ncci) {
    if (ncci == -1) {
        WriteCapiLog("INVAL NCCI in GetConnectionByNCCI");
        return -1;
    }
    std::lock_guard lock(gTableMutex);
    for (int id = 0; id < kConnectionCount; ++id)
        if (gTable[id].InUse && gTable[id].NCCI == ncci) return id;
    return -1;
}

int GetSavedConnectionByNCCI(int32_t ncci) {
    if (ncci == -1) {
        WriteCapiLog("INVAL NCCI in GetSavedConnectionByNCCI");
        return -1;
    }
    std::lock_guard lock(gTableMutex);
    for (int id = 0; id < kConnectionCount; ++id) {
        const ConnectionEntry& e = gTable[id];
        // A slot that never had a B3 link has nothing saved to match.
        if (e.InUse && e.SavedNCCI != -1 && (e.SavedNCCI & 0xFFFF) == (ncci & 0xFFFF)) return id;
    }
    return -1;
}

int CountConnectionsOnController(int controller) {
    if (controller == -1) return 0;
    std::lock_guard lock(gTableMutex);
    int n = 0;
    for (auto& e : gTable)
        if (e.InUse && e.Controller == controller) ++n;
    return n;
}

int GetFreeController() {
    int controllers = GetNumberOfControllers();
    for (int c = 1; c <= controllers; ++c)
        if (GetNumberOfBChannels(c) > CountConnectionsOnController(c)) return c;
    return -1;
}

void ChangeState(int id, int state, unsigned reason) {
    if (!validId(id)) {
        WriteCapiLog("Invalid ConnectionID in ChangeState");
        return;
    }
    SetConnectionState(id, state);
    PostStateChange(id, unsigned(state), reason);
}

unsigned PutCapiMessage(_cmsg& message) {
    // capi_put_cmsg encodes into one static 2 KB buffer; encode here instead. Requests carry
    // at most a few structs of up to 255 bytes each.
    unsigned char buffer[8192];
    std::lock_guard lock(gIoMutex);
    capi_cmsg2message(&message, buffer);
    noteAnswer(message);
    return CAPI20_PutMessage(buffer, uint16_t(message.ApplId));
}

void LendReceiveBuffer(uint16_t handle, uint32_t ncci) {
    std::lock_guard lock(gLentMutex);
    gLent[handle] = ncci;
}

unsigned AnswerLentReceiveBuffer(uint16_t handle, uint32_t ncci, uint16_t messageNumber) {
    _cmsg m;
    capi_cmsg_header(&m, ApplId(), CAPI_DATA_B3, CAPI_RESP, messageNumber, ncci);
    m.DataHandle = handle;
    unsigned char buffer[64];
    capi_cmsg2message(&m, buffer);
    // The check, the put and the count change in one step with respect to the worker's get.
    std::lock_guard io(gIoMutex);
    {
        std::lock_guard lock(gLentMutex);
        auto it = gLent.find(handle);
        if (it == gLent.end() || it->second != ncci) return kInfoIllegalCoding;
        gLent.erase(it);
    }
    return CAPI20_PutMessage(buffer, uint16_t(m.ApplId));
}

size_t LentReceiveBuffers() {
    std::lock_guard lock(gLentMutex);
    return gLent.size();
}

void ForgetLentReceiveBuffers() {
    std::lock_guard lock(gLentMutex);
    gLent.clear();
}

unsigned GetCapiMessageLocked(uint16_t applId, unsigned char** message) {
    std::lock_guard lock(gIoMutex);
    return CAPI20_GetMessage(applId, message);
}

std::mutex& DriverIoMutex() {
    return gIoMutex;
}

unsigned Listen(unsigned first, unsigned last, uint32_t infoMask, uint32_t cipMask) {
    if (last < first) return kInfoRegisterNotInstalled;
    for (unsigned c = first; c <= last; ++c) {
        _cmsg m;
        // Not libcapi20's LISTEN_REQ(): its upper-case constructors put the message too.
        capi_cmsg_header(&m, ApplId(), CAPI_LISTEN, CAPI_REQ, 0, c);
        m.InfoMask = infoMask;
        m.CIPmask = cipMask;
        unsigned rc = PutCapiMessage(m);
        if (rc != 0) return rc;
        std::lock_guard lock(gListenMutex);
        if (infoMask == 0 && cipMask == 0)
            gListening.erase(c);
        else
            gListening[c] = {infoMask, cipMask};
    }
    return 0;
}

void ListenAgain() {
    std::map<unsigned, std::pair<uint32_t, uint32_t>> listening;
    {
        std::lock_guard lock(gListenMutex);
        listening = gListening;
    }
    for (auto& [c, masks] : listening) Listen(c, c, masks.first, masks.second);
}

unsigned Connect(int* outId, const char* calledDigits, const char* callingDigits, uint32_t cipMask,
                 uint16_t b1, uint16_t b2, uint16_t b3, const unsigned char* b1Config,
                 const unsigned char* b2Config, const unsigned char* b3Config,
                 const unsigned char* bChannelInfo, const unsigned char* userUserData) {
    *outId = -1;
    // A number longer than a struct's length byte can say cannot be coded.
    if ((calledDigits && std::strlen(calledDigits) > 253) ||
        (callingDigits && std::strlen(callingDigits) > 252))
        return kInfoIllegalCoding;
    int controller = GetFreeController();
    if (controller == -1) controller = 1;
    int id = AllocConnection();
    *outId = id;
    if (id == -1) {
        WriteCapiLog("Error: no available connection identifiers");
        return kInfoNoConnection;
    }
    // A call without the numbers it was asked for is not placed.
    if (!SetCalledPartyNumber(id, calledDigits) || !SetCallingPartyNumber(id, callingDigits)) {
        FreeConnection(id);
        *outId = -1;
        return kInfoResourceError;
    }
    SetCIPValue(id, CipValueFromMask(cipMask));
    CapiStruct called = GetCalledPartyNumberStruct(id);
    CapiStruct calling = GetCallingPartyNumberStruct(id);

    _cmsg m;
    capi_cmsg_header(&m, ApplId(), CAPI_CONNECT, CAPI_REQ, uint16_t(id), uint32_t(controller));
    m.CIPValue = CipValueFromMask(cipMask);
    m.CalledPartyNumber = called.data();
    m.CallingPartyNumber = calling.data();
    m.B1protocol = b1;
    m.B2protocol = b2;
    m.B3protocol = b3;
    m.B1configuration = const_cast<unsigned char*>(b1Config);
    m.B2configuration = const_cast<unsigned char*>(b2Config);
    m.B3configuration = const_cast<unsigned char*>(b3Config);
    m.BChannelinformation = const_cast<unsigned char*>(bChannelInfo);
    m.Useruserdata = const_cast<unsigned char*>(userUserData);
    unsigned rc = PutCapiMessage(m);
    if (rc != 0) {
        FreeConnection(id);
        *outId = -1;
        WriteCapiLog("Connect: error in CAPI_PUT_MESSAGE");
    }
    return rc;
}

unsigned ConnectResp(int id, uint16_t reject, uint16_t b1, uint16_t b2, uint16_t b3,
                     const unsigned char* b3Config) {
    _cmsg m;
    capi_cmsg_header(&m, ApplId(), CAPI_CONNECT, CAPI_RESP, 0, uint32_t(GetPLCI(id)));
    m.Reject = reject;
    m.B1protocol = b1;
    m.B2protocol = b2;
    m.B3protocol = b3;
    m.B3configuration = const_cast<unsigned char*>(b3Config);
    return PutCapiMessage(m);
}

unsigned Disconnect(int id) {
    // State, mark and address in one step: a clearing that arrives meanwhile must not send
    // the request to an address the call no longer has.
    uint8_t command = 0;
    uint32_t address = 0;
    {
        std::lock_guard lock(gTableMutex);
        ConnectionEntry* e = used(id);
        if (!e) return 0;
        if (e->State == B_ConnectPending || e->State == Connected) {
            command = CAPI_DISCONNECT_B3;
            address = uint32_t(e->NCCI);
        } else if (e->State == D_ConnectPending || e->State == D_Connected ||
                   e->State == B_DisconnectPending) {
            command = CAPI_DISCONNECT;
            address = uint32_t(e->PLCI);
        } else {
            return 0;
        }
        e->OurInitiative = 1;
    }
    _cmsg m;
    capi_cmsg_header(&m, ApplId(), command, CAPI_REQ, 0, address);
    return PutCapiMessage(m);
}

unsigned DisconnectB3(int id) {
    if (!validId(id) || GetNCCI(id) == -1) return kInfoWrongState;
    _cmsg m;
    capi_cmsg_header(&m, ApplId(), CAPI_DISCONNECT_B3, CAPI_REQ, 0, uint32_t(GetNCCI(id)));
    return PutCapiMessage(m);
}

unsigned SelectBProtocol(int id, uint16_t messageNumber, uint16_t b1, uint16_t b2, uint16_t b3,
                         const CapiStruct& b1Config, const CapiStruct& b2Config,
                         const CapiStruct& b3Config) {
    if (!validId(id) || !IsConnectionInUse(id)) return kInfoWrongState;
    _cmsg m;
    capi_cmsg_header(&m, ApplId(), CAPI_SELECT_B_PROTOCOL, CAPI_REQ, messageNumber,
                     uint32_t(GetPLCI(id)));
    m.B1protocol = b1;
    m.B2protocol = b2;
    m.B3protocol = b3;
    m.B1configuration = const_cast<unsigned char*>(b1Config.data());
    m.B2configuration = const_cast<unsigned char*>(b2Config.data());
    m.B3configuration = const_cast<unsigned char*>(b3Config.data());
    return PutCapiMessage(m);
}

unsigned SendData(int id, const void* data, unsigned length, uint16_t handle, uint16_t flags) {
    if (id == -1 || GetConnectionState(id) != Connected) return kInfoWrongState;
    // The driver copies the block into a buffer of the registered block length.
    if (length > RegisteredBlockLength()) return kInfoDataLength;
    _cmsg m;
    capi_cmsg_header(&m, ApplId(), CAPI_DATA_B3, CAPI_REQ, 0, uint32_t(GetNCCI(id)));
    m.Data = static_cast<unsigned char*>(const_cast<void*>(data));
    m.DataLength = uint16_t(length);
    m.DataHandle = handle;
    m.Flags = flags;
    return PutCapiMessage(m);
}

unsigned StartDTMFListen(uint16_t applId, int id, uint16_t tone, uint16_t gap,
                         uint16_t characteristics) {
    std::vector<uint8_t> c;
    putLE16(c, 1);  // start DTMF listen
    if (tone != 0 || gap != 0 || characteristics != 0) {
        putLE16(c, tone);
        putLE16(c, gap);
        c.push_back(0);  // no DTMF digits
        c.push_back(2);
        putLE16(c, characteristics);
    }
    return facility(applId, uint32_t(GetNCCI(id)), 1, asStruct(std::move(c)));
}

unsigned DataB3Resp(int id, uint16_t handle) {
    if (id == -1 || GetConnectionState(id) != Connected) return 0;
    return AnswerLentReceiveBuffer(handle, uint32_t(GetNCCI(id)), 0);
}

CapiStruct MakeFaxB1Config() {
    std::vector<uint8_t> c;
    putLE16(c, 9600);  // maximum bit rate
    putLE16(c, 0);     // transmit level
    putLE16(c, 0);
    putLE16(c, 0);
    return asStruct(std::move(c));
}

CapiStruct MakeFaxB3Config(uint16_t format, uint16_t resolution, const std::string& stationId) {
    // At most 20 bytes, never part of a character.
    size_t keep = std::min<size_t>(stationId.size(), 20);
    if (keep < stationId.size())
        while (keep > 0 && (static_cast<unsigned char>(stationId[keep]) & 0xC0) == 0x80) --keep;
    std::string sid = stationId.substr(0, keep);
    std::vector<uint8_t> c;
    putLE16(c, resolution);
    putLE16(c, format);
    putStruct(c, asStruct({sid.begin(), sid.end()}));
    std::string head = kFaxHeadLine;
    putStruct(c, asStruct({head.begin(), head.end()}));
    CapiStruct s = asStruct(std::move(c));
    s.push_back(0);
    return s;
}

std::vector<uint8_t> MakeNullConfig(uint16_t value) {
    std::vector<uint8_t> c{0};
    putLE16(c, 0);
    putLE16(c, value);
    c.push_back(0);
    return c;
}

unsigned QueryServices(uint16_t applId, int id) {
    std::vector<uint8_t> c;
    putLE16(c, 0x0000);
    c.push_back(0);
    return facility(applId, uint32_t(GetController(id)), 3, asStruct(std::move(c)));
}

unsigned ListenSupplementaryServices(uint16_t applId, uint32_t address, uint32_t mask) {
    std::vector<uint8_t> c;
    putLE16(c, 0x0001);
    c.push_back(4);
    putLE32(c, mask);
    return debugResult(facility(applId, address, 3, asStruct(std::move(c))));
}

unsigned SendDTMF(uint16_t applId, int id, const char* digits) {
    std::string d = digits ? std::string(digits).substr(0, 240) : "";
    std::vector<uint8_t> c;
    putLE16(c, 0x0003);
    putLE16(c, 50);
    putLE16(c, 50);
    putStruct(c, asStruct({d.begin(), d.end()}));
    return facility(applId, uint32_t(GetNCCI(id)), 1, asStruct(std::move(c)));
}

unsigned StopDTMFListen(uint16_t applId, int id) {
    std::vector<uint8_t> c;
    putLE16(c, 0x0002);
    return facility(applId, uint32_t(GetNCCI(id)), 1, asStruct(std::move(c)));
}

namespace {
uint32_t nextForwardingHandle() {
    std::lock_guard lock(gTableMutex);
    return gForwardingHandle++;
}
CapiStruct partyNumber(const char* digits) {
    std::string d = digits ? std::string(digits).substr(0, 250) : "";
    std::vector<uint8_t> c{0x00};  // type of number / numbering plan
    c.insert(c.end(), d.begin(), d.end());
    return asStruct(std::move(c));
}
}  // namespace

unsigned InterrogateForwarding(uint16_t applId, uint32_t address) {
    std::vector<uint8_t> p;
    putLE32(p, nextForwardingHandle());
    putLE16(p, 0);   // unconditional
    putLE16(p, 0);   // all basic services
    p.push_back(0);  // all served users
    std::vector<uint8_t> c;
    putLE16(c, 0x000B);
    putStruct(c, asStruct(std::move(p)));
    unsigned rc = facility(applId, address, 3, asStruct(std::move(c)));
    if (rc == 0) {
        std::vector<uint8_t> q;
        putLE32(q, nextForwardingHandle());
        std::vector<uint8_t> n;
        putLE16(n, 0x000C);
        putStruct(n, asStruct(std::move(q)));
        rc = facility(applId, address, 3, asStruct(std::move(n)));
    }
    return debugResult(rc);
}

unsigned ActivateForwarding(uint16_t applId, uint32_t address, const char* servedUser,
                            const char* forwardedTo) {
    std::vector<uint8_t> p;
    putLE32(p, nextForwardingHandle());
    putLE16(p, 0);
    putLE16(p, 0);
    putStruct(p, partyNumber(servedUser));
    putStruct(p, partyNumber(forwardedTo));
    p.push_back(0);  // no subaddress
    if (!fitsStruct(p)) return debugResult(kInfoIllegalCoding);
    std::vector<uint8_t> c;
    putLE16(c, 0x0009);
    putStruct(c, asStruct(std::move(p)));
    if (!fitsStruct(c)) return debugResult(kInfoIllegalCoding);
    return debugResult(facility(applId, address, 3, asStruct(std::move(c))));
}

unsigned DeactivateForwarding(uint16_t applId, uint32_t address, const char* servedUser) {
    std::vector<uint8_t> p;
    putLE32(p, nextForwardingHandle());
    putLE16(p, 0);
    putLE16(p, 0);
    putStruct(p, partyNumber(servedUser));
    if (!fitsStruct(p)) return debugResult(kInfoIllegalCoding);
    std::vector<uint8_t> c;
    putLE16(c, 0x000A);
    putStruct(c, asStruct(std::move(p)));
    if (!fitsStruct(c)) return debugResult(kInfoIllegalCoding);
    return debugResult(facility(applId, address, 3, asStruct(std::move(c))));
}

unsigned DeflectCall(uint16_t applId, uint32_t address, const char* deflectTo) {
    std::vector<uint8_t> p;
    putLE16(p, 1);  // presentation allowed
    putStruct(p, partyNumber(deflectTo));
    p.push_back(0);
    if (!fitsStruct(p)) return debugResult(kInfoIllegalCoding);
    std::vector<uint8_t> c;
    putLE16(c, 0x000D);
    putStruct(c, asStruct(std::move(p)));
    if (!fitsStruct(c)) return debugResult(kInfoIllegalCoding);
    return debugResult(facility(applId, address, 3, asStruct(std::move(c))));
}

unsigned SendInfoReq(uint16_t applId, int id) {
    _cmsg m;
    capi_cmsg_header(&m, applId, CAPI_INFO, CAPI_REQ, nextRequestNumber(),
                     uint32_t(GetController(id)));
    return PutCapiMessage(m);
}

void ResetConnectionsForTesting() {
    std::lock_guard lock(gTableMutex);
    gTable = {};
    gRequestCounter = 0;
    gForwardingHandle = 1;
    ForgetLentReceiveBuffers();
    std::lock_guard listen(gListenMutex);
    gListening.clear();
}

}  // namespace capi
