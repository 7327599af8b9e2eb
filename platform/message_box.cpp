#include "platform/message_box.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

namespace {

std::atomic<BoxMode> g_mode{BoxMode::Auto};
std::atomic<bool> g_dismissed{false};

std::mutex g_sinkMutex;
std::shared_ptr<const MessageLogSink> g_sink;  // guarded by g_sinkMutex; null: stderr

// One line per box: line breaks and other control characters (texts may come from the
// network) become spaces.
std::string logLine(const std::string& caption, const std::string& text, const char* answer) {
    std::string line = caption.empty() ? text : caption + ": " + text;
    for (char& c : line) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) c = ' ';
    }
    if (answer) line += std::string(" [") + answer + "]";
    return line;
}

void writeLog(const std::string& line) {
    std::shared_ptr<const MessageLogSink> sink;
    {
        std::lock_guard lock(g_sinkMutex);
        sink = g_sink;
    }
    if (sink) {
        (*sink)(line);
        return;
    }
    std::fprintf(stderr, "orvelin: %s\n", line.c_str());
}

std::vector<BoxAnswer> answersOf(BoxButtons buttons) {
    switch (buttons) {
        case BoxButtons::Ok:
            return {BoxAnswer::Ok};
        case BoxButtons::OkCancel:
            return {BoxAnswer::Ok, BoxAnswer::Cancel};
        case BoxButtons::YesNo:
            return {BoxAnswer::Yes, BoxAnswer::No};
        case BoxButtons::YesNoCancel:
            return {BoxAnswer::Yes, BoxAnswer::No, BoxAnswer::Cancel};
        case BoxButtons::RetryCancel:
            return {BoxAnswer::Retry, BoxAnswer::Cancel};
        case BoxButtons::AbortRetryIgnore:
            return {BoxAnswer::Abort, BoxAnswer::Retry, BoxAnswer::Ignore};
    }
    return {BoxAnswer::Ok};
}

BoxAnswer resolveDefault(BoxButtons buttons, std::optional<BoxAnswer> wanted) {
    const std::vector<BoxAnswer> answers = answersOf(buttons);
    for (BoxAnswer a : answers) {
        if (wanted && a == *wanted) return a;
    }
    return answers.front();
}

const char* answerName(BoxAnswer a) {
    switch (a) {
        case BoxAnswer::Ok:
            return "OK";
        case BoxAnswer::Cancel:
            return "Cancel";
        case BoxAnswer::Abort:
            return "Abort";
        case BoxAnswer::Retry:
            return "Retry";
        case BoxAnswer::Ignore:
            return "Ignore";
        case BoxAnswer::Yes:
            return "Yes";
        case BoxAnswer::No:
            return "No";
    }
    return "?";
}

QMessageBox::StandardButton standardButton(BoxAnswer a) {
    switch (a) {
        case BoxAnswer::Ok:
            return QMessageBox::Ok;
        case BoxAnswer::Cancel:
            return QMessageBox::Cancel;
        case BoxAnswer::Abort:
            return QMessageBox::Abort;
        case BoxAnswer::Retry:
            return QMessageBox::Retry;
        case BoxAnswer::Ignore:
            return QMessageBox::Ignore;
        case BoxAnswer::Yes:
            return QMessageBox::Yes;
        case BoxAnswer::No:
            return QMessageBox::No;
    }
    return QMessageBox::Ok;
}

QMessageBox::Icon qtIcon(BoxIcon icon) {
    switch (icon) {
        case BoxIcon::None:
            return QMessageBox::NoIcon;
        case BoxIcon::Information:
            return QMessageBox::Information;
        case BoxIcon::Question:
            return QMessageBox::Question;
        case BoxIcon::Warning:
            return QMessageBox::Warning;
        case BoxIcon::Error:
            return QMessageBox::Critical;
    }
    return QMessageBox::NoIcon;
}

bool onGuiThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && app->thread() == QThread::currentThread();
}

}  // namespace

void setMessageBoxMode(BoxMode mode) {
    g_mode.store(mode);
}

