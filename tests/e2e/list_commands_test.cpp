// Commands on the call list of the real program, worked through its context menu by the
// preloaded UI driver, with a peer of the instance link watching.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e/e2e_calls.h"
#include "tools/isdnsim/isdnsim.h"

namespace {

using namespace e2e;

class ListCommands : public testing::Test {
  protected:
    void SetUp() override {
        linkPort_ = freePort();
        fs::create_directories(home());
        char port[16];
        std::snprintf(port, sizeof port, "%08x", unsigned(linkPort_));
        // A ring of five calls, so six calls fill it.
        std::ofstream(home() / "orvelin.reg")
            << "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN]\n\"HostPort\"=dword:"
            << port
            << "\n\"MaxCalls\"=dword:00000005\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\MSN\\Numbers]\n\"MSN1\"=\"456\"\n";
        std::ofstream(steps()).flush();
    }

    fs::path home() const { return dir_.path() / "home"; }
    fs::path steps() const { return dir_.path() / "steps.txt"; }
    void step(const std::string& line) { std::ofstream(steps(), std::ios::app) << line << "\n"; }

    void start() {
        std::vector<std::string> env = uiDriverEnv(steps());
        env.push_back("ORVELIN_CAPI_REMOTE=127.0.0.1:" + std::to_string(exchange_.port()));
        program_ = std::make_unique<Program>(dir_.path(), env);
        ASSERT_TRUE(program_->waitForError("watching the lines")) << program_->errors();
    }

    // A call from `caller` that is listed, then cleared by the caller.
    void call(const std::string& caller) {
        isdnsim::CallSetup s;
        s.calling = caller;
        s.called = "456";
        const std::uint32_t plci = exchange_.ring(s);
        ASSERT_NE(plci, 0u);
        ASSERT_TRUE(program_->waitForError("from " + caller)) << program_->errors();
        ASSERT_TRUE(exchange_.hangUp(plci, 0x3490));
    }

    // The callers in the call-table file, in the order a start lists them (oldest first);
    // with `cleared`, only once every one of them has its clearing saved.
    std::vector<std::string> savedCallers(bool cleared = false) {
        CallRing ring(5);
        std::vector<std::string> out;
        if (!orvelin::client::loadCallTable(
                orvelin::client::callTablePath(home().string() + "/"), ring, {}))
            return out;
        for (std::uint32_t i : ring.walkOrder())
            if (ring.at(i).inUse()) {
                if (cleared && ring.at(i).reason == 0) return {};
                out.emplace_back(ring.at(i).callerNumber.view());
            }
        return out;
    }

    TempDir dir_;
    isdnsim::Exchange exchange_;
    std::uint16_t linkPort_ = 0;
    std::unique_ptr<Program> program_;
};

TEST_F(ListCommands, RemoveEntryInAFullRingTellsNoPeer) {
    start();
    for (int i = 1; i <= 6; ++i) call("03011" + std::to_string(i));
    // Every clearing done, so nothing of those calls is still on its way to a peer.
    ASSERT_TRUE(program_->waitFor(kLimit, [&] {
        return savedCallers(true) == std::vector<std::string>{"030113", "030114", "030115", "030116"};
    })) << program_->errors();

    LinkPeer peer(linkPort_);
    ASSERT_TRUE(peer.connected());
    // The top row, the newest call.
    step("menu &Remove entry");
    ASSERT_TRUE(program_->waitForError("ui-driver: done 1 ")) << program_->errors();
    EXPECT_TRUE(program_->waitFor(kLimit, [&] {
        return savedCallers() == std::vector<std::string>{"030113", "030114", "030115"};
    })) << program_->errors();
    // Nothing arrives: the peer keeps only what it was sent before.
    for (int i = 0; i < 30; ++i) peer.pump(50);
    EXPECT_FALSE(peer.closed());
    EXPECT_TRUE(peer.calls().empty()) << peer.calls().size() << " records sent again";

    // The same peer hears of the next call: it was listening all along.
    call("030117");
    EXPECT_TRUE(program_->waitFor(kLimit, [&] {
        peer.pump(50);
        return std::any_of(peer.calls().begin(), peer.calls().end(),
                           [](const LinkPeer::Call& c) { return c.text.find("030117") != std::string::npos; });
    })) << peer.calls().size() << " records";
}

}  // namespace
