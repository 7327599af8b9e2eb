// Number and text conversions, and the string classes.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "test_util.h"
#include "xbase/dates.h"
#include "xbase/numbers.h"
#include "xbase/text.h"
#include "xbase/string_classes.h"

namespace {

using xbtest::EngineTest;

std::string dtt(double v, int len, int dec) {
    std::string out(size_t(len), '?');
    c4doubleToText(v, out.data(), len, dec);
    return out;
}

std::string ltt(int64_t v, int len) {
    std::string out(size_t(len < 0 ? -len : len), '?');
    c4longToText(v, out.data(), len);
    return out;
}

TEST(C4Conv, TextToDouble) {
    EXPECT_EQ(c4textToDouble("12.50", 5), 12.5);
    EXPECT_EQ(c4textToDouble("  -3.25xyz", 10), -3.25);
    EXPECT_EQ(c4textToDouble("+7", 2), 7.0);
    EXPECT_EQ(c4textToDouble("1e3", 3), 1000.0);
    EXPECT_EQ(c4textToDouble(".5", 2), 0.5);
    EXPECT_EQ(c4textToDouble("--1", 3), 0.0);
    EXPECT_EQ(c4textToDouble("+-1", 3), 0.0);
    EXPECT_EQ(c4textToDouble("12345", 3), 123.0);  // only n characters
    EXPECT_EQ(c4textToDouble("abc", 3), 0.0);
    EXPECT_EQ(c4textToDouble("", 0), 0.0);
    EXPECT_EQ(c4textToDouble(nullptr, 4), 0.0);
    EXPECT_TRUE(std::isinf(c4textToDouble("1e999", 5)));
    EXPECT_EQ(c4textToDouble("-1e-999", 7), 0.0);
    // At most 49 characters are read.
    const std::string longText = std::string(49, '1') + "999";
    EXPECT_EQ(c4textToDouble(longText.c_str(), 52), c4textToDouble(longText.c_str(), 49));
}

TEST(C4Conv, AsLongKeepsLow32Bits) {
    EXPECT_EQ(c4textToInt("  42", 4), 42);
    EXPECT_EQ(c4textToInt("-17abc", 6), -17);
    EXPECT_EQ(c4textToInt("1998", 2), 19);
    EXPECT_EQ(c4textToInt("x1", 2), 0);
    const std::pair<const char*, long> cases[] = {
        {"2147483648", INT32_MIN}, {"4294967295", -1}, {"4294967296", 0}, {"-1", -1},
        {"99999999999999999999999", -1},  // the 64-bit parse saturates
    };
    for (const auto& [t, want] : cases) {
        Str4large s(t);
        EXPECT_EQ(s.asLong(), want) << t;
        EXPECT_EQ(s.asInt(), int(want)) << t;
    }
}

TEST(C4Conv, DoubleToText) {
    EXPECT_EQ(dtt(3.14159, 8, 2), "    3.14");
    EXPECT_EQ(dtt(-3.14159, 8, 2), "   -3.14");
    EXPECT_EQ(dtt(0.5, 6, 2), "  0.50");
    EXPECT_EQ(dtt(-0.001, 6, 2), "  0.00");  // no sign on a value that rounds to zero
    EXPECT_EQ(dtt(42, 5, 0), "   42");
    EXPECT_EQ(dtt(12345, 4, 0), "****");
    EXPECT_EQ(dtt(-999, 4, 0), "-999");
    EXPECT_EQ(dtt(-1000, 4, 0), "****");
    EXPECT_EQ(dtt(99.996, 5, 2), "*****");  // rounding carries into a digit that does not fit
    EXPECT_EQ(dtt(1e300, 10, 0), "**********");
    EXPECT_EQ(dtt(std::numeric_limits<double>::infinity(), 6, 1), "******");
    EXPECT_EQ(dtt(std::nan(""), 6, 1), "******");
    EXPECT_EQ(dtt(1.5, 3, 9), "***");  // decimals cut to length - 1 leave no integer digit
    EXPECT_EQ(dtt(2.0 / 3.0, 20, 18), "   0.666666666666667");  // at most 15 decimals
    // Binary ties round as the exact value says: 0.125 is exact and rounds to even.
    EXPECT_EQ(dtt(0.125, 5, 2), " 0.12");
    EXPECT_EQ(dtt(0.375, 5, 2), " 0.38");
}

// Under a German locale the C library writes and reads "12,50"; the engine must not.
TEST(C4Conv, ConversionsIgnoreTheLocale) {
    const char* old = std::setlocale(LC_ALL, nullptr);
    const std::string saved = old != nullptr ? old : "C";
    std::string dir;
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
        // Not installed: compile a private copy of the locale for this test.
        const char* tmp = std::getenv("ORVELIN_TEST_TMP");
        std::string templ = std::string(tmp != nullptr ? tmp : "/tmp") + "/localeXXXXXX";
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir = templ;
        const std::string cmd = "localedef -i de_DE -f UTF-8 " + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) {
            std::system(("rm -rf " + dir).c_str());
            GTEST_SKIP() << "no de_DE locale and localedef failed";
        }
        setenv("LOCPATH", dir.c_str(), 1);
        ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
    }
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.2f", 12.5);
    EXPECT_STREQ(probe, "12,50");  // the locale really is active
    EXPECT_EQ(dtt(12.5, 6, 2), " 12.50");
    EXPECT_EQ(dtt(1.25, 6, 2), "  1.25");
    EXPECT_EQ(c4textToDouble("12.50", 5), 12.5);
    Str4large s("0.75");
    EXPECT_EQ(s.asDouble(), 0.75);
    std::setlocale(LC_ALL, saved.c_str());
    if (!dir.empty()) {
        unsetenv("LOCPATH");
        std::system(("rm -rf " + dir).c_str());
    }
}

