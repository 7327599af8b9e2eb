#include "test_util.h"
#include "xbase/index.h"
#include "xbase/memo.h"

#include <cstdio>
#include <ctime>
#include <cstring>

using xbtest::EngineTest;
using xbtest::readAll;
using xbtest::reports;
using xbtest::writeAll;

namespace {

const FIELD4INFO kPhone[] = {
    {"NAME", 'C', 25, 0}, {"NUMBER", 'N', 10, 0}, {"OK", 'L', 1, 0}, {nullptr, 0, 0, 0}};

unsigned u16(const std::string& s, size_t at) {
  return static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8;
}

std::string descriptor(const char* name, char type, unsigned char len, unsigned char dec) {
  std::string d(32, '\0');
  std::memcpy(d.data(), name, std::strlen(name));
  d[11] = type;
  d[16] = static_cast<char>(len);
  d[17] = static_cast<char>(dec);
  return d;
}

TEST_F(EngineTest, CreatedTableIsByteExact) {
  DATA4* d = d4create(&cb, dir.file("phone").c_str(), kPhone, nullptr);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d4recordWidth(d), 37);
  ASSERT_EQ(d4close(d), 0);
  std::string f = readAll(dir.file("phone.dbf"));
  ASSERT_EQ(f.size(), 32u + 3 * 32 + 2);
  EXPECT_EQ(static_cast<unsigned char>(f[0]), 0x03);
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  EXPECT_EQ(static_cast<unsigned char>(f[1]), tm.tm_year);
  EXPECT_EQ(static_cast<unsigned char>(f[2]), tm.tm_mon + 1);
  EXPECT_EQ(static_cast<unsigned char>(f[3]), tm.tm_mday);
  EXPECT_EQ(f.substr(4, 4), std::string(4, '\0'));
  EXPECT_EQ(u16(f, 8), 129u);
  EXPECT_EQ(u16(f, 10), 37u);
  EXPECT_EQ(f.substr(12, 20), std::string(20, '\0'));
  EXPECT_EQ(f.substr(32, 32), descriptor("NAME", 'C', 25, 0));
  EXPECT_EQ(f.substr(64, 32), descriptor("NUMBER", 'N', 10, 0));
  EXPECT_EQ(f.substr(96, 32), descriptor("OK", 'L', 1, 0));
  EXPECT_EQ(f.substr(128), "\x0D\x1A");
}

TEST_F(EngineTest, CreateNormalisesDescriptorsAndRecordLayout) {
  const FIELD4INFO fields[] = {{"memo", 'm', 0, 0},  {"born", 'd', 3, 2}, {"long", 'c', 300, 0},
                               {"amt", 'f', 9, 3},   {"pic", 'G', 1, 0},  {"b", 'B', 0, 0},
                               {nullptr, 0, 0, 0}};
  DATA4* d = d4create(&cb, dir.file("Mixed").c_str(), fields, nullptr);
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d4fieldCount(d), 6);
  FIELD4* longField = d4fieldByName(d, "LONG");
  ASSERT_NE(longField, nullptr);
  EXPECT_EQ(f4len(longField), 300);
  EXPECT_EQ(longField->offset, 1 + 10 + 8);
  EXPECT_EQ(f4type(d4fieldByName(d, "amt")), 'N') << "F reports as N";
  EXPECT_EQ(d->fields[3].type, 'F');
  EXPECT_EQ(d4recordWidth(d), 1 + 10 + 8 + 300 + 9 + 10 + 10);
  ASSERT_EQ(d4close(d), 0);
  std::string f = readAll(dir.file("Mixed.dbf"));
  EXPECT_EQ(static_cast<unsigned char>(f[0]), 0x8B);
  EXPECT_EQ(f.substr(32, 32), descriptor("MEMO", 'M', 10, 0));
  EXPECT_EQ(f.substr(64, 32), descriptor("BORN", 'D', 8, 0));
  EXPECT_EQ(f.substr(96, 32), descriptor("LONG", 'C', 44, 1)) << "300 = 44 + 1 x 256";
  EXPECT_EQ(f.substr(128, 32), descriptor("AMT", 'F', 9, 3));
  EXPECT_EQ(f.substr(160, 32), descriptor("PIC", 'G', 10, 0));
  std::string memo = readAll(dir.file("Mixed.dbt"));
  ASSERT_EQ(memo.size(), 24u);
  EXPECT_EQ(memo.substr(0, 4), std::string("\x01\0\0\0", 4));
  EXPECT_EQ(memo.substr(8, 8), std::string("MIXED\0\0\0", 8));
  EXPECT_EQ(u16(memo, 18), 0x0102u);
  EXPECT_EQ(u16(memo, 20), 512u);
  // Opening again reads every descriptor back the same way.
  d = d4open(&cb, dir.file("Mixed").c_str());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(f4len(d4fieldByName(d, "long")), 300);
  EXPECT_EQ(f4decimals(d4fieldByName(d, "amt")), 3);
  EXPECT_STREQ(d4alias(d), "MIXED");
  EXPECT_EQ(d4close(d), 0);
}

