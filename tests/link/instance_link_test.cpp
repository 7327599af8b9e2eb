// The instance-link server against real loopback peers on the Qt event loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <functional>
#include <thread>

#include "capi/capi_log.h"
#include "link/instance_link.h"
#include "link/link_log.h"
#include "link_test_support.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "tests/support/numbered.h"

namespace {

using namespace orvelin::link;
using orvelin::client::CallRing;
using orvelin::client::TCallRecord;
using link_test::Buffer;
using link_test::Peer;
using link_test::settle;
using link_test::waitFor;

constexpr std::uint32_t kNow = 0x5F5E1000;

// The greeting as the protocol fixes it: the text, then its zero byte.
const Buffer kWireGreeting = [] {
    const std::string text = "Hello from Orvelin 2.3.0.15\r\n";
    Buffer b(text.begin(), text.end());
    b.push_back(0);
    return b;
}();

// The level of each text handed to the link's log.
struct LevelRule {
    const char* text;
    int level;
    bool start = false;  // the start of texts that go on with an address
};
constexpr LevelRule kLevels[] = {
    {"Data sent", 3},
    {"Done reading on data port", 3},
    {"Error sending data", 0},
    {"Bad message length received", 0},
    {"Bad message signature received", 0},
    {"Bad message type received", 0},
    {"Error reading on data port", 1},
    {"Allready 10 clients connected. Connection refused.", 1},
    {"Unknown message on data port", 1},
    {"Connect attempt from", 2, true},
    {"Connected to client", 2, true},
    {"Connection destroyed", 2},
    {"Client closed connection", 2},
    {"Server closed connection after timeout", 2},
    {"Message MSG_TRAFFIC_ACCEPT received", 9},
    {"Message MSG_TRAFFIC_DENIED received", 9},
};

const LevelRule* levelRule(const std::string& text) {
    for (const LevelRule& r : kLevels) {
        if (r.start ? text.starts_with(r.text) : text == r.text) return &r;
    }
    return nullptr;
}

Buffer frame(std::uint8_t type) {
    return NewNetMessage(type, 0, kNow);
}

Buffer concat(Buffer a, const Buffer& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class LinkTest : public testing::Test {
  protected:
    void SetUp() override {
        platform::setMessageBoxMode(platform::BoxMode::Headless);
        platform::setMessageLogSink([](const std::string&) {});
        LinkConfig config = loggedConfig();
        config.showText = [this](const std::string& text, std::function<void()> closed) {
            shown.push_back(text);
            closeBox.push_back(std::move(closed));
        };
        config.now = [] { return kNow; };
        config.clock = &clock;
        server = std::make_unique<InstanceLinkServer>(std::move(config));
        ASSERT_EQ(server->Listen("0"), kSocketOk);
        port = server->port();
        for (std::uint32_t i = 1; i <= 3; ++i) putRecord(i, 100 + i);
    }
    // The fixture's ring, profile folder and log; no text box.
    LinkConfig loggedConfig() {
        LinkConfig config;
        config.ring = &ring;
        config.profileDirectories = {dir.str()};
        config.log = [this](int level, const std::string& text) {
            logs.push_back(text);
            levels.emplace_back(level, text);
        };
        return config;
    }
    void TearDown() override {
        server.reset();
        // Whatever a test drove, each text came with its level.
        for (const auto& [level, text] : levels) {
            if (const LevelRule* rule = levelRule(text)) {
                EXPECT_EQ(level, rule->level) << text;
            }
        }
    }

    void putRecord(std::uint32_t index, std::uint32_t id) {
        TCallRecord r;
        r.id = id;
        r.arrivalSeconds = 3887532309u + id;
        r.state = 3;
        r.callerNumber.assign(orvelin::test::Numbered("0", id));
        r.callerName.assign("Caller \xC3\xA9");
        r.comment.assign("c");
        ring.at(index) = r;
    }

    std::unique_ptr<Peer> admittedPeer(int receiveBuffer = 0) {
        auto peer = std::make_unique<Peer>(port, receiveBuffer);
        EXPECT_TRUE(peer->connected());
        EXPECT_EQ(peer->read(30), kWireGreeting);
        return peer;
    }

    // One frame as the server sends it (type 14 counts its length differently).
    static Buffer readFrame(Peer& peer) {
        Buffer head = peer.read(kNetHeaderSize);
        if (head.empty()) return {};
        const std::size_t length = head[1] | (head[2] << 8);
        const std::size_t total = head[0] == MSG_TRAFFIC_CALL ? length + 6 : length;
        if (total <= kNetHeaderSize) return head;
        return concat(head, peer.read(total - kNetHeaderSize));
    }
    static std::uint32_t frameId(const Buffer& f) {
        if (f.size() < 13) return 0;
        return f[9] | (f[10] << 8) | (f[11] << 16) | (static_cast<std::uint32_t>(f[12]) << 24);
    }

    std::size_t logCount(const std::string& text) const {
        return static_cast<std::size_t>(std::count(logs.begin(), logs.end(), text));
    }
    bool waitLog(const std::string& text) {
        return waitFor([&] { return logCount(text) > 0; });
    }

    platform::ManualClock clock;
    CallRing ring{8};
    link_test::TestDir dir;
    std::vector<std::string> logs;
    std::vector<std::pair<int, std::string>> levels;
    std::vector<std::string> shown;
    std::vector<std::function<void()>> closeBox;  // one per box shown, as the user would
    std::unique_ptr<InstanceLinkServer> server;
    std::uint16_t port = 0;
};

TEST_F(LinkTest, PeerWithoutSectionIsGreetedOnce) {
    auto peer = admittedPeer();
    const std::string text = "Connect attempt from 127.0.0.1, " + std::to_string(peer->localPort());
    EXPECT_EQ(logCount(text), 1u);
    EXPECT_EQ(peer->pending(), 0u);
    ASSERT_EQ(server->peers().size(), 1u);
    EXPECT_TRUE(server->peers()[0]->admitted);
}

TEST_F(LinkTest, ProfileRulesAreReadAtEachAdmission) {
    dir.write("orvelin.ini", "[127.0.0.1]\r\nfields=1\r\nENABLED=0\r\n");
    {
        Peer refused(port);
        ASSERT_TRUE(refused.waitClosed());
        EXPECT_EQ(refused.pending(), 0u);  // closed without a greeting
        EXPECT_EQ(logCount("Connected to client 127.0.0.1, " +
                           std::to_string(refused.localPort()) + ", Disabled"),
                  1u);
        EXPECT_EQ(logCount("Connection destroyed"), 1u);
        EXPECT_TRUE(server->peers().empty());
    }
    dir.write("orvelin.ini", "[127.0.0.1]\nFields=1\nEnabled=1\n");
    {
        auto peer = admittedPeer();
        EXPECT_EQ(logCount("Connected to client 127.0.0.1, " + std::to_string(peer->localPort())),
                  1u);
    }
    // "Enabled" counts only when "Fields" is not 0.
    dir.write("orvelin.ini", "[127.0.0.1]\nFields=0\nEnabled=0\n");
    auto peer = admittedPeer();
    EXPECT_FALSE(peer->closed());
}

TEST_F(LinkTest, EleventhPeerIsRefused) {
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 10; ++i) peers.push_back(admittedPeer());
    Peer eleventh(port);
    ASSERT_TRUE(eleventh.waitClosed());
    EXPECT_EQ(eleventh.pending(), 0u);
    EXPECT_EQ(logCount("Allready 10 clients connected. Connection refused."), 1u);
    EXPECT_EQ(server->peers().size(), 10u);
    // A place that comes free is taken again.
    peers.back()->closeNow();
    ASSERT_TRUE(waitLog("Client closed connection"));
    auto again = admittedPeer();
    EXPECT_EQ(server->peers().size(), 10u);
}

TEST_F(LinkTest, RecordsGoOutOneAtATimeAfterEachAcceptance) {
    auto peer = admittedPeer();
    server->QueueCall(1);
    server->QueueCall(2);
    server->QueueCall(0);    // empty slot: nothing
    server->QueueCall(999);  // outside the ring: nothing
    const Buffer first = readFrame(*peer);
    EXPECT_EQ(first, BuildCallFrame(ring.at(1), kNow));
    EXPECT_EQ(peer->pending(), 0u);  // the second waits for the answer
    EXPECT_TRUE(server->peers()[0]->TimerArmed(kAckTimer));

    peer->send(frame(MSG_TRAFFIC_ACCEPT));
    EXPECT_EQ(frameId(readFrame(*peer)), 102u);
    peer->send(frame(MSG_TRAFFIC_ACCEPT));
    ASSERT_TRUE(waitFor([&] { return !server->peers()[0]->m_bAwaiting; }));
    EXPECT_FALSE(server->peers()[0]->TimerArmed(kAckTimer));
    EXPECT_EQ(peer->pending(), 0u);
    EXPECT_EQ(logCount("Message MSG_TRAFFIC_ACCEPT received"), 2u);
}

TEST_F(LinkTest, ElevenDenialsCloseThePeerTenDoNot) {
    // hangsUp: the peer hangs up at the same time, which must not close it twice.
    for (const bool hangsUp : {false, true}) {
        SCOPED_TRACE(hangsUp ? "peer hangs up too" : "peer waits");
        logs.clear();
        auto peer = admittedPeer();
        server->QueueCall(2);
        const Buffer sent = readFrame(*peer);
        ASSERT_EQ(frameId(sent), 102u);
        for (int i = 0; i < 10; ++i) {
            peer->send(frame(MSG_TRAFFIC_DENIED));
            ASSERT_EQ(readFrame(*peer), sent) << "denial " << i + 1;
        }
        EXPECT_FALSE(peer->closed());
        peer->send(frame(MSG_TRAFFIC_DENIED));
        if (hangsUp) {
            peer->closeNow();
        } else {
            EXPECT_TRUE(peer->waitClosed());
        }
        ASSERT_TRUE(waitFor([&] { return server->peers().empty(); }));
        settle();
        EXPECT_EQ(logCount("Client closed connection"), 1u);
        EXPECT_EQ(logCount("Message MSG_TRAFFIC_DENIED received"), 11u);
    }
}

// Two records of a history are on their way before the first answer; each answer
// retires the oldest record awaiting one and lets the next go.
TEST_F(LinkTest, HistoryRunsTwoRecordsAhead) {
    ring.at(0) = ring.at(1);  // the head slot: not part of the history
    ring.at(0).id = 100;
    auto peer = admittedPeer();
    const CClient& side = *server->peers()[0];
    peer->send(frame(MSG_TRAFFIC_ACCEPT_ALL));
    EXPECT_EQ(frameId(readFrame(*peer)), 101u);
    EXPECT_EQ(frameId(readFrame(*peer)), 102u);
    EXPECT_EQ(peer->pending(), 0u);
    EXPECT_EQ(side.m_bAwaiting, 2);
    peer->send(frame(MSG_TRAFFIC_ACCEPT));  // 101
    EXPECT_EQ(frameId(readFrame(*peer)), 103u);
    peer->send(frame(MSG_TRAFFIC_ACCEPT));  // 102
    ASSERT_TRUE(waitFor([&] { return side.m_bAwaiting == 1; }));
    // A call while the history's last record is on its way still goes out at once.
    server->QueueCall(2);
    EXPECT_EQ(frameId(readFrame(*peer)), 102u);
    EXPECT_EQ(side.m_bAwaiting, 2);
    peer->send(frame(MSG_TRAFFIC_ACCEPT));  // 103: the history is through
    ASSERT_TRUE(waitFor([&] { return side.m_bAwaiting == 1; }));
    EXPECT_FALSE(side.historyUnderWay());
    EXPECT_TRUE(side.TimerArmed(kAckTimer));  // 102 still waits for its answer
    // Back to one at a time.
    server->QueueCall(3);
    EXPECT_EQ(peer->pending(), 0u);
    peer->send(frame(MSG_TRAFFIC_ACCEPT));  // 102
    EXPECT_EQ(frameId(readFrame(*peer)), 103u);
    peer->send(frame(MSG_TRAFFIC_ACCEPT));  // 103
    ASSERT_TRUE(waitFor([&] { return side.m_bAwaiting == 0; }));
    EXPECT_FALSE(side.TimerArmed(kAckTimer));
    // An answer with nothing in flight retires nothing.
    const std::size_t answers = logCount("Message MSG_TRAFFIC_ACCEPT received");
    peer->send(frame(MSG_TRAFFIC_ACCEPT));
    ASSERT_TRUE(waitFor([&] { return logCount("Message MSG_TRAFFIC_ACCEPT received") > answers; }));
    server->QueueCall(1);
    EXPECT_EQ(frameId(readFrame(*peer)), 101u);
    EXPECT_EQ(side.m_bAwaiting, 1);

    // A request while 101 is in flight: 101 keeps waiting for its own answer and comes
    // again in its place in the history.
    peer->send(frame(MSG_TRAFFIC_ACCEPT_ALL));
    EXPECT_EQ(frameId(readFrame(*peer)), 101u);
    EXPECT_EQ(peer->pending(), 0u);
    EXPECT_EQ(side.m_bAwaiting, 2);
    for (std::uint32_t id : {102u, 103u}) {
        peer->send(frame(MSG_TRAFFIC_ACCEPT));
        EXPECT_EQ(frameId(readFrame(*peer)), id);
    }
    peer->send(frame(MSG_TRAFFIC_ACCEPT));
    peer->send(frame(MSG_TRAFFIC_ACCEPT));
    ASSERT_TRUE(waitFor([&] { return side.m_bAwaiting == 0; }));
    EXPECT_TRUE(side.m_Pending.empty());
    EXPECT_EQ(peer->pending(), 0u);
}

// A denial during a history sends the denied record again behind the one still on its
// way, so the answers keep the order of the records.
TEST_F(LinkTest, DenialDuringHistoryKeepsTheOrderOfAnswers) {
    auto peer = admittedPeer();
    const CClient& side = *server->peers()[0];
    peer->send(frame(MSG_TRAFFIC_ACCEPT_ALL));
    ASSERT_EQ(frameId(readFrame(*peer)), 101u);
    ASSERT_EQ(frameId(readFrame(*peer)), 102u);
    peer->send(frame(MSG_TRAFFIC_DENIED));  // 101
    EXPECT_EQ(frameId(readFrame(*peer)), 101u);
    EXPECT_EQ(side.m_Pending, (std::deque<std::uint32_t>{102, 101, 103}));
    peer->send(frame(MSG_TRAFFIC_ACCEPT));  // 102
    EXPECT_EQ(frameId(readFrame(*peer)), 103u);
    peer->send(frame(MSG_TRAFFIC_ACCEPT));  // 101
    peer->send(frame(MSG_TRAFFIC_ACCEPT));  // 103
    ASSERT_TRUE(waitFor([&] { return side.m_Pending.empty(); }));
    EXPECT_EQ(side.m_bAwaiting, 0);
    EXPECT_EQ(peer->pending(), 0u);
}

TEST_F(LinkTest, SplitAndCoalescedFrames) {
    auto peer = admittedPeer();
    for (std::uint32_t i = 1; i <= 3; ++i) server->QueueCall(i);
    ASSERT_EQ(frameId(readFrame(*peer)), 101u);

    // An answer arriving byte by byte counts once it is complete.
    const Buffer ack = frame(MSG_TRAFFIC_ACCEPT);
    for (std::size_t i = 0; i + 1 < ack.size(); ++i) {
        peer->send(Buffer{ack[i]});
        EXPECT_EQ(peer->pending(), 0u) << "after byte " << i;
    }
    peer->send(Buffer{ack.back()});
    ASSERT_EQ(frameId(readFrame(*peer)), 102u);

    // Accept then deny in one send: the first moves on, the second resends.
    peer->send(concat(frame(MSG_TRAFFIC_ACCEPT), frame(MSG_TRAFFIC_DENIED)));
    EXPECT_EQ(frameId(readFrame(*peer)), 103u);
    EXPECT_EQ(frameId(readFrame(*peer)), 103u);
    EXPECT_EQ(peer->pending(), 0u);
}

TEST_F(LinkTest, HostileInputIsDroppedAndThePeerStays) {
    auto peer = admittedPeer();
    server->QueueCall(1);
    server->QueueCall(2);
    ASSERT_EQ(frameId(readFrame(*peer)), 101u);

    Buffer shortLength = frame(MSG_TRAFFIC_ACCEPT);
    shortLength[1] = 3;  // below the header's own size
    peer->send(concat(shortLength, frame(MSG_TRAFFIC_ACCEPT)));
    ASSERT_TRUE(waitLog("Bad message length received"));
    EXPECT_EQ(peer->pending(), 0u);  // the whole buffer was dropped, the answer with it

    peer->send("GARBAGE!!");
    ASSERT_TRUE(waitLog("Bad message signature received"));
    Buffer unknown = frame(0x22);
    peer->send(unknown);
    ASSERT_TRUE(waitLog("Bad message type received"));
    EXPECT_TRUE(server->peers()[0]->inbox.empty());

    // None of it counted as an answer; a real one still works.
    peer->send(frame(MSG_TRAFFIC_ACCEPT));
    EXPECT_EQ(frameId(readFrame(*peer)), 102u);
    EXPECT_FALSE(peer->closed());
    EXPECT_EQ(server->peers().size(), 1u);
}

TEST_F(LinkTest, RandomBytesNeverHurtTheServer) {
    auto peer = admittedPeer();
    auto calm = admittedPeer();
    server->QueueCall(1);
    std::uint32_t seed = 12345;
    const auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int round = 0; round < 200; ++round) {
        Buffer chunk(next() % 700);
        for (auto& b : chunk) b = static_cast<std::uint8_t>(next());
        // Now and then something that looks like a frame header.
        if (!chunk.empty() && chunk.size() >= 9 && next() % 3 == 0) {
            chunk[0] = static_cast<std::uint8_t>(next() % 16);
            chunk[3] = 0;
            chunk[4] = 1;
        }
        peer->send(chunk);
        if (round % 20 == 0) settle();
    }
    settle();
    for (const auto& p : server->peers()) EXPECT_LE(p->inbox.size(), kReassemblyCap);
    peer->closeNow();
    ASSERT_TRUE(waitLog("Client closed connection"));
    // The other peer was not disturbed.
    EXPECT_EQ(frameId(readFrame(*calm)), 101u);
    calm->send(frame(MSG_TRAFFIC_ACCEPT));
    calm->send(frame(MSG_TRAFFIC_ACCEPT_ALL));
    EXPECT_EQ(frameId(readFrame(*calm)), 101u);
    EXPECT_EQ(frameId(readFrame(*calm)), 102u);
}

