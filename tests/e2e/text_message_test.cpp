// Text messages from the real program to the simulated exchange, headless, with the
// call list's menu and the prompts worked by the preloaded UI driver.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tools/isdnsim/isdnsim.h"

namespace {

using namespace e2e;

std::string structText(const unsigned char* s) {
    const isdnsim::Bytes b = isdnsim::Message::content(s);
    return std::string(b.begin(), b.end());
}

class TextMessages : public testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir_.path() / "home");
        // Default text-message settings; the Info Mask asks for user-user data and call
        // progress, without which the Send commands stay disabled.
        std::ofstream(dir_.path() / "home" / "orvelin.reg")
            << "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN]\n\"HostPort\"=dword:00000000\n"
               "\"Info Mask\"=dword:00000018\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\MSN\\Numbers]\n\"MSN1\"=\"456\"\n";
        std::ofstream(steps()).flush();
    }

    fs::path steps() const { return dir_.path() / "steps.txt"; }
    void step(const std::string& line) { std::ofstream(steps(), std::ios::app) << line << "\n"; }
    bool stepsDone(int n) {
        return program_->waitForError("ui-driver: done " + std::to_string(n) + " ");
    }

    void start() {
        std::vector<std::string> env = uiDriverEnv(steps());
        env.push_back("ORVELIN_CAPI_REMOTE=127.0.0.1:" + std::to_string(exchange_.port()));
        program_ = std::make_unique<Program>(dir_.path(), env);
        ASSERT_TRUE(program_->waitForError("watching the lines")) << program_->errors();
    }

    // Rings from `caller` and waits until the call is listed.
    void listedCall(const std::string& caller) {
        isdnsim::CallSetup s;
        s.calling = caller;
        s.called = "456";
        ASSERT_NE(exchange_.ring(s), 0u);
        ASSERT_TRUE(program_->waitForError("from " + caller)) << program_->errors();
    }

    isdnsim::MessagePtr connectRequest(std::size_t from = 0) {
        return exchange_.waitFor(CAPI_CONNECT, CAPI_REQ, from, kLimit);
    }

    TempDir dir_;
    isdnsim::Exchange exchange_;
    std::unique_ptr<Program> program_;
};

// A menu command that sends a text: what reaches the service, and how its answer is reported.
struct Sent {
    const char* name;
    std::uint16_t serviceReason;  // the service centre's clearing
    const char* caller;
    std::vector<std::string> steps;
    std::string called, userData, report;
};

void PrintTo(const Sent& s, std::ostream* os) { *os << s.name; }

class TextSent : public TextMessages, public testing::WithParamInterface<Sent> {};

TEST_P(TextSent, ReachesTheServiceAndIsReported) {
    const Sent& c = GetParam();
    exchange_.configure([&](isdnsim::Options& o) { o.serviceCentre = {{c.serviceReason}}; });
    start();
    listedCall(c.caller);
    for (const std::string& s : c.steps) step(s);
    const auto req = connectRequest();
    ASSERT_TRUE(req) << program_->errors();
    EXPECT_EQ(structText(req->cmsg.CalledPartyNumber), "\x80" + c.called);
    EXPECT_EQ(structText(req->cmsg.Useruserdata), "\x04" + c.userData);
    EXPECT_EQ(req->cmsg.CIPValue, 1);
    EXPECT_TRUE(program_->waitForError(c.report)) << program_->errors();
}

INSTANTIATE_TEST_SUITE_P(
    Commands, TextSent,
    testing::Values(Sent{"HelloToACellularCallerIsDelivered", 0x3490, "91712345",
                         {"menu &Send message", "answer hello"}, "19100", "91712345 hello",
                         "Message delivered"},
                    Sent{"RequestInfoIsFixedAndItsFailureReported", 0x34A2, "0301234567",
                         {"menu Request info"}, "1999", "TLF 0301234567",
                         "Message could not be delivered"}),
    [](const testing::TestParamInfo<Sent>& info) { return std::string(info.param.name); });

TEST_F(TextMessages, AMessageNobodyReactsToIsHungUpAfterTenSecondsWithoutAReport) {
    exchange_.configure([](isdnsim::Options& o) { o.serviceCentre = isdnsim::Options::ServiceCentre{std::nullopt}; });
    start();
    listedCall("0301234567");
    step("menu &Send message");
    step("answer anyone there?");
    const auto req = connectRequest();
    ASSERT_TRUE(req) << program_->errors();
    ASSERT_TRUE(exchange_.waitUntil([&] { return exchange_.lastOutgoingCall() != 0; }));
    const std::uint32_t plci = exchange_.lastOutgoingCall();
    const auto hangUp = exchange_.waitFor(
        [&](const isdnsim::Message& m) {
            return m.command() == CAPI_DISCONNECT && m.subcommand() == CAPI_REQ && m.address() == plci;
        },
        0, std::chrono::seconds(40));
    ASSERT_TRUE(hangUp) << program_->errors();
    const auto waited = hangUp->received - req->received;
    EXPECT_GE(waited, std::chrono::milliseconds(9900));
    EXPECT_LT(waited, std::chrono::seconds(20));
    // The clearing that follows the time-out reports nothing.
    EXPECT_TRUE(exchange_.waitUntil([&] {
        return exchange_.callState(plci) == isdnsim::CallState::Cleared;
    }));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(program_->errors().find("Message delivered"), std::string::npos);
    EXPECT_EQ(program_->errors().find("Message could not"), std::string::npos) << program_->errors();
}

}  // namespace
