// Message boxes. In a GUI run they are QMessageBoxes; in a headless run (service mode,
// the offscreen platform, no display, no QApplication) the text goes to the message log
// and the box's default answer is taken at once, so a box never stalls the program.
#pragma once

#include <functional>
#include <optional>
#include <string>

class QWidget;

namespace platform {

enum class BoxButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel, AbortRetryIgnore };
enum class BoxIcon { None, Information, Question, Warning, Error };
// Numbered like the answers of the boxes the program was first written for.
enum class BoxAnswer { Ok = 1, Cancel = 2, Abort = 3, Retry = 4, Ignore = 5, Yes = 6, No = 7 };

// Auto: headless when there is no QApplication or its platform is "offscreen" or
// "minimal". Gui and Headless force the choice.
enum class BoxMode { Auto, Gui, Headless };
void setMessageBoxMode(BoxMode mode);
BoxMode messageBoxMode();
// The choice Auto comes to now.
bool messageBoxesHeadless();

// Receives one line per box shown headless (and per box refused off the GUI thread).
// Default (also after setting an empty function): a line on stderr. The sink may be
// called from any thread, one call at a time.
using MessageLogSink = std::function<void(const std::string& line)>;
void setMessageLogSink(MessageLogSink sink);

// Shows a modal box and returns the answer. defaultAnswer: the button that Enter
// presses and the answer a headless run takes; when absent or not one of the buttons,
// the first button. Called off the GUI thread it does not block either: it raises
// notifyBox() and returns the default answer.
BoxAnswer messageBox(const std::string& text, const std::string& caption,
                     BoxButtons buttons = BoxButtons::Ok, BoxIcon icon = BoxIcon::None,
                     std::optional<BoxAnswer> defaultAnswer = std::nullopt,
                     QWidget* parent = nullptr);

// An OK box with no caption that comes to the front of every other window and takes
// the focus (it has no window of the program to stand on). Logged when headless.
void messageBoxInFront(const std::string& text);

// The program is ending: no box may hold it up. On, it closes the modal boxes and
// dialogs open now (as if their window were closed: Cancel where a box has one, else its
// default; a dialog is rejected) and from then on boxes are only logged and take their
// default answer at once. GUI thread.
void setBoxesDismissed(bool on);

// A box that does not wait for the user, for texts raised on worker, CAPI or socket
// paths: shown without blocking in a GUI run (from any thread), logged when headless.
// `closed` runs once the box is gone: on the GUI thread when it is closed, at once when
// the text was only logged.
void notifyBox(const std::string& text, const std::string& caption,
               BoxIcon icon = BoxIcon::Information, std::function<void()> closed = {});

}  // namespace platform
