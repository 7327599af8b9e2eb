// Start-up of the real program: its command line, one instance per machine, the options
// command before any service is installed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/support/x_server.h"

namespace {

using namespace e2e;

constexpr const char* kUsage = "usage: orvelin [--home DIR] [--service]";

struct CommandLineCase {
    std::vector<std::string> args;
    int exitCode;
    std::vector<std::string> outputHas;  // on stdout
    std::vector<std::string> errorsHas;  // on stderr
};

TEST(StartUp, CommandLineFollowsTheUsualConventions) {
    const std::vector<CommandLineCase> cases = {
        {{"--help"}, 0, {kUsage, "--home DIR", "--service", "--help"}, {}},
        {{"-h", "--service"}, 0, {kUsage}, {}},
        {{"--bogus"}, 2, {}, {"unknown option '--bogus'", kUsage}},
        {{"--home"}, 2, {}, {"'--home' needs a directory", kUsage}},
        {{"--home="}, 2, {}, {"'--home' needs a directory", kUsage}},
        {{"--service=yes"}, 2, {}, {"'--service' takes no value", kUsage}},
        {{"--help", "stray"}, 2, {}, {"unexpected argument 'stray'", kUsage}},
    };
    for (const CommandLineCase& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += a + " ";
        SCOPED_TRACE("orvelin " + shown);
        TempDir dir;
        Program program(dir.path(), {}, c.args);
        int status = 0;
        ASSERT_TRUE(program.waitExit(kLimit, status)) << "still running:\n" << program.errors();
        ASSERT_TRUE(WIFEXITED(status)) << program.errors();
        EXPECT_EQ(WEXITSTATUS(status), c.exitCode) << program.errors();
        for (const std::string& s : c.outputHas)
            EXPECT_NE(program.output().find(s), std::string::npos) << program.output();
        for (const std::string& s : c.errorsHas)
            EXPECT_NE(program.errors().find(s), std::string::npos) << program.errors();
        // Help goes to stdout alone; an error leaves stdout empty for scripts.
        if (c.exitCode == 0) EXPECT_EQ(program.errors(), "");
        else EXPECT_EQ(program.output(), "");
        // Neither starts the program: nothing is written to its data directory.
        EXPECT_TRUE(fs::is_empty(dir.path() / "home"));
    }
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool cameUp(Program& p) {
    return p.errors().find("no ISDN driver is reachable") != std::string::npos &&
           p.catches(SIGTERM);
}

TEST(StartUp, SecondStartIsRefusedWhileTheFirstRunsAndAKilledOneLeavesNoLock) {
    // The message box text, one line in the log.
    const std::string secondText =
        "You are trying to start a second instance of Orvelin while the program is currently "
        "running. Activate the program by clicking at the icon in the system tray.  If you "
        "think this is an error condition you should reboot your computer to correct the "
        "problem.";
    TempDir dir;
    // The machine-wide kind of lock under a name of this test's own; the other data
    // directory shares it as every program on a machine does.
    const std::vector<std::string> lock{"ORVELIN_LOCK=@orvelin-e2e-" + std::to_string(getpid())};
    Program first(dir.path(), lock);
    ASSERT_TRUE(first.waitFor(kLimit, [&] { return cameUp(first); })) << first.errors();

    TempDir elsewhere;
    for (const fs::path& where : {dir.path(), elsewhere.path()}) {
        SCOPED_TRACE(where);
        Program second(where, lock);
        int status = 0;
        ASSERT_TRUE(second.waitExit(kLimit, status)) << "second start keeps running";
        ASSERT_TRUE(WIFEXITED(status)) << second.errors();
        EXPECT_NE(WEXITSTATUS(status), 0);
        EXPECT_NE(second.errors().find(secondText), std::string::npos) << second.errors();
        const std::string log = readAll(where / "home" / "capilog.txt");
        EXPECT_NE(log.find(secondText), std::string::npos) << log;
    }
    int status = 0;
    EXPECT_EQ(waitpid(first.pid(), &status, WNOHANG), 0) << "the first instance ended";
    EXPECT_EQ(first.errors().find(secondText), std::string::npos);

    ASSERT_EQ(kill(first.pid(), SIGKILL), 0);
    ASSERT_TRUE(first.waitExit(kLimit, status));

    // Run as a service this time: it shares the lock, and a display in its environment
    // (one that does not exist) is no business of a service.
    Program third(dir.path(), {lock[0], "DISPLAY=:97"}, {"--service"});
    ASSERT_TRUE(third.waitFor(kLimit, [&] { return cameUp(third); })) << third.errors();
    EXPECT_EQ(third.errors().find(secondText), std::string::npos) << third.errors();
    ASSERT_EQ(kill(third.pid(), SIGTERM), 0);
    ASSERT_TRUE(third.waitExit(kLimit, status));
    ASSERT_TRUE(WIFEXITED(status)) << third.errors();
    EXPECT_EQ(WEXITSTATUS(status), 0) << third.errors();

    // A lock that cannot be taken at all is not a second instance: the system's reason,
    // and nothing started.
    TempDir other;
    Program fourth(other.path(), {"ORVELIN_LOCK=/nonexistent-dir/orvelin.lock"});
    ASSERT_TRUE(fourth.waitExit(kLimit, status));
    ASSERT_TRUE(WIFEXITED(status)) << fourth.errors();
    EXPECT_EQ(WEXITSTATUS(status), 1) << fourth.errors();
    EXPECT_NE(fourth.errors().find("/nonexistent-dir/orvelin.lock"), std::string::npos) << fourth.errors();
    EXPECT_EQ(fourth.errors().find(secondText), std::string::npos) << fourth.errors();
    EXPECT_EQ(readAll(other.path() / "home" / "capilog.txt").find("Entering Run Loop"), std::string::npos);
}

// The lines of the CAPI log without their time stamps.
std::vector<std::string> logLines(const fs::path& home) {
    std::vector<std::string> lines;
    std::istringstream in(readAll(home / "capilog.txt"));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line.size() > 24 ? line.substr(24) : line);
    return lines;
}

// Where `line` first stands at or after `from`; npos when it does not.
size_t findLine(const std::vector<std::string>& lines, const std::string& line, size_t from = 0) {
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i] == line) return i;
    return std::string::npos;
}

