// Damaged or hostile input the engine must refuse or survive: other-table
// references in tags, seek lengths, damaged free lists and block counts, stale
// settings records, and the small rules around dates, tag names and reports.
#include "tests/xbase/test_util.h"
#include "xbase/expression.h"
#include "xbase/expression_tables.h"
#include "xbase/index.h"
#include "xbase/memo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

using xbtest::EngineTest;
using xbtest::readAll;
using xbtest::reports;
using xbtest::writeAll;

const FIELD4INFO kFields[] = {{"PHONE", 'C', 25, 0}, {"NAME", 'C', 20, 0}, {"BORN", 'D', 8, 0},
                              {nullptr, 0, 0, 0}};

void putLe32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
}
uint32_t le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + static_cast<size_t>(i)]);
  return v;
}

class IntegrityTest : public EngineTest {
 protected:
  DATA4* make(const char* name, const TAG4INFO* tags, int rows) {
    DATA4* d = d4create(&cb, dir.file(name).c_str(), kFields, tags);
    EXPECT_NE(d, nullptr);
    for (int i = 0; d != nullptr && i < rows; ++i) append(d, i);
    return d;
  }
  void append(DATA4* d, int i) {
    d4blank(d);
    f4assign(d4fieldByName(d, "PHONE"), ("0301" + std::to_string(100000 + i)).c_str());
    f4assign(d4fieldByName(d, "NAME"), ("N" + std::to_string(i)).c_str());
    EXPECT_EQ(d4append(d), 0);
  }
};

