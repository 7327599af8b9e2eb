// The client window offscreen against the simulated exchange: its commands and their
// enablers on a real call (reject, answer, remove entry, edit remark, CAPI off and on).
#include <gtest/gtest.h>

#include <QApplication>
#include <QInputDialog>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <dlfcn.h>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <type_traits>

#include "capi/capi.h"
#include "client/window/call_list_view.h"
#include "client/text_log.h"
#include "client/text_messages.h"
#include "client/window/client_window.h"
#include "client/window/docking.h"
#include "media/speech.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "settings/msn_table.h"
#include "settings/option_bits.h"
#include "settings/settings_store.h"
#include "tests/client/test_dir.h"
#include "tests/support/qt_environment.h"
#include "tools/isdnsim/isdnsim.h"

namespace orvelin::client {
namespace {

class RecordingHandler : public LineHandler {
  public:
    void answerWithGreeting(int line, int msn) override { answers.push_back({line, msn}); }
    void answerFaxCall(int) override {}
    std::vector<std::pair<int, int>> answers;
};

class ClientWindowTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        exchange_ = new isdnsim::Exchange();
        capi::SetRemoteExchange("127.0.0.1", exchange_->port());
        platform::setMessageBoxMode(platform::BoxMode::Headless);
    }
    static void TearDownTestSuite() {
        delete exchange_;
        exchange_ = nullptr;
    }

    void SetUp() override {
        setenv("ORVELIN_HOME", (dir_.path().string() + "/").c_str(), 1);
        std::ofstream(dir_ / "orvelin.reg")
            << "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN]\n\"HostPort\"=dword:00000000\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\MSN\\Numbers]\n\"MSN1\"=\"456\"\n";
        exchange_->clearRecord();
        ClientWindowConfig config;
        config.programDir = dir_.path().string() + "/";
        config.libraryDir = ORVELIN_BUILD_DIR;
        config.hostPort = [] { return 0u; };  // no instance link here
        config.frame.closePopup = [this](platform::AppMessage& m) {
            closedPopups_.push_back(int(m.wParam));
            return platform::LResult(0);
        };
        config.service.install = [this] {
            service_.push_back("install");
            autoStart_ = 1;
            return 0;
        };
        config.service.disable = [this] {
            service_.push_back("disable");
            autoStart_ = 0;
            return 0;
        };
        config.service.queryAutoStart = [this] {
            service_.push_back("query");
            return autoStart_;
        };
        config.service.registerProcess = [this](bool on) {
            service_.push_back(on ? "register" : "unregister");
        };
        config.frame.showLineState = [this](int, int) {
            if (lineStateThrows_) lineStateThrows_();
        };
        config.frame.workArea = [this] { return workArea_; };
        config.frame.placeFrame = [this](const QRect& frame) { placed_.push_back(frame); };
        config.comInitialized = comInitialized_;
        window_ = std::make_unique<ClientWindow>(std::move(config));
        window_->setupWindow();
        window_->setLineHandler(&handler_);
        ASSERT_TRUE(window_->capiEnabled());
        ASSERT_TRUE(exchange_->waitFor(CAPI_LISTEN, CAPI_REQ));
    }
    void TearDown() override {
        platform::setMessageLogSink({});
        exchange_->configure([](isdnsim::Options& o) {
            o.serviceCentre.reset();
            o.answerOutgoing = true;
        });
        window_->cleanupWindow();
        window_.reset();
        unsetenv("ORVELIN_HOME");
    }

    // Rings, and waits until the call is listed and alerting on its line.
    std::uint32_t ringListed(const std::string& from, const std::string& to = "456") {
        isdnsim::CallSetup s;
        s.calling = from;
        s.called = to;
        const std::uint32_t plci = exchange_->ring(s);
        EXPECT_NE(plci, 0u);
        EXPECT_TRUE(QTest::qWaitFor([&] {
            return window_->commandEnabled(CM_ANSWER) && !window_->history().list().rows().empty() &&
                   window_->history().list().rows().front().text[kColumnCallerNumber] == from;
        }, 20000));
        return plci;
    }
    // Gives `command` with `drive` acting on the modal dialog it opens (and closing it).
    template <typename Dialog = QDialog>
    void commandWithDialog(WindowCommand command,
                           const std::function<void(std::type_identity_t<Dialog>&)>& drive) {
        bool driven = false;
        QTimer opened;  // gone with this call, so a dialog that never opened leaves nothing behind
        opened.setSingleShot(true);
        QObject::connect(&opened, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr) << "command " << int(command) << " opened no dialog";
            drive(*dialog);
            driven = true;
        });
        opened.start(0);
        window_->command(command);
        EXPECT_TRUE(driven) << "command " << int(command);
    }
    const CallRow& topRow() { return window_->history().list().rows().front(); }
    void selectTopRow() {
        window_->listView().setCurrentIndex(window_->listView().model()->index(0, 0));
    }

    static isdnsim::Exchange* exchange_;
    test::TestDir dir_;
    RecordingHandler handler_;
    std::vector<int> closedPopups_;
    std::vector<std::string> service_;  // what was asked of the service manager
    int autoStart_ = 0;
    std::function<void()> lineStateThrows_;  // empty: the line picture is shown quietly
    QRect workArea_{0, 0, 1920, 1040};
    std::vector<QRect> placed_;  // where the frame was docked
    bool comInitialized_ = false;  // speech exists only then
    std::unique_ptr<ClientWindow> window_;
};

