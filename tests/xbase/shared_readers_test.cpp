// A reader in this process and a writer in another: the writer stops at the
// moments that used to give the reader false errors or false "not found", and
// goes on only once the reader is waiting for it.
#include "tests/xbase/test_util.h"
#include "xbase/block_cache.h"
#include "xbase/index.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include "tests/support/numbered.h"

namespace {

using xbtest::EngineTest;

const FIELD4INFO kFields[] = {{"PHONE", 'C', 25, 0}, {"NAME", 'C', 20, 0}, {nullptr, 0, 0, 0}};
const TAG4INFO kTags[] = {{"UNIQUE", "PHONE", ".NOT.DELETED()", 20, 0}, {nullptr, nullptr, nullptr, 0, 0}};

std::string phone(int i) { return "0301" + std::to_string(100000 + i); }

int appendRow(DATA4* d, const std::string& number) {
  d4blank(d);
  f4assign(d4fieldByName(d, "PHONE"), number.c_str());
  f4assign(d4fieldByName(d, "NAME"), ("N" + number).c_str());
  return d4append(d);
}

// Pipes to and from a writer process.
struct Writer {
  int toChild[2] = {-1, -1};
  int fromChild[2] = {-1, -1};
  pid_t pid = -1;

  // Runs `body` in a child process; the body answers its exit code.
  void start(const std::function<int(Writer&)>& body) {
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(fromChild), 0);
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(toChild[1]);
      close(fromChild[0]);
      _exit(body(*this));
    }
    close(toChild[0]);
    close(fromChild[1]);
  }
  // Child side.
  void say() { (void)!write(fromChild[1], "r", 1); }
  void hear() {
    char c;
    (void)!read(toChild[0], &c, 1);
  }
  // Parent side.
  bool ready() {
    char c;
    return read(fromChild[0], &c, 1) == 1;
  }
  void go() {
    if (toChild[1] >= 0) {
      (void)!write(toChild[1], "g", 1);
      close(toChild[1]);
      toChild[1] = -1;
    }
  }
  int finish() {
    go();
    int status = 0;
    waitpid(pid, &status, 0);
    close(fromChild[0]);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
  }
};

Writer* g_writer = nullptr;
int g_waits = 0;
void releaseWriter() {
  ++g_waits;
  if (g_writer != nullptr) g_writer->go();
}

class SharedReadersTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    DATA4* d = d4create(&cb, path().c_str(), kFields, kTags);
    ASSERT_NE(d, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(appendRow(d, phone(i)), 0);
    ASSERT_EQ(d4close(d), 0);
    cb.lockAttempts = 10;
    g_waits = 0;
    i4setLockWaitHook(releaseWriter);
  }
  void TearDown() override {
    i4setLockWaitHook(nullptr);
    g_writer = nullptr;
    EngineTest::TearDown();
  }
  std::string path() const { return dir.file("book.dbf"); }

  // The child's own engine record on the same table.
  static DATA4* openInChild(CODE4* c, const std::string& p) {
    code4init(c);
    c->lockAttempts = -1;
    c->errorOff = 1;
    return d4open(c, p.c_str());
  }
};

