// The main window keeps to the right edge of the desktop's work area, as wide as the
// call list's columns need, never wider than half of it.
#pragma once

#include <QRect>

namespace orvelin::client {

// The room the columns need beyond their own widths: borders and the scroll bar.
inline constexpr int kDockMargin = 28;

// Where the frame goes in `workArea` when its columns need `columnsWidth` pixels. An empty
// rectangle when the work area is empty.
QRect dockedFrameGeometry(const QRect& workArea, int columnsWidth);

}  // namespace orvelin::client
