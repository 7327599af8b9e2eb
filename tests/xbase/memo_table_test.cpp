#include "test_util.h"
#include "xbase/memo.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <random>

using xbtest::EngineTest;
using xbtest::readAll;
using xbtest::writeAll;

namespace {

uint32_t u32(const std::string& s, size_t at) {
  return static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8 |
         static_cast<unsigned char>(s[at + 2]) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}

class MemoTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    const FIELD4INFO fields[] = {{"NAME", 'C', 8, 0}, {"NOTE", 'M', 10, 0}, {nullptr, 0, 0, 0}};
    d = d4create(&cb, dir.file("m").c_str(), fields, nullptr);
    ASSERT_NE(d, nullptr);
    note = d4fieldByName(d, "NOTE");
    name = d4fieldByName(d, "NAME");
  }

  // Appends a record with the memo, writing the memo through a record update.
  void appendWith(const std::string& text) {
    d4blank(d);
    ASSERT_EQ(d4append(d), 0);
    ASSERT_EQ(f4memoAssignN(note, text.data(), static_cast<uint32_t>(text.size())), 0);
    ASSERT_EQ(d4flush(d), 0);
  }

  std::string memoOf(int32_t n) {
    EXPECT_EQ(d4go(d, n), 0);
    return std::string(f4memoPtr(note), f4memoLen(note));
  }

  std::string memoFile() { return readAll(dir.file("m.dbt")); }

  DATA4* d = nullptr;
  FIELD4* note = nullptr;
  FIELD4* name = nullptr;
};

TEST_F(MemoTest, FirstMemoLayout) {
  appendWith(std::string(100, 'a'));
  std::string f = memoFile();
  ASSERT_EQ(f.size(), 1024u);
  EXPECT_EQ(u32(f, 0), 2u) << "the end of the file is the next free block";
  EXPECT_EQ(f.substr(512, 8), std::string("\xFF\xFF\x08\x00\x6C\x00\x00\x00", 8));
  EXPECT_EQ(f.substr(520, 100), std::string(100, 'a'));
  EXPECT_EQ(std::string(f4ptr(note), 10), "         1");
  EXPECT_EQ(memoOf(1), std::string(100, 'a'));
}

TEST_F(MemoTest, RewriteShorterReusesTheTailAndFreesTheHead) {
  appendWith(std::string(600, 'b'));
  EXPECT_EQ(memoFile().size(), 1536u);
  ASSERT_EQ(f4memoAssign(note, std::string(100, 'c').c_str()), 0);
  ASSERT_EQ(d4flush(d), 0);
  std::string f = memoFile();
  EXPECT_EQ(std::string(f4ptr(note), 10), "         2");
  EXPECT_EQ(u32(f, 0), 1u) << "the freed block heads the chain";
  EXPECT_EQ(u32(f, 512), 3u) << "and links to the end";
  EXPECT_EQ(u32(f, 516), 1u);
  EXPECT_EQ(memoOf(1), std::string(100, 'c'));

  // An empty memo frees its run and blanks the field.
  ASSERT_EQ(d4go(d, 1), 0);
  ASSERT_EQ(f4memoAssign(note, ""), 0);
  ASSERT_EQ(d4flush(d), 0);
  EXPECT_EQ(std::string(f4ptr(note), 10), std::string(10, ' '));
  f = memoFile();
  EXPECT_EQ(u32(f, 0), 1u);
  EXPECT_EQ(u32(f, 512), 3u);
  EXPECT_EQ(u32(f, 516), 2u) << "merged with the run before it";
  EXPECT_EQ(memoOf(1), "");
}

TEST_F(MemoTest, LargeMemosHaveNoSixteenBitLimit) {
  std::string big(70000, 'x');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  appendWith(big);
  EXPECT_EQ(memoOf(1), big);
  char small[5];
  EXPECT_EQ(f4memoCopyTo(note, small, sizeof(small)), 4u);
  EXPECT_STREQ(small, "abcd");
  EXPECT_EQ(f4memoCopyTo(note, small, 0), 0u);
}

TEST_F(MemoTest, PerlXBaseReadsOurMemos) {
  if (!std::filesystem::exists("/usr/bin/dbf_dump")) GTEST_SKIP() << "dbf_dump (libdbd-xbase-perl) not installed";
  appendWith("first memo");
  appendWith(std::string(700, 'z'));
  appendWith("");
  ASSERT_EQ(d4go(d, 1), 0);
  ASSERT_EQ(f4memoAssign(note, "rewritten"), 0);
  ASSERT_EQ(d4close(d), 0);
  d = nullptr;
  std::string cmd = "/usr/bin/dbf_dump --fs '|' " + dir.file("m.dbf");
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  pclose(p);
  EXPECT_EQ(out, "|rewritten\n|" + std::string(700, 'z') + "\n|\n");
}