TEST_F(SharedReadersTest, SplitWhoseCountersAreNotWrittenYetIsReadPast) {
  DATA4* d = d4open(&cb, path().c_str());
  ASSERT_NE(d, nullptr);
  // The reader's path now holds the root and the last leaf.
  ASSERT_EQ(d4seek(d, phone(99).c_str()), 0);

  Writer w;
  const std::string p = path();
  w.start([p](Writer& self) {
    CODE4 c{};
    DATA4* t = openInChild(&c, p);
    if (t == nullptr || d4lockIndexes(t) != 0) return 1;
    INDEX4* ix = reinterpret_cast<INDEX4*>(l4first(&t->indexes));
    TAG4* tag = reinterpret_cast<TAG4*>(l4first(&ix->tags));
    const std::string mdx = ix->file.name;
    int fd = open(mdx.c_str(), O_RDWR);
    unsigned char head[48], counter;
    if (pread(fd, head, 48, 0) != 48 || pread(fd, &counter, 1, tag->headerOffset + 20) != 1) return 2;
    // Keys between the first two split the reader's leaf again and again.
    for (int i = 0; i < 120; ++i)
      if (appendRow(t, phone(0) + "-" + std::to_string(100 + i)) != 0) return 3;
    unsigned char newHead[48], newCounter;
    if (pread(fd, newHead, 48, 0) != 48 || pread(fd, &newCounter, 1, tag->headerOffset + 20) != 1) return 4;
    // Blocks written, counters not yet: as a writer stands between the two.
    if (pwrite(fd, head, 48, 0) != 48 || pwrite(fd, &counter, 1, tag->headerOffset + 20) != 1) return 5;
    self.say();
    self.hear();
    if (pwrite(fd, newHead, 48, 0) != 48 || pwrite(fd, &newCounter, 1, tag->headerOffset + 20) != 1) return 6;
    close(fd);
    d4unlockIndexes(t);
    d4close(t);
    code4release(&c);
    return 0;
  });
  g_writer = &w;
  ASSERT_TRUE(w.ready());
  const int first = d4seek(d, phone(0).c_str());
  const int error = cb.errorCode;
  const int32_t rec = d4recordNumber(d);
  EXPECT_EQ(w.finish(), 0);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(rec, 1);
  EXPECT_GT(g_waits, 0);
  EXPECT_EQ(d4seek(d, (phone(0) + "-150").c_str()), 0);
  EXPECT_EQ(d4recordNumber(d), 151);
}

TEST_F(SharedReadersTest, ReadersWaitForAnotherProgramsRebuild) {
  DATA4* d = d4open(&cb, path().c_str());
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d4seek(d, phone(5).c_str()), 0);

  Writer w;
  const std::string p = path();
  w.start([p](Writer& self) {
    CODE4 c{};
    DATA4* t = openInChild(&c, p);
    if (t == nullptr || d4lockIndexes(t) != 0) return 1;
    INDEX4* ix = reinterpret_cast<INDEX4*>(l4first(&t->indexes));
    // What a rebuild does first: the header no longer opens.
    const unsigned char stamp[4] = {0, 0, 0, 0};
    if (file4writeAt(&ix->file, 20, stamp, 4) != 0) return 2;
    self.say();
    self.hear();
    if (i4rebuild(ix) != 0) return 3;
    d4unlockIndexes(t);
    d4close(t);
    code4release(&c);
    return 0;
  });
  g_writer = &w;
  ASSERT_TRUE(w.ready());
  const int rc = d4seek(d, phone(42).c_str());
  const int error = cb.errorCode;
  const int32_t rec = d4recordNumber(d);
  EXPECT_EQ(w.finish(), 0);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(rec, 43);
  EXPECT_GT(g_waits, 0);
}

TEST_F(SharedReadersTest, KeysLeftByAnUnfinishedWriteAnswerWithoutError) {
  // A writer stopped after its keys: one record never written, one rewritten
  // on disk without its key change.
  DATA4* d = d4open(&cb, path().c_str());
  ASSERT_NE(d, nullptr);
  const std::string before = xbtest::readAll(path());
  ASSERT_EQ(appendRow(d, phone(500)), 0);
  ASSERT_EQ(d4close(d), 0);
  xbtest::writeAll(path(), before);
  std::string bytes = xbtest::readAll(path());
  const size_t rec7 = 32 + 2 * 32 + 1 + 6 * 46;
  std::memcpy(&bytes[rec7 + 1], "0999", 4);
  xbtest::writeAll(path(), bytes);

  d = d4open(&cb, path().c_str());
  ASSERT_NE(d, nullptr);
  struct Case {
    std::string key;
    bool found;
    int32_t rec;
  } cases[] = {{phone(500), false, 0}, {phone(6), false, 0}, {phone(7), true, 8}, {phone(99), true, 100}};
  for (const Case& c : cases) {
    int rc = d4seek(d, c.key.c_str());
    EXPECT_EQ(cb.errorCode, 0) << c.key;
    EXPECT_GE(rc, 0) << c.key;
    EXPECT_EQ(rc == 0, c.found) << c.key;
    if (c.found) {
      EXPECT_EQ(d4recordNumber(d), c.rec) << c.key;
    }
    cb.errorCode = 0;
  }
}

