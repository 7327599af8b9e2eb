#include "platform/service_manager.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCursor>
#include <QGuiApplication>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/message_box.h"
#include "platform/paths.h"
#include "platform/spawn.h"

namespace platform {

namespace {

std::string trimmed(std::string text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && blank(text.back())) text.pop_back();
    std::size_t first = 0;
    while (first < text.size() && blank(text[first])) ++first;
    return text.substr(first);
}

// What the manager said about a failed run, for the box.
std::string failureText(const CapturedRun& run, const std::string& program) {
    if (!run.started) return run.error;
    if (run.timedOut) return program + " did not answer in time";
    const std::string said = trimmed(run.err);
    if (!said.empty()) return said;
    if (WIFEXITED(run.status)) return program + " ended with status " + std::to_string(WEXITSTATUS(run.status));
    return program + " was ended by signal " + std::to_string(WTERMSIG(run.status));
}

class WaitCursor {
  public:
    WaitCursor() : shown_(qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr) {
        if (shown_) QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    }
    ~WaitCursor() {
        if (shown_) QGuiApplication::restoreOverrideCursor();
    }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

  private:
    bool shown_;
};

}  // namespace

std::string systemctlProgram() {
    const char* v = std::getenv("ORVELIN_SYSTEMCTL");
    return v && *v ? v : "systemctl";
}

std::string serviceManagerBootMarker() {
    const char* v = std::getenv("ORVELIN_SYSTEMCTL");
    return v && *v ? std::string() : std::string("/run/systemd/system");
}

std::string installedUnitFile() {
    return installedUnitFileFor(libraryDirectory());
}

std::string installedUnitFileFor(const std::string& library) {
    constexpr std::string_view installed = "/lib/orvelin/";
    if (library.size() < installed.size() ||
        library.compare(library.size() - installed.size(), installed.size(), installed) != 0)
        return {};
    return library.substr(0, library.size() - std::string_view("orvelin/").size()) +
           "systemd/system/" + kServiceUnit;
}

ServiceManager::ServiceManager(std::string systemctl, Box box, std::chrono::milliseconds limit,
                               std::string unitFile, std::string bootMarker)
    : systemctl_(std::move(systemctl)), box_(std::move(box)), limit_(limit),
      unitFile_(std::move(unitFile)), bootMarker_(std::move(bootMarker)) {}

void ServiceManager::fail(const std::string& text, const char* caption) const {
    if (box_) box_(text, caption);
    else messageBox(text, caption, BoxButtons::Ok, BoxIcon::Error);
}

ServiceManager::Unit ServiceManager::openUnit(std::string& why) {
    const CapturedRun run =
        runCaptured({systemctl_, "show", "--property=LoadState", "--value", kServiceUnit}, limit_);
    if (!run.exitedWith(0)) {
        why = failureText(run, systemctl_);
        return Unit::NoManager;
    }
    const std::string state = trimmed(run.out);
    if (state == "loaded") return Unit::Loaded;
    if (state == "not-found") {
        why = std::string("Unit ") + kServiceUnit + " not found.";
        return Unit::Missing;
    }
    why = std::string("Unit ") + kServiceUnit + " cannot be used (load state \"" +
          state.substr(0, 64) + "\").";
    return Unit::Unusable;
}

bool ServiceManager::change(const char* verb, const std::string& unit, std::string& why) {
    const CapturedRun run = runCaptured({systemctl_, verb, unit}, limit_);
    if (run.exitedWith(0)) return true;
    // Most often the rights are missing: the user can do it by hand.
    why = failureText(run, systemctl_) + "\n\nTo do it by hand, as root: systemctl " + verb +
          " " + unit;
    return false;
}

int ServiceManager::InstallService() {
    WaitCursor wait;
    std::string why;
    std::string unit = kServiceUnit;
    switch (openUnit(why)) {
        case Unit::NoManager:
            fail(why, "Could not open Service Control Manager");
            return 1;
        case Unit::Unusable:
            fail(why, "Could not open service");
            return 2;
        case Unit::Missing:
            if (unitFile_.empty() || access(unitFile_.c_str(), R_OK) != 0) {
                fail(why + " Install the program (cmake --install, or the Debian package), "
                           "then, as root: systemctl enable " + kServiceUnit,
                     "Could not create service");
                return 3;
            }
            // Enabling by path links the unit file into the manager's search path.
            unit = unitFile_;
            break;
        case Unit::Loaded:
            break;
    }
    if (!change("enable", unit, why)) {
        fail(why, "Could not change service");
        return 4;
    }
    return 0;
}

int ServiceManager::DisableService() {
    WaitCursor wait;
    std::string why;
    switch (openUnit(why)) {
        case Unit::NoManager:
            fail(why, "Could not open Service Control Manager");
            return 1;
        case Unit::Missing:
            return 0;  // nothing starts it at boot
        case Unit::Unusable:
            fail(why, "Could not open service");
            return 4;
        case Unit::Loaded:
            break;
    }
    if (!change("disable", kServiceUnit, why)) {
        fail(why, "Could not change service");
        return 5;
    }
    return 0;
}

int ServiceManager::QueryServiceAutoStart() {
    // The query runs before every options dialog: a machine the manager did not start
    // (another init, a container) is a plain "does not start at boot", not a box each time.
    struct stat st {};
    if (!bootMarker_.empty() && (stat(bootMarker_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
        return 0;
    WaitCursor wait;
    std::string why;
    switch (openUnit(why)) {
        case Unit::NoManager:
            fail(why, "Could not open service manager");
            return 2;
        case Unit::Missing:
            return 0;  // not installed, so it does not start at boot
        case Unit::Unusable:
            fail(why, "Could not open service");
            return 2;
        case Unit::Loaded:
            break;
    }
    // is-enabled ends with 1 for a unit that is not enabled: its answer is the text.
    const CapturedRun run = runCaptured({systemctl_, "is-enabled", kServiceUnit}, limit_);
    const std::string state = run.started && !run.timedOut ? trimmed(run.out) : std::string();
    if (state.empty() || state.find('\n') != std::string::npos) {
        fail(failureText(run, systemctl_), "Could not query service");
        return 2;
    }
    return state == "enabled" ? 1 : 0;
}

}  // namespace platform
