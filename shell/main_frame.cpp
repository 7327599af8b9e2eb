#include "shell/main_frame.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QEvent>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSessionManager>
#include <QStatusBar>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <fstream>
#include <sstream>

#include "capi/capi.h"
#include "client/window/call_list_view.h"
#include "platform/message_box.h"
#include "platform/spawn.h"
#include "settings/option_bits.h"
#include "settings/settings_store.h"
#include "shell/frame_pictures.h"
#include "shell/popup_banner.h"
#include "shell/start_up.h"
#include "shell/tool_bar.h"
#include "shell/tray_icon.h"

namespace orvelin::shell {

using platform::AppMessage;
using platform::CommandId;
using platform::LResult;

namespace {

struct MenuEntry {
    const char* text;  // null: a separator
    CommandId id;
};

constexpr MenuEntry kFileMenu[] = {
    {"&Open log...", client::CM_OPEN_LOG},
    {nullptr, 0},
    {"Configure &MSN", client::CM_CONFIGURE_MSN},
    {"Configure &associations", client::CM_CALLER_LIST},
    {"&Import address book", client::CM_IMPORT_ADDRESS_BOOK},
    {"&Set &options", client::CM_OPTIONS},
    {nullptr, 0},
    {"&CAPI on/off", client::CM_CAPI_ON_OFF},
    {nullptr, 0},
    {"E&xit\tAlt+F4", CM_EXIT},
};
constexpr MenuEntry kTopLevelItems[] = {
    {"&Answer", client::CM_ANSWER}, {"&Reject", client::CM_REJECT}, {"&Hide", client::CM_HIDE},
    {"Record", client::CM_RECORD},  {"&Play", client::CM_PLAY},     {"Send", client::CM_SEND},
};
constexpr MenuEntry kHelpMenu[] = {{"&Visit Orvelin Web Page", CM_VISIT_WEB_PAGE}};
constexpr MenuEntry kTrayMenu[] = {
    {"Cancel", client::CM_CANCEL_BUTTON},
    {"Configure &MSN", client::CM_CONFIGURE_MSN},
    {"Set &options", client::CM_OPTIONS},
    {"E&xit", CM_EXIT},
};

constexpr int kCommandStateMs = 250;
constexpr std::size_t kMaxShortcutBytes = 64 * 1024;

std::optional<std::string> askPasswordDialog(QWidget* parent, int maxChars) {
    QInputDialog dialog(parent);
    dialog.setWindowTitle(kLineLockCaption);
    dialog.setLabelText(kLineLockPrompt);
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setTextEchoMode(QLineEdit::Password);
    dialog.setTextValue(QString());
    if (auto* edit = dialog.findChild<QLineEdit*>()) edit->setMaxLength(maxChars);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.textValue().toStdString();
}

std::string trimmed(std::string s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

}  // namespace

std::optional<std::string> ShortcutAddress(std::string_view fileText) {
    std::istringstream lines{std::string(fileText)};
    std::string line;
    bool inSection = false;
    while (std::getline(lines, line)) {
        line = trimmed(line);
        if (line.starts_with('[')) {
            inSection = QString::fromStdString(line).compare("[InternetShortcut]", Qt::CaseInsensitive) == 0;
            continue;
        }
        if (!inSection || line.size() < 4 ||
            QString::fromStdString(line.substr(0, 4)).compare("URL=", Qt::CaseInsensitive) != 0)
            continue;
        const QUrl url(QString::fromStdString(trimmed(line.substr(4))), QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        if (!url.isValid() || url.host().isEmpty() || (scheme != "http" && scheme != "https"))
            return std::nullopt;
        return url.toString(QUrl::FullyEncoded).toStdString();
    }
    return std::nullopt;
}

const platform::Response<MainFrame> MainFrame::kResponses[] = {
    platform::onCommand(CM_VISIT_WEB_PAGE, &MainFrame::CmVisitWebPage),
    platform::onCommand(CM_TWO_STATE_SET, &MainFrame::CmTwoStateSet),
    platform::onCommand(CM_TWO_STATE_CLEAR, &MainFrame::CmTwoStateClear),
    platform::onCommand(CM_EXIT, &MainFrame::CmExit),
    platform::onMessage(platform::WM_TIMER, &MainFrame::EvTimer),
};

MainFrame::MainFrame(MainFrameConfig config)
    : platform::AppWindow(config.clock),
      config_(std::move(config)),
      lineLock_(LineLock::Ports{}) {
    setObjectName("RODORUVUD");  // where the settings library finds the program
    setWindowTitle(kFrameTitle);
    setWindowIcon(trayIcon(TrayPicture::LinesOn));

    LineLock::Ports ports = config_.lineLock;
    if (!ports.ask) ports.ask = [this](int maxChars) { return askPasswordDialog(this, maxChars); };
    if (!ports.log) ports.log = [this](const std::string& line) { trace(line); };
    lineLock_ = LineLock(std::move(ports));

    toolBar_ = new FrameToolBar([this](CommandId id) { command(id); },
                                settings::HasOption(settings::GetOptions(),
                                                    settings::OptionBits::ToolButtonDown),
                                this);
    addToolBar(Qt::TopToolBarArea, toolBar_);
    QObject::connect(toolBar_->lineSelector(), &QComboBox::activated, this,
                     [this](int index) { EvLineSelChange(index); });
    buildMenus();
    buildStatusBar();

    commandStates_ = new QTimer(this);
    commandStates_->setInterval(kCommandStateMs);
    QObject::connect(commandStates_, &QTimer::timeout, this, [this] { updateCommandStates(); });

    if (!config_.headless) {
        trayHost_ = config_.trayHost ? std::move(config_.trayHost) : platform::desktopTray();
        tray_ = std::make_unique<TrayIcon>(
            *trayHost_, [this](const std::string& line) { trace(line); },
            static_cast<std::uintptr_t>(winId()));  // the window system's handle, no address
        trayHost_->clicked = [this](platform::TrayClick click) { EvTrayNotify(click); };
        trayHost_->setMenu(trayMenu_);
        sessionWatch_ = std::make_unique<platform::SessionWatch>(
            config_.sessionsDirectory, config_.sessionId, [this] { EvUserChanged(); });
    }

    // The end of the user's session. Without a way to tell a log-off from a shut-down,
    // the end is taken as a log-off: the session ends, the machine may not.
    qApp->installEventFilter(this);
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, this,
                     [this](QSessionManager&) { sessionEndAsked(); }, Qt::DirectConnection);
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { applicationQuitting(); });
}

MainFrame::~MainFrame() {
    cleanupWindow();
    banners_.reset();
    closeWindow();
}

client::FrameHooks MainFrame::hooks() {
    client::FrameHooks h;
    h.updateTrayState = [this](bool enabled, bool blink) { UpdateTrayState(enabled, blink); };
    h.setPlayButton = [this](bool down) {
        if (QAction* play = toolBar_->button(client::CM_PLAY)) play->setChecked(down);
    };
    h.showLineState = [this](int line, int state) { showLineState(line, state); };
    h.hideMainWindow = [this] { hide(); };
    h.raiseMainWindow = [this] {
        showNormal();
        raise();
        activateWindow();
    };
    h.workArea = [this] {
        const QScreen* where = screen();
        return where ? where->availableGeometry() : QRect();
    };
    // The rectangle is the whole window, its decoration included.
    h.placeFrame = [this](const QRect& frame) {
        const QSize decoration = frameGeometry().size() - geometry().size();
        resize(frame.size() - decoration);
        move(frame.topLeft());
    };
    h.showPopup = [this](AppMessage& m) -> LResult {
        PopupBanners* b = banners();
        return b ? b->EvShowPopup(m) : 0;
    };
    h.closePopup = [this](AppMessage& m) -> LResult {
        return banners_ ? banners_->EvClosePopup(m) : 0;
    };
    return h;
}

void MainFrame::setClient(client::ClientWindow* client) {
    client_ = client;
    setCentralWidget(client);
}

void MainFrame::detachClient() {
    banners_.reset();  // they use the client's font
    client_ = nullptr;
}

void MainFrame::setupWindow() {
    if (set_) return;
    set_ = true;
    if (tray_) {
        tray_->add();
        // The retry timer keeps watching the tray: it places the icon once a tray is
        // there, and again after the desktop's panel restarted.
        setTimer(kTrayTimer, kTrayRetryMs);
    }
    toolBar_->lineSelector()->setCurrentIndex(kAllLinesChoice);
    selectedLine_ = kAllLinesChoice;
}

void MainFrame::cleanupWindow() {
    if (cleaned_) return;
    cleaned_ = true;
    trace("CleanupWindow");
    if (client_) client_->cleanupWindow();
    killTimer(kTrayTimer);
    if (tray_ && tray_->placed()) tray_->remove();
}

// ---- Messages ----

LResult MainFrame::dispatch(AppMessage& m) {
    return respond(kResponses, m);
}

void MainFrame::defaultCommand(CommandId id) {
    if (client_) client_->command(id);
}

LResult MainFrame::EvTimer(AppMessage& m) {
    const auto id = platform::TimerId(m.wParam);
    if (id == kTrayTimer && tray_) tray_->check();
    if (id == kSessionEndTimer) {
        killTimer(kSessionEndTimer);
        // The session manager asked, and the end never came: it was called off.
        if (shuttingDown_) EvEndSession(false, true);
    }
    return 0;
}

void MainFrame::EvTrayNotify(platform::TrayClick click) {
    if (client_ && client_->modalDialogActive()) return;
    if (click != platform::TrayClick::Left) return;  // the tray opens the menu itself
    if (windowShown()) {
        hide();
        setWindowShown(false);
        return;
    }
    showFromTray();
}

void MainFrame::showFromTray() {
    if (sessionChanged_ && client_) {
        client_->ref().send(platform::WM_REFRESH_LIST);
        sessionChanged_ = false;
    }
    showNormal();
    raise();
    activateWindow();
    setWindowShown(true);
    if (client_) client_->post(platform::WM_RESTORE_WINDOW);
}

void MainFrame::UpdateTrayState(bool enabled, bool blink) {
    setWindowTitle(enabled ? kFrameTitle : kFrameTitleDisabled);
    if (QAction* capi = toolBar_->button(client::CM_CAPI_ON_OFF)) capi->setChecked(!enabled);
    if (tray_) tray_->modify(trayPictureFor(enabled, blink));
}

void MainFrame::EvQueryEndSession() {
    trace("EV_QUERYENDSESSION");
    shuttingDown_ = true;
}

void MainFrame::EvUserChanged() {
    trace("UserChanged");
    if (windowShown()) {
        hide();
        setWindowShown(false);
    }
}

void MainFrame::sessionEndAsked() {
    EvQueryEndSession();
    setTimer(kSessionEndTimer, kSessionEndSettleMs);
}

void MainFrame::applicationQuitting() {
    killTimer(kSessionEndTimer);
    if (shuttingDown_) EvEndSession(true, true);
}

void MainFrame::EvEndSession(bool ending, bool logOff) {
    trace(std::string("EV_ENDSESSION ") + (ending ? "ending and " : "proceeding and ") + " " +
          (logOff ? "logging off" : "shutting down") + " " + (logOff ? "1" : "0"));
    trace(logOff ? "EV_ENDSESSION LogOff" : "EV_ENDSESSION not LogOff");
    if (logOff && tray_) setTimer(kTrayTimer, kTrayRetryMs);
    sessionChanged_ = true;
    shuttingDown_ = false;
}

bool MainFrame::eventFilter(QObject* watched, QEvent* event) {
    // The application closes every window before it quits (Exit, a signal, the end of
    // the session): those closes must go through, or the quit would be swallowed.
    if (watched == qApp && event->type() == QEvent::Quit) exiting_ = true;
    // The desktop's fonts or colours changed: a settings change that names no section.
    if (watched == qApp && (event->type() == QEvent::ApplicationFontChange ||
                            event->type() == QEvent::ApplicationPaletteChange))
        trace("WinIniChange empty");
    return QMainWindow::eventFilter(watched, event);
}

void MainFrame::closeEvent(QCloseEvent* event) {
    if (!exiting_) {
        event->ignore();
        hideToTray("EV_SYSCOMMAND SC_CLOSE or SC_MINIMIZE");
        return;
    }
    event->accept();
    // The client's clean-up runs while the window closes, before the loop ends.
    cleanupWindow();
    QCoreApplication::quit();
}

void MainFrame::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) &&
        tray_ && tray_->placed()) {
        // Hidden once the state change is through, so the window comes back un-minimised.
        QTimer::singleShot(0, this, [this] {
            setWindowState(windowState() & ~Qt::WindowMinimized);
            hideToTray("EV_SYSCOMMAND SC_CLOSE or SC_MINIMIZE");
        });
    } else if (event->type() == QEvent::WindowStateChange && !(windowState() & Qt::WindowMinimized)) {
        // Maximised, restored or full screen: the window system's own handling stands. The
        // frame's own return from a minimise it turned into a hide is none of these.
        const Qt::WindowStates old = static_cast<QWindowStateChangeEvent*>(event)->oldState();
        const bool ownReturn = (old & Qt::WindowMinimized) && tray_ && tray_->placed();
        if (old != windowState() && !ownReturn) trace("EV_SYSCOMMAND other");
    } else if (event->type() == QEvent::LocaleChange) {
        trace("WinIniChange intl");
        if (client_) client_->post(platform::WM_REFRESH_LIST);  // date and time formats
    }
}

