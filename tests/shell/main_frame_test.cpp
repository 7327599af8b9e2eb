// The main frame offscreen around a real client window (CAPI faked): the tray's states and
// clicks, hiding on close and minimise, the line selector's lock, the two-state button,
// the gadgets and menus, and screenshots under a virtual X server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSessionManager>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "client/popup_text.h"
#include "client/window/call_list_view.h"
#include "client/window/client_window.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "settings/option_bits.h"
#include "settings/settings_store.h"
#include "shell/frame_pictures.h"
#include "shell/main_frame.h"
#include "shell/popup_banner.h"
#include "shell/tool_bar.h"
#include "shell/tray_icon.h"
#include "tests/client/test_dir.h"
#include "tests/shell/fake_tray.h"
#include "tests/support/qt_environment.h"
#include "tests/tessaly/screenshots.h"

namespace orvelin::shell {
namespace {

using client::ClientWindow;

client::CapiOps fakeCapi(bool* registered) {
    client::CapiOps o;
    o.registerApp = [registered] {
        *registered = true;
        return 1;
    };
    o.release = [registered] { *registered = false; };
    o.clearConnections = [] {};
    o.controllers = [] { return 1; };
    o.faxProfile = [](int) { return false; };
    o.startWorker = [] { return true; };
    o.stopWorker = [] {};
    o.listen = [](int, std::uint32_t, std::uint32_t) { return 0u; };
    o.cipMask = [](int) { return 0x1FFF03FFu; };
    o.infoMask = [](int) { return 0u; };
    o.settle = [](std::chrono::milliseconds) {};
    return o;
}

// Keeps a quit sent in a test from reaching the application, which would end every later
// event loop of the test binary. Installed before the frame, it runs after the frame's filter.
class QuitSwallower : public QObject {
  protected:
    bool eventFilter(QObject*, QEvent* event) override { return event->type() == QEvent::Quit; }
};

class MainFrameTest : public testing::Test {
  protected:
    void SetUp() override {
        qApp->installEventFilter(&quitSwallower_);
        platform::setMessageBoxMode(platform::BoxMode::Headless);
        platform::setMessageLogSink([this](const std::string& line) { boxes_.push_back(line); });
        setenv("ORVELIN_HOME", (dir_.path().string() + "/").c_str(), 1);
        std::ofstream(dir_ / "orvelin.reg")
            << "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN]\n\"HostPort\"=dword:00000000\n"
               "\"Options\"=dword:00000011\n\"Pass0\"=\"all\"\n\"Pass2\"=\"two\"\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\MSN\\Numbers]\n\"MSN1\"=\"456\"\n";

        auto tray = std::make_unique<FakeTray>();
        tray_ = tray.get();
        MainFrameConfig fc;
        fc.programDir = dir_.path().string() + "/";
        fc.trayHost = std::move(tray);
        fc.trace = [this](const std::string& line) { trace_.push_back(line); };
        fc.clock = &clock_;
        std::filesystem::create_directories(dir_ / "sessions");
        writeSession("1");
        fc.sessionsDirectory = (dir_ / "sessions").string();
        fc.sessionId = "c7";
        if (!realDialog_)
            fc.lineLock.ask = [this](int) {
                ++asked_;
                return answer_;
            };
        fc.openUrl = [this](const std::string& url) {
            opened_.push_back(url);
            return true;
        };
        frame_ = std::make_unique<MainFrame>(std::move(fc));

        client::ClientWindowConfig cc;
        cc.programDir = dir_.path().string() + "/";
        cc.libraryDir = dir_.path().string();  // no settings library here
        cc.hostPort = [] { return 0u; };
        cc.capiOps = [this](platform::WindowRef) { return fakeCapi(&registered_); };
        cc.frame = frame_->hooks();
        client_ = new ClientWindow(std::move(cc), frame_.get());
        frame_->setClient(client_);
        frame_->setupWindow();
        client_->setupWindow();
        ASSERT_TRUE(client_->capiEnabled());
    }

    void TearDown() override {
        client_->cleanupWindow();
        frame_->cleanupWindow();
        frame_->detachClient();
        delete client_;
        frame_.reset();
        platform::setMessageLogSink(nullptr);
        unsetenv("ORVELIN_HOME");
    }

    // The login manager's record of the test's session, replaced as the manager does.
    void writeSession(const char* active) {
        std::ofstream(dir_ / "sessions" / ".c7.tmp") << "# This is private data.\nUID=1000\nACTIVE="
                                                     << active << "\nSTATE=active\n";
        std::filesystem::rename(dir_ / "sessions" / ".c7.tmp", dir_ / "sessions" / "c7");
    }

    bool traced(const std::string& line) const {
        return std::find(trace_.begin(), trace_.end(), line) != trace_.end();
    }

