// Non-blocking stream sockets whose events arrive as app messages on the window thread.
//
// A CStreamSocket owns one descriptor and a small hidden window of its own. A
// QSocketNotifier watches the descriptor. Reads and sends run in the notifier's callback
// (they only post to the owner, so no owner code ever runs there and a socket closed or
// deleted by its owner never runs on in a callback); accepts and connects switch the
// notifier off and post WM_SOCKET_NOTIFY to the socket window, which handles them. Send
// is deferred to the next turn of the event loop (or to the end of the turn that handed
// the owner the notification it answers), one pending send at a time, so buffers queued
// together leave in one call. Results reach the owner as notifications (StreamSocketEvent)
// with the socket's message number, delivered asynchronously and in the order they were
// raised: on the application's thread by the note courier (note_courier.h), which costs
// the event loop no wake-up, elsewhere as posted messages.
//
// Notification message: wParam = StreamSocketEvent code, lParam = the CStreamSocket,
// record = SocketNote. The note names the socket's life (serial) so an owner can tell a
// notification that was posted before the socket closed from a current one, and for
// SocketDataSent/SocketSendFailed it carries the buffer back; the buffer is freed with
// the message unless the owner takes it.
//
// Invariants:
//  1. A socket is idle (fd -1, no window, serial 0) or live (fd, window, notifiers,
//     serial != 0). Create/Accept make it live; Close or a failed Create/Accept make it idle.
//  2. The notifiers are destroyed before the descriptor is closed.
//  3. The write notifier is on only while a send in parts or a connect is pending; the
//     read notifier of a listening socket is off from its firing until the accept.
//  4. A buffer handed to Send comes back exactly once, with SocketDataSent, or with
//     SocketSendFailed from a send error or from Close.
//  5. SocketClosed is posted at most once per live period.
//
// Errors are kept as the classic socket-library numbers (10035 "would block" and so on),
// mapped from errno, because the texts and the close rules are written against them.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/app_window.h"

class QSocketNotifier;
class QTimer;

namespace orvelin::link {

using Buffer = std::vector<std::uint8_t>;

// The socket window's own message: wParam the descriptor, lParam the event bits in the
// low word and the error in the high word.
inline constexpr platform::MessageId WM_SOCKET_NOTIFY = 0x0400 + 1;

// Event bits of WM_SOCKET_NOTIFY.
inline constexpr std::uint32_t kFdRead = 1;
inline constexpr std::uint32_t kFdWrite = 2;
inline constexpr std::uint32_t kFdAccept = 8;
inline constexpr std::uint32_t kFdConnect = 16;
inline constexpr std::uint32_t kFdClose = 32;
inline constexpr std::uint32_t kListenEvents = kFdRead | kFdWrite | kFdAccept | kFdClose;    // 43
inline constexpr std::uint32_t kConnectEvents = kFdRead | kFdWrite | kFdConnect | kFdClose;  // 51

enum StreamSocketEvent : platform::WParam {
    SocketDataSent = 1,
    SocketSendFailed = 2,
    SocketDataReceived = 3,
    SocketReceiveFailed = 4,
    SocketAcceptPending = 5,
    SocketConnected = 6,
    SocketClosed = 7,
    SocketTimeout = 8,
    SocketSendDone = 9,
};

// Results of the socket operations.
inline constexpr int kSocketOk = 0;
inline constexpr int kSocketNoMemory = 1;
inline constexpr int kSocketError = 2;
inline constexpr int kSocketWrongState = 3;

inline constexpr int kFamilyInet = 2;
inline constexpr int kFamilyNetBios = 17;  // refused on this platform (10047); any other: TCP

// Socket-library error numbers used by the close rules and the tests.
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSANO_DATA = 11004;

// The socket-library number for an errno value (10000 + the classic offset).
int wsaErrorFromErrno(int err);
// Errors that mean the connection is gone: the socket reads what is left, then reports
// SocketClosed.
bool isConnectionLossError(int wsaError);
// Errors that say "try again later" and change nothing.
bool isTransientError(int wsaError);
// Errors that say the process ran out of descriptors or memory.
bool isResourceError(int wsaError);

// The call that takes a waiting connection, accept4 unless replaced. Tests replace it to
// run out of descriptors without the whole process running out. nullptr restores it.
using AcceptFunction = int (*)(int fd, sockaddr* address, socklen_t* length, int flags);
void setAcceptFunction(AcceptFunction function);

// Timer of a listening socket's window: an accept that ran out of descriptors or memory
// waits for it before the next try (the connection stays queued meanwhile).
inline constexpr platform::TimerId kAcceptRetryTimer = 2;
inline constexpr std::int64_t kAcceptRetryFirstMs = 100;
inline constexpr std::int64_t kAcceptRetryMaxMs = 2000;

// "WinSock error %d: <text>\n<context>"; "Not a WinSock error\n<context>" for an
// unknown number. The context is appended only while the whole stays below 1000
// characters. Unless quiet, the text is also shown in a box that does not block.
std::string ReportWinSockError(int error, std::string_view context, bool quiet);

// Start and stop of the socket library. POSIX sockets need neither; the class keeps the
// version handshake so callers stay unchanged.
struct WsaData {
    std::uint16_t version = 0;
    std::uint16_t highVersion = 0;
    std::string description;
};

class CWinSock {
  public:
    explicit CWinSock(std::uint16_t version = 0x0101) : version_(version) {}
    int Startup();
    int Cleanup();
    void GetWSAData(WsaData& out) const { out = data_; }
    int lastError() const { return error_; }

