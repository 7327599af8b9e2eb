#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>

#include "link/stream_socket.h"
#include "link_test_support.h"
#include "platform/clock.h"
#include "platform/message_box.h"

namespace {

using namespace orvelin::link;
using link_test::Buffer;
using link_test::Peer;
using link_test::settle;
using link_test::waitFor;

constexpr platform::MessageId kListenMsg = platform::WM_APP + 40;
constexpr platform::MessageId kDataMsg = platform::WM_APP + 41;

struct Note {
    platform::MessageId message;
    platform::WParam code;
    platform::LParam socket;
    std::uint64_t serial;
    Buffer buffer;
};

// Records every notification; an optional hook runs on each one first.
class Recorder : public platform::AppWindow {
  public:
    using platform::AppWindow::AppWindow;
    ~Recorder() override { closeWindow(); }

    std::vector<Note> notes;
    std::function<void(const platform::AppMessage&)> hook;

    std::size_t count(platform::WParam code) const {
        return static_cast<std::size_t>(std::count_if(
            notes.begin(), notes.end(), [&](const Note& n) { return n.code == code; }));
    }
    bool waitCount(platform::WParam code, std::size_t n) {
        return waitFor([&] { return count(code) >= n; });
    }
    Buffer receivedBytes(CStreamSocket& s) {
        Buffer all;
        while (auto b = s.Receive()) all.insert(all.end(), b->begin(), b->end());
        return all;
    }

  protected:
    platform::LResult dispatch(platform::AppMessage& m) override {
        if (m.id != kListenMsg && m.id != kDataMsg) return defaultMessage(m);
        if (hook) hook(m);
        Note n{m.id, m.wParam, m.lParam, 0, {}};
        if (auto note = m.take<SocketNote>()) {
            n.serial = note->serial;
            n.buffer = std::move(note->buffer);
        }
        notes.push_back(std::move(n));
        return 0;
    }
};

class StreamSocketTest : public testing::Test {
  protected:
    void SetUp() override {
        platform::setMessageBoxMode(platform::BoxMode::Headless);
        platform::setMessageLogSink([](const std::string&) {});
        ASSERT_EQ(listener.Create("0"), kSocketOk);
        port = listener.LocalPort();
        ASSERT_NE(port, 0);
    }
    void TearDown() override {
        if (accepted) accepted->Close();
        listener.Close();
    }

    // Connects a peer and accepts it into `accepted`.
    void acceptPeer(Peer& peer) {
        ASSERT_TRUE(peer.connected());
        ASSERT_TRUE(recorder.waitCount(SocketAcceptPending, 1));
        accepted = std::make_unique<CStreamSocket>(recorder.ref(), kDataMsg, &clock);
        ASSERT_EQ(listener.Accept(*accepted), kSocketOk);
        ASSERT_TRUE(recorder.waitCount(SocketConnected, 1));
    }