    // A call in the ring that the list shows only once it is rebuilt.
    void addUnlistedCall(const char* from, const char* name, client::CallState state,
                         const char* comment = "") {
        client::TCallRecord& r = client_->history().ring().takeNew(
            client::makeArrivalTime(std::chrono::system_clock::now()), {}, dir_.path());
        r.callerNumber.assign(from);
        r.callerName.assign(name);
        r.comment.assign(comment);
        r.calledNumber.assign("456");
        r.setMsnIndex(0);
        r.setState(state);
    }
    std::size_t listedRows() const { return client_->history().list().rows().size(); }

    void showByTray() {
        frame_->EvTrayNotify(platform::TrayClick::Left);
        ASSERT_TRUE(QTest::qWaitFor([&] { return frame_->isVisible(); }, 5000));
    }

    QuitSwallower quitSwallower_;
    bool realDialog_ = false;
    test::TestDir dir_;
    platform::ManualClock clock_;
    FakeTray* tray_ = nullptr;
    std::vector<std::string> trace_, boxes_, opened_;
    std::optional<std::string> answer_;
    int asked_ = 0;
    bool registered_ = false;
    std::unique_ptr<MainFrame> frame_;
    ClientWindow* client_ = nullptr;
};

TEST_F(MainFrameTest, TrayShowsTheStateAndTheRetryPlacesItWhenATrayAppears) {
    ASSERT_TRUE(frame_->trayPlaced());
    EXPECT_TRUE(tray_->shown);
    EXPECT_EQ(tray_->lastTip, "Orvelin");
    // The log names the window by its window-system handle: no heap address in the log.
    char added[96];
    std::snprintf(added, sizeof added, "In TrayMessage: res=TRUE hDlg=%#8lx dwMessage=       0 ",
                  static_cast<unsigned long>(frame_->winId()));
    EXPECT_TRUE(std::any_of(trace_.begin(), trace_.end(),
                            [&](const std::string& l) { return l.rfind(added, 0) == 0; }))
        << added;
    struct Case {
        bool enabled, blink;
        TrayPicture picture;
        const char* title;
    };
    const Case cases[] = {
        {true, false, TrayPicture::LinesOn, "Orvelin"},
        {true, true, TrayPicture::Message, "Orvelin"},
        {false, true, TrayPicture::CapiOff, "Orvelin (disabled)"},
        {false, false, TrayPicture::CapiOff, "Orvelin (disabled)"},
        {true, false, TrayPicture::LinesOn, "Orvelin"},
    };
    for (const Case& c : cases) {
        frame_->UpdateTrayState(c.enabled, c.blink);
        EXPECT_EQ(frame_->tray()->picture(), c.picture) << c.enabled << c.blink;
        EXPECT_EQ(frame_->windowTitle(), c.title);
        EXPECT_EQ(frame_->toolBar().button(client::CM_CAPI_ON_OFF)->isChecked(), !c.enabled);
    }

    // The tool button goes through the client, which reports back.
    frame_->toolBar().button(client::CM_CAPI_ON_OFF)->trigger();
    EXPECT_FALSE(registered_);
    EXPECT_EQ(frame_->windowTitle(), "Orvelin (disabled)");
    EXPECT_EQ(frame_->tray()->picture(), TrayPicture::CapiOff);
    frame_->toolBar().button(client::CM_CAPI_ON_OFF)->trigger();
    EXPECT_TRUE(registered_);
    EXPECT_FALSE(frame_->toolBar().button(client::CM_CAPI_ON_OFF)->isChecked());

    // The panel goes away and comes back: the icon returns within one retry period.
    tray_->present = false;
    tray_->shown = false;
    clock_.advance(kTrayRetryMs);
    EXPECT_FALSE(frame_->trayPlaced());
    tray_->present = true;
    clock_.advance(kTrayRetryMs - 1);
    EXPECT_FALSE(tray_->shown);
    clock_.advance(1);
    EXPECT_TRUE(tray_->shown);
    EXPECT_TRUE(frame_->trayPlaced());
}

TEST_F(MainFrameTest, TrayClicksShowAndHideButNotWhileADialogIsOpen) {
    EXPECT_FALSE(frame_->isVisible()) << "the window starts hidden";
    client_->setTimer(client::kBlinkTimer, 20);  // a message came in meanwhile
    ASSERT_TRUE(QTest::qWaitFor([&] { return frame_->tray()->picture() == TrayPicture::Message; }, 5000));
    showByTray();
    EXPECT_TRUE(client_->windowShown());
    // The client stops the blinking once it is restored.
    EXPECT_TRUE(QTest::qWaitFor([&] { return frame_->tray()->picture() == TrayPicture::LinesOn; }, 5000));
    QTest::qWait(100);
    EXPECT_EQ(frame_->tray()->picture(), TrayPicture::LinesOn);

    frame_->EvTrayNotify(platform::TrayClick::Right);
    frame_->EvTrayNotify(platform::TrayClick::Other);
    EXPECT_TRUE(frame_->isVisible()) << "only the left button shows and hides";
    frame_->EvTrayNotify(platform::TrayClick::Left);
    EXPECT_FALSE(frame_->isVisible());
    EXPECT_FALSE(client_->windowShown());

    // While a dialog of the client is open the tray does nothing, menu included.
    bool checked = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        EXPECT_TRUE(client_->modalDialogActive());
        frame_->EvTrayNotify(platform::TrayClick::Left);
        EXPECT_FALSE(frame_->isVisible());
        frame_->trayMenu().popup(QPoint(50, 50));
        EXPECT_TRUE(QTest::qWaitFor([&] { return !frame_->trayMenu().isVisible(); }, 2000));
        checked = true;
        dialog->reject();
    });
    frame_->command(client::CM_CALLER_LIST);
    ASSERT_TRUE(checked);
    EXPECT_FALSE(client_->modalDialogActive());