TEST_F(SharedReadersTest, OneWriterTwoReadersNoErrorsNoFalseMisses) {
  // The writer appends new numbers and rewrites old records in place with
  // their own numbers (names only), so every one of the first 100 numbers
  // stays in the table throughout; readers seek them until the writer ends.
  i4setLockWaitHook(nullptr);
  const std::string p = path();
  Writer w;
  w.start([p](Writer& self) {
    CODE4 c{};
    DATA4* t = openInChild(&c, p);
    if (t == nullptr) return 1;
    self.say();
    for (int i = 0; i < 400; ++i) {
      if (appendRow(t, phone(1000 + i)) != 0) return 2;
      if (d4go(t, 1 + i % 100) != 0) return 3;
      f4assign(d4fieldByName(t, "NAME"), orvelin::test::Numbered("R", i).c_str());
      if (d4flush(t) != 0) return 4;
    }
    d4close(t);
    code4release(&c);
    return 0;
  });
  ASSERT_TRUE(w.ready());
  pid_t second = fork();
  ASSERT_GE(second, 0);
  auto readUntil = [&](bool (*done)()) {
    CODE4 c{};
    code4init(&c);
    c.lockAttempts = 30;
    c.errorOff = 1;
    DATA4* d = d4open(&c, path().c_str());
    if (d == nullptr) return 10;
    int bad = 0, seeksDone = 0;
    for (int i = 0; bad == 0 && !(done() && seeksDone > 2000); ++i, ++seeksDone) {
      std::string key = phone(i % 100);
      key.resize(25, ' ');
      int rc = d4seek(d, key.c_str());
      if (rc != 0 || c.errorCode != 0 || d4recordNumber(d) != 1 + i % 100) bad = 20 + (rc > 0 ? rc : 0);
    }
    d4close(d);
    code4release(&c);
    return bad;
  };
  if (second == 0) {
    // The second reader stops after its own number of seeks.
    _exit(readUntil([] { return true; }));
  }
  static Writer* writer = &w;
  static bool writerDone = false;
  static int writerStatus = 0;
  writerDone = false;
  writerStatus = 0;
  int mine = readUntil([] {
    if (!writerDone) {
      writerDone = waitpid(writer->pid, &writerStatus, WNOHANG) == writer->pid;
      if (writerDone) writer->pid = -1;
    }
    return writerDone;
  });
  int status = 0;
  waitpid(second, &status, 0);
  EXPECT_EQ(mine, 0);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : 100, 0);
  ASSERT_TRUE(writerDone);
  EXPECT_TRUE(WIFEXITED(writerStatus) && WEXITSTATUS(writerStatus) == 0);
  close(w.fromChild[0]);
  close(w.toChild[1]);
}

