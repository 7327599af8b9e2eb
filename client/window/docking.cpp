#include "client/window/docking.h"

#include <algorithm>

namespace orvelin::client {

QRect dockedFrameGeometry(const QRect& workArea, int columnsWidth) {
    if (workArea.isEmpty()) return {};
    // Edges as the desktop gives them: right and bottom are one past the last pixel.
    const long long right = static_cast<long long>(workArea.x()) + workArea.width();
    const long long need = static_cast<long long>(std::max(columnsWidth, 0)) + kDockMargin;
    // A work area narrower than twice the need gives its right half, wherever it starts.
    const long long half = static_cast<long long>(workArea.x()) + workArea.width() / 2;
    const long long x = std::max(right - need, half);
    return QRect(static_cast<int>(x), workArea.y(), static_cast<int>(right - x),
                 workArea.height());
}

}  // namespace orvelin::client