TEST_F(EngineTest, InvalidFieldListsCreateNothing) {
  struct Case {
    FIELD4INFO field;
    int error;
  };
  const Case cases[] = {
      {{"X", 'Q', 5, 0}, err4fieldType},     {{"X", 'N', 0, 0}, err4recordLen},
      {{"X", 'N', 256, 0}, err4recordLen},   {{"X", 'N', 5, 5}, err4recordLen},
      {{"X", 'C', 0, 0}, err4recordLen},     {{"X", 'C', 65535, 0}, err4recordLen},
      {{"", 'C', 5, 0}, err4fieldName},      {{"1ABC", 'C', 5, 0}, err4fieldName},
      {{"TOOLONGNAME", 'C', 5, 0}, err4fieldName}, {{"A-B", 'C', 5, 0}, err4fieldName},
  };
  std::string path = dir.file("bad.dbf");
  writeAll(path, "keep me");
  cb.safety = 0;
  for (const Case& c : cases) {
    const FIELD4INFO fields[] = {c.field, {nullptr, 0, 0, 0}};
    EXPECT_EQ(d4create(&cb, path.c_str(), fields, nullptr), nullptr) << c.field.name;
    EXPECT_EQ(cb.errorCode, c.error) << c.field.name;
    EXPECT_EQ(readAll(path), "keep me") << c.field.name;
    error4set(&cb, 0);
  }
  const FIELD4INFO dupes[] = {{"A", 'C', 5, 0}, {"a", 'N', 5, 0}, {nullptr, 0, 0, 0}};
  EXPECT_EQ(d4create(&cb, path.c_str(), dupes, nullptr), nullptr);
  EXPECT_EQ(cb.errorCode, err4fieldName);
  error4set(&cb, 0);

  // A record of 65,535 bytes is one too many.
  const FIELD4INFO wide[] = {{"A", 'C', 65000, 0}, {"B", 'C', 534, 0}, {nullptr, 0, 0, 0}};
  EXPECT_EQ(d4create(&cb, path.c_str(), wide, nullptr), nullptr);
  EXPECT_EQ(cb.errorCode, err4recordLen);
  error4set(&cb, 0);
  std::vector<std::string> names;
  std::vector<FIELD4INFO> many;
  for (int i = 0; i < 2047; ++i) {
    char n[16];
    std::snprintf(n, sizeof(n), "F%d", i);
    names.push_back(n);
  }
  for (const auto& n : names) many.push_back({n.c_str(), 'L', 1, 0});
  many.push_back({nullptr, 0, 0, 0});
  EXPECT_EQ(d4create(&cb, path.c_str(), many.data(), nullptr), nullptr);
  EXPECT_EQ(cb.errorCode, err4create);
  EXPECT_NE(reports().back().text.find("Too Many Fields"), std::string::npos);
  EXPECT_EQ(readAll(path), "keep me");
  error4set(&cb, 0);
  many.erase(many.begin());
  DATA4* d = d4create(&cb, path.c_str(), many.data(), nullptr);
  ASSERT_NE(d, nullptr) << "2,046 fields fit";
  EXPECT_EQ(d4fieldCount(d), 2046);
  d4close(d);
}