// Free-chain invariants: ascending, non-overlapping runs inside the file that
// never cover a live entry.
void checkChain(const std::string& f, const std::map<int, std::pair<int32_t, std::string>>& live) {
  const uint32_t bs = 512;
  uint32_t endBlock = static_cast<uint32_t>((f.size() + bs - 1) / bs);
  uint32_t next = u32(f, 0);
  uint32_t floor = 1;
  std::vector<std::pair<uint32_t, uint32_t>> runs;
  while (next < endBlock) {
    ASSERT_GE(next, floor) << "chain not ascending";
    uint32_t len = u32(f, next * bs + 4);
    ASSERT_GE(len, 1u);
    ASSERT_LE(next + len, endBlock);
    runs.push_back({next, len});
    floor = next + len;
    next = u32(f, next * bs);
    ASSERT_LE(runs.size(), endBlock);
  }
  for (const auto& [rec, entry] : live) {
    int32_t block = entry.first;
    if (block == 0) continue;
    uint32_t blocks = static_cast<uint32_t>((entry.second.size() + 8 + bs - 1) / bs);
    for (const auto& r : runs)
      ASSERT_TRUE(static_cast<uint32_t>(block) + blocks <= r.first || r.first + r.second <= static_cast<uint32_t>(block))
          << "free run covers the memo of record " << rec;
  }
}

TEST_F(MemoTest, RandomModelOfWritesRewritesAndDeletes) {
  std::mt19937 rng(99);
  std::uniform_int_distribution<int> record(1, 12);
  std::uniform_int_distribution<int> size(0, 3000);
  std::map<int, std::pair<int32_t, std::string>> model;
  for (int i = 1; i <= 12; ++i) {
    appendWith("");
    model[i] = {0, ""};
  }
  for (int step = 0; step < 400; ++step) {
    int n = record(rng);
    std::string text(static_cast<size_t>(size(rng) < 300 ? 0 : size(rng)), static_cast<char>('A' + step % 26));
    ASSERT_EQ(d4go(d, n), 0);
    ASSERT_EQ(f4memoAssignN(note, text.data(), static_cast<uint32_t>(text.size())), 0);
    ASSERT_EQ(d4flush(d), 0);
    model[n] = {static_cast<int32_t>(f4long(note)), text};
    if (step % 40 == 0) {
      for (const auto& [rec, entry] : model) ASSERT_EQ(memoOf(rec), entry.second) << rec;
      checkChain(memoFile(), model);
    }
  }
  for (const auto& [rec, entry] : model) ASSERT_EQ(memoOf(rec), entry.second) << rec;
  checkChain(memoFile(), model);

  size_t before = memoFile().size();
  ASSERT_EQ(d4memoPack(d), 0);
  std::string packed = memoFile();
  EXPECT_LE(packed.size(), before);
  EXPECT_EQ(u32(packed, 0), (packed.size() + 511) / 512) << "no free runs after a pack";
  for (const auto& [rec, entry] : model) {
    ASSERT_EQ(memoOf(rec), entry.second) << rec;
    std::string ref(f4ptr(note), 10);
    if (!entry.second.empty()) {
      EXPECT_EQ(ref[0], '0') << "references are zero-padded";
    }
  }
  EXPECT_EQ(dir.entries(), 2u) << "no temporary file left";
}

TEST_F(MemoTest, FailedPackLeavesBothFilesAsTheyWere) {
  for (int i = 0; i < 6; ++i) appendWith(std::string(static_cast<size_t>(100 + 300 * i), static_cast<char>('a' + i)));
  ASSERT_EQ(d4go(d, 2), 0);
  ASSERT_EQ(f4memoAssign(note, ""), 0);
  ASSERT_EQ(d4flush(d), 0);
  std::string table = readAll(dir.file("m.dbf"));
  std::string memo = memoFile();
  cb.errorOff = 1;
  for (int failAt = 1; failAt <= 8; ++failAt) {
    file4injectWriteFailure(failAt);
    EXPECT_NE(d4memoPack(d), 0) << failAt;
    file4injectWriteFailure(-1);
    error4set(&cb, 0);
    d4unlockAll(d);
    EXPECT_EQ(readAll(dir.file("m.dbf")), table) << failAt;
    EXPECT_EQ(memoFile(), memo) << failAt;
    EXPECT_EQ(dir.entries(), 2u) << failAt;
  }
  ASSERT_EQ(d4memoPack(d), 0);
  EXPECT_LT(memoFile().size(), memo.size());
  EXPECT_EQ(memoOf(6), std::string(1600, 'f'));
}

