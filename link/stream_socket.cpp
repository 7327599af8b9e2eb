#include "link/stream_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "link/note_courier.h"
#include "platform/message_box.h"

namespace orvelin::link {

namespace {

constexpr int kSocketBufferSize = 0x7FFF;
constexpr int kNoBufferSpace = WSAENOBUFS;
// The classic backlog of 3 drops connections when several peers start together.
constexpr int kListenBacklog = 16;
constexpr platform::TimerId kConnectTimer = 1;
// Buffers handed to the system in one call.
constexpr std::size_t kMaxGather = 64;

std::atomic<std::uint64_t> nextSerial{1};
std::atomic<AcceptFunction> acceptFunction{nullptr};

struct ErrorText {
    int code;
    const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references: can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network sub-system is unusable"},
    {10092, "WinSock DLL cannot support this application"},
    {10093, "WinSock not initialized"},
    {10101, "Disconnect"},
    {11001, "Host not found"},
    {11002, "Non-authoritative host not found"},
    {11003, "Non-recoverable error"},
    {11004, "Valid name, no data record of requested type"},
};

const char* errorText(int code) {
    for (const ErrorText& e : kErrorTexts) {
        if (e.code == code) return e.text;
    }
    return nullptr;
}

int lastSocketError() {
    return wsaErrorFromErrno(errno);
}

// A decimal port ("0" included) or a "tcp" service name. nullopt when neither.
std::optional<std::uint16_t> resolvePort(std::string_view name, int& error) {
    if (!name.empty() && name.size() <= 5 &&
        name.find_first_not_of("0123456789") == std::string_view::npos) {
        unsigned value = 0;
        for (char c : name) value = value * 10 + static_cast<unsigned>(c - '0');
        if (value <= 65535) return static_cast<std::uint16_t>(value);
        error = 10022;
        return std::nullopt;
    }
    const std::string service(name);
    servent entry{};
    servent* found = nullptr;
    char scratch[1024];
    if (getservbyname_r(service.c_str(), "tcp", &entry, scratch, sizeof scratch, &found) == 0 &&
        found) {
        return ntohs(static_cast<std::uint16_t>(found->s_port));
    }
    error = WSANO_DATA;
    return std::nullopt;
}

}  // namespace

int wsaErrorFromErrno(int err) {
    switch (err) {
        case 0: return 0;
        case EINTR: return 10004;
        case EBADF: return 10009;
        case EACCES: return 10013;
        case EFAULT: return 10014;
        case EINVAL: return 10022;
        case EMFILE: case ENFILE: return 10024;
        case EAGAIN: return 10035;
        case EINPROGRESS: return 10036;
        case EALREADY: return 10037;
        case ENOTSOCK: return 10038;
        case EDESTADDRREQ: return 10039;
        case EMSGSIZE: return 10040;
        case EPROTOTYPE: return 10041;
        case ENOPROTOOPT: return 10042;
        case EPROTONOSUPPORT: return 10043;
        case ESOCKTNOSUPPORT: return 10044;
        case EOPNOTSUPP: return 10045;
        case EPFNOSUPPORT: return 10046;
        case EAFNOSUPPORT: return 10047;
        case EADDRINUSE: return 10048;
        case EADDRNOTAVAIL: return 10049;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return 10051;
        case ENETRESET: return 10052;
        case ECONNABORTED: return 10053;
        case ECONNRESET: case EPIPE: return 10054;
        case ENOBUFS: case ENOMEM: return 10055;
        case EISCONN: return 10056;
        case ENOTCONN: return 10057;
        case ESHUTDOWN: return 10058;
        case ETOOMANYREFS: return 10059;
        case ETIMEDOUT: return 10060;
        case ECONNREFUSED: return 10061;
        case ELOOP: return 10062;
        case ENAMETOOLONG: return 10063;
        case EHOSTDOWN: return 10064;
        case EHOSTUNREACH: return 10065;
        case ENOTEMPTY: return 10066;
        case EDQUOT: return 10069;
        case ESTALE: return 10070;
        default: return 10000 + err;
    }
}

bool isConnectionLossError(int e) {
    return (e >= 10050 && e <= 10054) || e == 10061 || e == 10064 || e == 10065 ||
           e == 10101 || e == 11003;
}

bool isTransientError(int e) {
    return e == WSAEINTR || e == WSAEWOULDBLOCK || e == WSAEINPROGRESS || e == WSAEALREADY;
}

void setAcceptFunction(AcceptFunction function) {
    acceptFunction = function;
}

bool isResourceError(int e) {
    return e == 10024 || e == 10055;
}

std::string ReportWinSockError(int error, std::string_view context, bool quiet) {
    std::string text;
    if (const char* known = errorText(error)) {
        text = "WinSock error " + std::to_string(error) + ": " + known;
    } else {
        text = "Not a WinSock error";
    }
    text += "\n";
    if (text.size() + context.size() < 1000) text += context;
    if (!quiet) platform::notifyBox(text, "Windows Sockets Error", platform::BoxIcon::Error);
    return text;
}

int CWinSock::Startup() {
    // Only version 1.1 of the classic interface is offered.
    if (version_ != 0x0101) {
        error_ = 10092;
        return 2;
    }
    data_.version = 0x0101;
    data_.highVersion = 0x0101;
    data_.description = "POSIX sockets";
    error_ = 0;
    return 0;
}

int CWinSock::Cleanup() {
    error_ = 0;
    return 0;
}

// The hidden window of one socket: its own message queue and timers.
class CStreamSocket::Window : public platform::AppWindow {
  public:
    Window(CStreamSocket& owner, platform::Clock* clock) : AppWindow(clock), owner_(owner) {}
    ~Window() override { closeWindow(); }

