// Starting programs: word splitting, placeholder substitution, what the child gets,
// reaping, and the shell helpers.
#include "platform/spawn.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/temp_dir.h"

using namespace platform;
using namespace std::chrono_literals;
using testing_support::readFile;
using testing_support::TempDir;

namespace {

using Words = std::vector<std::string>;

struct ProbeRecord {
    Words args;
    std::vector<int> fds;
    std::string sigpipe;
};

// Parses the probe's record; any byte of an argument survives thanks to the lengths.
ProbeRecord parseProbe(const std::string& text) {
    ProbeRecord rec;
    size_t pos = 0;
    while (pos < text.size()) {
        if (text.compare(pos, 4, "arg ") == 0) {
            size_t space = text.find(' ', pos + 4);
            size_t len = std::stoul(text.substr(pos + 4, space - pos - 4));
            rec.args.push_back(text.substr(space + 1, len));
            pos = space + 1 + len + 1;
            continue;
        }
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end - pos);
        if (line.rfind("fd ", 0) == 0) rec.fds.push_back(std::stoi(line.substr(3)));
        if (line.rfind("sigpipe ", 0) == 0) rec.sigpipe = line.substr(8);
        pos = end + 1;
    }
    return rec;
}

bool processGone(pid_t pid) {
    return kill(pid, 0) != 0 && errno == ESRCH;
}

class SpawnTest : public ::testing::Test {
  protected:
    void SetUp() override {
        out_ = dir_.file("probe.txt");
        ASSERT_EQ(setenv("PROBE_OUT", out_.c_str(), 1), 0);
    }
    // Runs argv to its end and returns what the probe recorded.
    ProbeRecord run(const Words& argv) {
        SpawnResult r = spawnProgram(argv);
        EXPECT_TRUE(r.started()) << r.error;
        if (!r.started()) return {};
        return finish(*r.child);
    }
    ProbeRecord finish(const ChildProcess& child) {
        std::optional<int> status = child.waitFor(30s);
        EXPECT_TRUE(status.has_value()) << "probe did not end";
        if (!status) return {};
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status;
        EXPECT_TRUE(processGone(child.pid())) << "the ended child must be reaped";
        ProbeRecord rec = parseProbe(readFile(out_));
        std::filesystem::remove(out_);
        return rec;
    }

    TempDir dir_;
    std::string out_;
};

TEST(CommandLine, SplitsIntoWordsByTheDocumentedRule) {
    const std::vector<std::pair<std::string, Words>> cases = {
        {"", {}},
        {"  \t ", {}},
        {"prog a  b\tc", {"prog", "a", "b", "c"}},
        {R"("C:\Program Files\x.exe" /p)", {R"(C:\Program Files\x.exe)", "/p"}},
        {R"(a"b c"d e)", {"ab cd", "e"}},
        {R"(x "" y)", {"x", "", "y"}},
        {R"(say \"hi\" "in \"quotes\"")", {"say", "\"hi\"", "in \"quotes\""}},
        {R"(dir\sub\ end\)", {R"(dir\sub\)", R"(end\)"}},
        {"$(rm -rf /) `id` 'a b' ~ *", {"$(rm", "-rf", "/)", "`id`", "'a", "b'", "~", "*"}},
        {R"(open "to the end)", {"open", "to the end"}},
    };
    for (const auto& [line, words] : cases) EXPECT_EQ(splitCommandLine(line), words) << line;
}

TEST(CommandLine, PlaceholdersAreReplacedInsideWordsInOnePass) {
    const Words words = splitCommandLine(R"(prog !c "!n at !t" !f!x !c)");
    const std::vector<Placeholder> ph = {
        {"!c", "030 1234"},             // a number with a blank stays one argument
        {"!n", "O'Neil \"Jr\" $(id)"},  // quotes and shell syntax are plain text
        {"!t", "12:00"},
        {"!x", "see !f and !c"},  // never expanded again
        {"!f", "/var/x.wav"},
    };
    EXPECT_EQ(substitutePlaceholders(words, ph, Occurrences::First),
              (Words{"prog", "030 1234", "O'Neil \"Jr\" $(id) at 12:00", "/var/x.wavsee !f and !c",
                     "!c"}));
    EXPECT_EQ(substitutePlaceholders(words, ph, Occurrences::All),
              (Words{"prog", "030 1234", "O'Neil \"Jr\" $(id) at 12:00", "/var/x.wavsee !f and !c",
                     "030 1234"}));
    // A lookup command takes the number at the first "%s" only.
    const std::vector<Placeholder> number = {{"%s", "555"}};
    EXPECT_EQ(
        substitutePlaceholders(splitCommandLine("look %s --again=%s"), number, Occurrences::First),
        (Words{"look", "555", "--again=%s"}));
    EXPECT_EQ(substitutePlaceholders({"!!cc"}, ph, Occurrences::All), Words{"!030 1234c"});
}

TEST_F(SpawnTest, ChildGetsEachArgumentLiterally) {
    const std::string pwned = dir_.file("pwned");
    const std::string line = std::string("\"" SPAWN_PROBE "\" \"!n\" plain ") +
                             "\"a b \\\"q\\\" $(touch " + pwned + ") ;|& * ~\" \"\"";
    const std::vector<Placeholder> ph = {{"!n", "Smith \"J\" $(touch " + pwned + "2) `id` \n x"}};
    Words argv = substitutePlaceholders(splitCommandLine(line), ph, Occurrences::First);
    ProbeRecord rec = run(argv);
    EXPECT_EQ(rec.args, (Words{SPAWN_PROBE, "Smith \"J\" $(touch " + pwned + "2) `id` \n x",
                               "plain", "a b \"q\" $(touch " + pwned + ") ;|& * ~", ""}));
    EXPECT_FALSE(std::filesystem::exists(pwned));
    EXPECT_FALSE(std::filesystem::exists(pwned + "2"));
}

