#include "shell/popup_banner.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QScreen>
#include <QStyle>
#include <QTest>
#include <QWindow>
#include <memory>
#include <string>

#include "client/popup_text.h"
#include "platform/clock.h"
#include "tests/support/qt_environment.h"

namespace {

using orvelin::client::PopupText;
using orvelin::shell::BannerMetrics;
using orvelin::shell::BannerSize;
using orvelin::shell::PlainBannerText;
using orvelin::shell::PopupBanners;
using orvelin::shell::TBigSplash;
using platform::AppMessage;

void runDeferredDeletes() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

AppMessage showMessage(platform::WParam line, std::string caller, std::string detail) {
    auto text = std::make_unique<PopupText>();
    text->callerText = std::move(caller);
    text->detailLine = std::move(detail);
    return AppMessage{platform::WM_SHOW_POPUP, line, 0, std::move(text)};
}

AppMessage closeMessage(platform::WParam line) {
    return AppMessage{platform::WM_CLOSE_POPUP, line, 0, nullptr};
}

// The whole screen, panels included.
QRect screenArea() {
    return QGuiApplication::primaryScreen()->geometry();
}

// ---------------------------------------------------------------------------------------

TEST(BannerSizeTest, WidthIsScreenLessEdgesAndOnePixel) {
    EXPECT_EQ(BannerSize({1024, 2, 20, 80}), QSize(1019, 120));
    // 101 is still wide enough; 100 is not.
    EXPECT_EQ(BannerSize({106, 2, 20, 80}).width(), 101);
    EXPECT_EQ(BannerSize({105, 2, 20, 80}).width(), 800);
    EXPECT_EQ(BannerSize({0, 2, 20, 80}).width(), 800);
}

TEST(BannerSizeTest, HeightIsTwoCaptionsAndTheFontButAtLeast96) {
    EXPECT_EQ(BannerSize({1024, 2, 20, 10}).height(), 96);
    EXPECT_EQ(BannerSize({1024, 2, 20, 56}).height(), 96);
    EXPECT_EQ(BannerSize({1024, 2, 20, 57}).height(), 97);
    EXPECT_EQ(BannerSize({1024, 2, 30, 90}).height(), 150);
}

TEST(PlainBannerTextTest, KeepsMarkupAndAmpersandsAsText) {
    EXPECT_EQ(PlainBannerText(std::string_view("Smith & Sons"), 256), "Smith & Sons");
    EXPECT_EQ(PlainBannerText(std::string_view("<b>x</b><img src=\"file:///etc/passwd\">"), 256),
              "<b>x</b><img src=\"file:///etc/passwd\">");
}

TEST(PlainBannerTextTest, ControlCharactersBecomeBlanks) {
    EXPECT_EQ(PlainBannerText(std::string_view("a\nb\rc\td\x7f"
                                               "e\x1b[2J",
                                               7),
                              256),
              "a b c d");
    EXPECT_EQ(PlainBannerText(std::string_view("a\nb\rc\td\x7f"
                                               "e\x1b[2J"),
                              256),
              "a b c d e [2J");
    EXPECT_EQ(PlainBannerText(QString::fromUtf8("x\u2028y\u0085z"), 256), "x y z");
    // An embedded NUL does not end the text early and is not passed on.
    EXPECT_EQ(PlainBannerText(std::string_view("ab\0cd", 5), 256), "ab cd");
}

TEST(PlainBannerTextTest, CutsToTheLimitWithoutSplittingCharacters) {
    EXPECT_EQ(PlainBannerText(std::string_view("abcdef"), 4), "abcd");
    // U+1F600 is a surrogate pair; a cut through it drops the whole character.
    const QString smiles = QString::fromUtf8("a\xF0\x9F\x98\x80\xF0\x9F\x98\x80");
    EXPECT_EQ(PlainBannerText(smiles, 2), "a");
    EXPECT_EQ(PlainBannerText(smiles, 3), smiles.left(3));
    EXPECT_EQ(PlainBannerText(std::string_view("abc"), 0), "");
    EXPECT_EQ(PlainBannerText(std::string_view("abc"), -5), "");
}

TEST(PlainBannerTextTest, HugeAndInvalidInputIsBounded) {
    const std::string huge(20 * 1024 * 1024, 'W');
    EXPECT_EQ(PlainBannerText(huge, 256).size(), 256);
    // Bytes that are not UTF-8 turn into replacement characters, nothing else.
    const QString bad = PlainBannerText(std::string_view("A\xff\xfe"
                                                         "B\xc3"),
                                        256);
    EXPECT_TRUE(bad.startsWith('A'));
    EXPECT_TRUE(bad.contains('B'));
    EXPECT_TRUE(bad.contains(QChar(0xFFFD)));
}

// ---------------------------------------------------------------------------------------

class PopupBannersTest : public testing::Test {
  protected:
    PopupBannersTest() {
        font_.setPixelSize(72);
        font_.setBold(true);
        picture_.fill(Qt::darkBlue);
        banners_ = std::make_unique<PopupBanners>(picture_, font_, /*headless=*/false, &clock_);
    }
    ~PopupBannersTest() override {
        banners_.reset();
        runDeferredDeletes();
    }