TEST_F(MemoTest, DamagedEntriesAndChains) {
  appendWith(std::string(100, 'a'));
  appendWith(std::string(100, 'b'));
  ASSERT_EQ(d4close(d), 0);
  std::string good = memoFile();
  cb.errorOff = 1;
  auto reopenAndRead = [&](const std::string& bytes, int32_t n) {
    writeAll(dir.file("m.dbt"), bytes);
    error4set(&cb, 0);
    d = d4open(&cb, dir.file("m").c_str());
    EXPECT_NE(d, nullptr);
    note = d4fieldByName(d, "NOTE");
    EXPECT_EQ(d4go(d, n), 0);
    (void)f4memoLen(note);
    int code = cb.errorCode;
    error4set(&cb, 0);
    return code;
  };
  std::string shortEntry = good;
  shortEntry[512 + 4] = 3;
  EXPECT_EQ(reopenAndRead(shortEntry, 1), err4info) << "stored length below 8";
  d4close(d);
  std::string pastEnd = good;
  pastEnd[512 + 6] = 0x10;
  EXPECT_EQ(reopenAndRead(pastEnd, 1), err4info) << "entry past the end of the file";
  d4close(d);
  std::string noMark = good;
  noMark[1024] = 0;
  EXPECT_EQ(reopenAndRead(noMark, 2), 0);
  EXPECT_EQ(f4memoLen(note), 0u) << "no entry mark: no contents";
  d4close(d);

  // A chain that loops back on itself is not followed around.
  std::string loop = good;
  loop[0] = 1;                       // head -> block 1 (a live entry!)
  loop[512] = 1; loop[513] = 0; loop[514] = 0; loop[515] = 0;
  loop[516] = 1;
  EXPECT_EQ(reopenAndRead(loop, 2), 0);
  ASSERT_EQ(f4memoAssign(note, std::string(50, 'q').c_str()), 0);
  EXPECT_EQ(d4flush(d), 0);
  EXPECT_EQ(memoOf(2), std::string(50, 'q'));
  d4close(d);
  d = nullptr;
  writeAll(dir.file("m.dbt"), std::string("\x01\0\0\0", 4));
  error4set(&cb, 0);
  // The table still opens; its memo reads report the short header.
  d = d4open(&cb, dir.file("m").c_str());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(cb.errorCode, 0);
  ASSERT_EQ(d4go(d, 1), 0);
  EXPECT_EQ(f4memoRead(d4fieldByName(d, "NOTE")), -1);
  EXPECT_EQ(cb.errorCode, err4read);
  error4set(&cb, 0);
  d4close(d);
}

} // namespace

namespace {

TEST_F(EngineTest, PackOfAnExclusiveTableRenamesTheFreshFile) {
  cb.exclusive = 1;
  const FIELD4INFO fields[] = {{"NOTE", 'M', 10, 0}, {nullptr, 0, 0, 0}};
  DATA4* d = d4create(&cb, dir.file("ex").c_str(), fields, nullptr);
  ASSERT_NE(d, nullptr);
  FIELD4* note = d4fieldByName(d, "NOTE");
  for (int i = 0; i < 5; ++i) {
    d4blank(d);
    ASSERT_EQ(d4append(d), 0);
    ASSERT_EQ(f4memoAssign(note, std::string(static_cast<size_t>(600 * (5 - i)), static_cast<char>('a' + i)).c_str()), 0);
    ASSERT_EQ(d4flush(d), 0);
  }
  for (int n : {1, 3}) {
    ASSERT_EQ(d4go(d, n), 0);
    ASSERT_EQ(f4memoAssign(note, ""), 0);
  }
  ASSERT_EQ(d4flush(d), 0);
  size_t before = xbtest::readAll(dir.file("ex.dbt")).size();
  ASSERT_EQ(d4memoPack(d), 0);
  EXPECT_LT(xbtest::readAll(dir.file("ex.dbt")).size(), before);
  for (int n = 1; n <= 5; ++n) {
    ASSERT_EQ(d4go(d, n), 0);
    std::string want = n == 1 || n == 3 ? "" : std::string(static_cast<size_t>(600 * (6 - n)), static_cast<char>('a' + n - 1));
    EXPECT_EQ(std::string(f4memoPtr(note), f4memoLen(note)), want) << n;
  }
  // The renamed file is the one the table now writes to.
  ASSERT_EQ(d4go(d, 1), 0);
  ASSERT_EQ(f4memoAssign(note, "after pack"), 0);
  ASSERT_EQ(d4close(d), 0);
  d = d4open(&cb, dir.file("ex").c_str());
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d4go(d, 1), 0);
  EXPECT_STREQ(f4memoStr(d4fieldByName(d, "NOTE")), "after pack");
  EXPECT_EQ(dir.entries(), 2u);
  d4close(d);
}

} // namespace
