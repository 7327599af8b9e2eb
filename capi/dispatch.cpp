#include "capi/dispatch.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <vector>

#include "capi/capi_driver.h"
#include "capi/capi_log.h"
#include "platform/app_messages.h"
#include "platform/message_box.h"

namespace capi {
namespace {

std::mutex gHookMutex;
OptionsReader gOptionsReader;
FaxSwitchHandler gFaxSwitch;

// The received record and its buffer, used by the CAPI worker only. The decoder reads a
// struct's length with a 16-bit offset, so padding of 64 KB keeps every read inside.
constexpr size_t kMaxMessage = SEND_BUFSIZ;
std::vector<unsigned char> gRxBuffer(kMaxMessage + 65536 + 16);
_cmsg gReceived;

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
    SetCallingPartyNumberStruct(id, r.CallingPartyNumber);
    SetCalledPartyNumberStruct(id, r.CalledPartyNumber);
    SetUserUserDataStruct(id, r.Useruserdata);
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

void onDataB3Ind(const _cmsg& r) {
    int id = GetConnectionByNCCI(int32_t(r.adr.adrNCCI));
    uint16_t handle = r.DataHandle;
    if (r.DataLength > 0 && r.Data != nullptr && r.DataLength <= RegisteredBlockLength()) {
        int respond = 1;
        SendDataReceived(id, r.Data, r.DataLength, handle, &respond);
        if (!respond) return;
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

FetchResult Handle_CAPI_Msg() {
    unsigned char* raw = nullptr;
    unsigned rc = GetCapiMessageLocked(ApplId(), &raw);
    if (rc == kInfoQueueEmpty) return FetchResult::Empty;
    if (rc != 0 || raw == nullptr) return FetchResult::Failed;
    size_t length = le16(raw);
    if (length < 12 || length > kMaxMessage) {
        WriteCapiLogf("Error: CAPI message of %zu bytes dropped in function Handle_CAPI_Msg",
                      length);
        return FetchResult::Handled;
    }
    std::memset(gRxBuffer.data(), 0, gRxBuffer.size());
    std::memcpy(gRxBuffer.data(), raw, length);
    std::memset(&gReceived, 0, sizeof gReceived);
    capi_message2cmsg(&gReceived, gRxBuffer.data());
    if (gReceived.l > length || !structsInside(gReceived, length)) {
        WriteCapiLogf("Error: malformed %s_%s dropped in function Handle_CAPI_Msg",
                      Decode_Command(gReceived.Command), Decode_Sub(gReceived.Subcommand));
        return FetchResult::Handled;
    }
    if (gReceived.Subcommand == CAPI_CONF)
        Handle_Confirmation(gReceived);
    else if (gReceived.Subcommand == CAPI_IND)
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
            // The slot is freed right after the post: the fax result goes with the message.
            auto record = std::make_unique<ClearedCallInfo>();
            record->FaxFormat = GetFaxFormat(id);
            record->FaxPages = GetFaxPages(id);
            SetConnectionState(id, Disconnected);
            PostStateChange(id, Disconnected, reason, std::move(record));
            FreeConnection(id);
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
                ChangeState(id, D_ConnectPending, 0);
                ChangeState(id, Disconnected, 0);
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
            if (!ok)
                WriteCapiLog(
                    "Error: CAPI Listen not activated. Could be caused by incorrect Info Mask or "
                    "CIP "
                    "value.");
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

void workerLoop(uint16_t applId) {
    int emptySignals = 0;
    while (!gStop) {
        timeval slice{0, long(kWorkerWaitSlice.count()) * 1000};
        unsigned rc = CAPI20_WaitForSignal(applId, &slice);
        if (gStop) break;
        if (rc == kInfoIllegalApplication) break;
        if (rc == kInfoQueueEmpty) continue;  // the slice ran out
        if (rc != 0) {
            char text[512];
            std::snprintf(text, sizeof text, "CAPI error 0x%04x (%s)", rc, Decode_Info(rc));
            WriteCapiLog(text);
            // A box that waited for the user would stop all CAPI traffic meanwhile.
            platform::notifyBox(text, "Orvelin", platform::BoxIcon::Error);
            std::unique_lock lock(gBackoffMutex);
            gBackoff.wait_for(lock, std::chrono::seconds(1), [] { return gStop.load(); });
            continue;
        }
        // The remote driver signals a closed socket as a message that is never there.
        if (Handle_CAPI_Msg() == FetchResult::Empty) {
            if (++emptySignals >= kLostAfterEmptySignals) {
                WriteCapiLog("Error: connection to the ISDN driver lost");
                break;
            }
        } else {
            emptySignals = 0;
        }
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
