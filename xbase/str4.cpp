#include "xbase/str4.h"

#include "xbase/conv.h"
#include "xbase/date4.h"

#include <cstring>
#include <vector>

namespace {

// Shared result buffer of str() and dateFormat(): the next call overwrites it.
char g_shared[257];

} // namespace

int64_t Str4::asLong() { return c4textToInt(ptr(), static_cast<int>(len())); }

unsigned Str4::len() {
  char* p = ptr();
  return p == nullptr ? 0 : static_cast<unsigned>(std::strlen(p));
}

const char* Str4::str() {
  unsigned n = len();
  if (n > 256) n = 256;
  if (n > 0) std::memcpy(g_shared, ptr(), n);
  g_shared[n] = 0;
  return g_shared;
}

double Str4::asDouble() { return c4textToDouble(ptr(), static_cast<int>(len())); }

char Str4::firstChar() {
  char* p = ptr();
  return p == nullptr || len() == 0 ? 0 : p[0];
}

int Str4::isTrue() {
  char c = firstChar();
  return c == 'T' || c == 'Y' || c == 't' || c == 'y' ? 1 : 0;
}

char* Str4::lastChar() {
  unsigned n = len();
  return n == 0 ? nullptr : ptr() + n - 1;
}

int Str4::equal(Str4& other) {
  unsigned n = len();
  return n == other.len() && (n == 0 || std::memcmp(ptr(), other.ptr(), n) == 0) ? 1 : 0;
}

int Str4::less(Str4& other) {
  unsigned a = len(), b = other.len();
  unsigned n = a < b ? a : b;
  int rc = n == 0 ? 0 : std::memcmp(ptr(), other.ptr(), n);
  return rc < 0 || (rc == 0 && a < b) ? 1 : 0;
}

int Str4::greater(Str4& other) {
  unsigned a = len(), b = other.len();
  unsigned n = a < b ? a : b;
  int rc = n == 0 ? 0 : std::memcmp(ptr(), other.ptr(), n);
  return rc > 0 || (rc == 0 && a > b) ? 1 : 0;
}

int Str4::find(Str4& other) {
  unsigned n = len(), m = other.len();
  if (m == 0) return 0;
  for (unsigned i = 0; i + m <= n; ++i)
    if (std::memcmp(ptr() + i, other.ptr(), m) == 0) return static_cast<int>(i);
  return -1;
}

int Str4::insert(Str4& other, unsigned position) {
  changed();
  std::vector<char> add(other.ptr(), other.ptr() + other.len());
  unsigned oldLen = len();
  if (position > oldLen) position = oldLen;
  setLen(oldLen + static_cast<unsigned>(add.size()));
  unsigned newLen = len();
  char* p = ptr();
  int rc = newLen < oldLen + add.size() ? -1 : 0;
  if (position >= newLen) return rc;
  size_t room = newLen - position;
  size_t addCopy = add.size() < room ? add.size() : room;
  size_t tail = oldLen - position;
  size_t tailRoom = room - addCopy;
  if (tail > tailRoom) tail = tailRoom;
  std::memmove(p + position + addCopy, p + position, tail);
  if (addCopy > 0) std::memcpy(p + position, add.data(), addCopy);
  if (newLen < maximum()) p[newLen] = 0;
  return rc;
}

int Str4::append(Str4& other) { return insert(other, len()); }

int Str4::append(const char* text) {
  Str4len view(text, static_cast<unsigned>(std::strlen(text)));
  return append(view);
}

int Str4::assign(const char* text) { return assign(text, static_cast<unsigned>(std::strlen(text))); }

int Str4::assign(const char* bytes, unsigned n) {
  changed();
  setLen(n);
  unsigned have = len();
  char* p = ptr();
  int rc = 0;
  if (have < n) {
    n = have;
    rc = -1;
  } else {
    std::memset(p, ' ', have);
  }
  std::memmove(p, bytes, n);
  if (have < maximum()) p[have] = 0;
  return rc;
}

int Str4::assign(Str4& other) {
  std::vector<char> copy(other.ptr(), other.ptr() + other.len());
  return assign(copy.data(), static_cast<unsigned>(copy.size()));
}

int Str4::replace(Str4& other, unsigned position) {
  changed();
  std::vector<char> bytes(other.ptr(), other.ptr() + other.len());
  unsigned need = position + static_cast<unsigned>(bytes.size());
  if (need > len()) setLen(need);
  unsigned n = len();
  if (position >= n) return bytes.empty() ? 0 : -1;
  size_t copy = bytes.size() < n - position ? bytes.size() : n - position;
  if (copy > 0) std::memcpy(ptr() + position, bytes.data(), copy);
  return copy < bytes.size() ? -1 : 0;
}

