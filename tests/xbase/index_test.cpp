// Multiple-index files: layout, key maintenance against a model, unique and
// descending tags, rebuild, and damaged files.
#include "tests/xbase/test_util.h"
#include "xbase/decimal_keys.h"
#include "xbase/index.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>
#include "tests/support/numbered.h"

namespace {

using xbtest::EngineTest;
using xbtest::readAll;
using xbtest::readCalls;
using xbtest::writeAll;

uint32_t le32(const std::string& s, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(s[at])) |
         static_cast<uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}
uint16_t le16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) |
                               static_cast<unsigned char>(s[at + 1]) << 8);
}

// Every (key, record) of a tag in tag order.
std::vector<std::pair<std::string, int32_t>> walk(TAG4* t) {
  std::vector<std::pair<std::string, int32_t>> out;
  if (t4top(t) < 0) return out;
  if (t4eof(t)) return out;
  for (int guard = 0; guard < 1000000; ++guard) {
    const char* k = t4key(t);
    if (k == nullptr) break;
    out.emplace_back(std::string(k, static_cast<size_t>(t->keyLen)), t4recordNumber(t));
    if (t4skip(t, 1) != 1) break;
  }
  return out;
}

// Groups records by key, so orders that differ only among equal keys compare equal.
std::vector<std::pair<std::string, std::set<int32_t>>> grouped(
    const std::vector<std::pair<std::string, int32_t>>& w) {
  std::vector<std::pair<std::string, std::set<int32_t>>> g;
  for (const auto& [k, r] : w) {
    if (g.empty() || g.back().first != k) g.push_back({k, {}});
    g.back().second.insert(r);
  }
  return g;
}

const FIELD4INFO kPhoneFields[] = {{"PHONE", 'C', 25, 0}, {"NAME", 'C', 20, 0}, {nullptr, 0, 0, 0}};
const TAG4INFO kPhoneTags[] = {{"UNIQUE", "PHONE", ".NOT.DELETED()", 20, 0}, {nullptr, nullptr, nullptr, 0, 0}};

class IndexTest : public EngineTest {
 protected:
  void append(DATA4* d, const char* field, const std::string& value) {
    d4blank(d);
    f4assign(d4fieldByName(d, field), value.c_str());
    ASSERT_EQ(d4append(d), 0);
  }
};

TEST_F(IndexTest, RebuildReadsThroughABufferOfTheSetSize) {
  cb.exclusive = 1; // read calls, not a shared view
  DATA4* d = d4create(&cb, dir.file("big.dbf").c_str(), kPhoneFields, kPhoneTags);
  ASSERT_NE(d, nullptr);
  for (int i = 0; i < 4000; ++i) append(d, "PHONE", std::to_string(100000 + i));
  // Values under 1,024 are raised to 1,024.
  const int32_t sizes[] = {512, 1024, 4096, 16384};
  std::map<int32_t, int64_t> calls;
  for (int32_t size : sizes) {
    cb.rebuildBufferSize = size;
    const int64_t before = readCalls();
    ASSERT_EQ(d4reindex(d), 0);
    calls[size] = readCalls() - before;
  }
  EXPECT_EQ(calls[512], calls[1024]);
  EXPECT_LT(calls[4096] * 2, calls[1024]);
  EXPECT_LT(calls[16384] * 2, calls[4096]);
  EXPECT_EQ(d4seek(d, "103999"), 0);
  d4close(d);
}

TEST_F(IndexTest, PhoneBookLayoutIsByteExact) {
  std::string dbf = dir.file("ispbk.dbf");
  DATA4* d = d4create(&cb, dbf.c_str(), kPhoneFields, kPhoneTags);
  ASSERT_NE(d, nullptr);
  append(d, "PHONE", "0301234");
  append(d, "PHONE", "0209999");
  ASSERT_EQ(d4close(d), 0);

  std::string mdx = readAll(dir.file("ispbk.mdx"));
  ASSERT_GE(mdx.size(), 4096u);
  EXPECT_EQ(mdx[0], 2);
  EXPECT_EQ(std::string(mdx.data() + 4), "ispbk");
  EXPECT_EQ(le16(mdx, 20), 2);
  EXPECT_EQ(le16(mdx, 22), 1024);
  EXPECT_EQ(mdx[24], 1);
  EXPECT_EQ(mdx[25], 48);
  EXPECT_EQ(le16(mdx, 26), 32);
  EXPECT_EQ(le16(mdx, 28), 1);
  EXPECT_EQ(static_cast<uint64_t>(le32(mdx, 32)) * 512, mdx.size());
  EXPECT_EQ(mdx[529], 1);
  for (size_t i = 48; i < 544; ++i) {
    if (i != 529) {
      ASSERT_EQ(mdx[i], 0) << i;
    }
  }
  // Tag entry.
  EXPECT_EQ(le32(mdx, 544), 4u);
  EXPECT_EQ(std::string(mdx.data() + 548, 7), std::string("UNIQUE\0", 7));
  EXPECT_EQ(le16(mdx, 544 + 14), 4096);
  EXPECT_EQ(mdx[544 + 16], 0);
  EXPECT_EQ(mdx[544 + 18], 0);
  EXPECT_EQ(mdx[544 + 19], 2);
  EXPECT_EQ(mdx[544 + 20], 'C');
  for (size_t i = 576; i < 2048; ++i) ASSERT_EQ(mdx[i], 0) << i;
  // Tag header.
  const size_t h = 2048;
  EXPECT_EQ(static_cast<unsigned char>(mdx[h + 8]), 0x50);
  EXPECT_EQ(mdx[h + 9], 'C');
  EXPECT_EQ(le16(mdx, h + 12), 25);
  EXPECT_EQ(le16(mdx, h + 14), 31);
  EXPECT_EQ(mdx[h + 16], 0);
  EXPECT_EQ(le16(mdx, h + 18), 32);
  EXPECT_EQ(le16(mdx, h + 22), 0x4000);
  EXPECT_EQ(std::string(mdx.data() + h + 24), "PHONE");
  EXPECT_EQ(mdx[h + 245], 1);
  EXPECT_EQ(mdx[h + 246], 1);
  EXPECT_EQ(std::string(mdx.data() + h + 762), ".NOT.DELETED()");
  // The root: one leaf with both keys in order and record number 0 after them.
  uint32_t root = le32(mdx, h);
  ASSERT_EQ(root, 6u);
  size_t r = root * 512;
  EXPECT_EQ(le32(mdx, r), 2u);
  EXPECT_EQ(le32(mdx, r + 8), 2u);
  EXPECT_EQ(std::string(mdx.data() + r + 12, 25), "0209999" + std::string(18, ' '));
  EXPECT_EQ(le32(mdx, r + 40), 1u);
  EXPECT_EQ(le32(mdx, r + 72), 0u);

  std::string table = readAll(dbf);
  EXPECT_EQ(table[28], 1);
  EXPECT_EQ(table[32 + 31], 1);  // PHONE is the key expression
  EXPECT_EQ(table[64 + 31], 0);
}

