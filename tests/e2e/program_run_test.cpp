// The program starts headless with no display and no driver, keeps running, and ends
// cleanly (exit status 0) on SIGTERM or SIGINT.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace {

using namespace e2e;

class ProgramRun : public testing::TestWithParam<int> {};

TEST_P(ProgramRun, RunsHeadlessWithoutDriverAndEndsCleanlyOnSignal) {
    const int sig = GetParam();
    TempDir dir;
    Program program(dir.path());
    ASSERT_TRUE(program.waitFor(kLimit,
                                [&] {
                                    return program.catches(sig) &&
                                           program.errors().find("no ISDN driver is reachable") !=
                                               std::string::npos;
                                }))
        << "program did not come up; stderr:\n"
        << program.errors();

    // A lost peer must not end the process.
    EXPECT_TRUE(program.ignores(SIGPIPE));
    // Still running a while later: it waits for a signal, not for a driver.
    std::this_thread::sleep_for(200ms);
    int status = 0;
    ASSERT_EQ(waitpid(program.pid(), &status, WNOHANG), 0) << program.errors();

    ASSERT_EQ(kill(program.pid(), sig), 0);
    ASSERT_TRUE(program.waitExit(kLimit, status)) << "no exit after signal " << sig;
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << "\n"
                                   << program.errors();
    EXPECT_EQ(WEXITSTATUS(status), 0) << program.errors();
}

INSTANTIATE_TEST_SUITE_P(Signals, ProgramRun, testing::Values(SIGTERM, SIGINT),
                         [](const testing::TestParamInfo<int>& info) {
                             return info.param == SIGTERM ? std::string("Term")
                                                          : std::string("Int");
                         });

}  // namespace
