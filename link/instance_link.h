// The instance link: serves call records to peer programs over TCP.
//
// Wire format (little-endian, no padding); every frame starts with a 9-byte header:
//
//   offset size field
//     0     1  type
//     1     2  length: the whole frame, header included (type 14: see below)
//     3     2  marker 0x0100
//     5     4  creation time, seconds since 1970-01-01 UTC
//
//   type 5  accept all  peer -> server  length 9  queue the stored history, two ahead
//   type 8  accept      peer -> server  length 9  the oldest record awaiting one arrived
//   type 9  denied      peer -> server  length 9  send that record again
//   type 14 call        server -> peer            one call record:
//     9 id u32 | 13 year, month, weekday (Sunday 0), day, hour, minute, second, 0 (u16
//     each, local time of arrival) | 29 state u32 | 33 flags u32 | 37 CIP u16 | 39 0 u16 |
//     41 count u16 | 43 reason u16 | 45 text, zero byte
//     Its length field holds text length + 43 (the bytes after the length field); the
//     frame on the wire is length + 6 bytes: the text's zero byte and three zero bytes
//     follow the text. The text is Windows-1252, at most 541 bytes.
//   "SSMS" + text, unframed (bytes 3-4 are not the marker): a text to show the user.
//   Greeting: "Hello from Orvelin 2.3.0.15\r\n" and a zero byte, once, before any frame.
//
// Every byte from a peer is untrusted. A frame the server acts on (5, 8, 9) may arrive in
// parts and is joined; nothing longer than the largest frame of the protocol (590 bytes)
// is ever waited for. Everything else is judged on the bytes that have arrived, as each
// received buffer would be on its own: a header claiming more than 590 bytes counts as a
// header alone, and a frame whose length is below 9 ends the parsing of what has arrived
// (the bytes are dropped, the peer stays connected).
//
// No peer can hold more than kMaxSendBacklog bytes of frames it has not read: a peer that
// answers records it never took is closed when its next record would pass that.
// A history request queues the stored records and lets two of them be on their way at
// once until the last of the history is answered; answers come in the order the records
// were sent, so each one retires the oldest record awaiting an answer. One history
// request is served at a time per peer. Hidden records are never sent.
//
// A peer's text is shown in one box at a time: while it is open, further texts of that
// peer are dropped, and the first of them is logged. Where boxes are only logged, a
// connection has kMaxLoggedTexts texts logged, no more.
//
// Access: "orvelin.ini" (link_profile.h), read at every admission. A peer without a
// section is admitted, and the listener takes connections on every interface.
//
// Peer life: accepted (in the list) -> admitted (greeted) or refused (closed at once).
// An admitted peer is idle, or awaiting answers to the records in flight (ack timer 1
// running, 10 s, restarted by each answer and each record sent). An acceptance moves on
// to the next record, a denial sends the denied record again (the eleventh denial in a
// row closes the peer), the time-out closes it.
//
// Threads: everything here runs on the window thread that built the server. Other
// threads reach QueueCall only through postQueueCall().
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "client/call_record.h"
#include "client/call_ring.h"
#include "link/stream_socket.h"
#include "platform/app_window.h"

