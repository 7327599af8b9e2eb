// Name, copy, date and wait utilities.
#include "xbase/engine.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Start of the file part of a path.
const char* filePart(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

} // namespace

void u4upper(char* text) {
  for (; *text; ++text)
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 32);
}

size_t u4copyBounded(char* dest, const char* src, size_t size) {
  if (size == 0) return 0;
  size_t n = 0;
  while (src != nullptr && n + 1 < size && src[n] != 0) {
    dest[n] = src[n];
    ++n;
  }
  dest[n] = 0;
  return n;
}

void u4setExtension(char* name, size_t size, const char* ext, int replace) {
  if (size == 0) return;
  size_t len = std::strlen(name);
  while (len > 0 && name[len - 1] == ' ') name[--len] = 0;
  char* dot = std::strrchr(const_cast<char*>(filePart(name)), '.');
  if (dot != nullptr && !replace) return;
  if (ext[0] == '.') ++ext;
  size_t at = dot != nullptr ? static_cast<size_t>(dot - name) : len;
  if (at + 1 >= size) return;
  name[at] = '.';
  u4copyBounded(name + at + 1, ext, size - at - 1);
}

void u4namePart(char* result, size_t size, const char* path, int keepDir, int keepExt) {
  const char* start = keepDir ? path : filePart(path);
  size_t n = std::strlen(start);
  if (!keepExt) {
    const char* dot = std::strrchr(filePart(path), '.');
    if (dot != nullptr && dot >= start) n = static_cast<size_t>(dot - start);
  }
  if (size == 0) return;
  if (n > size - 1) n = size - 1;
  std::memcpy(result, start, n);
  result[n] = 0;
}

size_t u4namePath(char* result, size_t size, const char* name) {
  size_t n = static_cast<size_t>(filePart(name) - name);
  if (size == 0) return 0;
  if (n > size - 1) n = size - 1;
  std::memcpy(result, name, n);
  result[n] = 0;
  return n;
}

size_t u4nameExt(char* result, size_t size, const char* name) {
  const char* dot = std::strrchr(filePart(name), '.');
  if (dot == nullptr) return 0;
  size_t n = std::strlen(dot + 1);
  if (n > size) n = size;
  std::memcpy(result, dot + 1, n);
  return n;
}

void u4nameMake(char* result, size_t size, const char* directory, const char* name) {
  if (size == 0) return;
  result[0] = 0;
  if (name[0] != '/' && directory != nullptr && directory[0] != 0) {
    size_t d = std::strlen(directory);
    std::snprintf(result, size, "%s%s%s", directory, directory[d - 1] == '/' ? "" : "/", name);
  } else {
    u4copyBounded(result, name, size);
  }
}

int u4nameChar(int c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '&' || c == '@' || c == '_'
             ? 1
             : 0;
}

int u4remove(const char* name) { return std::remove(name); }

int u4rename(const char* oldName, const char* newName) { return std::rename(oldName, newName); }

void u4todayYMD(unsigned char ymd[3]) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  ymd[0] = static_cast<unsigned char>(tm.tm_year);
  ymd[1] = static_cast<unsigned char>(tm.tm_mon + 1);
  ymd[2] = static_cast<unsigned char>(tm.tm_mday);
}

// Sleeps until the wall clock enters the next whole second. It only sleeps:
// nothing is taken from or dispatched on any event queue.
int64_t u4waitSecond() {
  // One clock for both readings: time() may run on a coarser clock and lag.
  timespec first{};
  clock_gettime(CLOCK_REALTIME, &first);
  const time_t start = first.tv_sec;
  for (;;) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec > start) return now.tv_sec;
    timespec rest{0, 1000000000L - now.tv_nsec};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
  }
}