// Nothing a peer sends makes the server wait for more than the largest frame: each
// case is followed by a denial, which must be heard (the record comes again) at once.
TEST_F(LinkTest, PendingFrameIsBoundedAndLaterAnswersCount) {
    Buffer claimsAll = frame(0x33);
    claimsAll[1] = 0xFF;
    claimsAll[2] = 0xFF;
    Buffer unknownShort = frame(0x33);
    unknownShort[1] = 20;
    Buffer ackTooLong = frame(MSG_TRAFFIC_ACCEPT);
    ackTooLong[1] = 0xFF;
    ackTooLong[2] = 0xFF;
    struct Case {
        const char* name;
        Buffer bytes;
        bool sameSend;  // the denial follows in the same send
        const char* log;
        std::size_t shown;
    };
    const Case cases[] = {
        {"header claiming 65535", claimsAll, false, "Bad message type received", 0},
        {"same, answer in one send", claimsAll, true, "Bad message type received", 0},
        {"unknown type, part of it", unknownShort, false, "Bad message type received", 0},
        {"bare SSMS", Buffer{'S', 'S', 'M', 'S'}, false, nullptr, 1},
        {"three letters", Buffer{'S', 'S', 'M'}, false, "Bad message signature received", 0},
        // The length is judged first: no marker, yet a length below 9.
        {"short length, no marker", Buffer{0x0e, 0x05, 0x00, 0x00, 0x00}, false,
         "Bad message length received", 0},
    };
    auto peer = admittedPeer();
    server->QueueCall(1);
    server->QueueCall(2);
    ASSERT_EQ(frameId(readFrame(*peer)), 101u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t logsBefore = c.log ? logCount(c.log) : 0;
        const std::size_t shownBefore = shown.size();
        if (c.sameSend) {
            peer->send(concat(c.bytes, frame(MSG_TRAFFIC_DENIED)));
        } else {
            peer->send(c.bytes);
            ASSERT_TRUE(waitFor([&] { return server->peers()[0]->inbox.empty(); }));
            settle();
            peer->send(frame(MSG_TRAFFIC_DENIED));
        }
        EXPECT_EQ(frameId(readFrame(*peer)), 101u);
        if (c.log) {
            EXPECT_EQ(logCount(c.log), logsBefore + 1);
        }
        EXPECT_EQ(shown.size(), shownBefore + c.shown);
    }
    // A known answer claiming too much counts as the header alone.
    peer->send(concat(ackTooLong, frame(MSG_TRAFFIC_ACCEPT)));
    EXPECT_EQ(frameId(readFrame(*peer)), 102u);
    ASSERT_TRUE(waitFor([&] { return !server->peers()[0]->m_bAwaiting; }));
    EXPECT_EQ(peer->pending(), 0u);
}