TEST(C4Conv, NumbersAndDatesWithoutLocale) {
  char buf[16];
  c4longToText(-1020, buf, 4);
  EXPECT_EQ(std::string(buf, 4), "****");
  c4longToText(-920, buf, 4);
  EXPECT_EQ(std::string(buf, 4), "-920");
  c4longToText(7, buf, -2);
  EXPECT_EQ(std::string(buf, 2), "07");
  c4longToText(-7, buf, -2);
  EXPECT_EQ(std::string(buf, 2), "**");
  c4doubleToText(12.5, buf, 8, 2);
  EXPECT_EQ(std::string(buf, 8), "   12.50");
  c4doubleToText(-0.25, buf, 6, 2);
  EXPECT_EQ(std::string(buf, 6), " -0.25");
  c4doubleToText(123456.0, buf, 6, 1);
  EXPECT_EQ(std::string(buf, 6), "******");
  c4doubleToText(0.125, buf, 5, 2);
  EXPECT_EQ(std::string(buf, 5), " 0.12") << "binary tie rounds correctly";
  c4doubleToText(1.0 / 0.0, buf, 5, 0);
  EXPECT_EQ(std::string(buf, 5), "*****");
  EXPECT_EQ(c4textToInt("  -42abc", 8), -42);
  EXPECT_EQ(c4textToInt("99999999999999999999", 20), INT64_MAX);
  EXPECT_DOUBLE_EQ(c4textToDouble("  12.50", 7), 12.5);
  EXPECT_DOUBLE_EQ(c4textToDouble("1.5", 1), 1.0) << "reads only n characters";
  EXPECT_EQ(date4long("20000101"), 2451545);
  EXPECT_EQ(date4long("00010101"), 1721426);
  EXPECT_EQ(date4long("        "), 0);
  EXPECT_EQ(date4long("19990229"), -1);
  char d[8];
  date4assign(d, 2451545 + 59);
  EXPECT_EQ(std::string(d, 8), "20000229");
  date4assign(d, 0);
  EXPECT_EQ(std::string(d, 8), "        ");
}

TEST(C4Conv, LongToText) {
    EXPECT_EQ(ltt(42, 5), "   42");
    EXPECT_EQ(ltt(-42, 5), "  -42");
    EXPECT_EQ(ltt(0, 3), "  0");
    EXPECT_EQ(ltt(7, -2), "07");
    EXPECT_EQ(ltt(123, 2), "**");
    EXPECT_EQ(ltt(-12, 2), "**");  // no blank left for the sign
    EXPECT_EQ(ltt(-1, -3), "***");  // zero-padded fields take no sign
    EXPECT_EQ(ltt(INT64_MIN, 20), "-9223372036854775808");
}

TEST(C4Conv, TrimCaseLogEncode) {
    char text[] = "AB  \0xx";
    c4trimBlanks(text, 8);
    EXPECT_EQ(std::memcmp(text, "AB\0\0\0", 5), 0);
    char cut[] = "ABCDEF  ";
    c4trimBlanks(cut, 4);  // ends after n - 1 characters
    EXPECT_STREQ(cut, "ABC");
    char mixed[] = "Straße mit ümlaut";
    c4upper(mixed);
    EXPECT_STREQ(mixed, "STRAßE MIT üMLAUT");  // ASCII only: UTF-8 bytes are left alone
    c4lower(mixed);
    EXPECT_STREQ(mixed, "straße mit ümlaut");
    EXPECT_EQ(c4log2(1), 0);
    EXPECT_EQ(c4log2(2), 1);
    EXPECT_EQ(c4log2(1024), 10);
    EXPECT_EQ(c4log2(1025), 10);
    char out[9] = {};
    c4encode(out, "19981225", "MM/DD/YY", "CCYYMMDD");
    EXPECT_STREQ(out, "12/25/98");
    char out2[11] = {};
    c4encode(out2, "19981225", "CCYY-MM-DD", "CCYYMMDD");
    EXPECT_STREQ(out2, "1998-12-25");
}