isdnsim::Exchange* ClientWindowTest::exchange_ = nullptr;

class ClientWindowSpeechTest : public ClientWindowTest {
  protected:
    ClientWindowSpeechTest() { comInitialized_ = true; }
};

TEST_F(ClientWindowTest, RejectAndAnswerFollowTheCurrentLine) {
    EXPECT_FALSE(window_->commandEnabled(CM_REJECT)) << "no call yet";
    EXPECT_FALSE(window_->commandEnabled(CM_ANSWER));
    EXPECT_TRUE(window_->commandEnabled(CM_REMOVE_ENTRY)) << "no enabler: always available";

    const std::uint32_t plci = ringListed("0301234567");
    EXPECT_TRUE(window_->commandEnabled(CM_REJECT));
    EXPECT_TRUE(window_->commandEnabled(CM_RECORD));
    window_->command(CM_ANSWER);
    ASSERT_EQ(handler_.answers.size(), 1u);
    EXPECT_EQ(handler_.answers[0], std::make_pair(0, 1));

    const std::size_t mark = exchange_->messageCount();
    window_->command(CM_REJECT);
    auto resp = exchange_->waitFor(CAPI_CONNECT, CAPI_RESP, mark);
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->cmsg.Reject, 0) << "accepted, then cleared";
    EXPECT_TRUE(exchange_->waitFor(CAPI_DISCONNECT, CAPI_REQ, mark));
    EXPECT_EQ(topRow().state, 1u);
    EXPECT_FALSE(window_->commandEnabled(CM_REJECT)) << "the command let go of the line";
    EXPECT_FALSE(window_->commandEnabled(CM_ANSWER));
    window_->command(CM_REJECT);  // not available: nothing sent
    QTest::qWait(100);
    EXPECT_EQ(exchange_->find(CAPI_DISCONNECT, CAPI_REQ).size(), 1u);
    EXPECT_TRUE(exchange_->waitUntil(
        [&] { return exchange_->find(CAPI_DISCONNECT, CAPI_RESP).size() == 1; }));
    (void)plci;
}

TEST_F(ClientWindowTest, RemoveEntryAndEditRemarkWorkOnTheSelectedRow) {
    const std::uint32_t a = ringListed("0301111111");
    const std::uint32_t b = ringListed("0302222222");
    ASSERT_EQ(window_->history().list().rows().size(), 2u);

    selectTopRow();
    commandWithDialog<QInputDialog>(CM_EDIT_REMARK, [](QInputDialog& dialog) {
        EXPECT_EQ(dialog.windowTitle(), "Edit comment");
        dialog.setTextValue("call back after lunch");
        dialog.accept();
    });
    EXPECT_EQ(topRow().text[kColumnComment], "call back after lunch");

    selectTopRow();
    window_->command(CM_REMOVE_ENTRY);
    ASSERT_EQ(window_->history().list().rows().size(), 1u);
    EXPECT_EQ(topRow().text[kColumnCallerNumber], "0301111111");
    window_->history().flush();
    CallRing saved(window_->history().ring().size());
    ASSERT_TRUE(loadCallTable(callTablePath(dir_.path().string() + "/"), saved, {}));
    int inUse = 0;
    for (std::uint32_t i = 0; i < saved.size(); ++i) inUse += saved.at(i).inUse() ? 1 : 0;
    EXPECT_EQ(inUse, 1) << "the removal was saved";
    exchange_->hangUp(a, 0x3490);
    exchange_->hangUp(b, 0x3490);
}

