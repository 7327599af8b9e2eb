// Where a settings form opens: over the caller's window when that window's geometry
// is usable, else in the right half of the screen.
#pragma once

class QWidget;

namespace tessaly {

struct FormBounds {
    int left = 0;
    int top = 0;
    int height = 0;
    int width = 0;
    bool operator==(const FormBounds&) const = default;
};

// The bounds for a form asked to open at left/top with height/width, on a screen of
// screenWidth by screenHeight pixels. Positions are relative to the screen's origin.
FormBounds formBounds(int left, int top, int height, int width, int screenWidth,
                      int screenHeight);

// The forms' frame: a sizeable tool window (a utility window to the window manager)
// with a title and a close box.
void useToolWindowFrame(QWidget& form);

// Applies formBounds to `form` against the available geometry of the primary screen.
void placeForm(QWidget& form, int left, int top, int height, int width);

}  // namespace tessaly