TEST_F(IndexTest, NameTreeAndTagHeaders) {
  const FIELD4INFO fields[] = {{"A", 'C', 4, 0}, {"N", 'N', 6, 2}, {"D", 'D', 8, 0}, {nullptr, 0, 0, 0}};
  const TAG4INFO tags[] = {{"MID", "A", nullptr, 0, 0},
                           {"alpha", "N", nullptr, 0, 1},
                           {"ZED", "D", nullptr, 0, 0},
                           {nullptr, nullptr, nullptr, 0, 0}};
  DATA4* d = d4create(&cb, dir.file("t.dbf").c_str(), fields, tags);
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d4close(d), 0);
  std::string mdx = readAll(dir.file("t.mdx"));
  const size_t e1 = 544, e2 = 576, e3 = 608;
  EXPECT_EQ(std::string(mdx.data() + e2 + 4), "ALPHA");
  EXPECT_EQ(mdx[e1 + 16], 2);  // ALPHA < MID: left of tag 1
  EXPECT_EQ(mdx[e1 + 17], 3);  // ZED: right
  EXPECT_EQ(mdx[e2 + 18], 1);
  EXPECT_EQ(mdx[e3 + 18], 1);
  EXPECT_EQ(le32(mdx, e2), 6u);
  EXPECT_EQ(le32(mdx, e3), 8u);
  const size_t hn = 6 * 512, hd = 8 * 512;
  EXPECT_EQ(static_cast<unsigned char>(mdx[hn + 8]), 0x18);  // descending
  EXPECT_EQ(mdx[hn + 9], 'N');
  EXPECT_EQ(le16(mdx, hn + 12), 12);
  EXPECT_EQ(le16(mdx, hn + 18), 16);
  EXPECT_EQ(le16(mdx, hn + 14), (1024 - 12) / 16);
  EXPECT_EQ(mdx[hd + 9], 'D');
  EXPECT_EQ(mdx[hd + 16], 1);
  EXPECT_EQ(le16(mdx, hd + 12), 8);
  EXPECT_EQ(le16(mdx, hd + 18), 12);
  EXPECT_EQ(mdx[hd + 245], 0);
}