TEST(Str4, ComparisonAndSearch) {
    char a[] = "AB", b[] = "ABC", c[] = "ABD";
    Str4ptr sa(a), sb(b), sc(c);
    EXPECT_TRUE(sa.less(sb));
    EXPECT_FALSE(sb.less(sa));
    EXPECT_TRUE(sb.greater(sa));
    EXPECT_TRUE(sb.less(sc));
    EXPECT_FALSE(sa.equal(sb));
    Str4len prefix(b, 2);
    EXPECT_TRUE(sa.equal(prefix));
    char hay[] = "HELLO WORLD", needle[] = "WORLD", none[] = "WORLDS", empty[] = "";
    Str4ptr h(hay), n(needle), x(none), e(empty);
    EXPECT_EQ(h.find(n), 6);
    EXPECT_EQ(h.find(x), -1);
    EXPECT_EQ(h.find(e), 0);
    Str4large hello("HELLO");
    EXPECT_EQ(h.left(5).equal(hello), 1);
}

TEST(Str4, FirstCharIsTrueAndViews) {
    for (const char* t : {"Yes", "true", "T", "y"}) {
        Str4large s(t);
        EXPECT_EQ(s.isTrue(), 1) << t;
    }
    for (const char* t : {"False", " T", "N", ""}) {
        Str4large s(t);
        EXPECT_EQ(s.isTrue(), 0) << t;
    }
    Str4large empty;
    EXPECT_EQ(empty.firstChar(), '\0');
    EXPECT_EQ(empty.lastChar(), nullptr);
    Str4ptr none(nullptr);
    EXPECT_EQ(none.len(), 0u);
    EXPECT_EQ(none.firstChar(), '\0');
    Str4large s("ABCDEF");
    EXPECT_EQ(*s.lastChar(), 'F');
    EXPECT_EQ(s.at(6), nullptr);
    EXPECT_STREQ(s.substr(2, 3).str(), "CDE");
    EXPECT_STREQ(s.substr(4, 10).str(), "EF");
    EXPECT_EQ(s.substr(7, 1).len(), 0u);
    EXPECT_STREQ(s.right(2).str(), "EF");
    EXPECT_STREQ(s.right(20).str(), "ABCDEF");
    Str4char ch('Q');
    EXPECT_STREQ(ch.str(), "Q");
    EXPECT_EQ(ch.setLen(2), -1);
}

TEST(Str4, LargeGrowsTo255) {
    Str4large s;
    EXPECT_EQ(s.setLen(300), -1);
    EXPECT_EQ(s.len(), 255u);
    const std::string big(400, 'x');
    Str4large t(big.c_str());
    EXPECT_EQ(t.len(), 255u);
    EXPECT_EQ(std::string(t.ptr()), std::string(255, 'x'));
    Str4large u("ABC");
    char more[] = "DEF";
    Str4ptr m(more);
    EXPECT_EQ(u.append(m), 0);
    EXPECT_STREQ(u.ptr(), "ABCDEF");
    EXPECT_EQ(u.insert(m, 100), 0);  // past the end: at the end
    EXPECT_STREQ(u.ptr(), "ABCDEFDEF");
    EXPECT_EQ(u.insert(u, 0), 0);  // from itself
    EXPECT_STREQ(u.ptr(), "ABCDEFDEFABCDEFDEF");
    EXPECT_EQ(u.trim(), 0);
    Str4large padded("AB  ");
    EXPECT_EQ(padded.trim(), 0);
    EXPECT_EQ(padded.len(), 2u);
    EXPECT_EQ(padded.assignLong(-42, 6, 0), 0);
    EXPECT_STREQ(padded.ptr(), "   -42");
    EXPECT_EQ(padded.assignLong(42, 4, 1), 0);
    EXPECT_STREQ(padded.ptr(), "0042");
    EXPECT_EQ(padded.assignDouble(3.14159, 6, 2), 0);
    EXPECT_STREQ(padded.ptr(), "  3.14");
    EXPECT_EQ(padded.encode("19981225", "DD.MM.CCYY", "CCYYMMDD"), 0);
    EXPECT_STREQ(padded.ptr(), "25.12.1998");
    padded.lower();
    padded.assign("MiXeD");
    padded.upper();
    EXPECT_STREQ(padded.ptr(), "MIXED");
    EXPECT_EQ(padded.asLong(), 0);
    padded.assign("-123.5");
    EXPECT_EQ(padded.asLong(), -123);
    EXPECT_EQ(padded.asDouble(), -123.5);
    char buf[4];
    EXPECT_EQ(padded.copyTo(buf, 4), 3u);
    EXPECT_STREQ(buf, "-12");
    EXPECT_EQ(padded.copyTo(buf, 0), 0u);
}