TEST_F(ClientWindowTest, RightClickShowsTheListMenuInItsOrderOnTheRowUnderTheCursor) {
    const std::uint32_t call = ringListed("0301111111");
    struct Item {
        const char* text;
        platform::CommandId id;
    };
    const Item items[] = {{"&Add to caller list", 201}, {"&Remove entry", 202},
                          {"&Edit remark", 203},        {"&Send message", 211},
                          {"Request info", 11843},      {"&Lookup", 208}};
    CallListView& view = window_->listView();
    view.clearSelection();
    std::vector<std::pair<std::string, platform::CommandId>> shown;
    QTimer opened;
    opened.setSingleShot(true);
    QObject::connect(&opened, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr) << "no menu opened";
        for (QAction* a : menu->actions())
            shown.emplace_back(a->text().toStdString(), a->data().value<platform::CommandId>());
        menu->close();
    });
    opened.start(0);
    Q_EMIT view.customContextMenuRequested(view.visualRect(view.model()->index(0, 2)).center());
    ASSERT_EQ(shown.size(), std::size(items));
    for (std::size_t i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(shown[i].first, items[i].text) << i;
        EXPECT_EQ(shown[i].second, items[i].id) << i;
    }
    EXPECT_EQ(view.firstSelectedId(), topRow().id) << "the row under the cursor is selected";
    exchange_->hangUp(call, 0x3490);
}

