// The client window: the hub of call handling. It holds the call list and routes every
// application message and command to the class that does the work:
//
//   incoming calls, answer delay ........ CallDecision (client/call_decision.h)
//   line states, clearing ............... LineEvents
//   CAPI on/off ......................... CapiSwitch
//   WM_SETTINGS_CHANGED ................. SettingsReactions
//   remove / remark / lookup / activate . ListCommands
//   instance link ....................... LinkListener
//   settings dialogs .................... SettingsLibrary
//   phone-book tables ................... PhoneTables
//   programs and fax workers ............ CallWorkers;  speech ... SpeechThread;
//   playing messages .................... PlayThread
//   text messages (211, 212, 11843) ..... TextMessages
//
// Life: constructor -> setupWindow() (CAPI on, ring loaded, threads and sockets up,
// tables open) -> messages -> canClose() -> cleanupWindow() (tables closed, CAPI off,
// play and speech threads stopped, sockets closed, workers joined, ring written and
// freed last) -> destructor. Window thread only, except where a member says otherwise.
#pragma once

#include <QFont>
#include <QPixmap>
#include <QRect>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "client/call_history.h"
#include "client/line_handler.h"
#include "client/line_record.h"
#include "client/play_thread.h"
#include "client/window/capi_switch.h"
#include "client/window/service_switch.h"
#include "platform/app_window.h"

namespace orvelin::media {
class CTTSMode;
}

namespace orvelin::client {

class AnsweringMachine;
class CallDecision;
class CallListView;
class CallTableModel;
class CallWorkers;
class LineEvents;
class LinkListener;
class ListCommands;
class PhoneTables;
class SettingsLibrary;
class SettingsReactions;
class SpeechThread;
class WindowAnsweringPorts;
class TextMessages;
class WindowCallPorts;

// Command ids of the window, its list's context menu and the frame's tool bar.
enum WindowCommand : platform::CommandId {
    CM_EXIT_BUTTON = 1,
    CM_CANCEL_BUTTON = 2,
    CM_CONFIGURE_MSN = 102,
    CM_CALLER_LIST = 103,
    CM_REJECT = 105,
    CM_ANSWER = 106,
    CM_HIDE = 167,
    CM_CAPI_ON_OFF = 175,
    CM_IMPORT_ADDRESS_BOOK = 177,
    CM_OPTIONS = 180,
    CM_ADD_CALLER = 201,
    CM_REMOVE_ENTRY = 202,
    CM_EDIT_REMARK = 203,
    CM_PLAY = 207,
    CM_LOOKUP = 208,
    CM_SEND_MESSAGE = 211,
    CM_SEND = 212,
    CM_RECORD = 11842,
    CM_REQUEST_INFO = 11843,
    CM_OPEN_LOG = 24332,
};

// The status-bar hint of a command; nullptr for a command without one.
const char* commandHint(platform::CommandId id);

inline constexpr int kNoCurrentLine = 255;
inline constexpr const char* kCapiRegisterFailedText =
    "               Cold not register with CAPI.\n\nCheck your CAPI 2.0 installation. You may "
    "be missing the CAPI2032.DLL\nwhich is manufacturer supplied with your ISDN adapter.";
inline constexpr const char* kQuitQuestion =
    "Warning!\nShutting down this application will prevent\nfurther logging of incoming "
    "calls.\n\nAre you sure you want to quit?";
inline constexpr const char* kClosingDownText = "Closing down - please wait";

// What the window asks of the frame around it (tray icon, tool bar, status bar, the
// banners). Every hook may be left empty.
struct FrameHooks {
    std::function<void(bool capiEnabled, bool blink)> updateTrayState;
    std::function<void(bool down)> setPlayButton;
    std::function<void(int line, int state)> showLineState;
    std::function<void(const std::string& text)> setStatusText;
    std::function<void()> hideMainWindow;
    std::function<void()> raiseMainWindow;
    // WM_SHOW_POPUP (wParam line, record PopupText) and WM_CLOSE_POPUP (wParam line).
    std::function<platform::LResult(platform::AppMessage&)> showPopup, closePopup;
    std::function<void()> closingDown;
    // The desktop's work area (without panels) and the frame moved and sized within it,
    // without raising or activating it; either empty: the frame stays where it is.
    std::function<QRect()> workArea;
    std::function<void(const QRect&)> placeFrame;
};

struct ClientWindowConfig {
    std::string programDir;  // ends with '/'
    std::string libraryDir;  // where the settings library is found
    std::string settingsLibraryFile = "libtessaly.so";
    bool comInitialized = false;  // speech exists only then
    platform::Clock* clock = nullptr;
    // Empty: the CAPI layer itself, delivering to this window.
    std::function<CapiOps(platform::WindowRef)> capiOps;
    SoundPlayer player;  // empty: messages cannot be played
    FrameHooks frame;
    // The service manager; empty: the options command leaves the service alone.
    ServiceHooks service;
    // One line per listed or changed call, for a headless run's terminal.
    std::function<void(const std::string&)> activityLog;
    // Where the instance link listens; empty: "HostPort".
    std::function<std::uint32_t()> hostPort;
};

class ClientWindow : public QWidget, public platform::AppWindow {
  public:
    explicit ClientWindow(ClientWindowConfig config, QWidget* parent = nullptr);
    ~ClientWindow() override;

    // The window timers, not QObject's.
    using platform::AppWindow::killTimer;

    void setupWindow();
    void cleanupWindow();
    // Asks the user unless the session is ending.
    bool canClose(bool sessionEnding = false);