    TBigSplash* show(platform::WParam line, std::string caller, std::string detail = "detail") {
        AppMessage m = showMessage(line, std::move(caller), std::move(detail));
        banners_->EvShowPopup(m);
        EXPECT_EQ(m.record, nullptr) << "the record must be taken by the handler";
        return banners_->banner(line);
    }

    platform::ManualClock clock_;
    QFont font_;
    QPixmap picture_{32, 16};
    std::unique_ptr<PopupBanners> banners_;
};

TEST_F(PopupBannersTest, ShowsTheCallerTextOverTheWholeScreenWidth) {
    TBigSplash* b = show(0, "Anna Berg", "Anna Berg 0301234 to Office 55");
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(b->isVisible());
    EXPECT_TRUE(b->ready());
    EXPECT_TRUE(b->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(b->windowTitle(), "Anna Berg 0301234 to Office 55");

    QLabel* label = b->GetStatic();
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), "Anna Berg");
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_EQ(label->font().pixelSize(), 72);
    EXPECT_TRUE(label->font().bold());
    EXPECT_EQ(label->geometry(), QRect(0, 0, screenArea().width(), b->height()));
    EXPECT_TRUE(label->alignment() & Qt::AlignHCenter);

    // The picture fills the banner behind the text.
    const QImage shot = b->grab().toImage();
    EXPECT_EQ(shot.pixelColor(1, 1), QColor(Qt::darkBlue));
    EXPECT_EQ(shot.pixelColor(shot.width() - 2, shot.height() - 2), QColor(Qt::darkBlue));
}

TEST_F(PopupBannersTest, TextStandsOutFromThePicture) {
    for (auto [behind, text] : {std::pair{QColor(Qt::darkBlue), QColor(Qt::white)},
                                {QColor("#1e3a5f"), QColor(Qt::white)},
                                {QColor(Qt::yellow), QColor(Qt::black)},
                                {QColor(Qt::white), QColor(Qt::black)}}) {
        QPixmap picture(32, 16);
        picture.fill(behind);
        PopupBanners banners(picture, font_, /*headless=*/false, &clock_);
        AppMessage m = showMessage(0, "Anna", "detail");
        banners.EvShowPopup(m);
        TBigSplash* b = banners.banner(0);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->GetStatic()->palette().color(QPalette::WindowText), text) << behind.name().toStdString();
    }
    runDeferredDeletes();
}

TEST_F(PopupBannersTest, IsSizedFromTheScreenAndCentredOnIt) {
    TBigSplash* b = show(1, "0301234");
    ASSERT_NE(b, nullptr);
    const QRect work = screenArea();
    const int edge = QApplication::style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
    const int caption = QApplication::style()->pixelMetric(QStyle::PM_TitleBarHeight);
    const int expectedHeight = std::max(2 * caption + QFontMetrics(font_).height(), 96);

    EXPECT_EQ(b->width(), work.width() - 2 * edge - 1);
    EXPECT_EQ(b->height(), expectedHeight);
    EXPECT_TRUE(work.contains(b->geometry()))
        << "screen " << work.width() << "x" << work.height();
    EXPECT_LE(std::abs(b->geometry().center().x() - work.center().x()), 1);
    EXPECT_LE(std::abs(b->geometry().center().y() - work.center().y()), 1);
}