TEST_F(ClientWindowTest, TheCommentFieldTakesNoMoreThanTheRecordHolds) {
    const std::uint32_t call = ringListed("0301111111");
    const std::string a200(200, 'a');
    std::string umlauts;
    for (int i = 0; i < 100; ++i) umlauts += "\xc3\xa4";  // 200 bytes, 100 letters
    struct Case {
        const char* what;
        std::string pasted, typed;
        std::string kept;
    };
    const Case cases[] = {
        {"128 bytes typed", "", std::string(128, 'b'), std::string(128, 'b')},
        {"typing stops at 128", "", std::string(130, 'c'), std::string(128, 'c')},
        {"a paste past the limit is refused", a200, "", ""},
        {"a paste that fits, then typing", std::string(120, 'd'), "0123456789",
         std::string(120, 'd') + "01234567"},
        {"letters of two bytes", umlauts.substr(0, 126), "\xc3\xa4\xc3\xa4",
         umlauts.substr(0, 128)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        selectTopRow();
        commandWithDialog<QInputDialog>(CM_EDIT_REMARK, [&](QInputDialog& dialog) {
            EXPECT_EQ(dialog.windowTitle(), "Edit comment");
            EXPECT_EQ(dialog.labelText(), "Enter your comment:");
            auto* edit = dialog.findChild<QLineEdit*>();
            ASSERT_NE(edit, nullptr);
            edit->clear();
            if (!c.pasted.empty()) edit->insert(QString::fromStdString(c.pasted));
            // Typed one letter after another (key clicks know no letters beyond ASCII).
            for (const QChar letter : QString::fromStdString(c.typed)) edit->insert(letter);
            dialog.accept();
        });
        EXPECT_EQ(topRow().text[kColumnComment], c.kept);
    }
    exchange_->hangUp(call, 0x3490);
}

TEST_F(ClientWindowTest, LongDateFromTheOptionsRefreshesTheListAndFitsTheTime) {
    const std::uint32_t call = ringListed("0301111111");
    const std::string shortTime = topRow().text[kColumnTime];
    commandWithDialog(CM_OPTIONS, [](QDialog& form) {
        auto* longDate = form.findChild<QCheckBox*>("LongDate");
        ASSERT_NE(longDate, nullptr);
        longDate->setChecked(true);
        form.findChild<QToolButton*>("SpeedButton5")->click();
    });
    ASSERT_TRUE(settings::HasOption(settings::GetOptions(), settings::OptionBits::LongDate));
    // The list is rebuilt by a posted message.
    ASSERT_TRUE(QTest::qWaitFor([&] { return topRow().text[kColumnTime] != shortTime; }, 5000));
    EXPECT_NE(topRow().text[kColumnTime].find(", "), std::string::npos) << topRow().text[kColumnTime];
    CallListView& view = window_->listView();
    QCoreApplication::processEvents();
    EXPECT_GE(view.columnWidth(kColumnTime), view.sizeHintForIndex(view.model()->index(0, 0)).width());
    exchange_->hangUp(call, 0x3490);
}

TEST_F(ClientWindowTest, OpenLogHandsTheTextLogToTheEditor) {
    const std::filesystem::path opened = dir_.path() / "opened";
    const char* before = std::getenv("EDITOR");
    const std::string saved = before ? before : "";
    setenv("EDITOR", ("sh -c \"printf %s \\\"$0\\\" > '" + opened.string() + "'\"").c_str(), 1);
    window_->command(CM_OPEN_LOG);
    if (before) setenv("EDITOR", saved.c_str(), 1);
    else unsetenv("EDITOR");
    ASSERT_TRUE(QTest::qWaitFor([&] {
        std::error_code ec;
        return std::filesystem::file_size(opened, ec) > 0 && !ec;
    }, 5000));
    std::ifstream in(opened);
    const std::string path((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(path, textLogPath(dir_.path().string() + "/").string());
}

TEST_F(ClientWindowTest, ACallThatRaisesTheHiddenWindowLogsAndDocksToTheWorkArea) {
    ASSERT_TRUE(platform::Hive::atDefaultPath()
                    .update([](platform::RegNode& root) {
                        root.createSubkey("SOFTWARE\\ORVELIN\\MSN")
                            ->setBinary("Popup Settings", std::vector<std::uint8_t>{0x01, 0x00});
                    })
                    .ok());
    window_->send(platform::WM_SETTINGS_CHANGED, 0x1);
    window_->setWindowShown(false);
    workArea_ = QRect(0, 0, 1280, 1000);
    placed_.clear();
    const std::uint32_t call = ringListed("0301111111");
    EXPECT_TRUE(window_->windowShown());
    std::ifstream in(dir_.path() / "capilog.txt");
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(log.find("Etter SPI_GETWORKAREA w=1280 h=972"), std::string::npos) << log;
    ASSERT_EQ(placed_.size(), 1u);
    EXPECT_EQ(placed_.front().right() + 1, 1280);
    exchange_->hangUp(call, 0x3490);
}

TEST_F(ClientWindowTest, ConnectionsBeyondTheTwoLinesReachNoLineSlotOrTimer) {
    for (platform::WParam id : {0u, 1u, 2u, 5u, 9u}) {
        window_->send(platform::WM_CLOSE_POPUP, id);
        window_->send(platform::WM_CAPI_STATE_CHANGED, id, platform::LParam(0x3490u << 16));
    }
    // Every connection may have a banner; the clearings of lines 0 and 1 post theirs too.
    ASSERT_TRUE(QTest::qWaitFor([&] { return closedPopups_.size() >= 7; }, 5000));
    QCoreApplication::processEvents();  // anything posted after them
    std::sort(closedPopups_.begin(), closedPopups_.end());
    EXPECT_EQ(closedPopups_, (std::vector<int>{0, 0, 1, 1, 2, 5, 9}));
    EXPECT_EQ(window_->lines().at(2), nullptr);
    EXPECT_FALSE(window_->timerArmed(4));
    EXPECT_FALSE(window_->timerArmed(5));
}

TEST_F(ClientWindowTest, WhatALineHandlerThrowsStaysInTheHandlerAndIsLogged) {
    struct NotAnException {};
    struct Case {
        const char* what;
        std::function<void()> thrower;
        const char* logged;
    };
    const Case cases[] = {
        {"standard exception", [] { throw std::runtime_error("broken picture"); },
         "Error in the line state handler: broken picture"},
        {"a number", [] { throw 7; }, "Error in the line state handler: unknown exception"},
        {"any other value", [] { throw NotAnException{}; },
         "Error in the line state handler: unknown exception"},
    };
    const std::filesystem::path log = dir_.path() / "capilog.txt";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(log);
        lineStateThrows_ = c.thrower;
        // Line 0 exists whether or not a call is on it; its picture is shown first.
        EXPECT_NO_THROW(window_->send(platform::WM_CAPI_STATE_CHANGED, 0,
                                      platform::LParam(capi::Connected)));
        lineStateThrows_ = {};
        std::ifstream in(log);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_NE(text.find(c.logged), std::string::npos) << text;
    }
}

TEST_F(ClientWindowTest, SettingsChangesReachTheNumberListAndTheCallList) {
    const std::string before = capi::TheConfiguredNumberList().get();
    EXPECT_NE(before.find(";456;0;"), std::string::npos) << before;
    std::ofstream(dir_ / "orvelin.reg")
        << "Windows Registry Editor Version 5.00\n\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN]\n\"Discrete\"=hex:01,00\n\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\MSN\\Numbers]\n\"MSN1\"=\"456\"\n"
           "\"MSN2\"=\"789\"\n";
    const char number[] = "01715551234";
    std::string asked;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
        ASSERT_TRUE(dialog);
        asked = dialog->windowTitle().toStdString();
        dialog->reject();
    });
    EXPECT_EQ(window_->send(platform::WM_SETTINGS_CHANGED, 0x1 | 0x10 | 0x2020,
                            reinterpret_cast<platform::LParam>(number)),
              0);
    EXPECT_EQ(asked, "Orvelin SMS to 01715551234") << "0x2000 hands the number to the sender";
    EXPECT_TRUE(exchange_->find(CAPI_CONNECT, CAPI_REQ).empty()) << "cancelled: nothing sent";
    const std::string after = capi::TheConfiguredNumberList().get();
    EXPECT_EQ(after.find(";456;"), std::string::npos) << "a discrete number is left out: " << after;
    EXPECT_NE(after.find(";789;1;"), std::string::npos) << after;

    ringListed("0303333333", "789");
    ASSERT_FALSE(window_->history().list().rows().empty());
    window_->history().ring().at(window_->history().ring().head() == 0
                                     ? window_->history().ring().size() - 1
                                     : window_->history().ring().head() - 1)
        .callerName.assign("Renamed Elsewhere");
    window_->send(platform::WM_SETTINGS_CHANGED, 0x4);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return topRow().text[kColumnCallerName] == "Renamed Elsewhere"; }, 5000))
        << "0x4 refills the list from the ring";
}

