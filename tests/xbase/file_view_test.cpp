// Reads of a shared file through its view answer exactly as a read of the file
// would, whatever another program did to the file in between.
#include "tests/xbase/test_util.h"
#include "xbase/file_view.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

namespace {

using xbtest::EngineTest;
using xbtest::readCalls;

// `n` bytes of a pattern that never holds a zero byte, numbered by `seed`.
std::string pattern(size_t n, int seed) {
  std::string s(n, 'x');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('A' + (i * 7 + static_cast<size_t>(seed)) % 26);
  return s;
}

class FileViewTest : public EngineTest {
 protected:
  std::string path() const { return dir.file("shared.bin"); }
};

TEST_F(FileViewTest, ReadsAgreeWithTheFileAfterAnotherProgramsChanges) {
  // The other program's descriptor, and what it does between our reads.
  struct Case {
    const char* what;
    std::function<void(int fd)> change;
    int64_t pos;
    size_t count;
    bool faults; // the read, or the look at the page after it, touches pages cut away
  } const cases[] = {
      {"rewritten in place", [](int fd) { ASSERT_EQ(pwrite(fd, "changed", 7, 5000), 7); }, 4990, 40, false},
      {"grown", [](int fd) { ASSERT_EQ(pwrite(fd, pattern(9000, 3).data(), 9000, 20000), 9000); }, 19000, 6000,
       false},
      {"cut inside the read's page", [](int fd) { ASSERT_EQ(ftruncate(fd, 12300), 0); }, 12000, 600, true},
      {"cut inside a page of zeros", [](int fd) {
         ASSERT_EQ(pwrite(fd, std::string(4000, '\0').data(), 4000, 8192), 4000);
         ASSERT_EQ(ftruncate(fd, 10000), 0);
       }, 9000, 2000, true},
      {"cut below the read", [](int fd) { ASSERT_EQ(ftruncate(fd, 100), 0); }, 16000, 64, true},
      {"cut to nothing and written again", [](int fd) {
         ASSERT_EQ(ftruncate(fd, 0), 0);
         ASSERT_EQ(pwrite(fd, pattern(30000, 9).data(), 30000, 0), 30000);
       }, 16000, 64, false},
      {"zeros inside the file", [](int fd) {
         ASSERT_EQ(pwrite(fd, std::string(8192, '\0').data(), 8192, 8192), 8192);
       }, 10000, 100, false},
  };
  cb.exclusive = 0;
  for (const Case& c : cases) {
    xbtest::writeAll(path(), pattern(20000, 1));
    FILE4 f{};
    ASSERT_EQ(file4open(&f, &cb, path().c_str(), 1), 0) << c.what;
    char warm[16];
    ASSERT_EQ(file4readAt(&f, c.pos % 19000, warm, sizeof warm), 0) << c.what; // the view is made
    ASSERT_NE(f.viewBase, nullptr) << c.what;
    const int other = open(path().c_str(), O_RDWR);
    ASSERT_GE(other, 0);
    c.change(other);
    std::string want(c.count, '?');
    const ssize_t wantN = pread(other, want.data(), c.count, c.pos);
    close(other);
    const int64_t faultsBefore = file4viewFaults();
    std::string got(c.count, '?');
    const size_t gotN = file4read(&f, c.pos, got.data(), c.count);
    EXPECT_EQ(cb.errorCode, 0) << c.what;
    ASSERT_GE(wantN, 0) << c.what;
    EXPECT_EQ(gotN, static_cast<size_t>(wantN)) << c.what;
    EXPECT_EQ(got.substr(0, gotN), want.substr(0, static_cast<size_t>(wantN))) << c.what;
    EXPECT_EQ(file4viewFaults() > faultsBefore, c.faults) << c.what;
    // And once more, now that the view had to follow the file.
    got.assign(c.count, '?');
    EXPECT_EQ(file4read(&f, c.pos, got.data(), c.count), static_cast<size_t>(wantN)) << c.what;
    EXPECT_EQ(got.substr(0, gotN), want.substr(0, static_cast<size_t>(wantN))) << c.what;
    EXPECT_EQ(file4close(&f), 0);
  }
}

TEST_F(FileViewTest, WarmReadsMakeNoReadCalls) {
  // Reads ending where a page of zeros ends included: the page after it says
  // the file goes on.
  std::string bytes = pattern(64 * 1024, 2);
  bytes.replace(8192 - 100, 100, std::string(100, '\0'));
  xbtest::writeAll(path(), bytes);
  for (int exclusive : {0, 1}) {
    cb.exclusive = exclusive;
    FILE4 f{};
    ASSERT_EQ(file4open(&f, &cb, path().c_str(), 1), 0);
    char buf[100];
    ASSERT_EQ(file4readAt(&f, 0, buf, sizeof buf), 0);
    const int64_t before = readCalls();
    for (int i = 0; i < 200; ++i) {
      const int64_t pos = i % 2 ? (i * 311) % 60000 : 8192 - 100;
      ASSERT_EQ(file4readAt(&f, pos, buf, sizeof buf), 0);
      ASSERT_EQ(std::string(buf, sizeof buf), bytes.substr(static_cast<size_t>(pos), sizeof buf)) << pos;
    }
    const int64_t calls = readCalls() - before;
    EXPECT_LT(calls, 10) << exclusive;
    EXPECT_NE(f.viewBase, nullptr);
    EXPECT_EQ(file4close(&f), 0);
  }
}

TEST_F(FileViewTest, AnExclusiveFilesViewFollowsItsOwnWritesAndCuts) {
  xbtest::writeAll(path(), pattern(5000, 6));
  cb.exclusive = 1;
  FILE4 f{};
  ASSERT_EQ(file4open(&f, &cb, path().c_str(), 1), 0);
  std::string model = pattern(5000, 6);
  char warm[8];
  ASSERT_EQ(file4readAt(&f, 0, warm, sizeof warm), 0); // the view is made
  ASSERT_NE(f.viewBase, nullptr);
  struct Step {
    const char* what;
    int64_t writeAt; // -1: no write
    size_t writeLen;
    int64_t cutTo;   // -1: no cut
    int64_t readAt;
    size_t readLen;
  } const steps[] = {
      {"grown by a write", 5000, 3000, -1, 4000, 4000},
      {"grown past the room mapped", 3 << 20, 100, -1, (3 << 20) - 50, 150},
      {"cut", -1, 0, 6000, 5000, 2000},
      {"lengthened by a cut", -1, 0, 9000, 5500, 3500},
      {"written inside", 100, 50, -1, 0, 9000},
  };
  for (const Step& s : steps) {
    if (s.writeAt >= 0) {
      const std::string data = pattern(s.writeLen, static_cast<int>(s.writeAt % 13));
      ASSERT_EQ(file4writeAt(&f, s.writeAt, data.data(), data.size()), 0) << s.what;
      if (model.size() < static_cast<size_t>(s.writeAt) + data.size())
        model.resize(static_cast<size_t>(s.writeAt) + data.size(), '\0');
      model.replace(static_cast<size_t>(s.writeAt), data.size(), data);
    }
    if (s.cutTo >= 0) {
      ASSERT_EQ(file4lenSet(&f, s.cutTo), 0) << s.what;
      model.resize(static_cast<size_t>(s.cutTo), '\0');
    }
    std::string got(s.readLen, '?');
    const size_t n = file4read(&f, s.readAt, got.data(), s.readLen);
    const size_t want = std::min(s.readLen, model.size() - static_cast<size_t>(s.readAt));
    EXPECT_EQ(n, want) << s.what;
    EXPECT_EQ(got.substr(0, n), model.substr(static_cast<size_t>(s.readAt), want)) << s.what;
    // Read again: the view answers, with no read call (the count's own read
    // of /proc/self/io is one).
    const int64_t before = readCalls();
    got.assign(want, '?');
    ASSERT_EQ(file4readAt(&f, s.readAt, got.data(), want), 0) << s.what;
    EXPECT_LT(readCalls() - before, 2) << s.what;
    EXPECT_EQ(got, model.substr(static_cast<size_t>(s.readAt), want)) << s.what;
  }
  EXPECT_EQ(file4close(&f), 0);
}

TEST_F(FileViewTest, AFaultOutsideAReadIsNotSwallowed) {
  struct Case {
    const char* what;
    bool ownMapping; // else the view itself, touched past the file's new end
  } const cases[] = {{"a mapping of our own", true}, {"the view, outside a read", false}};
  for (const Case& c : cases) {
    xbtest::writeAll(path(), pattern(20000, 4));
    const std::string other = dir.file("other.bin");
    xbtest::writeAll(other, pattern(20000, 5));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      cb.exclusive = 0;
      FILE4 f{};
      char buf[8];
      if (file4open(&f, &cb, path().c_str(), 1) != 0 || file4readAt(&f, 0, buf, sizeof buf) != 0 ||
          f.viewBase == nullptr)
        _exit(2);
      const volatile char* p = f.viewBase;
      const int fd = open(c.ownMapping ? other.c_str() : path().c_str(), O_RDWR);
      if (c.ownMapping) p = static_cast<const volatile char*>(mmap(nullptr, 20000, PROT_READ, MAP_SHARED, fd, 0));
      if (p == MAP_FAILED || ftruncate(fd, 10) != 0) _exit(3);
      // The sanitizer's report of the fault is expected here: not in the log.
      const int quiet = open("/dev/null", O_WRONLY);
      if (quiet < 0 || dup2(quiet, 2) < 0) _exit(4);
      buf[0] = p[16384];
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    // Killed by the signal, or ended by the sanitizer's report: never carried on.
    EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.what;
    EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) >= 2) << c.what;
  }
}

} // namespace
