// Block cache: sizing, coherence with the file under random reads and writes,
// partial last blocks, failed write-backs, and index work through the cache.
#include "tests/xbase/test_util.h"
#include "xbase/block_cache.h"
#include "xbase/index.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>
#include "tests/support/numbered.h"
#include "xbase/sort.h"

namespace {

using xbtest::EngineTest;
using xbtest::readAll;

TEST(CachePlan, DefaultsAndShrinking) {
  CACHE4PLAN p = cache4plan(0xF0000, 1024, 16384);
  EXPECT_EQ(p.groups, 58);
  EXPECT_EQ(p.blocksPerGroup, 16);
  EXPECT_EQ(p.hashSize, 1024);
  // Too little memory for four groups of 16: groups shrink a block at a time.
  p = cache4plan(5 * 16384, 1024, 16384);
  EXPECT_EQ(p.blocksPerGroup, 13);
  EXPECT_EQ(p.groups, 4);
  // Not even four groups of one block: the start fails.
  EXPECT_EQ(cache4plan(5 * 1024, 1024, 16384).groups, 0);
  EXPECT_EQ(cache4plan(0xF0000, 1024, 512).groups, 0);  // read-ahead below one block
  EXPECT_EQ(cache4plan(0xF0000, 0, 16384).groups, 0);
}

class CacheTest : public EngineTest {
 protected:
  void startSmall() {
    cb.cacheBlockSize = 512;
    cb.readAheadSize = 1024;
    cb.cacheLimit = 8 * 1024;  // six groups of two blocks: evictions all the time
    ASSERT_EQ(code4cacheStart(&cb), 0);
  }
};

TEST_F(CacheTest, RandomReadsAndWritesMatchTheFile) {
  startSmall();
  std::string path = dir.file("c.bin");
  FILE4 f;
  ASSERT_EQ(file4create(&f, &cb, path.c_str(), 1), 0);
  ASSERT_EQ(file4setCache(&f, 1, 1), 0);
  std::string model;
  std::mt19937 rng(5);
  for (int step = 0; step < 3000; ++step) {
    int64_t pos = static_cast<int64_t>(rng() % 20000);
    size_t len = 1 + rng() % 1500;
    if (rng() % 3 != 0) {
      std::string data(len, '\0');
      for (char& ch : data) ch = static_cast<char>('a' + rng() % 26);
      ASSERT_EQ(file4writeAt(&f, pos, data.data(), len), 0);
      if (model.size() < static_cast<size_t>(pos) + len) model.resize(static_cast<size_t>(pos) + len, '\0');
      model.replace(static_cast<size_t>(pos), len, data);
    } else if (step % 97 == 0) {
      int64_t cut = static_cast<int64_t>(rng() % 20000);
      ASSERT_EQ(file4lenSet(&f, cut), 0);
      model.resize(static_cast<size_t>(cut), '\0');
    } else {
      std::string got(len, '\0');
      size_t n = file4read(&f, pos, got.data(), len);
      size_t want = static_cast<size_t>(pos) < model.size() ? std::min(len, model.size() - static_cast<size_t>(pos)) : 0;
      ASSERT_EQ(n, want) << step;
      if (want > 0) {
        ASSERT_EQ(got.substr(0, n), model.substr(static_cast<size_t>(pos), want)) << step;
      }
    }
  }
  EXPECT_GT(cache4blockCount(&cb, 1), 0);
  ASSERT_EQ(file4flush(&f), 0);
  EXPECT_EQ(readAll(path), model);
  ASSERT_EQ(file4close(&f), 0);
  EXPECT_EQ(cache4blockCount(&cb, 1), 0);
  EXPECT_EQ(code4cacheSuspend(&cb), 0);
}

TEST_F(CacheTest, LastPartialBlockGivesOnlyItsBytes) {
  startSmall();
  std::string path = dir.file("p.bin");
  xbtest::writeAll(path, std::string(700, 'x'));
  FILE4 f;
  ASSERT_EQ(file4open(&f, &cb, path.c_str(), 1), 0);
  ASSERT_EQ(file4setCache(&f, 1, 3), 0);
  char buf[1024];
  EXPECT_EQ(file4read(&f, 0, buf, sizeof buf), 700u);
  EXPECT_EQ(file4read(&f, 600, buf, sizeof buf), 100u);
  EXPECT_EQ(file4read(&f, 900, buf, sizeof buf), 0u);
  EXPECT_NE(file4readAt(&f, 0, buf, 701), 0);
  cb.errorCode = 0;
  file4close(&f);
}

TEST_F(CacheTest, FailedWriteBackKeepsTheData) {
  startSmall();
  std::string path = dir.file("w.bin");
  FILE4 f;
  ASSERT_EQ(file4create(&f, &cb, path.c_str(), 1), 0);
  ASSERT_EQ(file4setCache(&f, 1, 1), 0);
  std::string block(512, 'q');
  // Fill every cache block with changed data, then force an eviction whose write fails.
  for (int i = 0; i < 12; ++i) ASSERT_EQ(file4writeAt(&f, i * 512, block.data(), 512), 0);
  file4injectWriteFailure(1);
  EXPECT_NE(file4writeAt(&f, 100 * 512, block.data(), 512), 0);
  EXPECT_EQ(cb.errorCode, err4write);
  cb.errorCode = 0;
  file4injectWriteFailure(-1);
  ASSERT_EQ(file4flush(&f), 0);
  std::string disk = readAll(path);
  ASSERT_GE(disk.size(), 12u * 512);
  EXPECT_EQ(disk.substr(0, 12 * 512), std::string(12 * 512, 'q'));
  file4close(&f);
}

TEST_F(CacheTest, IndexWorkThroughTheCache) {
  cb.cacheLimit = 64 * 1024;
  ASSERT_EQ(code4cacheStart(&cb), 0);
  const FIELD4INFO fields[] = {{"NAME", 'C', 40, 0}, {nullptr, 0, 0, 0}};
  const TAG4INFO tags[] = {{"NAME", "NAME", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  DATA4* d = d4create(&cb, dir.file("ct.dbf").c_str(), fields, tags);
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(file4setCache(&d->file, 1, 1), 0);
  INDEX4* ix = reinterpret_cast<INDEX4*>(l4first(&d->indexes));
  ASSERT_EQ(file4setCache(&ix->file, 1, 2), 0);
  for (int i = 0; i < 500; ++i) {
    d4blank(d);
    f4assign(d4fieldByName(d, "NAME"), orvelin::test::Numbered("N", (i * 37) % 500).c_str());
    ASSERT_EQ(d4append(d), 0);
  }
  TAG4* t = d4tagByName(d, "NAME");
  EXPECT_EQ(t4check(t), 0);
  EXPECT_GT(cache4blockCount(&cb, 2), 0);
  ASSERT_EQ(d4reindex(d), 0);  // stands the cache aside and starts it again
  EXPECT_TRUE(code4cacheRunning(&cb));
  EXPECT_EQ(t4check(t), 0);
  EXPECT_EQ(d4seek(d, "N123"), 0);
  d4close(d);
  // Everything reached the file: the index opens and answers without the cache.
  ASSERT_EQ(code4cacheSuspend(&cb), 0);
  d = d4open(&cb, dir.file("ct.dbf").c_str());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(t4check(d4tagByName(d, "NAME")), 0);
  EXPECT_EQ(d4seek(d, "N499"), 0);
  d4close(d);
}

TEST_F(CacheTest, AppendsUnderIndexPressureKeepTheTablesGrowingEndCached) {
  // The index outgrows the cache, so appends evict blocks all the time. The
  // block the table grows at stays: it reaches the file once it is full, not
  // at every append (which also read it back each time).
  cb.exclusive = 1;
  startSmall();
  const FIELD4INFO fields[] = {{"NAME", 'C', 40, 0}, {"NOTE", 'C', 60, 0}, {nullptr, 0, 0, 0}};
  const TAG4INFO tags[] = {{"NAME", "NAME", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  constexpr int appends = 2000;
  const std::string path = dir.file("g.dbf");
  DATA4* d = d4create(&cb, path.c_str(), fields, tags);
  ASSERT_NE(d, nullptr);
  int grown = 0;
  auto onDisk = [&] { return std::filesystem::file_size(path); };
  for (int i = 0; i < appends; ++i) {
    const auto before = onDisk();
    d4blank(d);
    f4assign(d4fieldByName(d, "NAME"), orvelin::test::Numbered("N", (i * 7919) % appends).c_str());
    f4assign(d4fieldByName(d, "NOTE"), orvelin::test::Numbered("note ", i).c_str());
    ASSERT_EQ(d4append(d), 0);
    if (onDisk() != before) ++grown;
  }
  // Five records of 101 bytes to a block of 512.
  EXPECT_LT(grown, appends / 4);
  EXPECT_GT(cache4blockCount(&cb, 2), 0);
  EXPECT_EQ(t4check(d4tagByName(d, "NAME")), 0);
  ASSERT_EQ(d4close(d), 0);
  d = d4open(&cb, path.c_str());
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d4recordCount(d), appends);
  for (int n : {1, 999, appends}) {
    ASSERT_EQ(d4go(d, n), 0);
    char buf[61] = {0};
    f4copyTo(d4fieldByName(d, "NOTE"), buf, sizeof buf);
    std::string note(buf);
    note.erase(note.find_last_not_of(' ') + 1);
    EXPECT_EQ(note, orvelin::test::Numbered("note ", n - 1));
  }
  d4close(d);
}

TEST_F(CacheTest, SeeksKeepBranchBlocksCachedAndFindWhatWasJustWritten) {
  // Leaves met by seeks stay out of the cache unless they are cached already
  // (a changed leaf held back included), so an index bigger than the cache
  // keeps its branch blocks there. Exclusive: the leaves written by appends
  // are held in the cache; shared: written through.
  const FIELD4INFO fields[] = {{"NAME", 'C', 40, 0}, {nullptr, 0, 0, 0}};
  const TAG4INFO tags[] = {{"NAME", "NAME", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  constexpr int records = 600;
  for (int exclusive : {1, 0}) {
    cb.exclusive = exclusive;
    cb.cacheBlockSize = 1024;
    cb.readAheadSize = 2048;
    cb.cacheLimit = 40 * 1024; // 18 groups of two blocks
    ASSERT_EQ(code4cacheStart(&cb), 0);
    const std::string path = dir.file(exclusive ? "x.dbf" : "s.dbf");
    DATA4* d = d4create(&cb, path.c_str(), fields, tags);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(file4setCache(&d->file, 1, 1), 0);
    INDEX4* ix = reinterpret_cast<INDEX4*>(l4first(&d->indexes));
    ASSERT_EQ(file4setCache(&ix->file, 1, 2), 0);
    TAG4* tag = d4tagByName(d, "NAME");
    auto keyOf = [](int i) { return orvelin::test::Numbered("N", (i * 7919) % records); };
    auto findBack = [&](int i) {
      d4tagSelect(d, tag);
      ASSERT_EQ(d4seek(d, keyOf(i).c_str()), 0) << exclusive << " " << i;
      EXPECT_EQ(d4recordNumber(d), i + 1) << exclusive << " " << i;
    };
    for (int i = 0; i < records; ++i) {
      d4blank(d);
      f4assign(d4fieldByName(d, "NAME"), keyOf(i).c_str());
      ASSERT_EQ(d4append(d), 0);
      if (i % 50 == 49)
        for (int back = 0; back < 50; back += 7) findBack(i - back);
    }
    ASSERT_EQ(d4flush(d), 0);
    ASSERT_EQ(cache4flushFile(&ix->file, 1), 0); // nothing of the index cached
    for (int i = 0; i < records; ++i) findBack(i);
    const CACHE4PLAN shape = cache4shape(&cb);
    EXPECT_LT(cache4blockCount(&cb, 2), shape.groups * shape.blocksPerGroup / 2) << exclusive;
    EXPECT_GT(cache4blockCount(&cb, 2), 0) << exclusive;
    EXPECT_EQ(t4check(tag), 0);
    ASSERT_EQ(d4close(d), 0);
    ASSERT_EQ(code4cacheSuspend(&cb), 0);
  }
}

TEST_F(CacheTest, SharedTablesLoseNothingBetweenPrograms) {
  // This engine record caches the table; a second one on its own open file
  // stands for another program.
  const FIELD4INFO fields[] = {{"NAME", 'C', 20, 0}, {nullptr, 0, 0, 0}};
  DATA4* d = d4create(&cb, dir.file("s.dbf").c_str(), fields, nullptr);
  ASSERT_NE(d, nullptr);
  for (const char* n : {"one", "two", "three"}) {
    d4blank(d);
    f4assign(d4fieldByName(d, "NAME"), n);
    ASSERT_EQ(d4append(d), 0);
  }
  startSmall();
  ASSERT_EQ(file4setCache(&d->file, 1, 1), 0);
  cb.lockAttempts = 1;
  CODE4 other{};
  code4init(&other);
  other.lockAttempts = 1;
  DATA4* o = d4open(&other, dir.file("s.dbf").c_str());
  ASSERT_NE(o, nullptr);
  auto name = [](DATA4* t, int32_t n) {
    EXPECT_EQ(d4go(t, n), 0);
    char buf[21] = {0};
    f4copyTo(d4fieldByName(t, "NAME"), buf, sizeof buf);
    return std::string(buf, std::strlen(buf));
  };
  auto rename = [](DATA4* t, int32_t n, const char* to) {
    ASSERT_EQ(d4go(t, n), 0);
    f4assign(d4fieldByName(t, "NAME"), to);
    ASSERT_EQ(d4flush(t), 0);
    ASSERT_EQ(d4unlockAll(t), 0);
  };
  EXPECT_EQ(name(d, 1).substr(0, 3), "one"); // the block with records 1 to 3 is cached

  // A whole-file lock reads what the other program wrote.
  rename(o, 1, "uno");
  ASSERT_EQ(d4lockFile(d), 0);
  EXPECT_EQ(name(d, 1).substr(0, 3), "uno");
  ASSERT_EQ(d4unlockAll(d), 0);

  // Writing one record never writes back the other program's neighbour.
  EXPECT_EQ(name(d, 2).substr(0, 3), "two");
  rename(o, 3, "tres");
  rename(d, 2, "dos");
  ASSERT_EQ(code4cacheSuspend(&cb), 0);
  EXPECT_EQ(name(o, 3).substr(0, 4), "tres");
  EXPECT_EQ(name(o, 2).substr(0, 3), "dos");
  d4close(o);
  code4release(&other);
  d4close(d);
}

// ---- joining, held-back writes, read-ahead, re-reading, temporary files ----

TEST_F(CacheTest, FilesJoinByTheSettings) {
  const FIELD4INFO fields[] = {{"NAME", 'C', 20, 0}, {"NOTE", 'M', 10, 0}, {nullptr, 0, 0, 0}};
  const TAG4INFO tags[] = {{"NAME", "NAME", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  DATA4* made = d4create(&cb, dir.file("j.dbf").c_str(), fields, tags);
  ASSERT_NE(made, nullptr);
  d4close(made);
  struct Row {
    int cacheMode, exclusive, readOnly, writeBehind;
    bool joined, heldBack;
  };
  const Row rows[] = {
      {-1, 0, 0, -1, false, false}, // shared files stay out by default
      {-1, 1, 0, -1, true, true},   // exclusive ones join and hold their writes
      {-1, 0, 1, -1, true, false},  // read-only ones join, writing nothing
      {1, 0, 0, -1, true, false},   // every file joins; shared ones write through
      {1, 1, 0, 0, true, false},    // writes never held back
      {0, 1, 0, -1, false, false},  // none joins
  };
  ASSERT_EQ(code4cacheStart(&cb), 0);
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.cacheMode << " " << r.exclusive << " " << r.readOnly << " " << r.writeBehind);
    cb.cacheMode = r.cacheMode;
    cb.exclusive = r.exclusive;
    cb.readOnly = r.readOnly;
    cb.writeBehind = r.writeBehind;
    DATA4* d = d4open(&cb, dir.file("j.dbf").c_str());
    ASSERT_NE(d, nullptr);
    INDEX4* ix = reinterpret_cast<INDEX4*>(l4first(&d->indexes));
    ASSERT_NE(ix, nullptr);
    EXPECT_EQ(d->file.cacheKind, r.joined ? 1 : 0);
    EXPECT_EQ(ix->file.cacheKind, r.joined ? 2 : 0);
    EXPECT_EQ(d->memoFile.file.cacheKind, r.joined ? 3 : 0);
    EXPECT_EQ(d->file.writeBehindOn != 0, r.heldBack);
    EXPECT_EQ(ix->file.writeBehindOn != 0, r.heldBack);
    ASSERT_EQ(d4close(d), 0);
    EXPECT_EQ(cb.cacheFiles.count, 0);
  }
}

TEST_F(CacheTest, HeldBackWritesLeaveTogether) {
  cb.cacheBlockSize = 512;
  cb.readAheadSize = 4096;  // a group of eight blocks leaves in one write
  cb.cacheLimit = 10 * 4096;
  ASSERT_EQ(code4cacheStart(&cb), 0);
  cb.exclusive = 1;
  std::string path = dir.file("h.bin");
  FILE4 f;
  ASSERT_EQ(file4create(&f, &cb, path.c_str(), 1), 0);
  ASSERT_EQ(file4setCache(&f, 1, 1), 0);
  ASSERT_TRUE(f.writeBehindOn);
  std::string run;
  for (int i = 0; i < 4; ++i) run += std::string(512, static_cast<char>('a' + i));
  ASSERT_EQ(file4writeAt(&f, 0, run.data(), run.size()), 0);
  EXPECT_EQ(readAll(path), "");  // still in the cache
  EXPECT_EQ(file4length(&f), 2048);
  // Four consecutive changed blocks go in one write: a second would fail.
  file4injectWriteFailure(2);
  ASSERT_EQ(file4flush(&f), 0);
  file4injectWriteFailure(-1);
  EXPECT_EQ(readAll(path), run);
  // Switched off: each write reaches the file at once.
  ASSERT_EQ(file4writeBehind(&f, 0), 0);
  ASSERT_EQ(file4writeAt(&f, 0, "Z", 1), 0);
  EXPECT_EQ(readAll(path)[0], 'Z');
  file4close(&f);
}

TEST_F(CacheTest, ReadAheadFollowsTheWork) {
  cb.cacheBlockSize = 512;
  cb.readAheadSize = 4096; // groups of eight blocks
  cb.cacheLimit = 10 * 4096;
  cb.exclusive = 1;
  ASSERT_EQ(code4cacheStart(&cb), 0);
  std::string path = dir.file("r.bin");
  std::string bytes;
  for (int b = 0; b < 400; ++b) bytes += std::string(512, static_cast<char>('A' + b % 26));
  xbtest::writeAll(path, bytes);
  FILE4 f;
  ASSERT_EQ(file4open(&f, &cb, path.c_str(), 1), 0);
  ASSERT_EQ(file4setCache(&f, 1, 1), 0);
  char buf[512];
  int next = 0;
  struct Row {
    uint32_t activity;
    int mode;
  } const rows[] = {{1, 1}, {4, 2}, {5, 3}, {8, 0}, {0x40, 0}, {1, 1}};
  for (const Row& r : rows) {
    cb.activity = r.activity;
    for (int i = 0; i < 150; ++i, next = (next + 9) % 400) ASSERT_EQ(file4readAt(&f, next * 512, buf, 512), 0);
    EXPECT_EQ(cache4readAheadMode(&cb), r.mode) << r.activity;
  }
  // Data read-ahead: reading one block brings the next seven along, as a
  // change made behind the cache's back shows.
  ASSERT_EQ(cache4flushFile(&f, 1), 0);  // nothing cached
  ASSERT_EQ(file4readAt(&f, 200 * 512, buf, 512), 0);
  int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, "#", 1, 203 * 512), 1);
  ASSERT_EQ(pwrite(fd, "#", 1, 215 * 512), 1);
  ::close(fd);
  ASSERT_EQ(file4readAt(&f, 203 * 512, buf, 1), 0);
  EXPECT_EQ(buf[0], static_cast<char>('A' + 203 % 26));  // read ahead before the change
  ASSERT_EQ(file4readAt(&f, 215 * 512, buf, 1), 0);
  EXPECT_EQ(buf[0], '#');  // beyond the group: read now
  file4close(&f);
}

TEST_F(CacheTest, RereadSwitchAndRefreshShowOtherProgramsChanges) {
  const FIELD4INFO fields[] = {{"NAME", 'C', 20, 0}, {nullptr, 0, 0, 0}};
  DATA4* made = d4create(&cb, dir.file("rr.dbf").c_str(), fields, nullptr);
  ASSERT_NE(made, nullptr);
  d4blank(made);
  f4assign(d4fieldByName(made, "NAME"), "first");
  ASSERT_EQ(d4append(made), 0);
  d4close(made);
  startSmall();
  cb.cacheMode = 1;
  cb.lockAttempts = 1;
  CODE4 other{};
  code4init(&other);
  other.lockAttempts = 1;
  DATA4* o = d4open(&other, dir.file("rr.dbf").c_str());
  ASSERT_NE(o, nullptr);
  auto name = [](DATA4* t) {
    EXPECT_EQ(d4go(t, 1), 0);
    char buf[21] = {0};
    f4copyTo(d4fieldByName(t, "NAME"), buf, sizeof buf);
    std::string s(buf);
    return s.substr(0, s.find(' '));
  };
  struct Row {
    int reread;
    const char* written;
    const char* before;  // what an unlocked read shows
  } const rows[] = {{1, "second", "second"}, {0, "third", "second"}};
  DATA4* d = d4open(&cb, dir.file("rr.dbf").c_str());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(name(d), "first");  // block cached
  for (const Row& r : rows) {
    cb.cacheReread = r.reread;
    ASSERT_EQ(d4go(o, 1), 0);
    f4assign(d4fieldByName(o, "NAME"), r.written);
    ASSERT_EQ(d4flush(o), 0);
    ASSERT_EQ(d4unlockAll(o), 0);
    EXPECT_EQ(name(d), r.before) << r.reread;
    ASSERT_EQ(file4refresh(&d->file), 0);
    EXPECT_EQ(name(d), r.written) << r.reread;
  }
  d4close(d);
  d4close(o);
  code4release(&other);
}

// With the re-read switch on, what a shared file's reads give is what the
// file holds now, whatever another program wrote, appended or cut since the
// blocks were cached, and whichever part of a block was read before.
TEST_F(CacheTest, RereadingFollowsAnotherProgramByteForByte) {
  startSmall();
  cb.exclusive = 0;
  cb.cacheReread = 1;
  const std::string path = dir.file("other.bin");
  std::string model(3000, 'a');
  xbtest::writeAll(path, model);
  FILE4 f;
  ASSERT_EQ(file4open(&f, &cb, path.c_str(), 1), 0);
  ASSERT_EQ(file4setCache(&f, 1, 1), 0);
  const int other = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(other, 0);
  std::mt19937 rng(11);
  for (int step = 0; step < 4000; ++step) {
    const unsigned action = rng() % 8;
    if (action == 0) {
      // The other program writes somewhere, possibly past the end.
      const size_t pos = rng() % 3600, len = 1 + rng() % 700;
      std::string bytes(len, static_cast<char>('b' + step % 24));
      ASSERT_EQ(::pwrite(other, bytes.data(), len, static_cast<off_t>(pos)), static_cast<ssize_t>(len));
      if (model.size() < pos + len) model.resize(pos + len, '\0');
      model.replace(pos, len, bytes);
    } else if (action == 1 && step % 5 == 0) {
      // ... or cuts the file; a program sees a cut at its next refresh.
      const size_t cut = rng() % 3600;
      ASSERT_EQ(::ftruncate(other, static_cast<off_t>(cut)), 0);
      model.resize(cut);
      ASSERT_EQ(file4refresh(&f), 0);
    } else {
      const size_t pos = rng() % 3600, len = 1 + rng() % 300;
      std::string got(len, '\0');
      const size_t n = file4read(&f, static_cast<int64_t>(pos), got.data(), len);
      const size_t want = pos < model.size() ? std::min(len, model.size() - pos) : 0;
      ASSERT_EQ(n, want) << "step " << step << " at " << pos;
      ASSERT_EQ(got.substr(0, n), model.substr(std::min(pos, model.size()), want)) << "step " << step << " at " << pos;
    }
  }
  ::close(other);
  file4close(&f);
}

TEST_F(CacheTest, TemporaryFilesLiveInTheCacheUntilItIsFull) {
  startSmall();  // twelve blocks of 512 bytes
  const size_t before = dir.entries();
  FILE4 f;
  ASSERT_EQ(file4temp(&f, &cb, nullptr, 0, 1), 0);
  EXPECT_TRUE(file4isOpen(&f));
  EXPECT_EQ(dir.entries(), before);  // nothing on disk
  std::string small(1500, 's');
  ASSERT_EQ(file4writeAt(&f, 0, small.data(), small.size()), 0);
  EXPECT_EQ(file4length(&f), 1500);
  std::string back(1500, 0);
  ASSERT_EQ(file4readAt(&f, 0, back.data(), back.size()), 0);
  EXPECT_EQ(back, small);
  EXPECT_EQ(dir.entries(), before);
  // More than the cache holds: the file becomes real and keeps every byte.
  std::string large;
  for (int i = 0; i < 40; ++i) large += std::string(512, static_cast<char>('a' + i % 26));
  ASSERT_EQ(file4writeAt(&f, 1500, large.data(), large.size()), 0);
  EXPECT_EQ(dir.entries(), before + 1);
  std::string all(1500 + large.size(), 0);
  ASSERT_EQ(file4readAt(&f, 0, all.data(), all.size()), 0);
  EXPECT_EQ(all, small + large);
  ASSERT_EQ(file4close(&f), 0);
  EXPECT_EQ(dir.entries(), before);

  // A sort that spills its runs into such a file.
  cb.sortMemoryLimit = 64 * 1024;
  SORT4 s;
  ASSERT_EQ(sort4init(&s, &cb, 8, 0), 0);
  std::vector<std::string> keys;
  std::mt19937 rng(3);
  for (int i = 0; i < 20000; ++i) {
    keys.push_back(orvelin::test::Numbered("", static_cast<int>(rng() % 10000000)));
    keys.back().resize(8, ' ');
    ASSERT_EQ(sort4put(&s, i + 1, keys.back().data(), nullptr), 0);
  }
  ASSERT_EQ(sort4getInit(&s), 0);
  std::sort(keys.begin(), keys.end());
  int32_t rec = 0;
  void* key = nullptr;
  for (const std::string& want : keys) {
    ASSERT_EQ(sort4get(&s, &rec, &key, nullptr), 0);
    ASSERT_EQ(std::string(static_cast<char*>(key), 8), want);
  }
  sort4free(&s);
  EXPECT_EQ(dir.entries(), before);
}

TEST_F(CacheTest, AFailedWriteBackAtCloseLeavesNoBlockBehind) {
  startSmall();
  cb.exclusive = 1;
  FILE4 f;
  ASSERT_EQ(file4create(&f, &cb, dir.file("fc.bin").c_str(), 1), 0);
  ASSERT_EQ(file4setCache(&f, 1, 1), 0);
  std::string data(1536, 'x');
  ASSERT_EQ(file4writeAt(&f, 0, data.data(), data.size()), 0);
  EXPECT_GT(cache4blockCount(&cb, 1), 0);
  file4injectWriteFailure(1);
  EXPECT_NE(file4close(&f), 0);
  file4injectWriteFailure(-1);
  EXPECT_EQ(cb.errorCode, err4write);
  cb.errorCode = 0;
  EXPECT_EQ(cache4blockCount(&cb, 1), 0);
  EXPECT_EQ(cb.cacheFiles.count, 0);
  // The cache goes on working with other files.
  FILE4 g;
  ASSERT_EQ(file4create(&g, &cb, dir.file("fd.bin").c_str(), 1), 0);
  ASSERT_EQ(file4setCache(&g, 1, 1), 0);
  for (int i = 0; i < 30; ++i) ASSERT_EQ(file4writeAt(&g, i * 512, data.data(), 512), 0);
  ASSERT_EQ(file4close(&g), 0);
  EXPECT_EQ(readAll(dir.file("fd.bin")).size(), 30u * 512);
}

// Two processes append to and change one shared table, each with its block
// cache on as the program runs it: neither loses the other's records, and
// each finds every key the other wrote.
TEST_F(CacheTest, TwoProgramsWithCachesLoseNothing) {
  const FIELD4INFO fields[] = {{"PHONE", 'C', 25, 0}, {"NAME", 'C', 20, 0}, {nullptr, 0, 0, 0}};
  const TAG4INFO tags[] = {{"UNIQUE", "PHONE", ".NOT.DELETED()", 20, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  const std::string table = dir.file("two.dbf");
  DATA4* made = d4create(&cb, table.c_str(), fields, tags);
  ASSERT_NE(made, nullptr);
  d4close(made);
  constexpr int perSide = 300;
  auto programSettings = [](CODE4* c) {
    c->lockAttempts = -1;
    c->cacheMode = 1;
    c->cacheReread = 1;
    c->cacheBlockSize = 512;
    c->readAheadSize = 2048;
    c->cacheLimit = 32 * 1024;  // small, so blocks come and go
    code4cacheStart(c);
  };
  auto work = [&](CODE4* c, char side) {
    DATA4* d = d4open(c, table.c_str());
    if (d == nullptr) return 1;
    d4tagSelect(d, d4tagByName(d, "UNIQUE"));
    for (int i = 0; i < perSide; ++i) {
      d4blank(d);
      f4assign(d4fieldByName(d, "PHONE"), (std::string(1, side) + std::to_string(1000 + i)).c_str());
      f4assign(d4fieldByName(d, "NAME"), "new");
      if (d4append(d) != 0) return 2;
      if (d4unlockAll(d) != 0) return 3;
      // Rename an earlier record of this side, in a block the other side writes too.
      if (i % 3 == 2) {
        std::string key = std::string(1, side) + std::to_string(1000 + i - 2);
        key.resize(25, ' ');
        if (d4seek(d, key.c_str()) != 0) return 4;
        f4assign(d4fieldByName(d, "NAME"), "renamed");
        if (d4flush(d) != 0 || d4unlockAll(d) != 0) return 5;
      }
    }
    d4close(d);
    return c->errorCode < 0 ? 6 : 0;
  };
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    CODE4 child{};
    code4init(&child);
    programSettings(&child);
    int rc = work(&child, 'c');
    code4release(&child);
    _exit(rc);
  }
  programSettings(&cb);
  EXPECT_EQ(work(&cb, 'p'), 0);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  DATA4* d = d4open(&cb, table.c_str());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d4recordCount(d), 2 * perSide);
  d4tagSelect(d, d4tagByName(d, "UNIQUE"));
  for (char side : {'p', 'c'})
    for (int i = 0; i < perSide; ++i) {
      std::string key = std::string(1, side) + std::to_string(1000 + i);
      key.resize(25, ' ');
      ASSERT_EQ(d4seek(d, key.c_str()), 0) << key;
      char name[21] = {0};
      f4copyTo(d4fieldByName(d, "NAME"), name, sizeof name);
      const bool renamed = i % 3 == 0 && i + 2 < perSide;
      EXPECT_EQ(std::string(name).substr(0, renamed ? 7 : 3), renamed ? "renamed" : "new") << key;
    }
  EXPECT_EQ(t4check(d4tagByName(d, "UNIQUE")), 0);
  d4close(d);
}

}  // namespace


namespace {

TEST_F(CacheTest, AllocationShortageGivesTheCacheMemoryBackForASecondTry) {
  struct Case {
    bool running;
    int failures;
    bool gets;
  } const cases[] = {
      {true, 1, true},   // the second try, with the cache's memory back, succeeds
      {true, 2, false},  // nothing to be had even so: the cache runs again all the same
      {false, 1, false}, // no cache to give memory back
  };
  cb.exclusive = 1;
  cb.writeBehind = 1;
  int n = 0;
  for (const Case& c : cases) {
    if (c.running) startSmall();
    const std::string path = dir.file(orvelin::test::Numbered("short", n++) + ".bin");
    FILE4 f;
    ASSERT_EQ(file4create(&f, &cb, path.c_str(), 1), 0);
    ASSERT_EQ(file4setCache(&f, 1, 1), 0);
    ASSERT_EQ(file4writeAt(&f, 0, "held", 4), 0);
    ASSERT_EQ(readAll(path).size(), c.running ? 0u : 4u);  // held back while the cache runs
    u4injectAllocFailures(c.failures);
    void* p = u4allocRetry(&cb, 64);
    u4injectAllocFailures(0);
    EXPECT_EQ(p != nullptr, c.gets);
    u4globalFree(p);
    EXPECT_EQ(code4cacheRunning(&cb), c.running ? 1 : 0);
    EXPECT_EQ(readAll(path), "held");  // written when the cache gave its memory back
    // The file is still in the restarted cache: the next write is held back again.
    ASSERT_EQ(file4writeAt(&f, 4, "more", 4), 0);
    EXPECT_EQ(readAll(path), c.running ? "held" : "heldmore");
    EXPECT_EQ(file4close(&f), 0);
    EXPECT_EQ(readAll(path), "heldmore");
    ASSERT_EQ(code4cacheSuspend(&cb), 0);
  }
}

} // namespace

namespace {

TEST_F(CacheTest, StartShortOfMemoryRetriesWithHalfSizeGroups) {
  // Eight groups of 16 blocks are planned; the allocations are the read-ahead buffer,
  // then one per group. Fewer than four groups had: four groups of half the size.
  cb.cacheBlockSize = 1024;
  cb.readAheadSize = 16384;
  cb.cacheLimit = 10 * 16384;
  struct Case {
    int succeedFirst, failures;
    int rc;
    int32_t groups, blocksPerGroup;
  } const cases[] = {
      {0, 1, -1, 0, 0},    // not even the read-ahead buffer
      {1, 1, -1, 0, 0},    // no group at all
      {2, 1, 0, 4, 8},     // one group
      {4, 1, 0, 4, 8},     // three groups
      {5, 1, 0, 4, 16},    // four groups run as they are
      {9, 1, 0, 8, 16},    // everything had
      {4, 100, -1, 0, 0},  // the smaller groups cannot be had either
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.succeedFirst << " then " << c.failures);
    u4injectAllocFailures(c.failures, c.succeedFirst);
    EXPECT_EQ(code4cacheStart(&cb), c.rc);
    u4injectAllocFailures(0);
    const CACHE4PLAN shape = cache4shape(&cb);
    EXPECT_EQ(shape.groups, c.groups);
    EXPECT_EQ(shape.blocksPerGroup, c.blocksPerGroup);
    EXPECT_EQ(code4cacheRunning(&cb), c.rc == 0 ? 1 : 0);
    ASSERT_EQ(code4cacheSuspend(&cb), 0);
  }
}

}  // namespace

namespace {

TEST_F(CacheTest, FlushWithDiscardForgetsTheBlocks) {
  startSmall();
  FILE4 f;
  ASSERT_EQ(file4create(&f, &cb, dir.file("fd.bin").c_str(), 1), 0);
  ASSERT_EQ(file4setCache(&f, 1, 1), 0);
  const std::string bytes(1024, 'w');
  struct Case {
    int discard;
    int64_t blocksLeft;
  } const cases[] = {{0, 2}, {1, 0}};
  for (const Case& c : cases) {
    ASSERT_EQ(file4writeAt(&f, 0, bytes.data(), bytes.size()), 0);
    std::string back(bytes.size(), '\0');
    ASSERT_EQ(file4readAt(&f, 0, back.data(), back.size()), 0);
    ASSERT_EQ(cache4blockCount(&cb, 1), 2);
    EXPECT_EQ(file4flush(&f, c.discard), 0);
    EXPECT_EQ(cache4blockCount(&cb, 1), c.blocksLeft) << c.discard;
    EXPECT_EQ(xbtest::readAll(dir.file("fd.bin")), bytes);
  }
  file4close(&f);
}

// A flush gives an exclusive file the length held in memory; a shared file keeps what
// another program appended past it.
TEST_F(CacheTest, FlushSetsTheHeldLengthOnlyOnAnExclusiveFile) {
  startSmall();
  struct Case {
    const char* name;
    int exclusive;
    int64_t lengthMadeOutside;
    int64_t lengthAfterFlush;
  } const cases[] = {
      {"exclusive, cut outside", 1, 100, 1024},
      {"exclusive, grown outside", 1, 3000, 1024},
      {"shared, appended by another program", 0, 3000, 3000},
  };
  int made = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cb.exclusive = c.exclusive;
    const std::string path = dir.file("held" + std::to_string(++made) + ".bin");
    FILE4 f;
    ASSERT_EQ(file4create(&f, &cb, path.c_str(), 1), 0);
    ASSERT_EQ(f.exclusiveOpen, c.exclusive);
    ASSERT_EQ(file4setCache(&f, 1, 1), 0);
    const std::string bytes(1024, 'h');
    ASSERT_EQ(file4writeAt(&f, 0, bytes.data(), bytes.size()), 0);
    ASSERT_EQ(file4flush(&f), 0);
    ASSERT_EQ(std::filesystem::file_size(path), 1024u);
    std::filesystem::resize_file(path, static_cast<uintmax_t>(c.lengthMadeOutside));
    EXPECT_EQ(file4flush(&f), 0);
    EXPECT_EQ(std::filesystem::file_size(path), static_cast<uintmax_t>(c.lengthAfterFlush));
    file4close(&f);
  }
  cb.exclusive = 0;
}

TEST_F(CacheTest, EvictionOrderIsTheOneSet) {
  cb.cacheBlockSize = 512;
  cb.readAheadSize = 1024;
  cb.cacheLimit = 30 * 1024; // 28 groups of two blocks
  // Refused without a running cache, for unknown kinds and for a kind named twice.
  EXPECT_EQ(code4cacheOrder(&cb, 3, 2, 1), -1);
  ASSERT_EQ(code4cacheStart(&cb), 0);
  ASSERT_EQ(cache4shape(&cb).groups * cache4shape(&cb).blocksPerGroup, 56);
  EXPECT_EQ(code4cacheOrder(&cb, 0, 2, 1), -1);
  EXPECT_EQ(code4cacheOrder(&cb, 1, 2, 4), -1);
  EXPECT_EQ(code4cacheOrder(&cb, 2, 2, 1), -1);
  code4cacheSuspend(&cb);
  // The last kind named is given up first.
  struct Case {
    int order[3];
    int64_t dataLeft, indexLeft;
  } const cases[] = {{{3, 2, 1}, 21, 25}, {{3, 1, 2}, 25, 21}};
  const std::string bytes(40 * 512, 'x');
  int round = 0;
  for (const Case& c : cases) {
    ASSERT_EQ(code4cacheStart(&cb), 0);
    ASSERT_EQ(code4cacheOrder(&cb, c.order[0], c.order[1], c.order[2]), 0);
    FILE4 f[3];
    for (int k = 0; k < 3; ++k) {
      const std::string path = dir.file("k" + std::to_string(round) + std::to_string(k));
      xbtest::writeAll(path, bytes);
      ASSERT_EQ(file4open(&f[k], &cb, path.c_str(), 1), 0);
      ASSERT_EQ(file4setCache(&f[k], 1, k + 1), 0);
    }
    ++round;
    char buf[512];
    auto readBlocks = [&](FILE4& file, int n) {
      for (int b = 0; b < n; ++b) ASSERT_EQ(file4readAt(&file, b * 512, buf, sizeof buf), 0);
    };
    readBlocks(f[0], 25);
    readBlocks(f[1], 25);
    readBlocks(f[2], 10); // six free blocks, then four taken from others
    EXPECT_EQ(cache4blockCount(&cb, 1), c.dataLeft);
    EXPECT_EQ(cache4blockCount(&cb, 2), c.indexLeft);
    EXPECT_EQ(cache4blockCount(&cb, 3), 10);
    for (FILE4& file : f) file4close(&file);
    code4cacheSuspend(&cb);
  }
}

TEST_F(CacheTest, TablesJoinAndHoldWritesBackAsAWhole) {
  const FIELD4INFO fields[] = {{"NAME", 'C', 10, 0}, {"NOTE", 'M', 10, 0}, {nullptr, 0, 0, 0}};
  const TAG4INFO tags[] = {{"NAME", "NAME", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  cb.cacheMode = 0;
  ASSERT_EQ(code4cacheStart(&cb), 0);
  // Held-back writes only for exclusive files.
  for (int exclusive : {0, 1}) {
    SCOPED_TRACE(exclusive);
    cb.exclusive = exclusive;
    DATA4* d = d4create(&cb, dir.file("opt" + std::to_string(exclusive)).c_str(), fields, tags);
    ASSERT_NE(d, nullptr);
    INDEX4* ix = reinterpret_cast<INDEX4*>(l4first(&d->indexes));
    ASSERT_NE(ix, nullptr);
    FILE4* files[] = {&d->file, &ix->file, &d->memoFile.file};
    const int kinds[] = {1, 2, 3};
    for (FILE4* f : files) EXPECT_EQ(f->cacheKind, 0);
    EXPECT_EQ(d4optimize(d, 1), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(files[i]->cacheKind, kinds[i]) << i;
    EXPECT_EQ(d4optimizeWrite(d, 1), 0);
    for (FILE4* f : files) EXPECT_EQ(f->writeBehindOn, exclusive);
    EXPECT_EQ(d4optimizeWrite(d, 0), 0);
    for (FILE4* f : files) EXPECT_EQ(f->writeBehindOn, 0);
    EXPECT_EQ(d4optimize(d, 0), 0);
    for (FILE4* f : files) EXPECT_EQ(f->cacheKind, 0);
    EXPECT_EQ(d4optimize(d, 2), -1);
    EXPECT_EQ(d4optimizeWrite(d, -2), -1);
    d4close(d);
  }
}

} // namespace
