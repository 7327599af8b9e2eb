#include "tools/isdnsim/isdnsim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <fstream>
#include <stdexcept>

namespace isdnsim {
namespace {

constexpr size_t kMaxFrame = 4096;
// Our own decoder copy is padded so libcapi20's unchecked decoder stays inside it.
constexpr size_t kDecodePadding = 1024;

// Operation codes of the remote driver's control requests; the reply carries code + 1.
constexpr uint8_t kOpRegister = 0xF2;
constexpr uint8_t kOpProfile = 0xE0;
constexpr uint8_t kOpManufacturer = 0xFA;
constexpr uint8_t kOpVersion = 0xFC;
constexpr uint8_t kOpSerial = 0xFE;

using Clock = std::chrono::steady_clock;
constexpr uint16_t kT30 = 4;             // B protocol 4 on all three levels: fax group 3
constexpr uint32_t kLineRate = 8000;     // bytes per second of a transparent B channel
constexpr uint16_t kFaxBitRate = 9600;   // the modem rate the fax link reports
// A line idle for longer than this starts its clock again instead of catching up.
constexpr auto kIdleLine = std::chrono::milliseconds(100);

uint16_t le16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
void put16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32(Bytes& b, uint32_t v) {
    put16(b, uint16_t(v));
    put16(b, uint16_t(v >> 16));
}

uint16_t sffPageCount(const Bytes& sff) {
    return sff.size() >= 10 ? uint16_t(sff[8] | (sff[9] << 8)) : 0;
}

// A CAPI struct: length byte, then the content.
Bytes capiStruct(const Bytes& content) {
    size_t n = std::min<size_t>(content.size(), 254);
    Bytes s(n + 1);
    s[0] = uint8_t(n);
    if (n) std::memcpy(s.data() + 1, content.data(), n);
    return s;
}

}  // namespace

Bytes faxNcpi(uint16_t rate, bool highResolution, uint16_t pages, const std::string& stationId) {
    Bytes n;
    put16(n, rate);
    put16(n, highResolution ? 1 : 0);
    put16(n, 0);  // SFF
    put16(n, pages);
    Bytes id = capiStruct(Bytes(stationId.begin(), stationId.end()));
    n.insert(n.end(), id.begin(), id.end());
    return n;
}

Bytes Message::content(const unsigned char* capiStruct) {
    if (capiStruct == nullptr || capiStruct[0] == 0) return {};
    if (capiStruct[0] == 0xFF) {
        size_t n = capiStruct[1] | (capiStruct[2] << 8);
        return Bytes(capiStruct + 3, capiStruct + 3 + n);
    }
    return Bytes(capiStruct + 1, capiStruct + 1 + capiStruct[0]);
}

struct Exchange::Conn {
    int fd = -1;
    Bytes in;
    bool registered = false;
    uint16_t applId = 1;
    uint16_t window = 7;                                       // MaxBDataBlocks of the registration
    std::map<unsigned, std::pair<uint32_t, uint32_t>> listen;  // controller -> info, CIP mask
};

struct Exchange::Call {
    App* app = nullptr;
    uint32_t plci = 0;
    uint32_t ncci = 0;
    bool incoming = true;
    CallState state = CallState::Ringing;
    std::deque<Bytes> queue;   // line audio not yet sent
    unsigned outstanding = 0;  // DATA_B3_IND not yet answered
    uint16_t handle = 0;
    Bytes received;
    BProtocols protocols{1, 1, 0};
    uint16_t b3Links = 0;
    std::optional<FaxDocument> fax;  // to send once a T.30 link is up
    bool faxFlowing = false;
    bool faxDone = false;
    Clock::time_point nextSend{};  // when the next block to the application may leave
    Clock::time_point lineFree{};  // when the application's queued blocks are on the line
    struct PendingConfirm {
        Clock::time_point due;
        uint16_t number;
        uint32_t address;
        uint16_t handle;
    };
    std::deque<PendingConfirm> confirms;

