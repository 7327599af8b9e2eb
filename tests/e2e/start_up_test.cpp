// Start-up of the real program: its command line, and one instance per data directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

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
        std::ifstream log(dir.path() / "home" / "capilog.txt");
        std::stringstream text;
        text << log.rdbuf();
        EXPECT_NE(text.str().find(secondText), std::string::npos) << text.str();
    }
    int status = 0;
    EXPECT_EQ(waitpid(first.pid(), &status, WNOHANG), 0) << "the first instance ended";
    EXPECT_EQ(first.errors().find(secondText), std::string::npos);

    ASSERT_EQ(kill(first.pid(), SIGKILL), 0);
    ASSERT_TRUE(first.waitExit(kLimit, status));

    Program third(dir.path());
    ASSERT_TRUE(third.waitFor(kLimit, [&] { return cameUp(third); })) << third.errors();
    EXPECT_EQ(third.errors().find(secondText), std::string::npos) << third.errors();
    ASSERT_EQ(kill(third.pid(), SIGTERM), 0);
    ASSERT_TRUE(third.waitExit(kLimit, status));
    ASSERT_TRUE(WIFEXITED(status)) << third.errors();
    EXPECT_EQ(WEXITSTATUS(status), 0) << third.errors();
}

}  // namespace
