// The program's service under the system's service manager: the unit shipped in dist/,
// enabled to start at boot or disabled, through systemctl. ORVELIN_SYSTEMCTL names
// another program to ask (tests put a fake there).
//
// Results and box captions are fixed: every failure shows a box whose text is what the
// manager said and whose caption names the step that failed. The wait cursor is shown
// while the manager is asked.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace platform {

inline constexpr const char* kServiceUnit = "orvelin.service";

// ORVELIN_SYSTEMCTL when set, else "systemctl" from PATH.
std::string systemctlProgram();
// The directory that exists when the manager started this machine; empty when
// ORVELIN_SYSTEMCTL names another program, which then answers for the manager alone.
std::string serviceManagerBootMarker();

// The unit file installed with the program (<prefix>/lib/systemd/system/orvelin.service
// beside <prefix>/bin/orvelin); empty for a program that was not installed.
std::string installedUnitFile();
// The same for a library directory (platform/paths.h).
std::string installedUnitFileFor(const std::string& libraryDirectory);

class ServiceManager {
  public:
    using Box = std::function<void(const std::string& text, const std::string& caption)>;

    // `box` empty: a message box (logged when headless). `unitFile`: the file enabled
    // when the manager knows no such unit. `bootMarker`: see serviceManagerBootMarker().
    explicit ServiceManager(std::string systemctl = systemctlProgram(), Box box = {},
                            std::chrono::milliseconds limit = std::chrono::seconds(90),
                            std::string unitFile = installedUnitFile(),
                            std::string bootMarker = serviceManagerBootMarker());

    // Start at boot: the known unit is enabled, or else the installed unit file is linked
    // and enabled. Without the rights (root, or what the system's policy allows) the box
    // says what to run. 0 done; 1 "Could not open Service Control Manager"; 2 "Could not
    // open service" (the unit cannot be loaded); 3 "Could not create service" (no such
    // unit, no unit file); 4 "Could not change service".
    int InstallService();
    // No start at boot (the unit stays). 0 done, also when there is no such unit; 1 "Could
    // not open Service Control Manager"; 4 "Could not open service"; 5 "Could not change
    // service".
    int DisableService();
    // 1 starts at boot, 0 does not (also when no such unit is installed, or when the
    // machine was not started by the service manager: nothing starts the unit then); 2 on
    // any other failure ("Could not open service manager", "Could not open service",
    // "Could not query service").
    int QueryServiceAutoStart();

  private:
    enum class Unit { Loaded, Missing, Unusable, NoManager };
    Unit openUnit(std::string& why);
    bool change(const char* verb, const std::string& unit, std::string& why);
    void fail(const std::string& text, const char* caption) const;

    std::string systemctl_;
    Box box_;
    std::chrono::milliseconds limit_;
    std::string unitFile_;
    std::string bootMarker_;
};

}  // namespace platform
