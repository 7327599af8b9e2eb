// Message boxes: headless runs log and take the default at once; GUI runs show a real
// box; notifications never block.
#include "platform/message_box.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/qt_environment.h"

namespace {

using namespace platform;

class MessageBoxTest : public testing::Test {
  protected:
    void SetUp() override {
        setMessageLogSink([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        });
    }
    void TearDown() override {
        setMessageLogSink(nullptr);
        setMessageBoxMode(BoxMode::Auto);
        setBoxesDismissed(false);
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (qobject_cast<QMessageBox*>(w)) delete w;
        }
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    static std::vector<QMessageBox*> visibleBoxes() {
        std::vector<QMessageBox*> boxes;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible()) boxes.push_back(b);
        }
        return boxes;
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

TEST_F(MessageBoxTest, OffscreenRunIsHeadless) {
    ASSERT_EQ(QGuiApplication::platformName(), "offscreen");
    EXPECT_TRUE(messageBoxesHeadless());
    setMessageBoxMode(BoxMode::Gui);
    EXPECT_FALSE(messageBoxesHeadless());
    setMessageBoxMode(BoxMode::Headless);
    EXPECT_TRUE(messageBoxesHeadless());
}

TEST_F(MessageBoxTest, HeadlessTakesDefaultAnswerAtOnceAndLogsText) {
    EXPECT_EQ(messageBox("Delete all calls?", "Orvelin", BoxButtons::YesNo, BoxIcon::Question,
                         BoxAnswer::No),
              BoxAnswer::No);
    EXPECT_EQ(messageBox("Line 1\r\nLine\x1b 2", "Caption", BoxButtons::YesNoCancel),
              BoxAnswer::Yes)
        << "no default given: the first button";
    EXPECT_EQ(messageBox("x", "c", BoxButtons::OkCancel, BoxIcon::None, BoxAnswer::Yes),
              BoxAnswer::Ok)
        << "a default that is not a button: the first button";
    EXPECT_EQ(
        messageBox("retry?", "c", BoxButtons::AbortRetryIgnore, BoxIcon::Error, BoxAnswer::Ignore),
        BoxAnswer::Ignore);
    EXPECT_TRUE(visibleBoxes().empty());
    const auto log = lines();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], "Orvelin: Delete all calls? [No]");
    EXPECT_EQ(log[1], "Caption: Line 1  Line  2 [Yes]") << "one line per box";
}

TEST_F(MessageBoxTest, HeadlessNotificationIsLogged) {
    notifyBox("Cold not register", "CAPI", BoxIcon::Error);
    EXPECT_EQ(lines(), std::vector<std::string>{"CAPI: Cold not register"});
    QCoreApplication::processEvents();
    EXPECT_TRUE(visibleBoxes().empty());
}

TEST_F(MessageBoxTest, GuiBoxShowsTextAndReturnsTheClickedAnswer) {
    setMessageBoxMode(BoxMode::Gui);
    QString seenText, seenCaption;
    bool defaultWasNo = false;
    bool plain = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        seenText = box->text();
        plain = box->textFormat() == Qt::PlainText;
        seenCaption = box->windowTitle();
        defaultWasNo = box->defaultButton() == box->button(QMessageBox::No);
        box->button(QMessageBox::Yes)->click();
    });
    EXPECT_EQ(
        messageBox("Really exit?", "Orvelin", BoxButtons::YesNo, BoxIcon::Question, BoxAnswer::No),
        BoxAnswer::Yes);
    EXPECT_EQ(seenText, "Really exit?");
    EXPECT_EQ(seenCaption, "Orvelin");
    EXPECT_TRUE(defaultWasNo);
    EXPECT_TRUE(plain);
    EXPECT_TRUE(lines().empty()) << "a shown box is not logged";
}

TEST_F(MessageBoxTest, GuiBoxEnterTakesTheDefault) {
    setMessageBoxMode(BoxMode::Gui);
    QTimer::singleShot(0, [] {
        QWidget* box = QApplication::activeModalWidget();
        ASSERT_NE(box, nullptr);
        QTest::keyClick(box, Qt::Key_Return);
    });
    EXPECT_EQ(messageBox("?", "c", BoxButtons::RetryCancel, BoxIcon::Warning, BoxAnswer::Cancel),
              BoxAnswer::Cancel);
}

