#include "xbase/numbers.h"
#include "xbase/dates.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace {

constexpr int32_t kJulianOf1970 = 2440588;
constexpr int32_t kFirstDay = 1721426;   // 0001-01-01
constexpr int32_t kLastDay = 5373484;    // 9999-12-31

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}


} // namespace

void c4longToText(int64_t value, char* buffer, int length) {
  const bool keepZeros = length < 0;
  const int width = keepZeros ? -length : length;
  if (width <= 0) return;
  const bool negative = value < 0;
  uint64_t mag = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + mag % 10);
    mag /= 10;
  } while (mag != 0);
  const int needed = n + (negative ? 1 : 0);
  if (needed > width || (negative && keepZeros)) {
    std::memset(buffer, '*', static_cast<size_t>(width));
    return;
  }
  std::memset(buffer, keepZeros ? '0' : ' ', static_cast<size_t>(width));
  for (int i = 0; i < n; ++i) buffer[width - 1 - i] = digits[i];
  if (negative) buffer[width - 1 - n] = '-';
}

void c4doubleToText(double value, char* buffer, int length, int decimals) {
  if (length <= 0) return;
  if (decimals > 15) decimals = 15;
  if (decimals > length - 1) decimals = length - 1;
  if (decimals < 0) decimals = 0;
  std::memset(buffer, '0', static_cast<size_t>(length));
  if (!std::isfinite(value)) {
    std::memset(buffer, '*', static_cast<size_t>(length));
    return;
  }
  char text[400];
  auto res = std::to_chars(text, text + sizeof(text) - 1, value, std::chars_format::fixed,
                           decimals);
  if (res.ec != std::errc()) {
    std::memset(buffer, '*', static_cast<size_t>(length));
    return;
  }
  *res.ptr = 0;
  char* p = text;
  bool negative = *p == '-';
  if (negative) ++p;
  char* point = std::strchr(p, '.');
  int intLen = point != nullptr ? static_cast<int>(point - p) : static_cast<int>(std::strlen(p));
  // A value that rounds to zero carries no sign.
  if (negative && std::strspn(p, "0.") == std::strlen(p)) negative = false;
  const int intWidth = decimals > 0 ? length - decimals - 1 : length;
  if (intLen + (negative ? 1 : 0) > intWidth) {
    std::memset(buffer, '*', static_cast<size_t>(length));
    return;
  }
  std::memset(buffer, ' ', static_cast<size_t>(intWidth - intLen));
  std::memcpy(buffer + intWidth - intLen, p, static_cast<size_t>(intLen));
  if (negative) buffer[intWidth - intLen - 1] = '-';
  if (decimals > 0) {
    buffer[intWidth] = '.';
    std::memcpy(buffer + intWidth + 1, point + 1, static_cast<size_t>(decimals));
  }
}

int64_t c4textToInt(const char* text, int n) {
  if (text == nullptr || n <= 0) return 0;
  if (n > 127) n = 127;
  int i = 0;
  while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < n && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int64_t value = 0;
  bool saturated = false;
  for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
    int digit = text[i] - '0';
    if (value > (INT64_MAX - digit) / 10) {
      saturated = true;
      break;
    }
    value = value * 10 + digit;
  }
  if (saturated) return negative ? INT64_MIN : INT64_MAX;
  return negative ? -value : value;
}

double c4textToDouble(const char* text, int n) {
  if (text == nullptr || n <= 0) return 0.0;
  if (n > 49) n = 49;
  int i = 0;
  while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < n && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  // from_chars takes a sign of its own; a second sign is not a number.
  if (i < n && text[i] == '-') return 0.0;
  double value = 0.0;
  auto res = std::from_chars(text + i, text + n, value, std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range) {
    // Decide between overflow and underflow from the exponent's sign.
    const char* e = static_cast<const char*>(std::memchr(text + i, 'e', static_cast<size_t>(n - i)));
    if (e == nullptr) e = static_cast<const char*>(std::memchr(text + i, 'E', static_cast<size_t>(n - i)));
    value = (e != nullptr && e + 1 < text + n && e[1] == '-') ? 0.0 : HUGE_VAL;
  } else if (res.ec != std::errc()) {
    value = 0.0;
  }
  return negative ? -value : value;
}

int32_t date4long(const char* s) { return date4toJulian(s); }

void date4assign(char* s, int32_t julian) {
  if (julian < kFirstDay || julian > kLastDay) {
    std::memset(s, ' ', 8);
    return;
  }
  int64_t y;
  unsigned m, d;
  civilFromDays(static_cast<int64_t>(julian) - kJulianOf1970, y, m, d);
  c4longToText(y, s, -4);
  c4longToText(m, s + 4, -2);
  c4longToText(d, s + 6, -2);
}
