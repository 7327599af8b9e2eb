// The scenario format of the isdnsim program and its playback against the layer.
#include <set>
#include <sstream>
#include <thread>

#include "tests/capi/support.h"
#include "tools/isdnsim/scenario.h"

namespace capitest {
namespace {

TEST(Scenario, ParsesSetUpAndSteps) {
    std::istringstream in(R"(# two controllers, the second without fax
port 5400
controller bchannels 2
controller bchannels 1 fax no
manufacturer "Sim Exchange"
wait listen timeout 5
ring from 0301234567 restricted to 456 cip 16 uud "hello there"
wait alert
play tone 0.5
dtmf 12#
hangup reason 0x3490   # caller hangs up
)");
    auto sc = isdnsim::parseScenario(in);
    EXPECT_EQ(sc.options.port, 5400);
    ASSERT_EQ(sc.options.controllers.size(), 2u);
    EXPECT_EQ(sc.options.controllers[1].bChannels, 1);
    EXPECT_EQ(sc.options.controllers[1].b3Protocols & 0x10, 0u);
    EXPECT_NE(sc.options.controllers[0].b3Protocols & 0x10, 0u);
    EXPECT_EQ(sc.options.manufacturer, "Sim Exchange");
    ASSERT_EQ(sc.steps.size(), 6u);
    EXPECT_EQ(sc.steps[1].command, "ring");
    EXPECT_EQ(sc.steps[1].words.back(), "hello there");
    EXPECT_EQ(sc.steps[5].line, 11);
}

TEST(Scenario, ErrorsNameTheLine) {
    auto error = [](const std::string& text) {
        std::istringstream in(text);
        try {
            isdnsim::parseScenario(in);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(error("\n\nfly away\n"), "line 3: unknown command fly");
    EXPECT_EQ(error("port 40000\n"), "line 1: port above 32767");
    EXPECT_EQ(error("ring to 456 cip x\n"), "line 1: not a number: x");
    EXPECT_EQ(error("ring from 1 to 2 uud \"open\n"), "line 1: unclosed quote");
    EXPECT_EQ(error("wait forever\n"), "line 1: wait listen|alert|answer|connected|cleared");
    EXPECT_EQ(error("pause -1\n"), "line 1: not a duration: -1");
    EXPECT_EQ(error("ring from 1\n"), "line 1: ring ... to NUMBER");
}

TEST(Scenario, ToneIsLineAudioOfTheRightLength) {
    auto tone = isdnsim::toneALaw(0.5);
    EXPECT_EQ(tone.size(), 4000u);
    std::set<uint8_t> distinct(tone.begin(), tone.end());
    EXPECT_GT(distinct.size(), 10u);
}

TEST_F(ExchangeTest, ScenarioRingsTheLayerAndFollowsTheCall) {
    ASSERT_EQ(capi::Listen(1, 1, 1, 0x10012), 0u);
    std::istringstream in(R"(wait listen
ring from 0301234567 to 456 uud "hi"
wait alert timeout 10
dtmf 7
hangup reason 0x3490
wait cleared timeout 10
)");
    auto sc = isdnsim::parseScenario(in);
    std::ostringstream log;
    EXPECT_TRUE(isdnsim::playScenario(ex, sc, log)) << log.str();
    auto calls = win->of(platform::WM_CAPI_INCOMING_CALL);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].as<capi::IncomingCallInfo>()->CalledNumber, "456");
    EXPECT_TRUE(win->waitState(calls[0].connection, capi::Disconnected));
    EXPECT_NE(log.str().find("line 5: hangup reason 0x3490"), std::string::npos);

    // Nobody answers: the wait times out and says so.
    std::istringstream unanswered("ring to 457\nwait answer timeout 0.2\n");
    std::ostringstream log2;
    EXPECT_FALSE(isdnsim::playScenario(ex, isdnsim::parseScenario(unanswered), log2));
    EXPECT_NE(log2.str().find("line 2: timed out waiting for answer"), std::string::npos);
}

}  // namespace
}  // namespace capitest
