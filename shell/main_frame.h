// The program's main window: a frame around the client window with the tool bar, the
// status bar with one picture per line, the menus, and the tray icon that stands in for
// the window while it is hidden. It starts hidden; closing or minimising it hides it
// again, and only Exit (or the end of the program) ends the program.
//
// The frame handles the tray's clicks, the retry timer that places the tray icon, the
// line selector and its password lock, the end of the user's session, and the commands
// 206 (web page), 213/214 (two-state button) and 24310 (Exit). Every other command goes
// to the client window. Window thread only.
#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "client/window/client_window.h"
#include "platform/app_window.h"
#include "platform/session_watch.h"
#include "platform/tray_host.h"
#include "shell/line_lock.h"

class QLabel;
class QMenu;
class QAction;

namespace orvelin::shell {

class FrameToolBar;
class PopupBanners;
class TrayIcon;

inline constexpr platform::CommandId CM_VISIT_WEB_PAGE = 206;
inline constexpr platform::CommandId CM_EXIT = 24310;
inline constexpr platform::TimerId kTrayTimer = 1;
inline constexpr int kTrayRetryMs = 5000;
// How long after the session manager asked to end the session the program waits for the
// end before it takes the end as called off.
inline constexpr platform::TimerId kSessionEndTimer = 2;
inline constexpr int kSessionEndSettleMs = 60000;
inline constexpr const char* kFrameTitle = "Orvelin";
inline constexpr const char* kFrameTitleDisabled = "Orvelin (disabled)";
inline constexpr const char* kWebShortcutName = "Orvelin Home.url";
inline constexpr const char* kWebPageFailedText = "Could not visit Orvelin Web Page";

struct MainFrameConfig {
    std::string programDir;  // ends with '/'
    // No tray and no banners (offscreen runs, the service).
    bool headless = false;
    // Null: the desktop's tray.
    std::unique_ptr<platform::TrayHost> trayHost;
    // The trace and tray lines; null: AppTrace.
    std::function<void(const std::string&)> trace;
    // The line lock's ports; empty members: the settings hive and the password dialog.
    LineLock::Ports lineLock;
    // The login session watched for a switch to another user (platform/session_watch.h).
    std::string sessionsDirectory = platform::kLoginSessionsDirectory;
    std::string sessionId = platform::SessionWatch::currentSessionId();
    // Opens a web address; null: the desktop's browser. False when it could not start.
    std::function<bool(const std::string& url)> openUrl;
    platform::Clock* clock = nullptr;
};

// The address in an Internet shortcut file ("[InternetShortcut]" with "URL=..."), when it
// is an http or https address; nullopt otherwise.
std::optional<std::string> ShortcutAddress(std::string_view fileText);

class MainFrame : public QMainWindow, public platform::AppWindow {
  public:
    explicit MainFrame(MainFrameConfig config);
    ~MainFrame() override;

    using platform::AppWindow::killTimer;

    // What the client window is given to reach the frame. Valid while the frame lives.
    client::FrameHooks hooks();
    // Makes the client the frame's content; call before the client's set-up.
    void setClient(client::ClientWindow* client);
    // Lets go of the client before it is deleted (the banners go with it).
    void detachClient();
    // Places the tray icon (or starts retrying), fills the line selector.
    void setupWindow();
    // Sizes the frame to what its client asks for, centred on the screen.
    void shrinkToClient();
    // Once, at the end: "CleanupWindow", the client's clean-up, the icon out of the tray.
    void cleanupWindow();

    // The state shown by the title, the CAPI button and the tray icon.
    void UpdateTrayState(bool enabled, bool blink);
    void EvTrayNotify(platform::TrayClick click);
    // The user's session asks to end / ends.
    void EvQueryEndSession();
    void EvEndSession(bool ending, bool logOff);
    // Another user's session came to the front: the window hides.
    void EvUserChanged();
    // What the session manager's request and the application's end come to: the query, then
    // the end message, "ending" when the program quits while the end is pending, else
    // "proceeding" once kSessionEndSettleMs have passed.
    void sessionEndAsked();
    void applicationQuitting();

    // Exit: asks the client unless the session is ending; true when the program ends.
    bool requestExit();
    // Closes for good without asking (a signal, the end of the session); the loop ends.
    void closeForEnd();
    bool exiting() const { return exiting_; }
    bool shuttingDown() const { return shuttingDown_; }
    int selectedLine() const { return selectedLine_; }

    FrameToolBar& toolBar() { return *toolBar_; }
    QMenu& trayMenu() { return *trayMenu_; }
    const QLabel* linePictureLabel(int line) const;
    int linePictureState(int line) const;
    // Null when headless.
    TrayIcon* tray() { return tray_.get(); }
    bool trayPlaced() const;

  protected:
    platform::LResult dispatch(platform::AppMessage& m) override;
    void defaultCommand(platform::CommandId id) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    static const platform::Response<MainFrame> kResponses[];

    platform::LResult EvTimer(platform::AppMessage& m);
    void CmVisitWebPage();
    void CmTwoStateSet();
    void CmTwoStateClear();
    void CmExit();
    void EvLineSelChange(int index);

    void buildMenus();
    void addEditingKeys();
    void buildStatusBar();
    void hideToTray(const char* trace);
    void showFromTray();
    void setTwoState(bool set);
    void showLineState(int line, int state);
    void updateCommandStates();
    void trace(const std::string& line) const;
    bool windowShown() const;
    void setWindowShown(bool shown);
    PopupBanners* banners();

    MainFrameConfig config_;
    client::ClientWindow* client_ = nullptr;
    std::unique_ptr<platform::TrayHost> trayHost_;
    std::unique_ptr<TrayIcon> tray_;
    std::unique_ptr<PopupBanners> banners_;
    FrameToolBar* toolBar_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    std::vector<QAction*> menuCommands_;
    QLabel* linePictures_[2] = {};
    int lineStates_[2] = {1, 1};
    QTimer* commandStates_ = nullptr;
    LineLock lineLock_;
    int selectedLine_ = kAllLinesChoice;
    bool sessionChanged_ = false;
    std::unique_ptr<platform::SessionWatch> sessionWatch_;
    bool shuttingDown_ = false;
    bool exiting_ = false;
    bool set_ = false;
    bool cleaned_ = false;
};

}  // namespace orvelin::shell