    uint32_t lineRate() const { return protocols.b3 == kT30 ? kFaxBitRate / 8 : kLineRate; }
    Clock::duration lineTime(size_t bytes) const {
        return std::chrono::microseconds(int64_t(bytes) * 1000000 / lineRate());
    }
    void newNcci() {
        b3Links = uint16_t(b3Links % 0x7FFF + 1);
        ncci = plci | (uint32_t(b3Links) << 16);
    }
};

namespace {
BProtocols chosenProtocols(const _cmsg& c) {
    if (c.BProtocol != CAPI_COMPOSE) return {};
    return {c.B1protocol, c.B2protocol, c.B3protocol};
}
}  // namespace

Exchange::Exchange(Options options) : opt_(std::move(options)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw std::runtime_error("isdnsim: socket failed");
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(opt_.port);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 16) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("isdnsim: cannot listen on 127.0.0.1:" +
                                 std::to_string(opt_.port));
    }
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { run(); });
}

Exchange::~Exchange() {
    {
        std::lock_guard lock(mu_);
        stop_ = true;
    }
    wake();
    thread_.join();
    for (auto& c : conns_) ::close(c->fd);
    if (listenFd_ >= 0) ::close(listenFd_);
    ::close(wakeFd_);
}

void Exchange::wake() {
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
}

void Exchange::run() {
    for (;;) {
        std::vector<pollfd> fds;
        int timeout = -1;
        {
            std::lock_guard lock(mu_);
            if (stop_) return;
            if (linkDown_) {
                for (auto& c : conns_) ::close(c->fd);
                conns_.clear();
                for (auto& [plci, call] : calls_) call->app = nullptr;
                if (listenFd_ >= 0) ::close(listenFd_);
                listenFd_ = -1;
                changed_.notify_all();
            }
            fds.push_back({wakeFd_, POLLIN, 0});
            if (listenFd_ >= 0) fds.push_back({listenFd_, POLLIN, 0});
            for (auto& c : conns_) fds.push_back({c->fd, POLLIN, 0});
            timeout = pollTimeout();
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0) continue;
        std::lock_guard lock(mu_);
        if (stop_) return;
        tick();
        if (fds[0].revents) {
            uint64_t v;
            [[maybe_unused]] auto n = ::read(wakeFd_, &v, sizeof v);
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == listenFd_) {
                int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) continue;
                int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                auto conn = std::make_unique<Conn>();
                conn->fd = fd;
                conns_.push_back(std::move(conn));
                continue;
            }
            auto it = std::find_if(conns_.begin(), conns_.end(),
                                   [&](auto& c) { return c->fd == fds[i].fd; });
            if (it != conns_.end()) onReadable(**it);
        }
        // Connections marked closed by onReadable.
        std::erase_if(conns_, [this](auto& c) {
            if (c->fd >= 0) return false;
            for (auto& [plci, call] : calls_)
                if (call->app == c.get()) call->app = nullptr;
            return true;
        });
    }
}

void Exchange::onReadable(Conn& conn) {
    uint8_t buf[8192];
    ssize_t n = ::recv(conn.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        ::close(conn.fd);
        conn.fd = -1;
        return;
    }
    if (n < 0) return;
    conn.in.insert(conn.in.end(), buf, buf + n);
    while (conn.in.size() >= 2 && conn.fd >= 0) {
        size_t len = (size_t(conn.in[0]) << 8) | conn.in[1];
        if (len < 2 || len > kMaxFrame) {  // not the remote driver talking
            ::close(conn.fd);
            conn.fd = -1;
            return;
        }
        if (conn.in.size() < len) break;
        Bytes payload(conn.in.begin() + 2, conn.in.begin() + len);
        conn.in.erase(conn.in.begin(), conn.in.begin() + len);
        onFrame(conn, payload.data(), payload.size());
    }
}

void Exchange::onFrame(Conn& conn, const uint8_t* p, size_t n) {
    if (n >= 12 && p[5] == 0xFF) return onOperation(conn, p, n);
    if (n < 8) return;
    onMessage(conn, p, n);
}