TEST_F(PopupBannersTest, SmallFontStillGivesTheMinimumHeight) {
    font_.setPixelSize(6);
    TBigSplash* b = show(0, "x");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->height(), 96);
}

TEST_F(PopupBannersTest, ClosesOnItsTimeOut) {
    QPointer<TBigSplash> b = show(0, "Anna");
    ASSERT_TRUE(b);
    EXPECT_EQ(QWidget::mouseGrabber(), b.data());
    clock_.advance(PopupBanners::kTimeOutMs - 1);
    EXPECT_TRUE(b->isVisible());
    clock_.advance(1);
    EXPECT_EQ(banners_->banner(0), nullptr);
    EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
    runDeferredDeletes();
    EXPECT_FALSE(b) << "a closed banner deletes itself";
    EXPECT_EQ(clock_.armedCount(), 0);
}

TEST_F(PopupBannersTest, ClickOnTheBannerOrItsTextClosesIt) {
    for (const bool onText : {false, true}) {
        SCOPED_TRACE(onText ? "on the caller text" : "on the banner");
        QPointer<TBigSplash> b = show(0, "Anna");
        ASSERT_TRUE(b);
        if (onText) {
            QTest::mouseClick(b->GetStatic(), Qt::LeftButton, {}, b->GetStatic()->rect().center());
        } else {
            QTest::mouseClick(b.data(), Qt::LeftButton, {}, QPoint(5, 5));
        }
        runDeferredDeletes();
        EXPECT_FALSE(b);
        EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
        EXPECT_EQ(clock_.armedCount(), 0);
    }
}

TEST_F(PopupBannersTest, ClickInAnotherWindowWhileTheBannerIsUpClosesIt) {
    QWidget other;
    other.setGeometry(0, 0, 50, 50);
    other.show();
    QPointer<TBigSplash> b = show(0, "Anna");
    ASSERT_TRUE(b);

    struct PressCounter : QObject {
        int presses = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::MouseButtonPress) ++presses;
            return false;
        }
    } counter;
    other.installEventFilter(&counter);
    QTest::mouseClick(&other, Qt::LeftButton, {}, QPoint(10, 10));
    runDeferredDeletes();
    EXPECT_FALSE(b);
    EXPECT_EQ(counter.presses, 0) << "the banner holds the mouse: the click is its own";

    // Once the banner is gone, clicks reach the other window again.
    QTest::mouseClick(&other, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_EQ(counter.presses, 1);
}

TEST_F(PopupBannersTest, CloseMessageClosesTheLineBannerOnly) {
    QPointer<TBigSplash> first = show(0, "Anna");
    QPointer<TBigSplash> second = show(1, "Bert");
    ASSERT_TRUE(first && second);
    AppMessage m = closeMessage(0);
    banners_->EvClosePopup(m);
    EXPECT_TRUE(first->isVisible()) << "the close travels as a posted timer message";
    runDeferredDeletes();
    EXPECT_FALSE(first);
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->isVisible());
    EXPECT_EQ(banners_->banner(1), second.data());

    // Closing a connection whose banner has gone, or one that never had one, does nothing.
    AppMessage again = closeMessage(0);
    banners_->EvClosePopup(again);
    AppMessage beyond = closeMessage(2);
    banners_->EvClosePopup(beyond);
    AppMessage huge = closeMessage(~platform::WParam{0});
    banners_->EvClosePopup(huge);
    runDeferredDeletes();
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->isVisible());
}

TEST_F(PopupBannersTest, CallsBeyondTheTwoLinesGetTheirOwnBanners) {
    QPointer<TBigSplash> line0 = show(0, "Anna");
    QPointer<TBigSplash> third = show(2, "Carla");
    QPointer<TBigSplash> far = show(7, "Dora");
    ASSERT_TRUE(line0 && third && far);
    EXPECT_EQ(third->GetStatic()->text(), "Carla");
    EXPECT_TRUE(third->isVisible());
    EXPECT_TRUE(far->isVisible());
    AppMessage m = closeMessage(2);
    banners_->EvClosePopup(m);
    runDeferredDeletes();
    EXPECT_FALSE(third);
    EXPECT_EQ(banners_->banner(2), nullptr);
    ASSERT_TRUE(line0 && far);
    EXPECT_EQ(banners_->banner(7), far.data());
    // A banner of its own times out like a line's.
    clock_.advance(PopupBanners::kTimeOutMs);
    runDeferredDeletes();
    EXPECT_FALSE(far);
    EXPECT_FALSE(line0);
}

