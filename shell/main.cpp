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
#include "client/default_greetings.h"
#include "client/window/client_window.h"
#include "media/alsa_player.h"
#include "platform/command_line.h"
#include "platform/message_box.h"
#include "platform/paths.h"
#include "shell/popup_banner.h"
#include "shell/start_up.h"

namespace {

using orvelin::client::ClientWindow;

bool g_headless = false;

// The plain frame: closing it asks the client window whether the program may end.
class PlainFrame : public QMainWindow {
  public:
    void setClient(ClientWindow* client) { client_ = client; }
    bool quitting = false;

    // Closing for good: the client's clean-up runs while the window closes, before the
    // loop ends.
    void CleanupWindow() {
        if (cleaned_) return;
        cleaned_ = true;
        orvelin::shell::AppTrace("CleanupWindow");
        if (client_) client_->cleanupWindow();
    }

  protected:
    void closeEvent(QCloseEvent* event) override {
        // A close the user did not ask for comes from the end of the program (a signal,
        // the end of the session): no question then.
        if (quitting || !event->spontaneous() || !client_ || client_->canClose()) {
            quitting = true;
            event->accept();
            CleanupWindow();
            QApplication::quit();
            return;
        }
        event->ignore();
    }

  private:
    ClientWindow* client_ = nullptr;
    bool cleaned_ = false;
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

// The frame with its client; destroyed after the loop, client first.
struct PlainMainWindow : orvelin::shell::MainWindow {
    PlainFrame frame;
    std::unique_ptr<orvelin::shell::PopupBanners> banners;
    orvelin::media::AlsaPlayer player;  // outlives the window and its play thread
    ClientWindow* client = nullptr;

    void closeForEnd() override {
        frame.quitting = true;
        frame.close();
    }
    ~PlainMainWindow() override {
        frame.quitting = true;
        frame.CleanupWindow();
        banners.reset();
        delete client;
    }
};

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
    return shell::OwlMain(argc, argv, options.service, [&home](const shell::StartContext& start) {
        g_headless = start.headless;
        auto main = std::make_unique<PlainMainWindow>();
        PlainFrame& frame = main->frame;
        frame.setWindowTitle("Orvelin");
        frame.setObjectName("RODORUVUD");  // where the settings library finds the program

        client::makeMissingGreetings(home, client::engineSynthesizer(), shell::AppTrace);
        client::ClientWindowConfig config;
        config.programDir = home;
        config.libraryDir = platform::libraryDirectory();
        config.comInitialized = start.comInitialized;
        media::AlsaPlayer& player = main->player;
        config.player = {[&player](const std::string& path) { return player.StartIfIdle(path); },
                         [&player] { player.Stop(); }};
        if (g_headless) config.activityLog = [](const std::string& line) { std::fprintf(stderr, "orvelin: %s\n", line.c_str()); };
        config.frame.hideMainWindow = [&frame] { frame.hide(); };
        if (!g_headless) config.frame.raiseMainWindow = [&frame] {
            frame.showNormal();
            frame.raise();
            frame.activateWindow();
        };
        auto& banners = main->banners;
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
        config.service = shell::serviceHooks();

        auto* client = new ClientWindow(std::move(config), &frame);
        main->client = client;
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
        return std::unique_ptr<shell::MainWindow>(std::move(main));
    });
}
