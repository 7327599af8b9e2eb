// isdnsim: a simulated ISDN exchange that serves libcapi20's remote ("rcapi") driver on
// 127.0.0.1. It offers controllers with a configurable profile, plays the network side of
// calls and records every CAPI message the application sends, so tests can assert on them.
//
// Wire facts (libcapi20 3.27): a frame is a big-endian u16 length that counts itself, then
// the payload, at most 4096 bytes, sent with one send(). Operations (payload byte 5 = 0xFF)
// travel on the control connection; each registered application has its own connection.
#pragma once

#include <capi20.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace isdnsim {

using Bytes = std::vector<uint8_t>;

// CAPI 2.0 GET_PROFILE data of one controller.
struct Profile {
    uint16_t bChannels = 2;
    uint32_t globalOptions = 0x01;  // internal controller supported
    uint32_t b1Protocols = 0x13;    // 64 kbit/s HDLC, transparent, T.30 modem (bit 4)
    uint32_t b2Protocols = 0x13;
    uint32_t b3Protocols = 0x13;
};

struct Options {
    std::vector<Profile> controllers{Profile{}};
    uint16_t port = 0;  // 0: an ephemeral port
    std::string manufacturer = "isdnsim";
    std::string serial = "0000001";
    uint32_t version[4] = {2, 0, 1, 0};  // CAPI major/minor, manufacturer major/minor
    uint16_t registerInfo = 0;           // nonzero: registration is refused
    uint16_t profileInfo = 0;            // nonzero: every profile request fails
    uint16_t connectConfInfo = 0;        // Info of CONNECT_CONF for outgoing calls
    bool answerOutgoing = true;          // outgoing calls become active at once
    // Outgoing calls meet a text-message service centre instead: it takes the set-up (called
    // number and user-user data stay in the record), never answers, and clears with
    // `clearReason`, or never reacts when that is unset.
    struct ServiceCentre {
        std::optional<uint16_t> clearReason = 0x3490;
    };
    std::optional<ServiceCentre> serviceCentre;
    bool b3OnIncoming = true;            // the far end opens the B3 link of an accepted call
    uint16_t rejectReason = 0;           // DISCONNECT_IND reason after a refused call
    bool keepRecord = true;              // false: count messages only (benchmarks)
    bool muted = false;                  // records what the application sends, answers nothing
    // Operation requests (profile, manufacturer, ...) wait for their reply until this is
    // cleared again: a driver that has stopped answering.
    bool stallOperations = false;
    // Line audio flows both ways at 8000 bytes per second, as on a real B channel (fax
    // data at the modem's rate): blocks to the application leave on that clock, and the
    // application's blocks are confirmed once they would have been on the line.
    bool linePace = false;
};

// A fax the far end sends once a T.30 link (B protocols 4/4/4) is up on the call: the SFF
// file as data blocks, then the B3 clearing whose NCPI reports the pages.
struct FaxDocument {
    Bytes sff;
    std::optional<uint16_t> pages;  // nullopt: the page count of the SFF document header
    bool highResolution = true;
    std::string stationId = "+49 30 1234567";
    uint16_t reasonB3 = 0;     // of the B3 clearing after the last block
    bool hangUpAfter = true;   // then the far end clears the call (reason 0x3490)
    size_t blockLength = 512;
};

// T.30 NCPI content: rate, options (bit 0: high resolution), format (0: SFF), pages and the
// station id as a struct.
Bytes faxNcpi(uint16_t rate, bool highResolution, uint16_t pages, const std::string& stationId);

enum class FaxTone { Calling, Answer };  // CNG and CED, reported as the digits 'X' and 'Y'

struct BProtocols {
    uint16_t b1 = 0, b2 = 0, b3 = 0;
    bool operator==(const BProtocols&) const = default;
};

// One message the application sent, decoded with libcapi20's own decoder.
struct Message {
    Bytes bytes;  // the CAPI message as received
    std::chrono::steady_clock::time_point received;
    Bytes data;    // DATA_B3_REQ: the block that followed the message
    _cmsg cmsg{};  // decoded; its struct pointers point into an owned, padded copy
    uint8_t command() const { return cmsg.Command; }
    uint8_t subcommand() const { return cmsg.Subcommand; }
    uint16_t number() const { return cmsg.Messagenumber; }
    uint32_t address() const { return cmsg.adr.adrController; }
    // Content of a struct parameter (without its length byte); empty for an empty struct.
    static Bytes content(const unsigned char* capiStruct);

  private:
    friend class Exchange;
    Bytes padded_;
};
using MessagePtr = std::shared_ptr<const Message>;

struct CallSetup {
    unsigned controller = 1;
    std::optional<std::string> calling = "0301234567";  // nullopt: no calling number at all
    uint8_t callingType = 0x01;                         // type of number / numbering plan octet
    uint8_t callingPresentation = 0x80;                 // octet 3a; 0xA0: presentation restricted
    std::string called = "456";
    uint16_t cip = 1;
    Bytes userUserData;  // content of the user-user data struct; empty: none
};

enum class CallState { Ringing, Alerted, Active, B3Up, Clearing, Cleared };

