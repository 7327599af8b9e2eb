#include "shell/popup_banner.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPalette>
#include <QPainter>
#include <QScreen>
#include <QStyle>

#include "client/popup_text.h"

namespace orvelin::shell {

namespace {

constexpr int kRearmMs = 2000;
constexpr int kMaxRearms = 3;
constexpr int kNarrowWidth = 100;
constexpr int kFallbackWidth = 800;
constexpr int kMinHeight = 96;

bool breaksLine(char16_t c) {
    // C0, DEL and C1 controls, and the Unicode line and paragraph separators.
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// "[*]" in a window title is the modified-marker placeholder; a doubled one shows as is.
QString literalTitle(QString title) {
    return title.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
}

}  // namespace

QString PlainBannerText(const QString& text, int maxChars) {
    QString out = text.left(std::max(maxChars, 0));
    if (!out.isEmpty() && out.size() < text.size() && out.back().isHighSurrogate()) out.chop(1);
    for (QChar& c : out)
        if (breaksLine(c.unicode())) c = QLatin1Char(' ');
    return out;
}

QString PlainBannerText(std::string_view utf8, int maxChars) {
    // Decoding is linear, but there is no point in decoding megabytes for a few hundred
    // characters: each character takes at most four bytes.
    const std::size_t maxBytes = static_cast<std::size_t>(std::max(maxChars, 0)) * 4 + 4;
    if (utf8.size() > maxBytes) utf8 = utf8.substr(0, maxBytes);
    return PlainBannerText(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())),
                           maxChars);
}

// ---------------------------------------------------------------------------------------
// TSplashWindow

const platform::Response<TSplashWindow> TSplashWindow::kResponses[] = {
    platform::onMessage(platform::WM_TIMER, &TSplashWindow::evTimerMessage),
};

TSplashWindow::TSplashWindow(const QPixmap& picture, int width, int height, unsigned style,
                             int timeOutMs, const QString& title, platform::Clock* clock)
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      platform::AppWindow(clock),
      picture_(picture),
      style_(style),
      timeOutMs_(timeOutMs) {
    setAttribute(Qt::WA_DeleteOnClose);
    // A notice, not a dialog: it must not take the keyboard from whatever the user is doing.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowTitle(literalTitle(PlainBannerText(title, kMaxTitleChars)));
    resize(std::max(width, 1), std::max(height, 1));
    if (style_ & kSplashMakeStatic) {
        static_ = new QLabel(this);
        // Caller data is never markup: rich text could load files or fake the layout.
        static_->setTextFormat(Qt::PlainText);
        static_->setTextInteractionFlags(Qt::NoTextInteraction);
        static_->setOpenExternalLinks(false);
        static_->setWordWrap(false);
        static_->setAlignment(Qt::AlignCenter);
        // Clicks on the text are clicks on the banner.
        static_->setAttribute(Qt::WA_TransparentForMouseEvents);
        static_->setGeometry(rect());
    }
}

TSplashWindow::~TSplashWindow() {
    CleanupWindow();
}

bool TSplashWindow::Create() {
    if (closed_ || !QGuiApplication::primaryScreen()) return false;
    SetupWindow();
    return true;
}

void TSplashWindow::SetupWindow() {
    // The whole screen, panels included: the banner is meant to cover them.
    const QRect whole = QGuiApplication::primaryScreen()->geometry();
    move(whole.x() + (whole.width() - width()) / 2, whole.y() + (whole.height() - height()) / 2);
    show();
    raise();
    setTimer(kSplashTimer, timeOutMs_);
    if (style_ & kSplashCaptureMouse) {
        grabMouse();
        // Some display servers refuse grabs (and the offscreen one has none): a press in
        // any window of this program still reaches the banner first.
        qApp->installEventFilter(this);
    }
}

bool TSplashWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::MouseButtonPress || closed_)
        return QWidget::eventFilter(watched, event);
    close();
    return true;  // captured: the click belongs to the banner
}

void TSplashWindow::EvTimer(platform::TimerId id) {
    if (id != kSplashTimer) return;
    platform::AppWindow::killTimer(kSplashTimer);
    close();
}

platform::LResult TSplashWindow::evTimerMessage(platform::AppMessage& message) {
    EvTimer(static_cast<platform::TimerId>(message.wParam));
    return 0;
}

platform::LResult TSplashWindow::dispatch(platform::AppMessage& message) {
    return respond(kResponses, message);
}

void TSplashWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (picture_.isNull())
        painter.fillRect(rect(), palette().window());
    else
        painter.drawPixmap(rect(), picture_);
}

void TSplashWindow::mousePressEvent(QMouseEvent* event) {
    // Without a grab (some display servers refuse one) a click on the banner still closes it.
    event->accept();
    if (style_ & kSplashCaptureMouse) close();
}

void TSplashWindow::closeEvent(QCloseEvent* event) {
    CleanupWindow();
    event->accept();
}

void TSplashWindow::CleanupWindow() {
    if (QWidget::mouseGrabber() == this) releaseMouse();
    if (qApp) qApp->removeEventFilter(this);
    if (closed_) return;
    closed_ = true;
    platform::AppWindow::killTimer(kSplashTimer);
    closeWindow();
}

