// Files: create, open, positioned I/O, sequential buffers, temporary files,
// whole-file replacement and byte-range locks.
//
// Every descriptor is close-on-exec. Sharing between processes: flock (shared
// for a normal open, exclusive for an exclusive one) stands for the share mode;
// record and region locks are open-file-description locks, which conflict
// between two opens even inside one process.
#include "xbase/engine.h"
#include "xbase/block_cache.h"
#include "xbase/file_view.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

const char* nameOf(const FILE4* f) {
  return f->name != nullptr ? f->name : "Unknown Name";
}

bool asciiEqualNoCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char x = static_cast<unsigned char>(*a);
    unsigned char y = static_cast<unsigned char>(*b);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return false;
    if (x == 0) return true;
  }
}

// Finds a directory entry whose name differs from the path's file part only
// in ASCII case (a table written on a case-insensitive system). The directory
// part is taken as given.
bool findOtherCase(const char* path, char* found, size_t size) {
  const char* slash = std::strrchr(path, '/');
  std::string_view dirPart = slash ? std::string_view(path, slash - path + 1) : std::string_view();
  const char* base = slash ? slash + 1 : path;
  if (*base == 0) return false;
  char dir[u4pathMax];
  if (dirPart.empty()) {
    std::memcpy(dir, ".", 2);
  } else {
    if (dirPart.size() >= sizeof(dir)) return false;
    std::memcpy(dir, dirPart.data(), dirPart.size());
    dir[dirPart.size()] = 0;
  }
  DIR* d = opendir(dir);
  if (d == nullptr) return false;
  char best[256] = {0};
  bool any = false;
  while (dirent* e = readdir(d)) {
    if (!asciiEqualNoCase(e->d_name, base)) continue;
    if (!any || std::strcmp(e->d_name, best) < 0) {
      u4copyBounded(best, e->d_name, sizeof(best));
      any = true;
    }
  }
  closedir(d);
  if (!any) return false;
  if (dirPart.size() + std::strlen(best) + 1 > size) return false;
  std::memcpy(found, dirPart.data(), dirPart.size());
  std::memcpy(found + dirPart.size(), best, std::strlen(best) + 1);
  return true;
}

int failOpen(FILE4* f, CODE4* cb, const char* name, bool create) {
  f->fd = -1;
  if (create) {
    if (cb->createError) return error4reportEx(cb, err4create, "File Name:", name, nullptr);
    cb->errorCode = status4noCreate;
    return status4noCreate;
  }
  if (cb->openError) return error4reportEx(cb, err4open, "File Name:", name, nullptr);
  cb->errorCode = status4noOpen;
  return status4noOpen;
}

int shareLock(int fd, bool exclusive) {
  return flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
}

int finishOpen(FILE4* f, CODE4* cb, const char* name, int copyName, int fd) {
  f->fd = fd;
  f->cb = cb;
  f->len = -1;
  f->exclusiveOpen = static_cast<uint8_t>(cb->exclusive != 0);
  f->readOnlyOpen = static_cast<uint8_t>(cb->readOnly != 0);
  f->reallyOpen = 1;
  if (copyName) {
    size_t n = std::strlen(name) + 1;
    f->name = static_cast<char*>(u4allocOrError(cb, n));
    if (f->name == nullptr) {
      ::close(fd);
      f->fd = -1;
      return err4memory;
    }
    std::memcpy(f->name, name, n);
    f->ownsName = 1;
  } else {
    f->name = const_cast<char*>(name);
  }
  return 0;
}

