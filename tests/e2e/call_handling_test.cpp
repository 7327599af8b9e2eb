// The real program against the simulated exchange, headless, on a fixture hive: what a
// caller, the files on disk and a peer of the instance link see.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "client/call_ring.h"
#include "client/call_table_file.h"
#include "platform/registry.h"
#include "tests/e2e/e2e_calls.h"
#include "tools/isdnsim/isdnsim.h"

namespace {

using namespace e2e;

class CallHandling : public testing::Test {
  protected:
    void SetUp() override {
        linkPort_ = freePort();
        writeHive(dir_.path(), "orvelin.reg", linkPort_);
    }

    // Starts the program and waits until it listens for calls and for peers.
    void start(std::vector<std::string> args = {}, std::vector<std::string> env = {}) {
        env.push_back("ORVELIN_CAPI_REMOTE=127.0.0.1:" + std::to_string(exchange_.port()));
        program_ = std::make_unique<Program>(dir_.path(), env, args);
        ASSERT_TRUE(exchange_.waitFor(CAPI_LISTEN, CAPI_REQ, 0, std::chrono::seconds(60)))
            << program_->errors();
        ASSERT_TRUE(program_->waitForError("watching the lines")) << program_->errors();
    }

    isdnsim::CallSetup call(const std::string& from, const std::string& to) {
        isdnsim::CallSetup s;
        s.calling = from;
        s.called = to;
        return s;
    }

    // Waits until the call-table file holds a call from `caller` that satisfies `done`.
    bool waitSaved(const std::string& caller, const std::function<bool(const TCallRecord&)>& done) {
        return program_->waitFor(kLimit, [&] {
            const auto calls = savedCalls(home());
            const TCallRecord* r = calls ? callFrom(*calls, caller) : nullptr;
            return r && done(*r);
        });
    }

    fs::path home() const { return dir_.path() / "home"; }