    // Whether a command is available now (the enablers; commands without one are).
    bool commandEnabled(platform::CommandId id) const;

    // --- State other parts read ---
    bool capiEnabled() const { return capi_ && capi_->enabled(); }
    bool faxCapable() const { return capi_ && capi_->faxCapable(); }
    int currentLine() const { return currentLine_; }
    bool modalDialogActive() const { return modalDialogActive_; }
    bool windowShown() const { return windowShown_; }
    void setWindowShown(bool shown) { windowShown_ = shown; }
    CallHistory& history() { return *history_; }
    LineRecords& lines() { return lines_; }
    CallListView& listView() { return *view_; }
    // What announces callers; null when nothing does.
    std::shared_ptr<media::CTTSMode> speechObject() const;
    // The port the instance link listens on, 0 when it does not.
    std::uint16_t linkPort() const;
    const QPixmap& bannerImage() const { return bannerImage_; }
    const QFont& bannerFont() const { return bannerFont_; }
    // The line handler the decision and the Answer/Record commands start answers with.
    void setLineHandler(LineHandler* handler);

    // --- Commands ---
    void CmHide();
    // Keeps the frame docked at the right edge of the work area while the window is shown,
    // each time the work area changed since the last time.
    void EvSize();
    void CmReject();
    void CmAnswer();
    void CmRecord();
    void CmCapiOnOff();
    void CmOpenLog();
    void CmConfigureMSN();
    void CmCallerList();
    void CmImportAddressBook() {}
    void CmOptions();
    void CmPlay();
    void CmAddCaller();
    void CmRemoveEntry();
    void CmEditRemark();
    void CmLookup();
    void CmSendMessage();
    void CmSend();
    void CmRequestInfo();

  protected:
    platform::LResult dispatch(platform::AppMessage& m) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    // The messages of calls that a killed run never cleared (at set-up).
    void recoverRecordings();
    friend class WindowCallPorts;
    friend class WindowAnsweringPorts;

    // Shown again after a hide: a work area that changed meanwhile is logged and refitted.
    void refitShown();

    // The enablers of the commands that have one.
    bool CeReject() const;
    bool CeAnswer() const;
    bool CeSend() const;
    struct Enabler {
        platform::CommandId id;
        bool (ClientWindow::*test)() const;
    };
    static const Enabler kEnablers[];
    static const platform::Response<ClientWindow> kResponses[];

    platform::LResult EvIncomingCall(platform::AppMessage& m);
    platform::LResult EvLineState(platform::AppMessage& m);
    platform::LResult EvDataSent(platform::AppMessage& m);
    platform::LResult EvDataReceived(platform::AppMessage& m);
    platform::LResult EvDtmf(platform::AppMessage& m);
    platform::LResult EvSwitchToFax(platform::AppMessage& m);
    platform::LResult EvTimer(platform::AppMessage& m);
    platform::LResult EvThreadDone(platform::AppMessage& m);
    platform::LResult EvFaxDone(platform::AppMessage& m);
    platform::LResult EvRefreshList(platform::AppMessage& m);
    platform::LResult EvRestoreWindow(platform::AppMessage& m);
    platform::LResult EvShowPopup(platform::AppMessage& m);
    platform::LResult EvClosePopup(platform::AppMessage& m);
    platform::LResult EvPlayDone(platform::AppMessage& m);
    platform::LResult EvSettingsChanged(platform::AppMessage& m);
    platform::LResult EvOpenOptions(platform::AppMessage& m);

    void rebuildSpeechObject();
    void rebuildNumberList();
    void updateTray();
    void stopPlaying();
    void listChanged();
    void logActivity(const TCallRecord& record);
    void contextMenu(const QPoint& at);
    void doubleClicked(const QModelIndex& index);
    std::unique_ptr<TextMessages> makeTextMessages();
    struct DialogPlacement placement() const;

    ClientWindowConfig config_;
    LineRecords lines_;
    int currentLine_ = kNoCurrentLine;
    bool modalDialogActive_ = false;
    bool windowShown_ = false;
    QRect workArea_;  // the work area the frame was last docked in
    bool blinkPhase_ = false;
    bool set_ = false;
    bool cleaned_ = false;
    std::unordered_map<std::uint32_t, std::string> lastActivity_;  // id -> last line logged
    QPixmap bannerImage_;
    QFont bannerFont_;

    mutable std::mutex speechMutex_;  // the speech thread reads the object
    std::shared_ptr<media::CTTSMode> speech_;

    std::unique_ptr<CallHistory> history_;
    std::unique_ptr<CallTableModel> model_;
    CallListView* view_ = nullptr;
    std::unique_ptr<CapiSwitch> capi_;
    std::unique_ptr<PhoneTables> tables_;
    std::unique_ptr<CallWorkers> workers_;
    std::unique_ptr<SpeechThread> speechThread_;
    std::unique_ptr<PlayThread> playThread_;
    std::unique_ptr<LinkListener> link_;
    std::unique_ptr<SettingsLibrary> library_;
    std::unique_ptr<SettingsReactions> reactions_;
    std::unique_ptr<ListCommands> listCommands_;
    std::unique_ptr<TextMessages> texts_;
    std::unique_ptr<LineEvents> lineEvents_;
    std::unique_ptr<UnansweredLines> unanswered_;
    std::unique_ptr<WindowAnsweringPorts> answeringPorts_;
    std::unique_ptr<AnsweringMachine> answering_;
    LineHandler* handler_ = nullptr;
    std::unique_ptr<WindowCallPorts> ports_;
    std::unique_ptr<CallDecision> decision_;
};

}  // namespace orvelin::client
