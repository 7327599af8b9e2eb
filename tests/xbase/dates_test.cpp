// Dates: day numbers, pictures and the Date4 class.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "xbase/dates.h"
#include "xbase/string_classes.h"

namespace {

std::string fromJulian(long day) {
    char out[8];
    date4fromJulian(out, day);
    return std::string(out, 8);
}

std::string format(const char* date, const char* picture) {
    char out[date4maxPicture + 1];
    date4format(date, out, picture);
    return out;
}

std::string parse(const char* text, const char* picture) {
    char out[8];
    date4parse(out, text, picture);
    return std::string(out, 8);
}

// Every day of years 1 to 9999 against the standard library's proleptic Gregorian calendar.
TEST(Date4, EveryDayOfYearsOneTo9999MatchesChrono) {
    using namespace std::chrono;
    const sys_days first = year_month_day{year{1}, January, day{1}};
    const sys_days last = year_month_day{year{9999}, December, day{31}};
    long expected = date4firstDay;
    char text[32];
    for (sys_days d = first; d <= last; d += days{1}, ++expected) {
        const year_month_day ymd{d};
        std::snprintf(text, sizeof text, "%04d%02u%02u", int(ymd.year()), unsigned(ymd.month()),
                      unsigned(ymd.day()));
        const long julian = date4toJulian(text);
        ASSERT_EQ(julian, expected) << text;
        char back[8];
        date4fromJulian(back, julian);
        ASSERT_EQ(std::string(back, 8), std::string(text, 8)) << julian;
        // weekday: chrono counts 0 = Sunday, the engine 1 = Sunday.
        ASSERT_EQ(date4dow(text), int(weekday{d}.c_encoding()) + 1) << text;
    }
    EXPECT_EQ(expected - 1, date4lastDay);
    EXPECT_EQ(date4toJulian("00010101"), 1721426);
    EXPECT_EQ(date4toJulian("99991231"), 5373484);
}

TEST(Date4, DayNumbersNamesAndImpossibleDates) {
    struct ToJulian {
        const char* text;
        long day;
    } const toJulian[] = {
        {"20000101", 2451545}, {"00010101", 1721426}, {"20000229", 2451545 + 59}, {"20000228", 2451545 + 58},
        {"        ", 0},       {"19000229", -1} /* 1900 is no leap year */,     {"19981301", -1},
        {"19981200", -1},      {"1998XX01", -1},      {"2000AB01", -1},           {"-0011201", -1},
    };
    for (const ToJulian& c : toJulian) EXPECT_EQ(date4toJulian(c.text), c.day) << c.text;
    // Outside 0001..9999 there is no 8-character form.
    struct FromJulian {
        long day;
        const char* text;
    } const back[] = {{2451545, "20000101"},         {0, "        "},       {-5, "        "},
                      {date4firstDay - 1, "        "}, {date4lastDay + 1, "        "}, {5373485, "        "},
                      {2147483647L, "        "}};
    for (const FromJulian& c : back) EXPECT_EQ(fromJulian(c.day), c.text) << c.day;
    struct Names {
        const char* date;
        int dow;
        const char* dayName;
        const char* monthName;
    } const names[] = {{"20000101", 7, "Saturday", "January"}, {"20000102", 1, "Sunday", "January"},
                       {"19981225", 6, "Friday", "December"},  {"19000229", 0, "", nullptr},
                       {"20001332", 0, "", ""},                {"19981325", 0, "", ""},
                       {"        ", 0, "", ""}};
    for (const Names& c : names) {
        EXPECT_EQ(date4dow(c.date), c.dow) << c.date;
        EXPECT_STREQ(date4dayName(c.date), c.dayName) << c.date;
        if (c.monthName != nullptr) {
            EXPECT_STREQ(date4monthName(c.date), c.monthName) << c.date;
        }
    }
    EXPECT_EQ(date4day("19981225"), 25);
    EXPECT_EQ(date4month("19981225"), 12);
    EXPECT_EQ(date4year("19981225"), 1998);
    EXPECT_EQ(date4double("        "), 1e100);
    EXPECT_EQ(date4double("20000101"), 2451545.0);
    EXPECT_EQ(date4yearDays(1), 0);
    EXPECT_EQ(date4yearDays(2), 365);
    EXPECT_EQ(date4dayOfYear(2000, 12, 31), 366);
    EXPECT_EQ(date4dayOfYear(1999, 2, 29), -1);
    int m = 0, d = 0;
    EXPECT_EQ(date4monthDay(2000, 60, &m, &d), 0);
    EXPECT_EQ(m, 2);
    EXPECT_EQ(d, 29);
    EXPECT_EQ(date4monthDay(1999, 366, &m, &d), -1);
}

TEST(Date4, FormatByPicture) {
    struct Case {
        const char* date;
        const char* picture;
        const char* want;
    } const cases[] = {
        {"19981225", "MM/DD/YY", "12/25/98"},
        {"19981225", "mm/dd/ccyy", "12/25/1998"},
        {"19981225", "DD MMMMMMMMM CCYY", "25 December  1998"},
        {"19981225", "DD MMM CCYY", "25 Dec 1998"},
        {"19981225", "dd mmm ccyy", "25 Dec 1998"},
        // A run longer than the longest name stays blank past it.
        {"19980925", "MMMMMMMMMMMM", "September   "},
        {"19980525", "MMMMMMMMMMMM", "May         "},
        {"        ", "MM/DD/YY", "  /  /  "},
        {"        ", "DD MMM", "      "},
        {"        ", "MMM DD", "      "},
        {"19981525", "MMM", "Dec"},  // months past 12 name December
        {"19980025", "MMM", "Jan"},
    };
    for (const Case& c : cases) EXPECT_EQ(format(c.date, c.picture), c.want) << c.picture;
    // An over-long picture is cut, never overrun.
    const std::string longPicture(1000, 'X');
    EXPECT_EQ(format("19981225", longPicture.c_str()), std::string(date4maxPicture, 'X'));
    EXPECT_EQ(format("19981225", std::string(1000, 'Y').c_str()).size(), 256u);
}

TEST(Date4, ParseByPicture) {
    struct Case {
        const char* text;
        const char* picture;
        const char* want;
    } const cases[] = {
        {"12/25/98", "MM/DD/YY", "19981225"},
        {"Dec 1998", "MMM CCYY", "19981201"},
        {"dec 1998", "MMM CCYY", "19981201"},
        {"december  1998", "MMMMMMMMM CCYY", "19981201"},
        {"  /  /  ", "MM/DD/YY", "        "},
        {"", "MM/DD/YY", "        "},
        // A text shorter than its picture reads blanks past its end.
        {"12/2", "MM/DD/YY", "19011220"},
        {"12", "MM/DD/YY", "19011201"},
        {"25.12.1998", "dd.mm.ccyy", "19981225"},
        {"whatever", "----", "        "},
    };
    for (const Case& c : cases) EXPECT_EQ(parse(c.text, c.picture), c.want) << c.text;
    // A month name that is none makes the date impossible.
    EXPECT_EQ(date4toJulian(parse("Xyz 1998", "MMM CCYY").c_str()), -1);
}

TEST(Date4, Date4Class) {
    Date4 blank;
    EXPECT_STREQ(blank.str(), "        ");
    EXPECT_STREQ(blank.ptr(), "        ");
    EXPECT_EQ(blank.asLong(), 0);
    Date4 fromDay(2451545);
    EXPECT_STREQ(fromDay.ptr(), "20000101");
    EXPECT_EQ(fromDay.asLong(), 2451545);
    Date4 fromText("19981225");
    EXPECT_EQ(fromText.asLong(), date4toJulian("19981225"));
    EXPECT_STREQ(fromText.dateFormat("MM/DD/YY"), "12/25/98");
    EXPECT_STREQ(fromText.dateFormat("MMM DD, CCYY"), "Dec 25, 1998");
    Date4 longText("1998122599999");
    EXPECT_STREQ(longText.ptr(), "19981225");
    Date4 parsed("12/25/98", "MM/DD/YY");
    EXPECT_STREQ(parsed.ptr(), "19981225");
    EXPECT_EQ(parsed.len(), 8u);
    EXPECT_EQ(parsed.setLen(3), -1);
    EXPECT_EQ(parsed.len(), 8u);
}

}  // namespace