// A peer that answers records without reading them, or asks for the history again and
// again, is closed once a bounded backlog is full; another peer is served meanwhile.
TEST_F(LinkTest, PeerThatDoesNotReadIsClosedWithBoundedBacklog) {
    auto greedy = admittedPeer(4096);
    auto calm = admittedPeer();
    const CClient* greedySide = server->peers()[0].get();
    Buffer burst;
    for (int i = 0; i < 300; ++i) {
        burst = concat(burst, frame(MSG_TRAFFIC_ACCEPT_ALL));
        // Fewer denials than close a peer, also counting those with nothing in flight.
        for (int d = 0; d < kMaxDenials / 2 - 1; ++d) burst = concat(burst, frame(MSG_TRAFFIC_DENIED));
    }
    const std::string dropped = "Server closed connection, client does not read";
    const auto answersHeard = [&] {
        return logCount("Message MSG_TRAFFIC_ACCEPT received") +
               logCount("Message MSG_TRAFFIC_DENIED received");
    };
    std::size_t mostQueued = 0;
    for (int round = 0; round < 40 && server->peers().size() == 2; ++round) {
        greedy->send(burst);
        const std::size_t sent = static_cast<std::size_t>(round + 1) * burst.size() / kNetHeaderSize;
        waitFor([&] {
            for (const auto& p : server->peers()) {
                if (p.get() == greedySide) mostQueued = std::max(mostQueued, p->sendQueueBytes());
            }
            return server->peers().size() < 2 || answersHeard() >= sent;
        });
    }
    ASSERT_EQ(logCount(dropped), 1u);
    EXPECT_LE(mostQueued, kMaxSendBacklog);
    ASSERT_TRUE(waitFor([&] { return server->peers().size() == 1; }));
    EXPECT_TRUE(greedy->waitClosed());
    // The frames it never took came back unsent.
    EXPECT_TRUE(waitLog("Error sending data"));

    calm->send(frame(MSG_TRAFFIC_ACCEPT_ALL));
    for (std::uint32_t id : {101u, 102u, 103u}) {
        EXPECT_EQ(frameId(readFrame(*calm)), id);
        calm->send(frame(MSG_TRAFFIC_ACCEPT));
    }
}

