#include "platform/tray_host.h"

#include <QMenu>
#include <QSystemTrayIcon>

namespace platform {

namespace {

class DesktopTray : public TrayHost {
  public:
    DesktopTray() {
        QObject::connect(&icon_, &QSystemTrayIcon::activated, &icon_,
                         [this](QSystemTrayIcon::ActivationReason reason) {
                             if (!clicked) return;
                             switch (reason) {
                                 case QSystemTrayIcon::Trigger: clicked(TrayClick::Left); break;
                                 case QSystemTrayIcon::Context: clicked(TrayClick::Right); break;
                                 default: clicked(TrayClick::Other); break;
                             }
                         });
    }

    bool available() const override { return QSystemTrayIcon::isSystemTrayAvailable(); }

    bool show(const QIcon& icon, const QString& tip) override {
        if (!available()) return false;
        icon_.setIcon(icon);
        icon_.setToolTip(tip);
        icon_.show();
        return icon_.isVisible();
    }

    void remove() override { icon_.hide(); }

    void setMenu(QMenu* menu) override { icon_.setContextMenu(menu); }

  private:
    QSystemTrayIcon icon_;
};

}  // namespace

std::unique_ptr<TrayHost> desktopTray() {
    return std::make_unique<DesktopTray>();
}

}  // namespace platform
