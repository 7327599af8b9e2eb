// The user's login session as the login manager records it, one file per session
// (/run/systemd/sessions/<id>, with a line "ACTIVE=1" while it is the session in front on
// its seat). When the session stops being the active one (another user was switched to),
// `userChanged` runs on the thread that made the watch, from its event loop. Without a
// session id or a sessions directory the watch does nothing.
#pragma once

#include <functional>
#include <memory>
#include <string>

class QSocketNotifier;

namespace platform {

inline constexpr const char* kLoginSessionsDirectory = "/run/systemd/sessions";

class SessionWatch {
  public:
    SessionWatch(std::string sessionsDirectory, std::string sessionId,
                 std::function<void()> userChanged);
    ~SessionWatch();
    SessionWatch(const SessionWatch&) = delete;
    SessionWatch& operator=(const SessionWatch&) = delete;

    // XDG_SESSION_ID, or empty.
    static std::string currentSessionId();
    // As last read; false without a session file.
    bool active() const { return active_; }

  private:
    void check();

    std::string path_;
    std::string name_;
    std::function<void()> userChanged_;
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool active_ = false;
};

}  // namespace platform
