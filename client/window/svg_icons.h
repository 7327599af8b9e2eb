// Icons and pictures drawn from SVG resources at the size and pixel ratio asked for, so
// they stay sharp on screens of any density. A disabled icon is drawn greyed by the style.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

namespace orvelin::client {

// An icon over the resource (":/..."). A missing or unreadable resource gives a null icon.
QIcon svgIcon(const QString& resource);

// The resource drawn into size x ratio device pixels, aspect kept and centred, with the
// pixel ratio set. Null when the resource is missing or is not a picture.
QPixmap svgPixmap(const QString& resource, QSize size, qreal ratio = 1.0);

// The call list's state and kind pictures (resources of this library).
QString callStateResource(int state);
QString callKindResource(int kind);

}  // namespace orvelin::client
