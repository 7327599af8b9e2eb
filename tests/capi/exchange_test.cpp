// The layer against the simulated exchange through the real libcapi20 remote driver.
#include <thread>

#include "tests/capi/support.h"

namespace capitest {
namespace {

using isdnsim::Bytes;
using isdnsim::CallSpec;
using isdnsim::Message;
using platform::WM_CAPI_DATA_SENT;
using platform::WM_CAPI_INCOMING_CALL;
using platform::WM_CAPI_STATE_CHANGED;

bool isMsg(const Message& m, uint8_t cmd, uint8_t sub) {
    return m.command() == cmd && m.subcommand() == sub;
}

TEST_F(ExchangeTest, ListenSendsTheConfiguredMasksPerController) {
    EXPECT_EQ(capi::Listen(1, 2, 0x18, 0x10012), 0u);
    auto first = ex.waitFor(CAPI_LISTEN, CAPI_REQ);
    ASSERT_TRUE(first);
    auto second = ex.waitFor([](const Message& m) { return isMsg(m, CAPI_LISTEN, CAPI_REQ) && m.address() == 2; });
    ASSERT_TRUE(second);
    for (auto& m : {first, second}) {
        EXPECT_EQ(m->cmsg.InfoMask, 0x18u);
        EXPECT_EQ(m->cmsg.CIPmask, 0x10012u);
        EXPECT_EQ(m->cmsg.CIPmask2, 0u);
        EXPECT_EQ(m->number(), 0);
    }
    EXPECT_EQ(first->address(), 1u);
    EXPECT_EQ(capi::Listen(2, 1, 1, 1), 0x1009u);

    // The exchange refuses a controller it does not have.
    EXPECT_EQ(capi::Listen(3, 3, 1, 0x10012), 0u);
    EXPECT_TRUE(WaitLog("Error: CAPI Listen not activated. Could be caused by incorrect Info Mask or CIP value."));
}

}  // namespace
}  // namespace capitest
