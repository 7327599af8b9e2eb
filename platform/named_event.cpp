#include "platform/named_event.h"

#include <fcntl.h>
#include <semaphore.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <utility>

namespace platform {

namespace {

// POSIX leaves names with a second '/' or longer than NAME_MAX - 4 undefined.
bool validName(const std::string& name) {
    return name.size() >= 2 && name.size() <= NAME_MAX - 4 && name.front() == '/' &&
           name.find('/', 1) == std::string::npos;
}

void setError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

}  // namespace

std::string namedEventName(std::string_view prefix, long number) {
    std::string name(1, '/');
    name.append(prefix);
    name.append(std::to_string(number));
    return name;
}

NamedEvent::NamedEvent(std::string name, void* sem) : name_(std::move(name)), sem_(sem) {}

NamedEvent::NamedEvent(NamedEvent&& other) noexcept
    : name_(std::move(other.name_)), sem_(std::exchange(other.sem_, nullptr)) {}

NamedEvent& NamedEvent::operator=(NamedEvent&& other) noexcept {
    if (this != &other) {
        close();
        name_ = std::move(other.name_);
        sem_ = std::exchange(other.sem_, nullptr);
    }
    return *this;
}

NamedEvent::~NamedEvent() {
    close();
}

void NamedEvent::close() {
    if (!sem_) return;
    sem_close(static_cast<sem_t*>(sem_));
    sem_unlink(name_.c_str());
    sem_ = nullptr;
}

std::optional<NamedEvent> NamedEvent::create(const std::string& name, std::string* error) {
    if (!validName(name)) {
        setError(error, "invalid event name " + name);
        return std::nullopt;
    }
    sem_unlink(name.c_str());
    sem_t* sem = sem_open(name.c_str(), O_CREAT | O_EXCL, 0600, 0);
    if (sem == SEM_FAILED) {
        setError(error, "cannot create event " + name + ": " + std::strerror(errno));
        return std::nullopt;
    }
    return NamedEvent(name, sem);
}

bool NamedEvent::signal(const std::string& name, std::string* error) {
    if (!validName(name)) {
        setError(error, "invalid event name " + name);
        return false;
    }
    sem_t* sem = sem_open(name.c_str(), 0);
    if (sem == SEM_FAILED) {
        setError(error, "cannot open event " + name + ": " + std::strerror(errno));
        return false;
    }
    // Auto-reset: a second signal before the wait is the same signal. Two signallers
    // racing here may both post; the waiter then sees one spurious extra wake-up at
    // worst, which only ends a wait early, as a signal does.
    int value = 0;
    bool ok = true;
    if (sem_getvalue(sem, &value) != 0 || value <= 0) {
        ok = sem_post(sem) == 0;
        if (!ok) setError(error, "cannot signal event " + name + ": " + std::strerror(errno));
    }
    sem_close(sem);
    return ok;
}

NamedEvent::WaitResult NamedEvent::wait(std::chrono::milliseconds timeout) {
    if (!sem_) return WaitResult::Error;
    auto* sem = static_cast<sem_t*>(sem_);
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    long long ms = timeout.count() < 0 ? 0 : static_cast<long long>(timeout.count());
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>((ms % 1000) * 1000000);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        if (sem_clockwait(sem, CLOCK_MONOTONIC, &deadline) == 0) return WaitResult::Signalled;
        if (errno == EINTR) continue;
        return errno == ETIMEDOUT ? WaitResult::TimedOut : WaitResult::Error;
    }
}

}  // namespace platform