TEST_F(IndexTest, UniqueCodesOnRebuildAndAppend) {
  DATA4* d = d4create(&cb, dir.file("u.dbf").c_str(), kPhoneFields, nullptr);
  ASSERT_NE(d, nullptr);
  append(d, "PHONE", "111");
  append(d, "PHONE", "111");
  append(d, "PHONE", "222");
  // Code 20: the rebuild refuses, no index stays open, status 20 remains.
  TAG4INFO t20[] = {{"U", "PHONE", nullptr, 20, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  EXPECT_EQ(i4create(d, dir.file("u20").c_str(), t20), nullptr);
  EXPECT_EQ(cb.errorCode, 20);
  EXPECT_EQ(d->indexes.count, 0);
  cb.errorCode = 0;
  // Code 25: the higher record number is left out.
  TAG4INFO t25[] = {{"U", "PHONE", nullptr, 25, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  INDEX4* ix = i4create(d, dir.file("u25").c_str(), t25);
  ASSERT_NE(ix, nullptr);
  TAG4* t = i4tagByName(ix, "u");
  ASSERT_NE(t, nullptr);
  auto w = walk(t);
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0].second, 1);
  EXPECT_EQ(w[1].second, 3);
  // Appending a duplicate under code 25: the record goes in, its key does not.
  append(d, "PHONE", "222");
  EXPECT_EQ(walk(t).size(), 2u);
  EXPECT_EQ(d4recordCount(d), 4);
  ASSERT_EQ(i4close(ix), 0);

  // Code 20 on append: refused, nothing written, earlier tags rolled back.
  d4close(d);
  d = d4create(&cb, dir.file("v.dbf").c_str(), kPhoneFields, kPhoneTags);
  ASSERT_NE(d, nullptr);
  append(d, "PHONE", "5");
  d4blank(d);
  f4assign(d4fieldByName(d, "PHONE"), "5");
  EXPECT_EQ(d4append(d), 20);
  EXPECT_EQ(d4recordCount(d), 1);
  // Changing record 1 to a new key and back keeps one key.
  ASSERT_EQ(d4go(d, 1), 0);
  f4assign(d4fieldByName(d, "PHONE"), "6");
  ASSERT_EQ(d4flush(d), 0);
  EXPECT_EQ(d4seek(d, "6"), 0);
  EXPECT_EQ(d4seek(d, "5"), 2);  // on the next greater key
  EXPECT_EQ(d4recordNumber(d), 1);
  EXPECT_EQ(t4check(d4tagDefault(d)), 0);
  d4close(d);
}

TEST_F(IndexTest, UniqueErrorCodeRaises) {
  DATA4* d = d4create(&cb, dir.file("e.dbf").c_str(), kPhoneFields, nullptr);
  ASSERT_NE(d, nullptr);
  append(d, "PHONE", "1");
  append(d, "PHONE", "1");
  TAG4INFO te[] = {{"U", "PHONE", nullptr, err4unique, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  EXPECT_EQ(i4create(d, nullptr, te), nullptr);
  EXPECT_EQ(cb.errorCode, err4unique);  // an error is not turned into status 20
  cb.errorCode = 0;
  // The stopped build leaves a file that does not open.
  EXPECT_EQ(i4open(d, nullptr), nullptr);
  EXPECT_EQ(cb.errorCode, err4index);
  cb.errorCode = 0;
  d4close(d);
}

TEST_F(IndexTest, FilteredTagClearsHasKeysWhenEmptied) {
  DATA4* d = d4create(&cb, dir.file("f.dbf").c_str(), kPhoneFields, kPhoneTags);
  ASSERT_NE(d, nullptr);
  append(d, "PHONE", "42");
  std::string mdx = dir.file("f.mdx");
  EXPECT_EQ(readAll(mdx)[2048 + 246], 1);
  ASSERT_EQ(d4go(d, 1), 0);
  d4delete(d);
  ASSERT_EQ(d4flush(d), 0);
  EXPECT_EQ(readAll(mdx)[2048 + 246], 0);
  EXPECT_EQ(d4seek(d, "42"), 3);
  ASSERT_EQ(d4go(d, 1), 0);
  d4recall(d);
  ASSERT_EQ(d4flush(d), 0);
  EXPECT_EQ(d4seek(d, "42"), 0);
  EXPECT_EQ(d4recordNumber(d), 1);
  EXPECT_EQ(readAll(mdx)[2048 + 246], 1);
  d4close(d);
}

TEST_F(IndexTest, EmptyTableAndProductionAutoOpen) {
  std::string dbf = dir.file("e.dbf");
  DATA4* d = d4create(&cb, dbf.c_str(), kPhoneFields, kPhoneTags);
  ASSERT_NE(d, nullptr);
  TAG4* t = d4tagDefault(d);
  ASSERT_NE(t, nullptr);
  char key[25];
  std::memset(key, ' ', sizeof(key));
  EXPECT_EQ(t4seek(t, key, 25), 2);
  EXPECT_TRUE(t4eof(t));
  EXPECT_EQ(d4seek(d, "x"), 3);
  d4close(d);
  // The production flag makes the index open with the table; upper-case names are found.
  std::filesystem::rename(dir.file("e.mdx"), dir.file("E.MDX"));
  d = d4open(&cb, dbf.c_str());
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d->indexes.count, 1);
  append(d, "PHONE", "7");
  EXPECT_EQ(d4seek(d, "7"), 0);
  d4close(d);
}

TEST_F(IndexTest, NumericAndDateKeysOrder) {
  const FIELD4INFO fields[] = {{"N", 'N', 12, 3}, {"D", 'D', 8, 0}, {nullptr, 0, 0, 0}};
  const TAG4INFO tags[] = {{"NUM", "N", nullptr, 0, 0}, {"DAY", "D", nullptr, 0, 0},
                           {"NDESC", "N", nullptr, 0, 1}, {nullptr, nullptr, nullptr, 0, 0}};
  DATA4* d = d4create(&cb, dir.file("n.dbf").c_str(), fields, tags);
  ASSERT_NE(d, nullptr);
  const char* nums[] = {"0.001", "0", "-1", "12.5", "-0.5", "1000"};
  const char* days[] = {"20260101", "19991231", "        ", "20000229", "18000101", "20260101"};
  for (int i = 0; i < 6; ++i) {
    d4blank(d);
    f4assign(d4fieldByName(d, "N"), nums[i]);
    f4assign(d4fieldByName(d, "D"), days[i]);
    ASSERT_EQ(d4append(d), 0);
  }
  std::vector<int32_t> order;
  for (auto& [k, r] : walk(d4tagByName(d, "NUM"))) order.push_back(r);
  EXPECT_EQ(order, (std::vector<int32_t>{3, 5, 2, 1, 4, 6}));
  order.clear();
  for (auto& [k, r] : walk(d4tagByName(d, "NDESC"))) order.push_back(r);
  EXPECT_EQ(order, (std::vector<int32_t>{6, 4, 1, 2, 5, 3}));
  order.clear();
  for (auto& [k, r] : walk(d4tagByName(d, "DAY"))) order.push_back(r);
  // The blank date keys as 1e100: after every real day. A new duplicate goes in
  // before the equal keys already there.
  EXPECT_EQ(order, (std::vector<int32_t>{5, 2, 4, 6, 1, 3}));

  d4tagSelect(d, d4tagByName(d, "NUM"));
  EXPECT_EQ(d4seek(d, "0"), 0);
  EXPECT_EQ(d4recordNumber(d), 2);
  EXPECT_EQ(d4seekDouble(d, 0.2), 2);
  EXPECT_EQ(d4recordNumber(d), 4);
  EXPECT_EQ(d4seekDouble(d, 0.1 + 0.2 + 12.2), 0);  // 12.5 within 15 digits
  EXPECT_EQ(d4seekDouble(d, 5000), 3);
  d4tagSelect(d, d4tagByName(d, "DAY"));
  EXPECT_EQ(d4seek(d, "20260101"), 0);
  EXPECT_EQ(d4recordNumber(d), 6);
  EXPECT_EQ(d4seek(d, "        "), 0);  // a blank-date seek finds blank dates
  EXPECT_EQ(d4recordNumber(d), 3);
  d4close(d);
}

TEST_F(IndexTest, NumericFieldKeysAreExactToTwentyDigits) {
  // In numeric order; neighbours differ only past the fifteenth digit.
  const char* whole[] = {"-9999999999999999999", "-12345678901234568", "-12345678901234567", "-1",
                         "0", "12345678901234567", "12345678901234568", "99999999999999999998",
                         "99999999999999999999"};
  const char* fraction[] = {"-0.000000000000002", "-0.000000000000001", "0.000000000000001",
                            "0.000000000000002", "12.345678901234567", "12.345678901234568"};
  const FIELD4INFO fields[] = {{"W", 'N', 20, 0}, {"F", 'N', 20, 15}, {nullptr, 0, 0, 0}};
  struct Case {
    const char* field;
    const char* const* values;
    int count;
  } cases[] = {{"W", whole, 9}, {"F", fraction, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    std::string name = dir.file(std::string("exact") + c.field + ".dbf");
    DATA4* d = d4create(&cb, name.c_str(), fields, nullptr);
    ASSERT_NE(d, nullptr);
    // Appended back to front, so the tag has to order them.
    for (int i = c.count - 1; i >= 0; --i) append(d, c.field, c.values[i]);
    const TAG4INFO unique[] = {{"U", c.field, nullptr, 20, 0}, {nullptr, nullptr, nullptr, 0, 0}};
    INDEX4* ix = i4create(d, nullptr, unique);
    ASSERT_NE(ix, nullptr) << "status " << cb.errorCode;
    EXPECT_EQ(cb.errorCode, 0);
    std::vector<int32_t> order, expected;
    for (auto& [k, r] : walk(d4tagByName(d, "U"))) order.push_back(r);
    for (int i = 0; i < c.count; ++i) expected.push_back(c.count - i);
    EXPECT_EQ(order, expected);
    d4tagSelect(d, d4tagByName(d, "U"));
    for (int i = 0; i < c.count; ++i) {
      EXPECT_EQ(d4seek(d, c.values[i]), 0) << c.values[i];
      EXPECT_EQ(d4recordNumber(d), c.count - i) << c.values[i];
    }
    d4close(d);
  }
  // Past twenty digits the twenty-first rounds; a carry out of all nines adds a place.
  char a[c4bcdLen], b[c4bcdLen];
  c4bcdFromText(a, "123456789012345678905", 21);
  c4bcdFromText(b, "123456789012345678910", 21);
  EXPECT_EQ(c4bcdCmp(a, b), 0);
  c4bcdFromText(a, "999999999999999999995", 21);
  c4bcdFromText(b, "1000000000000000000000", 22);
  EXPECT_EQ(c4bcdCmp(a, b), 0);
  const unsigned char one[c4bcdLen] = {52 + 22, (1 << 2) | 1, 0x10};
  EXPECT_EQ(std::memcmp(a, one, c4bcdLen), 0);
}

TEST_F(IndexTest, TopRecordsAnErrorWhenTheTagNamesNoRecord) {
  const TAG4INFO tags[] = {{"PHONE", "PHONE", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  std::string dbf = dir.file("past.dbf");
  DATA4* d = d4create(&cb, dbf.c_str(), kPhoneFields, tags);
  ASSERT_NE(d, nullptr);
  for (const char* phone : {"9", "1", "2"}) append(d, "PHONE", phone);
  ASSERT_EQ(d4close(d), 0);
  // The table now counts one record; the tag's first two keys name records 2 and 3.
  std::string bytes = readAll(dbf);
  bytes[4] = 1;
  bytes[5] = bytes[6] = bytes[7] = 0;
  writeAll(dbf, bytes);
  d = d4open(&cb, dbf.c_str());
  ASSERT_NE(d, nullptr);
  d4tagSelect(d, d4tagByName(d, "PHONE"));
  EXPECT_EQ(d4top(d), -1);
  EXPECT_EQ(error4get(&cb), err4info);
  cb.errorCode = 0;
  d4close(d);
}

TEST_F(IndexTest, OversizedTagsAreRefused) {
  const FIELD4INFO fields[] = {{"A", 'C', 400, 0}, {nullptr, 0, 0, 0}};
  DATA4* d = d4create(&cb, dir.file("o.dbf").c_str(), fields, nullptr);
  ASSERT_NE(d, nullptr);
  TAG4INFO big[] = {{"A", "A", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  EXPECT_EQ(i4create(d, dir.file("o1").c_str(), big), nullptr);  // 400-byte keys: fewer than 3 per block
  EXPECT_EQ(cb.errorCode, err4parm);
  EXPECT_FALSE(std::filesystem::exists(dir.file("o1.mdx")));  // refused before any file is made
  cb.errorCode = 0;
  TAG4INFO fits[] = {{"A", "LEFT(A,332)", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  INDEX4* ix = i4create(d, dir.file("o2").c_str(), fits);
  ASSERT_NE(ix, nullptr);
  EXPECT_EQ(i4close(ix), 0);
  std::vector<TAG4INFO> many;
  std::vector<std::string> names;
  for (int i = 0; i < 48; ++i) names.push_back(orvelin::test::Numbered("T", i));
  for (int i = 0; i < 48; ++i) many.push_back({names[static_cast<size_t>(i)].c_str(), "A", nullptr, 0, 0});
  many.push_back({nullptr, nullptr, nullptr, 0, 0});
  EXPECT_EQ(i4create(d, dir.file("o3").c_str(), many.data()), nullptr);
  EXPECT_EQ(cb.errorCode, err4parm);
  cb.errorCode = 0;
  std::string longExpr = "A" + std::string(220, ' ');
  TAG4INFO longTag[] = {{"A", longExpr.c_str(), nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  EXPECT_EQ(i4create(d, dir.file("o4").c_str(), longTag), nullptr);
  cb.errorCode = 0;
  cb.blockSize = 1000;
  EXPECT_EQ(i4create(d, dir.file("o5").c_str(), fits), nullptr);
  EXPECT_EQ(cb.errorCode, err4parm);
  cb.errorCode = 0;
  d4close(d);
}

// Random appends, key changes, deletions and recalls; after every step the
// trees are checked, and each tag is compared with a model of the table.
TEST_F(IndexTest, RandomOperationsMatchModel) {
  const FIELD4INFO fields[] = {{"NAME", 'C', 100, 0}, {"NUM", 'N', 8, 2}, {"DAY", 'D', 8, 0}, {nullptr, 0, 0, 0}};
  const TAG4INFO tags[] = {{"NAME", "NAME", nullptr, 0, 0},
                           {"NAMED", "NAME", nullptr, 0, 1},
                           {"NUM", "NUM", ".NOT.DELETED()", 0, 0},
                           {"DAY", "DAY", nullptr, 0, 0},
                           {"UNAME", "LEFT(NAME,3)", nullptr, 25, 0},
                           {nullptr, nullptr, nullptr, 0, 0}};
  DATA4* d = d4create(&cb, dir.file("r.dbf").c_str(), fields, tags);
  ASSERT_NE(d, nullptr);
  TAG4* tName = d4tagByName(d, "NAME");
  TAG4* tDesc = d4tagByName(d, "NAMED");
  TAG4* tNum = d4tagByName(d, "NUM");
  TAG4* tDay = d4tagByName(d, "DAY");
  TAG4* tUniq = d4tagByName(d, "UNAME");
  ASSERT_EQ(tName->keysMax, 9);  // 100-byte keys: deep trees from few records

  struct Rec {
    std::string name;
    int num;
    int day;
    bool deleted;
  };
  std::vector<Rec> model;
  std::mt19937 rng(1234);
  auto pad = [](std::string s) {
    s.resize(100, ' ');
    return s;
  };
  auto randName = [&] { return orvelin::test::Numbered("K", rng() % 300); };
  auto setFields = [&](const Rec& r) {
    f4assign(d4fieldByName(d, "NAME"), r.name.c_str());
    f4assignLong(d4fieldByName(d, "NUM"), r.num);
    char date[32];
    std::snprintf(date, sizeof(date), "2026%02d%02d", 1 + (r.day / 28) % 12, 1 + r.day % 28);
    f4assign(d4fieldByName(d, "DAY"), date);
  };
  std::map<std::string, int32_t> uniqueOwner;  // first record holding each 3-letter prefix
  for (int step = 0; step < 1500; ++step) {
    int op = static_cast<int>(rng() % 10);
    if (model.empty() || op < 5) {
      Rec r{randName(), static_cast<int>(rng() % 50) - 25, static_cast<int>(rng() % 300), false};
      d4blank(d);
      setFields(r);
      ASSERT_EQ(d4append(d), 0) << step;
      model.push_back(r);
    } else {
      int32_t n = static_cast<int32_t>(rng() % model.size()) + 1;
      Rec& r = model[static_cast<size_t>(n - 1)];
      ASSERT_EQ(d4go(d, n), 0);
      if (op < 8) {
        r.name = randName();
        r.num = static_cast<int>(rng() % 50) - 25;
        r.day = static_cast<int>(rng() % 300);
        setFields(r);
      } else if (r.deleted) {
        d4recall(d);
        r.deleted = false;
      } else {
        d4delete(d);
        r.deleted = true;
      }
      ASSERT_EQ(d4flush(d), 0) << step;
    }
    for (TAG4* t : {tName, tDesc, tNum, tDay, tUniq}) ASSERT_EQ(t4check(t), 0) << step << t->alias;
    if (step % 100 != 99) continue;
    // Character keys: every record once, in key order.
    std::multimap<std::string, int32_t> byName;
    for (size_t i = 0; i < model.size(); ++i) byName.emplace(pad(model[i].name), static_cast<int32_t>(i + 1));
    std::vector<std::pair<std::string, int32_t>> expect(byName.begin(), byName.end());
    ASSERT_EQ(grouped(walk(tName)), grouped(expect)) << step;
    auto desc = grouped(walk(tDesc));
    auto asc = grouped(expect);
    ASSERT_EQ(desc, decltype(asc)(asc.rbegin(), asc.rend())) << step;
    // Numeric keys: live records only, by value.
    std::vector<int32_t> got;
    int last = -1000;
    for (auto& [k, rec] : walk(tNum)) {
      const Rec& r = model[static_cast<size_t>(rec - 1)];
      ASSERT_FALSE(r.deleted);
      ASSERT_LE(last, r.num);
      last = r.num;
      got.push_back(rec);
    }
    size_t live = 0;
    for (const Rec& r : model) live += r.deleted ? 0 : 1;
    ASSERT_EQ(got.size(), live);
    // Date keys: every record, by day.
    last = -1;
    size_t days = 0;
    for (auto& [k, rec] : walk(tDay)) {
      ASSERT_LE(last, model[static_cast<size_t>(rec - 1)].day);
      last = model[static_cast<size_t>(rec - 1)].day;
      ++days;
    }
    ASSERT_EQ(days, model.size());
    // The unique tag holds each prefix at most once.
    std::set<std::string> seen;
    for (auto& [k, rec] : walk(tUniq)) {
      ASSERT_TRUE(seen.insert(k).second);
      ASSERT_EQ(pad(model[static_cast<size_t>(rec - 1)].name).substr(0, 3), k);
    }
    // Seeks: each model key is found, on a record holding it.
    d4tagSelect(d, tName);
    for (int probe = 0; probe < 20; ++probe) {
      const Rec& r = model[rng() % model.size()];
      ASSERT_EQ(d4seek(d, r.name.c_str()), 0);
      ASSERT_EQ(std::string(f4str(d4fieldByName(d, "NAME"))), pad(r.name));
    }
  }
  // Rebuilding gives the same content as the incremental maintenance.
  auto before = grouped(walk(tName));
  auto beforeNum = grouped(walk(tNum));
  auto beforeDesc = grouped(walk(tDesc));
  ASSERT_EQ(d4reindex(d), 0);
  for (TAG4* t : {tName, tDesc, tNum, tDay}) EXPECT_EQ(t4check(t), 0);
  EXPECT_EQ(grouped(walk(tName)), before);
  EXPECT_EQ(grouped(walk(tNum)), beforeNum);
  EXPECT_EQ(grouped(walk(tDesc)), beforeDesc);
  // Skips: backward from the end retraces forward order.
  auto fwd = walk(tName);
  ASSERT_EQ(t4bottom(tName), 0);
  std::vector<std::pair<std::string, int32_t>> back;
  do {
    back.emplace_back(std::string(t4key(tName), 100), t4recordNumber(tName));
  } while (t4skip(tName, -1) == -1);
  ASSERT_EQ(back.size(), fwd.size());
  EXPECT_TRUE(std::equal(back.rbegin(), back.rend(), fwd.begin()));
  ASSERT_EQ(t4top(tName), 0);
  EXPECT_EQ(t4skip(tName, 1000000), static_cast<int32_t>(fwd.size()) - 1);
  EXPECT_EQ(t4recordNumber(tName), fwd.back().second);
  EXPECT_EQ(t4skip(tName, -5), -5);
  EXPECT_EQ(t4recordNumber(tName), fwd[fwd.size() - 6].second);
  d4close(d);
  // The file reopens with the same content.
  d = d4open(&cb, dir.file("r.dbf").c_str());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(grouped(walk(d4tagByName(d, "NAME"))), before);
  d4close(d);
}

TEST_F(IndexTest, FreedBlocksAreReused) {
  const FIELD4INFO fields[] = {{"NAME", 'C', 100, 0}, {nullptr, 0, 0, 0}};
  const TAG4INFO tags[] = {{"NAME", "NAME", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  DATA4* d = d4create(&cb, dir.file("fb.dbf").c_str(), fields, tags);
  ASSERT_NE(d, nullptr);
  for (int i = 0; i < 200; ++i) append(d, "NAME", orvelin::test::Numbered("A", 1000 + i));
  INDEX4* ix = reinterpret_cast<INDEX4*>(l4first(&d->indexes));
  int32_t eof = ix->eof;
  for (int i = 1; i <= 200; ++i) {
    ASSERT_EQ(d4go(d, i), 0);
    f4assign(d4fieldByName(d, "NAME"), orvelin::test::Numbered("B", 1000 + i).c_str());
    ASSERT_EQ(d4flush(d), 0);
  }
  EXPECT_EQ(t4check(d4tagByName(d, "NAME")), 0);
  EXPECT_LE(ix->eof, eof + 8 * ix->units);  // emptied leaves went to the free list and back
  d4close(d);
}

// Damaged files: header fields out of range, then random byte damage. Every
// call returns (no crash, no hang); failures are reported as -310.
TEST_F(IndexTest, BlockCheckComparesBlocksWithTheirParent) {
  const FIELD4INFO fields[] = {{"NAME", 'C', 60, 0}, {nullptr, 0, 0, 0}};
  const TAG4INFO tags[] = {{"NAME", "NAME", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  const std::string dbf = dir.file("bc.dbf");
  DATA4* d = d4create(&cb, dbf.c_str(), fields, tags);
  ASSERT_NE(d, nullptr);
  for (int i = 0; i < 300; ++i) append(d, "NAME", orvelin::test::Numbered("N", i));
  ASSERT_EQ(d4close(d), 0);
  // The root's first separator no longer matches the last key below it.
  std::string bytes = readAll(dir.file("bc.mdx"));
  const size_t root = static_cast<size_t>(le32(bytes, 2048)) * 512;
  ASSERT_GT(le32(bytes, root + 8), 0u) << "the root is a branch";
  bytes[root + 8 + 4] = '\x01';
  writeAll(dir.file("bc.mdx"), bytes);
  struct Case {
    int blockCheck;
    int error;
    size_t keysWalked;
  } const cases[] = {{1, err4index, 0}, {0, 0, 300}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.blockCheck);
    cb.blockCheck = c.blockCheck;
    cb.errorCode = 0;
    d = d4open(&cb, dbf.c_str());
    ASSERT_NE(d, nullptr);
    const auto keys = walk(d4tagByName(d, "NAME"));
    EXPECT_EQ(cb.errorCode, c.error);
    if (c.error == 0) {
      EXPECT_EQ(keys.size(), c.keysWalked);
    }
    cb.errorCode = 0;
    d4close(d);
  }
}

TEST_F(IndexTest, BlockMemoryComesInChunksOfTheSetCounts) {
  DATA4* d = d4create(&cb, dir.file("pool.dbf").c_str(), kPhoneFields, kPhoneTags);
  ASSERT_NE(d, nullptr);
  for (int i = 0; i < 200; ++i) append(d, "PHONE", std::to_string(100000 + i));
  ASSERT_EQ(d4close(d), 0);
  // Defaults 10 and 10; a seek on a two-level tree holds two blocks.
  struct Case {
    int start, expand;
    int chunks, freeUnits;
  } const cases[] = {{10, 10, 1, 8}, {1, 1, 2, 0}, {3, 2, 1, 1}, {1, 4, 2, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.start << "/" << c.expand);
    cb.blockStart = c.start;
    cb.blockExpand = c.expand;
    d = d4open(&cb, dir.file("pool.dbf").c_str());
    ASSERT_NE(d, nullptr);
    INDEX4* ix = reinterpret_cast<INDEX4*>(l4first(&d->indexes));
    ASSERT_NE(ix, nullptr);
    TAG4* t = d4tagDefault(d);
    char key[25];
    std::memset(key, ' ', sizeof key);
    std::memcpy(key, "100150", 6);
    ASSERT_EQ(t4seek(t, key, 25), 0);
    ASSERT_EQ(t->depth, 2);
    ASSERT_NE(ix->blockPool, nullptr);
    EXPECT_EQ(ix->blockPool->chunks.count, c.chunks);
    EXPECT_EQ(ix->blockPool->freeUnits.count, c.freeUnits);
    d4close(d);
  }
}

TEST_F(IndexTest, BlocksComeFromTheFreeListThenTheEnd) {
  DATA4* d = d4create(&cb, dir.file("ext.dbf").c_str(), kPhoneFields, kPhoneTags);
  ASSERT_NE(d, nullptr);
  INDEX4* ix = reinterpret_cast<INDEX4*>(l4first(&d->indexes));
  ASSERT_NE(ix, nullptr);
  ASSERT_EQ(i4lock(ix), 0);
  // A 1,024-byte block is two 512-byte units: the end advances by two.
  const int32_t end = ix->eof;
  EXPECT_EQ(i4extend(ix), end);
  EXPECT_EQ(ix->eof, end + 2);
  EXPECT_EQ(i4extend(ix), end + 2);
  ASSERT_EQ(i4freeBlock(ix, end), 0);
  EXPECT_EQ(i4extend(ix), end) << "the freed block is taken first";
  EXPECT_EQ(ix->eof, end + 4);
  EXPECT_EQ(i4unlock(ix), 0);
  d4close(d);
}

TEST_F(IndexTest, GoFindsTheRecordAmongEqualKeys) {
  const FIELD4INFO fields[] = {{"NAME", 'C', 8, 0}, {nullptr, 0, 0, 0}};
  const TAG4INFO tags[] = {{"NAME", "NAME", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  DATA4* d = d4create(&cb, dir.file("go.dbf").c_str(), fields, tags);
  ASSERT_NE(d, nullptr);
  for (int i = 0; i < 200; ++i) append(d, "NAME", i % 2 == 0 ? "SAME" : "OTHER");
  TAG4* t = d4tagByName(d, "NAME");
  ASSERT_NE(t, nullptr);
  // 0 on the key and record; 1 when the record has no such key; 2 past every key.
  struct Case {
    const char* key;
    int32_t rec;
    int rc;
  } const cases[] = {{"SAME    ", 151, 0}, {"SAME    ", 1, 0}, {"OTHER   ", 200, 0}, {"SAME    ", 2, 1},
                     {"ZZZ     ", 1, 2}};
  for (const Case& c : cases) {
    EXPECT_EQ(t4go(t, c.key, c.rec), c.rc) << c.key << c.rec;
    if (c.rc == 0) {
      EXPECT_EQ(t4recordNumber(t), c.rec);
    }
  }
  d4close(d);
}

TEST_F(IndexTest, DamagedFilesGiveIndexError) {
  const FIELD4INFO fields[] = {{"NAME", 'C', 60, 0}, {nullptr, 0, 0, 0}};
  const TAG4INFO tags[] = {{"NAME", "NAME", nullptr, 0, 0}, {"REV", "NAME", nullptr, 0, 1},
                           {nullptr, nullptr, nullptr, 0, 0}};
  std::string dbf = dir.file("c.dbf");
  DATA4* d = d4create(&cb, dbf.c_str(), fields, tags);
  ASSERT_NE(d, nullptr);
  for (int i = 0; i < 300; ++i) append(d, "NAME", orvelin::test::Numbered("N", (i * 7919) % 1000));
  ASSERT_EQ(d4close(d), 0);
  const std::string good = readAll(dir.file("c.mdx"));

  auto openWith = [&](const std::string& bytes) {
    writeAll(dir.file("c.mdx"), bytes);
    cb.errorCode = 0;
    cb.autoOpen = 0;
    DATA4* t = d4open(&cb, dbf.c_str());
    cb.autoOpen = 1;
    EXPECT_NE(t, nullptr);
    return t;
  };
  auto patch16 = [&](size_t at, uint16_t v) {
    std::string b = good;
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
    return b;
  };
  // 512-byte blocks, consistent everywhere else: too small for a tag header.
  std::string smallBlocks = patch16(20, 1);
  smallBlocks[22] = 0;
  smallBlocks[23] = 2;
  for (size_t header : {2048u, 3072u}) {
    const int groupLen = static_cast<unsigned char>(good[header + 18]);
    smallBlocks[header + 14] = static_cast<char>((512 - 12) / groupLen);
    smallBlocks[header + 15] = 0;
  }
  for (const std::string& bad : {patch16(20, 64), patch16(22, 1000), patch16(28, 48), patch16(20, 0),
                                 good.substr(0, 100), patch16(2048 + 12, 61), smallBlocks}) {
    DATA4* t = openWith(bad);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(i4open(t, nullptr), nullptr);
    EXPECT_EQ(cb.errorCode, err4index);
    cb.errorCode = 0;
    d4close(t);
    // Nothing was cut or rewritten by the failed open.
    EXPECT_EQ(readAll(dir.file("c.mdx")), bad);
  }

  std::mt19937 rng(99);
  int failures = 0;
  for (int round = 0; round < 300; ++round) {
    std::string bytes = good;
    int hits = 1 + static_cast<int>(rng() % 6);
    for (int h = 0; h < hits; ++h) {
      size_t at = round % 2 == 0 ? 4096 + rng() % (bytes.size() - 4096) : rng() % bytes.size();
      bytes[at] = static_cast<char>(rng() % 4 == 0 ? 0xFF : rng());
    }
    DATA4* t = openWith(bytes);
    ASSERT_NE(t, nullptr);
    INDEX4* ix = i4open(t, nullptr);
    if (ix != nullptr) {
      for (LINK4* l = l4first(&ix->tags); l != nullptr; l = l4next(&ix->tags, l)) {
        TAG4* tag = reinterpret_cast<TAG4*>(l);
        walk(tag);
        if (cb.errorCode == 0) t4bottom(tag);
        if (cb.errorCode == 0) t4skip(tag, -400);
        if (cb.errorCode == 0) t4seek(tag, "N5", 2);
        if (cb.errorCode == 0) t4check(tag);
        if (cb.errorCode == 0) {
          d4blank(t);
          f4assign(d4fieldByName(t, "NAME"), "N500");
          d4append(t);
        }
        if (cb.errorCode != 0) {
          EXPECT_TRUE(cb.errorCode == err4index || cb.errorCode == err4info || cb.errorCode < 0)
              << cb.errorCode;
          break;
        }
      }
    }
    if (cb.errorCode == err4index) ++failures;
    cb.errorCode = 0;
    d4close(t);
    cb.errorCode = 0;
  }
  EXPECT_GT(failures, 50);  // the damage was noticed, not silently walked over
}

}  // namespace

namespace {

TEST_F(IndexTest, TableSeekTopBottomAndTagOrder) {
  DATA4* d = d4create(&cb, dir.file("s.dbf").c_str(), kPhoneFields, nullptr);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d4seek(d, "1"), status4noTag);
  d4close(d);
  const TAG4INFO tags[] = {{"PHONE", "PHONE", nullptr, 0, 0}, {"NAMEDESC", "NAME", nullptr, 0, 1},
                           {nullptr, nullptr, nullptr, 0, 0}};
  d = d4create(&cb, dir.file("s2.dbf").c_str(), kPhoneFields, tags);
  ASSERT_NE(d, nullptr);
  const char* phones[] = {"03012", "0301", "0400", "0200"};
  const char* names[] = {"bert", "anna", "carl", "dora"};
  for (int i = 0; i < 4; ++i) {
    d4blank(d);
    f4assign(d4fieldByName(d, "PHONE"), phones[i]);
    f4assign(d4fieldByName(d, "NAME"), names[i]);
    ASSERT_EQ(d4append(d), 0);
  }
  // A prefix finds the blank-padded exact key before longer ones.
  EXPECT_EQ(d4seek(d, "0301"), 0);
  EXPECT_EQ(d4recordNumber(d), 2);
  EXPECT_EQ(d4seek(d, "03012"), 0);
  EXPECT_EQ(d4recordNumber(d), 1);
  EXPECT_EQ(d4seek(d, "0300"), 2);
  EXPECT_EQ(d4recordNumber(d), 2);
  EXPECT_EQ(d4seek(d, "09"), 3);
  EXPECT_TRUE(d4eof(d));
  EXPECT_EQ(d4recordNumber(d), 5);

  TAG4* desc = d4tagByName(d, "namedesc");
  ASSERT_NE(desc, nullptr);
  EXPECT_EQ(d4tagNext(d, nullptr), d4tagByName(d, "PHONE"));
  EXPECT_EQ(d4tagNext(d, d4tagByName(d, "PHONE")), desc);
  EXPECT_EQ(d4tagNext(d, desc), nullptr);
  EXPECT_EQ(d4tagPrev(d, nullptr), desc);
  cb.tagNameError = 1;
  EXPECT_EQ(d4tagByName(d, "NOPE"), nullptr);
  EXPECT_EQ(cb.errorCode, err4tagName);
  cb.errorCode = 0;

  d4tagSelect(d, desc);
  ASSERT_EQ(d4top(d), 0);
  EXPECT_EQ(d4recordNumber(d), 4);  // dora first when descending
  ASSERT_EQ(d4bottom(d), 0);
  EXPECT_EQ(d4recordNumber(d), 2);
  // Under the negated order a prefix seek finds the first key not above it.
  EXPECT_EQ(d4seek(d, "c"), 0);
  EXPECT_EQ(d4recordNumber(d), 3);
  EXPECT_EQ(d4seek(d, "bz"), 2);  // dora, carl, then bert: the first not above "bz"
  EXPECT_EQ(d4recordNumber(d), 1);
  EXPECT_EQ(d4seek(d, "carl"), 0);
  EXPECT_EQ(d4recordNumber(d), 3);
  d4tagSelect(d, nullptr);
  ASSERT_EQ(d4top(d), 0);
  EXPECT_EQ(d4recordNumber(d), 1);
  d4close(d);
}

TEST_F(IndexTest, SecondHandleSeesChangesOfTheFirst) {
  std::string dbf = dir.file("sh.dbf");
  DATA4* w = d4create(&cb, dbf.c_str(), kPhoneFields, kPhoneTags);
  ASSERT_NE(w, nullptr);
  for (int i = 0; i < 20; ++i) append(w, "PHONE", std::to_string(1000 + i));
  DATA4* r = d4open(&cb, dbf.c_str());
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(d4seek(r, "1005"), 0);
  EXPECT_EQ(d4seek(r, "5005"), 3);
  // The writer splits the reader's cached leaf many times over.
  for (int i = 0; i < 400; ++i) append(w, "PHONE", std::to_string(5000 + i));
  ASSERT_EQ(d4flush(w), 0);
  EXPECT_EQ(d4seek(r, "5005"), 0);
  EXPECT_EQ(d4recordNumber(r), 26);
  EXPECT_EQ(d4seek(r, "1005"), 0);
  EXPECT_EQ(d4recordNumber(r), 6);
  // A record changed behind the index's back is passed over by the seek.
  ASSERT_EQ(d4go(w, 6), 0);
  std::string table = readAll(dbf);
  d4close(w);
  d4close(r);
  size_t headerLen = le16(table, 8);
  size_t recLen = le16(table, 10);
  table.replace(headerLen + 5 * recLen + 1, 4, "1006");
  writeAll(dbf, table);
  r = d4open(&cb, dbf.c_str());
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(d4seek(r, "1005"), 2);
  EXPECT_EQ(d4recordNumber(r), 7);
  d4close(r);
}

TEST_F(IndexTest, VersionCheckKeepsThePositionWhenAsked) {
  struct Case {
    int keep;
    const char* on; // null: after the last key
    bool positioned;
  } const cases[] = {{0, "1005", false}, {1, "1005", true}, {1, nullptr, true}};
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "keep " << c.keep << " on " << (c.on ? c.on : "end"));
    const std::string dbf = dir.file("v" + std::to_string(++round) + ".dbf");
    DATA4* w = d4create(&cb, dbf.c_str(), kPhoneFields, kPhoneTags);
    ASSERT_NE(w, nullptr);
    for (int i = 0; i < 20; ++i) append(w, "PHONE", std::to_string(1000 + i));
    DATA4* r = d4open(&cb, dbf.c_str());
    ASSERT_NE(r, nullptr);
    TAG4* t = d4tagDefault(r);
    ASSERT_NE(t, nullptr);
    d4tagSelect(r, t);
    char key[25];
    std::memset(key, ' ', sizeof key);
    if (c.on != nullptr) {
      std::memcpy(key, c.on, std::strlen(c.on));
      ASSERT_EQ(t4seek(t, key, 25), 0);
    } else {
      ASSERT_EQ(t4goEof(t), 0);
    }
    // Another handle splits the leaf the tag stands on many times over.
    for (int i = 0; i < 150; ++i) append(w, "PHONE", std::to_string(5000 + i));
    ASSERT_EQ(d4flush(w), 0);
    EXPECT_EQ(i4versionCheck(t->index, c.keep), 1);
    EXPECT_EQ(t->depth > 0, c.positioned);
    if (c.positioned && c.on != nullptr) {
      EXPECT_EQ(t4recordNumber(t), 6);
      ASSERT_NE(t4key(t), nullptr);
      EXPECT_EQ(std::string(t4key(t), 25), std::string(key, 25));
    } else if (c.positioned) {
      EXPECT_EQ(t4eof(t), 1);
      EXPECT_EQ(t4skip(t, -1), -1);
      EXPECT_EQ(t4recordNumber(t), 170) << "the last key is the last one appended";
    }
    d4close(r);
    d4close(w);
  }
}

TEST_F(IndexTest, ClosingAnIndexWritesTheChangedRecordFirst) {
  const std::string dbf = dir.file("c.dbf");
  DATA4* d = d4create(&cb, dbf.c_str(), kPhoneFields, kPhoneTags);
  ASSERT_NE(d, nullptr);
  append(d, "PHONE", "1000");
  ASSERT_EQ(d4go(d, 1), 0);
  f4assign(d4fieldByName(d, "PHONE"), "2000");
  INDEX4* ix = reinterpret_cast<INDEX4*>(l4first(&d->indexes));
  ASSERT_NE(ix, nullptr);
  EXPECT_EQ(i4close(ix), 0);
  EXPECT_EQ(d->recChanged, 0);
  const std::string table = readAll(dbf);
  EXPECT_EQ(table.substr(le16(table, 8) + 1, 4), "2000");
  // The key went into the index before it closed.
  ix = i4open(d, nullptr);
  ASSERT_NE(ix, nullptr);
  EXPECT_EQ(d4seek(d, "2000"), 0);
  EXPECT_EQ(d4seek(d, "1000"), 2);
  d4close(d);
}

TEST_F(IndexTest, PoisonedFreeListIsNotHandedOut) {
  const FIELD4INFO fields[] = {{"NAME", 'C', 100, 0}, {nullptr, 0, 0, 0}};
  const TAG4INFO tags[] = {{"NAME", "NAME", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  std::string dbf = dir.file("p.dbf");
  DATA4* d = d4create(&cb, dbf.c_str(), fields, tags);
  ASSERT_NE(d, nullptr);
  for (int i = 0; i < 60; ++i) append(d, "NAME", orvelin::test::Numbered("A", 100 + i));
  ASSERT_EQ(d4close(d), 0);
  const std::string mdx = readAll(dir.file("p.mdx"));
  const std::string table = readAll(dbf);
  uint32_t root = le32(mdx, 2048);
  for (uint32_t head : {root, root + 1, 7u, 0xFFFFFFF0u}) {
    std::string bad = mdx;
    for (int i = 0; i < 4; ++i) bad[36 + static_cast<size_t>(i)] = static_cast<char>(head >> (8 * i));
    writeAll(dir.file("p.mdx"), bad);
    writeAll(dbf, table);
    d = d4open(&cb, dbf.c_str());
    ASSERT_NE(d, nullptr);
    for (int i = 0; i < 60; ++i) append(d, "NAME", orvelin::test::Numbered("B", 100 + i));
    TAG4* t = d4tagByName(d, "NAME");
    EXPECT_EQ(t4check(t), 0) << head;
    EXPECT_EQ(walk(t).size(), 120u) << head;
    d4close(d);
  }
}

}  // namespace

namespace {

// Whatever write fails, the index afterwards holds exactly the table's keys.
TEST_F(IndexTest, FailedWritesLeaveIndexAndTableAgreeing) {
  for (int failAt = 1; failAt <= 14; ++failAt) {
    SCOPED_TRACE(failAt);
    std::string name = dir.file("w" + std::to_string(failAt) + ".dbf");
    DATA4* d = d4create(&cb, name.c_str(), kPhoneFields, kPhoneTags);
    ASSERT_NE(d, nullptr);
    append(d, "PHONE", "100");
    append(d, "PHONE", "200");
    file4injectWriteFailure(failAt);
    d4blank(d);
    f4assign(d4fieldByName(d, "PHONE"), "150");
    d4append(d);
    cb.errorCode = 0;
    file4injectWriteFailure(failAt);
    if (d4go(d, 1) == 0) {
      f4assign(d4fieldByName(d, "PHONE"), "300");
      d4flush(d);
    }
    file4injectWriteFailure(-1);
    cb.errorCode = 0;
    d->recChanged = 0;
    TAG4* t = d4tagDefault(d);
    ASSERT_EQ(t4check(t), 0);
    std::vector<std::pair<std::string, int32_t>> expect;
    int32_t count = d4recordCount(d);
    std::multimap<std::string, int32_t> model;
    for (int32_t r = 1; r <= count; ++r) {
      ASSERT_EQ(d4go(d, r), 0);
      model.emplace(std::string(f4str(d4fieldByName(d, "PHONE"))), r);
    }
    auto w = walk(t);
    ASSERT_EQ(w.size(), model.size());
    size_t i = 0;
    for (const auto& [k, r] : model) {
      EXPECT_EQ(w[i].first, k);
      EXPECT_EQ(w[i].second, r);
      ++i;
    }
    d4close(d);
    cb.errorCode = 0;
  }
}

TEST_F(IndexTest, IndexNotMarkedProductionIsLeftClosed) {
  std::string dbf = dir.file("np.dbf");
  DATA4* d = d4create(&cb, dbf.c_str(), kPhoneFields, kPhoneTags);
  ASSERT_NE(d, nullptr);
  d4close(d);
  std::string mdx = readAll(dir.file("np.mdx"));
  mdx[24] = 0;
  writeAll(dir.file("np.mdx"), mdx);
  d = d4open(&cb, dbf.c_str());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->indexes.count, 0);
  EXPECT_EQ(d4seek(d, "1"), status4noTag);
  INDEX4* ix = i4open(d, dir.file("np").c_str());
  ASSERT_NE(ix, nullptr);
  EXPECT_EQ(d4indexByName(d, dir.file("NP").c_str()), ix);
  EXPECT_EQ(d4indexByName(d, "np"), nullptr);  // another directory
  d4close(d);
}

}  // namespace

namespace {

// A second handle changes the tree under a reader's cached path: the reader's
// skip re-reads and finishes, rather than failing on the stale blocks.
TEST_F(IndexTest, SkipGoesOnAfterAnotherHandlesChange) {
  const FIELD4INFO fields[] = {{"NAME", 'C', 100, 0}, {nullptr, 0, 0, 0}};
  const TAG4INFO tags[] = {{"NAME", "NAME", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  std::string dbf = dir.file("cc.dbf");
  DATA4* w = d4create(&cb, dbf.c_str(), fields, tags);
  ASSERT_NE(w, nullptr);
  for (int i = 0; i < 100; ++i) append(w, "NAME", orvelin::test::Numbered("A", 100 + i));
  DATA4* r = d4open(&cb, dbf.c_str());
  ASSERT_NE(r, nullptr);
  TAG4* rt = d4tagByName(r, "NAME");
  ASSERT_EQ(t4top(rt), 0);
  ASSERT_EQ(t4skip(rt, 3), 3);
  for (int i = 1; i <= 60; ++i) {
    ASSERT_EQ(d4go(w, i), 0);
    f4assign(d4fieldByName(w, "NAME"), ("Z" + std::to_string(100 + i)).c_str());
    ASSERT_EQ(d4flush(w), 0);
  }
  int32_t moved = t4skip(rt, 1000);
  EXPECT_EQ(cb.errorCode, 0);
  EXPECT_GT(moved, 0);
  EXPECT_EQ(std::string(t4key(rt), 4), "Z160");  // ends on the last key
  EXPECT_EQ(t4skip(rt, -1000) < 0, true);
  EXPECT_EQ(cb.errorCode, 0);
  d4close(r);
  d4close(w);
}

}  // namespace

namespace {

TEST_F(IndexTest, UniqueErrorOnAppendRollsBackEarlierTags) {
  const TAG4INFO tags[] = {{"NAME", "NAME", nullptr, 0, 0}, {"PHONE", "PHONE", nullptr, err4unique, 0},
                           {nullptr, nullptr, nullptr, 0, 0}};
  DATA4* d = d4create(&cb, dir.file("ue.dbf").c_str(), kPhoneFields, tags);
  ASSERT_NE(d, nullptr);
  append(d, "PHONE", "1");
  d4blank(d);
  f4assign(d4fieldByName(d, "PHONE"), "1");
  f4assign(d4fieldByName(d, "NAME"), "second");
  EXPECT_EQ(d4append(d), err4unique);
  EXPECT_EQ(cb.errorCode, err4unique);
  cb.errorCode = 0;
  EXPECT_EQ(d4recordCount(d), 1);
  EXPECT_EQ(walk(d4tagByName(d, "NAME")).size(), 1u);  // the first tag's key went again
  INDEX4* ix = reinterpret_cast<INDEX4*>(l4first(&d->indexes));
  cb.tagNameError = 1;
  EXPECT_EQ(i4tagByName(ix, "none"), nullptr);
  EXPECT_EQ(cb.errorCode, err4tagName);
  cb.errorCode = 0;
  cb.tagNameError = 0;
  EXPECT_EQ(i4tagByName(ix, "none"), nullptr);
  EXPECT_EQ(cb.errorCode, 0);
  EXPECT_EQ(i4tagByName(ix, "phone"), d4tagByName(d, "PHONE"));
  d4close(d);
}

}  // namespace
