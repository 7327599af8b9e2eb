// Hostile table files: every open ends in a defined result, and a table that
// opens can be walked without crashing.
#include "test_util.h"
#include "xbase/memo.h"

#include <random>
#include <set>

using xbtest::EngineTest;
using xbtest::readAll;
using xbtest::writeAll;

namespace {

class CorruptTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    cb.errorOff = 1;
    const FIELD4INFO fields[] = {{"NAME", 'C', 300, 0}, {"QTY", 'N', 8, 2}, {"BORN", 'D', 8, 0},
                                 {"OK", 'L', 1, 0},     {"NOTE", 'M', 10, 0}, {nullptr, 0, 0, 0}};
    DATA4* d = d4create(&cb, dir.file("good").c_str(), fields, nullptr);
    ASSERT_NE(d, nullptr);
    for (int i = 0; i < 3; ++i) {
      d4blank(d);
      f4assign(d4fieldByName(d, "NAME"), "row");
      f4assignLong(d4fieldByName(d, "BORN"), 2451545 + i);
      ASSERT_EQ(d4append(d), 0);
    }
    ASSERT_EQ(d4close(d), 0);
    good = readAll(dir.file("good.dbf"));
    memo = readAll(dir.file("good.dbt"));
  }

  // Opens the bytes as a table and walks it. Returns the open's result code.
  int tryOpen(const std::string& bytes) {
    writeAll(dir.file("bad.dbf"), bytes);
    writeAll(dir.file("bad.dbt"), memo);
    error4set(&cb, 0);
    DATA4* d = d4open(&cb, dir.file("bad").c_str());
    if (d == nullptr) {
      EXPECT_EQ(cb.dataList.count, 0);
      return cb.errorCode;
    }
    static const std::set<int> walkResults = {0, -1, status4eof, err4read, err4parm};
    EXPECT_EQ(walkResults.count(d4top(d)), 1u);
    error4set(&cb, 0);
    int32_t count = d4recordCount(d);
    for (int32_t n = 1; n <= count && n <= 20; ++n) {
      int rc = d4go(d, n);
      EXPECT_TRUE(rc == 0 || rc == err4read) << rc;
      for (int f = 1; rc == 0 && f <= d4fieldCount(d); ++f) {
        FIELD4* field = d4fieldByNumber(d, f);
        (void)f4str(field);
        (void)f4double(field);
        (void)f4long(field);
      }
      error4set(&cb, 0);
    }
    int rc = d4bottom(d);
    EXPECT_TRUE(rc == 0 || rc == status4eof || rc == err4read || rc == err4parm) << rc;
    error4set(&cb, 0);
    EXPECT_EQ(d4close(d), 0);
    return 0;
  }

  std::string good, memo;
};

// -60: the header asks for a production index that is not there.
const std::set<int> kOpenResults = {0, err4read, err4data, err4fieldType, err4open};

TEST_F(CorruptTest, TheGoodTableOpens) { EXPECT_EQ(tryOpen(good), 0); }

TEST_F(CorruptTest, EveryTruncation) {
  for (size_t len = 0; len <= good.size(); ++len) {
    int rc = tryOpen(good.substr(0, len));
    EXPECT_EQ(kOpenResults.count(rc), 1u) << "length " << len << " gave " << rc;
    if (len < 32) {
      EXPECT_EQ(rc, err4read) << len;
    }
  }
}

TEST_F(CorruptTest, HeaderFields) {
  auto with16 = [&](size_t at, unsigned v) {
    std::string b = good;
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
    return b;
  };
  for (unsigned v : {0u, 1u, 31u, 32u}) EXPECT_EQ(tryOpen(with16(8, v)), err4data) << v;
  for (unsigned v : {33u, 64u, 65u, 100u, 300u, 0xFFFFu}) {
    int rc = tryOpen(with16(8, v));
    EXPECT_EQ(kOpenResults.count(rc), 1u) << v << " gave " << rc;
  }
  for (unsigned v : {0u, 1u, 327u, 329u, 0xFFFFu}) EXPECT_EQ(tryOpen(with16(10, v)), err4data) << v;
  for (uint32_t count : {4u, 1000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    std::string b = good;
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<char>(count >> (8 * i));
    EXPECT_EQ(tryOpen(b), 0) << count;
  }
  std::string noTerminator = good;
  noTerminator[32 + 5 * 32] = 'X';
  EXPECT_EQ(tryOpen(noTerminator), err4data);
}

TEST_F(CorruptTest, FieldDescriptors) {
  for (int type : {0, 1, int{'?'}, 0xFF, int{'7'}}) {
    std::string b = good;
    b[32 + 11] = static_cast<char>(type);
    EXPECT_EQ(tryOpen(b), err4fieldType) << type;
  }
  // A letter the engine does not know is read as text, as other readers do.
  std::string unknown = good;
  unknown[32 + 32 + 11] = 'Z';
  unknown[32 + 32 + 17] = 0;
  EXPECT_EQ(tryOpen(unknown), 0);
  for (int len : {0, 7, 9, 255}) {
    std::string b = good;
    b[32 + 64 + 16] = static_cast<char>(len);
    EXPECT_EQ(tryOpen(b), err4data) << len;
  }
  // A date narrower than its eight digits, the record length agreeing with it.
  for (int len : {0, 4}) {
    std::string b = good;
    b[32 + 64 + 16] = static_cast<char>(len);
    b[10] = static_cast<char>((328 - 8 + len) & 0xFF);  // the high byte stays 1
    EXPECT_EQ(tryOpen(b), err4data) << len;
  }
  std::string noName = good;
  std::fill(noName.begin() + 32, noName.begin() + 43, '\xFF');
  EXPECT_EQ(tryOpen(noName), 0);
}

TEST_F(CorruptTest, RandomMutations) {
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<size_t> span(0, 220);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> howMany(1, 6);
  for (int round = 0; round < 3000; ++round) {
    std::string b = good;
    for (int k = howMany(rng); k > 0; --k) b[span(rng) % b.size()] = static_cast<char>(byte(rng));
    if (round % 7 == 0) b.resize(span(rng) % b.size());
    int rc = tryOpen(b);
    ASSERT_EQ(kOpenResults.count(rc), 1u) << "round " << round << " gave " << rc;
  }
}

TEST_F(CorruptTest, MemoHeaderDamage) {
  for (size_t len : {0u, 10u, 23u}) {
    writeAll(dir.file("m.dbf"), good);
    writeAll(dir.file("m.dbt"), memo.substr(0, len));
    error4set(&cb, 0);
    // The table opens; each memo read reports the damaged header.
    DATA4* d = d4open(&cb, dir.file("m").c_str());
    ASSERT_NE(d, nullptr) << len;
    EXPECT_EQ(cb.errorCode, 0) << len;
    ASSERT_EQ(d4go(d, 1), 0);
    EXPECT_EQ(f4memoPtr(d4fieldByName(d, "NOTE")), nullptr) << len;
    EXPECT_EQ(cb.errorCode, err4read) << len;
    error4set(&cb, 0);
    d4close(d);
  }
}

} // namespace