namespace orvelin::link {

inline constexpr std::uint8_t MSG_TRAFFIC_ACCEPT_ALL = 5;
inline constexpr std::uint8_t MSG_TRAFFIC_ACCEPT = 8;
inline constexpr std::uint8_t MSG_TRAFFIC_DENIED = 9;
inline constexpr std::uint8_t MSG_TRAFFIC_CALL = 14;

inline constexpr std::size_t kNetHeaderSize = 9;
inline constexpr std::uint16_t kNetMarker = 0x0100;
inline constexpr std::size_t kCallPayloadCapacity = 581;
inline constexpr std::size_t kCallTextOffset = 45;
inline constexpr std::size_t kMaxCallText = 541;
inline constexpr std::string_view kGreeting{"Hello from Orvelin 2.3.0.15\r\n\0", 30};

inline constexpr std::size_t kMaxPeers = 10;
inline constexpr std::size_t kLargestFrame = kNetHeaderSize + kCallPayloadCapacity;  // 590
// A part of a frame kept between receives is always shorter than this.
inline constexpr std::size_t kReassemblyCap = kLargestFrame;
// Frame bytes queued for one peer and not yet taken by the system.
inline constexpr std::size_t kMaxSendBacklog = 0x8000;
inline constexpr std::size_t kMaxShownText = 1024;
// Texts of one connection that were only logged (no box to wait for) before further ones
// are dropped.
inline constexpr int kMaxLoggedTexts = 16;
inline constexpr std::int64_t kAckTimeoutMs = 10000;
inline constexpr int kMaxDenials = 10;
inline constexpr platform::TimerId kAckTimer = 1;

// A frame of payloadLength + 9 bytes: header filled, payload zeroed.
Buffer NewNetMessage(std::uint8_t type, std::size_t payloadLength, std::uint32_t unixTime);

// The record's text in UTF-8: " " + caller number + "; " + caller name + "; " + called
// number + "; " + called name + "; " + comment + "; " + file path.
std::string CallText(const client::TCallRecord& record);

// The type-14 frame exactly as sent. The text is converted to Windows-1252 and cut to
// 541 bytes.
Buffer BuildCallFrame(const client::TCallRecord& record, std::uint32_t unixTime);

// A peer's SSMS text for display: the bytes up to the first zero (at most 1024),
// Windows-1252 to UTF-8, control characters as blanks.
std::string ShownText(std::string_view wireText);

class InstanceLinkServer;

class CClient : public CStreamSocket {
  public:
    CClient(InstanceLinkServer& server, platform::Clock* clock);
    ~CClient() override;

    // Queues the record at the ring index (ignored when out of range or empty) and
    // sends it when a place in flight is free.
    void QueueCall(std::uint32_t ringIndex);
    void QueueCallId(std::uint32_t id);
    // Sends queued records while fewer are in flight than inFlightLimit().
    void SendNextCall();

    // Records at the front of m_Pending that were sent and await an answer, in the order
    // sent (0 to inFlightLimit()).
    int m_bAwaiting = 0;
    std::deque<std::uint32_t> m_Pending;  // call ids not yet accepted, oldest first
    int m_nRetries = 0;

    bool admitted = false;
    Buffer inbox;  // bytes of frames not yet complete

    // The oldest record awaiting an answer was accepted: it leaves the queue.
    void retireOldest();
    // The oldest record awaiting an answer was denied: it goes out again.
    void resendOldest();

    // Queues every stored record from the oldest on and opens the second place in
    // flight; nothing while a history is under way.
    void QueueHistory();
    bool historyUnderWay() const { return historyLeft_ > 0; }
    std::size_t inFlightLimit() const { return historyUnderWay() ? 2 : 1; }

    // Whether a box shows a text of this peer now.
    bool showingText() const { return textShown_ && *textShown_; }
    // Whether a new text of this peer may be shown.
    bool mayShowText() const { return !showingText() && textsOnlyLogged_ < kMaxLoggedTexts; }
    // Marks a box open; the returned function marks it gone (any thread, once or more).
    std::function<void()> textBoxOpened();
    // The box of the text just shown is already gone: the text was only logged.
    void textOnlyLogged() { ++textsOnlyLogged_; }
    // Logs the first text dropped while a box is open, once per box.
    bool firstTextDropped();

    // Set once the peer is to be closed: nothing more is sent to it or read from it.
    bool closing() const { return closeText_ != nullptr; }
    const char* closeText() const { return closeText_; }
    void markClosing(const char* text) { closeText_ = text; }

  private:
    // Whether the id waits in the queue and has not been sent yet.
    bool waitingUnsent(std::uint32_t id) const;
    void eraseAt(std::size_t position);