    // The menu is there while the window is hidden, and cancels itself while it is shown.
    frame_->trayMenu().popup(QPoint(50, 50));
    QTest::qWait(50);
    EXPECT_TRUE(frame_->trayMenu().isVisible());
    frame_->trayMenu().close();
    showByTray();
    frame_->trayMenu().popup(QPoint(50, 50));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !frame_->trayMenu().isVisible(); }, 2000));
}

// The session manager's request to end the session, then either the program's quit (the
// session ends) or nothing (the end was called off). Either way the end message clears
// the shutting-down state, and the first click afterwards refreshes the list. Both come
// as the application's own signals, as a real session end brings them.
TEST_F(MainFrameTest, EndOfSessionEndsOrIsCalledOffAndTheFirstClickRefreshes) {
    auto* manager = qApp->findChild<QSessionManager*>();
    ASSERT_NE(manager, nullptr) << "the application has no session manager";
    struct Case {
        const char* name;
        bool quits;
        const char* endLine;
    };
    const Case cases[] = {
        {"called off", false, "EV_ENDSESSION proceeding and  logging off 1"},
        {"ending", true, "EV_ENDSESSION ending and  logging off 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        trace_.clear();
        boxes_.clear();
        frame_->hide();
        client_->setWindowShown(false);
        client_->ref().send(platform::WM_REFRESH_LIST);
        const std::size_t before = listedRows();
        addUnlistedCall("0301234", "", client::CallState::Shown);
        Q_EMIT qApp->commitDataRequest(*manager);
        EXPECT_TRUE(traced("EV_QUERYENDSESSION"));
        EXPECT_TRUE(frame_->shuttingDown());
        if (c.quits) {
            ASSERT_TRUE(QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection));
        }
        clock_.advance(kSessionEndSettleMs - 1);
        EXPECT_EQ(frame_->shuttingDown(), !c.quits);
        clock_.advance(1);
        EXPECT_FALSE(frame_->shuttingDown());
        EXPECT_EQ(std::count(trace_.begin(), trace_.end(), std::string(c.endLine)), 1);
        EXPECT_EQ(std::count(trace_.begin(), trace_.end(), std::string("EV_ENDSESSION LogOff")), 1);
        clock_.advance(kSessionEndSettleMs);
        EXPECT_EQ(std::count(trace_.begin(), trace_.end(), std::string("EV_ENDSESSION LogOff")), 1)
            << "one end message per request";

        EXPECT_EQ(listedRows(), before);
        frame_->EvTrayNotify(platform::TrayClick::Left);
        EXPECT_EQ(listedRows(), before + 1) << "refreshed before the window shows";
        EXPECT_TRUE(frame_->isVisible());
        addUnlistedCall("0305678", "", client::CallState::Shown);
        frame_->EvTrayNotify(platform::TrayClick::Left);
        frame_->EvTrayNotify(platform::TrayClick::Left);
        QTest::qWait(20);
        EXPECT_EQ(listedRows(), before + 1) << "only the first click after the session refreshes";

        // With the shutting-down state cleared, Exit asks again (headless: "No").
        frame_->command(CM_EXIT);
        EXPECT_FALSE(frame_->exiting());
        EXPECT_NE(std::find_if(boxes_.begin(), boxes_.end(),
                               [](const std::string& b) {
                                   return b.find("Are you sure you want to quit?") != std::string::npos;
                               }),
                  boxes_.end());
    }
}