void Exchange::onOperation(Conn& conn, const uint8_t* p, size_t n) {
    Bytes reply(p, p + 8);
    reply[4] = uint8_t(p[4] + 1);
    uint32_t controller = le32(p + 8);
    switch (p[4]) {
        case kOpRegister:
            if (n >= 18) conn.window = std::max<uint16_t>(1, le16(p + 16));
            put16(reply, opt_.registerInfo);
            if (opt_.registerInfo == 0) {
                conn.registered = true;
                ++registrations_;
            }
            break;
        case kOpProfile: {
            if (opt_.profileInfo != 0 || controller > opt_.controllers.size()) {
                put16(reply, opt_.profileInfo ? opt_.profileInfo : 0x2002);
                break;
            }
            put16(reply, 0);
            if (controller == 0) {
                put16(reply, uint16_t(opt_.controllers.size()));
                break;
            }
            const Profile& pr = opt_.controllers[controller - 1];
            size_t start = reply.size();
            put16(reply, uint16_t(opt_.controllers.size()));
            put16(reply, pr.bChannels);
            put32(reply, pr.globalOptions);
            put32(reply, pr.b1Protocols);
            put32(reply, pr.b2Protocols);
            put32(reply, pr.b3Protocols);
            reply.resize(start + 64, 0);
            break;
        }
        case kOpManufacturer: {
            reply.push_back(0);
            Bytes text(64, 0);
            std::memcpy(text.data(), opt_.manufacturer.data(),
                        std::min<size_t>(63, opt_.manufacturer.size()));
            reply.insert(reply.end(), text.begin(), text.end());
            break;
        }
        case kOpVersion:
            reply.push_back(0);
            for (uint32_t v : opt_.version) put32(reply, v);
            break;
        case kOpSerial: {
            reply.push_back(0);
            Bytes text(8, 0);
            std::memcpy(text.data(), opt_.serial.data(), std::min<size_t>(7, opt_.serial.size()));
            reply.insert(reply.end(), text.begin(), text.end());
            break;
        }
        default:
            put16(reply, 0x1102);
            break;
    }
    if (opt_.stallOperations) {
        heldReplies_.emplace_back(conn.fd, std::move(reply));
        return;
    }
    sendFrame(conn.fd, reply);
}

void Exchange::onMessage(App& app, const uint8_t* p, size_t n) {
    size_t msgLen = le16(p);
    if (msgLen < 8 || msgLen > n) return;
    app.applId = le16(p + 2);
    auto msg = std::make_shared<Message>();
    msg->received = std::chrono::steady_clock::now();
    msg->bytes.assign(p, p + msgLen);
    msg->padded_ = msg->bytes;
    msg->padded_.resize(msgLen + kDecodePadding, 0);
    capi_message2cmsg(&msg->cmsg, msg->padded_.data());
    if (msg->cmsg.Command == CAPI_DATA_B3 && msg->cmsg.Subcommand == CAPI_REQ) {
        size_t len = std::min<size_t>(msg->cmsg.DataLength, n - msgLen);
        msg->data.assign(p + msgLen, p + msgLen + len);
        msg->cmsg.Data = msg->data.data();
    }
    bool dataFlow = msg->cmsg.Command == CAPI_DATA_B3;
    if (opt_.keepRecord || !dataFlow) record_.push_back(msg);
    if (!opt_.muted) react(app, *msg);
    changed_.notify_all();
}