    InstanceLinkServer& server_;
    std::unordered_map<std::uint32_t, unsigned> pendingCount_;
    std::size_t historyLeft_ = 0;  // entries of m_Pending up to the end of the history
    const char* closeText_ = nullptr;
    // Set while a box shows this peer's text; the box may outlive the peer.
    std::shared_ptr<std::atomic<bool>> textShown_;
    bool dropLogged_ = false;
    int textsOnlyLogged_ = 0;
};

struct LinkConfig {
    // The ring whose records are served; owned by the client window. Required.
    const client::CallRing* ring = nullptr;
    // Where "orvelin.ini" is looked for; empty: the program directory, then /etc/orvelin/.
    std::vector<std::string> profileDirectories;
    // The link's log sink (level, text); none by default.
    std::function<void(int, const std::string&)> log;
    // Shows a peer's text and calls `closed` once its box is gone (from any thread);
    // default: a box that does not block, captioned `caption`.
    std::function<void(const std::string& text, std::function<void()> closed)> showText;
    std::string caption = "Orvelin";
    // Seconds since 1970 for frame headers; default: the system time.
    std::function<std::uint32_t()> now;
    // Runs the sockets' timers; defaultClock() when null.
    platform::Clock* clock = nullptr;
};

class InstanceLinkServer : public platform::AppWindow {
  public:
    explicit InstanceLinkServer(LinkConfig config);
    ~InstanceLinkServer() override;

    // Listens on a decimal port ("0": any free port) or a "tcp" service name. Socket
    // result (0 ok, 2 error, 3 already listening).
    int Listen(std::string_view portOrService);
    // The "HostPort" rule: a port other than 0 listens on TCP; port 0 would ask for the
    // NetBIOS family, which this platform refuses (result 2, error 10047).
    int ListenOnHostPort(std::uint32_t hostPort);
    // Closes every peer and the listening socket.
    void Shutdown();

    std::uint16_t port() const { return listener_.LocalPort(); }
    const CStreamSocket& listener() const { return listener_; }
    const std::vector<std::unique_ptr<CClient>>& peers() const { return PeerList; }

    // A record at this ring index was added or updated: queue it for every admitted peer.
    void QueueCall(std::uint32_t ringIndex);
    // The same by id, from any thread: marshalled to the server's window thread.
    static bool postQueueCall(const platform::WindowRef& server, std::uint32_t callId);

    void OnTrafficAccept(CClient& peer);
    void OnTrafficDenied(CClient& peer);
    // Closes the peer from the message queue, with `text` as the log line; safe inside
    // the peer's own handlers.
    void dropPeer(CClient& peer, const char* text);

    const client::CallRing& ring() const { return *config_.ring; }
    std::uint32_t now() const;
    void NetLog(int level, const std::string& text) const;
    // The same for a fixed text: nothing is built when no sink listens.
    void NetLog(int level, const char* text) const;

    // Tests: the next this many peers cannot be allocated, as if memory had run out.
    static std::atomic<unsigned> failPeerAllocations;

  protected:
    platform::LResult dispatch(platform::AppMessage& m) override { return respond(kResponses, m); }

  private:
    platform::LResult EvServerSocket(platform::AppMessage& m);
    platform::LResult EvClientSocket(platform::AppMessage& m);
    platform::LResult EvQueueCall(platform::AppMessage& m);

    CClient* findPeer(const platform::AppMessage& m) const;
    void admit(CClient& peer);
    void destroyPeer(CClient& peer, const char* text);
    void receive(CClient& peer);
    void walkFrames(CClient& peer);
    void actOn(CClient& peer, std::uint8_t type);
    void showPeerText(CClient& peer, std::string_view wireText);

    static constexpr platform::MessageId kQueueCallMessage = platform::WM_APP + 0x100;
    static constexpr platform::Response<InstanceLinkServer> kResponses[] = {
        platform::onMessage(platform::WM_SERVER_SOCKET, &InstanceLinkServer::EvServerSocket),
        platform::onMessage(platform::WM_CLIENT_SOCKET, &InstanceLinkServer::EvClientSocket),
        platform::onMessage(kQueueCallMessage, &InstanceLinkServer::EvQueueCall),
    };

    LinkConfig config_;
    CStreamSocket listener_;
    std::vector<std::unique_ptr<CClient>> PeerList;
    bool acceptFailing_ = false;  // logged once until an accept succeeds again
};

}  // namespace orvelin::link