// The desktop's own changes: the locale (refreshes the list), fonts and colours (no
// section), and the window system's commands other than close and minimise.
TEST_F(MainFrameTest, DesktopChangesAndOtherSystemCommandsAreTraced) {
    showByTray();
    const std::size_t before = listedRows();
    addUnlistedCall("0301234", "", client::CallState::Shown);
    const QFont font = QApplication::font();
    const struct {
        const char* name;
        std::function<void()> change;
        const char* line;
        bool refreshes;
    } cases[] = {
        {"locale", [&] { QEvent e(QEvent::LocaleChange); QApplication::sendEvent(frame_.get(), &e); },
         "WinIniChange intl", true},
        {"font", [&] {
             QFont other = font;
             other.setPointSize(font.pointSize() + 3);
             QApplication::setFont(other);
         }, "WinIniChange empty", false},
        {"maximise", [&] { frame_->showMaximized(); }, "EV_SYSCOMMAND other", false},
        {"restore", [&] { frame_->showNormal(); }, "EV_SYSCOMMAND other", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        trace_.clear();
        const std::size_t rows = listedRows();
        c.change();
        QTest::qWait(20);
        EXPECT_TRUE(traced(c.line));
        EXPECT_FALSE(traced("EV_SYSCOMMAND SC_CLOSE or SC_MINIMIZE"));
        if (c.refreshes) EXPECT_EQ(listedRows(), before + 1);
        else EXPECT_EQ(listedRows(), rows);
    }
    QApplication::setFont(font);
    // The frame's own return from a minimise is no system command.
    trace_.clear();
    frame_->showMinimized();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !frame_->isVisible(); }, 5000));
    EXPECT_TRUE(traced("EV_SYSCOMMAND SC_CLOSE or SC_MINIMIZE"));
    EXPECT_FALSE(traced("EV_SYSCOMMAND other"));
}

// The editing keys reach the text field with the focus through the frame's table.
TEST_F(MainFrameTest, EditingKeysReachTheFocusedTextField) {
    showByTray();
    auto* field = new QLineEdit("call me", client_);
    field->show();
    field->setFocus();
    field->selectAll();
    QApplication::clipboard()->clear();
    const struct {
        const char* action;
        std::function<bool()> done;
    } cases[] = {
        {"Edit copy", [&] { return QApplication::clipboard()->text() == "call me"; }},
        {"Edit cut", [&] { return field->text().isEmpty(); }},
        {"Edit undo", [&] { return field->text() == "call me"; }},
        {"Edit selectAll", [&] { return field->selectedText() == "call me"; }},
        {"Edit paste", [&] { return field->text() == "call me"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action);
        QAction* action = frame_->findChild<QAction*>(c.action);
        ASSERT_NE(action, nullptr);
        EXPECT_FALSE(action->shortcut().isEmpty());
        action->trigger();
        EXPECT_TRUE(c.done());
    }
    delete field;
}

// Another user switched to: the window hides; the switch back shows nothing by itself.
TEST_F(MainFrameTest, ASwitchToAnotherUserHidesTheWindow) {
    const struct {
        const char* name;
        bool shown;
    } cases[] = {{"shown", true}, {"hidden", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        trace_.clear();
        if (c.shown) showByTray();
        ASSERT_EQ(frame_->isVisible(), c.shown);
        writeSession("0");
        EXPECT_TRUE(QTest::qWaitFor([&] { return traced("UserChanged"); }, 5000));
        EXPECT_FALSE(frame_->isVisible());
        EXPECT_FALSE(client_->windowShown());
        trace_.clear();
        writeSession("1");
        QTest::qWait(100);
        EXPECT_FALSE(traced("UserChanged")) << "coming back is no change of user";
        EXPECT_FALSE(frame_->isVisible());
    }
}

TEST_F(MainFrameTest, CloseAndMinimiseHideTheWindowAndExitEndsIt) {
    const char* kTrace = "EV_SYSCOMMAND SC_CLOSE or SC_MINIMIZE";
    const std::function<void()> ways[] = {
        [&] { frame_->close(); },
        [&] { frame_->showMinimized(); },
    };
    for (const auto& hideIt : ways) {
        trace_.clear();
        showByTray();
        ASSERT_TRUE(client_->windowShown());
        hideIt();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !frame_->isVisible(); }, 5000));
        EXPECT_FALSE(client_->windowShown());
        EXPECT_TRUE(traced(kTrace));
        EXPECT_FALSE(frame_->exiting());
        EXPECT_TRUE(client_->capiEnabled()) << "the program goes on";
    }
    showByTray();
    EXPECT_FALSE(frame_->isMinimized()) << "back as it was before the minimise";

    // Exit asks the client: "No" keeps the program, a session that ends does not ask.
    frame_->command(CM_EXIT);
    EXPECT_FALSE(frame_->exiting()) << "headless boxes answer No";
    frame_->EvQueryEndSession();
    frame_->command(CM_EXIT);
    EXPECT_TRUE(frame_->exiting());
}