void Exchange::react(App& app, const Message& m) {
    const _cmsg& c = m.cmsg;
    Call* call = callOf(m.address());
    auto sub = c.Subcommand;
    switch (c.Command) {
        case CAPI_LISTEN:
            if (sub != CAPI_REQ) break;
            if (m.address() == 0 || m.address() > opt_.controllers.size()) {
                confirm(app, m, 0x2002);
                break;
            }
            app.listen[m.address()] = {c.InfoMask, c.CIPmask};
            confirm(app, m, 0);
            break;
        case CAPI_ALERT:
            if (sub != CAPI_REQ) break;
            if (call && call->state == CallState::Ringing) call->state = CallState::Alerted;
            confirm(app, m, call ? 0 : 0x2002);
            break;
        case CAPI_CONNECT:
            if (sub == CAPI_RESP) {
                if (!call) break;
                if (c.Reject != 0) {
                    call->state = CallState::Clearing;
                    indicate(app, CAPI_DISCONNECT, call->plci,
                             [&](_cmsg& d) { d.Reason = opt_.rejectReason; });
                    break;
                }
                call->state = CallState::Active;
                call->protocols = chosenProtocols(c);
                indicate(app, CAPI_CONNECT_ACTIVE, call->plci, {});
            } else if (sub == CAPI_REQ) {
                unsigned controller = m.address() & 0x7F;
                if (controller == 0 || controller > opt_.controllers.size()) {
                    confirm(app, m, 0x2002);
                    break;
                }
                if (opt_.connectConfInfo > 0xFF) {
                    confirm(app, m, opt_.connectConfInfo);
                    break;
                }
                auto fresh = std::make_unique<Call>();
                fresh->app = &app;
                fresh->plci = newPlci(controller);
                fresh->incoming = false;
                fresh->protocols = chosenProtocols(c);
                uint32_t plci = fresh->plci;
                calls_[plci] = std::move(fresh);
                lastOutgoing_ = plci;
                confirm(app, m, opt_.connectConfInfo, [&](_cmsg& d) { d.adr.adrPLCI = plci; });
                if (opt_.serviceCentre) {
                    if (const auto reason = opt_.serviceCentre->clearReason) {
                        calls_[plci]->state = CallState::Clearing;
                        indicate(app, CAPI_DISCONNECT, plci, [&](_cmsg& d) { d.Reason = *reason; });
                    }
                    break;
                }
                if (opt_.answerOutgoing) {
                    calls_[plci]->state = CallState::Active;
                    indicate(app, CAPI_CONNECT_ACTIVE, plci, {});
                }
            }
            break;
        case CAPI_CONNECT_ACTIVE:
            if (sub == CAPI_RESP && call && call->incoming && opt_.b3OnIncoming &&
                call->ncci == 0)
                bringUpB3(*call);
            break;
        case CAPI_CONNECT_B3:
            if (sub == CAPI_REQ) {
                if (!call) {
                    confirm(app, m, 0x2002);
                    break;
                }
                call->newNcci();
                uint32_t ncci = call->ncci;
                confirm(app, m, 0, [&](_cmsg& d) { d.adr.adrNCCI = ncci; });
                b3Active(*call);
            } else if (sub == CAPI_RESP && call && call->ncci != 0 && m.address() == call->ncci) {
                // Only the link the exchange offered: a test may forge indications of its own.
                if (c.Reject == 0) {
                    b3Active(*call);
                } else {
                    uint32_t ncci = call->ncci;
                    call->ncci = 0;
                    indicate(app, CAPI_DISCONNECT_B3, ncci, {});
                }
            }
            break;
        case CAPI_CONNECT_B3_ACTIVE:
            // A late response to a link already cleared (the far end may clear at once).
            if (sub == CAPI_RESP && call && call->ncci != 0 && m.address() == call->ncci) {
                call->state = CallState::B3Up;
                startFax(*call);
                pump(*call);
            }
            break;
        case CAPI_DATA_B3:
            if (sub == CAPI_REQ) {
                if (call) call->received.insert(call->received.end(), m.data.begin(), m.data.end());
                uint16_t handle = c.DataHandle;
                bool onLine = call && call->state == CallState::B3Up;
                if (opt_.linePace && onLine) {
                    auto now = Clock::now();
                    call->lineFree = std::max(call->lineFree, now) + call->lineTime(m.data.size());
                    call->confirms.push_back({call->lineFree, m.number(), m.address(), handle});
                    break;
                }
                confirm(app, m, onLine ? 0 : 0x2002, [&](_cmsg& d) { d.DataHandle = handle; });
            } else if (sub == CAPI_RESP && call) {
                if (call->outstanding > 0) --call->outstanding;
                pump(*call);
            }
            break;
        case CAPI_DISCONNECT_B3:
            if (sub == CAPI_REQ) {
                confirm(app, m, call ? 0 : 0x2002);
                if (!call || call->ncci == 0) break;
                uint32_t ncci = dropB3(*call);
                indicate(app, CAPI_DISCONNECT_B3, ncci, {});
            }
            break;
        case CAPI_DISCONNECT:
            if (sub == CAPI_REQ) {
                confirm(app, m, call ? 0 : 0x2002);
                if (!call) break;
                dropB3(*call);
                call->state = CallState::Clearing;
                indicate(app, CAPI_DISCONNECT, call->plci, [](_cmsg& d) { d.Reason = 0; });
            } else if (sub == CAPI_RESP && call) {
                dropB3(*call);
                call->state = CallState::Cleared;
            }
            break;
        case CAPI_FACILITY:
            if (sub == CAPI_REQ) {
                static unsigned char dtmfConf[] = {2, 0, 0};
                uint16_t selector = c.FacilitySelector;
                confirm(app, m, 0, [&](_cmsg& d) {
                    d.FacilitySelector = selector;
                    d.FacilityConfirmationParameter = dtmfConf;
                });
            }
            break;
        case CAPI_INFO:
            if (sub == CAPI_REQ) confirm(app, m, 0);
            break;
        case CAPI_SELECT_B_PROTOCOL:
            if (sub != CAPI_REQ) break;
            // Only between B3 links: the far end brings the new link up, as after an answer.
            if (!call || call->ncci != 0 || call->state != CallState::Active) {
                confirm(app, m, call ? 0x2001 : 0x2002);
                break;
            }
            call->protocols = chosenProtocols(c);
            confirm(app, m, 0);
            if (call->incoming && opt_.b3OnIncoming) bringUpB3(*call);
            break;
        default:
            break;
    }
}