TEST_F(PopupBannersTest, CloseMessageBetweenCloseAndDeletionIsHarmless) {
    QPointer<TBigSplash> b = show(0, "Anna");
    ASSERT_TRUE(b);
    b->close();  // closed, deletion still pending
    ASSERT_TRUE(b);
    EXPECT_EQ(banners_->banner(0), nullptr);
    AppMessage m = closeMessage(0);
    banners_->EvClosePopup(m);
    EXPECT_FALSE(b->post(platform::WM_TIMER, 1)) << "a closed banner takes no messages";
    runDeferredDeletes();
    EXPECT_FALSE(b);
}

TEST_F(PopupBannersTest, SecondShowOnALineReplacesTheFirst) {
    QPointer<TBigSplash> first = show(0, "Anna");
    QPointer<TBigSplash> second = show(0, "Bert");
    ASSERT_TRUE(second);
    EXPECT_EQ(banners_->banner(0), second.data());
    EXPECT_EQ(second->GetStatic()->text(), "Bert");
    EXPECT_EQ(QWidget::mouseGrabber(), second.data());
    runDeferredDeletes();
    EXPECT_FALSE(first) << "the replaced banner must not stay up unreachable";
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->isVisible());

    // Only the second banner's time-out is left.
    EXPECT_EQ(clock_.armedCount(), 1);
    clock_.advance(PopupBanners::kTimeOutMs);
    runDeferredDeletes();
    EXPECT_FALSE(second);
}

TEST_F(PopupBannersTest, MissingOrForeignRecordShowsNothing) {
    AppMessage none{platform::WM_SHOW_POPUP, 0, 0, nullptr};
    banners_->EvShowPopup(none);
    struct Other : platform::MessageRecord {};
    AppMessage other{platform::WM_SHOW_POPUP, 0, 0, std::make_unique<Other>()};
    banners_->EvShowPopup(other);  // left in the message, which frees it
    EXPECT_EQ(banners_->banner(0), nullptr);
    EXPECT_EQ(banners_->banner(1), nullptr);
    EXPECT_EQ(clock_.armedCount(), 0);
}

TEST_F(PopupBannersTest, HeadlessShowsNothingButTakesTheRecord) {
    PopupBanners headless(picture_, font_, /*headless=*/true, &clock_);
    AppMessage m = showMessage(0, "Anna", "d");
    headless.EvShowPopup(m);
    EXPECT_EQ(m.record, nullptr);
    EXPECT_EQ(headless.banner(0), nullptr);
    EXPECT_TRUE(QApplication::topLevelWidgets().isEmpty());
}

TEST_F(PopupBannersTest, HostileCallerTextsStayPlainAndBounded) {
    TBigSplash* b = show(0, "Smith & Sons", "a & b");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->GetStatic()->text(), "Smith & Sons");

    b = show(0, "<a href='file:///etc/passwd'>click</a>\n<h1>x</h1>", "<img src=x>[*]\r\nline2");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->GetStatic()->text(), "<a href='file:///etc/passwd'>click</a> <h1>x</h1>");
    EXPECT_EQ(b->GetStatic()->textFormat(), Qt::PlainText);
    ASSERT_NE(b->windowHandle(), nullptr);
    EXPECT_EQ(b->windowHandle()->title(), "<img src=x>[*]  line2");

    b = show(1, std::string(8 * 1024 * 1024, 'N'), std::string(8 * 1024 * 1024, 'D'));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->GetStatic()->text().size(), orvelin::shell::kMaxCallerChars);
    EXPECT_LE(b->windowTitle().size(), orvelin::shell::kMaxTitleChars);
}

TEST_F(PopupBannersTest, EmptyCallerTextLeavesTheTextControlEmpty) {
    TBigSplash* b = show(0, "", "");
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(b->GetStatic()->text().isEmpty());
    EXPECT_TRUE(b->isVisible());
}