TEST_F(SpawnTest, ChildInheritsNoDescriptorsAndDefaultSignals) {
    // Descriptors opened without close-on-exec, as a library might leave them.
    int plain = open("/dev/null", O_RDONLY);
    int pipeFds[2];
    ASSERT_GE(plain, 0);
    ASSERT_EQ(pipe(pipeFds), 0);
    ASSERT_EQ(fcntl(plain, F_GETFD) & FD_CLOEXEC, 0) << "the test needs an inheritable descriptor";
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &old), 0);
    sigset_t block, oldMask;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &oldMask), 0);

    ProbeRecord rec = run({SPAWN_PROBE});

    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGPIPE, &old, nullptr);
    close(plain);
    close(pipeFds[0]);
    close(pipeFds[1]);
    ASSERT_FALSE(rec.fds.empty()) << "the probe lists at least its standard descriptors";
    for (int fd : rec.fds) EXPECT_LE(fd, 2) << "descriptor " << fd << " leaked into the child";
    EXPECT_EQ(rec.sigpipe, "default");
}

TEST_F(SpawnTest, ChildrenAreReapedWithoutStealingOthers) {
    // Someone else's child: its owner must still collect its status.
    pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) _exit(7);

    std::vector<pid_t> dropped;
    for (int i = 0; i < 5; ++i) {
        SpawnResult r = spawnProgram({"true"});  // found through PATH
        ASSERT_TRUE(r.started()) << r.error;
        dropped.push_back(r.child->pid());
    }  // handles dropped: the reaper still collects them
    auto deadline = std::chrono::steady_clock::now() + 30s;
    for (pid_t pid : dropped) {
        while (!processGone(pid) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        EXPECT_TRUE(processGone(pid)) << "child " << pid << " left as a zombie";
    }
    int status = 0;
    ASSERT_EQ(waitpid(other, &status, 0), other);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);

    SpawnResult failing = spawnProgram({"sh", "-c", "exit 3"});
    ASSERT_TRUE(failing.started());
    std::optional<int> st = failing.child->waitFor(30s);
    ASSERT_TRUE(st);
    EXPECT_EQ(WEXITSTATUS(*st), 3);
}

TEST_F(SpawnTest, DetachedProgramsGetTheirWordsAndNoDescriptorsAndLeaveNothingToReap) {
    int plain = open("/dev/null", O_RDONLY);
    ASSERT_GE(plain, 0);
    const Words argv = {SPAWN_PROBE, "a b", "$(id) \"q\" &", ""};
    EXPECT_EQ(spawnDetachedProgram(argv), "");
    close(plain);
    // The shell between was reaped before the call returned: no child is left here.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!std::filesystem::exists(out_) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(std::filesystem::exists(out_)) << "the detached probe did not run";
    ProbeRecord rec = parseProbe(readFile(out_));
    EXPECT_EQ(rec.args, argv);
    for (int fd : rec.fds) EXPECT_LE(fd, 2) << "descriptor " << fd << " leaked into the child";

    EXPECT_NE(spawnDetachedProgram({"/nonexistent/program"}).find("No such file"), std::string::npos);
    EXPECT_NE(spawnDetachedProgram({"orvelin-no-such-program-anywhere"}), "");
    EXPECT_NE(spawnDetachedProgram({}), "");
}

TEST(Spawn, MissingProgramsAreReported) {
    SpawnResult r = spawnProgram({"/nonexistent/program", "x"});
    EXPECT_FALSE(r.started());
    EXPECT_NE(r.error.find("/nonexistent/program"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("No such file"), std::string::npos) << r.error;
    EXPECT_FALSE(spawnProgram({"orvelin-no-such-program-anywhere"}).started());
    EXPECT_FALSE(spawnProgram({}).started());
    EXPECT_FALSE(spawnProgram({""}).started());
}

TEST_F(SpawnTest, ShellHelpersStartTheDesktopTools) {
    // Stand-ins for xdg-open and lp, found first in PATH; an editor whose path has a blank.
    namespace fs = std::filesystem;
    const std::string bin = dir_.file("bin");
    fs::create_directory(bin);
    for (const char* tool : {"xdg-open", "lp", "my editor"})
        fs::create_symlink(SPAWN_PROBE, bin + "/" + tool);
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ASSERT_EQ(setenv("PATH", (bin + ":" + oldPath).c_str(), 1), 0);

    auto check = [&](SpawnResult r, const Words& expected) {
        ASSERT_TRUE(r.started()) << r.error;
        EXPECT_EQ(finish(*r.child).args, expected);
    };
    check(openDocument("/data/Fax In/1.tif"), {"xdg-open", "/data/Fax In/1.tif"});
    check(printDocument("/data/a \"b\".tif"), {"lp", "/data/a \"b\".tif"});
    check(printDocument("-odd.tif"), {"lp", "./-odd.tif"});  // never taken for an option

    ASSERT_EQ(setenv("EDITOR", ("\"" + bin + "/my editor\" -n").c_str(), 1), 0);
    check(editTextFile("/data/orvelin.txt"), {bin + "/my editor", "-n", "/data/orvelin.txt"});
    ASSERT_EQ(setenv("EDITOR", "/nonexistent/editor", 1), 0);
    check(editTextFile("/data/orvelin.txt"), {"xdg-open", "/data/orvelin.txt"});
    ASSERT_EQ(unsetenv("EDITOR"), 0);
    check(editTextFile("/data/orvelin.txt"), {"xdg-open", "/data/orvelin.txt"});

    ASSERT_EQ(setenv("PATH", oldPath.c_str(), 1), 0);
}

}  // namespace