void MainFrame::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    updateCommandStates();
    commandStates_->start();
}

void MainFrame::hideEvent(QHideEvent* event) {
    QMainWindow::hideEvent(event);
    commandStates_->stop();
}

void MainFrame::hideToTray(const char* line) {
    trace(line);
    // Without a tray icon a hidden window could not be brought back: minimise instead.
    if (tray_ && tray_->placed()) {
        hide();
        setWindowShown(false);
    } else if (!isMinimized()) {
        showMinimized();
    }
}

// ---- Commands ----

void MainFrame::CmVisitWebPage() {
    const std::string path = config_.programDir + kWebShortcutName;
    std::optional<std::string> address;
    if (std::ifstream file{path, std::ios::binary}) {
        std::string text(kMaxShortcutBytes, '\0');
        file.read(text.data(), std::streamsize(text.size()));
        text.resize(std::size_t(file.gcount()));
        address = ShortcutAddress(text);
    }
    const bool opened =
        address && (config_.openUrl ? config_.openUrl(*address)
                                    : platform::openDocument(*address).started());
    if (!opened) {
        platform::messageBox(kWebPageFailedText, kFrameTitle, platform::BoxButtons::Ok,
                             platform::BoxIcon::Error, std::nullopt, this);
    }
}

void MainFrame::CmTwoStateSet() {
    setTwoState(false);
}

