// The large caller banner shown across the screen when a call arrives, and the per-line
// bookkeeping of the client window that shows and closes it.
//
// Everything here lives on the window thread. A banner closes itself on its time-out, on
// a click, or on a WM_TIMER with id 1 posted to it; once closed it takes no more messages
// and deletes itself.
#pragma once

#include <QFont>
#include <QPixmap>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <map>
#include <string_view>

#include "platform/app_window.h"

class QLabel;

namespace orvelin::shell {

// Splash styles: a text control over the picture, and closing on a click anywhere.
inline constexpr unsigned kSplashMakeStatic = 0x4;
inline constexpr unsigned kSplashCaptureMouse = 0x8;

// The splash window's own timer; also what the client posts to close a banner early.
inline constexpr platform::TimerId kSplashTimer = 1;

// Caller data is shown on one line; longer texts are cut (characters, not bytes).
inline constexpr int kMaxCallerChars = 256;
inline constexpr int kMaxTitleChars = 512;

// Caller data made safe for a one-line plain-text label or a window title: invalid UTF-8
// becomes U+FFFD, control and line-separator characters become blanks, and the text is
// cut to maxChars without splitting a surrogate pair.
QString PlainBannerText(std::string_view utf8, int maxChars);
QString PlainBannerText(const QString& text, int maxChars);

// A frameless top-level window that shows a picture, optionally a text control over it,
// centres itself in the screen's work area, stays on top, closes when its time-out
// elapses and, with kSplashCaptureMouse, on any click.
class TSplashWindow : public QWidget, public platform::AppWindow {
  public:
    TSplashWindow(const QPixmap& picture, int width, int height, unsigned style, int timeOutMs,
                  const QString& title, platform::Clock* clock = nullptr);
    ~TSplashWindow() override;

    // Runs the set-up and shows the window. False when there is no screen to show it on or
    // the window was already closed; the window then stays hidden.
    virtual bool Create();

    // The text control, null without kSplashMakeStatic.
    QLabel* GetStatic() const { return static_; }
    unsigned GetStyle() const { return style_; }
    const QPixmap& picture() const { return picture_; }
    bool IsClosed() const { return closed_; }

  protected:
    // Centre, stay on top, show, start the time-out, capture the mouse.
    virtual void SetupWindow();
    // Timer kSplashTimer closes the window.
    virtual void EvTimer(platform::TimerId id);

    platform::LResult dispatch(platform::AppMessage& message) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    platform::LResult evTimerMessage(platform::AppMessage& message);
    // Releases the grab, stops the timer and the messages. Idempotent; runs on every path
    // out, including destruction without a close.
    void CleanupWindow();

    QPixmap picture_;
    unsigned style_;
    int timeOutMs_;
    QLabel* static_ = nullptr;
    bool closed_ = false;

    static const platform::Response<TSplashWindow> kResponses[];
};

// The caller banner: one centred line in a large font over the picture. A timer message
// that arrives before Create() has finished re-arms the timer for 2000 ms instead of
// closing, at most three times.
class TBigSplash : public TSplashWindow {
  public:
    // font: not owned, must outlive the banner (null: the widget's default font).
    TBigSplash(const QPixmap& picture, int width, int height, unsigned style, int timeOutMs,
               const QString& title, const QString& callerText, const QFont* font,
               platform::Clock* clock = nullptr);
    ~TBigSplash() override;

    bool Create() override;

    bool ready() const { return ready_; }
    int rearmCount() const { return rearmCount_; }
    const QString& callerText() const { return callerText_; }

  protected:
    void SetupWindow() override;
    void EvTimer(platform::TimerId id) override;

  private:
    bool ready_ = false;
    int height_;
    int rearmCount_ = 0;
    const QFont* font_;
    QString callerText_;
};

// What the banner size is computed from: the work-area width, the frame edge, the caption
// bar and the announcement font's height.
struct BannerMetrics {
    int screenWidth = 0;
    int edgeWidth = 0;
    int captionHeight = 0;
    int fontHeight = 0;
};
// Width: screen less both edges and one pixel, 800 when that leaves 100 or less.
// Height: two caption bars plus the font, at least 96.
QSize BannerSize(const BannerMetrics& metrics);

// The banners of the calls, one per connection id, as the client window keeps them:
// WM_SHOW_POPUP and WM_CLOSE_POPUP are handed to EvShowPopup and EvClosePopup. A call
// beyond the two lines gets its banner as well.
class PopupBanners {
  public:
    static constexpr int kTimeOutMs = 15000;

    // picture and font: the client's banner picture and announcement font; the font must
    // outlive this object. headless: no banner is ever shown (the records are still freed).
    PopupBanners(const QPixmap& picture, const QFont& font, bool headless,
                 platform::Clock* clock = nullptr);
    ~PopupBanners();
    PopupBanners(const PopupBanners&) = delete;
    PopupBanners& operator=(const PopupBanners&) = delete;

    // wParam = connection id, record = PopupText. Shows a new banner for the connection; a
    // banner it still shows is closed first. A missing record is ignored.
    platform::LResult EvShowPopup(platform::AppMessage& message);
    // wParam = connection id. Closes its banner the way its time-out would; nothing when it
    // has none or it has closed already.
    platform::LResult EvClosePopup(platform::AppMessage& message);

    // The connection's open banner, or null.
    TBigSplash* banner(platform::WParam id) const;

    // Metrics of the primary screen and the current style, for the given font.
    static BannerMetrics CurrentMetrics(const QFont& font);

  private:
    QPixmap picture_;
    const QFont& font_;
    bool headless_;
    platform::Clock* clock_;
    std::map<platform::WParam, QPointer<TBigSplash>> PopupWindows;
};

}  // namespace orvelin::shell
