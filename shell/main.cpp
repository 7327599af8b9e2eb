// Orvelin: watches the ISDN lines through CAPI 2.0 and acts on every call.
//
// Until the decorated frame exists, the client window lives in a plain main window with
// a menu of its commands (their hints in the status bar). Without a display the program
// runs headless and reports each listed call on standard error.
#include <QApplication>
#include <QCloseEvent>
#include <QMainWindow>
#include <QMenuBar>
#include <QStatusBar>
#include <cstdio>
#include <cstdlib>

#include "capi/capi.h"
#include "client/window/client_window.h"
#include "media/alsa_player.h"
#include "platform/app_runtime.h"
#include "platform/command_line.h"
#include "platform/message_box.h"
#include "platform/paths.h"
#include "platform/single_instance.h"
#include "settings/settings_log.h"
#include "settings/settings_store.h"
#include "shell/popup_banner.h"
#include "xbase/engine.h"

namespace {

using orvelin::client::ClientWindow;

bool g_headless = false;

const char kSecondInstanceText[] =
    "You are trying to start a second instance of Orvelin\nwhile the program is currently "
    "running. Activate the\nprogram by clicking at the icon in the system tray.\n\nIf you "
    "think this is an error condition you should\nreboot your computer to correct the problem.";

void logLine(const std::string& line) {
    capi::WriteCapiLog(line);
    if (g_headless) std::fprintf(stderr, "orvelin: %s\n", line.c_str());
}

void engineBox(const char* caption, const char* text, int) {
    platform::messageBox(text ? text : "", caption ? caption : "", platform::BoxButtons::Ok,
                         platform::BoxIcon::Error);
}

// The plain frame: closing it asks the client window whether the program may end.
class PlainFrame : public QMainWindow {
  public:
    void setClient(ClientWindow* client) { client_ = client; }
    bool quitting = false;

  protected:
    void closeEvent(QCloseEvent* event) override {
        // A close the user did not ask for comes from the end of the program (a signal,
        // the end of the session): no question then.
        if (quitting || !event->spontaneous() || !client_ || client_->canClose()) {
            quitting = true;
            event->accept();
            QApplication::quit();
            return;
        }
        event->ignore();
    }