    TempDir dir_;
    isdnsim::Exchange exchange_;
    std::uint16_t linkPort_ = 0;
    std::unique_ptr<Program> program_;
};

TEST_F(CallHandling, RejectedCallIsClearedListedSavedLoggedAndSentToPeers) {
    start();
    LinkPeer peer(linkPort_);
    ASSERT_TRUE(peer.connected());
    peer.pump(2000);  // the greeting

    const std::size_t mark = exchange_.messageCount();
    const std::uint32_t plci = exchange_.ring(call("0309999", "456"));
    ASSERT_NE(plci, 0u);
    // Accepted (not refused) and cleared at once by the program itself.
    auto resp = exchange_.waitFor(
        [&](const isdnsim::Message& m) {
            return m.command() == CAPI_CONNECT && m.subcommand() == CAPI_RESP && m.address() == plci;
        },
        mark, std::chrono::seconds(30));
    ASSERT_TRUE(resp) << program_->errors();
    EXPECT_EQ(resp->cmsg.Reject, 0);
    EXPECT_TRUE(exchange_.waitFor(CAPI_DISCONNECT, CAPI_REQ, mark, std::chrono::seconds(30)));
    // The clearing completes: the program answers the exchange's DISCONNECT_IND.
    EXPECT_TRUE(exchange_.waitFor(
        [&](const isdnsim::Message& m) {
            return m.command() == CAPI_DISCONNECT && m.subcommand() == CAPI_RESP && m.address() == plci;
        },
        mark, std::chrono::seconds(30)));

    EXPECT_TRUE(program_->waitForError("from 0309999 (Spam Caller)  Rejected"))
        << "not listed as rejected:\n" << program_->errors();
    EXPECT_TRUE(waitSaved("0309999", [](const TCallRecord& r) { return r.state == 1; }));
    EXPECT_TRUE(program_->waitFor(kLimit, [&] {
        const std::string log = readFile(home() / "orvelin.txt");
        return log.find("from 0309999\tSpam Caller\tRejected\r\n") != std::string::npos;
    })) << readFile(home() / "orvelin.txt");
    EXPECT_TRUE(program_->waitFor(kLimit, [&] {
        peer.pump(50);
        return std::any_of(peer.calls().begin(), peer.calls().end(), [](const LinkPeer::Call& c) {
            return c.state == 1 && c.text.find("0309999; Spam Caller") != std::string::npos;
        });
    })) << "peer got " << peer.calls().size() << " records";
    EXPECT_EQ(peer.greeting(), std::string("Hello from Orvelin 2.3.0.15\r\n") + '\0');
}

// As a service: a display named in the environment (one that does not exist) is not
// used, and calls are handled as on the desktop until the service manager's SIGTERM:
// rejected, shown, and answered with the greeting (made and converted without a desktop).
TEST_F(CallHandling, ServiceHandlesCallsWithoutDisplayAndEndsCleanlyOnTerm) {
    start({"--service"}, {"DISPLAY=:97"});
    const std::uint32_t spam = exchange_.ring(call("0309999", "456"));
    ASSERT_NE(spam, 0u);
    EXPECT_TRUE(exchange_.waitFor(CAPI_DISCONNECT, CAPI_REQ, 0, std::chrono::seconds(30)))
        << program_->errors();
    EXPECT_TRUE(waitSaved("0309999", [](const TCallRecord& r) { return r.state == 1; }));

    const std::uint32_t plci = exchange_.ring(call("0301234567", "789"));
    ASSERT_NE(plci, 0u);
    EXPECT_TRUE(exchange_.waitFor(
        [&](const isdnsim::Message& m) {
            return m.command() == CAPI_ALERT && m.subcommand() == CAPI_REQ && m.address() == plci;
        },
        0, std::chrono::seconds(30)));
    ASSERT_TRUE(exchange_.hangUp(plci, 0x3490));
    EXPECT_TRUE(waitSaved("0301234567", [](const TCallRecord& r) { return r.reason == 0x3490; }))
        << program_->errors();

    const std::uint32_t answered = exchange_.ring(call("0301234567", "321"));
    ASSERT_NE(answered, 0u);
    const auto resp = exchange_.waitFor(
        [&](const isdnsim::Message& m) {
            return m.command() == CAPI_CONNECT && m.subcommand() == CAPI_RESP &&
                   m.address() == answered;
        },
        0, std::chrono::seconds(30));
    ASSERT_TRUE(resp) << program_->errors();
    EXPECT_EQ(resp->cmsg.Reject, 0) << "accepted";
    const auto chosen = exchange_.protocols(answered);
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->b1, 1);
    EXPECT_EQ(chosen->b2, 1);
    EXPECT_EQ(chosen->b3, 0);
    // Greeting only: the program hangs up once the whole of it left the line.
    ASSERT_TRUE(exchange_.waitFor(
        [&](const isdnsim::Message& m) {
            return m.command() == CAPI_DISCONNECT && m.subcommand() == CAPI_REQ &&
                   m.address() == answered;
        },
        0, std::chrono::seconds(60)))
        << program_->errors();
    std::string greeting;
    for (const auto& entry : fs::directory_iterator(home() / "Alw"))
        if (entry.path().filename().string().rfind("Call", 0) == 0) greeting = readFile(entry.path());
    ASSERT_GT(greeting.size(), 58u + 7 * 128) << "no converted greeting";
    const isdnsim::Bytes sent = exchange_.receivedData(answered);
    const std::string line(sent.begin(), sent.end());
    ASSERT_GE(line.size(), greeting.size() - 58);
    EXPECT_EQ(line.substr(0, greeting.size() - 58), greeting.substr(58)) << "the greeting as converted";