int openCommon(FILE4* f, CODE4* cb, const char* name, int copyName, bool create) {
  if (f == nullptr || cb == nullptr || name == nullptr) return -1;
  std::memset(f, 0, sizeof(*f));
  f->fd = -1;
  f->cb = cb;
  if (cb->errorCode < 0) return -1;
  cb->errorCode = 0;
  if (std::strlen(name) >= u4pathMax || *name == 0) return failOpen(f, cb, name, create);

  int access = cb->readOnly ? O_RDONLY : O_RDWR;
  int fd = -1;
  char other[u4pathMax];
  const char* used = name;
  if (create) {
    if (cb->readOnly) return failOpen(f, cb, name, true);
    if (cb->safety) {
      fd = ::open(name, access | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } else {
      // Overwriting: never cut a file that another user has open.
      fd = ::open(name, access | O_CREAT | O_CLOEXEC, 0666);
      if (fd >= 0 && (shareLock(fd, true) != 0 || ftruncate(fd, 0) != 0)) {
        ::close(fd);
        fd = -1;
      }
    }
  } else {
    fd = ::open(name, access | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && findOtherCase(name, other, sizeof(other))) {
      fd = ::open(other, access | O_CLOEXEC);
      if (fd >= 0) {
        used = other;
        copyName = 1;
      }
    }
  }
  if (fd < 0) return failOpen(f, cb, name, create);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || shareLock(fd, cb->exclusive != 0) != 0) {
    ::close(fd);
    return failOpen(f, cb, name, create);
  }
  return finishOpen(f, cb, used, copyName, fd);
}