// ---------------------------------------------------------------------------------------
// TBigSplash

TBigSplash::TBigSplash(const QPixmap& picture, int width, int height, unsigned style, int timeOutMs,
                       const QString& title, const QString& callerText, const QFont* font,
                       platform::Clock* clock)
    : TSplashWindow(picture, width, height, style, timeOutMs, title, clock),
      height_(height),
      font_(font),
      callerText_(PlainBannerText(callerText, kMaxCallerChars)) {}

TBigSplash::~TBigSplash() = default;

bool TBigSplash::Create() {
    const bool created = TSplashWindow::Create();
    if (created && GetStatic()) {
        QLabel* label = GetStatic();
        if (!callerText_.isEmpty()) label->setText(callerText_);
        if (font_) label->setFont(*font_);
        // The name must stand out from the picture behind it, dark or light.
        if (!picture().isNull()) {
            const QColor behind = picture().toImage()
                                      .scaled(1, 1, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                      .pixelColor(0, 0);
            QPalette colours = label->palette();
            colours.setColor(QPalette::WindowText, behind.lightness() < 128 ? Qt::white : Qt::black);
            label->setPalette(colours);
        }
        // Across the whole screen, so the name stays centred on it.
        const QScreen* screen = QGuiApplication::primaryScreen();
        label->setGeometry(0, 0, screen->geometry().width(), height_);
    }
    ready_ = true;
    return created;
}

void TBigSplash::SetupWindow() {
    TSplashWindow::SetupWindow();
}

void TBigSplash::EvTimer(platform::TimerId id) {
    // Only the banner's own timer closes it; another id must not stop that timer, or the
    // banner would never time out.
    if (id != kSplashTimer) return;
    if (!ready_ && rearmCount_ < kMaxRearms) {
        ++rearmCount_;
        setTimer(kSplashTimer, kRearmMs);
        return;
    }
    platform::AppWindow::killTimer(kSplashTimer);
    TSplashWindow::EvTimer(id);
}

// ---------------------------------------------------------------------------------------
// Banner size and the per-line banners

QSize BannerSize(const BannerMetrics& m) {
    int width = m.screenWidth - 2 * m.edgeWidth - 1;
    if (width <= kNarrowWidth) width = kFallbackWidth;
    const int height = std::max(2 * m.captionHeight + m.fontHeight, kMinHeight);
    return {width, height};
}

BannerMetrics PopupBanners::CurrentMetrics(const QFont& font) {
    BannerMetrics m;
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        m.screenWidth = screen->geometry().width();
    const QStyle* style = QApplication::style();
    m.edgeWidth = style->pixelMetric(QStyle::PM_DefaultFrameWidth);
    m.captionHeight = style->pixelMetric(QStyle::PM_TitleBarHeight);
    m.fontHeight = QFontMetrics(font).height();
    return m;
}

PopupBanners::PopupBanners(const QPixmap& picture, const QFont& font, bool headless,
                           platform::Clock* clock)
    : picture_(picture), font_(font), headless_(headless), clock_(clock) {}

PopupBanners::~PopupBanners() {
    // Banners still up (or closed and waiting for deletion) go with their owner, so no
    // timer of theirs outlives the clock and no grab is left behind.
    for (auto& [id, banner] : PopupWindows) delete banner.data();
}

TBigSplash* PopupBanners::banner(platform::WParam id) const {
    const auto it = PopupWindows.find(id);
    TBigSplash* b = it == PopupWindows.end() ? nullptr : it->second.data();
    return b && !b->IsClosed() ? b : nullptr;
}

platform::LResult PopupBanners::EvShowPopup(platform::AppMessage& message) {
    // The record is freed on every path out, shown or not.
    const std::unique_ptr<client::PopupText> text = message.take<client::PopupText>();
    if (!text || headless_) return 0;
    const platform::WParam id = message.wParam;
    // Banners already deleted leave no entry behind.
    std::erase_if(PopupWindows, [](const auto& entry) { return entry.second.isNull(); });

    // The kept banner would otherwise be unreachable: a later close for this connection
    // could not take it down.
    if (const auto it = PopupWindows.find(id); it != PopupWindows.end() && it->second)
        it->second->close();

    const QSize size = BannerSize(CurrentMetrics(font_));
    auto* banner = new TBigSplash(
        picture_, size.width(), size.height(), kSplashMakeStatic | kSplashCaptureMouse, kTimeOutMs,
        PlainBannerText(text->detailLine, kMaxTitleChars),
        PlainBannerText(text->callerText, kMaxCallerChars), &font_, clock_);
    if (!banner->Create()) {
        delete banner;
        PopupWindows.erase(id);
        return 0;
    }
    PopupWindows[id] = banner;
    return 0;
}

platform::LResult PopupBanners::EvClosePopup(platform::AppMessage& message) {
    const auto it = PopupWindows.find(message.wParam);
    if (it != PopupWindows.end() && it->second)
        it->second->post(platform::WM_TIMER, kSplashTimer);  // fails quietly once it has closed
    return 0;
}

}  // namespace orvelin::shell