    ASSERT_EQ(kill(program_->pid(), SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(program_->waitExit(kLimit, status));
    ASSERT_TRUE(WIFEXITED(status)) << program_->errors();
    EXPECT_EQ(WEXITSTATUS(status), 0) << program_->errors();
    const std::string log = readFile(home() / "capilog.txt");
    EXPECT_NE(log.find("RegisterAsServiceProcess"), std::string::npos) << log;
    EXPECT_NE(log.find("Exited Run Loop"), std::string::npos) << log;
}

TEST_F(CallHandling, ShownCallIsSavedWithItsClearingReasonAfterTheCallerHangsUp) {
    start();
    const std::uint32_t plci = exchange_.ring(call("0301234567", "789"));
    ASSERT_NE(plci, 0u);
    ASSERT_TRUE(exchange_.waitFor(CAPI_ALERT, CAPI_REQ));
    ASSERT_TRUE(waitSaved("0301234567", [](const TCallRecord& r) {
        return r.state == 0 && r.callerName.view() == "Anna Berg" && r.calledNumber.view() == "789";
    })) << program_->errors();
    EXPECT_EQ(exchange_.find(CAPI_CONNECT, CAPI_RESP).size(), 0u) << "a shown call is not answered";

    ASSERT_TRUE(exchange_.hangUp(plci, 0x3490));
    EXPECT_TRUE(waitSaved("0301234567", [](const TCallRecord& r) { return r.reason == 0x3490; }))
        << program_->errors();
    EXPECT_TRUE(program_->waitFor(kLimit, [&] {
        return readFile(home() / "orvelin.txt").find("from 0301234567\tAnna Berg\t") !=
               std::string::npos;
    }));
}

// At CAPI start the log names each controller the program bound.
TEST_F(CallHandling, CapiStartLogsTheControllersIdentity) {
    start();
    EXPECT_TRUE(program_->waitFor(kLimit, [&] {
        return readFile(home() / "capilog.txt")
                   .find(" isdnsim Serial# 0000001 using CAPI v2.0 Driver v1.0 using 2 B-channels\n") !=
               std::string::npos;
    })) << readFile(home() / "capilog.txt");
}

// With the option to take calls only to configured numbers, the program's own settings
// decide: a call to an MSN is alerted, a call to another number is refused.
TEST_F(CallHandling, OnlyCallsToConfiguredNumbersAreAlertedWhenTheOptionSaysSo) {
    const fs::path hivePath = home() / "orvelin.reg";
    std::string hive = readFile(hivePath);
    const std::string off = "\"Options\"=dword:00000000";
    ASSERT_NE(hive.find(off), std::string::npos);
    hive.replace(hive.find(off), off.size(), "\"Options\"=dword:00100000");
    std::ofstream(hivePath) << hive;
    start();
    struct Case {
        const char* called;
        bool alerted;
    };
    for (const Case& c : {Case{"789", true}, Case{"7890", false}, Case{"456", true}}) {
        SCOPED_TRACE(c.called);
        const size_t mark = exchange_.messageCount();
        const std::uint32_t plci = exchange_.ring(call("0301234567", c.called));
        ASSERT_NE(plci, 0u);
        auto first = exchange_.waitFor(
            [&](const isdnsim::Message& m) {
                return (m.address() & 0xFFFF) == plci &&
                       ((m.command() == CAPI_ALERT && m.subcommand() == CAPI_REQ) ||
                        (m.command() == CAPI_CONNECT && m.subcommand() == CAPI_RESP));
            },
            mark);
        ASSERT_TRUE(first) << program_->errors();
        if (c.alerted) {
            EXPECT_EQ(first->command(), CAPI_ALERT);
        } else {
            EXPECT_EQ(first->command(), CAPI_CONNECT);
            EXPECT_EQ(first->cmsg.Reject, 2);
        }
        exchange_.hangUp(plci, 0x3490);
    }
}

TEST_F(CallHandling, ElevenCallsAtOnceTenHandledTheEleventhRefusedNoneLost) {
    start();
    std::vector<std::uint32_t> plcis;
    for (int i = 0; i < 11; ++i) {
        char from[16];
        std::snprintf(from, sizeof from, "07100%02d", i);
        plcis.push_back(exchange_.ring(call(from, "456")));
        ASSERT_NE(plcis.back(), 0u);
    }
    // Exactly one is refused by the program (all ten connections taken), the others alert.
    ASSERT_TRUE(exchange_.waitUntil([&] {
        return exchange_.find(CAPI_ALERT, CAPI_REQ).size() + exchange_.find(CAPI_CONNECT, CAPI_RESP).size() >= 11;
    }, std::chrono::seconds(60))) << program_->errors();
    const auto responses = exchange_.find(CAPI_CONNECT, CAPI_RESP);
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_NE(responses[0]->cmsg.Reject, 0);
    EXPECT_EQ(responses[0]->address(), plcis.back());
    EXPECT_EQ(exchange_.find(CAPI_ALERT, CAPI_REQ).size(), 10u);

    ASSERT_TRUE(program_->waitFor(kLimit, [&] {
        const auto calls = savedCalls(home());
        return calls && calls->size() == 10;
    })) << program_->errors();
    const auto calls = savedCalls(home());
    std::set<std::string> callers;
    for (const TCallRecord& r : *calls) callers.insert(std::string(r.callerNumber.view()));
    EXPECT_EQ(callers.size(), 10u);
    EXPECT_EQ(callers.count("0710010"), 0u);
    // Only connections 0 and 1 are lines; every call still clears, and none is lost.
    for (std::uint32_t plci : plcis) exchange_.hangUp(plci, 0x3490);
    EXPECT_TRUE(exchange_.waitUntil([&] {
        return std::all_of(plcis.begin(), plcis.end(), [&](std::uint32_t p) {
            return exchange_.callState(p) == isdnsim::CallState::Cleared;
        });
    }));
    EXPECT_TRUE(program_->waitFor(kLimit, [&] {
        const auto c = savedCalls(home());
        return c && c->size() == 10 &&
               std::count_if(c->begin(), c->end(), [](const TCallRecord& r) { return r.reason == 0x3490; }) >= 1;
    }));
}

TEST_F(CallHandling, TermDuringACallEndsInOrderWithEveryFileLoadable) {
    start();
    LinkPeer peer(linkPort_);
    ASSERT_TRUE(peer.connected());
    const std::uint32_t plci = exchange_.ring(call("0301234567", "456"));
    ASSERT_NE(plci, 0u);
    ASSERT_TRUE(waitSaved("0301234567", [](const TCallRecord&) { return true; }));
    const std::size_t mark = exchange_.messageCount();

    ASSERT_EQ(kill(program_->pid(), SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(program_->waitExit(kLimit, status)) << program_->errors();
    ASSERT_TRUE(WIFEXITED(status)) << program_->errors();
    EXPECT_EQ(WEXITSTATUS(status), 0) << program_->errors();

    // CAPI stopped listening before it let go of the exchange; the peer was closed after.
    const auto listens = exchange_.messages();
    EXPECT_TRUE(std::any_of(listens.begin() + std::ptrdiff_t(mark), listens.end(), [](const auto& m) {
        return m->command() == CAPI_LISTEN && m->subcommand() == CAPI_REQ && m->cmsg.CIPmask == 0;
    }));
    EXPECT_TRUE(exchange_.waitUntil([&] {
        peer.pump(20);
        return peer.closed();
    }));
    const std::string errors = program_->errors();
    EXPECT_NE(errors.find("Closing down - please wait"), std::string::npos) << errors;

    const auto calls = savedCalls(home());
    ASSERT_TRUE(calls) << "call table does not load";
    EXPECT_TRUE(callFrom(*calls, "0301234567"));
    platform::RegNode root;
    EXPECT_TRUE(platform::Hive((home() / "orvelin.reg").string()).load(root).ok());
    EXPECT_TRUE(fs::exists(home() / "ispbk.dbf"));
}

TEST_F(CallHandling, KillInTheMiddleOfACallLeavesACallTableThatLoads) {
    start();
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(exchange_.ring(call("030555000" + std::to_string(i), "456")), 0u);
    }
    ASSERT_TRUE(waitSaved("0305550002", [](const TCallRecord&) { return true; }));
    ASSERT_EQ(kill(program_->pid(), SIGKILL), 0);
    int status = 0;
    ASSERT_TRUE(program_->waitExit(kLimit, status));
    const auto calls = savedCalls(home());
    ASSERT_TRUE(calls) << "call table does not load";
    EXPECT_EQ(calls->size(), 3u);
    EXPECT_EQ(fs::file_size(orvelin::client::callTablePath(home().string() + "/")),
              CallRing::fileSize(kRingSize));
}

TEST_F(CallHandling, ReceivedTextMessageIsListedSavedAndSentToPeers) {
    start();
    LinkPeer peer(linkPort_);
    ASSERT_TRUE(peer.connected());
    peer.pump(2000);  // the greeting

    isdnsim::CallSetup s = call("0171999", "456");
    const std::string text = "Gr\xE4" "nde at 8";  // Windows-1252, as sent
    s.userUserData = {0x04};
    for (char c : text) s.userUserData.push_back(std::uint8_t(c));  // GCC 12: no range insert
    ASSERT_NE(exchange_.ring(s), 0u);

    EXPECT_TRUE(program_->waitForError("from 0171999  SMS")) << program_->errors();
    EXPECT_TRUE(waitSaved("0171999", [](const TCallRecord& r) {
        return r.state == 10 && r.comment.view() == "Gr\xC3\xA4nde at 8";
    })) << program_->errors();
    EXPECT_TRUE(program_->waitFor(kLimit, [&] {
        peer.pump(50);
        return std::any_of(peer.calls().begin(), peer.calls().end(), [&](const LinkPeer::Call& c) {
            return c.state == 10 && c.text.find("; " + text + "; ") != std::string::npos;
        });
    })) << "peer got " << peer.calls().size() << " records";
}

}  // namespace
