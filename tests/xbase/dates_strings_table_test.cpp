#include "test_util.h"
#include "xbase/dates.h"
#include "xbase/string_classes.h"

#include <chrono>
#include <cstring>

using xbtest::EngineTest;

namespace {

std::string text8(const char* p) { return std::string(p, 8); }

TEST(Date4, EveryDayOfYearsOneTo9999MatchesChrono) {
  using namespace std::chrono;
  const sys_days first = year_month_day{year{1}, January, day{1}};
  const sys_days last = year_month_day{year{9999}, December, day{31}};
  const int32_t offset = 2451545 - static_cast<int32_t>(
                                       sys_days{year_month_day{year{2000}, January, day{1}}}
                                           .time_since_epoch()
                                           .count());
  char text[32];
  char back[8];
  int failures = 0;
  for (sys_days d = first; d <= last && failures < 5; d += days{1}) {
    year_month_day ymd{d};
    std::snprintf(text, sizeof(text), "%04d%02u%02u", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    int32_t want = static_cast<int32_t>(d.time_since_epoch().count()) + offset;
    int32_t got = date4toJulian(text);
    date4fromJulian(back, want);
    if (got != want || std::memcmp(back, text, 8) != 0) {
      ADD_FAILURE() << text << " gave " << got << " and " << std::string(back, 8);
      ++failures;
    }
  }
  EXPECT_EQ(date4toJulian("00010101"), 1721426);
  EXPECT_EQ(date4toJulian("99991231"), 5373484);
}

TEST(Date4, EdgeCases) {
  EXPECT_EQ(date4toJulian("20000101"), 2451545);
  EXPECT_EQ(date4toJulian("19000229"), -1);
  EXPECT_EQ(date4toJulian("20000229"), 2451545 + 59);
  EXPECT_EQ(date4toJulian("        "), 0);
  EXPECT_EQ(date4toJulian("2000AB01"), -1);
  char d[8];
  date4fromJulian(d, 2451545);
  EXPECT_EQ(text8(d), "20000101");
  date4fromJulian(d, 0);
  EXPECT_EQ(text8(d), "        ");
  date4fromJulian(d, 5373485);
  EXPECT_EQ(text8(d), "        ");
  EXPECT_EQ(date4dow("20000101"), 7);
  EXPECT_EQ(date4dow("20000102"), 1);
  EXPECT_EQ(date4dow("20001332"), 0);
  EXPECT_STREQ(date4dayName("20000101"), "Saturday");
  EXPECT_STREQ(date4dayName("        "), "");
  EXPECT_STREQ(date4monthName("19981225"), "December");
  EXPECT_STREQ(date4monthName("19981325"), "");
  EXPECT_EQ(date4yearDays(2), 365);
  EXPECT_EQ(date4dayOfYear(2000, 12, 31), 366);
  EXPECT_EQ(date4dayOfYear(1999, 2, 29), -1);
  int m = 0, day = 0;
  EXPECT_EQ(date4monthDay(2000, 60, &m, &day), 0);
  EXPECT_EQ(m, 2);
  EXPECT_EQ(day, 29);
  EXPECT_EQ(date4monthDay(1999, 366, &m, &day), -1);
  EXPECT_EQ(date4double("        "), 1e100);
  EXPECT_EQ(date4double("20000101"), 2451545.0);
  EXPECT_EQ(date4year("19981225"), 1998);
  EXPECT_EQ(date4month("19981225"), 12);
  EXPECT_EQ(date4day("19981225"), 25);
}

TEST(Date4, FormatAndParseByPicture) {
  char out[300];
  date4format("19981225", out, "MM/DD/YY");
  EXPECT_STREQ(out, "12/25/98");
  date4format("19981225", out, "DD MMMMMMMMM CCYY");
  EXPECT_STREQ(out, "25 December  1998");
  date4format("19981225", out, "dd mmm ccyy");
  EXPECT_STREQ(out, "25 Dec 1998");
  date4format("19980525", out, "MMMMMMMMMMMM");
  EXPECT_STREQ(out, "May         ");
  date4format("        ", out, "MMM DD");
  EXPECT_STREQ(out, "      ");
  std::string longPicture(1000, 'Y');
  date4format("19981225", out, longPicture.c_str());
  EXPECT_EQ(std::strlen(out), 256u) << "pictures are cut";

  char d[8];
  date4parse(d, "12/25/98", "MM/DD/YY");
  EXPECT_EQ(text8(d), "19981225");
  date4parse(d, "Dec 1998", "MMM CCYY");
  EXPECT_EQ(text8(d), "19981201");
  date4parse(d, "dec 1998", "MMM CCYY");
  EXPECT_EQ(text8(d), "19981201");
  date4parse(d, "12", "MM/DD/YY");
  EXPECT_EQ(text8(d), "19011201") << "a short text reads as blanks";
  date4parse(d, "whatever", "----");
  EXPECT_EQ(text8(d), "        ");
}

TEST(Str4, ViewsAndLargeStrings) {
  Str4large s("hello");
  EXPECT_EQ(s.len(), 5u);
  EXPECT_STREQ(s.str(), "hello");
  Str4large w(" world");
  EXPECT_EQ(s.append(w), 0);
  EXPECT_STREQ(s.ptr(), "hello world");
  Str4large comma(",");
  EXPECT_EQ(s.insert(comma, 5), 0);
  EXPECT_STREQ(s.ptr(), "hello, world");
  EXPECT_EQ(s.insert(comma, 999), 0) << "inserting past the end appends";
  EXPECT_STREQ(s.ptr(), "hello, world,");
  Str4large needle("world");
  EXPECT_EQ(s.find(needle), 7);
  Str4large empty;
  EXPECT_EQ(s.find(empty), 0);
  EXPECT_EQ(needle.find(s), -1);
  EXPECT_EQ(empty.firstChar(), 0);
  EXPECT_EQ(empty.lastChar(), nullptr);
  EXPECT_EQ(*s.lastChar(), ',');
  Str4len mid = s.substr(7, 100);
  EXPECT_EQ(mid.len(), 6u);
  EXPECT_EQ(s.left(2).len(), 2u);
  Str4len r = s.right(6);
  EXPECT_STREQ(Str4large(r).ptr(), "world,");
  EXPECT_EQ(s.substr(99, 2).len(), 0u);

  Str4large ab("AB"), abc("ABC");
  EXPECT_EQ(ab.less(abc), 1);
  EXPECT_EQ(abc.greater(ab), 1);
  EXPECT_EQ(ab.equal(abc), 0);
  Str4large ab2("AB");
  EXPECT_EQ(ab.equal(ab2), 1);

  std::string big(300, 'x');
  Str4large full(big.c_str());
  EXPECT_EQ(full.len(), 255u);
  EXPECT_EQ(full.setLen(256), -1);
  EXPECT_EQ(full.len(), 255u);
  EXPECT_EQ(full.insert(comma, 0), -1) << "what passes the end is lost";
  EXPECT_EQ(full.firstChar(), ',');
  EXPECT_EQ(full.len(), 255u);

  Str4large num;
  num.assignLong(42, 5, 1);
  EXPECT_STREQ(num.ptr(), "00042");
  num.assignDouble(-1.5, 6, 2);
  EXPECT_STREQ(num.ptr(), " -1.50");
  EXPECT_DOUBLE_EQ(num.asDouble(), -1.5);
  num.assign("  77x");
  EXPECT_EQ(num.asLong(), 77);
  num.upper();
  EXPECT_STREQ(num.ptr(), "  77X");
  EXPECT_EQ(Str4large("Yes").isTrue(), 1);
  EXPECT_EQ(Str4large("true").isTrue(), 1);
  EXPECT_EQ(Str4large("F").isTrue(), 0);
  EXPECT_EQ(Str4large(" T").isTrue(), 0);
  EXPECT_EQ(empty.isTrue(), 0);
  Str4char c('y');
  EXPECT_EQ(c.isTrue(), 1);
  EXPECT_EQ(c.setLen(3), -1);
  Str4large enc;
  EXPECT_EQ(enc.encode("19981225", "DD.MM.CCYY", "CCYYMMDD"), 0);
  EXPECT_STREQ(enc.ptr(), "25.12.1998");
  Str4char one('x');
  EXPECT_EQ(one.encode("19981225", "DD.MM", "CCYYMMDD"), -1);
  EXPECT_EQ(one.firstChar(), 'x') << "a string that cannot grow is left alone";
}

TEST(Str4, Dates) {
  Date4 blank;
  EXPECT_STREQ(blank.ptr(), "        ");
  EXPECT_EQ(blank.asLong(), 0);
  Date4 d(2451545);
  EXPECT_STREQ(d.ptr(), "20000101");
  Date4 t("19981225");
  EXPECT_EQ(t.asLong(), date4toJulian("19981225"));
  EXPECT_STREQ(t.dateFormat("MMM DD, CCYY"), "Dec 25, 1998");
  Date4 p("12/25/98", "MM/DD/YY");
  EXPECT_STREQ(p.ptr(), "19981225");
}

TEST_F(EngineTest, FieldViewsWorkOnTheRecord) {
  const FIELD4INFO fields[] = {{"NAME", 'C', 10, 0}, {"REJECT", 'N', 6, 0}, {"OK", 'L', 1, 0},
                               {nullptr, 0, 0, 0}};
  DATA4* d = d4create(&cb, dir.file("f").c_str(), fields, nullptr);
  ASSERT_NE(d, nullptr);
  Field4 name(d4fieldByName(d, "NAME"));
  Field4 reject(d4fieldByName(d, "REJECT"));
  Field4 ok(d4fieldByName(d, "OK"));
  d4blank(d);
  EXPECT_EQ(name.assign("Alice"), 0);
  EXPECT_EQ(std::string(name.ptr(), 10), "Alice     ");
  EXPECT_EQ(name.assign("A much longer name"), -1);
  EXPECT_EQ(std::string(name.ptr(), 10), "A much lon");
  name.assign("Alice");
  reject.assignLong(-12);
  ok.assign("T");
  ASSERT_EQ(d4append(d), 0);
  EXPECT_EQ(d4changed(d, -1), 0);

  ASSERT_EQ(d4go(d, 1), 0);
  EXPECT_EQ(reject.asLong(), -12);
  EXPECT_EQ(ok.firstChar(), 'T');
  EXPECT_EQ(name.trim(), -1) << "a field keeps its length";
  EXPECT_EQ(std::string(name.ptr(), 10), std::string("Alice\0\0\0\0\0", 10));
  EXPECT_EQ(d4changed(d, -1), 1);
  char buf[4];
  EXPECT_EQ(name.copyTo(buf, sizeof(buf)), 3u);
  EXPECT_STREQ(buf, "Ali");
  EXPECT_STREQ(name.str(), "Alice");
  EXPECT_EQ(name.setLen(3), -1);
  d4close(d);
}

TEST_F(EngineTest, TableObjectFindsItsTagsByName) {
  const FIELD4INFO fields[] = {{"NAME", 'C', 10, 0}, {nullptr, 0, 0, 0}};
  const TAG4INFO tags[] = {{"BYNAME", "NAME", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  DATA4* d = d4create(&cb, dir.file("t").c_str(), fields, tags);
  ASSERT_NE(d, nullptr);
  Data4 table(d);
  EXPECT_EQ(table.data(), d);
  TAG4* t = table.tagByName("byname");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t, d4tagByName(d, "BYNAME"));
  cb.errorOff = 1;
  EXPECT_EQ(table.tagByName("NOSUCH"), nullptr);
  EXPECT_EQ(cb.errorCode, -330);
  cb.errorCode = 0;
  d4close(d);
}

} // namespace