TEST(Str4, TenAtMostAndGrowableLengths) {
    // At most 10 characters: more sets 10 and answers -1.
    struct Case {
        unsigned want;
        int rc;
        unsigned len;
    } const ten[] = {{0, 0, 0}, {7, 0, 7}, {10, 0, 10}, {11, -1, 10}, {500, -1, 10}};
    for (const Case& c : ten) {
        Str4ten s;
        EXPECT_EQ(s.setLen(c.want), c.rc) << c.want;
        EXPECT_EQ(s.len(), c.len) << c.want;
        EXPECT_EQ(s.maximum(), 10u);
    }
    Str4ten cut("ABCDEFGHIJKL");
    EXPECT_STREQ(cut.ptr(), "ABCDEFGHIJ");
    // Growable: a length above the maximum raises the maximum first.
    Str4flex g("abc");
    EXPECT_STREQ(g.ptr(), "abc");
    const std::string big(1000, 'q');
    EXPECT_EQ(g.assign(big.c_str()), 0);
    EXPECT_EQ(g.len(), 1000u);
    EXPECT_GE(g.maximum(), 1000u);
    EXPECT_EQ(std::string(g.ptr()), big);
    char tail[] = "XYZ";
    Str4ptr more(tail);
    EXPECT_EQ(g.append(more), 0);
    EXPECT_EQ(g.len(), 1003u);
    EXPECT_STREQ(g.ptr() + 1000, "XYZ");
    // No room to be had: the old maximum and contents stay, and the answer is -1.
    const unsigned before = g.maximum();
    u4injectAllocFailures(1);
    EXPECT_EQ(g.setLen(before + 1), -1);
    u4injectAllocFailures(0);
    EXPECT_EQ(g.maximum(), before);
    EXPECT_EQ(g.len(), 1003u);
    EXPECT_STREQ(g.ptr() + 1000, "XYZ");
    EXPECT_EQ(g.setLen(2), 0);
    EXPECT_STREQ(g.ptr(), "qq");
}

TEST(Str4, FixedLengthViewsPadCutAndLose) {
    char field[11] = "ABCDE     ";
    Str4len f(field, 10);
    EXPECT_EQ(f.assign("Bob"), 0);
    EXPECT_EQ(std::string(field, 10), "Bob       ");
    EXPECT_EQ(f.assign("A much longer text"), -1);
    EXPECT_EQ(std::string(field, 10), "A much lon");
    std::memcpy(field, "ABCDE     ", 10);
    char xy[] = "XY";
    Str4ptr ins(xy);
    EXPECT_EQ(f.insert(ins, 0), -1);  // two blanks fall off the end
    EXPECT_EQ(std::string(field, 10), "XYABCDE   ");
    EXPECT_EQ(f.replace(ins, 9), -1);  // only one character fits
    EXPECT_EQ(std::string(field, 10), "XYABCDE  X");
    f.set('-');
    EXPECT_EQ(std::string(field, 10), "----------");
    EXPECT_EQ(field[10], '\0');  // a full view is never terminated past its end
    // A class that cannot grow to the picture is left as it was.
    char small[5] = "abcd";
    Str4len s(small, 4);
    EXPECT_EQ(s.encode("19981225", "DD.MM.CCYY", "CCYYMMDD"), -1);
    EXPECT_STREQ(small, "abcd");
    std::memcpy(field, "Smith     ", 10);
    EXPECT_EQ(f.trim(), -1);  // fixed length: the blanks become zero bytes, the length stays
    EXPECT_EQ(std::memcmp(field, "Smith\0\0\0\0\0", 10), 0);
    EXPECT_EQ(f.len(), 10u);
}

TEST(Str4, StrCopiesAtMost256) {
    const std::string big(300, 'z');
    std::string storage = big;
    Str4len s(storage.data(), 300);
    EXPECT_EQ(std::strlen(s.str()), 256u);
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

}  // namespace
