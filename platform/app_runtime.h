// The process set-up every run of the program shares: the Qt platform (offscreen where
// there is no display), the application object, SIGPIPE ignored, and SIGTERM, SIGINT and
// SIGHUP turned into a clean end of the program on the event loop, also when the signal
// comes while a box or dialog waits for the user, or before the loop runs.
#pragma once

#include <functional>
#include <memory>

class QApplication;
class QSocketNotifier;

namespace platform {

// Sets QT_QPA_PLATFORM=offscreen when neither DISPLAY nor WAYLAND_DISPLAY is set and
// QT_QPA_PLATFORM is not set either. Returns true when it chose offscreen.
bool chooseHeadlessPlatform();

// One per process, built first thing in main().
class AppRuntime {
  public:
    AppRuntime(int& argc, char** argv);
    ~AppRuntime();
    AppRuntime(const AppRuntime&) = delete;
    AppRuntime& operator=(const AppRuntime&) = delete;

    QApplication& app() { return *app_; }
    // Runs the event loop until quit() or a terminating signal; returns the loop's result.
    int exec();
    // What a terminating signal does, on the event loop; by default it ends the loop. It
    // runs once, on the loop exec() runs: open modal boxes and dialogs are closed first
    // (later ones are only logged) and a signal that came before exec() waits for it.
    void setTerminateHandler(std::function<void()> handler) { onTerminate_ = std::move(handler); }
    // The offscreen or minimal platform is in use.
    bool headless() const;

  private:
    void onSignalPipe();
    void deliverEnd();

    std::unique_ptr<QApplication> app_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void()> onTerminate_;
    bool ending_ = false;     // a terminating signal came
    bool delivered_ = false;  // its handler ran
    bool inExec_ = false;
};

}  // namespace platform
