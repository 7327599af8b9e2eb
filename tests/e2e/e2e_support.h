// Running the built program in tests: a private directory, the program with its stderr
// on a pipe, and waits that give up when it ends on its own.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kLimit = 60s;  // generous: sanitizer builds start slowly on a busy machine

class TempDir {
  public:
    TempDir() {
        const char* base = std::getenv("ORVELIN_TEST_TMP");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/e2e-XXXXXX";
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

#ifdef ORVELIN_UI_DRIVER  // only the end-to-end tests build the driver
// Environment entries that load the UI driver reading its steps from `steps`. The driver
// comes before the sanitizer runtime in the load order; the run's options are kept.
inline std::vector<std::string> uiDriverEnv(const fs::path& steps) {
    const char* inherited = std::getenv("ASAN_OPTIONS");
    const std::string asan = inherited ? inherited : "";
    return {"LD_PRELOAD=" + std::string(ORVELIN_UI_DRIVER), "ORVELIN_UI_DRIVER=" + steps.string(),
            "ASAN_OPTIONS=" + asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0"};
}
#endif

// A running orvelin with stdout and stderr on pipes; killed and reaped if a test gives up
// on it. Its program directory is dir/home/; `extraEnv` adds NAME=value entries and
// `args` its command-line arguments.
class Program {
  public:
    explicit Program(const fs::path& dir, const std::vector<std::string>& extraEnv = {},
                     std::vector<std::string> args = {}) {
        fs::create_directories(dir / "home");
        fs::create_directories(dir / "run");
        fs::permissions(dir / "run", fs::perms::owner_all);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM" ||
                name == "HOME" || name == "ORVELIN_HOME" || name == "ORVELIN_CAPI_REMOTE" ||
                name.rfind("XDG_", 0) == 0 || overridden(extraEnv, name))
                continue;
            // A variable the test gives replaces the inherited one.
            if (std::any_of(extraEnv.begin(), extraEnv.end(),
                            [&](const std::string& x) { return x.rfind(name + "=", 0) == 0; }))
                continue;
            env.push_back(entry);
        }
        env.push_back("HOME=" + dir.string());
        env.push_back("ORVELIN_HOME=" + (dir / "home").string() + "/");
        env.push_back("XDG_RUNTIME_DIR=" + (dir / "run").string());
        // The instance lock is machine-wide: each test's programs get their own, shared
        // by every program started on the same `dir`.
        if (!overridden(extraEnv, "ORVELIN_LOCK"))
            env.push_back("ORVELIN_LOCK=" + (dir / "instance.lock").string());
        for (const std::string& e : extraEnv) env.push_back(e);
        std::vector<char*> envp;
        for (auto& s : env) envp.push_back(s.data());
        envp.push_back(nullptr);

        int fds[2], outFds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        if (pipe2(outFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
        posix_spawn_file_actions_adddup2(&actions, outFds[1], STDOUT_FILENO);
        // ORVELIN_TEST_EXE: the same runs against an installed copy.
        const char* installed = std::getenv("ORVELIN_TEST_EXE");
        std::string exe = installed && *installed ? installed : ORVELIN_EXE;
        std::vector<char*> argv{exe.data()};
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc =
            posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        close(outFds[1]);
        stderrFd_ = fds[0];
        stdoutFd_ = outFds[0];
        fcntl(stderrFd_, F_SETFL, O_NONBLOCK);
        fcntl(stdoutFd_, F_SETFL, O_NONBLOCK);
        if (rc != 0) {
            pid_ = -1;
            throw std::runtime_error(std::string("spawn failed: ") + std::strerror(rc));
        }
    }
    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(stderrFd_);
        close(stdoutFd_);
    }

    // Whatever the program wrote to stderr so far.
    const std::string& errors() {
        char buf[4096];
        ssize_t n;
        while ((n = read(stderrFd_, buf, sizeof buf)) > 0) errors_.append(buf, n);
        return errors_;
    }

    // Whatever the program wrote to stdout so far.
    const std::string& output() {
        char buf[4096];
        ssize_t n;
        while ((n = read(stdoutFd_, buf, sizeof buf)) > 0) output_.append(buf, n);
        return output_;
    }

    // The program has installed its handler for sig (its loop then sees the signal).
    bool catches(int sig) const { return inMask("SigCgt:", sig); }
    bool ignores(int sig) const { return inMask("SigIgn:", sig); }

    // Waits for the exit; false when it did not come in time.
    bool waitExit(Clock::duration limit, int& status) {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    bool waitFor(Clock::duration limit, const std::function<bool()>& done) {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            if (done()) return true;
            int status;
            if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;  // ended on its own
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    // Waits until stderr holds `text`; false when it did not in time or the program ended.
    bool waitForError(const std::string& text) {
        return waitFor(kLimit, [&] { return errors().find(text) != std::string::npos; });
    }

    pid_t pid() const { return pid_; }

  private:
    // An entry of `extraEnv` replaces the inherited one (the first of a name would win).
    static bool overridden(const std::vector<std::string>& extraEnv, const std::string& name) {
        for (const std::string& e : extraEnv)
            if (e.compare(0, name.size() + 1, name + "=") == 0) return true;
        return false;
    }

    bool inMask(const std::string& field, int sig) const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind(field, 0) != 0) continue;
            const unsigned long long mask = std::stoull(line.substr(field.size()), nullptr, 16);
            return mask & (1ULL << (sig - 1));
        }
        return false;
    }

    pid_t pid_ = -1;
    int stderrFd_ = -1;
    int stdoutFd_ = -1;
    std::string errors_;
    std::string output_;
};

}  // namespace e2e