TEST_F(ClientWindowTest, CapiOffStopsListeningAndOnAgainTakesCallsAgain) {
    const std::size_t mark = exchange_->messageCount();
    window_->command(CM_CAPI_ON_OFF);
    EXPECT_FALSE(window_->capiEnabled());
    EXPECT_TRUE(exchange_->waitFor(
        [](const isdnsim::Message& m) {
            return m.command() == CAPI_LISTEN && m.subcommand() == CAPI_REQ && m.cmsg.CIPmask == 0;
        },
        mark));
    isdnsim::CallSetup s;
    s.called = "456";
    EXPECT_EQ(exchange_->ring(s), 0u) << "nobody listens";

    window_->command(CM_CAPI_ON_OFF);
    EXPECT_TRUE(window_->capiEnabled());
    ASSERT_TRUE(exchange_->waitUntil([&] { return exchange_->ring(s) != 0; }));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window_->history().list().rows().empty(); }, 20000));
}

TEST_F(ClientWindowTest, ACallerAddedThroughTheFormIsNamedByTheNextCall) {
    using RingCount = int (*)();
    auto ringCount = reinterpret_cast<RingCount>(dlsym(RTLD_DEFAULT, "orvelin_call_ring_count_v1"));
    ASSERT_NE(ringCount, nullptr) << "the program does not export the ring's size";
    EXPECT_EQ(ringCount(), int(window_->history().ring().size()));

    ringListed("0301234567");
    window_->command(CM_REJECT);
    selectTopRow();
    commandWithDialog(CM_ADD_CALLER, [](QDialog& form) {
        auto* name = form.findChild<QLineEdit*>("CallerName");
        ASSERT_NE(name, nullptr);
        EXPECT_TRUE(form.findChild<QLineEdit*>("CallerNumber")->isReadOnly());
        QTest::keyClicks(name, "Anne Example");
        form.findChild<QToolButton*>("OK")->click();
    });
    EXPECT_EQ(topRow().text[kColumnCallerName], "Anne Example") << "the listed call is renamed";

    ringListed("0301234567");
    EXPECT_EQ(topRow().text[kColumnCallerName], "Anne Example");
}