void Str4::set(char c) {
  changed();
  unsigned n = len();
  if (n > 0) std::memset(ptr(), c, n);
}

int Str4::assignLong(int64_t value, int newLen, int zeroFill) {
  changed();
  int rc = newLen >= 0 ? setLen(static_cast<unsigned>(newLen)) : 0;
  int n = static_cast<int>(len());
  if (n > 0) c4longToText(value, ptr(), zeroFill ? -n : n);
  return rc;
}

int Str4::assignDouble(double value, int newLen, int dec) {
  changed();
  int rc = newLen >= 0 ? setLen(static_cast<unsigned>(newLen)) : 0;
  int n = static_cast<int>(len());
  if (n > 0) c4doubleToText(value, ptr(), n, dec < 0 ? decimals() : dec);
  return rc;
}

int Str4::encode(const char* source, const char* targetPicture, const char* sourcePicture) {
  unsigned tl = static_cast<unsigned>(std::strlen(targetPicture));
  if (tl > 256) return -1;
  if (len() < tl && (setLen(tl) != 0 || len() < tl)) return -1;
  changed();
  char out[257];
  c4encode(out, source, targetPicture, sourcePicture);
  std::memcpy(ptr(), out, tl);
  return 0;
}

const char* Str4::dateFormat(const char* picture) {
  char date[9];
  std::memset(date, ' ', 8);
  unsigned n = len() < 8 ? len() : 8;
  if (n > 0) std::memcpy(date, ptr(), n);
  date[8] = 0;
  char result[257];
  date4format(date, result, picture);
  std::memcpy(g_shared, result, sizeof(result));
  return g_shared;
}

Str4len Str4::left(unsigned n) { return Str4len(*this, 0, n); }

Str4len Str4::right(unsigned n) {
  unsigned l = len();
  return Str4len(*this, n >= l ? 0 : l - n, n);
}

Str4len Str4::substr(unsigned start, unsigned n) { return Str4len(*this, start, n); }

void Str4::lower() {
  changed();
  char* p = ptr();
  for (unsigned i = 0, n = len(); i < n; ++i)
    if (p[i] >= 'A' && p[i] <= 'Z') p[i] = static_cast<char>(p[i] + 32);
}

void Str4::upper() {
  changed();
  char* p = ptr();
  for (unsigned i = 0, n = len(); i < n; ++i)
    if (p[i] >= 'a' && p[i] <= 'z') p[i] = static_cast<char>(p[i] - 32);
}

int Str4::trim() {
  changed();
  char* p = ptr();
  unsigned n = len();
  while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == 0)) p[--n] = 0;
  return setLen(n);
}

unsigned Str4::copyTo(char* buffer, unsigned size) {
  if (size == 0) return 0;
  unsigned n = len();
  if (n > size - 1) n = size - 1;
  if (n > 0) std::memcpy(buffer, ptr(), n);
  buffer[n] = 0;
  return n;
}

Str4len::Str4len(Str4& source, unsigned start, unsigned count) : Str4ptr(source.ptr()), n_(0) {
  unsigned l = source.len();
  if (start >= l) {
    p_ = source.ptr() + l;
    return;
  }
  p_ = source.ptr() + start;
  n_ = count < l - start ? count : l - start;
}

Str4large::Str4large(const char* text) {
  buf_[0] = 0;
  assign(text);
}

Str4large::Str4large(Str4& other) {
  buf_[0] = 0;
  assign(other);
}

int Str4large::setLen(unsigned n) {
  int rc = 0;
  if (n > kMax) {
    n = kMax;
    rc = -1;
  }
  n_ = n;
  buf_[n] = 0;
  return rc;
}

Date4::Date4() {
  std::memset(buf_, ' ', 8);
  buf_[8] = 0;
}

Date4::Date4(int32_t julian) {
  date4fromJulian(buf_, julian);
  buf_[8] = 0;
}

Date4::Date4(const char* ccyymmdd) {
  std::memset(buf_, ' ', 8);
  size_t n = std::strlen(ccyymmdd);
  std::memcpy(buf_, ccyymmdd, n < 8 ? n : 8);
  buf_[8] = 0;
}

Date4::Date4(const char* text, const char* picture) {
  date4parse(buf_, text, picture);
  buf_[8] = 0;
}

int64_t Date4::asLong() { return date4toJulian(buf_); }
