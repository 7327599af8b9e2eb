#include "shell/closing_down.h"

#include <QCoreApplication>
#include <QDialog>
#include <QEvent>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

#include "client/window/client_window.h"
#include "platform/message_box.h"

namespace orvelin::shell {

namespace {

// Ends the wait at the label's first paint: the window is on the screen with its text.
class FirstPaint : public QObject {
  public:
    explicit FirstPaint(QEventLoop& loop) : loop_(loop) {}

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) loop_.quit();
        return false;
    }

  private:
    QEventLoop& loop_;
};

}  // namespace

std::unique_ptr<QWidget> showClosingDownWindow() {
    if (platform::messageBoxesHeadless()) {
        platform::notifyBox(client::kClosingDownText, kClosingDownCaption);
        return nullptr;
    }
    auto window = std::make_unique<QDialog>(nullptr, Qt::Dialog | Qt::WindowTitleHint);
    window->setObjectName("Closing down");
    window->setWindowTitle(kClosingDownCaption);
    window->setModal(false);
    auto* text = new QLabel(QString::fromUtf8(client::kClosingDownText), window.get());
    text->setTextFormat(Qt::PlainText);
    text->setAlignment(Qt::AlignCenter);
    auto* layout = new QVBoxLayout(window.get());
    layout->addWidget(text);
    layout->setContentsMargins(24, 18, 24, 18);
    QEventLoop wait;
    FirstPaint paint(wait);
    text->installEventFilter(&paint);
    window->show();
    window->raise();
    // Mapped and painted now: nothing else will turn the loop before the clean-up ends.
    // The display server may take a while to expose the window, so the loop turns until
    // the text is painted, never longer than a second. User input waits, so no command
    // can start in the middle of the clean-up.
    QTimer::singleShot(1000, &wait, &QEventLoop::quit);
    wait.exec(QEventLoop::ExcludeUserInputEvents);
    text->removeEventFilter(&paint);
    // The painted picture reaches the display server with the next turn.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    return window;
}

}  // namespace orvelin::shell