TEST_F(LinkTest, OneHistoryAtATimePerPeer) {
    auto peer = admittedPeer();
    const CClient& side = *server->peers()[0];
    peer->send(frame(MSG_TRAFFIC_ACCEPT_ALL));
    ASSERT_EQ(frameId(readFrame(*peer)), 101u);
    ASSERT_EQ(frameId(readFrame(*peer)), 102u);
    // Asked again while it runs: nothing more is queued or sent.
    peer->send(concat(frame(MSG_TRAFFIC_ACCEPT_ALL), frame(MSG_TRAFFIC_ACCEPT_ALL)));
    EXPECT_EQ(peer->pending(), 0u);
    EXPECT_EQ(side.m_Pending.size(), 3u);
    peer->send(frame(MSG_TRAFFIC_ACCEPT));
    EXPECT_EQ(frameId(readFrame(*peer)), 103u);
    peer->send(concat(frame(MSG_TRAFFIC_ACCEPT), frame(MSG_TRAFFIC_ACCEPT)));
    ASSERT_TRUE(waitFor([&] { return side.m_bAwaiting == 0; }));
    EXPECT_EQ(peer->pending(), 0u);
    EXPECT_FALSE(side.historyUnderWay());
    // Once it is through, the history can be asked for again.
    peer->send(frame(MSG_TRAFFIC_ACCEPT_ALL));
    EXPECT_EQ(frameId(readFrame(*peer)), 101u);
    EXPECT_EQ(frameId(readFrame(*peer)), 102u);
}