void Exchange::confirm(App& app, const Message& req, uint16_t info,
                       const std::function<void(_cmsg&)>& fill) {
    _cmsg d;
    capi_cmsg_header(&d, app.applId, req.command(), CAPI_CONF, req.number(), req.address());
    d.Info = info;
    if (fill) fill(d);
    sendMessage(app, d);
}

void Exchange::indicate(App& app, uint8_t command, uint32_t address,
                        const std::function<void(_cmsg&)>& fill) {
    _cmsg d;
    capi_cmsg_header(&d, app.applId, command, CAPI_IND, nextNumber_++, address);
    if (fill) fill(d);
    sendMessage(app, d);
}

void Exchange::sendMessage(App& app, _cmsg& m, const Bytes& trailing) {
    if (app.fd < 0) return;
    m.ApplId = app.applId;
    unsigned char buf[kMaxFrame + 512];
    std::memset(buf, 0, sizeof buf);
    capi_cmsg2message(&m, buf);
    size_t len = le16(buf);
    Bytes payload(buf, buf + len);
    payload.insert(payload.end(), trailing.begin(), trailing.end());
    sendFrame(app.fd, payload);
}

void Exchange::sendFrame(int fd, const Bytes& payload) {
    if (fd < 0 || payload.size() + 2 > kMaxFrame) return;
    Bytes frame;
    frame.reserve(payload.size() + 2);
    frame.push_back(uint8_t((payload.size() + 2) >> 8));
    frame.push_back(uint8_t(payload.size() + 2));
    frame.insert(frame.end(), payload.begin(), payload.end());
    size_t off = 0;
    while (off < frame.size()) {
        ssize_t n = ::send(fd, frame.data() + off, frame.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        off += size_t(n);
    }
}

void Exchange::pump(Call& call) {
    if (!call.app || call.state != CallState::B3Up) return;
    auto now = Clock::now();
    while (!call.queue.empty() && call.outstanding < call.app->window) {
        if (opt_.linePace) {
            if (call.nextSend > now) break;
            if (now - call.nextSend > kIdleLine) call.nextSend = now;
            call.nextSend += call.lineTime(call.queue.front().size());
        }
        Bytes block = std::move(call.queue.front());
        call.queue.pop_front();
        ++call.outstanding;
        uint16_t handle = call.handle++;
        _cmsg d;
        capi_cmsg_header(&d, call.app->applId, CAPI_DATA_B3, CAPI_IND, nextNumber_++, call.ncci);
        d.DataLength = uint16_t(block.size());
        d.DataHandle = handle;
        sendMessage(*call.app, d, block);
    }
    finishFax(call);
    changed_.notify_all();
}

void Exchange::bringUpB3(Call& call) {
    call.newNcci();
    indicate(*call.app, CAPI_CONNECT_B3, call.ncci, {});
}

void Exchange::b3Active(Call& call) {
    Bytes ncpiS;
    if (call.protocols.b3 == kT30) {
        bool high = call.fax ? call.fax->highResolution : true;
        std::string id = call.fax ? call.fax->stationId : std::string();
        ncpiS = capiStruct(faxNcpi(kFaxBitRate, high, 0, id));
    }
    indicate(*call.app, CAPI_CONNECT_B3_ACTIVE, call.ncci, [&](_cmsg& d) {
        if (!ncpiS.empty()) d.NCPI = ncpiS.data();
    });
}

uint32_t Exchange::dropB3(Call& call) {
    confirmDue(call, true);
    uint32_t ncci = call.ncci;
    call.ncci = 0;
    call.queue.clear();
    call.outstanding = 0;
    call.faxFlowing = false;
    if (call.state == CallState::B3Up) call.state = CallState::Active;
    return ncci;
}

void Exchange::startFax(Call& call) {
    if (!call.fax || call.faxFlowing || call.state != CallState::B3Up ||
        call.protocols != BProtocols{kT30, kT30, kT30})
        return;
    const Bytes& sff = call.fax->sff;
    size_t block = std::max<size_t>(1, call.fax->blockLength);
    for (size_t off = 0; off < sff.size(); off += block)
        call.queue.emplace_back(sff.begin() + std::ptrdiff_t(off),
                                sff.begin() + std::ptrdiff_t(std::min(sff.size(), off + block)));
    call.faxFlowing = true;
}

void Exchange::finishFax(Call& call) {
    if (!call.faxFlowing || !call.queue.empty() || call.outstanding != 0 || !call.app) return;
    FaxDocument fax = std::move(*call.fax);
    call.fax.reset();
    call.faxDone = true;
    Bytes ncpiS = capiStruct(faxNcpi(kFaxBitRate, fax.highResolution,
                                     fax.pages.value_or(sffPageCount(fax.sff)), fax.stationId));
    uint32_t ncci = dropB3(call);
    indicate(*call.app, CAPI_DISCONNECT_B3, ncci, [&](_cmsg& d) {
        d.Reason_B3 = fax.reasonB3;
        d.NCPI = ncpiS.data();
    });
    if (!fax.hangUpAfter) return;
    call.state = CallState::Clearing;
    indicate(*call.app, CAPI_DISCONNECT, call.plci, [](_cmsg& d) { d.Reason = 0x3490; });
}

void Exchange::confirmDue(Call& call, bool all) {
    auto now = Clock::now();
    while (!call.confirms.empty() && (all || call.confirms.front().due <= now)) {
        Call::PendingConfirm p = call.confirms.front();
        call.confirms.pop_front();
        if (!call.app) continue;
        _cmsg d;
        capi_cmsg_header(&d, call.app->applId, CAPI_DATA_B3, CAPI_CONF, p.number, p.address);
        d.Info = 0;
        d.DataHandle = p.handle;
        sendMessage(*call.app, d);
    }
}

void Exchange::tick() {
    if (!opt_.linePace) return;
    for (auto& [plci, call] : calls_) {
        confirmDue(*call, false);
        pump(*call);
    }
}

int Exchange::pollTimeout() const {
    if (!opt_.linePace) return -1;
    std::optional<Clock::time_point> next;
    auto consider = [&](Clock::time_point t) {
        if (!next || t < *next) next = t;
    };
    for (auto& [plci, call] : calls_) {
        if (!call->app) continue;
        if (!call->confirms.empty()) consider(call->confirms.front().due);
        if (call->state == CallState::B3Up && !call->queue.empty() &&
            call->outstanding < call->app->window)
            consider(call->nextSend);
    }
    if (!next) return -1;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
    return int(std::clamp<int64_t>(wait, 0, 1000));
}

Exchange::Call* Exchange::callOf(uint32_t address) {
    auto it = calls_.find(address & 0xFFFF);
    return it == calls_.end() ? nullptr : it->second.get();
}

const Exchange::Call* Exchange::callOf(uint32_t address) const {
    auto it = calls_.find(address & 0xFFFF);
    return it == calls_.end() ? nullptr : it->second.get();
}

Exchange::App* Exchange::firstApp() {
    for (auto& c : conns_)
        if (c->registered && c->fd >= 0) return c.get();
    return nullptr;
}

uint32_t Exchange::newPlci(unsigned controller) {
    for (int tries = 0; tries < 255; ++tries) {
        uint32_t plci = controller | (uint32_t(nextPlci_) << 8);
        nextPlci_ = uint8_t(nextPlci_ == 255 ? 1 : nextPlci_ + 1);
        auto it = calls_.find(plci);
        if (it == calls_.end() || it->second->state == CallState::Cleared) return plci;
    }
    return controller | 0xFF00;
}

void Exchange::configure(const std::function<void(Options&)>& change) {
    std::lock_guard lock(mu_);
    auto controllers = opt_.controllers;
    change(opt_);
    opt_.controllers = controllers;
    if (!opt_.stallOperations) {
        for (const auto& held : heldReplies_) {
            const int fd = held.first;
            bool open = std::any_of(conns_.begin(), conns_.end(), [&](auto& c) { return c->fd == fd; });
            if (open) sendFrame(fd, held.second);
        }
        heldReplies_.clear();
    }
    wake();
}

void Exchange::clearRecord() {
    std::lock_guard lock(mu_);
    record_.clear();
    calls_.clear();
}

uint32_t Exchange::ring(const CallSetup& setup) {
    std::lock_guard lock(mu_);
    App* target = nullptr;
    for (auto& c : conns_) {
        auto it = c->listen.find(setup.controller);
        if (c->fd < 0 || it == c->listen.end()) continue;
        uint32_t mask = it->second.second;
        if ((mask & 1) || (setup.cip < 32 && (mask & (1u << setup.cip)))) {
            target = c.get();
            break;
        }
    }
    if (!target) return 0;
    auto call = std::make_unique<Call>();
    call->app = target;
    call->plci = newPlci(setup.controller);
    uint32_t plci = call->plci;
    calls_[plci] = std::move(call);

    Bytes called{0x80};
    called.insert(called.end(), setup.called.begin(), setup.called.end());
    Bytes calledS = capiStruct(called);
    Bytes callingS{0};
    if (setup.calling) {
        Bytes calling{setup.callingType, setup.callingPresentation};
        calling.insert(calling.end(), setup.calling->begin(), setup.calling->end());
        callingS = capiStruct(calling);
    }
    Bytes uudS = capiStruct(setup.userUserData);
    indicate(*target, CAPI_CONNECT, plci, [&](_cmsg& d) {
        d.CIPValue = setup.cip;
        d.CalledPartyNumber = calledS.data();
        d.CallingPartyNumber = callingS.data();
        if (!setup.userUserData.empty()) d.Useruserdata = uudS.data();
    });
    changed_.notify_all();
    return plci;
}

bool Exchange::sendData(uint32_t plci, const Bytes& bytes, size_t blockLength) {
    std::lock_guard lock(mu_);
    Call* call = callOf(plci);
    if (!call || !call->app || blockLength == 0) return false;
    for (size_t off = 0; off < bytes.size(); off += blockLength) {
        size_t n = std::min(blockLength, bytes.size() - off);
        call->queue.emplace_back(bytes.begin() + off, bytes.begin() + off + n);
    }
    pump(*call);
    wake();
    return true;
}

bool Exchange::sendDtmf(uint32_t plci, const std::string& digits) {
    std::lock_guard lock(mu_);
    Call* call = callOf(plci);
    if (!call || !call->app) return false;
    Bytes param = capiStruct(Bytes(digits.begin(), digits.end()));
    indicate(*call->app, CAPI_FACILITY, call->ncci ? call->ncci : call->plci, [&](_cmsg& d) {
        d.FacilitySelector = 1;
        d.FacilityIndicationParameter = param.data();
    });
    return true;
}

bool Exchange::sendFaxTone(uint32_t plci, FaxTone tone) {
    return sendDtmf(plci, tone == FaxTone::Calling ? "X" : "Y");
}

bool Exchange::sendFax(uint32_t plci, FaxDocument fax) {
    std::lock_guard lock(mu_);
    Call* call = callOf(plci);
    if (!call || !call->app || call->faxFlowing) return false;
    call->fax = std::move(fax);
    call->faxDone = false;
    startFax(*call);
    pump(*call);
    wake();
    return true;
}

bool Exchange::sendInfo(uint32_t plci, uint16_t infoNumber, const Bytes& element) {
    std::lock_guard lock(mu_);
    Call* call = callOf(plci);
    if (!call || !call->app) return false;
    Bytes elementS = capiStruct(element);
    indicate(*call->app, CAPI_INFO, call->plci, [&](_cmsg& d) {
        d.InfoNumber = infoNumber;
        d.InfoElement = elementS.data();
    });
    return true;
}

bool Exchange::clearB3(uint32_t plci, uint16_t reasonB3, const Bytes& ncpi) {
    std::lock_guard lock(mu_);
    Call* call = callOf(plci);
    if (!call || !call->app || call->ncci == 0) return false;
    Bytes ncpiS = capiStruct(ncpi);
    uint32_t ncci = dropB3(*call);
    indicate(*call->app, CAPI_DISCONNECT_B3, ncci, [&](_cmsg& d) {
        d.Reason_B3 = reasonB3;
        if (!ncpi.empty()) d.NCPI = ncpiS.data();
    });
    return true;
}

bool Exchange::hangUp(uint32_t plci, uint16_t reason) {
    std::lock_guard lock(mu_);
    Call* call = callOf(plci);
    if (!call || !call->app) return false;
    if (call->ncci != 0) {
        uint32_t ncci = dropB3(*call);
        indicate(*call->app, CAPI_DISCONNECT_B3, ncci, {});
    }
    call->state = CallState::Clearing;
    indicate(*call->app, CAPI_DISCONNECT, call->plci, [&](_cmsg& d) { d.Reason = reason; });
    return true;
}

void Exchange::dropLink() {
    std::unique_lock lock(mu_);
    linkDown_ = true;
    for (auto& c : conns_) ::shutdown(c->fd, SHUT_RDWR);
    wake();
    changed_.wait_for(lock, std::chrono::seconds(10), [this] { return conns_.empty(); });
}

void Exchange::sendToApplication(_cmsg& message, const Bytes& trailing) {
    std::lock_guard lock(mu_);
    if (App* app = firstApp()) sendMessage(*app, message, trailing);
}

void Exchange::sendRawToApplication(const Bytes& payload) {
    std::lock_guard lock(mu_);
    if (App* app = firstApp()) sendFrame(app->fd, payload);
}

void Exchange::sendBytesToApplication(const Bytes& bytes) {
    std::lock_guard lock(mu_);
    App* app = firstApp();
    if (!app) return;
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::send(app->fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        off += size_t(n);
    }
}

std::vector<MessagePtr> Exchange::messages() const {
    std::lock_guard lock(mu_);
    return record_;
}

size_t Exchange::messageCount() const {
    std::lock_guard lock(mu_);
    return record_.size();
}

MessagePtr Exchange::waitFor(const std::function<bool(const Message&)>& match, size_t from,
                             std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    MessagePtr found;
    changed_.wait_for(lock, timeout, [&] {
        for (size_t i = from; i < record_.size(); ++i)
            if (match(*record_[i])) {
                found = record_[i];
                return true;
            }
        return false;
    });
    return found;
}

MessagePtr Exchange::waitFor(uint8_t command, uint8_t subcommand, size_t from,
                             std::chrono::milliseconds timeout) {
    return waitFor(
        [&](const Message& m) { return m.command() == command && m.subcommand() == subcommand; },
        from, timeout);
}

bool Exchange::waitUntil(const std::function<bool()>& condition,
                         std::chrono::milliseconds timeout) {
    // Polls as well: the condition may watch state that changes without an exchange event.
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::unique_lock lock(mu_);
        changed_.wait_for(lock, std::chrono::milliseconds(5));
    }
}