    bool dispatching() const { return depth_ > 0; }

  protected:
    platform::LResult dispatch(platform::AppMessage& m) override {
        ++depth_;
        const platform::LResult r = respond(kResponses, m);
        --depth_;
        return r;
    }

  private:
    platform::LResult evSocketNotify(platform::AppMessage& m) {
        owner_.EvSocketNotify(m.wParam, m.lParam);
        return 0;
    }
    platform::LResult evTimer(platform::AppMessage& m) {
        owner_.EvTimer(static_cast<platform::TimerId>(m.wParam));
        return 0;
    }

    static constexpr platform::Response<Window> kResponses[] = {
        platform::onMessage(WM_SOCKET_NOTIFY, &Window::evSocketNotify),
        platform::onMessage(platform::WM_TIMER, &Window::evTimer),
    };

    CStreamSocket& owner_;
    int depth_ = 0;
};

CStreamSocket::CStreamSocket(platform::WindowRef parent, platform::MessageId message,
                             platform::Clock* clock)
    : parent_(std::move(parent)), message_(message), clock_(clock) {
    // Without both no notification could ever arrive: a fault of the caller.
    if (!parent_ || message_ == 0) {
        std::fprintf(stderr, "CStreamSocket: a parent window and a message other than 0 are required\n");
        std::abort();
    }
    Reset(true);
}

CStreamSocket::~CStreamSocket() {
    stopWatching();
    closeDescriptor();
    destroyWindow();
}

void CStreamSocket::Reset(bool clearError) {
    fd_ = -1;
    localAddr_ = {};
    remoteAddr_ = {};
    listening_ = false;
    timeoutMs_ = 5000;
    if (clearError) error_ = 0;
    sendPos_ = 0;
    sendBytes_ = 0;
    writePosted_ = false;
    acceptRetryMs_ = kAcceptRetryFirstMs;
    receiveBufferSet_ = 0;
    connectPending_ = false;
    eof_ = false;
    hardError_ = false;
    closedReported_ = false;
    serial_ = 0;
}

bool CStreamSocket::openWindow() {
    try {
        if (!window_) window_ = std::make_unique<Window>(*this, clock_);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void CStreamSocket::destroyWindow() {
    if (!window_) return;
    window_->closeWindow();
    if (!window_->dispatching()) {
        window_.reset();
        return;
    }
    // Still inside one of its own handlers: delete it once that has returned.
    Window* w = window_.release();
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(app, [w] { delete w; }, Qt::QueuedConnection);
    }
}

void CStreamSocket::closeDescriptor() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool CStreamSocket::startWatching() {
    try {
        watch();
    } catch (const std::bad_alloc&) {
        stopWatching();
        return false;
    }
    return true;
}

void CStreamSocket::watch() {
    readNotifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(readNotifier_.get(), &QSocketNotifier::activated, readNotifier_.get(),
                     [this] { onNotifier(true); });
    writeNotifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Write);
    writeNotifier_->setEnabled(false);
    QObject::connect(writeNotifier_.get(), &QSocketNotifier::activated, writeNotifier_.get(),
                     [this] { onNotifier(false); });
    // A zero timer rather than a posted message: arming it costs the event loop no wake-up.
    sendLater_ = std::make_unique<QTimer>();
    sendLater_->setSingleShot(true);
    sendLater_->setInterval(0);
    QObject::connect(sendLater_.get(), &QTimer::timeout, sendLater_.get(),
                     [this] { runDeferredSend(); });
}

void CStreamSocket::stopWatching() {
    readNotifier_.reset();
    writeNotifier_.reset();
    sendLater_.reset();
}

void CStreamSocket::updateWriteWatch() {
    if (!writeNotifier_) return;
    writeNotifier_->setEnabled(connectPending_ || (!sendList_.empty() && sendPos_ > 0));
}

// Runs inside the notifier. Reads and sends are done here: they only post to the owner,
// and the call's own result tells of a failed connection. The read notifier stays on
// while data comes (switching it costs the event loop a wake-up each time). Accepts and
// connects switch the notifier off and go through the socket window.
void CStreamSocket::onNotifier(bool readSide) {
    if (readSide && !listening_ && !connectPending_) {
        onReadable();
        return;
    }
    QSocketNotifier* n = readSide ? readNotifier_.get() : writeNotifier_.get();
    if (n) n->setEnabled(false);
    if (!readSide && !connectPending_) {
        if (!closedReported_) DoSend();
        return;
    }
    int soError = 0;
    socklen_t len = sizeof soError;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
    std::uint32_t event;
    if (readSide) {
        event = listening_ ? kFdAccept : kFdRead;
    } else {
        event = connectPending_ ? kFdConnect : kFdWrite;
    }
    postSelf(event, wsaErrorFromErrno(soError));
}

void CStreamSocket::postSelf(std::uint32_t event, int error) {
    if (!window_ || fd_ < 0) return;
    const auto packed = static_cast<std::uint32_t>(event & 0xFFFF) |
                        (static_cast<std::uint32_t>(error & 0xFFFF) << 16);
    try {
        window_->post(WM_SOCKET_NOTIFY, static_cast<platform::WParam>(fd_),
                      static_cast<platform::LParam>(packed));
    } catch (const std::bad_alloc&) {
        // Lost like a notification to a full queue; the notifier fires again.
    }
}

void CStreamSocket::notify(StreamSocketEvent code, Buffer buffer) {
    try {
        auto note = std::make_unique<SocketNote>();
        note->serial = serial_;
        note->buffer = std::move(buffer);
        const auto socket = reinterpret_cast<platform::LParam>(this);
        NoteCourier* courier = parent_.onCallingThread() ? NoteCourier::here() : nullptr;
        if (!courier) {
            parent_.post(message_, code, socket, std::move(note));
            return;
        }
        courier->carry(parent_, platform::AppMessage{message_, code, socket, std::move(note)});
    } catch (const std::bad_alloc&) {
        // Nothing can carry it; the buffer, if any, is freed here.
    }
}

void CStreamSocket::notifyClosedOnce() {
    if (closedReported_) return;
    closedReported_ = true;
    notify(SocketClosed);
}

bool CStreamSocket::owns(const platform::AppMessage& message) const {
    if (message.lParam != reinterpret_cast<platform::LParam>(this) || serial_ == 0) return false;
    const SocketNote* note = message.peek<SocketNote>();
    return note && note->serial == serial_;
}

platform::WindowRef CStreamSocket::windowRef() const {
    return window_ ? window_->ref() : platform::WindowRef{};
}

bool CStreamSocket::watchingWrites() const {
    return writeNotifier_ && writeNotifier_->isEnabled();
}

bool CStreamSocket::watchingReads() const {
    return readNotifier_ && readNotifier_->isEnabled();
}

std::uint16_t CStreamSocket::LocalPort() const {
    if (fd_ < 0) return 0;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

int CStreamSocket::Create(const char* name, int family) {
    if (fd_ >= 0) return kSocketWrongState;
    Reset(true);
    const auto fail = [this](int error, int fd) {
        if (fd >= 0) ::close(fd);
        error_ = error;
        destroyWindow();
        Reset(false);
        return kSocketError;
    };
    if (!openWindow()) return fail(kNoBufferSpace, -1);
    // Every family but NetBIOS, which this platform lacks, gets a TCP socket.
    if (family == kFamilyNetBios) return fail(WSAEAFNOSUPPORT, -1);

    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) return fail(lastSocketError(), -1);

    if (name) {
        listening_ = true;
        int error = 0;
        const std::optional<std::uint16_t> port = resolvePort(name, error);
        if (!port) return fail(error, s);
        // A restart while old connections sit in TIME_WAIT must still get the port.
        const int on = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        localAddr_.sin_family = AF_INET;
        localAddr_.sin_port = htons(*port);
        localAddr_.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::bind(s, reinterpret_cast<const sockaddr*>(&localAddr_), sizeof localAddr_) != 0) {
            return fail(lastSocketError(), s);
        }
    }
    fd_ = s;
    serial_ = nextSerial++;