// The options dialog builds the speech object again when "Talking announce" (bit 14) or
// the engine changed; with the bit clear the object stays and nothing new is built.
TEST_F(ClientWindowSpeechTest, OptionsBuildTheSpeechObjectAgainWhenAnnouncingOrItsEngineChanged) {
    ASSERT_EQ(window_->speechObject(), nullptr) << "bit 14 is clear at the start";
    struct Step {
        const char* what;
        std::optional<bool> talking;  // nullopt: untouched
        bool otherEngine;
        bool rebuilt;                 // a new object afterwards
    } const steps[] = {
        {"nothing changed", std::nullopt, false, false},
        {"announcing turned on", true, false, true},
        {"saved again as it was", std::nullopt, false, false},
        {"another engine", std::nullopt, true, true},
        {"announcing turned off: the object stays", false, false, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        const std::shared_ptr<media::CTTSMode> before = window_->speechObject();
        commandWithDialog(CM_OPTIONS, [&](QDialog& form) {
            auto* talking = form.findChild<QCheckBox*>("Talking");
            auto* engines = form.findChild<QComboBox*>("Engines");
            ASSERT_NE(talking, nullptr);
            ASSERT_NE(engines, nullptr);
            ASSERT_TRUE(talking->isEnabled()) << "no speech engine installed";
            if (step.talking) talking->setChecked(*step.talking);
            if (step.otherEngine) {
                ASSERT_GE(engines->count(), 2);
                engines->setCurrentIndex(engines->currentIndex() <= 0 ? 1 : 0);
            }
            form.findChild<QToolButton*>("SpeedButton5")->click();
        });
        const std::shared_ptr<media::CTTSMode> after = window_->speechObject();
        if (step.rebuilt) {
            EXPECT_NE(after, nullptr);
            EXPECT_NE(after, before);
        } else {
            EXPECT_EQ(after, before);
        }
    }
}

// The options form's "Run as service" box, ticked by the user, turns the service on
// through the manager; 0x8 follows the stored bit.
TEST_F(ClientWindowTest, TickingRunAsServiceInstallsTheServiceAndKeepsTheBitItReports) {
    std::vector<std::string> logged;
    platform::setMessageLogSink([&](const std::string& line) { logged.push_back(line); });
    commandWithDialog(CM_OPTIONS, [](QDialog& form) {
        auto* service = form.findChild<QCheckBox*>("Service");
        ASSERT_NE(service, nullptr);
        EXPECT_FALSE(service->isChecked());
        service->setChecked(true);
        form.findChild<QToolButton*>("SpeedButton5")->click();
    });
    platform::setMessageLogSink({});
    EXPECT_EQ(service_, (std::vector<std::string>{"query", "install", "query"}));
    EXPECT_TRUE(settings::HasOption(settings::GetOptions(), settings::OptionBits::RunAsService));
    const std::string told =
        "Orvelin: The service setting will change after the computer has rebooted.  You "
        "should manually remove Orvelin from your startup group";  // line breaks as blanks
    EXPECT_TRUE(std::any_of(logged.begin(), logged.end(), [&](const std::string& line) {
        return line.rfind(told, 0) == 0;
    })) << "the reboot text was not shown";

    service_.clear();
    window_->send(platform::WM_SETTINGS_CHANGED, 0x8);
    settings::SetOptions(settings::GetOptions() & ~settings::OptionBits::RunAsService);
    window_->send(platform::WM_SETTINGS_CHANGED, 0x8);
    EXPECT_EQ(service_, (std::vector<std::string>{"register", "unregister"}));
}

// Answers the text prompts as they open, in order; records their titles.
class Prompter {
  public:
    explicit Prompter(std::vector<std::string> answers) : answers_(std::move(answers)) {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
            if (!dialog || next_ >= answers_.size()) return;
            titles.push_back(dialog->windowTitle().toStdString());
            dialog->setTextValue(QString::fromStdString(answers_[next_++]));
            dialog->accept();
        });
        timer_.start(20);
    }
    std::vector<std::string> titles;

  private:
    std::vector<std::string> answers_;
    std::size_t next_ = 0;
    QTimer timer_;
};

std::string structText(const unsigned char* s) {
    const isdnsim::Bytes b = isdnsim::Message::content(s);
    return std::string(b.begin(), b.end());
}