TEST_F(LinkTest, HiddenRecordsAreNeverSent) {
    ring.at(2).flags |= orvelin::client::kFlagHidden;
    auto peer = admittedPeer();
    server->QueueCall(2);
    InstanceLinkServer::postQueueCall(server->ref(), 102);
    settle();
    EXPECT_EQ(peer->pending(), 0u);
    peer->send(frame(MSG_TRAFFIC_ACCEPT_ALL));
    EXPECT_EQ(frameId(readFrame(*peer)), 101u);
    peer->send(frame(MSG_TRAFFIC_ACCEPT));
    EXPECT_EQ(frameId(readFrame(*peer)), 103u);
    // Hidden after it was queued: skipped when its turn comes.
    server->QueueCall(1);
    server->QueueCall(3);
    peer->send(frame(MSG_TRAFFIC_ACCEPT));
    ASSERT_EQ(frameId(readFrame(*peer)), 101u);
    ring.at(3).flags |= orvelin::client::kFlagHidden;
    peer->send(frame(MSG_TRAFFIC_ACCEPT));
    ASSERT_TRUE(waitFor([&] { return !server->peers()[0]->m_bAwaiting; }));
    EXPECT_EQ(peer->pending(), 0u);
}

// An accept that finds no free descriptor, while `outOfDescriptors` holds.
std::atomic<bool> outOfDescriptors{false};
std::atomic<int> acceptCalls{0};
int acceptOrRunOut(int fd, sockaddr* address, socklen_t* length, int flags) {
    ++acceptCalls;
    if (!outOfDescriptors) return ::accept4(fd, address, length, flags);
    errno = EMFILE;
    return -1;
}

