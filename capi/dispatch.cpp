#include "capi/dispatch.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "capi/capi_driver.h"
#include "capi/capi_log.h"
#include "capi/driver_connection.h"
#include "platform/app_messages.h"
#include "platform/message_box.h"

namespace capi {
namespace {

std::mutex gHookMutex;
OptionsReader gOptionsReader;
FaxSwitchHandler gFaxSwitch;

// The received record and its buffer, used by the CAPI worker only. The decoder reads a
// struct's length with a 16-bit offset, so padding of 64 KB keeps every read inside; only
// the bytes of the last message need clearing.
constexpr size_t kMaxMessage = SEND_BUFSIZ;
std::vector<unsigned char> gRxBuffer(kMaxMessage + 65536 + 16);
size_t gRxUsed = 0;
_cmsg gReceived;
unsigned gFetchError = 0;

// libcapi20 receives each message into a buffer of 128 + the registered block length, at
// least 2048 bytes, and cuts a longer frame to that.
size_t receiveBufferSize() {
    return std::max<size_t>(2048, 128 + size_t(RegisteredBlockLength()));
}

// The pairs libcapi20's decoder has a parameter list for; it crashes on any other.
bool decodable(uint8_t command, uint8_t subcommand) {
    switch (command) {
        case CAPI_CONNECT:
        case CAPI_DISCONNECT:
        case CAPI_INFO:
        case CAPI_FACILITY:
        case CAPI_CONNECT_B3:
        case CAPI_DISCONNECT_B3:
        case CAPI_DATA_B3:
        case CAPI_RESET_B3:
        case CAPI_MANUFACTURER:
            return true;
        case CAPI_ALERT:
        case CAPI_LISTEN:
        case CAPI_SELECT_B_PROTOCOL:
            return subcommand == CAPI_CONF;
        case CAPI_CONNECT_ACTIVE:
        case CAPI_CONNECT_B3_ACTIVE:
        case CAPI_CONNECT_B3_T90_ACTIVE:
            return subcommand == CAPI_IND;
        default:
            return false;
    }
}

uint16_t le16(const unsigned char* p) {
    return uint16_t(p[0] | (p[1] << 8));
}

size_t structSize(const unsigned char* s) {
    return s[0] == 0xFF ? 3 + size_t(le16(s + 1)) : 1 + size_t(s[0]);
}

// Every struct the decoder found lies inside the message of `length` bytes.
bool structsInside(const _cmsg& m, size_t length) {
    const unsigned char* begin = gRxBuffer.data();
    const unsigned char* end = begin + length;
    const _cstruct structs[] = {m.B1configuration,
                                m.B2configuration,
                                m.B3configuration,
                                m.BC,
                                m.BChannelinformation,
                                m.CalledPartyNumber,
                                m.CalledPartySubaddress,
                                m.CallingPartyNumber,
                                m.CallingPartySubaddress,
                                m.ConnectedNumber,
                                m.ConnectedSubaddress,
                                m.FacilityConfirmationParameter,
                                m.Facilitydataarray,
                                m.FacilityIndicationParameter,
                                m.FacilityRequestParameter,
                                m.FacilityResponseParameters,
                                m.Globalconfiguration,
                                m.HLC,
                                m.InfoElement,
                                m.Keypadfacility,
                                m.LLC,
                                m.ManuData,
                                m.NCPI,
                                m.Useruserdata,
                                m.SendingComplete};
    for (const _cstruct s : structs) {
        if (s == nullptr) continue;
        if (s < begin || s >= end) return false;
        if (size_t(end - s) < (s[0] == 0xFF ? 3u : 1u) || structSize(s) > size_t(end - s))
            return false;
    }
    return true;
}

WParam wparamOf(int id) {
    return WParam(intptr_t(id));
}

// Builds the answer to an indication: same command and message number and address.
void answer(const _cmsg& ind, const std::function<void(_cmsg&)>& fill = {}) {
    _cmsg a;
    capi_cmsg_header(&a, ApplId(), ind.Command, CAPI_RESP, ind.Messagenumber,
                     ind.adr.adrController);
    if (fill) fill(a);
    PutCapiMessage(a);
}

void disconnectReq(int32_t plci) {
    _cmsg m;
    capi_cmsg_header(&m, ApplId(), CAPI_DISCONNECT, CAPI_REQ, 0, uint32_t(plci));
    PutCapiMessage(m);
}

bool alertAllowed(int id) {
    OptionsReader reader;
    {
        std::lock_guard lock(gHookMutex);
        reader = gOptionsReader;
    }
    std::optional<uint32_t> options = reader ? reader() : std::nullopt;
    if (!options || !(*options & kOptionConfiguredNumbersOnly)) return true;
    std::string needle(1, ';');
    needle.append(GetCalledPartyDigits(id)).push_back(';');
    return TheConfiguredNumberList().contains(needle);
}

void onConnectInd(const _cmsg& r) {
    int32_t plci = int32_t(r.adr.adrPLCI);
    int id = GetConnectionByPLCI(plci);
    if (id == -1) {
        id = AllocConnection();
        if (id == -1) {
            WriteCapiLog("IND CONNECT Error: Could not allocate resources");
            answer(r, [](_cmsg& a) { a.Reject = 2; });
            return;
        }
        SetPLCI(id, plci);
    }
    SetCIPValue(id, r.CIPValue);
    // Each setter logs a copy it cannot make; a call whose numbers are lost is refused.
    bool stored = SetCallingPartyNumberStruct(id, r.CallingPartyNumber);
    stored = SetCalledPartyNumberStruct(id, r.CalledPartyNumber) && stored;
    stored = SetUserUserDataStruct(id, r.Useruserdata) && stored;
    if (!stored) {
        WriteCapiLog("IND CONNECT Error: Could not allocate resources");
        answer(r, [](_cmsg& a) { a.Reject = 2; });
        FreeConnection(id);
        return;
    }
    if (alertAllowed(id)) {
        _cmsg m;
        capi_cmsg_header(&m, ApplId(), CAPI_ALERT, CAPI_REQ, 0, r.adr.adrPLCI);
        PutCapiMessage(m);
    } else {
        answer(r, [](_cmsg& a) { a.Reject = 2; });
    }
    SetConnectionState(id, D_ConnectPending);
    CapiStruct calling = GetCallingPartyNumberStruct(id);
    uint8_t restricted = calling.size() >= 3 && calling[0] >= 2 ? (calling[2] & 0x20) : 0;
    PostIncomingCall(id, GetCallingPartyDigits(id), GetCalledPartyDigits(id), GetCIPValue(id),
                     GetUserUserDataStruct(id), restricted);
    ChangeState(id, D_ConnectPending, 0);
}

void onDisconnectB3Ind(const _cmsg& r) {
    int32_t address = int32_t(r.adr.adrNCCI);
    int id = GetConnectionByNCCI(address);
    if (id == -1) id = GetSavedConnectionByNCCI(address & 0xFFFF);
    if (id == -1) {
        answer(r);
        return;
    }
    // Fax NCPI (T.30): length, rate, options, format, pages.
    if (r.NCPI && r.NCPI[0] != 0xFF && r.NCPI[0] >= 8) {
        SetFaxFormat(id, int16_t(le16(r.NCPI + 5)));
        SetFaxPages(id, int16_t(le16(r.NCPI + 7)));
    }
    SetNCCI(id, -1);
    answer(r);
    ChangeState(id, D_Connected, r.Reason_B3);
    if (GetSwitchToFax(id)) {
        FaxSwitchHandler handler;
        {
            std::lock_guard lock(gHookMutex);
            handler = gFaxSwitch;
        }
        if (handler) handler(id, r.Messagenumber);
    } else if (GetOurInitiative(id)) {
        disconnectReq(GetPLCI(id));
    }
}

// A DATA_B3_IND holds one of libcapi20's few receive buffers until it is answered, so one
// that is dropped is answered all the same, from the bytes libcapi20 left: its buffer index
// as DataHandle at 18, the NCCI at 8.
void answerDroppedBlock(const unsigned char* raw) {
    if (raw[4] != CAPI_DATA_B3 || raw[5] != CAPI_IND) return;
    uint32_t ncci = uint32_t(raw[8]) | uint32_t(raw[9]) << 8 | uint32_t(raw[10]) << 16 |
                    uint32_t(raw[11]) << 24;
    _cmsg a;
    capi_cmsg_header(&a, ApplId(), CAPI_DATA_B3, CAPI_RESP, le16(raw + 6), ncci);
    a.DataHandle = le16(raw + 18);
    PutCapiMessage(a);
}

void unhandled(const unsigned char* raw, size_t length) {
    if (raw[5] == CAPI_IND) {
        WriteCapiLog("Error: Indication not handled in function Handle_Indication");
    } else if (raw[5] == CAPI_CONF) {
        unsigned info = length >= 14 ? le16(raw + 12) : 0;
        if (info <= 0x00FF)
            WriteCapiLog("Error: Confirmation not handled in function Handle_Confirmation");
    }
}

// Checks the fetched message against what was received and decodes it into gReceived.
// False: dropped (logged where it is worth a line).
bool decodeReceived(const unsigned char* raw, const DriverFrame* frame) {
    // The message as the exchange sent it; libcapi20 rewrites a short DATA_B3_IND's length.
    size_t sent = frame ? frame->messageLength : le16(raw);
    size_t received = frame ? std::min(frame->payload, receiveBufferSize()) : kMaxMessage;
    if (sent < 12 || sent > received) {
        WriteCapiLogf("Error: CAPI message of %zu bytes dropped in function Handle_CAPI_Msg", sent);
        return false;
    }
    uint8_t command = raw[4], subcommand = raw[5];
    if (subcommand != CAPI_CONF && subcommand != CAPI_IND) return false;
    if (!decodable(command, subcommand)) {
        unhandled(raw, sent);
        return false;
    }
    size_t length = le16(raw);
    if (length > kMaxMessage) return false;
    std::memset(gRxBuffer.data(), 0, gRxUsed);
    std::memcpy(gRxBuffer.data(), raw, length);
    gRxUsed = length;
    capi_message2cmsg(&gReceived, gRxBuffer.data());
    if (gReceived.l > length || !structsInside(gReceived, length)) {
        WriteCapiLogf("Error: malformed %s_%s dropped in function Handle_CAPI_Msg",
                      Decode_Command(command), Decode_Sub(subcommand));
        return false;
    }
    // libcapi20 points Data just past the message: the block must have come with it.
    if (command == CAPI_DATA_B3 && subcommand == CAPI_IND && frame &&
        sent + gReceived.DataLength > received) {
        WriteCapiLogf("Error: data block of %u bytes dropped in function Handle_Indication",
                      unsigned(gReceived.DataLength));
        return false;
    }
    return true;
}

void onDataB3Ind(const _cmsg& r) {
    int id = GetConnectionByNCCI(int32_t(r.adr.adrNCCI));
    uint16_t handle = r.DataHandle;
    uint32_t ncci = r.adr.adrNCCI;
    if (r.DataLength > 0 && r.Data != nullptr && r.DataLength <= RegisteredBlockLength()) {
        // Lent before the window sees it: the window may answer it itself, even at once.
        LendReceiveBuffer(handle, ncci);
        int respond = 1;
        SendDataReceived(id, r.Data, r.DataLength, handle, &respond);
        if (respond) AnswerLentReceiveBuffer(handle, ncci, r.Messagenumber);
        return;
    } else if (r.DataLength > 0) {
        WriteCapiLogf("Error: data block of %u bytes dropped in function Handle_Indication",
                      unsigned(r.DataLength));
    }
    answer(r, [&](_cmsg& a) { a.DataHandle = handle; });
}

void onFacilityInd(const _cmsg& r) {
    uint16_t selector = r.FacilitySelector;
    if (selector != 1) {
        answer(r, [&](_cmsg& a) { a.FacilitySelector = selector; });
        return;
    }
    std::string keys;
    if (const unsigned char* p = r.FacilityIndicationParameter; p && p[0] != 0xFF)
        keys.assign(reinterpret_cast<const char*>(p + 1), p[0]);
    keys.resize(std::min(keys.size(), keys.find('\0')));
    std::string line = "Key: ";
    line.append(keys);
    WriteCapiLog(line);
    int id = GetSavedConnectionByNCCI(int32_t(r.adr.adrNCCI));
    if (auto window = MainWindow()) {
        auto record = std::make_unique<DtmfInfo>();
        record->Keys = keys;
        window->post(platform::WM_CAPI_DTMF, wparamOf(id), 0, std::move(record));
    }
    _cstruct param = r.FacilityIndicationParameter;
    answer(r, [&](_cmsg& a) {
        a.FacilitySelector = 1;
        a.FacilityResponseParameters = param;
    });
}

// The call is over: its window hears so, with the fax result, and the slot is freed right
// after the post.
void postClearedAndFree(int id, unsigned reason) {
    auto record = std::make_unique<ClearedCallInfo>();
    record->FaxFormat = GetFaxFormat(id);
    record->FaxPages = GetFaxPages(id);
    SetConnectionState(id, Disconnected);
    PostStateChange(id, Disconnected, reason, std::move(record));
    FreeConnection(id);
}

}  // namespace

void SetOptionsReader(OptionsReader reader) {
    std::lock_guard lock(gHookMutex);
    gOptionsReader = std::move(reader);
}

void SetFaxSwitchHandler(FaxSwitchHandler handler) {
    std::lock_guard lock(gHookMutex);
    gFaxSwitch = std::move(handler);
}

void ConfiguredNumberList::set(std::string list) {
    std::lock_guard lock(mutex_);
    list_ = std::move(list);
}

std::string ConfiguredNumberList::get() const {
    std::lock_guard lock(mutex_);
    return list_;
}

bool ConfiguredNumberList::contains(std::string_view needle) const {
    std::lock_guard lock(mutex_);
    return list_.find(needle) != std::string::npos;
}

ConfiguredNumberList& TheConfiguredNumberList() {
    static ConfiguredNumberList list;
    return list;
}

FetchResult Handle_CAPI_Msg(const DriverFrame* frame) {
    // A fetch takes a receive buffer, and libcapi20 must keep one.
    if (LentReceiveBuffers() + 2 > kReceiveBuffers) {
        gFetchError = kInfoResourceError;
        return FetchResult::Failed;
    }
    unsigned char* raw = nullptr;
    unsigned rc = GetCapiMessageLocked(ApplId(), &raw);
    if (rc == kInfoQueueEmpty) return FetchResult::Empty;
    if (rc != 0 || raw == nullptr) {
        gFetchError = rc;
        return FetchResult::Failed;
    }
    if (!decodeReceived(raw, frame)) {
        answerDroppedBlock(raw);
        return FetchResult::Handled;
    }
    if (gReceived.Subcommand == CAPI_CONF)
        Handle_Confirmation(gReceived);
    else
        Handle_Indication(gReceived);
    return FetchResult::Handled;
}

void Handle_Indication(_cmsg& r) {
    uint32_t address = r.adr.adrController;
    switch (r.Command) {
        case CAPI_CONNECT:
            onConnectInd(r);
            break;
        case CAPI_CONNECT_ACTIVE: {
            int id = GetConnectionByPLCI(int32_t(address));
            answer(r);
            ChangeState(id, D_Connected, 0);
            if (GetOurInitiative(id)) {
                _cmsg m;
                capi_cmsg_header(&m, ApplId(), CAPI_CONNECT_B3, CAPI_REQ, 0, address);
                PutCapiMessage(m);
            }
            break;
        }
        case CAPI_DISCONNECT: {
            int id = GetConnectionByPLCI(int32_t(address));
            unsigned reason = r.Reason;
            if ((reason & 0x3400) == 0x3400) reason |= 0x0080;
            answer(r);
            if (id == -1) break;
            postClearedAndFree(id, reason);
            break;
        }
        case CAPI_INFO: {
            int id = GetConnectionByPLCI(int32_t(address));
            uint16_t number = r.InfoNumber;
            answer(r);
            if (id != -1) PostStateChange(id, number, 0xFFFF);
            break;
        }
        case CAPI_FACILITY:
            onFacilityInd(r);
            break;
        case CAPI_CONNECT_B3: {
            int id = GetConnectionByPLCI(int32_t(address & 0xFFFF));
            SetNCCI(id, int32_t(address));
            SetSavedNCCI(id, int32_t(address & 0xFFFF));
            answer(r, [](_cmsg& a) { a.Reject = 0; });
            ChangeState(id, B_ConnectPending, 0);
            break;
        }
        case CAPI_CONNECT_B3_ACTIVE: {
            int id = GetConnectionByNCCI(int32_t(address));
            SetOurInitiative(id, 0);
            answer(r);
            ChangeState(id, Connected, 0);
            break;
        }
        case CAPI_DISCONNECT_B3:
            onDisconnectB3Ind(r);
            break;
        case CAPI_DATA_B3:
            onDataB3Ind(r);
            break;
        default:
            WriteCapiLog("Error: Indication not handled in function Handle_Indication");
            break;
    }
}

void Handle_Confirmation(_cmsg& r) {
    uint32_t address = r.adr.adrController;
    bool ok = r.Info <= 0x00FF;
    switch (r.Command) {
        case CAPI_CONNECT: {
            int id = r.Messagenumber;
            // Only a slot that waits for its CONNECT_CONF may take the PLCI: the message
            // number is whatever the exchange echoed.
            if (id >= kConnectionCount || !IsConnectionInUse(id) || GetPLCI(id) != -1 ||
                GetConnectionState(id) != Disconnected) {
                WriteCapiLog(
                    "Error: invalid message number in CONNECT_CONF in function "
                    "Handle_Confirmation");
                break;
            }
            if (ok) {
                SetPLCI(id, int32_t(address));
                SetOurInitiative(id, 1);
                ChangeState(id, D_ConnectPending, 0);
            } else {
                // The refusal's Info goes out as the clearing reason: 0 would read as a
                // normal clearing, and a text message as delivered.
                ChangeState(id, D_ConnectPending, 0);
                ChangeState(id, Disconnected, r.Info);
                FreeConnection(id);
            }
            break;
        }
        case CAPI_DISCONNECT: {
            int id = GetConnectionByPLCI(int32_t(address));
            if (ok)
                ChangeState(id, D_DisconnectPending, 0);
            else if (id == -1)
                WriteCapiLog(
                    "Error: invalid PLCI in DISCONNECT_CONF in function Handle_Confirmation");
            break;
        }
        case CAPI_CONNECT_B3: {
            int id = GetConnectionByPLCI(int32_t(address & 0xFFFF));
            if (ok) {
                SetNCCI(id, int32_t(address));
                ChangeState(id, B_ConnectPending, 0);
            } else if (id == -1) {
                WriteCapiLog(
                    "Error: invalid PLCI in CONNECT_B3_CONF in function Handle_Confirmation");
            } else {
                disconnectReq(GetPLCI(id));
            }
            break;
        }
        case CAPI_DISCONNECT_B3: {
            int id = GetConnectionByNCCI(int32_t(address));
            if (ok) {
                SetOurInitiative(id, 1);
                ChangeState(id, B_DisconnectPending, 0);
            } else if (id == -1) {
                WriteCapiLog(
                    "Error: invalid NCCI in DISCONNECT_B3_CONF in function Handle_Confirmation");
            }
            break;
        }
        case CAPI_DATA_B3:
            PostDataSent(GetConnectionByNCCI(int32_t(address)), r.DataHandle, r.Info);
            break;
        case CAPI_LISTEN:
            if (!ok) {
                WriteCapiLog(
                    "Error: CAPI Listen not activated. Could be caused by incorrect Info Mask or "
                    "CIP "
                    "value.");
                // The window's line for a LISTEN the driver refused, with the reason.
                WriteCapiLogf("Listen error: %s", Decode_Info(r.Info));
            }
            break;
        case CAPI_ALERT:
        case CAPI_INFO:
        case CAPI_FACILITY:
            break;
        default:
            if (ok) WriteCapiLog("Error: Confirmation not handled in function Handle_Confirmation");
            break;
    }
}

bool PostIncomingCall(int id, const std::string& callingDigits, const std::string& calledDigits,
                      uint16_t cipValue, std::optional<CapiStruct> userUserData,
                      uint8_t presentationRestricted) {
    auto window = MainWindow();
    if (!window) return false;
    auto record = std::make_unique<IncomingCallInfo>();
    record->CallingNumber = callingDigits;
    record->CalledNumber = calledDigits;
    record->CIPValue = cipValue;
    record->UserUserData = std::move(userUserData);
    record->PresentationRestricted = presentationRestricted;
    return window->post(platform::WM_CAPI_INCOMING_CALL, wparamOf(id), 0, std::move(record));
}

bool PostStateChange(int id, unsigned value, unsigned reason, RecordPtr record) {
    auto window = MainWindow();
    if (!window) return false;
    uint32_t l = (value & 0xFFFF) | ((reason & 0xFFFF) << 16);
    return window->post(platform::WM_CAPI_STATE_CHANGED, wparamOf(id), LParam(l),
                        std::move(record));
}

bool PostDataSent(int id, uint16_t dataHandle, uint16_t info) {
    auto window = MainWindow();
    if (!window) return false;
    uint32_t l = (uint32_t(dataHandle) << 16) | info;
    return window->post(platform::WM_CAPI_DATA_SENT, wparamOf(id), LParam(l), nullptr);
}

LResult SendDataReceived(int id, const uint8_t* data, uint16_t length, uint16_t handle,
                         int* respond) {
    auto window = MainWindow();
    if (!window) return 0;
    auto record = std::make_unique<ReceivedDataInfo>();
    record->Data = data;
    record->DataLength = length;
    record->DataHandle = handle;
    record->Respond = respond;
    return window->send(platform::WM_CAPI_DATA_RECEIVED, wparamOf(id), 0, std::move(record))
        .value_or(0);
}

// ---- CAPI worker ----

namespace {

std::thread gWorker;
std::atomic<bool> gStop{false};
std::atomic<bool> gRunning{false};
std::mutex gBackoffMutex;
std::condition_variable gBackoff;

// Waits on the stop flag; true when stopping.
bool pauseWorker(std::chrono::milliseconds time) {
    std::unique_lock lock(gBackoffMutex);
    return gBackoff.wait_for(lock, time, [] { return gStop.load(); });
}

uint32_t le32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Whether libcapi20 can read the whole frame safely.
bool driverCanRead(const DriverFrame& frame) {
    // rcapi moves the block of a DATA_B3_IND shorter than 30 bytes to offset 30,
    // unchecked: a block that does not fit would overrun its receive buffer.
    if (frame.dataIndication && frame.messageLength < 30 &&
        30 + frame.dataLength > receiveBufferSize())
        return false;
    // rcapi takes the header, and a DATA_B3_IND's DataLength, from its receive buffer
    // whatever the frame held: from a shorter frame it would read an earlier message's
    // bytes, a length among them. (An empty frame is read as no message.)
    return frame.payload == 0 ||
           (frame.payload >= kCapiHeaderSize &&
            !(frame.dataIndication && frame.payload < kDataIndicationHead));
}

// Takes a frame libcapi20 must not read off the stream, logged. A data block among them is
// answered beside libcapi20 with the exchange's own handle: libcapi20 never saw it.
bool dropFrame(DriverConnection& connection, const DriverFrame& frame) {
    std::lock_guard io(DriverIoMutex());
    if (!connection.discard(frame.length, std::chrono::seconds(1))) return false;
    const unsigned char* m = frame.head;
    if (frame.dataIndication && frame.payload >= kDataIndicationHead + 2) {
        WriteCapiLogf("Error: data block of %u bytes dropped in function Handle_Indication",
                      unsigned(frame.dataLength));
        _cmsg a;
        capi_cmsg_header(&a, ApplId(), CAPI_DATA_B3, CAPI_RESP, le16(m + 6), le32(m + 8));
        a.DataHandle = le16(m + 18);
        unsigned char buffer[64];
        capi_cmsg2message(&a, buffer);
        connection.sendFrame(buffer, CAPIMSG_LEN(buffer));
    } else {
        WriteCapiLogf("Error: CAPI message of %zu bytes dropped in function Handle_CAPI_Msg",
                      frame.payload);
    }
    return true;
}

// The calls of a connection that is gone are gone with it.
void clearAllConnections() {
    for (int id = 0; id < kConnectionCount; ++id) {
        if (IsConnectionInUse(id)) postClearedAndFree(id, kReasonLineLost);
    }
}

void workerLoop(uint16_t applId) {
    auto connection = std::make_unique<DriverConnection>(CAPI20_FileNo(applId));
    const std::chrono::milliseconds firstRetry{10}, lastRetry{1000};
    std::chrono::milliseconds retry = firstRetry;
    bool failing = false;
    while (!gStop) {
        timeval slice{0, long(kWorkerWaitSlice.count()) * 1000};
        DriverFrame frame;
        const DriverFrame* queued = nullptr;
        if (connection->watched()) {
            auto seen = connection->waitForFrame(kWorkerWaitSlice, frame);
            if (gStop) break;
            if (seen == DriverConnection::Wait::Frame && !driverCanRead(frame)) {
                if (dropFrame(*connection, frame)) continue;
                seen = DriverConnection::Wait::Corrupt;
            }
            if (seen == DriverConnection::Wait::Oversized) {
                WriteCapiLogf("Error: CAPI message of %zu bytes dropped in function Handle_CAPI_Msg",
                              frame.length - 2);
                if (connection->discard(frame.length, std::chrono::seconds(5))) continue;
                seen = DriverConnection::Wait::Corrupt;
            }
            if (seen == DriverConnection::Wait::Corrupt) {
                // No reader can find the next frame: start over on a new connection. libcapi20
                // has no way to skip what it has not read.
                WriteCapiLog("Error: unreadable frame from the ISDN driver");
                connection.reset();
                clearAllConnections();
                applId = RegisterAgain();
                if (applId != 0) {
                    WriteCapiLog("Registered again with the ISDN driver");
                    connection = std::make_unique<DriverConnection>(CAPI20_FileNo(applId));
                    ListenAgain();
                    continue;
                }
            }
            if (seen != DriverConnection::Wait::Frame && seen != DriverConnection::Wait::Timeout) {
                WriteCapiLog("Error: connection to the ISDN driver lost");
                break;
            }
            if (seen == DriverConnection::Wait::Frame) queued = &frame;
            // The socket was the wait; the driver's own, without waiting, still reports its
            // state (released, not installed).
            slice = {0, 0};
        }
        unsigned rc = CAPI20_WaitForSignal(applId, &slice);
        if (gStop) break;
        if (rc == kInfoIllegalApplication) break;
        // The slice ran out, or the rest of a frame is still on its way.
        if (rc == kInfoQueueEmpty || (rc == 0 && connection->watched() && !queued)) continue;
        if (rc != 0) {
            char text[512];
            std::snprintf(text, sizeof text, "CAPI error 0x%04x (%s)", rc, Decode_Info(rc));
            WriteCapiLog(text);
            // A box that waited for the user would stop all CAPI traffic meanwhile.
            platform::notifyBox(text, "Orvelin", platform::BoxIcon::Error);
            pauseWorker(std::chrono::seconds(1));
            continue;
        }
        // An empty fetch (an empty frame, or nothing after all) is no news.
        FetchResult fetched = FetchResult::Handled;
        try {
            fetched = Handle_CAPI_Msg(queued);
        } catch (const std::bad_alloc&) {
            // What the message needed could not be made; it is dropped, the worker goes on.
            try {
                WriteCapiLog("Error: out of memory in function Handle_CAPI_Msg");
            } catch (const std::bad_alloc&) {
            }
        }
        if (fetched != FetchResult::Failed) {
            failing = false;
            retry = firstRetry;
            continue;
        }
        if (gFetchError == kInfoIllegalApplication) break;
        // For instance every receive buffer lent to the window: retry, gently, and say so once.
        if (!failing)
            WriteCapiLogf("CAPI error 0x%04x (%s) in function Handle_CAPI_Msg", gFetchError,
                          Decode_Info(gFetchError));
        failing = true;
        pauseWorker(retry);
        retry = std::min(retry * 2, lastRetry);
    }
    gRunning = false;
}

}  // namespace

bool StartCapiWorker() {
    if (gWorker.joinable()) return false;
    gStop = false;
    gRunning = true;
    gWorker = std::thread(workerLoop, ApplId());
    return true;
}

void StopCapiWorker(const std::function<void(std::thread&)>& join) {
    if (!gWorker.joinable()) return;
    {
        std::lock_guard lock(gBackoffMutex);
        gStop = true;
    }
    gBackoff.notify_all();
    int fd = CAPI20_FileNo(ApplId());
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    if (join)
        join(gWorker);
    else
        gWorker.join();
    if (gWorker.joinable()) gWorker.join();
}

bool CapiWorkerRunning() {
    return gRunning;
}

void ResetDispatchForTesting() {
    SetOptionsReader({});
    SetFaxSwitchHandler({});
    TheConfiguredNumberList().set("");
}

}  // namespace capi