void MainFrame::CmTwoStateClear() {
    setTwoState(true);
}

void MainFrame::setTwoState(bool set) {
    using settings::OptionBits;
    const auto stored = set ? settings::ChangeOptions(OptionBits::ToolButtonDown, 0)
                            : settings::ChangeOptions(0, OptionBits::ToolButtonDown);
    // The button shows what is stored: a refused write leaves it as it was.
    if (!stored) {
        trace("The tool button state could not be stored");
        return;
    }
    toolBar_->showTwoState(settings::HasOption(*stored, OptionBits::ToolButtonDown));
}

void MainFrame::CmExit() {
    requestExit();
}

bool MainFrame::requestExit() {
    if (client_ && !client_->canClose(shuttingDown_)) return false;
    exiting_ = true;
    close();
    return true;
}

void MainFrame::closeForEnd() {
    exiting_ = true;
    close();
}

void MainFrame::EvLineSelChange(int index) {
    if (index == selectedLine_) return;
    selectedLine_ = lineLock_.choose(selectedLine_, index);
    toolBar_->lineSelector()->setCurrentIndex(selectedLine_);
    if (client_) {
        client_->history().list().setSelectedLine(selectedLine_);
        client_->post(platform::WM_REFRESH_LIST);
    }
}

// ---- Building ----