  private:
    ClientWindow* client_ = nullptr;
};

struct MenuCommand {
    const char* text;
    platform::CommandId id;
};

void addMenu(PlainFrame& frame, ClientWindow& client, const char* title,
             std::initializer_list<MenuCommand> commands) {
    QMenu* menu = frame.menuBar()->addMenu(QString::fromUtf8(title));
    for (const MenuCommand& c : commands) {
        QAction* action = menu->addAction(QString::fromUtf8(c.text));
        if (const char* hint = orvelin::client::commandHint(c.id))
            action->setStatusTip(QString::fromUtf8(hint));
        const platform::CommandId id = c.id;
        QObject::connect(action, &QAction::triggered, &client, [&client, id] { client.command(id); });
        QObject::connect(menu, &QMenu::aboutToShow, action,
                         [&client, action, id] { action->setEnabled(client.commandEnabled(id)); });
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace orvelin;
    std::string error;
    platform::CommandLine options;
    if (!platform::parseCommandLine(argc, argv, options, error)) {
        std::fprintf(stderr, "orvelin: %s\n%s\nTry 'orvelin --help' for more.\n", error.c_str(),
                     platform::kUsageLine);
        return 2;
    }
    if (options.help) {
        std::fputs(platform::helpText().c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    const std::string home = platform::initProgramDirectory(argc, argv, options.service, &error);
    if (home.empty()) {
        std::fprintf(stderr, "orvelin: %s\n", error.c_str());
        return 1;
    }
    // A service has no desktop to show anything on, whatever its environment says.
    if (options.service) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    platform::AppRuntime runtime(argc, argv);
    g_headless = runtime.headless();
    platform::setMessageLogSink(logLine);

    // The lock lives as long as main(): the kernel drops it with the process, however
    // the process ends, so a crash leaves nothing stale behind.
    platform::SingleInstanceLock instance;
    switch (instance.acquire(platform::SingleInstanceLock::defaultPath())) {
        case platform::SingleInstanceLock::Result::Acquired:
            break;
        case platform::SingleInstanceLock::Result::HeldElsewhere:
            platform::messageBox(kSecondInstanceText, "");
            return 1;
        case platform::SingleInstanceLock::Result::Error:
            platform::messageBox(instance.error(), "Orvelin", platform::BoxButtons::Ok,
                                 platform::BoxIcon::Error);
            return 1;
    }
    settings::SetSettingsLogSink([](std::string_view line) { logLine(std::string(line)); });
    error4setHook(engineBox);
    settings::EnsureSettingsKeys();

    PlainFrame frame;
    frame.setWindowTitle("Orvelin");
    frame.setObjectName("RODORUVUD");  // where the settings library finds the program
    std::unique_ptr<shell::PopupBanners> banners;
    media::AlsaPlayer player;  // outlives the window and its play thread

    client::ClientWindowConfig config;
    config.programDir = home;
    config.libraryDir = platform::libraryDirectory();
    config.comInitialized = true;
    config.player = {[&player](const std::string& path) { return player.StartIfIdle(path); },
                     [&player] { player.Stop(); }};
    if (g_headless) config.activityLog = [](const std::string& line) { std::fprintf(stderr, "orvelin: %s\n", line.c_str()); };
    config.frame.hideMainWindow = [&frame] { frame.hide(); };
    if (!g_headless) config.frame.raiseMainWindow = [&frame] {
        frame.showNormal();
        frame.raise();
        frame.activateWindow();
    };
    config.frame.showPopup = [&banners](platform::AppMessage& m) {
        return banners ? banners->EvShowPopup(m) : 0;
    };
    config.frame.closePopup = [&banners](platform::AppMessage& m) {
        return banners ? banners->EvClosePopup(m) : 0;
    };
    config.frame.showLineState = [&frame](int line, int state) {
        frame.statusBar()->showMessage(QString("Line %1: %2").arg(line + 1).arg(capi::ConnectionStateName(state)));
    };
    config.frame.closingDown = [] { platform::notifyBox(client::kClosingDownText, "Orvelin"); };

    auto* client = new ClientWindow(std::move(config), &frame);
    frame.setClient(client);
    frame.setCentralWidget(client);
    banners = std::make_unique<shell::PopupBanners>(client->bannerImage(), client->bannerFont(), g_headless);
    addMenu(frame, *client, "&Call",
            {{"&Reject", client::CM_REJECT}, {"&Answer", client::CM_ANSWER},
             {"Record", client::CM_RECORD}, {"&CAPI on/off", client::CM_CAPI_ON_OFF},
             {"&Play", client::CM_PLAY}, {"&Open log...", client::CM_OPEN_LOG}});
    addMenu(frame, *client, "&Settings",
            {{"Configure &MSN", client::CM_CONFIGURE_MSN},
             {"Configure &associations", client::CM_CALLER_LIST},
             {"&Import address book", client::CM_IMPORT_ADDRESS_BOOK},
             {"&Set &options", client::CM_OPTIONS}});
    frame.resize(900, 400);
    frame.statusBar();

    client->setupWindow();
    if (!capi::CAPI20_IsInstalled()) std::fprintf(stderr, "orvelin: no ISDN driver is reachable\n");
    else if (g_headless) std::fprintf(stderr, "orvelin: watching the lines (%s)\n", home.c_str());
    if (!g_headless) frame.show();
    client->setWindowShown(!g_headless);

    const int rc = runtime.exec();
    frame.quitting = true;
    client->cleanupWindow();
    banners.reset();
    delete client;
    return rc;
}
