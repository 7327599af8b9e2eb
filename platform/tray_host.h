// The desktop's notification area (the tray), where the program keeps its icon while its
// window is hidden. Desktops without one, and offscreen runs, simply have none.
#pragma once

#include <QIcon>
#include <QString>
#include <functional>
#include <memory>

class QMenu;

namespace platform {

enum class TrayClick { Left, Right, Other };

class TrayHost {
  public:
    virtual ~TrayHost() = default;
    // A tray is there to take an icon now.
    virtual bool available() const = 0;
    // Places the icon or changes it; false when no tray took it.
    virtual bool show(const QIcon& icon, const QString& tip) = 0;
    virtual void remove() = 0;
    // The menu the tray opens on a right click (not owned; null: none).
    virtual void setMenu(QMenu* menu) = 0;

    // Clicks on the icon, on the window thread.
    std::function<void(TrayClick)> clicked;
};

// The desktop's tray.
std::unique_ptr<TrayHost> desktopTray();

}  // namespace platform