    platform::ManualClock clock;
    Recorder recorder{&clock};
    CStreamSocket listener{recorder.ref(), kListenMsg, &clock};
    std::unique_ptr<CStreamSocket> accepted;
    std::uint16_t port = 0;
};

TEST(WinSockErrorTest, TextsAndContextRule) {
    EXPECT_EQ(ReportWinSockError(10054, "SO_RCVBUF", true),
              "WinSock error 10054: Connection reset by peer\nSO_RCVBUF");
    EXPECT_EQ(ReportWinSockError(11004, "", true),
              "WinSock error 11004: Valid name, no data record of requested type\n");
    EXPECT_EQ(ReportWinSockError(12345, "context", true), "Not a WinSock error\ncontext");
    // The context goes only while the whole stays below 1000 characters.
    const std::string longContext(990, 'x');
    EXPECT_EQ(ReportWinSockError(10035, longContext, true), "WinSock error 10035: Operation would block\n");
    EXPECT_EQ(ReportWinSockError(12345, longContext, true), "Not a WinSock error\n");
    EXPECT_EQ(ReportWinSockError(12345, std::string(979, 'y'), true).size(), 999u);

    EXPECT_EQ(wsaErrorFromErrno(ECONNRESET), WSAECONNRESET);
    EXPECT_EQ(wsaErrorFromErrno(EAGAIN), WSAEWOULDBLOCK);
    EXPECT_EQ(wsaErrorFromErrno(EADDRINUSE), WSAEADDRINUSE);
    EXPECT_TRUE(isConnectionLossError(10054));
    EXPECT_TRUE(isConnectionLossError(11003));
    EXPECT_FALSE(isConnectionLossError(10060));
    EXPECT_TRUE(isTransientError(10035));
    EXPECT_FALSE(isTransientError(10054));

    CWinSock winsock;
    EXPECT_EQ(winsock.Startup(), 0);
    WsaData data;
    winsock.GetWSAData(data);
    EXPECT_EQ(data.version, 0x0101);
    EXPECT_EQ(winsock.Cleanup(), 0);
    CWinSock newer(0x0202);
    EXPECT_EQ(newer.Startup(), 2);
}

TEST_F(StreamSocketTest, CreateRulesAndRefusedFamily) {
    EXPECT_TRUE(listener.listening());
    const int fd = listener.fd();
    EXPECT_EQ(listener.Create("0"), kSocketWrongState);  // already has a socket
    EXPECT_EQ(listener.fd(), fd);
    EXPECT_EQ(listener.LocalPort(), port);

    CStreamSocket other(recorder.ref(), kListenMsg, &clock);
    EXPECT_EQ(other.CreateOnPort(0), kSocketWrongState);
    EXPECT_EQ(other.CreateOnPort(-5), kSocketWrongState);
    EXPECT_EQ(other.Create("ORVELIN", kFamilyNetBios), kSocketError);
    EXPECT_EQ(other.error(), WSAEAFNOSUPPORT);
    EXPECT_FALSE(other.live());
    EXPECT_EQ(other.Create("no-such-service-here"), kSocketError);
    EXPECT_EQ(other.error(), WSANO_DATA);
    // The port is taken by the listener (both ask for address reuse, only one listens).
    EXPECT_EQ(other.CreateOnPort(port), kSocketError);
    EXPECT_EQ(other.error(), WSAEADDRINUSE);
    EXPECT_EQ(other.Close(), kSocketWrongState);
    EXPECT_EQ(other.Send(Buffer{1, 2}), kSocketWrongState);
}

TEST_F(StreamSocketTest, EveryFamilyButNetBiosGivesATcpSocket) {
    for (const int family : {kFamilyInet, 23, 0, -1}) {
        SCOPED_TRACE(family);
        CStreamSocket other(recorder.ref(), kListenMsg, &clock);
        ASSERT_EQ(other.Create("0", family), kSocketOk);
        int type = 0;
        socklen_t len = sizeof type;
        ASSERT_EQ(getsockopt(other.fd(), SOL_SOCKET, SO_TYPE, &type, &len), 0);
        EXPECT_EQ(type, SOCK_STREAM);
        sockaddr_in a{};
        len = sizeof a;
        ASSERT_EQ(getsockname(other.fd(), reinterpret_cast<sockaddr*>(&a), &len), 0);
        EXPECT_EQ(a.sin_family, AF_INET);
        EXPECT_NE(other.LocalPort(), 0);
        other.Close();
    }
}

// A send the system refuses hands the buffer back as failed; the socket stays.
TEST_F(StreamSocketTest, RefusedSendComesBackAsFailed) {
    Peer peer(port);
    acceptPeer(peer);
    ASSERT_EQ(::shutdown(accepted->fd(), SHUT_WR), 0);
    ASSERT_EQ(accepted->Send(Buffer{7, 7}), kSocketOk);
    ASSERT_TRUE(recorder.waitCount(SocketSendFailed, 1));
    settle();
    EXPECT_EQ(recorder.count(SocketDataSent), 0u);
    const auto failed = std::find_if(recorder.notes.begin(), recorder.notes.end(),
                                     [](const Note& n) { return n.code == SocketSendFailed; });
    ASSERT_NE(failed, recorder.notes.end());
    EXPECT_EQ(failed->buffer, Buffer({7, 7}));
    EXPECT_EQ(accepted->sendQueueLength(), 0u);
    EXPECT_TRUE(accepted->live());
}

TEST(StreamSocketDeathTest, ParentAndMessageAreRequired) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    platform::ManualClock clock;
    Recorder recorder{&clock};
    EXPECT_DEATH(CStreamSocket(platform::WindowRef{}, kDataMsg, &clock), "parent window");
    EXPECT_DEATH(CStreamSocket(recorder.ref(), 0, &clock), "message other than 0");
}

