// Locks between processes: a helper process holds a lock while this one
// tries to take a conflicting one.
#include "test_util.h"
#include "xbase/index.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

using xbtest::EngineTest;

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class Holder {
 public:
  Holder(const std::string& table, const std::string& mode, int releaseMs = -1) {
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    std::string ms = std::to_string(releaseMs);
    std::vector<char*> argv = {const_cast<char*>(XBASE_LOCK_HOLDER), const_cast<char*>(table.c_str()),
                               const_cast<char*>(mode.c_str())};
    if (releaseMs >= 0) argv.push_back(ms.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, XBASE_LOCK_HOLDER, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
    char buf[6] = {0};
    size_t got = 0;
    while (pid_ > 0 && got < sizeof(buf)) {
      ssize_t n = read(out_, buf + got, sizeof(buf) - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    ready_ = got == sizeof(buf) && std::string(buf, 6) == "ready\n";
  }
  ~Holder() { release(); }
  bool ready() const { return ready_; }
  int release() {
    int status = -1;
    if (in_ >= 0) close(in_);
    in_ = -1;
    if (pid_ > 0) waitpid(pid_, &status, 0);
    pid_ = -1;
    if (out_ >= 0) close(out_);
    out_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  bool ready_ = false;
};

class LockTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    const FIELD4INFO fields[] = {{"NAME", 'C', 10, 0}, {nullptr, 0, 0, 0}};
    d = d4create(&cb, dir.file("shared").c_str(), fields, nullptr);
    ASSERT_NE(d, nullptr);
    d4blank(d);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(d4append(d), 0);
    path = dir.file("shared.dbf");
  }
  DATA4* d = nullptr;
  std::string path;
};

TEST_F(LockTest, OneOrZeroAttemptsAnswerAtOnce) {
  Holder h(path, "file");
  ASSERT_TRUE(h.ready());
  for (int attempts : {1, 0}) {
    cb.lockAttempts = attempts;
    auto start = Clock::now();
    EXPECT_EQ(d4lockFile(d), status4locked);
    EXPECT_EQ(d4lockRecord(d, 1), status4locked);
    EXPECT_EQ(d4lockAppend(d), status4locked);
    EXPECT_LT(secondsSince(start), 1.0) << "no waiting with " << attempts;
    EXPECT_EQ(cb.errorCode, 0);
    EXPECT_EQ(d4lockTestFile(d), 0);
  }
}

TEST_F(LockTest, BoundedAttemptsWaitAboutASecondEach) {
  Holder h(path, "record:2");
  ASSERT_TRUE(h.ready());
  cb.lockAttempts = 3;
  EXPECT_EQ(d4lockRecord(d, 1), 0) << "other records stay free";
  EXPECT_EQ(d4lockAppend(d), 0);
  auto start = Clock::now();
  EXPECT_EQ(d4lockRecord(d, 2), status4locked);
  double waited = secondsSince(start);
  EXPECT_GE(waited, 1.0);
  EXPECT_LT(waited, 10.0);
  start = Clock::now();
  const int32_t group[] = {1, 2};
  cb.lockAttempts = 1;
  EXPECT_EQ(d4lockGroup(d, group, 2), status4locked) << "a group tries once more than 1";
  waited = secondsSince(start);
  EXPECT_GE(waited, 0.0);
  EXPECT_LT(waited, 10.0);
  EXPECT_EQ(d->lockedCount, 0);
}

TEST_F(LockTest, WaitingLockSucceedsWhenTheHolderLets_go) {
  Holder h(path, "file", 1500);
  ASSERT_TRUE(h.ready());
  cb.lockAttempts = -1;
  auto start = Clock::now();
  EXPECT_EQ(d4lockFile(d), 0);
  EXPECT_GE(secondsSince(start), 0.5);
  EXPECT_EQ(d4lockTestFile(d), 1);
  EXPECT_EQ(h.release(), 0);
  // The lock now held here keeps a new holder out.
  Holder late(path, "record:1");
  EXPECT_FALSE(late.ready());
}

TEST_F(LockTest, ReleasedLocksAreFreeForOthers) {
  cb.lockAttempts = 1;
  ASSERT_EQ(d4lockAll(d), 0);
  {
    Holder blocked(path, "append");
    EXPECT_FALSE(blocked.ready());
  }
  ASSERT_EQ(d4unlockAll(d), 0);
  Holder h(path, "append");
  EXPECT_TRUE(h.ready());
  EXPECT_EQ(d4lockAppend(d), status4locked);
  d4blank(d);
  EXPECT_EQ(d4append(d), status4locked) << "appending needs the append lock";
  EXPECT_EQ(d4recordCount(d), 3);
}

TEST_F(LockTest, ExclusiveOpenElsewhereRefusesOurOpen) {
  ASSERT_EQ(d4close(d), 0);
  d = nullptr;
  Holder h(path, "exclusive");
  ASSERT_TRUE(h.ready());
  cb.openError = 0;
  EXPECT_EQ(d4open(&cb, path.c_str()), nullptr);
  EXPECT_EQ(cb.errorCode, status4noOpen);
  EXPECT_EQ(h.release(), 0);
  error4set(&cb, 0);
  d = d4open(&cb, path.c_str());
  EXPECT_NE(d, nullptr);
}

TEST_F(LockTest, IndexLocksAreAllOrNothingAndRetried) {
  // Two index files; another program holds the second. Waiting on it while keeping
  // the first is how two programs come to wait on each other for ever.
  const TAG4INFO first[] = {{"A", "NAME", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  const TAG4INFO second[] = {{"B", "NAME", nullptr, 0, 1}, {nullptr, nullptr, nullptr, 0, 0}};
  INDEX4* a = i4create(d, dir.file("first").c_str(), first);
  INDEX4* b = i4create(d, dir.file("second").c_str(), second);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(d4unlockAll(d), 0);
  struct Case {
    int attempts;
    double minWait, maxWait;
  } cases[] = {{1, 0.0, 0.5}, {0, 0.0, 0.5}, {3, 1.0, 2.5}}; // three tries, two waits
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attempts);
    Holder h(path, "index:" + dir.file("second.mdx"));
    ASSERT_TRUE(h.ready());
    cb.lockAttempts = c.attempts;
    auto start = Clock::now();
    EXPECT_EQ(d4lockIndexes(d), status4locked);
    const double waited = secondsSince(start);
    EXPECT_GE(waited, c.minWait);
    EXPECT_LT(waited, c.maxWait);
    EXPECT_EQ(cb.lockAttempts, c.attempts) << "attempts restored";
    EXPECT_EQ(cb.errorCode, 0);
    EXPECT_EQ(i4lockTest(a), 0) << "the first index file is given back";
    EXPECT_EQ(i4lockTest(b), 0);
    Holder other(path, "index:" + dir.file("first.mdx"));
    EXPECT_TRUE(other.ready()) << "another program can take the first index file";
  }
  // A lock held before the call is not given away by its failure.
  {
    Holder h(path, "index:" + dir.file("second.mdx"));
    ASSERT_TRUE(h.ready());
    cb.lockAttempts = 1;
    ASSERT_EQ(i4lock(a), 0);
    EXPECT_EQ(d4lockIndexes(d), status4locked);
    EXPECT_EQ(i4lockTest(a), 1);
    ASSERT_EQ(i4unlock(a), 0);
  }
  // With endless attempts the call waits until the holder lets go, then holds both.
  Holder h(path, "index:" + dir.file("second.mdx"), 1500);
  ASSERT_TRUE(h.ready());
  cb.lockAttempts = -1;
  EXPECT_EQ(d4lockIndexes(d), 0);
  EXPECT_EQ(d4lockTestIndexes(d), 1);
  EXPECT_EQ(h.release(), 0);
  EXPECT_EQ(d4unlockIndexes(d), 0);
}

} // namespace
