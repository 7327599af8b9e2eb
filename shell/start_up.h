// The program's start and end, always in the same order, each step traced in the CAPI log:
//
//   "Starting app"; the single-instance lock (a second start says so and leaves);
//   processor affinity (before any thread); service registration, or speech allowed;
//   the application object; "Entering Run Loop"; the main window built and set up;
//   the event loop until the main window closes ("CleanupWindow" and the client's
//   clean-up run while it closes); "Exited Run Loop"; service unregistered; the
//   windows, the speech object and the application destroyed; the lock released.
//
// A terminating signal closes the main window the way the end of a session does: no
// question, then the same clean-up.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "client/window/service_switch.h"

namespace platform {
class AppRuntime;
}

namespace orvelin::shell {

// A line in the CAPI log (and on stderr when headless). The trace switch is always on.
void AppTrace(const std::string& text);

extern const char kSecondInstanceText[];

// A service process here is whatever the service manager started; there is nothing to
// register with. Both only note the request in the log and succeed.
bool RegisterAsServiceProcess();
bool UnregisterAsServiceProcess();

// The service manager for the client window: the shipped unit through systemctl, and
// the two registrations above for WM_SETTINGS_CHANGED 0x8.
client::ServiceHooks serviceHooks();

// The main window as the start-up sees it: built hidden, then closed once at the end.
class MainWindow {
  public:
    virtual ~MainWindow() = default;
    // Closes the window without asking (the session ends or a signal came); its clean-up
    // runs and the event loop ends.
    virtual void closeForEnd() = 0;
};

struct StartContext {
    platform::AppRuntime* runtime = nullptr;
    bool headless = false;        // no display: boxes are logged
    bool serviceProcess = false;  // started as a service, or the service option is set
    bool comInitialized = false;  // the speech engine may be built
};

// Builds the main window with its client, sets both up and returns it; the loop runs next.
using MainWindowFactory = std::function<std::unique_ptr<MainWindow>(const StartContext&)>;

// Runs the program; returns its exit code. `serviceFlag`: started with --service.
int OwlMain(int& argc, char** argv, bool serviceFlag, const MainWindowFactory& makeMainWindow);

}  // namespace orvelin::shell