// Before its first show the frame takes the size its client, bars and menu need, not a
// fixed one, and stands in the middle of the screen.
TEST_F(MainFrameTest, FrameTakesItsClientsSizeAndIsCentredBeforeItsFirstShow) {
    frame_->resize(900, 400);
    frame_->move(0, 0);
    frame_->shrinkToClient();
    EXPECT_LE(frame_->width(), frame_->sizeHint().width()) << "no wider than its parts need";
    EXPECT_LE(frame_->height(), frame_->sizeHint().height());
    EXPECT_GE(frame_->centralWidget()->width(), frame_->centralWidget()->sizeHint().width());
    EXPECT_GE(frame_->centralWidget()->height(), frame_->centralWidget()->sizeHint().height());
    const QRect area = frame_->screen()->availableGeometry();
    ASSERT_TRUE(area.contains(frame_->frameGeometry())) << "the screen is too small for the test";
    EXPECT_LE(std::abs(frame_->frameGeometry().center().x() - area.center().x()), 1);
    EXPECT_LE(std::abs(frame_->frameGeometry().center().y() - area.center().y()), 1);
}

// Shown from the tray, the window docks at the right edge of the work area, full height.
TEST_F(MainFrameTest, ShownWindowIsDockedAtTheRightOfTheWorkArea) {
    frame_->resize(300, 200);
    frame_->move(0, 0);
    showByTray();
    const QRect area = frame_->screen()->availableGeometry();
    ASSERT_FALSE(area.isEmpty());
    EXPECT_TRUE(QTest::qWaitFor([&] { return frame_->frameGeometry().right() == area.right(); }, 5000));
    const QRect docked = frame_->frameGeometry();
    EXPECT_EQ(docked.right(), area.right());
    EXPECT_EQ(docked.height(), area.height());
    EXPECT_GE(docked.left(), area.left() + area.width() / 2) << "never more than half";
    EXPECT_EQ(frame_->hooks().workArea(), area);
}

TEST_F(MainFrameTest, TheApplicationsQuitClosesTheWindow) {
    showByTray();
    QEvent quit(QEvent::Quit);  // as the application sends itself before it closes all
    QCoreApplication::sendEvent(qApp, &quit);
    EXPECT_TRUE(frame_->exiting());
    frame_->close();
    EXPECT_FALSE(frame_->isVisible()) << "the application's close is accepted";
    EXPECT_FALSE(traced("EV_SYSCOMMAND SC_CLOSE or SC_MINIMIZE"));
}

TEST_F(MainFrameTest, LineSelectorAsksOnlyForLockedLines) {
    QComboBox* selector = frame_->toolBar().lineSelector();
    ASSERT_EQ(selector->count(), 12);
    EXPECT_EQ(selector->itemText(0), "All lines");
    EXPECT_EQ(selector->itemText(10), "MSN 10");
    EXPECT_EQ(selector->itemText(11), "No lines");
    struct Step {
        int pick;
        std::optional<std::string> answer;
        int selected;
        int asks;
    };
    const Step steps[] = {
        {1, "x", 1, 0},              // no "Pass1": free
        {2, "wrong", 1, 1},          // the previous line stays
        {2, "two", 2, 1},            // right password
        {11, "x", 11, 0},            // "No lines" never asks
        {0, std::nullopt, 11, 1},    // cancel: "No lines"
        {0, "all", 0, 1},            // "All lines" has a password too
        {0, "x", 0, 0},              // the same line again: nothing
    };
    for (const Step& s : steps) {
        answer_ = s.answer;
        asked_ = 0;
        selector->setCurrentIndex(s.pick);
        Q_EMIT selector->activated(s.pick);
        EXPECT_EQ(frame_->selectedLine(), s.selected) << s.pick;
        EXPECT_EQ(selector->currentIndex(), s.selected) << "the selector shows what stands";
        EXPECT_EQ(client_->history().list().selectedLine(), s.selected);
        EXPECT_EQ(asked_, s.asks) << s.pick;
    }
}

class MainFrameDialogTest : public MainFrameTest {
  protected:
    MainFrameDialogTest() { realDialog_ = true; }
};

TEST_F(MainFrameDialogTest, PasswordIsTypedIntoAMaskedField) {
    bool typed = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->windowTitle(), "Orvelin user validation");
        EXPECT_EQ(dialog->labelText(), "Enter your password:");
        auto* edit = dialog->findChild<QLineEdit*>();
        ASSERT_NE(edit, nullptr);
        EXPECT_EQ(edit->echoMode(), QLineEdit::Password);
        EXPECT_EQ(edit->maxLength(), 64);
        EXPECT_TRUE(edit->text().isEmpty());
        QTest::keyClicks(edit, "two");
        typed = true;
        dialog->accept();
    });
    QComboBox* selector = frame_->toolBar().lineSelector();
    selector->setCurrentIndex(2);
    Q_EMIT selector->activated(2);
    ASSERT_TRUE(typed);
    EXPECT_EQ(frame_->selectedLine(), 2);
}