TEST_F(PopupBannersTest, DestroyingTheOwnerReleasesTheGrabAndTheTimers) {
    QPointer<TBigSplash> a = show(0, "Anna");
    QPointer<TBigSplash> b = show(1, "Bert");
    ASSERT_TRUE(a && b);
    banners_.reset();
    EXPECT_FALSE(a);
    EXPECT_FALSE(b);
    EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
    EXPECT_EQ(clock_.armedCount(), 0);
}

// ---------------------------------------------------------------------------------------

class BigSplashTest : public testing::Test {
  protected:
    ~BigSplashTest() override { runDeferredDeletes(); }

    TBigSplash* make() {
        return new TBigSplash(
            QPixmap(), 300, 100,
            orvelin::shell::kSplashMakeStatic | orvelin::shell::kSplashCaptureMouse, 15000, "title",
            "caller", nullptr, &clock_);
    }

    platform::ManualClock clock_;
};

TEST_F(BigSplashTest, TimerBeforeCreateReArmsThreeTimesThenCloses) {
    QPointer<TBigSplash> b = make();
    ASSERT_TRUE(b->post(platform::WM_TIMER, 1));
    QCoreApplication::processEvents();
    EXPECT_EQ(b->rearmCount(), 1);
    EXPECT_TRUE(b->timerArmed(1));
    EXPECT_FALSE(b->IsClosed());

    clock_.advance(1999);
    EXPECT_EQ(b->rearmCount(), 1);
    clock_.advance(1);
    EXPECT_EQ(b->rearmCount(), 2);
    clock_.advance(2000);
    EXPECT_EQ(b->rearmCount(), 3);
    EXPECT_FALSE(b->IsClosed());
    clock_.advance(2000);
    EXPECT_TRUE(b->IsClosed()) << "after the third re-arm the next timer closes, ready or not";
    EXPECT_FALSE(b->timerArmed(1));

    EXPECT_FALSE(b->Create()) << "a closed banner is not shown again";
    EXPECT_TRUE(b->ready());
    EXPECT_FALSE(b->isVisible());
    runDeferredDeletes();
    EXPECT_FALSE(b);
}

TEST_F(BigSplashTest, TimerAfterCreateClosesAtOnce) {
    QPointer<TBigSplash> b = make();
    ASSERT_TRUE(b->post(platform::WM_TIMER, 1));
    QCoreApplication::processEvents();
    ASSERT_EQ(b->rearmCount(), 1);
    ASSERT_TRUE(b->Create());
    EXPECT_TRUE(b->ready());
    EXPECT_EQ(b->GetStatic()->text(), "caller");
    // Create restarted the time-out; a posted timer now closes without another re-arm.
    ASSERT_TRUE(b->post(platform::WM_TIMER, 1));
    QCoreApplication::processEvents();
    EXPECT_EQ(b->rearmCount(), 1);
    runDeferredDeletes();
    EXPECT_FALSE(b);
}

// Another id neither closes the banner nor stops its time-out, before and after Create.
TEST_F(BigSplashTest, OtherTimerIdsNeitherCloseNorStopTheTimeOut) {
    QPointer<TBigSplash> b = make();
    ASSERT_TRUE(b->post(platform::WM_TIMER, 7));
    QCoreApplication::processEvents();
    EXPECT_EQ(b->rearmCount(), 0) << "only the banner's own timer re-arms";
    ASSERT_TRUE(b->Create());
    ASSERT_TRUE(b->post(platform::WM_TIMER, 7));
    QCoreApplication::processEvents();
    ASSERT_TRUE(b);
    EXPECT_TRUE(b->isVisible());
    EXPECT_EQ(clock_.armedCount(), 1);
    clock_.advance(15000);
    runDeferredDeletes();
    EXPECT_FALSE(b) << "the time-out still closes the banner";
    EXPECT_EQ(clock_.armedCount(), 0);
}

TEST_F(BigSplashTest, DestructionWithoutACloseFreesTheGrabAndTheTimer) {
    QPointer<TBigSplash> b = make();
    ASSERT_TRUE(b->Create());
    delete b.data();
    EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
    EXPECT_EQ(clock_.armedCount(), 0);
}

}  // namespace
