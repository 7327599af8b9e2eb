// The driver binding: absent-driver values, registration and profile queries.
#include <stdlib.h>

#include <cstring>
#include <future>

#include "tests/capi/support.h"

namespace capitest {
namespace {

class UnboundDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        capi::SetCapiLogPath(TestDir() + "/binding.txt");
        std::remove(capi::CapiLogPath().c_str());
        capi::FreeCapiDll();
    }
    void TearDown() override { capi::LoadCapiDll(); }
};

TEST_F(UnboundDriverTest, EveryWrapperGivesItsAbsentValue) {
    unsigned error = 0;
    EXPECT_EQ(capi::CAPI20_Register(3072, 2, 7, 2048, &error), 0);
    EXPECT_EQ(error, 0x1009u);
    EXPECT_EQ(capi::CAPI20_Release(1), 0x1109u);
    unsigned char msg[32] = {};
    unsigned char* out = nullptr;
    EXPECT_EQ(capi::CAPI20_PutMessage(msg, 1), 0x1109u);
    EXPECT_EQ(capi::CAPI20_GetMessage(1, &out), 0x1109u);
    timeval tv{0, 0};
    EXPECT_EQ(capi::CAPI20_WaitForSignal(1, &tv), 0x1109u);
    unsigned char buf[64];
    EXPECT_EQ(capi::CAPI20_GetManufacturer(buf), nullptr);
    EXPECT_EQ(capi::CAPI20_GetVersion(buf), nullptr);
    EXPECT_EQ(capi::CAPI20_GetSerialNumber(buf), nullptr);
    EXPECT_EQ(capi::CAPI20_GetProfile(1, buf), 0x1109u);
    EXPECT_FALSE(capi::CAPI20_IsInstalled());
    EXPECT_EQ(capi::CAPI20_FileNo(1), -1);
    EXPECT_EQ(capi::GetNumberOfControllers(), 0);
    EXPECT_EQ(capi::GetNumberOfBChannels(1), 0);
    EXPECT_EQ(capi::GetFreeController(), -1);

    EXPECT_EQ(capi::RegisterCAPI(std::make_shared<RecordingTarget>(), 2048), 0);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Error: ISDN-driver not installed"});
}

TEST_F(UnboundDriverTest, ConnectWhosePutFailsGivesBackItsSlot) {
    capi::ResetConnectionsForTesting();
    int id = 3;
    EXPECT_EQ(
        capi::Connect(&id, "123", "456", 1, 1, 1, 0, nullptr, nullptr, nullptr, nullptr, nullptr),
        0x1109u);
    EXPECT_EQ(id, -1);
    EXPECT_FALSE(capi::IsConnectionInUse(0));
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Connect: error in CAPI_PUT_MESSAGE"});
    // Numbers too long for a CAPI struct are refused before a slot is taken.
    std::string longNumber(300, '1');
    EXPECT_EQ(capi::Connect(&id, longNumber.c_str(), nullptr, 1, 1, 1, 0, nullptr, nullptr, nullptr,
                            nullptr, nullptr),
              0x2007u);
    EXPECT_EQ(id, -1);
    EXPECT_EQ(capi::Listen(1, 1, 1, 1), 0x1109u);

    // Disconnect sends by state; an attempted put shows as 0x1109 here.
    int slot = capi::AllocConnection();
    for (int state : {capi::Disconnected, capi::D_DisconnectPending}) {
        capi::SetConnectionState(slot, state);
        EXPECT_EQ(capi::Disconnect(slot), 0u) << state;
        EXPECT_EQ(capi::GetOurInitiative(slot), 0);
    }
    for (int state : {capi::D_ConnectPending, capi::D_Connected, capi::B_ConnectPending,
                      capi::Connected, capi::B_DisconnectPending}) {
        capi::SetOurInitiative(slot, 0);
        capi::SetConnectionState(slot, state);
        EXPECT_EQ(capi::Disconnect(slot), 0x1109u) << state;
        EXPECT_EQ(capi::GetOurInitiative(slot), 1);
        EXPECT_EQ(capi::GetConnectionState(slot), state);  // only confirmations move it
    }
}