// An error reported with an event: a time-out is ignored, a reset closes.
TEST_F(StreamSocketTest, EventErrorsByKind) {
    const struct {
        int error;
        bool closes;
    } cases[] = {{10060, false}, {10054, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        Peer peer(port);
        recorder.notes.clear();
        acceptPeer(peer);
        const auto packed = static_cast<std::uint32_t>(kFdRead) |
                            (static_cast<std::uint32_t>(c.error) << 16);
        accepted->windowRef().post(WM_SOCKET_NOTIFY, static_cast<platform::WParam>(accepted->fd()),
                                   static_cast<platform::LParam>(packed));
        if (c.closes) {
            ASSERT_TRUE(recorder.waitCount(SocketClosed, 1));
        } else {
            settle();
            EXPECT_EQ(recorder.count(SocketClosed), 0u);
            // Still served: data still arrives.
            peer.send("ok");
            ASSERT_TRUE(recorder.waitCount(SocketDataReceived, 1));
            EXPECT_EQ(recorder.receivedBytes(*accepted), Buffer({'o', 'k'}));
        }
        accepted->Close();
        accepted.reset();
    }
}

TEST_F(StreamSocketTest, DataThenCloseDeliversEveryByteBeforeClosed) {
    Peer peer(port);
    acceptPeer(peer);
    Buffer sent(200000);
    std::iota(sent.begin(), sent.end(), 0);
    peer.send(sent);
    peer.closeNow();
    ASSERT_TRUE(recorder.waitCount(SocketClosed, 1));
    settle();
    EXPECT_EQ(recorder.count(SocketClosed), 1u);

    // Every data notification came before the close, and together they carry every byte.
    std::size_t dataNotes = 0;
    bool closedSeen = false;
    for (const Note& n : recorder.notes) {
        if (n.message != kDataMsg) continue;
        if (n.code == SocketClosed) closedSeen = true;
        if (n.code == SocketDataReceived) {
            EXPECT_FALSE(closedSeen);
            ++dataNotes;
        }
    }
    EXPECT_EQ(dataNotes, accepted->receiveQueueLength());
    // Reads are sized from the receive buffer asked for (0x7FFF), not from the doubled
    // value the kernel reports back, nor from the 1000-byte fallback.
    Buffer all;
    std::size_t largest = 0;
    while (auto b = accepted->Receive()) {
        largest = std::max(largest, b->size());
        all.insert(all.end(), b->begin(), b->end());
    }
    EXPECT_EQ(all, sent);
    EXPECT_GT(largest, 1000u);
    EXPECT_LE(largest, 0x7FFFu);
}

TEST_F(StreamSocketTest, ResetByPeerReportsClosed) {
    Peer peer(port);
    acceptPeer(peer);
    peer.reset();
    ASSERT_TRUE(recorder.waitCount(SocketClosed, 1));
    settle();
    EXPECT_EQ(recorder.count(SocketClosed), 1u);
}

TEST_F(StreamSocketTest, LargeSendContinuesAndComesBackOnce) {
    Peer peer(port);
    acceptPeer(peer);
    Peer second(port);
    std::unique_ptr<CStreamSocket> other;
    ASSERT_TRUE(recorder.waitCount(SocketAcceptPending, 2));
    other = std::make_unique<CStreamSocket>(recorder.ref(), kDataMsg, &clock);
    ASSERT_EQ(listener.Accept(*other), kSocketOk);

    // Far more than the socket buffers hold: the send goes out in parts.
    Buffer big(1024 * 1024);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const Buffer copy = big;
    ASSERT_EQ(accepted->Send(std::move(big)), kSocketOk);
    ASSERT_EQ(other->Send(Buffer{'o', 'k'}), kSocketOk);

    EXPECT_EQ(second.read(2), (Buffer{'o', 'k'}));
    EXPECT_EQ(peer.read(copy.size()), copy);
    ASSERT_TRUE(recorder.waitCount(SocketDataSent, 2));
    settle();
    EXPECT_EQ(recorder.count(SocketDataSent), 2u);
    EXPECT_EQ(recorder.count(SocketSendDone), 2u);
    EXPECT_EQ(recorder.count(SocketSendFailed), 0u);
    // Nothing left to send: neither socket keeps waking the loop for writability.
    EXPECT_FALSE(accepted->watchingWrites());
    EXPECT_FALSE(other->watchingWrites());
    for (const Note& n : recorder.notes) {
        if (n.code != SocketDataSent) continue;
        if (n.socket == reinterpret_cast<platform::LParam>(accepted.get())) {
            EXPECT_EQ(n.buffer, copy);
        } else {
            EXPECT_EQ(n.buffer, (Buffer{'o', 'k'}));
        }
    }
    other->Close();
}

// Owners answer from inside their notification handlers: what they queue there leaves in
// order, also while they wait for it in a nested event loop, or comes back when they close,
// and nothing is sent for a socket deleted before its send was due.
TEST_F(StreamSocketTest, AnswersQueuedInsideANotification) {
    enum class Then { Nothing, WaitsForTheSend, Closes, Deletes };
    struct Case {
        const char* name;
        Then then;
        Buffer peerGets;  // all the peer reads before the stream ends or goes quiet
        std::size_t sentNotes;
        std::size_t failedNotes;
    };
    const Case cases[] = {
        {"both answers leave in order", Then::Nothing, {1, 2, 2}, 2, 0},
        {"owner waits in a nested loop", Then::WaitsForTheSend, {1, 2, 2}, 2, 0},
        {"owner closes after answering", Then::Closes, {}, 0, 2},
        {"owner deletes after answering", Then::Deletes, {}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        recorder.notes.clear();
        Peer peer(port);
        acceptPeer(peer);
        bool answered = false;
        bool sentWhileWaiting = false;
        recorder.hook = [&](const platform::AppMessage& m) {
            if (answered || m.wParam != SocketDataReceived || !accepted || !accepted->owns(m)) {
                return;
            }
            answered = true;
            accepted->Send(Buffer{1});
            accepted->Send(Buffer{2, 2});
            if (c.then == Then::WaitsForTheSend) {
                sentWhileWaiting = recorder.waitCount(SocketDataSent, 2);
            } else if (c.then == Then::Closes) {
                accepted->Close();
            } else if (c.then == Then::Deletes) {
                accepted.reset();
            }
        };
        peer.send(Buffer{9});
        ASSERT_TRUE(waitFor([&] { return answered; }));
        if (c.peerGets.empty()) {
            EXPECT_TRUE(peer.waitClosed());
            EXPECT_EQ(peer.pending(), 0u);
        } else {
            EXPECT_EQ(peer.read(c.peerGets.size()), c.peerGets);
        }
        settle();
        recorder.hook = nullptr;
        EXPECT_EQ(recorder.count(SocketDataSent), c.sentNotes);
        EXPECT_EQ(recorder.count(SocketSendFailed), c.failedNotes);
        EXPECT_EQ(sentWhileWaiting, c.then == Then::WaitsForTheSend);
        std::vector<Buffer> back;
        for (const Note& n : recorder.notes) {
            if (n.code == SocketDataSent || n.code == SocketSendFailed) back.push_back(n.buffer);
        }
        const std::vector<Buffer> none;
        const std::vector<Buffer> both{{1}, {2, 2}};
        EXPECT_EQ(back, c.sentNotes + c.failedNotes > 0 ? both : none);
    }
}

TEST_F(StreamSocketTest, CloseReturnsQueuedBuffersOldestFirst) {
    Peer peer(port);
    acceptPeer(peer);
    const std::uint64_t serial = accepted->serial();
    ASSERT_EQ(accepted->Send(Buffer{1}), kSocketOk);
    ASSERT_EQ(accepted->Send(Buffer{2, 2}), kSocketOk);
    ASSERT_EQ(accepted->Send(Buffer{3, 3, 3}), kSocketOk);
    ASSERT_EQ(accepted->Close(), kSocketOk);
    EXPECT_FALSE(accepted->live());
    EXPECT_EQ(accepted->Close(), kSocketWrongState);
    ASSERT_TRUE(recorder.waitCount(SocketSendFailed, 3));
    settle();
    std::vector<Buffer> back;
    for (const Note& n : recorder.notes) {
        if (n.code == SocketSendFailed) {
            back.push_back(n.buffer);
            EXPECT_EQ(n.serial, serial);
        }
        EXPECT_NE(n.code, SocketDataSent);
    }
    EXPECT_EQ(back, (std::vector<Buffer>{{1}, {2, 2}, {3, 3, 3}}));
    // Nothing was sent after the close: the peer sees the end of the stream only.
    EXPECT_TRUE(peer.waitClosed());
    EXPECT_EQ(peer.pending(), 0u);
}

TEST_F(StreamSocketTest, DestroyingALiveSocketClosesItQuietly) {
    Peer peer(port);
    acceptPeer(peer);
    ASSERT_EQ(accepted->Send(Buffer{1, 2, 3}), kSocketOk);
    recorder.notes.clear();
    accepted.reset();
    EXPECT_TRUE(peer.waitClosed());
    settle();
    EXPECT_TRUE(recorder.notes.empty());
}

TEST_F(StreamSocketTest, OwnerMayCloseAndDeleteFromItsNotification) {
    Peer peer(port);
    acceptPeer(peer);
    CStreamSocket* live = accepted.get();
    const std::uint64_t liveSerial = accepted->serial();
    int handled = 0;
    // Several notifications of this socket are queued when the owner deletes it on the
    // first; the later ones must be recognised as stale without touching the socket.
    recorder.hook = [&](const platform::AppMessage& m) {
        if (m.id != kDataMsg || m.wParam != SocketDataReceived) return;
        const SocketNote* note = m.peek<SocketNote>();
        if (live == nullptr || m.lParam != reinterpret_cast<platform::LParam>(live) ||
            !note || note->serial != liveSerial) {
            return;
        }
        ++handled;
        accepted->Close();
        accepted.reset();
        live = nullptr;
    };
    for (int i = 0; i < 50; ++i) peer.send(Buffer(3000, static_cast<std::uint8_t>(i)));
    ASSERT_TRUE(waitFor([&] { return handled == 1; }));
    peer.send(Buffer(100, 9));
    settle();
    EXPECT_EQ(handled, 1);
    EXPECT_TRUE(peer.waitClosed());
}

TEST_F(StreamSocketTest, TimerOnManualClockReportsTimeout) {
    Peer peer(port);
    acceptPeer(peer);
    accepted->SetTimer(1, 10000);
    EXPECT_TRUE(accepted->TimerArmed(1));
    clock.advance(9999);
    settle();
    EXPECT_EQ(recorder.count(SocketTimeout), 0u);
    clock.advance(1);
    ASSERT_TRUE(recorder.waitCount(SocketTimeout, 1));
    EXPECT_FALSE(accepted->TimerArmed(1));  // one shot: killed when it fired
    clock.advance(20000);
    settle();
    EXPECT_EQ(recorder.count(SocketTimeout), 1u);
}

TEST_F(StreamSocketTest, RestartOnSamePortWhileOldConnectionWaits) {
    {
        Peer peer(port);
        acceptPeer(peer);
        ASSERT_EQ(accepted->Send(Buffer{'x'}), kSocketOk);
        EXPECT_EQ(peer.read(1), Buffer{'x'});
        // The server side closes first, so its end of the connection lingers in TIME_WAIT.
        accepted->Close();
        EXPECT_TRUE(peer.waitClosed());
    }
    listener.Close();
    CStreamSocket again(recorder.ref(), kListenMsg, &clock);
    ASSERT_EQ(again.CreateOnPort(port), kSocketOk) << again.error();
    EXPECT_EQ(again.LocalPort(), port);
    again.Close();
}

TEST_F(StreamSocketTest, ConnectBothWaysAndRefusedConnect) {
    CStreamSocket client(recorder.ref(), kDataMsg, &clock);
    ASSERT_EQ(client.Create(nullptr), kSocketOk);
    ASSERT_EQ(client.ConnectPort("127.0.0.1", port), kSocketOk);
    EXPECT_TRUE(client.TimerArmed(1));
    ASSERT_TRUE(recorder.waitCount(SocketAcceptPending, 1));
    accepted = std::make_unique<CStreamSocket>(recorder.ref(), kDataMsg, &clock);
    ASSERT_EQ(listener.Accept(*accepted), kSocketOk);
    ASSERT_TRUE(recorder.waitCount(SocketConnected, 2));
    EXPECT_FALSE(client.TimerArmed(1));  // the connect time-out stops on completion

    sockaddr_in peerAddress{};
    ASSERT_EQ(accepted->GetPeerName(peerAddress), kSocketOk);
    EXPECT_EQ(ntohl(peerAddress.sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_EQ(listener.GetPeerName(peerAddress), kSocketWrongState);

    ASSERT_EQ(client.Send(Buffer{'p', 'i', 'n', 'g'}), kSocketOk);
    ASSERT_TRUE(recorder.waitCount(SocketDataReceived, 1));
    EXPECT_EQ(recorder.receivedBytes(*accepted), (Buffer{'p', 'i', 'n', 'g'}));
    client.Close();
    ASSERT_TRUE(recorder.waitCount(SocketClosed, 1));

    // Nobody listens on the old port any more: the connect fails as a closed connection.
    listener.Close();
    recorder.notes.clear();
    CStreamSocket refused(recorder.ref(), kDataMsg, &clock);
    ASSERT_EQ(refused.Create(nullptr), kSocketOk);
    ASSERT_EQ(refused.ConnectPort("127.0.0.1", port), kSocketOk);
    ASSERT_TRUE(recorder.waitCount(SocketClosed, 1));
    EXPECT_EQ(recorder.count(SocketConnected), 0u);
    refused.Close();
}

}  // namespace
