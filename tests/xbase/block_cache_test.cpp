// Block cache: sizing, coherence with the file under random reads and writes,
// partial last blocks, failed write-backs, and index work through the cache.
#include "tests/xbase/test_util.h"
#include "xbase/block_cache.h"
#include "xbase/index.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include "tests/support/numbered.h"

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

}  // namespace