class Exchange {
  public:
    explicit Exchange(Options options = {});
    ~Exchange();
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    uint16_t port() const { return port_; }
    // Changes the behaviour options while running (the controllers stay as they are).
    void configure(const std::function<void(Options&)>& change);
    // Forgets calls and recorded messages (keeps the connections).
    void clearRecord();

    // Network side of calls. Each returns false when the call or its link is unknown.
    // Rings the first application that listens on the controller for the CIP value;
    // returns the PLCI, or 0 when nobody listens.
    uint32_t ring(const CallSetup& setup);
    // Queues line audio; it is sent as DATA_B3_IND blocks within the application's window.
    bool sendData(uint32_t plci, const Bytes& bytes, size_t blockLength = 160);
    bool sendDtmf(uint32_t plci, const std::string& digits);
    bool sendFaxTone(uint32_t plci, FaxTone tone);
    // Starts at once on a T.30 link, or when the application brings one up (answering as
    // a fax, or SELECT_B_PROTOCOL_REQ after a voice call's B3 link was cleared).
    bool sendFax(uint32_t plci, FaxDocument fax);
    bool sendInfo(uint32_t plci, uint16_t infoNumber, const Bytes& element = {});
    bool clearB3(uint32_t plci, uint16_t reasonB3, const Bytes& ncpi = {});
    // Far-end hang-up: the B3 link first (reason 0), then the call.
    bool hangUp(uint32_t plci, uint16_t reason);
    // Closes every connection and stops accepting new ones.
    void dropLink();
    // Sends any message to the first application (tests of hostile input).
    void sendToApplication(_cmsg& message, const Bytes& trailing = {});
    // One frame around `payload`, which may be any bytes (forged message lengths).
    void sendRawToApplication(const Bytes& payload);
    // Bytes exactly as given, without a frame: half frames, forged frame lengths.
    void sendBytesToApplication(const Bytes& bytes);

    // Record.
    std::vector<MessagePtr> messages() const;
    size_t messageCount() const;
    // Waits for the first message at or after index `from` that matches.
    MessagePtr waitFor(const std::function<bool(const Message&)>& match, size_t from = 0,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));
    MessagePtr waitFor(uint8_t command, uint8_t subcommand, size_t from = 0,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Polls `condition` (it must not hold the exchange's own lock) until it holds.
    bool waitUntil(const std::function<bool()>& condition,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::vector<MessagePtr> find(uint8_t command, uint8_t subcommand) const;

    std::optional<CallState> callState(uint32_t plci) const;
    uint32_t ncciOf(uint32_t plci) const;
    // Bytes the application sent on the call (DATA_B3_REQ), in order.
    Bytes receivedData(uint32_t plci) const;
    // Writes receivedData to `path`; false when the call is unknown or the file cannot be written.
    bool saveReceived(uint32_t plci, const std::string& path) const;
    // B protocols the application chose last (CONNECT_RESP or SELECT_B_PROTOCOL_REQ).
    std::optional<BProtocols> protocols(uint32_t plci) const;
    // The fax was sent and its B3 link cleared.
    bool faxDone(uint32_t plci) const;
    size_t pendingData(uint32_t plci) const;  // queued or unacknowledged blocks
    // PLCI of the latest call the application placed, or 0.
    uint32_t lastOutgoingCall() const;
    size_t registrations() const;

  private:
    struct Call;
    struct Conn;
    using App = Conn;

    void run();
    void onReadable(Conn& conn);
    void onFrame(Conn& conn, const uint8_t* payload, size_t length);
    void onOperation(Conn& conn, const uint8_t* payload, size_t length);
    void onMessage(App& app, const uint8_t* payload, size_t length);
    void react(App& app, const Message& msg);
    void sendFrame(int fd, const Bytes& payload);
    void sendMessage(App& app, _cmsg& m, const Bytes& trailing = {});
    void indicate(App& app, uint8_t command, uint32_t address,
                  const std::function<void(_cmsg&)>& fill);
    void confirm(App& app, const Message& req, uint16_t info,
                 const std::function<void(_cmsg&)>& fill = {});
    void pump(Call& call);
    void startFax(Call& call);
    void finishFax(Call& call);
    void confirmDue(Call& call, bool all);
    void bringUpB3(Call& call);
    void b3Active(Call& call);
    uint32_t dropB3(Call& call);  // returns the NCCI the link had
    void tick();
    int pollTimeout() const;
    void endCall(uint32_t plci, uint16_t reason);
    Call* callOf(uint32_t address);
    const Call* callOf(uint32_t address) const;
    App* firstApp();
    uint32_t newPlci(unsigned controller);
    void wake();

    Options opt_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    uint16_t port_ = 0;
    bool stop_ = false;
    bool linkDown_ = false;
    mutable std::mutex mu_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<Conn>> conns_;
    std::map<uint32_t, std::unique_ptr<Call>> calls_;
    std::vector<MessagePtr> record_;
    std::vector<std::pair<int, Bytes>> heldReplies_;  // fd, reply (stallOperations)
    uint16_t nextNumber_ = 1;
    uint8_t nextPlci_ = 1;
    uint32_t lastOutgoing_ = 0;
    size_t registrations_ = 0;
    std::thread thread_;
};

}  // namespace isdnsim