TEST_F(MessageBoxTest, GuiNotificationDoesNotBlockAndShowsModeless) {
    setMessageBoxMode(BoxMode::Gui);
    notifyBox("<b>Socket</b> error", "Link", BoxIcon::Warning);
    // Queued: nothing is shown before the event loop runs.
    EXPECT_TRUE(visibleBoxes().empty());
    ASSERT_TRUE(QTest::qWaitFor([] { return !visibleBoxes().empty(); }, 20000));
    QMessageBox* box = visibleBoxes().front();
    EXPECT_EQ(box->text(), "<b>Socket</b> error");
    EXPECT_EQ(box->textFormat(), Qt::PlainText) << "text from the network is never markup";
    EXPECT_EQ(box->windowModality(), Qt::NonModal);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    box->close();  // deletes itself
    ASSERT_TRUE(QTest::qWaitFor([] { return visibleBoxes().empty(); }, 20000));
}

TEST_F(MessageBoxTest, GuiBoxFromWorkerThreadDoesNotBlockIt) {
    setMessageBoxMode(BoxMode::Gui);
    std::atomic<bool> done{false};
    BoxAnswer answer = BoxAnswer::Ok;
    std::thread worker([&] {
        answer = messageBox("Fax failed", "Orvelin", BoxButtons::RetryCancel, BoxIcon::Error,
                            BoxAnswer::Cancel);
        done = true;
    });
    worker.join();  // would hang if the worker waited for a user
    EXPECT_TRUE(done);
    EXPECT_EQ(answer, BoxAnswer::Cancel);
    ASSERT_TRUE(QTest::qWaitFor([] { return !visibleBoxes().empty(); }, 20000));
    EXPECT_EQ(visibleBoxes().front()->text(), "Fax failed");
}

// The program ends while boxes wait for the user: each open one returns as if its
// window were closed, a dialog is rejected, and later boxes never show.
TEST_F(MessageBoxTest, DismissedBoxesReturnAndLaterOnesAreOnlyLogged) {
    setMessageBoxMode(BoxMode::Gui);
    struct Case {
        BoxButtons buttons;
        BoxAnswer defaultAnswer;
        BoxAnswer dismissed;
    };
    const std::vector<Case> cases = {
        {BoxButtons::Ok, BoxAnswer::Ok, BoxAnswer::Ok},
        {BoxButtons::YesNo, BoxAnswer::No, BoxAnswer::No},
        {BoxButtons::YesNoCancel, BoxAnswer::Yes, BoxAnswer::Cancel},
        {BoxButtons::AbortRetryIgnore, BoxAnswer::Retry, BoxAnswer::Retry},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.buttons));
        setBoxesDismissed(false);
        bool wasShown = false;
        QTimer::singleShot(0, [&] {
            wasShown = QApplication::activeModalWidget() != nullptr;
            setBoxesDismissed(true);
        });
        EXPECT_EQ(messageBox("Cold not register", "Orvelin", c.buttons, BoxIcon::Error,
                             c.defaultAnswer),
                  c.dismissed);
        EXPECT_TRUE(wasShown);
        EXPECT_TRUE(visibleBoxes().empty());
    }

    QDialog dialog;
    QTimer::singleShot(0, [] { setBoxesDismissed(true); });
    setBoxesDismissed(false);
    EXPECT_EQ(dialog.exec(), QDialog::Rejected);
    EXPECT_FALSE(dialog.isVisible());

    const size_t logged = lines().size();
    EXPECT_EQ(messageBox("Really exit?", "Orvelin", BoxButtons::YesNo, BoxIcon::Question,
                         BoxAnswer::No),
              BoxAnswer::No);
    ASSERT_EQ(lines().size(), logged + 1);
    EXPECT_EQ(lines().back(), "Orvelin: Really exit? [No]");
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

}  // namespace
