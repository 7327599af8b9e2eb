#include "platform/spawn.h"

#include <dirent.h>
#include <poll.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

extern char** environ;

namespace platform {

struct ChildProcess::State {
    pid_t pid = -1;
    std::mutex mutex;
    std::condition_variable ended;
    bool reaped = false;
    int status = 0;
};

struct SpawnAccess {
    static ChildProcess make(std::shared_ptr<ChildProcess::State> state) {
        return ChildProcess(std::move(state));
    }
};

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A path starting with '-' would be taken for an option by the started program.
std::string asArgument(const std::string& path) {
    return (!path.empty() && path.front() == '-') ? "./" + path : path;
}

// Waits for exactly our own child, so a waitpid of anyone else's is never stolen.
void reap(const std::shared_ptr<ChildProcess::State>& state) {
    int status = 0;
    pid_t r;
    do {
        r = waitpid(state->pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    std::lock_guard lock(state->mutex);
    state->reaped = true;
    state->status = r == state->pid ? status : -1;
    state->ended.notify_all();
}

#if !(defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34)))
// Without closefrom in the file actions: close every inheritable descriptor above 2.
void addCloseInheritable(posix_spawn_file_actions_t* actions) {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return;
    int self = dirfd(dir);
    while (dirent* e = readdir(dir)) {
        int fd = std::atoi(e->d_name);
        if (fd <= 2 || fd == self) continue;
        int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC)) posix_spawn_file_actions_addclose(actions, fd);
    }
    closedir(dir);
}
#endif

// The child keeps only descriptors 0-2 and starts with default signal handling: it must
// not inherit our ignored SIGPIPE or blocked signals.
void closeInheritedAndResetSignals(posix_spawn_file_actions_t* actions, posix_spawnattr_t* attr) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(actions, 3);
#else
    addCloseInheritable(actions);
#endif
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(attr, &none);
    posix_spawnattr_setsigdefault(attr, &all);
    posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

// Starts `words` (looked for in PATH when `searchPath`) after the actions `redirect` adds,
// keeping only descriptors 0-2 and default signal handling. 0 or an errno value.
int spawnClean(pid_t* pid, const std::vector<std::string>& words, bool searchPath,
               const std::function<void(posix_spawn_file_actions_t*)>& redirect = {}) {
    std::vector<char*> args;
    args.reserve(words.size() + 1);
    for (const std::string& a : words) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    if (redirect) redirect(&actions);
    closeInheritedAndResetSignals(&actions, &attr);
    const int rc = searchPath ? posix_spawnp(pid, args[0], &actions, &attr, args.data(), environ)
                              : posix_spawn(pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

}  // namespace

ChildProcess::ChildProcess(std::shared_ptr<State> state) : state_(std::move(state)) {}

pid_t ChildProcess::pid() const {
    return state_->pid;
}

std::optional<int> ChildProcess::waitFor(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    if (!state_->ended.wait_for(lock, timeout, [&] { return state_->reaped; })) return std::nullopt;
    return state_->status;
}

std::vector<std::string> splitCommandLine(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;  // a word has started, even if it is still empty ("")
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
            word.push_back('"');
            inWord = true;
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (isBlank(c) && !quoted) {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else {
            word.push_back(c);
            inWord = true;
        }
    }
    if (inWord) words.push_back(std::move(word));
    return words;
}

std::vector<std::string> substitutePlaceholders(const std::vector<std::string>& words,
                                                std::span<const Placeholder> placeholders,
                                                Occurrences which) {
    std::vector<bool> used(placeholders.size(), false);
    std::vector<std::string> out;
    out.reserve(words.size());
    for (const std::string& word : words) {
        std::string result;
        size_t i = 0;
        while (i < word.size()) {
            bool replaced = false;
            for (size_t p = 0; p < placeholders.size(); ++p) {
                const Placeholder& ph = placeholders[p];
                if (ph.token.empty() || used[p]) continue;
                if (word.compare(i, ph.token.size(), ph.token) != 0) continue;
                result += ph.value;
                i += ph.token.size();
                used[p] = which == Occurrences::First;
                replaced = true;
                break;
            }
            if (!replaced) result.push_back(word[i++]);
        }
        out.push_back(std::move(result));
    }
    return out;
}

SpawnResult spawnProgram(const std::vector<std::string>& argv) {
    if (argv.empty() || argv.front().empty()) return {std::nullopt, "no program given"};
    auto state = std::make_shared<ChildProcess::State>();
    const int rc = spawnClean(&state->pid, argv, true);
    if (rc != 0) return {std::nullopt, "cannot start " + argv.front() + ": " + std::strerror(rc)};

    try {
        std::thread([state] { reap(state); }).detach();
    } catch (const std::system_error& e) {
        return {SpawnAccess::make(state),
                "started " + argv.front() + " but cannot watch it: " + e.what()};
    }
    return {SpawnAccess::make(std::move(state)), {}};
}

namespace {

// Whether argv[0] names a program that can be started, the way posix_spawnp searches.
bool findsProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0;
    const char* path = std::getenv("PATH");
    std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const std::size_t colon = dirs.find(':');
        std::string_view dir = dirs.substr(0, colon);
        if (dir.empty()) dir = ".";
        // Built by appends: gcc 12 at -O3 warns falsely on the assignment and concatenation forms.
        std::string candidate;
        candidate.reserve(dir.size() + 1 + name.size());
        candidate.append(dir).append(1, '/').append(name);
        if (access(candidate.c_str(), X_OK) == 0) return true;
        if (colon == std::string_view::npos) return false;
        dirs.remove_prefix(colon + 1);
    }
}

}  // namespace

