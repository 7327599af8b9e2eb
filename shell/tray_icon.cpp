#include "shell/tray_icon.h"

#include <cstdio>

namespace orvelin::shell {

TrayPicture trayPictureFor(bool capiEnabled, bool blink) {
    if (!capiEnabled) return TrayPicture::CapiOff;
    return blink ? TrayPicture::Message : TrayPicture::LinesOn;
}

TrayIcon::TrayIcon(platform::TrayHost& host, Log log, std::uintptr_t window)
    : host_(host), log_(std::move(log)), window_(window) {}

TrayIcon::~TrayIcon() {
    if (placed_) remove();
}

bool TrayIcon::add() {
    placed_ = host_.show(trayIcon(picture_), QString::fromLatin1(kTrayTip));
    logRequest(Add, placed_, int(picture_), kTrayTip);
    return placed_;
}

void TrayIcon::modify(TrayPicture picture) {
    picture_ = picture;
    if (!placed_) return;
    const bool shown = host_.show(trayIcon(picture_), QString::fromLatin1(kTrayTip));
    logRequest(Modify, shown, int(picture_), kTrayTip);
    if (!shown) placed_ = false;  // the tray went away: the retry timer places it again
}

void TrayIcon::remove() {
    host_.remove();
    logRequest(Delete, placed_, 0, nullptr);
    placed_ = false;
}

bool TrayIcon::check() {
    const bool available = host_.available();
    if (!placed_ && available) return add();
    if (placed_ && !available) {
        placed_ = false;
        if (log_) log_("The tray went away; the icon is placed again when it returns");
    }
    return placed_;
}

void TrayIcon::logRequest(Operation op, bool result, int icon, const char* tip) {
    if (!log_) return;
    char line[200];
    std::snprintf(line, sizeof line,
                  "In TrayMessage: res=%s hDlg=%#8lx dwMessage=%#8lx uID=%d hIcon=%#8lx pszTip=%s",
                  result ? "TRUE" : "FALSE", static_cast<unsigned long>(window_),
                  static_cast<unsigned long>(op), kTrayIconId, static_cast<unsigned long>(icon),
                  tip ? tip : "");
    log_(line);
}

}  // namespace orvelin::shell