TEST_F(EngineTest, RecordsRoundTripThroughFields) {
  const FIELD4INFO fields[] = {{"NAME", 'C', 12, 0}, {"QTY", 'N', 8, 2}, {"COUNT", 'N', 4, 0},
                               {"BORN", 'D', 8, 0},  {"OK", 'L', 1, 0},  {nullptr, 0, 0, 0}};
  DATA4* d = d4create(&cb, dir.file("rt").c_str(), fields, nullptr);
  ASSERT_NE(d, nullptr);
  FIELD4* name = d4fieldByName(d, "NAME");
  FIELD4* qty = d4fieldByName(d, "QTY");
  FIELD4* count = d4fieldByName(d, "COUNT");
  FIELD4* born = d4fieldByName(d, "BORN");
  FIELD4* ok = d4fieldByName(d, "OK");
  for (int i = 1; i <= 3; ++i) {
    d4blank(d);
    f4assign(name, ("row" + std::to_string(i)).c_str());
    f4assignDouble(qty, i * 1.25);
    f4assignLong(count, i * 1000);
    f4assignLong(born, 2451545 + i);
    f4assign(ok, i % 2 ? "T" : "F");
    ASSERT_EQ(d4append(d), 0);
    EXPECT_EQ(d4recordNumber(d), i);
  }
  f4assignLong(count, 123456);
  EXPECT_EQ(std::string(f4ptr(count), 4), "****");
  EXPECT_EQ(d4recordCount(d), 3);
  ASSERT_EQ(d4close(d), 0);

  std::string file = readAll(dir.file("rt.dbf"));
  ASSERT_EQ(file.size(), 32u + 5 * 32 + 1 + 3 * 34 + 1);
  EXPECT_EQ(file.back(), '\x1A');
  EXPECT_EQ(file.substr(227, 34), " row2" + std::string(12, ' ') + "2.50" + "2000" + "20000103" + "F");

  d = d4open(&cb, dir.file("rt.dbf").c_str());
  ASSERT_NE(d, nullptr);
  name = d4fieldByName(d, "NAME");
  qty = d4fieldByName(d, "QTY");
  born = d4fieldByName(d, "BORN");
  ASSERT_EQ(d4top(d), 0);
  EXPECT_STREQ(f4str(name), "row1        ");
  EXPECT_DOUBLE_EQ(f4double(qty), 1.25);
  EXPECT_EQ(f4long(born), 2451546);
  ASSERT_EQ(d4bottom(d), 0);
  EXPECT_EQ(d4recordNumber(d), 3);
  char small[4];
  EXPECT_EQ(f4copyTo(name, small, sizeof(small)), 3u);
  EXPECT_STREQ(small, "row");
  EXPECT_EQ(f4copyTo(name, small, 0), 0u);

  // A change is written back when the table moves on.
  ASSERT_EQ(d4go(d, 2), 0);
  f4assign(name, "changed");
  d4delete(d);
  ASSERT_EQ(d4go(d, 1), 0);
  ASSERT_EQ(d4go(d, 2), 0);
  EXPECT_STREQ(f4str(name), "changed     ");
  EXPECT_EQ(d4deleted(d), 1);
  d4changed(d, 0);
  d4delete(d);
  EXPECT_EQ(d4changed(d, -1), 0) << "marking a marked record changes nothing";
  d4recall(d);
  EXPECT_EQ(d4changed(d, -1), 1);
  d4changed(d, 0);

  EXPECT_EQ(d4goEof(d), status4eof);
  EXPECT_EQ(d4eof(d), 1);
  EXPECT_EQ(d4bof(d), 0);
  EXPECT_EQ(d4recordNumber(d), 4);
  EXPECT_EQ(d4go(d, 4), err4read);
  EXPECT_EQ(d4recordNumber(d), -1);
  error4set(&cb, 0);
  cb.goError = 0;
  EXPECT_EQ(d4go(d, 9), status4entry);
  EXPECT_EQ(cb.errorCode, 0) << "status 5 is returned, not stored";
  EXPECT_EQ(d4go(d, rec4max + 1), err4parm);
  error4set(&cb, 0);
  EXPECT_EQ(d4close(d), 0);
}

TEST_F(EngineTest, FieldLookupAndTopOfEmptyTable) {
  DATA4* d = d4create(&cb, dir.file("empty").c_str(), kPhone, nullptr);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d4fieldNumber(d, "name  "), 1);
  EXPECT_EQ(d4fieldNumber(d, "ok"), 3);
  EXPECT_EQ(d4fieldNumber(d, "nope"), -1);
  EXPECT_EQ(cb.errorCode, err4fieldName);
  EXPECT_NE(reports().back().text.find("nope"), std::string::npos);
  error4set(&cb, 0);
  cb.fieldNameError = 0;
  size_t before = reports().size();
  EXPECT_EQ(d4fieldByName(d, "nope"), nullptr);
  EXPECT_EQ(reports().size(), before);
  EXPECT_EQ(cb.errorCode, 0);
  EXPECT_EQ(d4fieldByNumber(d, 0), nullptr);
  EXPECT_EQ(d4fieldByNumber(d, 4), nullptr);

  EXPECT_EQ(d4top(d), status4eof);
  EXPECT_EQ(d4bof(d), 1);
  EXPECT_EQ(d4eof(d), 1);
  EXPECT_EQ(d4bottom(d), status4eof);
  EXPECT_EQ(cb.errorCode, 0);
  EXPECT_EQ(d4close(d), 0);
}

