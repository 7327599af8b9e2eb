#include "xbase/date4.h"

#include "xbase/conv.h"

#include <cstring>
#include <ctime>

namespace {

constexpr int kPictureMax = 256;

const char* const kDayNames[] = {"", "Sunday", "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};
const char* const kMonthNames[] = {"January", "February", "March",     "April",
                                   "May",     "June",     "July",      "August",
                                   "September", "October", "November", "December"};
const int kCumulative[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int twoDigits(const char* p) { return static_cast<int>(c4textToInt(p, 2)); }

void copyPicture(char* out, const char* picture) {
  size_t n = 0;
  while (n < kPictureMax && picture[n] != 0) {
    char c = picture[n];
    out[n] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    ++n;
  }
  out[n] = 0;
}

} // namespace

int32_t date4yearDays(int year) {
  int y = year - 1;
  return y * 365 + y / 4 + y / 400 - y / 100;
}

int date4dayOfYear(int year, int month, int day) {
  if (year < 0 || month < 1 || month > 12 || day < 1) return -1;
  int extra = month > 2 && leap(year) ? 1 : 0;
  int length = kCumulative[month] - kCumulative[month - 1] + (month == 2 && leap(year) ? 1 : 0);
  if (day > length) return -1;
  return kCumulative[month - 1] + extra + day;
}

int date4monthDay(int year, int dayOfYear, int* month, int* day) {
  int yearLen = leap(year) ? 366 : 365;
  if (dayOfYear < 1 || dayOfYear > yearLen) return -1;
  for (int m = 12; m >= 1; --m) {
    int start = kCumulative[m - 1] + (m > 2 && leap(year) ? 1 : 0);
    if (dayOfYear > start) {
      *month = m;
      *day = dayOfYear - start;
      return 0;
    }
  }
  return -1;
}

int32_t date4toJulian(const char* date) {
  int year = static_cast<int>(c4textToInt(date, 4));
  int blanks = 0;
  while (blanks < 8 && date[blanks] == ' ') ++blanks;
  if (year == 0 && blanks == 8) return 0;
  for (int i = 0; i < 8; ++i)
    if (date[i] != ' ' && (date[i] < '0' || date[i] > '9')) return -1;
  int doy = date4dayOfYear(year, twoDigits(date + 4), twoDigits(date + 6));
  if (doy < 1) return -1;
  return doy + date4yearDays(year) + 1721425;
}

void date4fromJulian(char* result, int32_t julian) { date4assign(result, julian); }

int date4dow(const char* date) {
  int32_t j = date4toJulian(date);
  if (j < 1) return 0;
  return static_cast<int>((j + 1) % 7) + 1;
}

const char* date4dayName(const char* date) { return kDayNames[date4dow(date)]; }

const char* date4monthName(const char* date) {
  int m = date4month(date);
  return m >= 1 && m <= 12 ? kMonthNames[m - 1] : "";
}

int date4day(const char* date) { return twoDigits(date + 6); }
int date4month(const char* date) { return twoDigits(date + 4); }
int date4year(const char* date) { return static_cast<int>(c4textToInt(date, 4)); }

double date4double(const char* date) {
  int32_t j = date4toJulian(date);
  return j == 0 ? 1e100 : static_cast<double>(j);
}

int date4doubleOut(const char* date, double* out) {
  *out = date4double(date);
  return 0;
}

void c4encode(char* dest, const char* data, const char* target, const char* source) {
  size_t targetLen = std::strlen(target);
  std::memcpy(dest, target, targetLen + 1);
  for (size_t s = 0; source[s] != 0;) {
    char letter = source[s];
    size_t run = 1;
    while (source[s + run] == letter) ++run;
    const char* at = std::strchr(target, letter);
    if (at != nullptr) {
      size_t j = static_cast<size_t>(at - target);
      for (size_t k = 0; k < run && j + k < targetLen && target[j + k] == letter; ++k)
        dest[j + k] = data[s + k];
    }
    s += run;
  }
}

void date4format(const char* date, char* result, const char* picture) {
  char pic[kPictureMax + 1];
  copyPicture(pic, picture);
  size_t len = std::strlen(pic);
  char blanks[kPictureMax + 1];
  std::memset(blanks, ' ', len);
  blanks[len] = 0;
  c4encode(result, date, pic, "CCYYMMDD");
  const char* m = std::strstr(pic, "MMM");
  if (m == nullptr) return;
  size_t at = static_cast<size_t>(m - pic);
  size_t run = 0;
  while (pic[at + run] == 'M') ++run;
  std::memset(result + at, ' ', run);
  if (std::strncmp(date + 4, "  ", 2) == 0) return;
  int month = date4month(date);
  if (month < 1) month = 1;
  if (month > 12) month = 12;
  const char* name = kMonthNames[month - 1];
  size_t n = std::strlen(name);
  if (n > run) n = run;
  std::memcpy(result + at, name, n);
}

void date4parse(char* result, const char* text, const char* picture) {
  char pic[kPictureMax + 1];
  copyPicture(pic, picture);
  std::memset(result, ' ', 8);
  size_t textLen = std::strlen(text);
  int counts[4] = {0, 0, 0, 0};
  const char letters[] = "CYMD";
  bool placed = false;
  for (size_t i = 0; pic[i] != 0; ++i) {
    const char* kind = std::strchr(letters, pic[i]);
    if (kind == nullptr) continue;
    int k = static_cast<int>(kind - letters);
    if (counts[k] < 2) {
      result[k * 2 + counts[k]] = i < textLen ? text[i] : ' ';
      placed = true;
    }
    ++counts[k];
  }
  if (!placed) return;
  const char* defaults[] = {"19", "01", "01", "01"};
  for (int k = 0; k < 4; ++k)
    if (result[k * 2] == ' ' && result[k * 2 + 1] == ' ') std::memcpy(result + k * 2, defaults[k], 2);
  if (counts[2] > 2) {
    size_t at = static_cast<size_t>(std::strchr(pic, 'M') - pic);
    char name[4] = {0};
    size_t n = 0;
    while (n < 3 && at + n < textLen) {
      name[n] = text[at + n];
      ++n;
    }
    while (n > 0 && name[n - 1] == ' ') name[--n] = 0;
    for (size_t i = 0; i < n; ++i) {
      char c = name[i];
      if (i == 0 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
      if (i > 0 && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
      name[i] = c;
    }
    if (n > 0) {
      for (int m = 0; m < 12; ++m) {
        if (std::strncmp(kMonthNames[m], name, n) == 0) {
          c4longToText(m + 1, result + 4, -2);
          break;
        }
      }
    }
  }
  for (int i = 0; i < 8; ++i)
    if (result[i] == ' ') result[i] = '0';
}

void date4today(char* result) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  c4longToText(tm.tm_year + 1900, result, -4);
  c4longToText(tm.tm_mon + 1, result + 4, -2);
  c4longToText(tm.tm_mday, result + 6, -2);
}

void date4timeNow(char* result) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  c4longToText(tm.tm_hour, result, -2);
  result[2] = ':';
  c4longToText(tm.tm_min, result + 3, -2);
  result[5] = ':';
  c4longToText(tm.tm_sec, result + 6, -2);
}

void c4trimBlanks(char* text, int n) {
  if (n <= 0) return;
  int end = 0;
  while (end < n - 1 && text[end] != 0) ++end;
  text[end] = 0;
  while (end > 0 && text[end - 1] == ' ') text[--end] = 0;
}

void c4upper(char* text) {
  for (; *text; ++text)
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 32);
}

void c4lower(char* text) {
  for (; *text; ++text)
    if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text + 32);
}

int c4log2(long n) {
  int count = 0;
  while (n > 1) {
    n /= 2;
    ++count;
  }
  return count;
}
