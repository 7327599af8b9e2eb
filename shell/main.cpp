// Orvelin: watches the ISDN lines through CAPI 2.0 and acts on every call.
//
// The client window lives in the main frame (tool bar, status bar, menus, tray icon).
// Without a display the program runs headless and reports each listed call on standard
// error.
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "capi/capi.h"
#include "client/default_greetings.h"
#include "client/window/client_window.h"
#include "media/alsa_player.h"
#include "platform/command_line.h"
#include "platform/message_box.h"
#include "platform/paths.h"
#include "shell/closing_down.h"
#include "shell/main_frame.h"
#include "shell/start_up.h"

namespace {

using orvelin::client::ClientWindow;

bool g_headless = false;

// The frame with its client; destroyed after the loop, client first.
struct FramedMainWindow : orvelin::shell::MainWindow {
    orvelin::media::AlsaPlayer player;  // outlives the window and its play thread
    std::unique_ptr<orvelin::shell::MainFrame> frame;
    ClientWindow* client = nullptr;
    std::unique_ptr<QWidget> closingDown;  // shown by the client's clean-up

    void closeForEnd() override { frame->closeForEnd(); }
    ~FramedMainWindow() override {
        frame->cleanupWindow();
        frame->detachClient();
        delete client;  // the speech object goes with it
        closingDown.reset();
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
        auto main = std::make_unique<FramedMainWindow>();
        shell::MainFrameConfig frameConfig;
        frameConfig.programDir = home;
        frameConfig.headless = g_headless;
        main->frame = std::make_unique<shell::MainFrame>(std::move(frameConfig));
        shell::MainFrame& frame = *main->frame;

        client::makeMissingGreetings(home, client::engineSynthesizer(), shell::AppTrace);
        client::ClientWindowConfig config;
        config.programDir = home;
        config.libraryDir = platform::libraryDirectory();
        config.comInitialized = start.comInitialized;
        media::AlsaPlayer& player = main->player;
        config.player = {[&player](const std::string& path) { return player.StartIfIdle(path); },
                         [&player] { player.Stop(); },
                         [&player](const std::string& path) { return player.PlayFile(path) == 0; }};
        if (g_headless) config.activityLog = [](const std::string& line) { std::fprintf(stderr, "orvelin: %s\n", line.c_str()); };
        config.frame = frame.hooks();
        if (g_headless) config.frame.raiseMainWindow = nullptr;
        config.frame.closingDown = [main = main.get()] {
            main->closingDown = shell::showClosingDownWindow();
        };
        config.service = shell::serviceHooks();

        auto* client = new ClientWindow(std::move(config), &frame);
        main->client = client;
        frame.setClient(client);
        frame.shrinkToClient();

        frame.setupWindow();
        client->setupWindow();
        if (!capi::CAPI20_IsInstalled()) std::fprintf(stderr, "orvelin: no ISDN driver is reachable\n");
        else if (g_headless) std::fprintf(stderr, "orvelin: watching the lines (%s)\n", home.c_str());
        // The window starts hidden behind its tray icon; without a tray it is the way in.
        const bool shown = !g_headless && !frame.trayPlaced();
        if (shown) frame.show();
        client->setWindowShown(shown);
        return std::unique_ptr<shell::MainWindow>(std::move(main));
    });
}