std::string spawnDetachedProgram(const std::vector<std::string>& argv) {
    if (argv.empty() || argv.front().empty()) return "no program given";
    if (!findsProgram(argv.front())) return "cannot start " + argv.front() + ": " + std::strerror(ENOENT);
    // The words are the shell's positional parameters: none of them is ever parsed.
    std::vector<std::string> words = {"/bin/sh", "-c", "\"$@\" &", "sh"};
    words.insert(words.end(), argv.begin(), argv.end());
    pid_t pid = -1;
    const int rc = spawnClean(&pid, words, false);
    if (rc != 0) return "cannot start " + argv.front() + ": " + std::strerror(rc);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return {};
}

bool CapturedRun::exitedWith(int code) const {
    return started && !timedOut && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

CapturedRun runCaptured(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    CapturedRun run;
    if (argv.empty() || argv.front().empty()) {
        run.error = "no program given";
        return run;
    }
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        run.error = std::string("pipe: ") + std::strerror(errno);
        return run;
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        run.error = std::string("pipe: ") + std::strerror(errno);
        close(outPipe[0]);
        close(outPipe[1]);
        return run;
    }
    pid_t pid = -1;
    const int rc = spawnClean(&pid, argv, true, [&](posix_spawn_file_actions_t* actions) {
        posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(actions, outPipe[1], 1);
        posix_spawn_file_actions_adddup2(actions, errPipe[1], 2);
    });
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        run.error = "cannot start " + argv.front() + ": " + std::strerror(rc);
        return run;
    }
    run.started = true;

    constexpr std::size_t kKeep = 64 * 1024;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int open = 2;
    bool reaped = false;
    int quietRounds = 0;  // after its end: what is left in the pipes, then done
    while (open > 0 || !reaped) {
        if (!reaped && waitpid(pid, &run.status, WNOHANG) == pid) reaped = true;
        if (reaped && (open == 0 || quietRounds >= 2)) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            run.timedOut = !reaped;
            break;
        }
        const int n = poll(fds, 2, 50);
        if (n == 0 && reaped) ++quietRounds;
        if (n <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            const ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                const std::size_t room = kKeep - std::min(kKeep, sinks[i]->size());
                sinks[i]->append(buf, std::min(room, std::size_t(got)));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd& f : fds)
        if (f.fd >= 0) close(f.fd);
    if (!reaped) {
        kill(pid, SIGKILL);
        pid_t r;
        do {
            r = waitpid(pid, &run.status, 0);
        } while (r < 0 && errno == EINTR);
    }
    return run;
}

SpawnResult openDocument(const std::string& path) {
    return spawnProgram({"xdg-open", asArgument(path)});
}

SpawnResult printDocument(const std::string& path) {
    return spawnProgram({"lp", asArgument(path)});
}

SpawnResult editTextFile(const std::string& path) {
    const char* editor = std::getenv("EDITOR");
    std::vector<std::string> argv = splitCommandLine(editor ? editor : "");
    if (!argv.empty()) {
        argv.push_back(asArgument(path));
        SpawnResult r = spawnProgram(argv);
        if (r.started()) return r;
        // An editor that cannot be started: the viewer still shows the file.
        SpawnResult viewer = openDocument(path);
        if (!viewer.started()) viewer.error = r.error + "; " + viewer.error;
        return viewer;
    }
    return openDocument(path);
}

}  // namespace platform
