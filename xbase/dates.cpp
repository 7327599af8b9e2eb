#include "xbase/dates.h"

#include <cstring>
#include <ctime>

#include "xbase/text.h"

namespace {

constexpr long julianOffset = 1721425;

// Days before each month; index 12 is the length of a common year.
constexpr int monthStart[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};

const char dayNames[8][12] = {"", "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday",
                              "Saturday"};
const char monthNames[12][10] = {"January", "February", "March",     "April",   "May",      "June",
                                 "July",    "August",   "September", "October", "November", "December"};

int daysBefore(int year, int month) { return monthStart[month - 1] + (month > 2 && date4isLeap(year) ? 1 : 0); }

bool allBlank(const char* text, int n) {
    for (int i = 0; i < n; ++i)
        if (text[i] != ' ') return false;
    return true;
}

// Copies a picture, upper-cased and cut to the longest picture; returns its length.
int takePicture(char* out, const char* picture) {
    int len = 0;
    if (picture != nullptr)
        while (len < date4maxPicture && picture[len] != '\0') {
            out[len] = picture[len];
            ++len;
        }
    out[len] = '\0';
    c4upperN(out, len);
    return len;
}

}  // namespace

bool date4isLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

long date4yearDays(int year) {
    const long y = long(year) - 1;
    return y * 365 + y / 4 + y / 400 - y / 100;
}

int date4dayOfYear(int year, int month, int day) {
    if (year < 0 || month < 1 || month > 12 || day < 1) return -1;
    // monthStart has a 13th entry, so this also measures December.
    if (day > daysBefore(year, month + 1) - daysBefore(year, month)) return -1;
    return daysBefore(year, month) + day;
}

int date4monthDay(int year, int dayOfYear, int* month, int* day) {
    const int yearLen = date4isLeap(year) ? 366 : 365;
    if (dayOfYear < 1 || dayOfYear > yearLen) return -1;
    int m = 12;
    while (m > 1 && daysBefore(year, m) >= dayOfYear) --m;
    if (month != nullptr) *month = m;
    if (day != nullptr) *day = dayOfYear - daysBefore(year, m);
    return 0;
}

long date4toJulian(const char* date) {
    if (date == nullptr) return -1;
    const int year = int(c4textToInt(date, 4));
    if (year == 0 && allBlank(date, 8)) return 0;
    const int month = int(c4textToInt(date + 4, 2));
    const int day = int(c4textToInt(date + 6, 2));
    const int dayOfYear = date4dayOfYear(year, month, day);
    if (dayOfYear < 1) return -1;
    return dayOfYear + date4yearDays(year) + julianOffset;
}

void date4fromJulian(char* result, long dayNumber) {
    if (dayNumber < date4firstDay || dayNumber > date4lastDay) {
        std::memset(result, ' ', 8);
        return;
    }
    const long n = dayNumber - julianOffset;
    long a = long(double(n) * (1.0 / 365.2425));
    int year = int(a + 1);
    long days = n - date4yearDays(year);
    if (days <= 0) {
        year = int(a);
        days = n - date4yearDays(year);
    }
    if (days > (date4isLeap(year) ? 366 : 365)) {
        days -= date4isLeap(year) ? 366 : 365;
        ++year;
    }
    int month = 1;
    int day = 1;
    date4monthDay(year, int(days), &month, &day);
    c4longToText(year, result, -4);
    c4longToText(month, result + 4, -2);
    c4longToText(day, result + 6, -2);
}

int date4dow(const char* date) {
    const long day = date4toJulian(date);
    if (day < 1) return 0;
    return int((day + 1) % 7) + 1;
}

const char* date4dayName(const char* date) { return dayNames[date4dow(date)]; }

const char* date4monthName(const char* date) {
    const int month = date4month(date);
    return month >= 1 && month <= 12 ? monthNames[month - 1] : "";
}