void MainFrame::addEditingKeys() {
    // The usual editing keys go to the text field that has the focus. Fields that take a
    // key themselves (they ask for it first) keep doing so; this reaches the rest.
    const std::pair<QKeySequence::StandardKey, const char*> keys[] = {
        {QKeySequence::Undo, "undo"},   {QKeySequence::Redo, "redo"},
        {QKeySequence::Cut, "cut"},     {QKeySequence::Copy, "copy"},
        {QKeySequence::Paste, "paste"}, {QKeySequence::SelectAll, "selectAll"},
    };
    for (const auto& [key, slot] : keys) {
        auto* action = new QAction(this);
        action->setObjectName(QString("Edit ") + slot);
        action->setShortcuts(key);
        action->setShortcutContext(Qt::WindowShortcut);
        QObject::connect(action, &QAction::triggered, this, [this, slot = slot] {
            QWidget* focus = focusWidget();  // this window's, whether or not it is active
            if (auto* combo = qobject_cast<QComboBox*>(focus)) focus = combo->lineEdit();
            if (qobject_cast<QLineEdit*>(focus) || qobject_cast<QTextEdit*>(focus) ||
                qobject_cast<QPlainTextEdit*>(focus))
                QMetaObject::invokeMethod(focus, slot);
        });
        addAction(action);
    }
}

