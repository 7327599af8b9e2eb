#include "shell/closing_down.h"

#include <QCoreApplication>
#include <QDialog>
#include <QLabel>
#include <QVBoxLayout>

#include "client/window/client_window.h"
#include "platform/message_box.h"

namespace orvelin::shell {

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
    window->show();
    window->raise();
    // Mapped and painted now: nothing else will turn the loop before the clean-up ends.
    // User input waits, so no command can start in the middle of the clean-up.
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    return window;
}

}  // namespace orvelin::shell
