// The memo file container: header creation, opening and its lock.
//
// Header (little-endian): 0 first free block (1 when new), 4 zero, 8 table name
// (8 characters, upper-case, zero-padded), 16 zero, 18 0x0102, 20 block size,
// 22 zero. Block 0 never holds memo data.
#include "xbase/table.h"

#include <cstring>

namespace {

constexpr int kHeaderSize = 24;
constexpr int kMinBlock = 24;

} // namespace

int memo4fileCreate(MEMO4FILE* m, CODE4* cb, const char* name, const char* tableName) {
  std::memset(m, 0, sizeof(*m));
  m->file.hand = -1;
  if (cb->memoBlockSize < kMinBlock || cb->memoBlockSize > 65535)
    return error4reportEx(cb, err4parm, "Memo block size", name, nullptr);
  int rc = file4create(&m->file, cb, name, 1);
  if (rc != 0) return rc;
  unsigned char head[kHeaderSize] = {0};
  head[0] = 1;
  char upper[9] = {0};
  u4copyBounded(upper, tableName, sizeof(upper));
  u4upper(upper);
  std::memcpy(head + 8, upper, std::strlen(upper));
  head[18] = 0x02;
  head[19] = 0x01;
  head[20] = static_cast<unsigned char>(cb->memoBlockSize);
  head[21] = static_cast<unsigned char>(cb->memoBlockSize >> 8);
  m->blockSize = cb->memoBlockSize;
  if (file4writeAt(&m->file, 0, head, sizeof(head)) != 0) {
    file4close(&m->file);
    u4remove(name);
    return -1;
  }
  return 0;
}

int memo4fileOpen(MEMO4FILE* m, DATA4* d, const char* name) {
  std::memset(m, 0, sizeof(*m));
  m->file.hand = -1;
  CODE4* cb = d->codeBase;
  int rc = file4open(&m->file, cb, name, 1);
  if (rc != 0) return rc;
  m->data = d;
  unsigned char head[kHeaderSize];
  if (file4readAt(&m->file, 0, head, sizeof(head)) != 0) return -1;
  m->blockSize = head[20] | head[21] << 8;
  if (m->blockSize < kMinBlock)
    return error4reportEx(cb, err4info, "Memo block size", m->file.name, nullptr);
  return 0;
}

int memo4fileClose(MEMO4FILE* m) {
  int rc = file4close(&m->file);
  m->fileLock = 0;
  m->data = nullptr;
  return rc;
}

int memo4fileLock(MEMO4FILE* m) {
  if (m->fileLock) return 0;
  int rc = file4lockRange(&m->file, lock4gate, 2);
  if (rc == 0) m->fileLock = 1;
  return rc;
}

int memo4fileUnlock(MEMO4FILE* m) {
  if (!m->fileLock) return 0;
  if (file4unlockRange(&m->file, lock4gate, 2) != 0) return -1;
  m->fileLock = 0;
  return 0;
}