void MainFrame::shrinkToClient() {
    adjustSize();
    // Centred on the screen: where a window manager places windows it does so itself.
    if (const QScreen* where = screen()) {
        const QRect area = where->availableGeometry();
        move(area.x() + std::max(0, (area.width() - frameGeometry().width()) / 2),
             area.y() + std::max(0, (area.height() - frameGeometry().height()) / 2));
    }
}

void MainFrame::buildMenus() {
    auto addEntries = [this](QMenu* menu, const auto& entries) {
        for (const MenuEntry& e : entries) {
            if (!e.text) {
                menu->addSeparator();
                continue;
            }
            QAction* action = menu->addAction(QString::fromUtf8(e.text));
            const CommandId id = e.id;
            if (const char* hint = client::commandHint(id)) action->setStatusTip(QString::fromUtf8(hint));
            action->setData(id);
            QObject::connect(action, &QAction::triggered, this, [this, id] { command(id); });
            menuCommands_.push_back(action);
        }
    };
    QMenu* file = menuBar()->addMenu("&File");
    addEntries(file, kFileMenu);
    menuCommands_.back()->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
    menuCommands_.back()->setShortcutContext(Qt::ApplicationShortcut);
    addEditingKeys();
    for (const MenuEntry& e : kTopLevelItems) {
        QAction* action = menuBar()->addAction(QString::fromUtf8(e.text));
        const CommandId id = e.id;
        if (const char* hint = client::commandHint(id)) action->setStatusTip(QString::fromUtf8(hint));
        action->setData(id);
        QObject::connect(action, &QAction::triggered, this, [this, id] { command(id); });
        menuCommands_.push_back(action);
    }
    addEntries(menuBar()->addMenu("&Help"), kHelpMenu);
    QObject::connect(file, &QMenu::aboutToShow, this, [this] { updateCommandStates(); });

    trayMenu_ = new QMenu(this);
    trayMenu_->setObjectName("Tray menu");
    addEntries(trayMenu_, kTrayMenu);
    // The tray opens this menu itself; it has nothing to offer while the window is shown
    // or a dialog is open.
    QObject::connect(trayMenu_, &QMenu::aboutToShow, this, [this] {
        if (isVisible() || (client_ && client_->modalDialogActive()))
            QTimer::singleShot(0, trayMenu_, &QMenu::close);
    });
}

void MainFrame::buildStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setSizeGripEnabled(false);
    for (int line = 0; line < 2; ++line) {
        auto* label = new QLabel(bar);
        label->setObjectName(QString("Line %1").arg(line + 1));
        label->setFrameShape(QFrame::Panel);
        label->setFrameShadow(QFrame::Sunken);
        linePictures_[line] = label;
        bar->addPermanentWidget(label);
        showLineState(line, lineStates_[line]);
    }
}

void MainFrame::showLineState(int line, int state) {
    if (line < 0 || line > 1 || state < 0 || state >= kLinePictures) return;
    lineStates_[line] = state;
    QLabel* label = linePictures_[line];
    label->setPixmap(linePicture(state, label->devicePixelRatioF()));
    label->setToolTip(QString("Line %1: %2").arg(line + 1).arg(capi::ConnectionStateName(state)));
}

const QLabel* MainFrame::linePictureLabel(int line) const {
    return line == 0 || line == 1 ? linePictures_[line] : nullptr;
}

int MainFrame::linePictureState(int line) const {
    return line == 0 || line == 1 ? lineStates_[line] : -1;
}

void MainFrame::updateCommandStates() {
    if (!client_) return;
    toolBar_->updateEnabled([this](CommandId id) { return client_->commandEnabled(id); });
    for (QAction* action : menuCommands_)
        action->setEnabled(client_->commandEnabled(CommandId(action->data().toUInt())));
}

// ---- Helpers ----

void MainFrame::trace(const std::string& line) const {
    if (config_.trace)
        config_.trace(line);
    else
        AppTrace(line);
}

bool MainFrame::trayPlaced() const {
    return tray_ && tray_->placed();
}

bool MainFrame::windowShown() const {
    return client_ ? client_->windowShown() : isVisible();
}

void MainFrame::setWindowShown(bool shown) {
    if (client_) client_->setWindowShown(shown);
}

PopupBanners* MainFrame::banners() {
    // Made at the first call, when the client's picture and font are set up.
    if (!banners_ && client_)
        banners_ = std::make_unique<PopupBanners>(client_->bannerImage(), client_->bannerFont(),
                                                  config_.headless);
    return banners_.get();
}

}  // namespace orvelin::shell