TEST_F(MainFrameTest, TwoStateButtonStoresItsBit) {
    using settings::OptionBits;
    FrameToolBar& bar = frame_->toolBar();
    auto placeAfterPlay = [&] {
        const auto order = bar.commandOrder();
        const auto play = std::find(order.begin(), order.end(), client::CM_PLAY);
        return play + 1 < order.end() ? *(play + 1) : 0u;
    };
    EXPECT_EQ(placeAfterPlay(), CM_TWO_STATE_CLEAR);
    struct Step {
        platform::CommandId click;
        platform::CommandId shown;
        bool bit;
    };
    for (const Step& s : {Step{CM_TWO_STATE_CLEAR, CM_TWO_STATE_SET, true},
                          Step{CM_TWO_STATE_SET, CM_TWO_STATE_CLEAR, false},
                          Step{CM_TWO_STATE_CLEAR, CM_TWO_STATE_SET, true}}) {
        ASSERT_NE(bar.button(s.click), nullptr);
        bar.button(s.click)->trigger();
        EXPECT_EQ(placeAfterPlay(), s.shown);
        EXPECT_EQ(bar.button(s.click), nullptr);
        EXPECT_EQ(settings::HasOption(settings::GetOptions(), OptionBits::ToolButtonDown), s.bit);
        EXPECT_EQ(settings::GetOptions() & ~OptionBits::ToolButtonDown, 0x11u) << "other bits kept";
    }
    // A hive that refuses the write leaves the button as it was.
    std::ofstream(dir_ / "orvelin.reg") << "not a hive\n";
    bar.button(CM_TWO_STATE_SET)->trigger();
    EXPECT_EQ(placeAfterPlay(), CM_TWO_STATE_SET);
    EXPECT_TRUE(traced("The tool button state could not be stored"));
}

TEST_F(MainFrameTest, GadgetsMenusAndLinePicturesAreInPlace) {
    using namespace client;
    const std::vector<platform::CommandId> order = {
        CM_OPEN_LOG, CM_CONFIGURE_MSN, CM_CALLER_LIST, CM_CAPI_ON_OFF, CM_ANSWER, CM_REJECT,
        CM_RECORD, CM_PLAY, CM_TWO_STATE_CLEAR, CM_SEND, kLineSelectorId, CM_HIDE};
    EXPECT_EQ(frame_->toolBar().commandOrder(), order);
    const std::map<platform::CommandId, std::string> hints = {
        {102, "Configure MSN numbers and functions"},
        {103, "Configure number to name associations"},
        {105, "Reject current incoming call"},
        {106, "Answer current incoming call"},
        {167, "Hide window"},
        {175, "Turn on or off"},
        {177, "Import address book from Windows Messaging (Exchange)."},
        {180, "Set options"},
        {207, "Play all new messages"},
        {212, "Send text message"},
        {11842, "Record welcome message"},
        {11843, "Request caller info"},
        {24332, "Open the logfile containing previous incoming calls"},
    };
    for (const auto& [id, text] : hints) {
        ASSERT_NE(commandHint(id), nullptr) << id;
        EXPECT_EQ(commandHint(id), text) << id;
    }
    for (platform::CommandId id : order) {
        if (id == kLineSelectorId) continue;
        QAction* button = frame_->toolBar().button(id);
        ASSERT_NE(button, nullptr) << id;
        EXPECT_FALSE(button->icon().isNull()) << id;
        const auto hint = hints.find(id);
        EXPECT_EQ(button->toolTip().toStdString(), hint == hints.end() ? "" : hint->second) << id;
        EXPECT_EQ(button->isCheckable(), id == CM_CAPI_ON_OFF || id == CM_PLAY) << id;
    }
    EXPECT_EQ(frame_->toolBar().lineSelector()->width(), 85);

    auto texts = [](const QList<QAction*>& actions) {
        QStringList out;
        for (QAction* a : actions) out << (a->isSeparator() ? "-" : a->text());
        return out;
    };
    EXPECT_EQ(texts(frame_->menuBar()->actions()),
              QStringList({"&File", "&Answer", "&Reject", "&Hide", "Record", "&Play", "Send", "&Help"}));
    QMenu* file = frame_->menuBar()->actions().front()->menu();
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(texts(file->actions()),
              QStringList({"&Open log...", "-", "Configure &MSN", "Configure &associations",
                           "&Import address book", "&Set &options", "-", "&CAPI on/off", "-",
                           "E&xit\tAlt+F4"}));
    EXPECT_EQ(file->actions().back()->shortcut(), QKeySequence("Alt+F4"));
    EXPECT_EQ(texts(frame_->trayMenu().actions()),
              QStringList({"Cancel", "Configure &MSN", "Set &options", "E&xit"}));
    EXPECT_EQ(tray_->menu, &frame_->trayMenu());

    // Menu commands reach the client: "&Hide" hides the shown window.
    showByTray();
    frame_->menuBar()->actions()[3]->trigger();
    EXPECT_FALSE(frame_->isVisible());
    EXPECT_FALSE(client_->windowShown());

    // The client set both lines to "Disconnected"; each state has its own picture.
    client::FrameHooks hooks = frame_->hooks();
    EXPECT_EQ(frame_->linePictureState(0), 0);
    EXPECT_EQ(frame_->linePictureState(1), 0);
    std::set<qint64> pictures;
    for (int state = 0; state < 7; ++state) {
        hooks.showLineState(1, state);
        EXPECT_EQ(frame_->linePictureState(1), state);
        pictures.insert(frame_->linePictureLabel(1)->pixmap().cacheKey());
    }
    EXPECT_EQ(pictures.size(), 7u);
    for (auto [line, state] : {std::pair{2, 1}, {-1, 1}, {0, 7}, {0, -1}}) hooks.showLineState(line, state);
    EXPECT_EQ(frame_->linePictureState(0), 0) << "states and lines out of range are ignored";
    EXPECT_EQ(frame_->linePictureState(1), 6);
}