// Without descriptors, or without memory for the peer: the connection waits, the error
// is logged once, and the listener tries again after each back-off period, each longer.
TEST_F(LinkTest, AcceptThatRunsOutBacksOffAndLogsOnce) {
    constexpr unsigned kManyFailures = 1000;
    struct Cause {
        const char* name;
        const char* logged;
        std::function<void(bool)> runOut;  // true: from now on; false: no longer
        std::function<int()> tries;        // attempts that ran out so far
    };
    const Cause causes[] = {
        {"descriptors", "Error accepting connection: WinSock error 10024: Too many open files",
         [](bool on) { outOfDescriptors = on; }, [] { return acceptCalls.load(); }},
        {"memory for the peer",
         "Error accepting connection: WinSock error 10055: No buffer space available",
         [](bool on) { InstanceLinkServer::failPeerAllocations = on ? kManyFailures : 0; },
         [] {
             return static_cast<int>(kManyFailures - InstanceLinkServer::failPeerAllocations);
         }},
    };
    setAcceptFunction(acceptOrRunOut);
    for (const Cause& cause : causes) {
        SCOPED_TRACE(cause.name);
        acceptCalls = 0;
        cause.runOut(true);
        Peer waiting(port);
        ASSERT_TRUE(waiting.connected());
        ASSERT_TRUE(waitLog(cause.logged));
        settle();
        // The connection stays waiting and the socket readable, yet nothing spins: one
        // try per back-off period.
        EXPECT_EQ(cause.tries(), 1);
        EXPECT_FALSE(server->listener().watchingReads());
        std::int64_t period = kAcceptRetryFirstMs;
        for (int tries = 2; tries <= 4; ++tries) {
            clock.advance(period - 1);
            settle();
            EXPECT_EQ(cause.tries(), tries - 1);
            clock.advance(1);
            ASSERT_TRUE(waitFor([&] { return cause.tries() == tries; }));
            settle();
            EXPECT_EQ(cause.tries(), tries);
            period = std::min(period * 2, kAcceptRetryMaxMs);
        }
        EXPECT_TRUE(server->peers().empty());

        cause.runOut(false);
        clock.advance(period);
        EXPECT_EQ(waiting.read(30), kWireGreeting);
        EXPECT_EQ(logCount(cause.logged), 1u);
        EXPECT_TRUE(server->listener().watchingReads());
        ASSERT_EQ(server->peers().size(), 1u);
        server->dropPeer(*server->peers()[0], "Client closed connection");
        ASSERT_TRUE(waitFor([&] { return server->peers().empty(); }));
        // The next shortage starts from the first period again.
        clock.advance(kAcceptRetryMaxMs);
        settle();
    }
    setAcceptFunction(nullptr);
}

TEST_F(LinkTest, PeerTextIsShownWithoutItsPrefix) {
    auto peer = admittedPeer();
    peer->send(std::string_view("SSMSHello \x80!\0junk", 16));
    ASSERT_TRUE(waitFor([&] { return !shown.empty(); }));
    EXPECT_EQ(shown[0], "Hello \xE2\x82\xAC!");
    closeBox[0]();

    // An unterminated text is cut, whatever follows it.
    peer->send("SSMS" + std::string(5000, 'x'));
    ASSERT_TRUE(waitFor([&] { return shown.size() == 2; }));
    EXPECT_EQ(shown[1], std::string(kMaxShownText, 'x'));
    EXPECT_FALSE(peer->closed());
}