BoxMode messageBoxMode() {
    return g_mode.load();
}

bool messageBoxesHeadless() {
    const BoxMode mode = g_mode.load();
    if (mode == BoxMode::Headless) return true;
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return true;
    if (mode == BoxMode::Gui) return false;
    const QString name = QGuiApplication::platformName();
    return name == QLatin1String("offscreen") || name == QLatin1String("minimal");
}

void setMessageLogSink(MessageLogSink sink) {
    std::lock_guard lock(g_sinkMutex);
    g_sink = sink ? std::make_shared<const MessageLogSink>(std::move(sink)) : nullptr;
}

BoxAnswer messageBox(const std::string& text, const std::string& caption, BoxButtons buttons,
                     BoxIcon icon, std::optional<BoxAnswer> defaultAnswer, QWidget* parent) {
    const BoxAnswer fallback = resolveDefault(buttons, defaultAnswer);
    if (messageBoxesHeadless() || g_dismissed.load()) {
        writeLog(logLine(caption, text, answerName(fallback)));
        return fallback;
    }
    if (!onGuiThread()) {
        // A worker must not wait for the user: show it without waiting, take the default.
        notifyBox(text, caption, icon);
        return fallback;
    }

    QMessageBox box(qtIcon(icon), QString::fromStdString(caption), QString::fromStdString(text),
                    QMessageBox::NoButton, parent);
    QMessageBox::StandardButtons set;
    for (BoxAnswer a : answersOf(buttons)) set |= standardButton(a);
    // Texts can come from the network (a client's text message): never as markup.
    box.setTextFormat(Qt::PlainText);
    box.setStandardButtons(set);
    box.setDefaultButton(standardButton(fallback));
    box.exec();
    const QMessageBox::StandardButton clicked = box.standardButton(box.clickedButton());
    for (BoxAnswer a : answersOf(buttons)) {
        if (standardButton(a) == clicked) return a;
    }
    // Closed without a button: Cancel when the box has one, else its default.
    const std::vector<BoxAnswer> answers = answersOf(buttons);
    for (BoxAnswer a : answers) {
        if (a == BoxAnswer::Cancel) return a;
    }
    return fallback;
}

void messageBoxInFront(const std::string& text) {
    if (messageBoxesHeadless() || g_dismissed.load()) {
        writeLog(logLine("", text, answerName(BoxAnswer::Ok)));
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QString(), QString::fromStdString(text), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    // Raised and activated once shown: before that the window system has nothing to raise.
    QTimer::singleShot(0, &box, [&box] {
        box.raise();
        box.activateWindow();
    });
    box.exec();
}

void setBoxesDismissed(bool on) {
    g_dismissed.store(on);
    if (!on || !onGuiThread()) return;
    // Each close unwinds one nested loop once control gets back to it; the windows are
    // gathered first, since closing one may change the list.
    std::vector<QWidget*> modal;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->isModal()) modal.push_back(w);
    }
    for (QWidget* w : modal) {
        if (auto* dialog = qobject_cast<QDialog*>(w)) dialog->done(QDialog::Rejected);
        else w->hide();
    }
}

void notifyBox(const std::string& text, const std::string& caption, BoxIcon icon,
               std::function<void()> closed) {
    if (messageBoxesHeadless()) {
        writeLog(logLine(caption, text, nullptr));
        if (closed) closed();
        return;
    }
    // Always queued, also on the GUI thread: the caller may be inside a handler that
    // must not be re-entered by a box.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [text, caption, icon, closed = std::move(closed)] {
            auto* box = new QMessageBox(qtIcon(icon), QString::fromStdString(caption),
                                        QString::fromStdString(text), QMessageBox::Ok);
            box->setTextFormat(Qt::PlainText);
            box->setAttribute(Qt::WA_DeleteOnClose);
            if (closed) QObject::connect(box, &QObject::destroyed, closed);
            box->setWindowModality(Qt::NonModal);
            box->show();
        },
        Qt::QueuedConnection);
}

}  // namespace platform