TEST_F(IntegrityTest, KeysAndFiltersNamingAnotherTableAreRefused) {
  DATA4* other = make("other.dbf", nullptr, 1);
  DATA4* d = make("book.dbf", nullptr, 3);
  ASSERT_NE(other, nullptr);
  ASSERT_NE(d, nullptr);
  struct Case {
    const char* key;
    const char* filter;
  } cases[] = {{"OTHER->NAME", nullptr}, {"NAME", "OTHER->NAME = 'x'"}, {"PHONE+OTHER->NAME", nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " / " + (c.filter ? c.filter : ""));
    const TAG4INFO tags[] = {{"T", c.key, c.filter, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
    EXPECT_EQ(i4create(d, dir.file("x.mdx").c_str(), tags), nullptr);
    EXPECT_EQ(cb.errorCode, e4dataName);
    cb.errorCode = 0;
  }
  // An index file whose stored key names another table does not open either.
  const TAG4INFO own[] = {{"T", "NAME", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  INDEX4* ix = i4create(d, dir.file("y.mdx").c_str(), own);
  ASSERT_NE(ix, nullptr);
  ASSERT_EQ(i4close(ix), 0);
  std::string bytes = readAll(dir.file("y.mdx"));
  std::memcpy(&bytes[4 * 512 + 24], "OTHER->NAME", 11);
  writeAll(dir.file("y.mdx"), bytes);
  EXPECT_EQ(i4open(d, dir.file("y.mdx").c_str()), nullptr);
  EXPECT_EQ(cb.errorCode, err4index);
  cb.errorCode = 0;
  EXPECT_EQ(d4close(other), 0);
  EXPECT_EQ(d4flush(d), 0);
}

TEST_F(IntegrityTest, SeekLengthOfZeroOrLessTakesTheWholeText) {
  const TAG4INFO tags[] = {{"UNIQUE", "PHONE", nullptr, 20, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  DATA4* d = make("book.dbf", tags, 5);
  ASSERT_NE(d, nullptr);
  // Exactly as long as the text, so reading one byte past it is caught.
  const std::string want = "0301100003";
  std::unique_ptr<char[]> text(new char[want.size() + 1]);
  std::memcpy(text.get(), want.c_str(), want.size() + 1);
  for (int len : {0, -1, -100}) {
    EXPECT_EQ(d4seekLen(d, text.get(), len), 0) << len;
    EXPECT_EQ(d4recordNumber(d), 4);
  }
  std::unique_ptr<char[]> empty(new char[1]{0});
  EXPECT_EQ(d4seek(d, empty.get()), 0);
  EXPECT_EQ(d4recordNumber(d), 1);
}

TEST_F(IntegrityTest, FreeListNamingAnotherTagsRootIsNotHandedOut) {
  // Tag B never holds a key: its root is an empty leaf, all zeros like a free block.
  const TAG4INFO tags[] = {{"A", "PHONE", nullptr, 0, 0},
                           {"B", "NAME", "NAME = 'nobody'", 0, 0},
                           {nullptr, nullptr, nullptr, 0, 0}};
  DATA4* d = make("book.dbf", tags, 40);
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d4close(d), 0);
  std::string mdx = readAll(dir.file("book.mdx"));
  uint32_t rootB = le32(mdx, 6 * 512); // B's header block follows A's (units 4 and 6)
  ASSERT_GT(rootB, 0u);
  putLe32(mdx, 36, rootB);
  writeAll(dir.file("book.mdx"), mdx);

  d = d4open(&cb, dir.file("book.dbf").c_str());
  ASSERT_NE(d, nullptr);
  for (int i = 40; i < 200; ++i) append(d, i); // splits take new blocks
  TAG4* a = d4tagByName(d, "A");
  TAG4* b = d4tagByName(d, "B");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(t4check(a), 0);
  EXPECT_EQ(t4check(b), 0);
  ASSERT_EQ(t4top(b), 0);
  EXPECT_TRUE(t4eof(b)) << "tag B took over keys of tag A";
  int keys = 0;
  ASSERT_EQ(t4top(a), 0);
  for (; !t4eof(a) && keys < 1000; ++keys)
    if (t4skip(a, 1) != 1) {
      ++keys;
      break;
    }
  EXPECT_EQ(keys, 200);
}

TEST_F(IntegrityTest, CheckRefusesANegativeKeyCount) {
  const TAG4INFO tags[] = {{"A", "PHONE", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  DATA4* d = make("book.dbf", tags, 3);
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d4close(d), 0);
  std::string mdx = readAll(dir.file("book.mdx"));
  putLe32(mdx, size_t{512} * le32(mdx, 4 * 512), 0xFFFFFFF0u);
  writeAll(dir.file("book.mdx"), mdx);
  cb.errorOff = 1;
  d = d4open(&cb, dir.file("book.dbf").c_str());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(t4check(d4tagByName(d, "A")), err4index);
}

TEST(SettingsRecord, InitialisingUnseenBytesFreesNothing) {
  // Bytes that happen to look like a live record: every word the old marker,
  // every pointer garbage.
  auto raw = std::make_unique<unsigned char[]>(sizeof(CODE4));
  for (size_t i = 0; i + 4 <= sizeof(CODE4); i += 4) {
    const uint32_t word = 0x34434f44u;
    std::memcpy(raw.get() + i, &word, 4);
  }
  auto* cb = reinterpret_cast<CODE4*>(raw.get());
  EXPECT_EQ(code4init(cb), 0);
  EXPECT_EQ(cb->lockAttempts, -1);
  EXPECT_EQ(cb->dataList.count, 0);
  // A live record is recognised and re-initialised cleanly.
  cb->fieldBuffer = static_cast<char*>(u4globalAlloc(16));
  EXPECT_EQ(code4init(cb), 0);
  EXPECT_EQ(cb->fieldBuffer, nullptr);
  code4release(cb);
}

TEST_F(IntegrityTest, DatesTagNamesReportsAndLengths) {
  DATA4* d = make("book.dbf", nullptr, 0);
  ASSERT_NE(d, nullptr);
  // A date minus a blank date has no number of days.
  d4blank(d);
  f4assign(d4fieldByName(d, "BORN"), "20000110");
  EXPR4* minusBlank = expr4parseData(d, "BORN - CTOD('')");
  EXPR4* blankMinus = expr4parseData(d, "CTOD('') - BORN");
  EXPR4* days = expr4parseData(d, "BORN - (BORN - 9)");
  ASSERT_NE(minusBlank, nullptr);
  ASSERT_NE(blankMinus, nullptr);
  ASSERT_NE(days, nullptr);
  EXPECT_EQ(expr4double(minusBlank), 0.0);
  EXPECT_EQ(expr4double(blankMinus), 0.0);
  EXPECT_EQ(expr4double(days), 9.0);
  expr4free(minusBlank);
  expr4free(blankMinus);
  expr4free(days);

  // Tag names are cut to ten characters; partial and impossible dates find no blank date.
  const TAG4INFO tags[] = {{"BIRTHDAYTAGLONG", "BORN", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  INDEX4* ix = i4create(d, dir.file("dates.mdx").c_str(), tags);
  ASSERT_NE(ix, nullptr);
  TAG4* t = i4tagByName(ix, "BIRTHDAYTA");
  ASSERT_NE(t, nullptr);
  d4blank(d);
  ASSERT_EQ(d4append(d), 0); // record 1: blank date
  d4blank(d);
  f4assign(d4fieldByName(d, "BORN"), "19991231");
  ASSERT_EQ(d4append(d), 0); // record 2
  d4tagSelect(d, t);
  for (const char* text : {"1999", "19991399", "2000130"}) {
    int rc = d4seek(d, text);
    EXPECT_NE(rc, 0) << text;
    EXPECT_NE(d4recordNumber(d), 1) << text;
  }
  EXPECT_EQ(d4seek(d, "19991231"), 0);
  EXPECT_EQ(d4recordNumber(d), 2);

  // The table text is not repeated as the first description line.
  reports().clear();
  EXPECT_EQ(d4tagByName(d, "NOSUCH"), nullptr);
  cb.errorCode = 0;
  EXPECT_EQ(i4open(d, dir.file("book.dbf").c_str()), nullptr); // a table is no index
  cb.errorCode = 0;
  const TAG4INFO uniq[] = {{"U", "NAME", nullptr, err4unique, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  DATA4* u = make("uniq.dbf", uniq, 1);
  ASSERT_NE(u, nullptr);
  d4blank(u);
  f4assign(d4fieldByName(u, "NAME"), "N0");
  EXPECT_EQ(d4append(u), err4unique);
  cb.errorCode = 0;
  ASSERT_EQ(reports().size(), 3u);
  for (const auto& r : reports()) {
    for (const char* text : {"Not a Correct Index File", "Tag Name not Found", "Unique Key Error"}) {
      size_t first = r.text.find(text);
      if (first != std::string::npos) {
        EXPECT_EQ(r.text.find(text, first + 1), std::string::npos) << r.text;
      }
    }
  }

  // A pending create-failed status refuses a length change.
  cb.errorCode = status4noCreate;
  EXPECT_EQ(file4lenSet(&d->file, 0), -1);
  cb.errorCode = 0;
  EXPECT_GT(file4length(&d->file), 0);
}

TEST_F(IntegrityTest, MemoFilesTheEngineCannotUseLeaveTheTableReadable) {
  const FIELD4INFO fields[] = {{"NAME", 'C', 10, 0}, {"NOTES", 'M', 10, 0}, {nullptr, 0, 0, 0}};
  struct Case {
    const char* what;
    size_t at;       // byte to change, in the table (t) or memo file (m)
    char file;
    std::string bytes;
  } cases[] = {
      {"no memo flag in the table header", 0, 't', std::string(1, '\x03')},
      {"dBASE III memo file, no block size", 16, 'm', std::string("\x03\0\0\0\0\0", 6)},
      {"dBASE III memo file with a block size", 16, 'm', std::string("\x03\0\0\0\0\x02", 6)},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string base = dir.file("memo" + std::to_string(++n));
    DATA4* d = d4create(&cb, (base + ".dbf").c_str(), fields, nullptr);
    ASSERT_NE(d, nullptr);
    d4blank(d);
    f4assign(d4fieldByName(d, "NAME"), "Smith");
    ASSERT_EQ(f4memoAssign(d4fieldByName(d, "NOTES"), "a note"), 0);
    ASSERT_EQ(d4append(d), 0);
    ASSERT_EQ(d4close(d), 0);
    const std::string path = base + (c.file == 't' ? ".dbf" : ".dbt");
    std::string bytes = readAll(path);
    bytes.replace(c.at, c.bytes.size(), c.bytes);
    writeAll(path, bytes);

    d = d4open(&cb, (base + ".dbf").c_str());
    ASSERT_NE(d, nullptr);
    cb.errorCode = 0;
    ASSERT_EQ(d4go(d, 1), 0);
    char name[11] = {0};
    f4copyTo(d4fieldByName(d, "NAME"), name, sizeof(name));
    EXPECT_STREQ(name, "Smith     ");
    EXPECT_EQ(f4memoPtr(d4fieldByName(d, "NOTES")), nullptr);
    EXPECT_LT(cb.errorCode, 0);
    cb.errorCode = 0;
    EXPECT_EQ(d4close(d), 0);
  }
}

} // namespace
