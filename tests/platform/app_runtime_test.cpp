// The choice of the headless platform from the environment.
#include "platform/app_runtime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "tests/support/qt_environment.h"

namespace {

// Sets the three variables for one case and restores them afterwards.
class DisplayEnv {
  public:
    DisplayEnv(const char* display, const char* wayland, const char* platform) {
        for (const char* name : kNames) {
            const char* v = std::getenv(name);
            saved_[name] = v ? std::optional<std::string>(v) : std::nullopt;
        }
        set("DISPLAY", display);
        set("WAYLAND_DISPLAY", wayland);
        set("QT_QPA_PLATFORM", platform);
    }
    ~DisplayEnv() {
        for (auto& [name, value] : saved_) set(name.c_str(), value ? value->c_str() : nullptr);
    }
    static std::string platform() {
        const char* v = std::getenv("QT_QPA_PLATFORM");
        return v ? v : "<unset>";
    }

  private:
    static void set(const char* name, const char* value) {
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    static constexpr const char* kNames[] = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST(AppRuntime, OffscreenOnlyWithoutDisplayAndWithoutExplicitPlatform) {
    {
        DisplayEnv env(nullptr, nullptr, nullptr);
        EXPECT_TRUE(platform::chooseHeadlessPlatform());
        EXPECT_EQ(DisplayEnv::platform(), "offscreen");
    }
    {
        DisplayEnv env("", "", nullptr);  // empty counts as unset
        EXPECT_TRUE(platform::chooseHeadlessPlatform());
        EXPECT_EQ(DisplayEnv::platform(), "offscreen");
    }
    {
        DisplayEnv env(":0", nullptr, nullptr);
        EXPECT_FALSE(platform::chooseHeadlessPlatform());
        EXPECT_EQ(DisplayEnv::platform(), "<unset>");
    }
    {
        DisplayEnv env(nullptr, "wayland-0", nullptr);
        EXPECT_FALSE(platform::chooseHeadlessPlatform());
        EXPECT_EQ(DisplayEnv::platform(), "<unset>");
    }
    {
        DisplayEnv env(nullptr, nullptr, "xcb");  // the user's choice stands
        EXPECT_FALSE(platform::chooseHeadlessPlatform());
        EXPECT_EQ(DisplayEnv::platform(), "xcb");
    }
}

}  // namespace