bool writeAll(int fd, int64_t pos, const void* buf, size_t count) {
  const char* p = static_cast<const char*>(buf);
  while (count > 0) {
    ssize_t n = pwrite(fd, p, count, pos);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    pos += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

// Reads up to count bytes; -1 on an operating-system error.
ssize_t readUpTo(int fd, int64_t pos, void* buf, size_t count) {
  char* p = static_cast<char*>(buf);
  size_t got = 0;
  while (got < count) {
    ssize_t n = pread(fd, p + got, count - got, pos + static_cast<int64_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// A shared file's bytes come from its view when it can answer, else from a read.
ssize_t readFile(FILE4* f, int64_t pos, void* buf, size_t count) {
  const int64_t viewed = file4viewRead(f, pos, buf, count);
  if (viewed != -2) return static_cast<ssize_t>(viewed);
  const ssize_t got = readUpTo(f->fd, pos, buf, count);
  file4viewNoteRead(f, pos, got);
  return got;
}

// Failure seam for tests: the write that brings the count to zero fails.
int g_writesUntilFailure = -1;

bool injectedFailure() {
  if (g_writesUntilFailure < 0) return false;
  if (g_writesUntilFailure > 0 && --g_writesUntilFailure > 0) return false;
  g_writesUntilFailure = -1;
  return true;
}

int32_t maskBuffer(size_t size) {
  if (size > (size_t{1} << 30)) size = size_t{1} << 30;
  return static_cast<int32_t>(size / 1024 * 1024);
}

} // namespace

void file4injectWriteFailure(int afterWrites) { g_writesUntilFailure = afterWrites; }

int file4writeDirect(FILE4* f, int64_t pos, const void* buf, size_t count) {
  struct iovec one{const_cast<void*>(buf), count};
  return file4writeDirectV(f, pos, &one, 1);
}

int file4writeDirectV(FILE4* f, int64_t pos, const struct iovec* iov, int count) {
  if (!f->reallyOpen && file4makeReal(f) != 0) return -1;
  if (pos < 0 || injectedFailure()) return -1;
  std::vector<struct iovec> left(iov, iov + count);
  size_t at = 0;
  while (at < left.size()) {
    ssize_t n = pwritev(f->fd, left.data() + at, static_cast<int>(std::min<size_t>(left.size() - at, IOV_MAX)), pos);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    pos += n;
    file4viewNoteWrite(f, pos);
    size_t done = static_cast<size_t>(n);
    while (at < left.size() && done >= left[at].iov_len) done -= left[at++].iov_len;
    if (at < left.size()) {
      left[at].iov_base = static_cast<char*>(left[at].iov_base) + done;
      left[at].iov_len -= done;
    }
  }
  return 0;
}

int64_t file4readDirect(FILE4* f, int64_t pos, void* buf, size_t count) {
  if (!f->reallyOpen) return 0; // nothing of a cache-only file is on disk
  return pos < 0 ? -1 : readFile(f, pos, buf, count);
}

namespace {
bool cached(const FILE4* f) { return f->cacheKind != 0 && f->cb != nullptr && code4cacheRunning(f->cb); }

void leaveCacheList(FILE4* f) {
  if (!f->inCacheList) return;
  l4remove(&f->cb->cacheFiles, &f->link);
  f->inCacheList = 0;
}

const char* tempDirectoryOf(const CODE4* cb) {
  const char* dir = cb->tempDirectory;
  if (*dir == 0) {
    dir = std::getenv("TMPDIR");
    if (dir == nullptr || *dir == 0) dir = "/tmp";
  }
  return dir;
}

// A fresh private file "TEMPnnnn.TMP" in the temporary directory: its
// descriptor, with the path in `path`; -1 when none could be made (raised).
int createTempFile(CODE4* cb, char* path, size_t size) {
  const char* dir = tempDirectoryOf(cb);
  size_t dirLen = std::strlen(dir);
  bool slash = dirLen > 0 && dir[dirLen - 1] == '/';
  long base = static_cast<long>(std::time(nullptr) % 10000);
  for (int i = 0; i < 100; ++i) {
    int n = std::snprintf(path, size, "%s%sTEMP%04ld.TMP", dir, slash ? "" : "/", (base + i) % 10000);
    if (n < 0 || static_cast<size_t>(n) >= size) {
      return error4reportEx(cb, err4create, "Temporary Working File", nullptr, nullptr);
    }
    // Never follow a planted link or reuse another file: a fresh private file.
    int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno == EEXIST) continue;
    return error4reportEx(cb, err4create, "File Name:", path, nullptr);
  }
  return error4reportEx(cb, err4create, "Temporary Working File", nullptr, nullptr);
}
} // namespace

int file4isOpen(const FILE4* f) {
  return f != nullptr && (f->fd >= 0 || (f->cb != nullptr && !f->reallyOpen && f->cacheKind != 0)) ? 1 : 0;
}

int file4makeReal(FILE4* f) {
  if (f->reallyOpen) return 0;
  CODE4* cb = f->cb;
  // The name's memory comes first: short of memory, getting it suspends the
  // cache, which writes this very file out and so makes it real.
  auto* name = static_cast<char*>(u4allocOrError(cb, u4pathMax));
  if (name == nullptr) return -1;
  if (f->reallyOpen) {
    u4globalFree(name);
    return 0;
  }
  cb->forceReal = 1;
  int fd = createTempFile(cb, name, u4pathMax);
  cb->forceReal = 0;
  if (fd < 0) {
    u4globalFree(name);
    return -1;
  }
  if (f->ownsName) u4globalFree(f->name);
  f->name = name;
  f->ownsName = 1;
  f->fd = fd;
  f->reallyOpen = 1;
  return 0;
}

int file4create(FILE4* f, CODE4* cb, const char* name, int copyName) {
  return openCommon(f, cb, name, copyName, true);
}

int file4open(FILE4* f, CODE4* cb, const char* name, int copyName) {
  return openCommon(f, cb, name, copyName, false);
}

int file4close(FILE4* f) {
  if (f == nullptr) return 0;
  CODE4* cb = f->cb;
  if (cached(f)) {
    // A block that cannot be written is reported and forgotten all the same:
    // none may outlive the file it belongs to.
    if (f->reallyOpen && !f->temporary && cache4flushFile(f, 1) != 0)
      error4reportEx(cb, err4write, nameOf(f), nullptr, nullptr);
    cache4forget(f);
  }
  if (cb != nullptr) leaveCacheList(f);
  file4viewClose(f);
  if (f->fd >= 0) {
    if (::close(f->fd) != 0 && cb != nullptr)
      error4reportEx(cb, err4close, nameOf(f), nullptr, nullptr);
    if (f->temporary && f->name != nullptr) ::unlink(f->name);
  }
  if (f->ownsName) u4globalFree(f->name);
  std::memset(f, 0, sizeof(*f));
  f->fd = -1;
  return cb != nullptr && cb->errorCode < 0 ? -1 : 0;
}

int64_t u4filelength(int hand) {
  struct stat st;
  if (fstat(hand, &st) != 0) return -1;
  return st.st_size;
}

int64_t file4length(FILE4* f) {
  if (f->len >= 0) return f->len;
  if (!f->reallyOpen && f->cacheKind != 0) return std::max<int64_t>(f->cacheLen, 0);
  int64_t len = u4filelength(f->fd);
  if (len < 0) error4reportEx(f->cb, err4len, nameOf(f), nullptr, nullptr);
  if (len >= 0 && cached(f) && f->cacheLen > len) len = f->cacheLen;
  return len;
}

int file4lenSet(FILE4* f, int64_t len) {
  CODE4* cb = f->cb;
  if (cb->errorCode < 0 || (cb->errorCode > 0 && cb->errorCode < 200)) return -1;
  if (f->readOnlyOpen)
    return error4reportEx(cb, err4parm, "Attempt to change file length of a read-only file",
                          nameOf(f), nullptr);
  if (cached(f) && len >= 0) {
    if (!f->reallyOpen) {
      cache4cut(f, len);
      return 0;
    }
    if (cache4flushFile(f, 0) != 0) return error4reportEx(cb, err4write, nameOf(f), nullptr, nullptr);
    cache4cut(f, len);
  }
  if (len < 0 || ftruncate(f->fd, len) != 0)
    return error4reportEx(cb, err4lenSet, nameOf(f), nullptr, nullptr);
  file4viewCut(f, len);
  f->len = -1;
  return 0;
}

int file4readAt(FILE4* f, int64_t pos, void* buf, size_t count) {
  if (f->cb->errorCode < 0) return -1;
  ssize_t n = pos < 0 ? -1 : cached(f) ? static_cast<ssize_t>(cache4read(f, pos, buf, count)) : readFile(f, pos, buf, count);
  if (n != static_cast<ssize_t>(count))
    return error4reportEx(f->cb, err4read, "File Name:", nameOf(f), nullptr);
  return 0;
}

int file4readAtPassing(FILE4* f, int64_t pos, void* buf, size_t count) {
  if (!cached(f)) return file4readAt(f, pos, buf, count);
  if (f->cb->errorCode < 0) return -1;
  ssize_t n = pos < 0 ? -1 : static_cast<ssize_t>(cache4readPassing(f, pos, buf, count));
  if (n != static_cast<ssize_t>(count))
    return error4reportEx(f->cb, err4read, "File Name:", nameOf(f), nullptr);
  return 0;
}

size_t file4read(FILE4* f, int64_t pos, void* buf, size_t count) {
  if (f->cb->errorCode < 0) return 0;
  ssize_t n = pos < 0 ? -1 : cached(f) ? static_cast<ssize_t>(cache4read(f, pos, buf, count)) : readFile(f, pos, buf, count);
  if (n < 0) {
    error4reportEx(f->cb, err4read, "File Name:", nameOf(f), nullptr);
    return 0;
  }
  return static_cast<size_t>(n);
}

int file4writeAt(FILE4* f, int64_t pos, const void* buf, size_t count) {
  CODE4* cb = f->cb;
  if (cb->errorCode < 0) return -1;
  if (f->readOnlyOpen)
    return error4reportEx(cb, err4parm, "Attempt to write to a read-only file", nameOf(f),
                          nullptr);
  const bool inCache = pos >= 0 && cached(f);
  if (inCache && f->writeBehindOn) {
    if (cache4write(f, pos, buf, count, 1) != 0)
      return cb->errorCode < 0 ? -1 : error4reportEx(cb, err4write, nameOf(f), nullptr, nullptr);
    return 0;
  }
  if (inCache && !f->exclusiveOpen) {
    // Another program may have changed the rest of a block since it was
    // read: a shared file takes exactly these bytes, written through.
    if (cache4drop(f, pos, static_cast<int64_t>(count)) != 0)
      return cb->errorCode < 0 ? -1 : error4reportEx(cb, err4write, nameOf(f), nullptr, nullptr);
  }
  if (!f->reallyOpen && file4makeReal(f) != 0) return -1;
  if (pos < 0 || injectedFailure() || !writeAll(f->fd, pos, buf, count))
    return error4reportEx(cb, err4write, nameOf(f), nullptr, nullptr);
  file4viewNoteWrite(f, pos + static_cast<int64_t>(count));
  // Written through: cached copies of these bytes follow.
  if (inCache) cache4write(f, pos, buf, count, 0);
  if (cb->flushEveryWrite) file4flushKeepError(f);
  return 0;
}

int file4flush(FILE4* f, int discard) {
  if (f->fd < 0) return 0; // closed, or a temporary file living in the cache
  if (f->readOnlyOpen) return 0;
  if (cached(f) && cache4flushFile(f, discard ? 1 : 0) != 0)
    return error4reportEx(f->cb, err4write, nameOf(f), nullptr, nullptr);
  // The length held in memory becomes the file's. Only an exclusive open holds the
  // true length: a shared file's may lag behind what other programs appended, and
  // cutting the file to it would lose their records.
  if (cached(f) && f->exclusiveOpen) {
    const int64_t real = u4filelength(f->fd);
    if (real >= 0 && real != f->cacheLen) {
      if (ftruncate(f->fd, f->cacheLen) != 0)
        return error4reportEx(f->cb, err4lenSet, nameOf(f), nullptr, nullptr);
      file4viewCut(f, f->cacheLen);
    }
  }
  if (fsync(f->fd) != 0) return error4reportEx(f->cb, err4flush, nameOf(f), nullptr, nullptr);
  return 0;
}

int file4flushKeepError(FILE4* f) {
  CODE4* cb = f->cb;
  int saved = cb->errorCode;
  cb->errorCode = 0;
  int rc = file4flush(f);
  if (saved != 0) cb->errorCode = saved;
  return rc;
}

int file4refresh(FILE4* f) {
  f->len = -1;
  // What other programs wrote since the blocks were read is read again; a
  // file opened read-only may still be written by others.
  if (cached(f) && !f->exclusiveOpen && cache4flushFile(f, 1) != 0)
    return error4reportEx(f->cb, err4write, nameOf(f), nullptr, nullptr);
  if (cached(f) && !f->exclusiveOpen) f->cacheLen = std::max<int64_t>(u4filelength(f->fd), 0);
  return 0;
}

int file4setCache(FILE4* f, int mode, int kind) {
  if (f == nullptr || f->cb == nullptr || mode < -1 || mode > 1) return -1;
  CODE4* cb = f->cb;
  if (mode == -1) mode = f->exclusiveOpen || f->readOnlyOpen ? 1 : 0;
  if (mode == 1) {
    if (kind < 1 || kind > 3) return -1;
    // Blocks sit on their kind's list: a new kind starts without them.
    if (f->cacheKind != 0 && f->cacheKind != kind && cache4flushFile(f, 1) != 0)
      return error4reportEx(cb, err4flush, nameOf(f), nullptr, nullptr);
    f->cacheKind = static_cast<uint8_t>(kind);
    f->len = -1;
    if (!f->inCacheList) {
      l4append(&cb->cacheFiles, &f->link);
      f->inCacheList = 1;
    }
    cache4fileJoined(f);
    return file4setWriteBehind(f, cb->writeBehind);
  }
  if (f->cacheKind == 0) return 0;
  f->writeBehindOn = f->writeBehindAllowed = 0;
  if (cached(f) && cache4flushFile(f, 1) != 0)
    return error4reportEx(cb, err4flush, nameOf(f), nullptr, nullptr);
  leaveCacheList(f);
  f->cacheKind = 0;
  return 0;
}

int file4setWriteBehind(FILE4* f, int mode) {
  if (f == nullptr || mode < -1 || mode > 1) return -1;
  // Held-back writes would hide changes from other programs: exclusive only.
  f->writeBehindAllowed = static_cast<uint8_t>(mode != 0 && f->exclusiveOpen && f->cacheKind != 0);
  return file4writeBehind(f, f->writeBehindAllowed);
}

int file4writeBehind(FILE4* f, int on) {
  if (f == nullptr) return -1;
  const bool want = on != 0 && f->writeBehindAllowed;
  if (!want && f->writeBehindOn && f->reallyOpen) {
    f->writeBehindOn = 0;
    if (cached(f) && cache4flushFile(f, 0) != 0)
      return error4reportEx(f->cb, err4write, nameOf(f), nullptr, nullptr);
  }
  f->writeBehindOn = static_cast<uint8_t>(want || (!f->reallyOpen && f->writeBehindOn));
  return 0;
}

int file4seqWriteInit(FILE4SEQWRITE* w, FILE4* f, int64_t start, char* buf, size_t size) {
  // Sequential transfers go straight to the file and cached blocks step
  // aside, unless the file holds its writes in the cache.
  if (cached(f) && !f->writeBehindOn) cache4flushFile(f, 1);
  std::memset(w, 0, sizeof(*w));
  w->file = f;
  w->pos = start;
  int32_t total = buf != nullptr ? maskBuffer(size) : 0;
  if (total > 0) {
    w->buffer = buf;
    w->size = total;
    w->fillCap = total - static_cast<int32_t>(start % 1024);
    w->room = w->fillCap;
  }
  return 0;
}

int file4seqFlush(FILE4SEQWRITE* w) {
  if (w->buffer == nullptr) return 0;
  FILE4* f = w->file;
  int32_t used = w->fillCap - w->room;
  if (used > 0) {
    if (f->cb->errorCode < 0) return -1;
    if (f->readOnlyOpen)
      return error4reportEx(f->cb, err4parm, "Attempt to write to a read-only file",
                            nameOf(f), nullptr);
    if (cached(f) || !f->reallyOpen) {
      if (file4writeAt(f, w->pos, w->buffer, static_cast<size_t>(used)) != 0) return -1;
    } else if (!writeAll(f->fd, w->pos, w->buffer, static_cast<size_t>(used))) {
      return error4reportEx(f->cb, err4write, nameOf(f), nullptr, nullptr);
    } else {
      file4viewNoteWrite(f, w->pos + used);
    }
  }
  w->pos += used;
  w->fillCap = w->room = w->size;
  return 0;
}

int file4seqWrite(FILE4SEQWRITE* w, const void* data, size_t count) {
  FILE4* f = w->file;
  if (f->cb->errorCode < 0) return -1;
  if (w->buffer == nullptr) {
    if (file4writeAt(f, w->pos, data, count) < 0) return -1;
    w->pos += static_cast<int64_t>(count);
    return 0;
  }
  const char* p = static_cast<const char*>(data);
  while (count > 0) {
    if (w->room == 0 && file4seqFlush(w) < 0) return -1;
    size_t n = count < static_cast<size_t>(w->room) ? count : static_cast<size_t>(w->room);
    std::memcpy(w->buffer + (w->fillCap - w->room), p, n);
    w->room -= static_cast<int32_t>(n);
    p += n;
    count -= n;
  }
  return 0;
}

int file4seqWriteRepeat(FILE4SEQWRITE* w, size_t count, char value) {
  char fill[512];
  std::memset(fill, value, sizeof(fill));
  while (count > 0) {
    size_t n = count < sizeof(fill) ? count : sizeof(fill);
    if (file4seqWrite(w, fill, n) < 0) return -1;
    count -= n;
  }
  return 0;
}

int file4seqReadInit(FILE4SEQREAD* r, FILE4* f, int64_t start, char* buf, size_t size) {
  if (cached(f) && f->reallyOpen) cache4flushFile(f, 0); // the reader must see what the cache holds
  std::memset(r, 0, sizeof(*r));
  r->file = f;
  r->pos = start;
  int32_t total = buf != nullptr ? maskBuffer(size) : 0;
  if (total > 0) {
    r->buffer = buf;
    r->size = total;
    r->nextRead = total - static_cast<int32_t>(start % 1024);
  }
  return 0;
}

size_t file4seqRead(FILE4SEQREAD* r, void* buf, size_t count) {
  FILE4* f = r->file;
  if (f->cb->errorCode < 0) return 0;
  if (r->buffer == nullptr || !f->reallyOpen) {
    size_t n = file4read(f, r->pos, buf, count);
    r->pos += static_cast<int64_t>(n);
    return n;
  }
  char* out = static_cast<char*>(buf);
  size_t delivered = 0;
  while (delivered < count) {
    if (r->room == 0) {
      ssize_t got = readUpTo(f->fd, r->pos, r->buffer, static_cast<size_t>(r->nextRead));
      if (got < 0) {
        error4reportEx(f->cb, err4read, "File Name:", nameOf(f), nullptr);
        return delivered;
      }
      r->pos += got;
      r->lastRead = r->room = static_cast<int32_t>(got);
      r->nextRead = r->size;
      if (got == 0) break;
    }
    size_t n = count - delivered;
    if (n > static_cast<size_t>(r->room)) n = static_cast<size_t>(r->room);
    std::memcpy(out + delivered, r->buffer + (r->lastRead - r->room), n);
    r->room -= static_cast<int32_t>(n);
    delivered += n;
  }
  return delivered;
}

int file4seqReadAll(FILE4SEQREAD* r, void* buf, size_t count) {
  size_t n = file4seqRead(r, buf, count);
  if (n != count) {
    if (r->file->cb->errorCode < 0) return -1;
    return error4reportEx(r->file->cb, err4read, "File Name:", nameOf(r->file), nullptr);
  }
  return 0;
}

int file4temp(FILE4* f, CODE4* cb, char* nameBuf, size_t nameBufSize, int removeOnClose) {
  if (f == nullptr || cb == nullptr) return -1;
  std::memset(f, 0, sizeof(*f));
  f->fd = -1;
  f->cb = cb;
  if (cb->errorCode < 0) return -1;
  if (removeOnClose && nameBuf == nullptr && code4cacheRunning(cb) && !cb->forceReal) {
    // Lives in the cache until a block of it has to be written back.
    f->temporary = 1;
    f->exclusiveOpen = 1;
    f->len = -1;
    int saved = cb->writeBehind;
    cb->writeBehind = 1;
    int rc = file4setCache(f, 1, 3);
    cb->writeBehind = saved;
    f->writeBehindOn = 1;
    return rc;
  }
  char path[u4pathMax];
  int fd = createTempFile(cb, path, sizeof(path));
  if (fd < 0) return fd;
  int saved = cb->exclusive;
  cb->exclusive = 1;
  int rc = finishOpen(f, cb, path, 1, fd);
  cb->exclusive = saved;
  if (rc != 0) {
    ::unlink(path);
    return -1;
  }
  f->readOnlyOpen = 0;
  f->temporary = static_cast<uint8_t>(removeOnClose != 0);
  if (nameBuf != nullptr && nameBufSize > 0) u4copyBounded(nameBuf, path, nameBufSize);
  if (code4cacheRunning(cb)) {
    int savedWb = cb->writeBehind;
    cb->writeBehind = 1;
    rc = file4setCache(f, 1, 3);
    cb->writeBehind = savedWb;
  }
  return rc;
}

int file4replace(FILE4* target, FILE4* source) {
  CODE4* cb = target->cb;
  if (target->readOnlyOpen || source->readOnlyOpen)
    return error4reportEx(cb, err4parm, "Attempt to replace to a read-only file", nullptr,
                          nullptr);
  if (cb->errorCode < 0) return -1;
  // Whatever the source holds in the cache goes to its file first.
  if (!source->reallyOpen && file4makeReal(source) != 0) return -1;
  if (cached(source) && cache4flushFile(source, 1) != 0)
    return error4reportEx(cb, err4write, nameOf(source), nullptr, nullptr);
  if (target->exclusiveOpen && target->name != nullptr && source->name != nullptr) {
    // Durable source first, then one atomic rename over the target.
    if (fsync(source->fd) != 0) {
      error4reportEx(cb, err4flush, nameOf(source), nullptr, nullptr);
      return -1;
    }
    // The exclusive open's lock is taken before the name changes hands: once renamed,
    // another program could otherwise open the new file first and keep this one on the
    // old, deleted one.
    if (shareLock(source->fd, true) != 0) {
      error4reportEx(cb, err4lock, nameOf(target), nullptr, nullptr);
      return -1;
    }
    if (std::rename(source->name, target->name) == 0) {
      cache4forget(target); // the old contents
      file4viewClose(target);
      ::close(target->fd);
      target->fd = source->fd;
      target->len = -1;
      target->cacheLen = std::max<int64_t>(u4filelength(target->fd), 0);
      source->fd = -1;
      source->temporary = 0;
      file4close(source);
      return 0;
    }
    if (errno != EXDEV) {
      error4reportEx(cb, err4rename, nameOf(source), nameOf(target), nullptr);
      return -1;
    }
  }
  // Shared target (or another file system): copy the contents over it, with
  // the cache's memory free for the copy buffer.
  if (file4lenSet(target, 0) < 0) return -1;
  const bool cacheWasRunning = code4cacheRunning(cb) != 0;
  int rc = cacheWasRunning && code4cacheSuspend(cb) != 0 ? -1 : file4copy(target, source);
  if (rc == 0 && file4flush(target) < 0) rc = -1;
  source->temporary = 1;
  file4close(source);
  if (cacheWasRunning) cache4restart(cb);
  return rc;
}

char* file4copyBuffer(CODE4* cb, size_t* size) {
  for (int64_t want = cb->copyBufferSize; want >= 2048; want -= 2048) {
    if (auto* buf = static_cast<char*>(u4allocRetry(cb, static_cast<size_t>(want)))) {
      *size = static_cast<size_t>(want);
      return buf;
    }
  }
  *size = 100;
  return static_cast<char*>(u4allocOrError(cb, *size));
}

int file4copy(FILE4* to, FILE4* from) {
  CODE4* cb = to->cb;
  size_t size = 0;
  char* buf = file4copyBuffer(cb, &size);
  if (buf == nullptr) return -1;
  int rc = 0;
  for (int64_t pos = 0;;) {
    const size_t n = file4read(from, pos, buf, size);
    if (cb->errorCode < 0) {
      rc = -1;
      break;
    }
    if (n == 0) break;
    if (file4writeAt(to, pos, buf, n) < 0) {
      rc = -1;
      break;
    }
    pos += static_cast<int64_t>(n);
  }
  u4globalFree(buf);
  return rc;
}

int file4lockRange(FILE4* f, int64_t offset, int64_t length) {
  if (f->readOnlyOpen || f->exclusiveOpen) return 0;
  CODE4* cb = f->cb;
  if (cb->errorCode < 0) return -1;
  int tries = cb->lockAttempts == 0 ? 1 : cb->lockAttempts;
  for (;;) {
    struct flock fl;
    std::memset(&fl, 0, sizeof(fl));
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = length;
    if (fcntl(f->fd, F_OFD_SETLK, &fl) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EACCES && errno != EAGAIN)
      return error4reportEx(cb, err4lock, nameOf(f), nullptr, nullptr);
    if (tries == 1) return status4locked;
    u4waitSecond();
    if (tries > 1) --tries;
  }
}

int file4lockTestOther(FILE4* f, int64_t offset, int64_t length) {
  if (f->exclusiveOpen) return 0;
  struct flock fl;
  std::memset(&fl, 0, sizeof(fl));
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = length;
  if (fcntl(f->fd, F_OFD_GETLK, &fl) != 0) return -1;
  return fl.l_type == F_UNLCK ? 0 : 1;
}

int file4unlockRange(FILE4* f, int64_t offset, int64_t length) {
  if (f->readOnlyOpen || f->exclusiveOpen) return 0;
  if (f->writeBehindOn && file4writeBehind(f, 0) != 0) return -1;
  struct flock fl;
  std::memset(&fl, 0, sizeof(fl));
  fl.l_type = F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = length;
  if (fcntl(f->fd, F_OFD_SETLK, &fl) != 0)
    return error4reportEx(f->cb, err4unlock, nameOf(f), nullptr, nullptr);
  return 0;
}