TEST_F(MainFrameTest, EveryConnectionsCallGetsItsBannerAndItsClose) {
    auto shownBanner = [](const QString& caller) -> TBigSplash* {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* b = dynamic_cast<TBigSplash*>(w);
                b && b->isVisible() && !b->IsClosed() && b->GetStatic()->text() == caller)
                return b;
        return nullptr;
    };
    for (const platform::WParam id : {platform::WParam{0}, platform::WParam{2}, platform::WParam{3}}) {
        SCOPED_TRACE(id);
        const QString caller = QString("Caller on %1").arg(id);
        auto text = std::make_unique<client::PopupText>();
        text->callerText = caller.toStdString();
        text->detailLine = "detail";
        client_->post(platform::WM_SHOW_POPUP, id, 0, std::move(text));
        ASSERT_TRUE(QTest::qWaitFor([&] { return shownBanner(caller) != nullptr; }, 5000));
        client_->post(platform::WM_CLOSE_POPUP, id);
        EXPECT_TRUE(QTest::qWaitFor([&] { return shownBanner(caller) == nullptr; }, 5000));
    }
}

TEST_F(MainFrameTest, WebPageOpensTheShortcutsAddressOnly) {
    frame_->command(CM_VISIT_WEB_PAGE);
    EXPECT_TRUE(opened_.empty());
    ASSERT_FALSE(boxes_.empty());
    EXPECT_NE(boxes_.back().find("Could not visit Orvelin Web Page"), std::string::npos);

    std::ofstream(dir_ / "Orvelin Home.url") << "[InternetShortcut]\nURL=file:///etc/passwd\n";
    boxes_.clear();
    frame_->command(CM_VISIT_WEB_PAGE);
    EXPECT_TRUE(opened_.empty());
    EXPECT_EQ(boxes_.size(), 1u);

    std::ofstream(dir_ / "Orvelin Home.url") << "[InternetShortcut]\nURL=https://example.org/\n";
    boxes_.clear();
    frame_->command(CM_VISIT_WEB_PAGE);
    EXPECT_EQ(opened_, std::vector<std::string>{"https://example.org/"});
    EXPECT_TRUE(boxes_.empty());
}