std::vector<MessagePtr> Exchange::find(uint8_t command, uint8_t subcommand) const {
    std::lock_guard lock(mu_);
    std::vector<MessagePtr> out;
    for (auto& m : record_)
        if (m->command() == command && m->subcommand() == subcommand) out.push_back(m);
    return out;
}

std::optional<CallState> Exchange::callState(uint32_t plci) const {
    std::lock_guard lock(mu_);
    const Call* call = callOf(plci);
    if (!call) return std::nullopt;
    return call->state;
}

uint32_t Exchange::ncciOf(uint32_t plci) const {
    std::lock_guard lock(mu_);
    const Call* call = callOf(plci);
    return call ? call->ncci : 0;
}

Bytes Exchange::receivedData(uint32_t plci) const {
    std::lock_guard lock(mu_);
    const Call* call = callOf(plci);
    return call ? call->received : Bytes{};
}

bool Exchange::saveReceived(uint32_t plci, const std::string& path) const {
    Bytes data;
    {
        std::lock_guard lock(mu_);
        const Call* call = callOf(plci);
        if (!call) return false;
        data = call->received;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    return bool(out.flush());
}

std::optional<BProtocols> Exchange::protocols(uint32_t plci) const {
    std::lock_guard lock(mu_);
    const Call* call = callOf(plci);
    if (!call) return std::nullopt;
    return call->protocols;
}

bool Exchange::faxDone(uint32_t plci) const {
    std::lock_guard lock(mu_);
    const Call* call = callOf(plci);
    return call && call->faxDone;
}

size_t Exchange::pendingData(uint32_t plci) const {
    std::lock_guard lock(mu_);
    const Call* call = callOf(plci);
    return call ? call->queue.size() + call->outstanding : 0;
}

uint32_t Exchange::lastOutgoingCall() const {
    std::lock_guard lock(mu_);
    return lastOutgoing_;
}

size_t Exchange::registrations() const {
    std::lock_guard lock(mu_);
    return registrations_;
}

}  // namespace isdnsim