TEST_F(EngineTest, StatusesAndErrorsKeptInErrorCode) {
  cb.openError = 0;
  EXPECT_EQ(d4open(&cb, dir.file("none").c_str()), nullptr);
  EXPECT_EQ(cb.errorCode, status4noOpen);
  DATA4* d = d4create(&cb, dir.file("s").c_str(), kPhone, nullptr);
  ASSERT_NE(d, nullptr) << "a positive status does not block";
  cb.createError = 0;
  EXPECT_EQ(d4create(&cb, dir.file("s").c_str(), kPhone, nullptr), nullptr);
  EXPECT_EQ(cb.errorCode, status4noCreate);
  error4set(&cb, 0);
  EXPECT_EQ(d4top(d), status4eof);
  EXPECT_EQ(cb.errorCode, 0);
  EXPECT_EQ(d4close(d), 0);
}

TEST_F(EngineTest, CloseWithUniqueErrorPendingDropsTheChange) {
  DATA4* d = d4create(&cb, dir.file("u").c_str(), kPhone, nullptr);
  ASSERT_NE(d, nullptr);
  d4blank(d);
  f4assign(d4fieldByName(d, "NAME"), "first");
  ASSERT_EQ(d4append(d), 0);
  f4assign(d4fieldByName(d, "NAME"), "second");
  error4set(&cb, err4unique);
  EXPECT_EQ(d4close(d), err4unique);
  EXPECT_EQ(cb.errorCode, err4unique);
  error4set(&cb, 0);
  d = d4open(&cb, dir.file("u").c_str());
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d4go(d, 1), 0);
  EXPECT_STREQ(f4str(d4fieldByName(d, "NAME")), "first                    ");
  d4close(d);
}

TEST_F(EngineTest, ProductionIndexFlag) {
  DATA4* d = d4create(&cb, dir.file("ix").c_str(), kPhone, nullptr);
  ASSERT_NE(d, nullptr);
  d4close(d);
  std::string bytes = readAll(dir.file("ix.dbf"));
  bytes[28] = 1;
  writeAll(dir.file("ix.dbf"), bytes);

  EXPECT_EQ(d4open(&cb, dir.file("ix").c_str()), nullptr);
  EXPECT_EQ(cb.errorCode, err4open) << "the index file is missing";
  EXPECT_NE(reports().back().text.find("ix.mdx"), std::string::npos);
  error4set(&cb, 0);

  writeAll(dir.file("IX.MDX"), std::string(2048, '\0'));
  EXPECT_EQ(d4open(&cb, dir.file("ix").c_str()), nullptr);
  EXPECT_EQ(cb.errorCode, err4index) << "an empty header is not an index";
  error4set(&cb, 0);
  EXPECT_EQ(cb.dataList.count, 0);

  cb.autoOpen = 0;
  d = d4open(&cb, dir.file("ix").c_str());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->productionIndex, 1);
  d4close(d);

  const TAG4INFO tags[] = {{"T", "NAME", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  d = d4create(&cb, dir.file("withtag").c_str(), kPhone, tags);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->productionIndex, 1);
  EXPECT_EQ(d->indexes.count, 1);
  d4close(d);
  EXPECT_TRUE(std::filesystem::exists(dir.file("withtag.mdx")));
}

