#include "link/instance_link.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <new>
#include <utility>

#include "platform/cp1252.h"
#include "link/link_log.h"
#include "link/link_profile.h"
#include "platform/message_box.h"

namespace orvelin::link {

using platform::cp1252ToUtf8;
using platform::utf8ToCp1252;

std::atomic<unsigned> InstanceLinkServer::failPeerAllocations{0};

namespace {

void put16(Buffer& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(Buffer& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint16_t get16(const Buffer& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t systemNow() {
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return static_cast<std::uint32_t>(s.count());
}

}  // namespace

Buffer NewNetMessage(std::uint8_t type, std::size_t payloadLength, std::uint32_t unixTime) {
    Buffer b(payloadLength + kNetHeaderSize, 0);
    b[0] = type;
    put16(b, 1, static_cast<std::uint16_t>(b.size()));
    put16(b, 3, kNetMarker);
    put32(b, 5, unixTime);
    return b;
}

std::string CallText(const client::TCallRecord& r) {
    std::string text = " ";
    text += r.callerNumber.view();
    text += "; ";
    text += r.callerName.view();
    text += "; ";
    text += r.calledNumber.view();
    text += "; ";
    text += r.calledName.view();
    text += "; ";
    text += r.comment.view();
    text += "; ";
    text += r.filePath.view();
    return text;
}

namespace {

// Appends one piece of the record's text in Windows-1252 at `at`, as far as the text may
// reach: the fields can total 544 bytes, and only 541 fit the frame the peer expects.
// The pieces are separated by ASCII, so converting them one by one equals converting
// the whole text.
void appendWireText(Buffer& b, std::size_t& at, std::string_view utf8) {
    std::string converted;
    std::string_view wire = utf8;
    // ASCII reads the same in both; only other text is converted.
    if (std::any_of(utf8.begin(), utf8.end(), [](char c) { return (c & 0x80) != 0; })) {
        converted = utf8ToCp1252(utf8);
        wire = converted;
    }
    const std::size_t room = kCallTextOffset + kMaxCallText - at;
    const std::size_t n = std::min(wire.size(), room);
    std::copy_n(wire.begin(), n, b.begin() + static_cast<std::ptrdiff_t>(at));
    at += n;
}

}  // namespace

Buffer BuildCallFrame(const client::TCallRecord& r, std::uint32_t unixTime) {
    Buffer b = NewNetMessage(MSG_TRAFFIC_CALL, kCallPayloadCapacity, unixTime);
    // Written in place: this runs for every record a peer is sent.
    std::size_t at = kCallTextOffset;
    appendWireText(b, at, " ");
    appendWireText(b, at, r.callerNumber.view());
    appendWireText(b, at, "; ");
    appendWireText(b, at, r.callerName.view());
    appendWireText(b, at, "; ");
    appendWireText(b, at, r.calledNumber.view());
    appendWireText(b, at, "; ");
    appendWireText(b, at, r.calledName.view());
    appendWireText(b, at, "; ");
    appendWireText(b, at, r.comment.view());
    appendWireText(b, at, "; ");
    appendWireText(b, at, r.filePath.view());
    const std::size_t textLength = at - kCallTextOffset;

    put32(b, 9, r.id);

    // The arrival as local time, from its seconds value (since 1901, unsigned).
    const std::time_t t = static_cast<std::time_t>(static_cast<std::int64_t>(r.arrivalSeconds) -
                                                   client::kSeconds1901To1970);
    std::tm tm{};
    if (localtime_r(&t, &tm)) {
        put16(b, 13, static_cast<std::uint16_t>(tm.tm_year + 1900));
        put16(b, 15, static_cast<std::uint16_t>(tm.tm_mon + 1));
        put16(b, 17, static_cast<std::uint16_t>(tm.tm_wday));
        put16(b, 19, static_cast<std::uint16_t>(tm.tm_mday));
        put16(b, 21, static_cast<std::uint16_t>(tm.tm_hour));
        put16(b, 23, static_cast<std::uint16_t>(tm.tm_min));
        put16(b, 25, static_cast<std::uint16_t>(tm.tm_sec));
    }
    put32(b, 29, r.state);
    put32(b, 33, r.flags);
    put16(b, 37, r.cip);
    put16(b, 39, r.reserved38);
    put16(b, 41, r.count);
    put16(b, 43, r.reason);

    // This type's length field counts from after itself; the zero byte and three
    // more follow the text on the wire.
    const auto length = static_cast<std::uint16_t>(textLength + 43);
    put16(b, 1, length);
    b.resize(static_cast<std::size_t>(length) + 6);
    return b;
}

std::string ShownText(std::string_view wire) {
    wire = wire.substr(0, wire.find('\0'));
    if (wire.size() > kMaxShownText) wire = wire.substr(0, kMaxShownText);
    std::string text = cp1252ToUtf8(wire);
    for (char& c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = ' ';
    }
    return text;
}

// ---- CClient ----

CClient::CClient(InstanceLinkServer& server, platform::Clock* clock)
    : CStreamSocket(server.ref(), platform::WM_CLIENT_SOCKET, clock), server_(server) {}

CClient::~CClient() {
    m_Pending.clear();
    pendingCount_.clear();
}

bool CClient::waitingUnsent(std::uint32_t id) const {
    const auto it = pendingCount_.find(id);
    if (it == pendingCount_.end()) return false;
    unsigned sent = 0;
    for (int i = 0; i < m_bAwaiting; ++i) sent += m_Pending[static_cast<std::size_t>(i)] == id;
    return it->second > sent;
}

void CClient::eraseAt(std::size_t position) {
    const std::uint32_t id = m_Pending[position];
    m_Pending.erase(m_Pending.begin() + static_cast<std::ptrdiff_t>(position));
    if (position < historyLeft_) --historyLeft_;
    auto it = pendingCount_.find(id);
    if (it != pendingCount_.end() && --it->second == 0) pendingCount_.erase(it);
}

void CClient::retireOldest() {
    if (m_bAwaiting == 0) return;
    eraseAt(0);
    --m_bAwaiting;
}

void CClient::resendOldest() {
    if (m_bAwaiting == 0) return;
    // Behind the records still in flight, where the peer's answers will reach it.
    const std::uint32_t id = m_Pending.front();
    m_Pending.pop_front();
    --m_bAwaiting;
    m_Pending.insert(m_Pending.begin() + m_bAwaiting, id);
    SendNextCall();
}

void CClient::QueueCall(std::uint32_t ringIndex) {
    const client::CallRing& ring = server_.ring();
    if (ringIndex >= ring.size()) return;
    const client::TCallRecord& record = ring.at(ringIndex);
    if (record.id == 0 || record.hidden()) return;
    QueueCallId(record.id);
}

void CClient::QueueHistory() {
    if (historyUnderWay() || closing()) return;
    const client::CallRing& ring = server_.ring();
    for (std::uint32_t index : ring.walkOrder()) {
        const client::TCallRecord& record = ring.at(index);
        if (record.id != 0 && !record.hidden()) QueueCallId(record.id);
    }
    historyLeft_ = m_Pending.size();
    SendNextCall();
}

void CClient::QueueCallId(std::uint32_t id) {
    if (id == 0 || closing()) return;
    // A record not sent yet goes out with its newest content anyway.
    if (waitingUnsent(id)) return;
    const std::size_t cap = 4 * static_cast<std::size_t>(server_.ring().size());
    if (m_Pending.size() >= cap) {
        server_.NetLog(1, "Call queue full");
        return;
    }
    m_Pending.push_back(id);
    ++pendingCount_[id];
    SendNextCall();
}

void CClient::SendNextCall() {
    while (!closing() && static_cast<std::size_t>(m_bAwaiting) < inFlightLimit() &&
           static_cast<std::size_t>(m_bAwaiting) < m_Pending.size()) {
        const auto next = static_cast<std::size_t>(m_bAwaiting);
        // Records removed or hidden since they were queued are skipped.
        const client::TCallRecord* record = server_.ring().find(m_Pending[next]);
        if (!record || record->hidden()) {
            eraseAt(next);
            continue;
        }
        Buffer frame = BuildCallFrame(*record, server_.now());
        // Only a peer that answers records it has not read gets this far behind.
        if (sendQueueBytes() + frame.size() > kMaxSendBacklog) {
            server_.dropPeer(*this, "Server closed connection, client does not read");
            return;
        }
        Send(std::move(frame));  // a refused frame is freed with `frame`
        ++m_bAwaiting;
        SetTimer(kAckTimer, kAckTimeoutMs);
    }
}

std::function<void()> CClient::textBoxOpened() {
    textShown_ = std::make_shared<std::atomic<bool>>(true);
    dropLogged_ = false;
    return [shown = textShown_] { shown->store(false); };
}

bool CClient::firstTextDropped() {
    if (dropLogged_) return false;
    dropLogged_ = true;
    return true;
}

// ---- InstanceLinkServer ----

InstanceLinkServer::InstanceLinkServer(LinkConfig config)
    : platform::AppWindow(config.clock),
      config_(std::move(config)),
      listener_(ref(), platform::WM_SERVER_SOCKET, config_.clock) {
    if (config_.profileDirectories.empty()) config_.profileDirectories = defaultProfileDirectories();
    if (!config_.now) config_.now = systemNow;
}

InstanceLinkServer::~InstanceLinkServer() {
    closeWindow();
    Shutdown();
}

int InstanceLinkServer::Listen(std::string_view portOrService) {
    const std::string name(portOrService);
    return listener_.Create(name.c_str(), kFamilyInet);
}

int InstanceLinkServer::ListenOnHostPort(std::uint32_t hostPort) {
    if (hostPort == 0) return listener_.Create("", kFamilyNetBios);
    if (hostPort > 65535) return kSocketWrongState;
    return listener_.CreateOnPort(static_cast<int>(hostPort));
}

void InstanceLinkServer::Shutdown() {
    while (!PeerList.empty()) {
        PeerList.back()->Close();
        PeerList.pop_back();
    }
    listener_.Close();
}

std::uint32_t InstanceLinkServer::now() const {
    return config_.now();
}

void InstanceLinkServer::NetLog(int level, const std::string& text) const {
    if (config_.log) config_.log(level, text);
}

void InstanceLinkServer::NetLog(int level, const char* text) const {
    if (config_.log) config_.log(level, text);
}

void InstanceLinkServer::QueueCall(std::uint32_t ringIndex) {
    for (const auto& peer : PeerList) {
        // The greeting comes first: a peer not yet admitted gets no records.
        if (peer->admitted) peer->QueueCall(ringIndex);
    }
}

bool InstanceLinkServer::postQueueCall(const platform::WindowRef& server, std::uint32_t callId) {
    return server.post(kQueueCallMessage, callId);
}

platform::LResult InstanceLinkServer::EvQueueCall(platform::AppMessage& m) {
    const auto id = static_cast<std::uint32_t>(m.wParam);
    for (const auto& peer : PeerList) {
        if (peer->admitted) peer->QueueCallId(id);
    }
    return 0;
}

void InstanceLinkServer::OnTrafficAccept(CClient& peer) {
    peer.KillTimer(kAckTimer);
    // An answer with nothing in flight retires nothing; otherwise later answers would
    // retire the wrong records.
    peer.retireOldest();
    peer.m_nRetries = 0;
    peer.SendNextCall();
    // A record still in flight gets the full time from the last sign of the peer.
    if (peer.m_bAwaiting > 0) peer.SetTimer(kAckTimer, kAckTimeoutMs);
}

void InstanceLinkServer::OnTrafficDenied(CClient& peer) {
    peer.KillTimer(kAckTimer);
    if (++peer.m_nRetries > kMaxDenials) {
        dropPeer(peer, "Client closed connection");
        return;
    }
    peer.resendOldest();
    if (peer.m_bAwaiting > 0) peer.SetTimer(kAckTimer, kAckTimeoutMs);
}

void InstanceLinkServer::dropPeer(CClient& peer, const char* text) {
    if (peer.closing()) return;
    peer.markClosing(text);
    peer.KillTimer(kAckTimer);
    auto note = std::make_unique<SocketNote>();
    note->serial = peer.serial();
    post(platform::WM_CLIENT_SOCKET, SocketClosed, reinterpret_cast<platform::LParam>(&peer),
         std::move(note));
}

platform::LResult InstanceLinkServer::EvServerSocket(platform::AppMessage& m) {
    if (m.wParam != SocketAcceptPending || !listener_.owns(m)) return 0;
    std::unique_ptr<CClient> peer;
    try {
        // Room in the list first: once accepted, the peer must not be lost to a throw.
        if (PeerList.size() == PeerList.capacity()) PeerList.reserve(2 * PeerList.size() + 4);
        if (failPeerAllocations > 0) {
            --failPeerAllocations;
            throw std::bad_alloc();
        }
        peer = std::make_unique<CClient>(*this, config_.clock);
    } catch (const std::bad_alloc&) {
        listener_.DeferAccept(WSAENOBUFS);
    }
    if (!peer || listener_.Accept(*peer) != kSocketOk) {
        const int error = listener_.error();
        if (isResourceError(error) && !acceptFailing_) {
            acceptFailing_ = true;
            std::string text = ReportWinSockError(error, "", true);
            while (!text.empty() && text.back() == '\n') text.pop_back();
            NetLog(1, "Error accepting connection: " + text);
        }
        return 0;
    }
    acceptFailing_ = false;
    PeerList.push_back(std::move(peer));
    return 0;
}

CClient* InstanceLinkServer::findPeer(const platform::AppMessage& m) const {
    for (const auto& peer : PeerList) {
        if (peer->owns(m)) return peer.get();
    }
    return nullptr;
}

platform::LResult InstanceLinkServer::EvClientSocket(platform::AppMessage& m) {
    switch (m.wParam) {
        case SocketDataSent:
            NetLog(3, "Data sent");
            return 0;  // the frame is freed with the message
        case SocketSendFailed:
            NetLog(0, "Error sending data");
            return 0;
        case SocketSendDone:
            return 0;
        default:
            break;
    }
    // Notifications of a peer that is gone (closed, or refused meanwhile) are dropped.
    CClient* peer = findPeer(m);
    if (!peer) return 0;
    switch (m.wParam) {
        case SocketConnected:
            admit(*peer);
            break;
        case SocketDataReceived:
            receive(*peer);
            break;
        case SocketReceiveFailed:
            NetLog(1, "Error reading on data port");
            break;
        case SocketClosed:
            destroyPeer(*peer, peer->closing() ? peer->closeText() : "Client closed connection");
            break;
        case SocketTimeout:
            destroyPeer(*peer, "Server closed connection after timeout");
            break;
        default:
            NetLog(1, "Unknown message on data port");
            break;
    }
    return 0;
}

void InstanceLinkServer::admit(CClient& peer) {
    bool refuse = false;
    sockaddr_in address{};
    if (peer.GetPeerName(address) != kSocketOk) {
        NetLog(2, "Connect attempt from unknown client");
        refuse = true;
    } else {
        char dotted[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted);
        const int port = ntohs(address.sin_port);
        // Read again at every admission, so edits apply to the next peer.
        const std::optional<std::string> file = findProfileFile(config_.profileDirectories);
        std::string text;
        if (readProfileInt(file, dotted, "Fields", 0) != 0) {
            text = "Connected to client " + std::string(dotted) + ", " + std::to_string(port);
            if (readProfileInt(file, dotted, "Enabled", 1) == 0) {
                text += ", Disabled";
                refuse = true;
            }
        } else {
            text = "Connect attempt from " + std::string(dotted) + ", " + std::to_string(port);
        }
        NetLog(2, text);
    }
    if (!refuse && PeerList.size() > kMaxPeers) {
        NetLog(1, "Allready 10 clients connected. Connection refused.");
        refuse = true;
    }
    if (refuse) {
        destroyPeer(peer, "Connection destroyed");
        return;
    }
    peer.Send(Buffer(kGreeting.begin(), kGreeting.end()));
    peer.admitted = true;
}

void InstanceLinkServer::destroyPeer(CClient& peer, const char* text) {
    peer.Close();
    const auto it = std::find_if(PeerList.begin(), PeerList.end(),
                                 [&](const auto& p) { return p.get() == &peer; });
    if (it != PeerList.end()) PeerList.erase(it);
    NetLog(2, text);
}

void InstanceLinkServer::receive(CClient& peer) {
    std::optional<Buffer> data = peer.Receive();
    if (!data || peer.closing()) return;
    peer.inbox.insert(peer.inbox.end(), data->begin(), data->end());
    walkFrames(peer);
    NetLog(3, "Done reading on data port");
}

namespace {

bool actedOn(std::uint8_t type) {
    return type == MSG_TRAFFIC_ACCEPT_ALL || type == MSG_TRAFFIC_ACCEPT ||
           type == MSG_TRAFFIC_DENIED;
}

// The first n (< 9) bytes of a header of a frame the server acts on.
bool startsActedOnFrame(const std::uint8_t* f, std::size_t n) {
    return actedOn(f[0]) && (n < 3 || (f[1] | (f[2] << 8)) >= static_cast<int>(kNetHeaderSize)) &&
           (n < 4 || f[3] == (kNetMarker & 0xFF)) && (n < 5 || f[4] == (kNetMarker >> 8));
}

}  // namespace

void InstanceLinkServer::walkFrames(CClient& peer) {
    Buffer& in = peer.inbox;
    std::size_t pos = 0;
    while (pos < in.size() && !peer.closing()) {
        const std::uint8_t* f = in.data() + pos;
        const std::size_t remaining = in.size() - pos;
        const bool framed = (remaining < 4 || f[3] == (kNetMarker & 0xFF)) &&
                            (remaining < 5 || f[4] == (kNetMarker >> 8));
        if (remaining < kNetHeaderSize && framed && startsActedOnFrame(f, remaining)) break;
        // The length is judged before the marker, so a short frame counts as one.
        if (remaining >= 3 && get16(in, pos + 1) < kNetHeaderSize) {
            NetLog(0, "Bad message length received");
            pos = in.size();
            break;
        }
        if (!framed || remaining < 5) {
            // Not a frame: the rest of what arrived is a text.
            const std::string_view rest(reinterpret_cast<const char*>(f), remaining);
            if (rest.substr(0, 4) != "SSMS") {
                NetLog(0, "Bad message signature received");
            } else {
                showPeerText(peer, rest.substr(4));
            }
            pos = in.size();
            break;
        }
        const std::size_t length = get16(in, pos + 1);  // five bytes or more are here
        if (length > kLargestFrame) {
            // No frame is this long: the header counts alone, what follows is read afresh.
            if (remaining < kNetHeaderSize) {
                NetLog(0, "Bad message type received");
                pos = in.size();
                break;
            }
            actOn(peer, f[0]);
            pos += kNetHeaderSize;
            continue;
        }
        if (length > remaining) {
            if (actedOn(f[0])) break;  // the rest of the frame is still on its way
            NetLog(0, "Bad message type received");
            pos = in.size();
            break;
        }
        actOn(peer, f[0]);
        pos += length;
    }
    if (peer.closing()) pos = in.size();
    in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(pos));
}

void InstanceLinkServer::actOn(CClient& peer, std::uint8_t type) {
    switch (type) {
        case MSG_TRAFFIC_ACCEPT_ALL:
            // Not an answer: a record in flight stays awaiting its own, and the history
            // runs two records ahead of the peer. It ends a row of denials all the same.
            peer.m_nRetries = 0;
            peer.QueueHistory();
            NetLog(9, "Message MSG_TRAFFIC_ACCEPT received");
            break;
        case MSG_TRAFFIC_ACCEPT:
            OnTrafficAccept(peer);
            NetLog(9, "Message MSG_TRAFFIC_ACCEPT received");
            break;
        case MSG_TRAFFIC_DENIED:
            OnTrafficDenied(peer);
            NetLog(9, "Message MSG_TRAFFIC_DENIED received");
            break;
        default:
            NetLog(0, "Bad message type received");
            break;
    }
}

void InstanceLinkServer::showPeerText(CClient& peer, std::string_view wireText) {
    if (!peer.mayShowText()) {
        if (peer.firstTextDropped()) NetLog(1, std::string(kPeerTextDropped));
        return;
    }
    const std::string text = ShownText(wireText);
    std::function<void()> closed = peer.textBoxOpened();
    if (config_.showText) {
        config_.showText(text, std::move(closed));
    } else {
        platform::notifyBox(text, config_.caption, platform::BoxIcon::Information,
                            std::move(closed));
    }
    if (!peer.showingText()) peer.textOnlyLogged();
}

}  // namespace orvelin::link
