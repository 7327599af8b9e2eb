// Where the CAPI layer delivers its application messages, and the records they carry.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/app_window.h"

namespace capi {

using platform::LParam;
using platform::LResult;
using platform::MessageId;
using platform::RecordPtr;
using platform::WParam;

// The main window as the layer sees it. post() never blocks; send() returns once the
// receiver has handled the message (nullopt: it never will).
class MessageTarget {
  public:
    virtual ~MessageTarget() = default;
    virtual bool post(MessageId id, WParam wParam, LParam lParam, RecordPtr record) = 0;
    virtual std::optional<LResult> send(MessageId id, WParam wParam, LParam lParam,
                                        RecordPtr record) = 0;
};

// A target that delivers to a platform window.
std::shared_ptr<MessageTarget> WindowTarget(platform::WindowRef window);

// Record of WM_CAPI_INCOMING_CALL.
struct IncomingCallInfo : platform::MessageRecord {
    std::string CallingNumber;  // digits, possibly empty
    std::string CalledNumber;
    uint16_t CIPValue = 0;
    // The whole user-user data struct, length byte included; nullopt only for id -1.
    std::optional<std::vector<uint8_t>> UserUserData;
    uint8_t PresentationRestricted = 0;  // 0x20 when the caller withheld the number
};

// Record of WM_CAPI_DATA_RECEIVED (sent synchronously). Data belongs to the driver and is
// valid only until the handler returns. Clearing *Respond keeps the layer from answering
// the block with DATA_B3_RESP.
struct ReceivedDataInfo : platform::MessageRecord {
    const uint8_t* Data = nullptr;
    uint16_t DataLength = 0;
    uint16_t DataHandle = 0;
    int* Respond = nullptr;
};

// Record of WM_CAPI_DTMF: the received DTMF characters.
struct DtmfInfo : platform::MessageRecord {
    std::string Keys;
};

// Record that goes with the WM_CAPI_STATE_CHANGED of a cleared call (DISCONNECT_IND): the
// slot is free by the time the window handles the message, so the fax result travels here.
struct ClearedCallInfo : platform::MessageRecord {
    int16_t FaxFormat = -1;
    int16_t FaxPages = 0;
};

}  // namespace capi
