// The service option across the options dialog: which switch is made, what the user is
// told and what "Options" ends as, over every answer of the service manager.
#include "client/window/service_switch.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "settings/option_bits.h"

namespace orvelin::client {
namespace {

constexpr std::uint32_t kService = settings::OptionBits::RunAsService;
constexpr std::uint32_t kOther = 0x4010;  // bits the switch must carry over untouched
constexpr const char* kOnText =
    "The service setting will change after the computer has rebooted.\n\nYou should manually "
    "remove Orvelin from your startup group";
constexpr const char* kOffText =
    "The service setting will change after the computer has rebooted.\n\nYou should manually "
    "add Orvelin to your startup group";

TEST(ServiceSwitch, TheServicesRealStartTypeStandsForTheStoredBitWhenKnown) {
    struct Case {
        std::uint32_t stored;
        int query;
        std::uint32_t before;
    };
    const std::vector<Case> cases = {
        {kOther, 1, kOther | kService}, {kOther | kService, 0, kOther},
        {kOther | kService, 2, kOther | kService},  // unknown: the stored bit stands
        {kOther, 2, kOther},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "stored " << c.stored << " query " << c.query);
        EXPECT_EQ(optionsBeforeDialog(c.stored, c.query), c.before);
    }
}

struct SwitchCase {
    const char* name;
    std::uint32_t before, after;
    int install, disable, query;
    std::vector<std::string> calls;
    const char* told;                  // nullptr: nothing
    std::optional<std::uint32_t> stored;  // nullopt: "Options" left alone
};

TEST(ServiceSwitch, SwitchTellAndStoreFollowTheManagersResults) {
    const std::vector<SwitchCase> cases = {
        {"unchanged: nothing", kOther, kOther, 0, 0, 1, {}, nullptr, std::nullopt},
        {"other bits only: nothing", 0, kOther, 0, 0, 1, {}, nullptr, std::nullopt},
        {"on, installed, starts at boot", kOther, kOther | kService, 0, 0, 1,
         {"install", "query"}, kOnText, kOther | kService},
        {"on, installed, manager cannot say: bit clear", kOther, kOther | kService, 0, 0, 2,
         {"install", "query"}, kOnText, kOther},
        {"on, install failed: no reboot text", kOther, kOther | kService, 3, 0, 0,
         {"install", "query"}, nullptr, kOther},
        {"on, install failed, still at boot from before", kOther, kOther | kService, 4, 0, 1,
         {"install", "query"}, nullptr, kOther | kService},
        {"off, disabled", kOther | kService, kOther, 0, 0, 1, {"disable"}, kOffText, kOther},
        {"off, disable failed: no reboot text, bit clear", kOther | kService, kOther, 0, 5, 1,
         {"disable"}, nullptr, kOther},
    };
    for (const SwitchCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> calls;
        std::vector<std::string> told;
        std::optional<std::uint32_t> stored;
        ServiceSwitchPorts ports;
        ports.service.install = [&] {
            calls.push_back("install");
            return c.install;
        };
        ports.service.disable = [&] {
            calls.push_back("disable");
            return c.disable;
        };
        ports.service.queryAutoStart = [&] {
            calls.push_back("query");
            return c.query;
        };
        ports.tell = [&](const char* text) { told.push_back(text); };
        ports.store = [&](std::uint32_t options) { stored = options; };
        switchServiceAfterDialog(c.before, c.after, ports);
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(told, c.told ? std::vector<std::string>{c.told} : std::vector<std::string>{});
        EXPECT_EQ(stored, c.stored);
    }
}

TEST(ServiceSwitch, WithoutAServiceManagerTheOptionIsLeftAsSaved) {
    std::optional<std::uint32_t> stored;
    ServiceSwitchPorts ports;
    ports.tell = [](const char*) { ADD_FAILURE() << "told about a switch that was not made"; };
    ports.store = [&](std::uint32_t options) { stored = options; };
    switchServiceAfterDialog(0, kService, ports);
    EXPECT_EQ(stored, std::nullopt);
}

}  // namespace
}  // namespace orvelin::client
