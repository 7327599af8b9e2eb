// The "Closing down - please wait" window: shown by the client's clean-up while the
// lines, the tables and the link are closed, deleted by the start-up after the event
// loop. The clean-up runs on the window thread and the loop no longer turns, so the
// window is painted before the call returns.
#pragma once

#include <QWidget>
#include <memory>

namespace orvelin::shell {

inline constexpr const char* kClosingDownCaption = "Orvelin";

// Null when headless: the text goes to the message log instead.
std::unique_ptr<QWidget> showClosingDownWindow();

}  // namespace orvelin::shell
