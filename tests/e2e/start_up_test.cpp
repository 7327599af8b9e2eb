// Start-up of the real program: its command line, and one instance per data directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

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
    Program first(dir.path());
    ASSERT_TRUE(first.waitFor(kLimit, [&] { return cameUp(first); })) << first.errors();

    {
        Program second(dir.path());
        int status = 0;
        ASSERT_TRUE(second.waitExit(kLimit, status)) << "second start keeps running";
        ASSERT_TRUE(WIFEXITED(status)) << second.errors();
        EXPECT_NE(WEXITSTATUS(status), 0);
        EXPECT_NE(second.errors().find(secondText), std::string::npos) << second.errors();
        const std::string log = readAll(dir.path() / "home" / "capilog.txt");
        EXPECT_NE(log.find(secondText), std::string::npos) << log;
    }
    int status = 0;
    EXPECT_EQ(waitpid(first.pid(), &status, WNOHANG), 0) << "the first instance ended";
    EXPECT_EQ(first.errors().find(secondText), std::string::npos);

    ASSERT_EQ(kill(first.pid(), SIGKILL), 0);
    ASSERT_TRUE(first.waitExit(kLimit, status));

    // Run as a service this time: it shares the lock, and a display in its environment
    // (one that does not exist) is no business of a service.
    Program third(dir.path(), {"DISPLAY=:97"}, {"--service"});
    ASSERT_TRUE(third.waitFor(kLimit, [&] { return cameUp(third); })) << third.errors();
    EXPECT_EQ(third.errors().find(secondText), std::string::npos) << third.errors();
    ASSERT_EQ(kill(third.pid(), SIGTERM), 0);
    ASSERT_TRUE(third.waitExit(kLimit, status));
    ASSERT_TRUE(WIFEXITED(status)) << third.errors();
    EXPECT_EQ(WEXITSTATUS(status), 0) << third.errors();
}

// The unit as shipped, checked by systemd's own verifier against the built program (the
// verifier insists that ExecStart names an executable that exists).
TEST(StartUp, ServiceUnitIsAcceptedBySystemd) {
    const std::string unit = readAll(fs::path(ORVELIN_DIST) / "orvelin.service");
    const std::string execLine = "ExecStart=/usr/bin/orvelin --service\n";
    const size_t at = unit.find(execLine);
    ASSERT_NE(at, std::string::npos) << unit;
    EXPECT_NE(unit.find("StateDirectory=orvelin\n"), std::string::npos) << "data under /var/lib/orvelin";
    if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "systemd-analyze is not installed; the unit was not verified";

    TempDir dir;
    std::string local = unit;
    local.replace(at, execLine.size(), std::string("ExecStart=") + ORVELIN_EXE + " --service\n");
    const fs::path path = dir.path() / "orvelin.service";
    std::ofstream(path) << local;
    const std::string command = "systemd-analyze verify '" + path.string() + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string said;
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, pipe)) said.append(buf, n);
    const int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << said;
    // Unknown keys and sections are only warned about: any word from it is a fault.
    EXPECT_EQ(said, "");
}

}  // namespace
