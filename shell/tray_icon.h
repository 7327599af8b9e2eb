// The program's icon in the desktop's tray: which picture it shows, placing it again when
// a tray appears (at start, or after the desktop's panel restarted), and a log line for
// every request made of the tray.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/tray_host.h"
#include "shell/frame_pictures.h"

namespace orvelin::shell {

inline constexpr int kTrayIconId = 100;
inline constexpr const char* kTrayTip = "Orvelin";

// CAPI off wins over a pending message.
TrayPicture trayPictureFor(bool capiEnabled, bool blink);

class TrayIcon {
  public:
    using Log = std::function<void(const std::string&)>;
    // window: the owner's number, for the log only.
    TrayIcon(platform::TrayHost& host, Log log, std::uintptr_t window);
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    // Places the icon with the current picture; true when the tray took it.
    bool add();
    // Shows the picture from now on; while the icon is not placed it is kept for add().
    void modify(TrayPicture picture);
    // Takes the icon out of the tray.
    void remove();
    // Runs on the retry timer: adds the icon when a tray is there and the icon is not,
    // and notes a tray that went away, so its successor gets the icon again. Returns
    // whether the icon is placed.
    bool check();

    bool placed() const { return placed_; }
    TrayPicture picture() const { return picture_; }

  private:
    enum Operation { Add = 0, Modify = 1, Delete = 2 };
    void logRequest(Operation op, bool result, int icon, const char* tip);

    platform::TrayHost& host_;
    Log log_;
    std::uintptr_t window_;
    TrayPicture picture_ = TrayPicture::LinesOn;
    bool placed_ = false;
};

}  // namespace orvelin::shell