// While a box shows a peer's text, its further texts are dropped, the first of them
// logged; another peer's text still gets its own box.
TEST_F(LinkTest, OneTextBoxAtATimePerPeer) {
    auto peer = admittedPeer();
    auto other = admittedPeer();
    const std::string dropped(kPeerTextDropped);
    peer->send("SSMSfirst");
    ASSERT_TRUE(waitFor([&] { return shown.size() == 1; }));
    for (int i = 0; i < 300; ++i) {
        peer->send("SSMSspam");
        if (i % 50 == 0) settle();
    }
    other->send("SSMSother");
    ASSERT_TRUE(waitFor([&] { return shown.size() == 2; }));
    settle();
    EXPECT_EQ(shown, (std::vector<std::string>{"first", "other"}));
    EXPECT_EQ(logCount(dropped), 1u);

    closeBox[0]();  // the user closes the first box
    peer->send("SSMSsecond");
    ASSERT_TRUE(waitFor([&] { return shown.size() == 3; }));
    EXPECT_EQ(shown[2], "second");
    peer->send("SSMSspam");
    ASSERT_TRUE(waitFor([&] { return logCount(dropped) == 2; }));
    EXPECT_EQ(shown.size(), 3u);
    // The box may outlive its peer.
    peer->closeNow();
    ASSERT_TRUE(waitFor([&] { return server->peers().size() == 1; }));
    closeBox[2]();
}

TEST_F(LinkTest, UnansweredRecordClosesPeerAfterTenSeconds) {
    auto peer = admittedPeer();
    server->QueueCall(1);
    ASSERT_EQ(frameId(readFrame(*peer)), 101u);
    clock.advance(9999);
    EXPECT_EQ(peer->pending(), 0u);
    EXPECT_FALSE(peer->closed());
    clock.advance(1);
    EXPECT_TRUE(peer->waitClosed());
    EXPECT_EQ(logCount("Server closed connection after timeout"), 1u);
    EXPECT_TRUE(server->peers().empty());
}

TEST_F(LinkTest, RemovedRecordIsSkippedAndOtherThreadsQueueThroughTheWindow) {
    auto peer = admittedPeer();
    std::thread player([ref = server->ref()] {
        InstanceLinkServer::postQueueCall(ref, 101);
        InstanceLinkServer::postQueueCall(ref, 102);
        InstanceLinkServer::postQueueCall(ref, 103);
    });
    player.join();
    ASSERT_EQ(frameId(readFrame(*peer)), 101u);
    ring.at(2) = TCallRecord{};  // removed while it waited
    peer->send(frame(MSG_TRAFFIC_ACCEPT));
    EXPECT_EQ(frameId(readFrame(*peer)), 103u);
}

// Where boxes are only logged (headless), a connection gets its first texts logged and
// no more; the next connection starts afresh.
TEST_F(LinkTest, TextsOnlyLoggedAreBoundedPerConnection) {
    std::atomic<int> logged{0};
    platform::setMessageLogSink([&](const std::string&) { ++logged; });
    LinkConfig config = loggedConfig();
    config.clock = &clock;
    InstanceLinkServer headless(std::move(config));
    ASSERT_EQ(headless.Listen("0"), kSocketOk);
    for (int connection = 0; connection < 2; ++connection) {
        SCOPED_TRACE(connection);
        logged = 0;
        logs.clear();
        Peer peer(headless.port());
        ASSERT_EQ(peer.read(30), kWireGreeting);
        for (int i = 0; i < 100; ++i) {
            peer.send("SSMStext " + std::to_string(i));
            settle();
        }
        ASSERT_TRUE(waitFor([&] { return logCount(std::string(kPeerTextDropped)) == 1; }));
        settle();
        EXPECT_EQ(logged, kMaxLoggedTexts);
    }
    platform::setMessageLogSink([](const std::string&) {});
}

// Connections that end before they could be admitted, and notifications the server does
// not know.
TEST_F(LinkTest, UnknownClientAndUnknownNotification) {
    {
        Peer gone(port);
        ASSERT_TRUE(gone.connected());
        gone.reset();  // before the server has looked at it
    }
    ASSERT_TRUE(waitLog("Connect attempt from unknown client"));
    ASSERT_TRUE(waitLog("Connection destroyed"));
    EXPECT_TRUE(server->peers().empty());

    auto peer = admittedPeer();
    const CClient& side = *server->peers()[0];
    auto note = std::make_unique<SocketNote>();
    note->serial = side.serial();
    server->ref().post(platform::WM_CLIENT_SOCKET, 42, reinterpret_cast<platform::LParam>(&side),
                       std::move(note));
    ASSERT_TRUE(waitLog("Unknown message on data port"));
    EXPECT_EQ(server->peers().size(), 1u);
    EXPECT_FALSE(peer->closed());
}