// The processors each thread of the process may run on.
std::vector<std::string> threadProcessors(pid_t pid) {
    std::vector<std::string> lists;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("Cpus_allowed_list:", 0) == 0)
                lists.push_back(line.substr(line.find_first_not_of(" \t", 18)));
    }
    return lists;
}

struct RunCase {
    const char* name;
    std::vector<std::string> args;
    int signal;
    std::vector<std::string> beforeLoop;  // between "Starting app" and "Entering Run Loop"
    std::vector<std::string> afterLoop;   // after "Exited Run Loop"
};

TEST(StartUp, StartsAndEndsInOrderWithAffinitySetBeforeAnyThread) {
    const std::string registerLine =
        "RegisterAsServiceProcess: the service manager runs this process; nothing to register";
    const std::string unregisterLine =
        "UnregisterAsServiceProcess: the service manager runs this process; nothing to unregister";
    const std::vector<RunCase> cases = {
        {"desktop, SIGTERM", {}, SIGTERM, {}, {}},
        {"desktop, SIGHUP", {}, SIGHUP, {}, {}},
        {"desktop, SIGINT", {}, SIGINT, {}, {}},
        {"service, SIGTERM", {"--service"}, SIGTERM, {registerLine}, {unregisterLine}},
    };
    const long processors = sysconf(_SC_NPROCESSORS_ONLN);
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Program program(dir.path(), {}, c.args);
        ASSERT_TRUE(program.waitFor(kLimit, [&] { return cameUp(program); })) << program.errors();

        const std::vector<std::string> up = logLines(dir.path() / "home");
        const size_t start = findLine(up, "Starting app");
        const size_t loop = findLine(up, "Entering Run Loop", start);
        ASSERT_NE(start, std::string::npos) << program.errors();
        ASSERT_NE(loop, std::string::npos) << program.errors();
        EXPECT_EQ(start, 0u) << "the first line of the run";
        for (const std::string& line : c.beforeLoop) {
            const size_t at = findLine(up, line, start);
            EXPECT_TRUE(at != std::string::npos && at < loop) << line;
        }
        // Affinity: before the loop, and every thread (started later) inherited it.
        const std::string countLine =
            std::to_string(processors) + " processors found on this system. Active mask is 0x";
        size_t found = 0;
        while (found < up.size() && up[found].rfind(countLine, 0) != 0) ++found;
        if (found == up.size()) found = std::string::npos;
        if (processors < 2) {
            EXPECT_EQ(found, std::string::npos);
        } else {
            ASSERT_NE(found, std::string::npos) << readAll(dir.path() / "home" / "capilog.txt");
            EXPECT_LT(found, loop);
            ASSERT_LT(found + 2, up.size());
            EXPECT_EQ(up[found + 1].rfind("ProcessAffinityMask = 0x", 0), 0u) << up[found + 1];
            EXPECT_NE(up[found + 1].find(" SystemAffinityMask = 0x"), std::string::npos);
            const std::string setting = "Setting affinity mask bit for processor ";
            size_t set = found + 2;
            while (set < loop && up[set].rfind(setting, 0) != 0) ++set;
            ASSERT_LT(set, loop) << "no processor was taken";
            const std::string cpu = std::to_string(std::stoi(up[set].substr(setting.size())) - 1);
            const std::vector<std::string> threads = threadProcessors(program.pid());
            EXPECT_GE(threads.size(), 2u);
            for (const std::string& list : threads) EXPECT_EQ(list, cpu);
        }

        ASSERT_EQ(kill(program.pid(), c.signal), 0);
        int status = 0;
        ASSERT_TRUE(program.waitExit(kLimit, status)) << "no exit after the signal";
        ASSERT_TRUE(WIFEXITED(status)) << program.errors();
        EXPECT_EQ(WEXITSTATUS(status), 0) << program.errors();

        // The window closes inside the loop: its clean-up comes before the loop's end.
        const std::vector<std::string> all = logLines(dir.path() / "home");
        const size_t cleanup = findLine(all, "CleanupWindow", loop);
        const size_t closing = findLine(all, "Orvelin: Closing down - please wait", cleanup);
        const size_t exited = findLine(all, "Exited Run Loop", closing);
        ASSERT_NE(cleanup, std::string::npos) << readAll(dir.path() / "home" / "capilog.txt");
        ASSERT_NE(closing, std::string::npos) << readAll(dir.path() / "home" / "capilog.txt");
        ASSERT_NE(exited, std::string::npos) << readAll(dir.path() / "home" / "capilog.txt");
        size_t last = exited;
        for (const std::string& line : c.afterLoop) {
            last = findLine(all, line, last);
            EXPECT_NE(last, std::string::npos) << line;
        }
        if (c.afterLoop.empty()) {
            EXPECT_EQ(findLine(all, unregisterLine), std::string::npos);
        }
    }
}