int date4day(const char* date) { return int(c4textToInt(date + 6, 2)); }
int date4month(const char* date) { return int(c4textToInt(date + 4, 2)); }
int date4year(const char* date) { return int(c4textToInt(date, 4)); }

double date4double(const char* date) {
    const long day = date4toJulian(date);
    return day == 0 ? date4blankDouble : double(day);
}

int date4doubleOut(const char* date, double* result) {
    *result = date4double(date);
    return 0;
}

void date4format(const char* date, char* result, const char* picture) {
    char pic[date4maxPicture + 1];
    const int len = takePicture(pic, picture);
    std::memset(result, ' ', size_t(len));
    c4encode(result, date, pic, "CCYYMMDD");
    result[len] = '\0';

    const char* run = std::strchr(pic, 'M');
    if (run == nullptr) return;
    int runLen = 0;
    while (run[runLen] == 'M') ++runLen;
    if (runLen < 3) return;
    char* out = result + (run - pic);
    std::memset(out, ' ', size_t(runLen));
    if (allBlank(date + 4, 2)) return;
    int month = date4month(date);
    if (month < 1) month = 1;
    if (month > 12) month = 12;
    const char* name = monthNames[month - 1];
    const int nameLen = int(std::strlen(name));
    std::memcpy(out, name, size_t(nameLen < runLen ? nameLen : runLen));
}

void date4parse(char* result, const char* text, const char* picture) {
    std::memset(result, ' ', 8);
    char pic[date4maxPicture + 1];
    const int len = takePicture(pic, picture);
    int textLen = 0;
    if (text != nullptr)
        while (textLen < len && text[textLen] != '\0') ++textLen;

    int seen[4] = {0, 0, 0, 0};  // C, Y, M, D characters placed so far
    int firstM = -1;
    int mCount = 0;
    for (int i = 0; i < len; ++i) {
        int part;
        switch (pic[i]) {
        case 'C': part = 0; break;
        case 'Y': part = 1; break;
        case 'M': part = 2; break;
        case 'D': part = 3; break;
        default: continue;
        }
        if (part == 2) {
            if (firstM < 0) firstM = i;
            ++mCount;
        }
        if (seen[part] >= 2) continue;
        result[part * 2 + seen[part]] = i < textLen ? text[i] : ' ';
        ++seen[part];
    }
    if (allBlank(result, 8)) return;

    static const char defaults[4][3] = {"19", "01", "01", "01"};
    for (int part = 0; part < 4; ++part)
        if (seen[part] == 0 || allBlank(result + part * 2, 2)) std::memcpy(result + part * 2, defaults[part], 2);

    if (mCount > 2) {
        char name[4] = {0, 0, 0, 0};
        int nameLen = 0;
        while (nameLen < 3 && firstM + nameLen < textLen) {
            name[nameLen] = text[firstM + nameLen];
            ++nameLen;
        }
        while (nameLen > 0 && name[nameLen - 1] == ' ') --nameLen;
        if (nameLen > 0) {
            c4upperN(name, 1);
            c4lowerN(name + 1, nameLen - 1);
            int found = 0;
            for (int m = 0; m < 12 && found == 0; ++m)
                if (std::strncmp(monthNames[m], name, size_t(nameLen)) == 0) found = m + 1;
            // A name that matches no month makes the date impossible rather than some month.
            c4longToText(found, result + 4, -2);
        } else {
            std::memcpy(result + 4, "01", 2);
        }
    }
    for (int i = 0; i < 8; ++i)
        if (result[i] == ' ') result[i] = '0';
}

void date4today(char* result) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    c4longToText(local.tm_year + 1900, result, -4);
    c4longToText(local.tm_mon + 1, result + 4, -2);
    c4longToText(local.tm_mday, result + 6, -2);
}

void date4timeNow(char* result) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    c4longToText(local.tm_hour, result, -2);
    result[2] = ':';
    c4longToText(local.tm_min, result + 3, -2);
    result[5] = ':';
    c4longToText(local.tm_sec, result + 6, -2);
}