// Every kind of exchange, with the level each text comes at (checked after each test).
TEST_F(LinkTest, LinkTextsComeWithTheirLevels) {
    auto peer = admittedPeer();
    server->QueueCall(1);
    ASSERT_EQ(frameId(readFrame(*peer)), 101u);
    peer->send(frame(MSG_TRAFFIC_DENIED));
    ASSERT_EQ(frameId(readFrame(*peer)), 101u);
    peer->send(frame(MSG_TRAFFIC_ACCEPT));
    Buffer shortLength = frame(MSG_TRAFFIC_ACCEPT);
    shortLength[1] = 3;
    peer->send(shortLength);
    ASSERT_TRUE(waitLog("Bad message length received"));
    peer->send("GARBAGE!!");
    ASSERT_TRUE(waitLog("Bad message signature received"));
    peer->send(frame(0x22));
    ASSERT_TRUE(waitLog("Bad message type received"));
    server->QueueCall(2);
    ASSERT_EQ(frameId(readFrame(*peer)), 102u);
    clock.advance(kAckTimeoutMs);
    ASSERT_TRUE(waitLog("Server closed connection after timeout"));
    for (const char* text : {"Data sent", "Done reading on data port", "Connect attempt from",
                             "Message MSG_TRAFFIC_ACCEPT received",
                             "Message MSG_TRAFFIC_DENIED received"}) {
        EXPECT_TRUE(std::any_of(levels.begin(), levels.end(),
                                [&](const auto& l) { return l.second.starts_with(text); }))
            << text;
    }
}

TEST(LinkUserLogTest, KeepsWhatAUserNeeds) {
    const struct {
        int level;
        const char* text;
        bool kept;
    } cases[] = {
        {2, "Connect attempt from 10.0.0.7, 40000", true},
        {2, "Connected to client 10.0.0.7, 40000, Disabled", true},
        {2, "Connection destroyed", true},
        {2, "Client closed connection", true},
        {2, "Server closed connection after timeout", true},
        {2, "Server closed connection, client does not read", true},
        {1, "Allready 10 clients connected. Connection refused.", true},
        {1, "Error accepting connection: WinSock error 10024: Too many open files", true},
        {1, "Further texts from client dropped", true},
        {1, "Error reading on data port", false},
        {1, "Unknown message on data port", false},
        {1, "Call queue full", false},
        {3, "Data sent", false},
        {3, "Done reading on data port", false},
        {0, "Error sending data", false},
        {0, "Bad message length received", false},
        {0, "Bad message signature received", false},
        {0, "Bad message type received", false},
        {9, "Message MSG_TRAFFIC_ACCEPT received", false},
        {9, "Message MSG_TRAFFIC_DENIED received", false},
    };
    std::vector<std::string> written;
    const auto sink = UserLogSink([&](const std::string& line) { written.push_back(line); });
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        EXPECT_EQ(KeptInUserLog(c.level, c.text), c.kept) << c.text;
        sink(c.level, c.text);
        if (c.kept) expected.push_back(c.text);
    }
    EXPECT_EQ(written, expected);
}

// The program's own log, fed by the program's sink: a peer that floods the server with
// requests, answers and texts adds its admission, one dropped text and its end, nothing
// more.
TEST_F(LinkTest, FloodingPeerAddsThreeLinesToTheProgramLog) {
    const std::string logPath = dir.str() + "capilog.txt";
    capi::SetCapiLogPath(logPath);
    LinkConfig config;
    config.ring = &ring;
    config.profileDirectories = {dir.str()};
    config.log = UserLogSink(capi::WriteCapiLog);
    config.showText = [this](const std::string& text, std::function<void()> closed) {
        shown.push_back(text);
        closeBox.push_back(std::move(closed));
    };
    config.now = [] { return kNow; };
    config.clock = &clock;
    InstanceLinkServer program(std::move(config));
    ASSERT_EQ(program.Listen("0"), kSocketOk);
    std::uint16_t peerPort = 0;
    {
        Peer peer(program.port());
        ASSERT_TRUE(peer.connected());
        peerPort = peer.localPort();
        ASSERT_EQ(peer.read(30), kWireGreeting);
        Buffer burst;
        for (int i = 0; i < 500; ++i) burst = concat(burst, frame(MSG_TRAFFIC_ACCEPT));
        burst = concat(burst, frame(MSG_TRAFFIC_ACCEPT_ALL));
        for (int round = 0; round < 100; ++round) {
            peer.send(burst);
            peer.send("SSMSspam");
            peer.send("GARBAGE!!");
            settle();
            peer.poll();
        }
        ASSERT_TRUE(waitFor([&] { return !shown.empty(); }));
    }
    ASSERT_TRUE(waitFor([&] { return program.peers().empty(); }));
    settle();
    capi::SetCapiLogPath("");
    std::ifstream in(logPath);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        // Each line starts with its 24-character time stamp.
        lines.push_back(line.size() > 24 ? line.substr(24) : line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Connect attempt from 127.0.0.1, " + std::to_string(peerPort),
                         std::string(kPeerTextDropped), "Client closed connection"}));
}

TEST_F(LinkTest, HostPortRule) {
    LinkConfig config;
    config.ring = &ring;
    config.profileDirectories = {dir.str()};
    config.clock = &clock;
    InstanceLinkServer other(std::move(config));
    EXPECT_EQ(other.ListenOnHostPort(0), kSocketError);
    EXPECT_EQ(other.listener().error(), WSAEAFNOSUPPORT);
    EXPECT_EQ(other.ListenOnHostPort(70000), kSocketWrongState);
    EXPECT_EQ(other.ListenOnHostPort(port), kSocketError);  // taken by the fixture's server
    EXPECT_EQ(other.listener().error(), WSAEADDRINUSE);
}

}  // namespace