  private:
    std::uint16_t version_;
    int error_ = 0;
    WsaData data_;
};

// Every notification carries one of these.
struct SocketNote : platform::MessageRecord {
    std::uint64_t serial = 0;
    Buffer buffer;  // SocketDataSent / SocketSendFailed only
};

class CStreamSocket {
  public:
    // parent receives the notifications with message `message`; both are required (a
    // missing parent or message 0 ends the process). clock runs the socket window's
    // timers; defaultClock() when null. No operation throws.
    CStreamSocket(platform::WindowRef parent, platform::MessageId message,
                  platform::Clock* clock = nullptr);
    // Does not notify; a live socket is closed quietly (queued buffers are dropped).
    virtual ~CStreamSocket();
    CStreamSocket(const CStreamSocket&) = delete;
    CStreamSocket& operator=(const CStreamSocket&) = delete;

    void Reset(bool clearError);

    // name: a decimal port or a "tcp" service name for a listening socket (port 0
    // takes a free port); null for a socket that will connect. 0, 2 or 3.
    int Create(const char* name, int family = kFamilyInet);
    // 3 for a port outside 1..65535.
    int CreateOnPort(int port);
    // Returns every queued buffer with SocketSendFailed, closes, goes idle. 3 when idle.
    int Close();

    int Connect(std::string_view host, std::string_view port);
    int ConnectPort(std::string_view host, int port);
    int ConnectAddress(const sockaddr_in& address);

    // Accepts the waiting connection into `target` (which must be idle) and posts
    // SocketConnected to target's parent. When descriptors or memory ran out, the
    // listening socket stops watching for connections until kAcceptRetryTimer fires,
    // each time waiting twice as long up to kAcceptRetryMaxMs.
    int Accept(CStreamSocket& target);
    // The same back-off, with `error` as the socket's error, for a connection that cannot
    // be taken for a reason found outside the socket (no memory for its peer).
    void DeferAccept(int error);

    // Queues the buffer; the socket owns it from a 0 result on. 1 (buffer untouched)
    // when it cannot be queued; 3 when the socket is idle.
    int Send(Buffer&& buffer);
    // The oldest received buffer, or nullopt.
    std::optional<Buffer> Receive();

    int GetPeerName(sockaddr_in& out);

    // Timers of the socket window (WM_TIMER -> SocketTimeout). Ignored while idle.
    void SetTimer(platform::TimerId id, std::int64_t ms);
    void KillTimer(platform::TimerId id);
    bool TimerArmed(platform::TimerId id) const;

    bool live() const { return fd_ >= 0; }
    bool listening() const { return listening_; }
    int error() const { return error_; }
    int fd() const { return fd_; }
    std::uint64_t serial() const { return serial_; }
    int timeout() const { return timeoutMs_; }
    // Port the socket is bound to; 0 when idle.
    std::uint16_t LocalPort() const;
    std::size_t sendQueueLength() const { return sendList_.size(); }
    // Bytes handed to Send and not yet taken by the system.
    std::size_t sendQueueBytes() const { return sendBytes_; }
    std::size_t receiveQueueLength() const { return recvList_.size(); }
    // Whether the socket waits to become writable (a send in parts, or a connect).
    bool watchingWrites() const;
    // Whether the socket waits for data or, listening, for connections.
    bool watchingReads() const;

    // The socket's own window (empty while idle): WM_SOCKET_NOTIFY posted there is
    // handled as an event of the socket.
    platform::WindowRef windowRef() const;
    // True when the message is a notification of this socket's current life.
    bool owns(const platform::AppMessage& message) const;

  private:
    class Window;
    friend class Window;

    bool openWindow();
    void destroyWindow();
    // False, with nothing watched, when the notifiers cannot be made.
    bool startWatching();
    void watch();
    void stopWatching();
    void updateWriteWatch();
    void onNotifier(bool readSide);
    void postSelf(std::uint32_t event, int error = 0);
    void notify(StreamSocketEvent code, Buffer buffer = {});
    void notifyClosedOnce();
    void closeDescriptor();

    void EvSocketNotify(platform::WParam wParam, platform::LParam lParam);
    void EvTimer(platform::TimerId id);
    int DoReceive();
    void DoSend();
    void retireHead(bool sent);
    void onReadable();
    void postWrite();
    void runDeferredSend();
    void actAsClose();
    std::size_t receiveBufferSize() const;

    platform::WindowRef parent_;
    platform::MessageId message_;
    platform::Clock* clock_;

    int fd_ = -1;
    sockaddr_in localAddr_{};
    sockaddr_in remoteAddr_{};
    int error_ = 0;
    bool listening_ = false;
    std::deque<Buffer> sendList_;
    std::deque<Buffer> recvList_;
    Buffer spare_;  // read into, then copied from; kept while the socket is live
    int timeoutMs_ = 5000;

    std::size_t sendPos_ = 0;  // bytes of the head buffer already sent
    std::size_t sendBytes_ = 0;
    bool writePosted_ = false;  // sendLater_ is armed
    std::int64_t acceptRetryMs_ = kAcceptRetryFirstMs;
    int receiveBufferSet_ = 0;
    bool connectPending_ = false;
    bool eof_ = false;
    bool hardError_ = false;
    bool closedReported_ = false;
    std::uint64_t serial_ = 0;

    std::unique_ptr<Window> window_;
    std::unique_ptr<QSocketNotifier> readNotifier_;
    std::unique_ptr<QSocketNotifier> writeNotifier_;
    std::unique_ptr<QTimer> sendLater_;  // runs the deferred send on the next loop turn
};

}  // namespace orvelin::link
