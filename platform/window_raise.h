// Bringing another program's window to the foreground by its title.
#pragma once

#include <string>

namespace platform {

// Looks for a top-level window whose title is exactly `title` (UTF-8), of any program on
// the display named by $DISPLAY, and brings it forward shown normally: not minimised,
// not maximised, activated. With a window manager the search is its client list and the
// activation its active-window request; without one, the root window's children (and
// client windows below them) are searched and the window is mapped, raised and focused.
// Where there is no X display, only this program's own top-level widgets are searched.
// Returns whether such a window was found.
bool raiseTopLevelWindow(const std::string& title);

}  // namespace platform
