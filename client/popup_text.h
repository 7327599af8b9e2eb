// The record that asks the client window to show the caller banner for a line.
#pragma once

#include <string>

#include "platform/app_window.h"

namespace orvelin::client {

// Travels in WM_SHOW_POPUP (wParam = line). Both texts come from the line and the caller
// records, so they are untrusted: whoever shows them treats them as plain text.
struct PopupText : platform::MessageRecord {
    std::string callerText;  // the caller's name, else the number
    std::string detailLine;  // "name number to called-name called-number"
};

}  // namespace orvelin::client
