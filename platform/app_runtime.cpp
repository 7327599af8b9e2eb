#include "platform/app_runtime.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "platform/message_box.h"

namespace platform {

namespace {

// The self-pipe: the signal handler may only write a byte; the event loop reads it.
int g_signalPipe[2] = {-1, -1};

void onTerminateSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

bool isSet(const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
}

void setTerminateHandlers(void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

}  // namespace

bool chooseHeadlessPlatform() {
    if (isSet("QT_QPA_PLATFORM") || isSet("DISPLAY") || isSet("WAYLAND_DISPLAY")) return false;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return true;
}

AppRuntime::AppRuntime(int& argc, char** argv) {
    if (g_signalPipe[0] != -1) throw std::logic_error("AppRuntime: one per process");
    // A write to a closed socket or pipe (a lost exchange or client) must be an error
    // return, not the end of the process.
    signal(SIGPIPE, SIG_IGN);
    chooseHeadlessPlatform();

    app_ = std::make_unique<QApplication>(argc, argv);
    // The main window starts hidden and only hides when closed; the program ends through
    // its own exit command or a signal.
    app_->setQuitOnLastWindowClosed(false);

    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("AppRuntime: pipe: ") + std::strerror(errno));
    notifier_ = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, app_.get(),
                     [this] { onSignalPipe(); });
    setTerminateHandlers(onTerminateSignal);
}

AppRuntime::~AppRuntime() {
    setTerminateHandlers(SIG_DFL);
    // The notifier goes before its descriptor is closed.
    notifier_.reset();
    close(g_signalPipe[0]);
    close(g_signalPipe[1]);
    g_signalPipe[0] = g_signalPipe[1] = -1;
}

int AppRuntime::exec() {
    inExec_ = true;
    if (ending_) QTimer::singleShot(0, app_.get(), [this] { deliverEnd(); });
    const int rc = app_->exec();
    inExec_ = false;
    return rc;
}

bool AppRuntime::headless() const {
    const QString name = QGuiApplication::platformName();
    return name == QLatin1String("offscreen") || name == QLatin1String("minimal");
}

void AppRuntime::onSignalPipe() {
    char buf[16];
    while (read(g_signalPipe[0], buf, sizeof buf) > 0) {
    }
    if (ending_) return;  // the first signal's end is under way
    ending_ = true;
    setBoxesDismissed(true);
    deliverEnd();
}

void AppRuntime::deliverEnd() {
    if (delivered_) return;
    // Inside a nested loop (a box, a dialog, a start-up step that waits) the code that
    // opened it must unwind before the window closes under it: close what is modal and
    // come back once only the loop of exec() is left. Before exec(), exec() calls again.
    const int level = app_->thread()->loopLevel();
    if (!inExec_ || level > 1) {
        if (level == 0) return;
        setBoxesDismissed(true);
        QTimer::singleShot(10, app_.get(), [this] { deliverEnd(); });
        return;
    }
    delivered_ = true;
    if (onTerminate_) onTerminate_();
    else app_->quit();
}

}  // namespace platform