TEST_F(EngineTest, MemoTableOpensWithoutItsMemoFileAndEachAccessSaysWhy) {
  const FIELD4INFO fields[] = {{"NOTE", 'M', 10, 0}, {nullptr, 0, 0, 0}};
  DATA4* d = d4create(&cb, dir.file("m").c_str(), fields, nullptr);
  ASSERT_NE(d, nullptr);
  d4close(d);
  std::filesystem::remove(dir.file("m.dbt"));
  // Without a usable memo file the table opens and each memo access says why not.
  struct Case {
    const char* memo; // contents of m.dbt, or null for none
    int code;
  } cases[] = {{nullptr, err4open}, {"\x01\0\0\0\0\0\0\0M\0\0\0\0\0\0\0\0\0\x02\x01\x10\0\0\0", err4info}};
  for (const Case& c : cases) {
    if (c.memo != nullptr) writeAll(dir.file("m.dbt"), std::string(c.memo, 24));
    error4set(&cb, 0);
    d = d4open(&cb, dir.file("m").c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(cb.errorCode, 0);
    d4blank(d);
    EXPECT_EQ(f4memoAssign(d4fieldByName(d, "NOTE"), "x"), 0);
    EXPECT_LT(d4append(d), 0);
    EXPECT_EQ(cb.errorCode, c.code);
    error4set(&cb, 0);
    d4close(d);
  }
}

TEST_F(EngineTest, NullTablesAndNamesAreRefusedNotFollowed) {
  const TAG4INFO tags[] = {{"NAME", "NAME", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  DATA4* d = d4create(&cb, dir.file("nulls").c_str(), kPhone, tags);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d4seekLen(nullptr, "x", 1), -1);
  EXPECT_EQ(d4seekLen(d, nullptr, 1), -1);
  EXPECT_EQ(d4seekDouble(nullptr, 1.0), -1);
  EXPECT_EQ(d4seek(nullptr, "x"), -1);
  EXPECT_EQ(d4lockIndexes(nullptr), -1);
  EXPECT_EQ(cb.errorCode, 0);
  // A null tag name finds no tag and, with tag-name errors on, says so.
  INDEX4* ix = reinterpret_cast<INDEX4*>(l4first(&d->indexes));
  ASSERT_NE(ix, nullptr);
  for (int errorOn : {0, 1}) {
    SCOPED_TRACE(errorOn);
    cb.tagNameError = errorOn;
    EXPECT_EQ(d4tagByName(d, nullptr), nullptr);
    EXPECT_EQ(cb.errorCode, errorOn ? err4tagName : 0);
    cb.errorCode = 0;
    EXPECT_EQ(i4tagByName(ix, nullptr), nullptr);
    EXPECT_EQ(cb.errorCode, errorOn ? err4tagName : 0);
    cb.errorCode = 0;
  }
  EXPECT_EQ(d4tagByName(nullptr, "NAME"), nullptr);
  EXPECT_EQ(d4tagByName(d, "name"), reinterpret_cast<TAG4*>(l4first(&ix->tags)));
  d4close(d);
}

TEST_F(EngineTest, RecordLocksInOneProcess) {
  DATA4* d = d4create(&cb, dir.file("l").c_str(), kPhone, nullptr);
  ASSERT_NE(d, nullptr);
  d4blank(d);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(d4append(d), 0);
  ASSERT_EQ(d4lockRecord(d, 1), 0);
  EXPECT_EQ(d4lockTestRecord(d, 1), 1);
  ASSERT_EQ(d4lockRecord(d, 2), 0);
  EXPECT_EQ(d4lockTestRecord(d, 1), 0) << "one record lock at a time";
  EXPECT_EQ(d4lockTestRecord(d, 2), 1);
  EXPECT_EQ(d4lockRecord(d, 0), -1);

  // A second handle on the same table is another lock owner.
  DATA4* other = d4open(&cb, dir.file("l").c_str());
  ASSERT_NE(other, nullptr);
  cb.lockAttempts = 1;
  EXPECT_EQ(d4lockRecord(other, 2), status4locked);
  EXPECT_EQ(cb.errorCode, 0) << "50 is returned, not stored";
  EXPECT_EQ(d4lockRecord(other, 3), 0);
  EXPECT_EQ(d4lockFile(d), status4locked);
  EXPECT_EQ(d4unlockAll(other), 0);
  ASSERT_EQ(d4lockFile(d), 0);
  EXPECT_EQ(d4lockTestRecord(d, 3), 1);
  EXPECT_EQ(d4lockAppend(other), status4locked);
  EXPECT_EQ(d4unlockAll(d), 0);

  const int32_t group[] = {3, 1, 3};
  EXPECT_EQ(d4lockGroup(other, group, 3), 0) << "duplicates are locked once";
  EXPECT_EQ(other->lockedCount, 2);
  EXPECT_EQ(d4lockRecord(d, 1), status4locked);
  EXPECT_EQ(d4lockRecord(d, 2), 0);
  EXPECT_EQ(d4lockGroup(other, group, 0), err4parm);
  error4set(&cb, 0);
  const int32_t bad[] = {1, 0};
  EXPECT_EQ(d4lockGroup(other, bad, 2), err4parm);
  error4set(&cb, 0);
  const int32_t clash[] = {1, 2};
  EXPECT_EQ(d4lockGroup(other, clash, 2), status4locked);
  EXPECT_EQ(other->lockedCount, 0) << "a failed group holds nothing";
  d4close(other);
  d4close(d);
}

TEST_F(EngineTest, AliasOldRecordAndNumberThroughAResult) {
  DATA4* d = d4create(&cb, dir.file("alias").c_str(), kPhone, nullptr);
  ASSERT_NE(d, nullptr);
  const char* names[] = {"Alice", "Bob"};
  for (int i = 0; i < 2; ++i) {
    d4blank(d);
    f4assign(d4fieldByName(d, "NAME"), names[i]);
    f4assignLong(d4fieldByName(d, "NUMBER"), 12345 + i);
    ASSERT_EQ(d4append(d), 0);
  }
  // Upper-cased in place, at most 10 characters kept.
  struct Alias {
    const char* given;
    const char* inPlace;
    const char* kept;
  } const aliases[] = {{"people", "PEOPLE", "PEOPLE"}, {"a longer alias", "A LONGER ALIAS", "A LONGER A"}};
  for (const Alias& a : aliases) {
    std::string text = a.given;
    d4aliasSet(d, text.data());
    EXPECT_STREQ(d4alias(d), a.kept);
    EXPECT_EQ(text, a.inPlace);
    EXPECT_EQ(code4findData(&cb, a.kept), d);
  }
  // The old-record buffer: record n, or blanks before the first and past the last.
  struct Old {
    int32_t n;
    const char* name;
  } const olds[] = {{2, "Bob"}, {1, "Alice"}, {0, nullptr}, {-3, nullptr}, {3, nullptr}};
  for (const Old& o : olds) {
    ASSERT_EQ(d4readOld(d, o.n), 0) << o.n;
    const std::string old(d->recordOld, static_cast<size_t>(d->recordLen));
    if (o.name == nullptr) {
      EXPECT_EQ(old, std::string(static_cast<size_t>(d->recordLen), ' ')) << o.n;
    } else {
      EXPECT_EQ(old.substr(1, std::strlen(o.name)), o.name) << o.n;
    }
  }
  ASSERT_EQ(d4go(d, 2), 0);
  double v = 0;
  EXPECT_EQ(f4doubleOut(d4fieldByName(d, "NUMBER"), &v), 0);
  EXPECT_EQ(v, 12346.0);
  d4close(d);
}

TEST_F(EngineTest, AllTablesFlushAndUnlockTogether) {
  DATA4* a = d4create(&cb, dir.file("ta").c_str(), kPhone, nullptr);
  DATA4* b = d4create(&cb, dir.file("tb").c_str(), kPhone, nullptr);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  for (DATA4* d : {a, b}) {
    d4blank(d);
    ASSERT_EQ(d4append(d), 0);
    ASSERT_EQ(d4go(d, 1), 0);
    f4assign(d4fieldByName(d, "NAME"), "Changed");
  }
  EXPECT_EQ(code4flushAll(&cb), 0);
  for (const char* name : {"ta.dbf", "tb.dbf"}) {
    const std::string t = readAll(dir.file(name));
    EXPECT_EQ(t.substr(u16(t, 8) + 1, 7), "Changed") << name;
  }
  // Append locked, file locked, or neither.
  EXPECT_EQ(d4lockTestAppend(a), 0);
  ASSERT_EQ(d4lockAppend(a), 0);
  EXPECT_EQ(d4lockTestAppend(a), 1);
  EXPECT_EQ(d4lockTestAppend(b), 0);
  ASSERT_EQ(d4lockFile(b), 0);
  EXPECT_EQ(d4lockTestAppend(b), 1);
  ASSERT_EQ(d4lockRecord(a, 1), 0);
  EXPECT_EQ(code4unlockAll(&cb), 0);
  EXPECT_EQ(d4lockTestAppend(a), 0);
  EXPECT_EQ(d4lockTestAppend(b), 0);
  EXPECT_EQ(d4lockTestFile(b), 0);
  EXPECT_EQ(d4lockTestRecord(a, 1), 0);
  d4close(b);
  d4close(a);
}

TEST_F(EngineTest, ReadLockLocksTheRecordMovedTo) {
  DATA4* d = d4create(&cb, dir.file("rl").c_str(), kPhone, nullptr);
  ASSERT_NE(d, nullptr);
  d4blank(d);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(d4append(d), 0);
  ASSERT_EQ(d4unlockAll(d), 0);
  for (int readLock : {0, 1}) {
    cb.readLock = readLock;
    ASSERT_EQ(d4go(d, 2), 0);
    EXPECT_EQ(d4lockTestRecord(d, 2), readLock);
    ASSERT_EQ(d4unlockAll(d), 0);
  }
  d4close(d);
}

TEST_F(EngineTest, ExclusiveTablesTakeNoLocksAndHoldTheirCount) {
  cb.exclusive = 1;
  DATA4* d = d4create(&cb, dir.file("ex").c_str(), kPhone, nullptr);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d4lockTestRecord(d, 5), 1);
  EXPECT_EQ(d4lockTestFile(d), 1);
  EXPECT_EQ(d4lockFile(d), 0);
  d4blank(d);
  ASSERT_EQ(d4append(d), 0);
  EXPECT_EQ(d->heldCount, 1);
  cb.openError = 0;
  EXPECT_EQ(d4open(&cb, dir.file("ex").c_str()), nullptr);
  EXPECT_EQ(cb.errorCode, status4noOpen);
  d4close(d);
}

// An exclusive table writes its record count once, when flushed or closed;
// a shared one at every append, for the other programs reading it.
TEST_F(EngineTest, AppendedCountReachesTheHeader) {
  auto diskCount = [&](const std::string& path) {
    std::string bytes = readAll(path);
    return bytes.size() < 8 ? -1 : static_cast<int>(static_cast<unsigned char>(bytes[4]) |
                                                    static_cast<unsigned char>(bytes[5]) << 8);
  };
  struct Row {
    int exclusive;
    int onDiskBeforeFlush;
  } const rows[] = {{1, 0}, {0, 300}};
  for (const Row& r : rows) {
    cb.exclusive = r.exclusive;
    std::string path = dir.file("count" + std::to_string(r.exclusive) + ".dbf");
    DATA4* d = d4create(&cb, path.c_str(), kPhone, nullptr);
    ASSERT_NE(d, nullptr);
    for (int i = 0; i < 300; ++i) {
      d4blank(d);
      f4assignLong(d4fieldByName(d, "NUMBER"), i);
      ASSERT_EQ(d4append(d), 0);
      ASSERT_EQ(d4recordNumber(d), i + 1);
    }
    EXPECT_EQ(d4recordCount(d), 300);
    EXPECT_EQ(diskCount(path), r.onDiskBeforeFlush) << r.exclusive;
    ASSERT_EQ(d4flush(d), 0);
    EXPECT_EQ(diskCount(path), 300);
    d4blank(d);
    ASSERT_EQ(d4append(d), 0);
    ASSERT_EQ(d4close(d), 0);
    EXPECT_EQ(diskCount(path), 301);
    d = d4open(&cb, path.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d4recordCount(d), 301);
    ASSERT_EQ(d4go(d, 300), 0);
    EXPECT_EQ(f4long(d4fieldByName(d, "NUMBER")), 299);
    d4close(d);
  }
}

TEST_F(EngineTest, ReadOnlyTablesReadButNeverWrite) {
  DATA4* d = d4create(&cb, dir.file("ro").c_str(), kPhone, nullptr);
  ASSERT_NE(d, nullptr);
  d4blank(d);
  f4assign(d4fieldByName(d, "NAME"), "x");
  ASSERT_EQ(d4append(d), 0);
  d4close(d);
  std::string before = readAll(dir.file("ro.dbf"));
  cb.readOnly = 1;
  d = d4open(&cb, dir.file("ro").c_str());
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d4top(d), 0);
  f4assign(d4fieldByName(d, "NAME"), "y");
  EXPECT_EQ(d4go(d, 1), -1);
  EXPECT_EQ(cb.errorCode, err4parm);
  error4set(&cb, 0);
  EXPECT_EQ(d4close(d), 0) << "the failed write is not retried";
  EXPECT_EQ(readAll(dir.file("ro.dbf")), before);
}

} // namespace
