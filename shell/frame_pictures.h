// The frame's pictures, by the resource numbers the rest of the program knows them by:
// the tray states, the tool buttons and the status bar's line pictures.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

#include "platform/app_window.h"

namespace orvelin::shell {

// The tray's three states; the first is also the window's icon.
enum class TrayPicture { LinesOn = 1001, CapiOff = 1002, Message = 1003 };

// Picture resource numbers without a command of the same number.
inline constexpr int kRecordBitmap = 193;
inline constexpr int kLineStrip = 107;
inline constexpr int kLinePictures = 7;  // one per connection state
inline constexpr QSize kLinePictureSize{16, 16};

// The resource path of a tray picture, of a tool button's bitmap (by command or bitmap
// number) and of the line picture of a connection state; empty for unknown numbers.
QString trayResource(TrayPicture picture);
QString toolResource(int bitmap);
QString lineResource(int state);

QIcon trayIcon(TrayPicture picture);
QIcon toolIcon(int bitmap);
// The line picture at the given pixel ratio; null for states outside 0..6.
QPixmap linePicture(int state, qreal ratio);

}  // namespace orvelin::shell
