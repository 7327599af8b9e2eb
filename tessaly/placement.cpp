#include "tessaly/placement.h"

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>

namespace tessaly {

FormBounds formBounds(int left, int top, int height, int width, int screenWidth,
                      int screenHeight) {
    // The limits are inclusive: a window at left == W or top == H - 50 is accepted.
    const bool refused = left < 0 || left > screenWidth || top < 0 || top > screenHeight - 50 ||
                         height < 240 || width < 300;
    if (!refused) return {left, top, height, width};
    return {screenWidth / 2, 48, screenHeight - 64, screenWidth / 2 - 6};
}

void useToolWindowFrame(QWidget& form) {
    form.setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
}

void placeForm(QWidget& form, int left, int top, int height, int width) {
    QRect area(0, 0, 800, 600);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        area = screen->availableGeometry();
    // The rule works in the coordinates of the usable area, whose origin need not be
    // the screen's corner when a panel sits at the left or top.
    const FormBounds b = formBounds(left - area.x(), top - area.y(), height, width,
                                    area.width(), area.height());
    form.setGeometry(b.left + area.x(), b.top + area.y(), b.width, b.height);
}

}  // namespace tessaly
