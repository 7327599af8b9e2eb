#include "platform/session_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/paths.h"

namespace platform {

namespace {

// The session file's ACTIVE line; a missing or unreadable file is not active.
bool readActive(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    for (int lines = 0; lines < 200 && std::getline(file, line); ++lines)
        if (line.rfind("ACTIVE=", 0) == 0) return line.substr(7) == "1";
    return false;
}

}  // namespace

std::string SessionWatch::currentSessionId() {
    const char* id = std::getenv("XDG_SESSION_ID");
    return id ? std::string(id) : std::string();
}

SessionWatch::SessionWatch(std::string sessionsDirectory, std::string sessionId,
                           std::function<void()> userChanged)
    : userChanged_(std::move(userChanged)) {
    // The id names a file: nothing that could leave the directory.
    if (sessionsDirectory.empty() || sessionId.empty() ||
        sessionId.find('/') != std::string::npos || sessionId[0] == '.')
        return;
    path_ = joinPath(sessionsDirectory, sessionId);
    name_ = sessionId;
    // The manager replaces the file by a rename: the directory is watched, not the file.
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return;
    if (inotify_add_watch(fd_, sessionsDirectory.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE) < 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    active_ = readActive(path_);
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { check(); });
}

SessionWatch::~SessionWatch() {
    notifier_.reset();  // before the descriptor goes
    if (fd_ >= 0) ::close(fd_);
}

void SessionWatch::check() {
    alignas(inotify_event) char buffer[4096];
    bool ours = false;
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            const ssize_t size = ssize_t(sizeof(inotify_event)) + ssize_t(event->len);
            if (at + size > n) break;
            if (event->len > 0 && name_ == event->name) ours = true;
            at += size;
        }
    }
    if (!ours) return;
    const bool now = readActive(path_);
    const bool left = active_ && !now;
    active_ = now;
    if (left && userChanged_) userChanged_();
}

}  // namespace platform