// Run again under Xvfb by the test below; saves the pictures where it is told to.
TEST_F(MainFrameTest, ScreenshotPictures) {
    const char* folder = std::getenv("ORVELIN_SCREENSHOTS");
    if (!folder) GTEST_SKIP() << "taken by FrameScreenshots under a virtual X server";
    std::filesystem::create_directories(folder);
    const std::string base = std::string(folder) + "/";

    addUnlistedCall("0301234567", "Anne Example", client::CallState::VoiceMessage);
    addUnlistedCall("0409876543", "", client::CallState::Rejected);
    addUnlistedCall("0891112223", "Example & Co <b>GmbH</b>", client::CallState::Fax);
    addUnlistedCall("0175555123", "Ben Sample", client::CallState::Answered);
    // Long fields: no time, number, name or count may be cut at this width.
    addUnlistedCall("0711234567", "Katharina Mustermann-Lang", client::CallState::Sms,
                    "Please call back about the invoice 4711.");
    client_->ref().send(platform::WM_REFRESH_LIST);
    ASSERT_EQ(listedRows(), 5u);
    frame_->hooks().showLineState(0, 4);
    frame_->resize(900, 400);
    showByTray();
    QTest::qWait(300);
    const QImage window = frame_->grab().toImage();
    ASSERT_TRUE(window.save(QString::fromStdString(base + "main-window.png")));
    // The status bar shows line 0's picture for state 4 where its label stands.
    {
        const QLabel* label = frame_->linePictureLabel(0);
        ASSERT_NE(label, nullptr);
        const qreal ratio = window.devicePixelRatio();
        const QImage expected = linePicture(4, ratio).toImage().convertToFormat(QImage::Format_ARGB32);
        const QRect where(label->mapTo(frame_.get(), QPoint(0, 0)) * ratio, label->size() * ratio);
        const QImage shown = window.copy(where).convertToFormat(QImage::Format_ARGB32);
        bool found = false;
        for (int y = 0; !found && y + expected.height() <= shown.height(); ++y)
            for (int x = 0; !found && x + expected.width() <= shown.width(); ++x) {
                bool same = true;
                for (int j = 0; same && j < expected.height(); ++j)
                    for (int i = 0; same && i < expected.width(); ++i) {
                        const QColor e = expected.pixelColor(i, j);
                        if (e.alpha() == 255) same = shown.pixelColor(x + i, y + j) == e;
                    }
                found = same;
            }
        EXPECT_TRUE(found) << "the picture of state 4 is not in the status bar";
    }
    // Wide enough for every column, as a user widens the docked window.
    frame_->resize(1020, 300);
    QTest::qWait(200);
    ASSERT_TRUE(frame_->grab().save(QString::fromStdString(base + "call-list-wide.png")));
    // With this display's fonts every cell has the room its text and picture ask for:
    // time, numbers, names and counts always, the comment once the window is this wide.
    {
        const client::CallListView& view = client_->listView();
        const QAbstractItemModel& model = *view.model();
        for (int row = 0; row < model.rowCount(); ++row)
            for (int c = 0; c < client::kCallColumnCount; ++c) {
                const QModelIndex index = model.index(row, c);
                EXPECT_GE(view.columnWidth(c), view.sizeHintForIndex(index).width())
                    << "row " << row << " column " << c << " cut: "
                    << model.data(index, Qt::DisplayRole).toString().toStdString();
            }
    }

    frame_->EvTrayNotify(platform::TrayClick::Left);
    ASSERT_FALSE(frame_->isVisible());
    frame_->trayMenu().popup(QPoint(200, 200));
    ASSERT_TRUE(QTest::qWaitFor([&] { return frame_->trayMenu().isVisible(); }, 5000));
    QTest::qWait(200);
    ASSERT_TRUE(frame_->trayMenu().grab().save(QString::fromStdString(base + "tray-menu.png")));
    frame_->trayMenu().close();

    auto text = std::make_unique<client::PopupText>();
    text->callerText = "Anne Example";
    text->detailLine = "Anne Example 0301234567 to Office 456";
    client_->post(platform::WM_SHOW_POPUP, 0, 0, std::move(text));
    TBigSplash* banner = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* b = dynamic_cast<TBigSplash*>(w); b && b->isVisible()) banner = b;
        return banner != nullptr;
    }, 5000));
    QTest::qWait(200);
    const QImage shot = banner->grab().toImage();
    ASSERT_TRUE(shot.save(QString::fromStdString(base + "popup-banner.png")));
    // Screen width - 2 x edge - 1, and the name drawn in the text colour, centred.
    const QStyle* style = QApplication::style();
    EXPECT_EQ(banner->width(), QGuiApplication::primaryScreen()->geometry().width() -
                                   2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth) - 1);
    const QColor ink = banner->GetStatic()->palette().color(QPalette::WindowText);
    int left = shot.width(), right = -1, inked = 0;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x)
            if (shot.pixelColor(x, y) == ink) {
                ++inked;
                left = std::min(left, x);
                right = std::max(right, x);
            }
    EXPECT_GT(inked, 200) << "no name drawn on the banner";
    EXPECT_LE(std::abs((left + right) / 2 - shot.width() / 2), shot.width() / 20)
        << "the name is not centred: " << left << ".." << right << " of " << shot.width();
    client_->post(platform::WM_CLOSE_POPUP, 0);
    QTest::qWait(50);
}

TEST(FrameScreenshots, MainWindowTrayMenuAndBanner) {
    test::ScreenshotsUnderXvfb("frame-screenshots", "MainFrameTest.ScreenshotPictures", 4, QSize());
}

}  // namespace
}  // namespace orvelin::shell