TEST_F(ExchangeTest, ProfileAndIdentityOfTheControllers) {
    EXPECT_EQ(capi::GetNumberOfControllers(), 2);
    EXPECT_EQ(capi::GetNumberOfBChannels(1), 2);
    EXPECT_EQ(capi::GetNumberOfBChannels(-1), 0);
    EXPECT_EQ(capi::GetNumberOfBChannels(9), 0);  // no such controller: the call fails
    unsigned char profile[64] = {};
    ASSERT_EQ(capi::CAPI20_GetProfile(1, profile), 0u);
    auto mask = [&](int off) {
        return uint32_t(profile[off]) | uint32_t(profile[off + 1]) << 8 |
               uint32_t(profile[off + 2]) << 16 | uint32_t(profile[off + 3]) << 24;
    };
    EXPECT_EQ(mask(4) & 0x3F, 0x01u);
    for (int off : {8, 12, 16}) EXPECT_TRUE(mask(off) & 0x10) << "fax on controller 1";
    ASSERT_EQ(capi::CAPI20_GetProfile(2, profile), 0u);
    EXPECT_FALSE(mask(8) & 0x10);

    unsigned char text[64];
    ASSERT_NE(capi::CAPI20_GetManufacturer(text, 1), nullptr);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "Test Exchange");
    unsigned char version[4];
    ASSERT_NE(capi::CAPI20_GetVersion(version, 1), nullptr);
    EXPECT_EQ(std::vector<int>(version, version + 4), (std::vector<int>{2, 0, 1, 0}));
    unsigned char serial[8];
    ASSERT_NE(capi::CAPI20_GetSerialNumber(serial, 1), nullptr);
    EXPECT_STREQ(reinterpret_cast<char*>(serial), "7654321");
    EXPECT_TRUE(capi::CAPI20_IsInstalled());
    EXPECT_GE(capi::CAPI20_FileNo(capi::ApplId()), 0);
    EXPECT_NE(capi::ApplId(), 0);  // its value is the driver's business

    // The registration kept the same for each controller.
    for (int c : {1, 2}) {
        SCOPED_TRACE(c);
        auto info = capi::RegisteredController(c);
        ASSERT_TRUE(info);
        ASSERT_EQ(capi::CAPI20_GetProfile(unsigned(c), profile), 0u);
        EXPECT_TRUE(std::equal(info->profile.begin(), info->profile.end(), profile));
        EXPECT_EQ(info->manufacturer, "Test Exchange");
        EXPECT_EQ(info->serial, "7654321");
        EXPECT_EQ(std::vector<int>(info->version.begin(), info->version.end()),
                  (std::vector<int>{2, 0, 1, 0}));
    }
    EXPECT_FALSE(capi::RegisteredController(0));
    EXPECT_FALSE(capi::RegisteredController(3));
}

// A driver that stops answering its operations: what the window asks after the
// registration is answered without it, and a text message still goes out.
TEST_F(ExchangeTest, AStalledDriverNeverHoldsTheControllerQueries) {
    ex.configure([](isdnsim::Options& o) { o.stallOperations = true; });
    size_t mark = ex.messageCount();
    auto asked = std::async(std::launch::async, [] {
        std::vector<int> got{capi::GetNumberOfControllers(), capi::GetNumberOfBChannels(1),
                             capi::GetNumberOfBChannels(2), capi::GetFreeController(),
                             capi::RegisteredController(2) ? 1 : 0};
        int id = -1;
        got.push_back(int(capi::Connect(&id, "0190", "456", 1, 1, 1, 0, nullptr, nullptr, nullptr,
                                        nullptr, nullptr)));
        return got;
    });
    const bool done = asked.wait_for(3s) == std::future_status::ready;
    ex.configure([](isdnsim::Options& o) { o.stallOperations = false; });
    EXPECT_TRUE(done) << "a query waited for the driver";
    EXPECT_EQ(asked.get(), (std::vector<int>{2, 2, 2, 1, 1, 0}));
    auto req = ex.waitFor(CAPI_CONNECT, CAPI_REQ, mark);
    ASSERT_TRUE(req);
    EXPECT_EQ(req->address(), 1u);
}

