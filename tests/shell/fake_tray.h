// A tray that tests switch on and off, and that remembers what it shows.
#pragma once

#include "platform/tray_host.h"

namespace orvelin::shell {

class FakeTray : public platform::TrayHost {
  public:
    bool available() const override { return present; }
    bool show(const QIcon& icon, const QString& tip) override {
        if (!present) return false;
        shown = true;
        lastIcon = icon;
        lastTip = tip;
        return true;
    }
    void remove() override { shown = false; }
    void setMenu(QMenu* m) override { menu = m; }

    bool present = true;
    bool shown = false;
    QIcon lastIcon;
    QString lastTip;
    QMenu* menu = nullptr;
};

}  // namespace orvelin::shell