    const int size = kSocketBufferSize;
    if (setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) {
        ReportWinSockError(lastSocketError(), "SO_SNDBUF", false);
    }
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
        ReportWinSockError(lastSocketError(), "SO_RCVBUF", false);
    } else {
        // Read back, the kernel reports twice the size; the size asked for is the one meant.
        receiveBufferSet_ = size;
    }

    if (listening_ && ::listen(fd_, kListenBacklog) != 0) {
        const int error = lastSocketError();
        Close();
        error_ = error;  // kept so the caller can report why
        return kSocketError;
    }
    if (!startWatching()) {
        Close();
        error_ = kNoBufferSpace;
        return kSocketError;
    }
    return kSocketOk;
}

int CStreamSocket::CreateOnPort(int port) {
    if (port <= 0 || port > 65535) return kSocketWrongState;
    return Create(std::to_string(port).c_str(), kFamilyInet);
}

int CStreamSocket::Close() {
    if (window_) window_->killTimer(kConnectTimer);
    if (fd_ < 0) return kSocketWrongState;
    stopWatching();
    while (!sendList_.empty()) {
        notify(SocketSendFailed, std::move(sendList_.front()));
        sendList_.pop_front();
    }
    recvList_.clear();
    spare_ = Buffer();
    closeDescriptor();
    Reset(true);
    destroyWindow();
    return kSocketOk;
}