TEST_F(ExchangeTest, FreeControllerIsTheFirstWithAnIdleBChannel) {
    ASSERT_EQ(capi::Listen(1, 1, 1, 0x10012), 0u);
    ASSERT_TRUE(ex.waitFor(CAPI_LISTEN, CAPI_REQ));
    EXPECT_EQ(capi::GetFreeController(), 1);
    ring(isdnsim::CallSetup{});
    EXPECT_EQ(capi::CountConnectionsOnController(1), 1);
    EXPECT_EQ(capi::GetFreeController(), 1);
    ring(isdnsim::CallSetup{});
    EXPECT_EQ(capi::CountConnectionsOnController(1), 2);
    EXPECT_EQ(capi::GetFreeController(), 2);
    EXPECT_EQ(capi::CountConnectionsOnController(-1), 0);
}

TEST_F(UnboundDriverTest, ExchangeAddressFromTheEnvironment) {
    uint16_t port = TheExchange().port();
    ::setenv("ORVELIN_CAPI_REMOTE", "localhost:1234", 1);
    capi::LoadCapiDll();
    EXPECT_STREQ(capi20ext_get_driver(), "rcapi");
    EXPECT_STREQ(capi20ext_get_host(), "localhost");
    EXPECT_EQ(capi20ext_get_port(), 1234);
    capi::FreeCapiDll();
    for (const char* bad : {"localhost", "localhost:", "localhost:99999", "localhost:12x"}) {
        ::setenv("ORVELIN_CAPI_REMOTE", bad, 1);
        capi::LoadCapiDll();
        EXPECT_EQ(capi20ext_get_port(), 1234) << bad;
        capi::FreeCapiDll();
    }
    ::unsetenv("ORVELIN_CAPI_REMOTE");
    capi::SetRemoteExchange("127.0.0.1", port);
}

// Registration failures, each with its log line.
TEST(Registration, FailuresAreLoggedAndGiveNoControllers) {
    auto& ex = TheExchange();
    capi::SetCapiLogPath(TestDir() + "/register.txt");
    std::remove(capi::CapiLogPath().c_str());
    ASSERT_EQ(capi::LoadCapiDll(), 1);
    auto target = std::make_shared<RecordingTarget>();

    ex.configure([](isdnsim::Options& o) { o.profileInfo = 0x2002; });
    EXPECT_EQ(capi::GetNumberOfControllers(), 0);
    EXPECT_EQ(capi::GetNumberOfBChannels(1), 0);
    EXPECT_EQ(capi::RegisterCAPI(target, 2048), 0);

    ex.configure([](isdnsim::Options& o) {
        o.profileInfo = 0;
        o.registerInfo = 0x1001;
    });
    EXPECT_EQ(capi::RegisterCAPI(target, 2048), 0);
    ex.configure([](isdnsim::Options& o) { o.registerInfo = 0; });

    capi::ReleaseCAPI();  // nothing registered: the driver refuses
    auto lines = LogLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Error: No ISDN-controller installed");
    EXPECT_EQ(lines[1],
              "Error: 0x1008 registering the application with id: 0x0000 in function "
              "RegisterCAPI");
    EXPECT_EQ(lines[2].rfind("Error: 0x", 0), 0u);
    EXPECT_NE(lines[2].find(" deregistering the application in function ReleaseCAPI Id: 0x0000"),
              std::string::npos);
}

}  // namespace
}  // namespace capitest
