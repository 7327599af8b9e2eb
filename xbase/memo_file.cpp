// The memo file container: creation, opening, closing and its lock. Entries, the free
// chain, memo fields and pack are in memo_fields.cpp.
#include "xbase/memo.h"

#include "xbase/numbers.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kHeaderSize = 24;
constexpr int kMinBlock = 24;

} // namespace

int memo4file_create(MEMO4FILE* m, CODE4* cb, DATA4* owner, const char* name) {
  std::memset(m, 0, sizeof(*m));
  m->file.fd = -1;
  m->data = owner;
  if (cb->memoBlockSize < kMinBlock || cb->memoBlockSize > 65535)
    return error4reportEx(cb, err4parm, "Memo block size", name, nullptr);
  char path[u4pathMax];
  int rc;
  if (name != nullptr) {
    rc = file4create(&m->file, cb, name, 1);
    if (rc != 0) return rc;
  } else {
    if (owner == nullptr || owner->memoFile.file.name == nullptr) return -1;
    // A fresh name beside the memo file, so the final rename stays on one
    // file system; an existing file is never reused.
    int savedSafety = cb->safety, savedCreate = cb->createError;
    cb->safety = 1;
    cb->createError = 0;
    rc = status4noCreate;
    for (int i = 0; i < 100 && rc == status4noCreate; ++i) {
      u4copyBounded(path, owner->memoFile.file.name, sizeof(path) - 16);
      char ext[16] = "tmp";
      if (i > 0) std::snprintf(ext, sizeof(ext), "t%02d", i);
      u4setExtension(path, sizeof(path), ext, 1);
      rc = file4create(&m->file, cb, path, 1);
      if (rc == status4noCreate) cb->errorCode = 0;
    }
    cb->safety = savedSafety;
    cb->createError = savedCreate;
    if (rc != 0) {
      if (rc > 0) return error4reportEx(cb, err4create, "Temporary Working File", nullptr, nullptr);
      return rc;
    }
    m->file.temporary = 1;
    name = path;
  }
  unsigned char head[kHeaderSize] = {0};
  head[0] = 1;
  char table[u4pathMax];
  u4namePart(table, sizeof(table), owner != nullptr ? owner->file.name : name, 0, 0);
  table[8] = 0;
  u4upper(table);
  std::memcpy(head + 8, table, std::strlen(table));
  head[18] = 0x02;
  head[19] = 0x01;
  head[20] = static_cast<unsigned char>(cb->memoBlockSize);
  head[21] = static_cast<unsigned char>(cb->memoBlockSize >> 8);
  m->blockSize = cb->memoBlockSize;
  if (file4writeAt(&m->file, 0, head, sizeof(head)) != 0) {
    m->file.temporary = 1; // a half-made file goes
    file4close(&m->file);
    return -1;
  }
  return 0;
}

int memo4file_open(MEMO4FILE* m, DATA4* d, const char* name) {
  std::memset(m, 0, sizeof(*m));
  m->file.fd = -1;
  CODE4* cb = d->cb;
  int rc = file4open(&m->file, cb, name, 1);
  if (rc != 0) return rc;
  m->data = d;
  file4setCache(&m->file, cb->cacheMode, 3);
  unsigned char head[kHeaderSize];
  if (file4readAt(&m->file, 0, head, sizeof(head)) != 0) return -1;
  m->blockSize = head[20] | head[21] << 8;
  // A dBASE III memo file carries version 3 at 16 and no block size: its
  // entries have neither marker nor length, so none could be read right.
  if (head[16] == 3 || m->blockSize < kMinBlock)
    return error4reportEx(cb, err4info, "Memo file of another format", m->file.name, nullptr);
  return 0;
}

int memo4file_close(MEMO4FILE* m) {
  int rc = file4close(&m->file);
  m->locked = 0;
  m->data = nullptr;
  return rc;
}

int memo4file_lock(MEMO4FILE* m) {
  if (m->locked) return 0;
  if (m->file.fd < 0) return -1;
  CODE4* cb = m->file.cb;
  int saved = cb->lockAttempts;
  cb->lockAttempts = -1;
  int rc = file4lockRange(&m->file, lock4gate, 2);
  cb->lockAttempts = saved;
  if (rc == 0) {
    m->locked = 1;
    file4refresh(&m->file);
  }
  return rc;
}

int memo4file_unlock(MEMO4FILE* m) {
  if (!m->locked) return 0;
  if (file4unlockRange(&m->file, lock4gate, 2) != 0) return -1;
  m->locked = 0;
  return 0;
}