TEST_F(ClientWindowTest, SendAndRequestInfoCallTheServiceAndReportTheDelivery) {
    std::vector<std::string> told;
    platform::setMessageLogSink([&](const std::string& line) { told.push_back(line); });
    EXPECT_FALSE(window_->commandEnabled(CM_SEND)) << "Info Mask 1 asks for no user-user data";
    EXPECT_FALSE(window_->commandEnabled(CM_SEND_MESSAGE));
    EXPECT_TRUE(window_->commandEnabled(CM_REQUEST_INFO));
    std::ofstream(dir_ / "orvelin.reg")
        << "Windows Registry Editor Version 5.00\n\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN]\n\"Info Mask\"=dword:00000018\n\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\MSN\\Numbers]\n\"MSN1\"=\"456\"\n";
    EXPECT_TRUE(window_->commandEnabled(CM_SEND));
    EXPECT_TRUE(window_->commandEnabled(CM_SEND_MESSAGE));

    // "Request info" on a listed call, which stays alerting on its line meanwhile.
    const std::uint32_t caller = ringListed("0301234567");
    exchange_->configure([](isdnsim::Options& o) { o.serviceCentre = {{0x34A2}}; });
    selectTopRow();
    std::size_t mark = exchange_->messageCount();
    window_->command(CM_REQUEST_INFO);
    auto req = exchange_->waitFor(CAPI_CONNECT, CAPI_REQ, mark);
    ASSERT_TRUE(req);
    EXPECT_EQ(structText(req->cmsg.CalledPartyNumber), "\x80" "1999");
    EXPECT_EQ(isdnsim::Message::content(req->cmsg.Useruserdata).at(0), 0x04);
    EXPECT_EQ(structText(req->cmsg.Useruserdata), "\x04TLF 0301234567");
    EXPECT_EQ(req->cmsg.CIPValue, 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !told.empty(); }, 20000));
    EXPECT_NE(told.back().find("Message could not be delivered"), std::string::npos) << told.back();
    EXPECT_EQ(topRow().state, 0u) << "the listed call is untouched";
    EXPECT_TRUE(window_->commandEnabled(CM_ANSWER)) << "and still alerting";

    // Send: both prompts; the far end alerts, so the program hangs up itself.
    exchange_->configure([](isdnsim::Options& o) {
        o.serviceCentre.reset();
        o.answerOutgoing = false;
    });
    mark = exchange_->messageCount();
    Prompter prompter({"9171234", "hello"});
    window_->command(CM_SEND);
    EXPECT_EQ(prompter.titles,
              (std::vector<std::string>{"Orvelin SMS", "Orvelin SMS to 9171234"}));
    req = exchange_->waitFor(CAPI_CONNECT, CAPI_REQ, mark);
    ASSERT_TRUE(req);
    EXPECT_EQ(structText(req->cmsg.CalledPartyNumber), "\x80" "19100");
    EXPECT_EQ(structText(req->cmsg.Useruserdata), "\x04" "9171234 hello");
    ASSERT_TRUE(exchange_->waitUntil([&] { return exchange_->lastOutgoingCall() != 0; }));
    const std::uint32_t sms = exchange_->lastOutgoingCall();
    told.clear();
    ASSERT_TRUE(exchange_->sendInfo(sms, 0x8001));
    // The window handles the INFO on this thread: wait while serving its events.
    EXPECT_TRUE(QTest::qWaitFor([&] {
        const auto requests = exchange_->find(CAPI_DISCONNECT, CAPI_REQ);
        return std::any_of(requests.begin(), requests.end(),
                           [&](const isdnsim::MessagePtr& m) { return m->address() == sms; });
    }, 20000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !told.empty(); }, 20000));
    EXPECT_NE(told.back().find("Message delivered"), std::string::npos) << told.back();
    EXPECT_FALSE(window_->timerArmed(kSmsTimer));
    EXPECT_EQ(topRow().state, 0u);
    exchange_->hangUp(caller, 0x3490);
}

TEST_F(ClientWindowTest, TheCallerFormHandsItsCellularNumberOverAndHearsNoReport) {
    std::vector<std::string> told;
    platform::setMessageLogSink([&](const std::string& line) { told.push_back(line); });
    exchange_->configure([](isdnsim::Options& o) { o.serviceCentre = {{0x3490}}; });
    std::ofstream(dir_ / "orvelin.reg")
        << "Windows Registry Editor Version 5.00\n\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN]\n\"Info Mask\"=dword:00000018\n"
           "\"Cellular Prefix\"=\"015;;017\"\n\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\MSN\\Numbers]\n\"MSN1\"=\"456\"\n";
    ringListed("0301234567");
    window_->command(CM_REJECT);
    selectTopRow();
    const std::size_t mark = exchange_->messageCount();
    Prompter prompter({"see you"});
    commandWithDialog(CM_ADD_CALLER, [](QDialog& form) {
        form.findChild<QLineEdit*>("Cellular")->setText("0171555");
        form.findChild<QToolButton*>("SpeedButton3")->click();
        form.reject();
    });
    EXPECT_EQ(prompter.titles, std::vector<std::string>{"Orvelin SMS to 0171555"});
    auto req = exchange_->waitFor(CAPI_CONNECT, CAPI_REQ, mark);
    ASSERT_TRUE(req);
    EXPECT_EQ(structText(req->cmsg.CalledPartyNumber), "\x80" "19100");
    EXPECT_EQ(structText(req->cmsg.Useruserdata), "\x04" "0171555 see you");
    ASSERT_TRUE(exchange_->waitUntil([&] { return exchange_->find(CAPI_DISCONNECT, CAPI_RESP).size() >= 2; }));
    QTest::qWait(200);
    EXPECT_TRUE(std::none_of(told.begin(), told.end(), [](const std::string& l) {
        return l.find("Message") != std::string::npos;
    })) << "quiet: the delivery is not shown";
    EXPECT_EQ(topRow().state, 1u) << "the rejected call keeps its state";
}