int CStreamSocket::Connect(std::string_view host, std::string_view port) {
    int error = 0;
    const std::optional<std::uint16_t> p = resolvePort(port, error);
    if (!p) {
        error_ = error;
        return kSocketError;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(*p);
    const std::string name(host);
    if (inet_pton(AF_INET, name.c_str(), &address.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        if (getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0 || !list) {
            error_ = WSAHOST_NOT_FOUND;
            return kSocketError;
        }
        address.sin_addr = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr;
        freeaddrinfo(list);
    }
    return ConnectAddress(address);
}

int CStreamSocket::ConnectPort(std::string_view host, int port) {
    return Connect(host, std::to_string(port));
}

int CStreamSocket::ConnectAddress(const sockaddr_in& address) {
    if (listening_ || fd_ < 0) return kSocketWrongState;
    remoteAddr_ = address;
    if (timeoutMs_ > 0) SetTimer(kConnectTimer, timeoutMs_);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS && errno != EAGAIN) {
        error_ = lastSocketError();
        return kSocketError;
    }
    connectPending_ = true;
    // Until the connect completes only the write side tells how it went.
    if (readNotifier_) readNotifier_->setEnabled(false);
    updateWriteWatch();
    return kSocketOk;
}

void CStreamSocket::DeferAccept(int error) {
    if (!listening_ || !window_) return;
    error_ = error;
    // The connection stays queued and the socket stays readable: watching it now would
    // spin until descriptors or memory come back.
    if (readNotifier_) readNotifier_->setEnabled(false);
    SetTimer(kAcceptRetryTimer, acceptRetryMs_);
    acceptRetryMs_ = std::min(acceptRetryMs_ * 2, kAcceptRetryMaxMs);
}

int CStreamSocket::Accept(CStreamSocket& target) {
    if (!listening_ || fd_ < 0 || target.fd_ >= 0) return kSocketWrongState;
    target.Reset(true);
    if (!target.openWindow()) {
        error_ = kNoBufferSpace;
        target.Reset(false);
        return kSocketError;
    }
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const AcceptFunction takeConnection = acceptFunction ? acceptFunction.load() : ::accept4;
    const int s = takeConnection(fd_, reinterpret_cast<sockaddr*>(&peer), &len,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s < 0) {
        error_ = lastSocketError();
        target.destroyWindow();
        target.Reset(false);
        if (isResourceError(error_) && window_) {
            DeferAccept(error_);
        } else if (readNotifier_) {
            readNotifier_->setEnabled(true);
        }
        return kSocketError;
    }
    acceptRetryMs_ = kAcceptRetryFirstMs;
    if (readNotifier_) readNotifier_->setEnabled(true);
    // Frames are written whole; none should wait for the peer's acknowledgement of the last.
    const int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    target.fd_ = s;
    target.remoteAddr_ = peer;
    target.serial_ = nextSerial++;
    target.receiveBufferSet_ = receiveBufferSet_;
    if (!target.startWatching()) {
        target.Close();
        error_ = kNoBufferSpace;
        target.Reset(false);
        return kSocketError;
    }
    target.notify(SocketConnected);
    return kSocketOk;
}

int CStreamSocket::Send(Buffer&& buffer) {
    if (fd_ < 0 || listening_) return kSocketWrongState;
    try {
        sendList_.push_back(std::move(buffer));
        sendBytes_ += sendList_.back().size();
    } catch (const std::bad_alloc&) {
        return kSocketNoMemory;
    }
    // A send under way continues from the write notifier and takes this buffer along.
    if (sendPos_ == 0) postWrite();
    return kSocketOk;
}

std::optional<Buffer> CStreamSocket::Receive() {
    if (recvList_.empty()) return std::nullopt;
    Buffer b = std::move(recvList_.front());
    recvList_.pop_front();
    return b;
}

int CStreamSocket::GetPeerName(sockaddr_in& out) {
    if (listening_) return kSocketWrongState;
    socklen_t len = sizeof out;
    if (fd_ < 0 || getpeername(fd_, reinterpret_cast<sockaddr*>(&out), &len) != 0) {
        error_ = fd_ < 0 ? 10038 : lastSocketError();
        return kSocketError;
    }
    return kSocketOk;
}

void CStreamSocket::SetTimer(platform::TimerId id, std::int64_t ms) {
    try {
        if (window_ && fd_ >= 0) window_->setTimer(id, ms);
    } catch (const std::bad_alloc&) {
        // The timer does not run: the owner's time-out is lost, the socket is not.
    }
}

void CStreamSocket::KillTimer(platform::TimerId id) {
    if (window_) window_->killTimer(id);
}

bool CStreamSocket::TimerArmed(platform::TimerId id) const {
    return window_ && window_->timerArmed(id);
}

void CStreamSocket::onReadable() {
    if (!closedReported_) DoReceive();
    if (fd_ < 0) return;
    if (eof_ || hardError_ || closedReported_) {
        if (readNotifier_) readNotifier_->setEnabled(false);
        notifyClosedOnce();
    } else if (readNotifier_ && !readNotifier_->isEnabled()) {
        readNotifier_->setEnabled(true);
    }
}

void CStreamSocket::postWrite() {
    if (writePosted_ || !sendLater_) return;
    writePosted_ = true;
    if (NoteCourier* courier = NoteCourier::here()) {
        courier->sendSoon(sendLater_.get(), [this] { runDeferredSend(); });
        return;
    }
    sendLater_->start();
}

void CStreamSocket::runDeferredSend() {
    writePosted_ = false;
    if (!closedReported_) DoSend();
}

void CStreamSocket::EvSocketNotify(platform::WParam wParam, platform::LParam lParam) {
    const auto packed = static_cast<std::uint32_t>(lParam);
    const std::uint32_t event = packed & 0xFFFF;
    const int error = static_cast<int>(packed >> 16);
    if (fd_ < 0 || wParam != static_cast<platform::WParam>(fd_) || closedReported_) return;

    if (error != 0) {
        if (isTransientError(error)) {
            if (event == kFdWrite || event == kFdConnect) {
                updateWriteWatch();
            } else if (readNotifier_) {
                readNotifier_->setEnabled(true);
            }
            return;
        }
        error_ = error;
        if (listening_) {
            if (readNotifier_) readNotifier_->setEnabled(true);
            return;
        }
        if (error == WSAETIMEDOUT) {
            // A connect that timed out is reported by the connect timer; the socket stays
            // unwatched so it cannot spin. A connection that timed out reads as ended.
            if (!connectPending_ && readNotifier_) readNotifier_->setEnabled(true);
            return;
        }
        // Any other hard error leaves the socket unusable: treat it as the loss it is.
        connectPending_ = false;
        actAsClose();
        return;
    }

    switch (event) {
        case kFdRead:
            onReadable();
            return;
        case kFdWrite:
            DoSend();
            return;
        case kFdAccept:
            notify(SocketAcceptPending);
            return;
        case kFdConnect:
            connectPending_ = false;
            KillTimer(kConnectTimer);
            notify(SocketConnected);
            if (readNotifier_) readNotifier_->setEnabled(true);
            updateWriteWatch();
            return;
        case kFdClose:
            actAsClose();
            return;
        default:
            return;
    }
}

// Reads everything that is left, one buffer per round through the window, then reports
// the close.
void CStreamSocket::actAsClose() {
    if (!eof_ && !hardError_ && DoReceive()) {
        postSelf(kFdClose);
        return;
    }
    notifyClosedOnce();
}

void CStreamSocket::EvTimer(platform::TimerId id) {
    KillTimer(id);
    if (listening_ && id == kAcceptRetryTimer) {
        if (readNotifier_) readNotifier_->setEnabled(true);
        return;
    }
    notify(SocketTimeout);
}

std::size_t CStreamSocket::receiveBufferSize() const {
    if (receiveBufferSet_ < 500 || receiveBufferSet_ > 0x8000) return 1000;
    return static_cast<std::size_t>(receiveBufferSet_);
}

int CStreamSocket::DoReceive() {
    const std::size_t size = receiveBufferSize();
    // The full-size buffer stays between reads: filling a fresh one with zeros for every
    // 9-byte answer cost more than the read itself. What arrived is copied out of it.
    if (spare_.size() != size) {
        try {
            spare_.assign(size, 0);
        } catch (const std::bad_alloc&) {
            spare_ = Buffer();
            notify(SocketReceiveFailed);
            postSelf(kFdRead);
            return 0;
        }
    }
    const ssize_t n = ::recv(fd_, spare_.data(), size, MSG_DONTWAIT);
    if (n > 0) {
        const auto got = static_cast<std::size_t>(n);
        Buffer buffer;
        if (got < size / 2) {
            try {
                buffer.assign(spare_.begin(), spare_.begin() + n);
            } catch (const std::bad_alloc&) {
                buffer = Buffer();  // the full-size one goes instead
            }
        }
        if (buffer.empty()) {
            buffer = std::move(spare_);
            spare_ = Buffer();
            buffer.resize(got);
        }
        recvList_.push_back(std::move(buffer));
        notify(SocketDataReceived);
        return 1;
    }
    if (n == 0) {
        eof_ = true;
        return 0;
    }
    const int error = lastSocketError();
    if (isTransientError(error)) {
        error_ = 0;
        return 0;
    }
    error_ = error;
    hardError_ = true;
    // A lost connection is reported as closed, not as a failed read.
    if (!isConnectionLossError(error)) notify(SocketReceiveFailed);
    return 0;
}

void CStreamSocket::retireHead(bool sent) {
    Buffer& head = sendList_.front();
    sendBytes_ -= head.size() - sendPos_;
    if (sent) {
        notify(SocketDataSent, std::move(head));
        notify(SocketSendDone);
    } else {
        notify(SocketSendFailed, std::move(head));
    }
    sendList_.pop_front();
    sendPos_ = 0;
}

// Whatever is queued goes to the system in one call, as far as it takes it.
void CStreamSocket::DoSend() {
    if (sendList_.empty() || fd_ < 0) return;
    iovec parts[kMaxGather];
    std::size_t count = 0;
    std::size_t offered = 0;
    for (auto it = sendList_.begin(); it != sendList_.end() && count < kMaxGather; ++it) {
        const std::size_t skip = count == 0 ? sendPos_ : 0;
        parts[count].iov_base = it->data() + skip;
        parts[count].iov_len = it->size() - skip;
        offered += parts[count].iov_len;
        ++count;
    }
    ssize_t n = 0;
    if (count == 1 && offered > 0) {
        // The usual case, a frame answering the peer's last answer: no message header.
        n = ::send(fd_, parts[0].iov_base, parts[0].iov_len, MSG_DONTWAIT | MSG_NOSIGNAL);
    } else if (offered > 0) {
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = count;
        n = ::sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    if (n < 0) {
        const int error = lastSocketError();
        if (isTransientError(error)) {
            error_ = 0;
            // Wait for the socket to drain; the write notifier continues.
            if (writeNotifier_) writeNotifier_->setEnabled(true);
            return;
        }
        error_ = error;
        retireHead(false);
    } else {
        std::size_t left = static_cast<std::size_t>(n);
        while (!sendList_.empty()) {
            const std::size_t rest = sendList_.front().size() - sendPos_;
            if (rest > left) {
                sendPos_ += left;
                sendBytes_ -= left;
                break;
            }
            left -= rest;
            retireHead(true);
        }
        if (static_cast<std::size_t>(n) < offered) {
            if (writeNotifier_) writeNotifier_->setEnabled(true);
            return;
        }
    }
    updateWriteWatch();
    if (!sendList_.empty()) postWrite();
}

}  // namespace orvelin::link