// A FIFO where the settings file belongs holds neither the start nor the end: settings give
// their defaults, and the FIFO is left as it is.
TEST(StartUp, AFifoInPlaceOfTheSettingsFileNeitherHangsNorIsReplaced) {
    TempDir dir;
    fs::create_directories(dir.path() / "home");
    const fs::path hive = dir.path() / "home" / "orvelin.reg";
    ASSERT_EQ(mkfifo(hive.c_str(), 0600), 0);
    Program program(dir.path(), {}, {});
    ASSERT_TRUE(program.waitFor(kLimit, [&] { return cameUp(program); })) << program.errors();
    EXPECT_NE(findLine(logLines(dir.path() / "home"), "Entering Run Loop"), std::string::npos);
    EXPECT_NE(readAll(dir.path() / "home" / "capilog.txt").find(" is not a regular file"),
              std::string::npos)
        << readAll(dir.path() / "home" / "capilog.txt");
    ASSERT_EQ(kill(program.pid(), SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(program.waitExit(kLimit, status)) << "no exit after the signal";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << program.errors();
    EXPECT_TRUE(fs::is_fifo(hive));
}

using test_support::XServer;

// With a display and no ISDN driver the start-up shows its CAPI box and waits for the
// user; a terminating signal must still end the program, in the usual order.
TEST(StartUp, SignalEndsTheProgramWhileTheStartUpBoxWaits) {
    XServer x;
    if (x.display().empty()) GTEST_SKIP() << "Xvfb missing (Debian package xvfb)";
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        TempDir dir;
        // The X libraries keep allocations for the life of the process and read strings
        // past their ends (strndup on unterminated data).
        Program program(dir.path(), {"DISPLAY=" + x.display(), "ASAN_OPTIONS=detect_leaks=0"});
        const fs::path home = dir.path() / "home";
        // The box follows this line; the program's own report of the missing driver comes
        // only once the box is gone.
        ASSERT_TRUE(program.waitFor(kLimit, [&] {
            return findLine(logLines(home), "Error: ISDN-driver not installed") != std::string::npos;
        })) << program.errors() << readAll(home / "capilog.txt");
        ASSERT_TRUE(program.catches(sig));
        EXPECT_EQ(program.errors().find("no ISDN driver is reachable"), std::string::npos)
            << "the box did not wait";

        ASSERT_EQ(kill(program.pid(), sig), 0);
        int status = 0;
        ASSERT_TRUE(program.waitExit(kLimit, status)) << "the box held the program up";
        ASSERT_TRUE(WIFEXITED(status)) << program.errors();
        EXPECT_EQ(WEXITSTATUS(status), 0) << program.errors();
        const std::vector<std::string> all = logLines(home);
        const size_t loop = findLine(all, "Entering Run Loop");
        const size_t cleanup = findLine(all, "CleanupWindow", loop);
        const size_t exited = findLine(all, "Exited Run Loop", cleanup);
        EXPECT_NE(loop, std::string::npos);
        EXPECT_NE(cleanup, std::string::npos) << readAll(home / "capilog.txt");
        EXPECT_NE(exited, std::string::npos) << readAll(home / "capilog.txt");
    }
}

// Under a display: the second start's box comes to the front with the focus, and the
// first program, ended, shows its closing-down window while it cleans up.
TEST(StartUp, UnderADisplayTheSecondBoxComesToTheFrontAndTheClosingDownWindowShows) {
    XServer x;
    if (x.display().empty()) GTEST_SKIP() << "Xvfb missing (Debian package xvfb)";
    TempDir dir, elsewhere;
    const auto env = [&](const fs::path& steps) {
        return std::vector<std::string>{
            "DISPLAY=" + x.display(), "ORVELIN_LOCK=@orvelin-e2e-x-" + std::to_string(getpid()),
            "LD_PRELOAD=" + std::string(ORVELIN_UI_DRIVER), "ORVELIN_UI_DRIVER=" + steps.string(),
            // The X libraries keep allocations for the life of the process and read strings
            // past their ends (strndup on unterminated data), so the strict string checks
            // of the test run stay off here; the driver comes before the sanitizer runtime.
            "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
    };
    // The first program's start-up box (no ISDN driver) is pressed away.
    std::ofstream(dir.path() / "steps.txt") << "box\nwatch Closing down\n";
    Program first(dir.path(), env(dir.path() / "steps.txt"));
    ASSERT_TRUE(first.waitForError("ui-driver: done 2 ")) << first.errors();
    ASSERT_TRUE(first.waitForError("no ISDN driver is reachable")) << first.errors();

    std::ofstream(elsewhere.path() / "steps.txt") << "box\n";
    {
        Program second(elsewhere.path(), env(elsewhere.path() / "steps.txt"));
        int status = 0;
        ASSERT_TRUE(second.waitExit(kLimit, status)) << second.errors();
        EXPECT_NE(second.errors().find(
                      "ui-driver: box ontop=1 active=1 text=You are trying to start a second "
                      "instance of Orvelin|while the program is currently running. Activate "
                      "the|program by clicking at the icon in the system tray.||If you think this "
                      "is an error condition you should|reboot your computer to correct the "
                      "problem."),
                  std::string::npos)
            << second.errors();
    }

    ASSERT_TRUE(first.catches(SIGTERM));
    ASSERT_EQ(kill(first.pid(), SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(first.waitExit(kLimit, status)) << first.errors();
    EXPECT_NE(first.errors().find("ui-driver: painted Closing down|Orvelin|Closing down - please wait"),
              std::string::npos)
        << first.errors();
}

// File > Set options where the service manager knows no unit of ours: the options form
// opens with no box before it. Run against an
// installed copy too (ORVELIN_TEST_EXE), where the form comes from the settings library
// in the program's own library directory.
TEST(StartUp, SetOptionsWithoutAServiceUnitOpensTheFormWithNoBox) {
    TempDir dir;
    const fs::path fake = dir.path() / "systemctl";
    const fs::path asked = dir.path() / "systemctl-asked";
    std::ofstream(fake) << "#!/bin/sh\necho \"$*\" >> '" << asked.string()
                        << "'\ncase \"$1\" in show) echo not-found; exit 0;; esac\nexit 1\n";
    fs::permissions(fake, fs::perms::owner_all);
    std::ofstream(dir.path() / "steps.txt") << "frame &Set &options\nmodal\n";
    std::vector<std::string> env = uiDriverEnv(dir.path() / "steps.txt");
    env.push_back("ORVELIN_SYSTEMCTL=" + fake.string());
    Program program(dir.path(), env);
    ASSERT_TRUE(program.waitForError("ui-driver: done 2 modal")) << program.errors();
    const std::string errors = program.errors();
    EXPECT_NE(errors.find("ui-driver: modal QDialog|Orvelin configuration|\n"), std::string::npos)
        << errors;
    for (const char* caption : {"Could not open service", "Could not query service"})
        EXPECT_EQ(errors.find(caption), std::string::npos) << errors;
    // Asked only whether the unit exists: nothing is enabled or disabled by a look.
    EXPECT_EQ(readAll(asked), "show --property=LoadState --value orvelin.service\n");
    ASSERT_TRUE(program.catches(SIGTERM));
    ASSERT_EQ(kill(program.pid(), SIGTERM), 0);
    int status = 0;
    EXPECT_TRUE(program.waitExit(kLimit, status)) << program.errors();
}

}  // namespace