TEST_F(SharedReadersTest, ReaderFollowsAppendsRebuildsAndCutsOfAnotherProgram) {
  // The writer appends, rewrites, rebuilds the index (which shortens its file)
  // and, as a foreign program would, cuts the appended rows off the table's
  // file. The reader, with the program's settings, seeks the first hundred
  // numbers throughout.
  i4setLockWaitHook(nullptr);
  const std::string p = path();
  constexpr int rounds = 23, perRound = 40;
  Writer w;
  w.start([p](Writer& self) {
    CODE4 c{};
    DATA4* t = openInChild(&c, p);
    if (t == nullptr) return 1;
    const int64_t recLen = t->recordLen;
    self.say();
    self.hear(); // the reader has opened the table
    for (int r = 0; r < rounds; ++r) {
      if (r % 5 == 4) {
        if (d4lockAll(t) != 0) return 2;
        const int fd = open(p.c_str(), O_RDWR);
        const unsigned char count[4] = {100, 0, 0, 0};
        const int64_t end = 32 + 2 * 32 + 1 + 100 * recLen;
        if (fd < 0 || ftruncate(fd, end + 1) != 0 || pwrite(fd, "\x1a", 1, end) != 1 || pwrite(fd, count, 4, 4) != 4)
          return 3;
        close(fd);
        d4unlockAll(t);
        d4close(t);
        if ((t = d4open(&c, p.c_str())) == nullptr || d4reindex(t) != 0) return 4;
        d4unlockAll(t);
      }
      for (int k = 0; k < perRound; ++k)
        if (appendRow(t, phone(1000 + r * perRound + k)) != 0) return 5;
      if (d4go(t, 1 + r % 100) != 0) return 6;
      f4assign(d4fieldByName(t, "NAME"), orvelin::test::Numbered("R", r).c_str());
      if (d4flush(t) != 0) return 7;
      if (r % 3 == 1 && (d4reindex(t) != 0 || d4unlockAll(t) != 0)) return 8;
    }
    d4close(t);
    code4release(&c);
    return 0;
  });
  ASSERT_TRUE(w.ready());
  cb.cacheMode = 1;
  cb.cacheReread = 1;
  cb.lockAttempts = 30;
  ASSERT_EQ(code4cacheStart(&cb), 0);
  DATA4* d = d4open(&cb, path().c_str());
  w.go();
  ASSERT_NE(d, nullptr);
  int bad = 0, seeks = 0, status = 0;
  bool done = false;
  while (bad == 0 && !(done && seeks > 2000)) {
    // Every fourth seek asks for an appended row, which may be cut away
    // meanwhile (its pages gone from under the reader): found or not, never
    // an error.
    const bool appended = seeks % 4 == 3;
    std::string key = appended ? phone(1000 + seeks % (rounds * perRound)) : phone(seeks % 100);
    key.resize(25, ' ');
    const int rc = d4seek(d, key.c_str());
    if (rc < 0 || cb.errorCode != 0 || (!appended && (rc != 0 || d4recordNumber(d) != 1 + seeks % 100)))
      bad = seeks + 1;
    ++seeks;
    if (!done && waitpid(w.pid, &status, WNOHANG) == w.pid) done = true, w.pid = -1;
  }
  EXPECT_EQ(bad, 0) << "seek " << bad - 1 << ": error " << cb.errorCode;
  if (!done) waitpid(w.pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // What the writer left: its last rows, not those cut away, and its last rewrite.
  struct Case {
    std::string key;
    bool found;
  } const cases[] = {{phone(1000 + 20 * perRound), true},
                     {phone(1000 + 22 * perRound + perRound - 1), true},
                     {phone(1000 + 18 * perRound), false}};
  for (const Case& c : cases) {
    std::string key = c.key;
    key.resize(25, ' ');
    EXPECT_EQ(d4seek(d, key.c_str()) == 0, c.found) << c.key;
    EXPECT_EQ(cb.errorCode, 0) << c.key;
  }
  ASSERT_EQ(d4seek(d, phone((rounds - 1) % 100).c_str()), 0);
  char name[21] = {0};
  f4copyTo(d4fieldByName(d, "NAME"), name, sizeof name);
  EXPECT_EQ(std::string(name).substr(0, 3), orvelin::test::Numbered("R", rounds - 1));
  close(w.fromChild[0]);
  close(w.toChild[1]);
}

} // namespace