// The frame is docked only while the window is shown, and only when the work area moved
// since the last time: on a resize and when the window is restored from the tray.
TEST_F(ClientWindowTest, FrameIsDockedAgainOnlyWhenTheWorkAreaChanged) {
    int columns = 0;
    for (int width : window_->listView().columnMinWidths()) columns += width;
    ASSERT_GT(columns, 0);
    enum class Event { Size, Restore };
    struct Step {
        const char* name;
        bool shown;
        QRect workArea;
        Event event;
        bool docked;
    };
    const std::vector<Step> steps = {
        {"hidden", false, {0, 0, 1920, 1040}, Event::Size, false},
        {"shown", true, {0, 0, 1920, 1040}, Event::Size, true},
        {"same work area", true, {0, 0, 1920, 1040}, Event::Size, false},
        {"restored, same work area", true, {0, 0, 1920, 1040}, Event::Restore, false},
        {"panel added while shown", true, {0, 0, 1920, 1000}, Event::Restore, true},
        {"hidden, work area changed", false, {0, 0, 1280, 1000}, Event::Restore, false},
        {"shown again on it", true, {0, 0, 1280, 1000}, Event::Restore, true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        placed_.clear();
        workArea_ = step.workArea;
        window_->setWindowShown(step.shown);
        if (step.event == Event::Size) window_->EvSize();
        else window_->ref().send(platform::WM_RESTORE_WINDOW);
        if (step.docked) {
            ASSERT_EQ(placed_.size(), 1u);
            EXPECT_EQ(placed_.front(), dockedFrameGeometry(step.workArea, columns));
        } else {
            EXPECT_TRUE(placed_.empty());
        }
    }
}

// Without CAPI the set-up says so once and goes on; quitting asks first.
TEST(ClientWindowTexts, NoCapiBoxAndTheQuitQuestion) {
    platform::setMessageBoxMode(platform::BoxMode::Headless);
    test::TestDir dir;
    setenv("ORVELIN_HOME", (dir.path().string() + "/").c_str(), 1);
    // A headless box is one line: caption, text with its line breaks as blanks, answer.
    auto box = [](std::string text, const char* answer) {
        std::replace(text.begin(), text.end(), '\n', ' ');
        return "Orvelin: " + text + " [" + answer + "]";
    };
    std::vector<std::string> boxes;
    platform::setMessageLogSink([&](const std::string& line) { boxes.push_back(line); });
    {
        ClientWindowConfig config;
        config.programDir = dir.path().string() + "/";
        config.libraryDir = ORVELIN_BUILD_DIR;
        config.hostPort = [] { return 0u; };
        config.capiOps = [](platform::WindowRef) {
            CapiOps ops;
            ops.registerApp = [] { return 0; };
            return ops;
        };
        ClientWindow window(std::move(config));
        window.setupWindow();
        EXPECT_FALSE(window.capiEnabled());
        const std::vector<std::string> atSetUp = {
            box("               Cold not register with CAPI.\n\nCheck your CAPI 2.0 "
                "installation. You may be missing the CAPI2032.DLL\nwhich is manufacturer "
                "supplied with your ISDN adapter.",
                "OK")};
        EXPECT_EQ(boxes, atSetUp);

        boxes.clear();
        EXPECT_FALSE(window.canClose()) << "the question's default is No";
        const std::vector<std::string> asked = {
            box("Warning!\nShutting down this application will prevent\nfurther logging of "
                "incoming calls.\n\nAre you sure you want to quit?",
                "No")};
        EXPECT_EQ(boxes, asked);
        boxes.clear();
        EXPECT_TRUE(window.canClose(/*sessionEnding=*/true));
        EXPECT_TRUE(boxes.empty());
        window.cleanupWindow();
    }
    platform::setMessageLogSink({});
    unsetenv("ORVELIN_HOME");
}

}  // namespace
}  // namespace orvelin::client
