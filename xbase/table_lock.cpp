// The lock families of a table. Byte ranges: a gate byte serialises record
// locks, record n is the byte gate - n, the append byte sits just past the
// gate, and the whole-table range covers every record byte and the append byte.
#include "xbase/table.h"
#include "xbase/memo.h"
#include "xbase/block_cache.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

int64_t recordByte(int32_t n) { return lock4gate - n; }

bool badRecord(int32_t n) { return n <= 0 || n > rec4max; }

} // namespace

int d4lockTestRecord(DATA4* d, int32_t n) {
  if (d->fileLocked || d->file.exclusiveOpen) return 1;
  for (int i = 0; i < d->lockedCount; ++i)
    if (d->locks[i] == n) return 1;
  return 0;
}

int d4lockTestAppend(DATA4* d) {
  return d->fileLocked || d->appendLocked || d->file.exclusiveOpen ? 1 : 0;
}

int d4lockTestFile(DATA4* d) { return d->fileLocked || d->file.exclusiveOpen ? 1 : 0; }


int d4lockRecord(DATA4* d, int32_t n) {
  CODE4* cb = d->cb;
  if (cb->errorCode < 0 || n <= 0) return -1;
  if (n > rec4max) return error4reportEx(cb, err4parm, "Record number too large", d->file.name, nullptr);
  if (d4lockTestRecord(d, n)) return 0;
  if (d4unlockIndexes(d) < 0 || d4unlockRecords(d) < 0) return -1;
  int rc = file4lockRange(&d->file, lock4gate, 1);
  if (rc != 0) return rc;
  rc = file4lockRange(&d->file, recordByte(n), 1);
  int rcGate = file4unlockRange(&d->file, lock4gate, 1);
  if (rc != 0) {
    if (rc > 0) return rc;
    return -1;
  }
  if (rcGate != 0) {
    file4unlockRange(&d->file, recordByte(n), 1);
    return -1;
  }
  d->locks[0] = n;
  d->lockedCount = 1;
  return 0;
}

int d4lockAppend(DATA4* d) {
  CODE4* cb = d->cb;
  if (cb->errorCode < 0) return -1;
  if (d4lockTestAppend(d)) return 0;
  if (d4unlockRecords(d) < 0) return -1;
  int rc = file4lockRange(&d->file, lock4append, 1);
  if (rc == 0) {
    d->appendLocked = 1;
    if (!d->file.exclusiveOpen) d->heldCount = -1; // read fresh under the lock
    if (!d->file.exclusiveOpen && cache4drop(&d->file, 0, 32) != 0) return -1;
  }
  return rc;
}

int d4lockFile(DATA4* d) {
  CODE4* cb = d->cb;
  if (cb->errorCode < 0) return -1;
  if (d4lockTestFile(d)) return 0;
  if (d4unlockAll(d) < 0) return -1;
  int rc = file4lockRange(&d->file, lock4fileStart, lock4fileLen);
  if (rc == 0) {
    d->fileLocked = 1;
    if (!d->file.exclusiveOpen) d->heldCount = -1;
    file4refresh(&d->file);
  }
  return rc;
}

int d4lockAll(DATA4* d) {
  int rc = d4lockFile(d);
  if (rc == 0 && d->memoFile.file.fd >= 0) rc = memo4file_lock(&d->memoFile);
  if (rc == 0) rc = d4lockIndexes(d);
  if (rc != 0) d4unlockAll(d);
  return rc;
}

int d4lockGroup(DATA4* d, const int32_t* recs, int count) {
  CODE4* cb = d->cb;
  if (cb->errorCode < 0) return -1;
  if (recs == nullptr || count <= 0)
    return error4reportEx(cb, err4parm, "Record lock group", d->file.name, nullptr);
  for (int i = 0; i < count; ++i)
    if (badRecord(recs[i]))
      return error4reportEx(cb, err4parm, "Record lock group", d->file.name, nullptr);
  if (d4lockTestFile(d)) return 0;
  if (d4unlockAll(d) < 0) return -1;

  // A number given twice would conflict with its own lock (with endless
  // attempts, forever): each record is locked once.
  std::vector<int32_t> wanted(recs, recs + count);
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  int n = static_cast<int>(wanted.size());
  if (n > d->lockCapacity) {
    auto* grown = static_cast<int32_t*>(u4allocOrError(cb, sizeof(int32_t) * static_cast<size_t>(n)));
    if (grown == nullptr) return err4memory;
    if (d->locks != &d->lockSlot) u4globalFree(d->locks);
    d->locks = grown;
    d->lockCapacity = n;
  }

  int attemptsLeft = cb->lockAttempts;
  cb->lockAttempts = 1;
  int rc = 0;
  for (;;) {
    rc = file4lockRange(&d->file, lock4gate, 1);
    if (rc == 0) {
      int taken = 0;
      for (; taken < n; ++taken) {
        rc = file4lockRange(&d->file, recordByte(wanted[static_cast<size_t>(taken)]), 1);
        if (rc != 0) break;
        d->locks[taken] = wanted[static_cast<size_t>(taken)];
        d->lockedCount = taken + 1;
      }
      if (rc == 0) {
        cb->lockAttempts = attemptsLeft;
        if (file4unlockRange(&d->file, lock4gate, 1) != 0) return -1;
        return 0;
      }
      int pending = cb->errorCode;
      cb->errorCode = 0;
      d4unlockRecords(d);
      file4unlockRange(&d->file, lock4gate, 1);
      if (pending != 0) cb->errorCode = pending;
    }
    if (rc == status4locked && (attemptsLeft == -1 || attemptsLeft > 0)) {
      u4waitSecond();
      if (attemptsLeft > 0) --attemptsLeft;
      continue;
    }
    break;
  }
  cb->lockAttempts = attemptsLeft;
  return rc;
}


int d4unlockFile(DATA4* d) {
  if (!d->fileLocked) return 0;
  if (file4unlockRange(&d->file, lock4fileStart, lock4fileLen) != 0) return -1;
  d->oldNumber = -1;
  d->oldValid = 0;
  d->fileLocked = 0;
  if (!d->file.exclusiveOpen) d->heldCount = -1;
  return 0;
}

int d4unlockAppend(DATA4* d) {
  if (!d->appendLocked) return 0;
  if (file4unlockRange(&d->file, lock4append, 1) != 0) return -1;
  d->appendLocked = 0;
  if (!d->file.exclusiveOpen) d->heldCount = -1;
  return 0;
}

int d4unlockRecords(DATA4* d) {
  d->oldNumber = -1;
  d->oldValid = 0;
  while (d->lockedCount > 0) {
    if (file4unlockRange(&d->file, recordByte(d->locks[d->lockedCount - 1]), 1) != 0) return -1;
    --d->lockedCount;
  }
  return 0;
}

int d4unlockData(DATA4* d) {
  int rc = 0;
  if (d4unlockFile(d) < 0) rc = -1;
  if (d4unlockAppend(d) < 0) rc = -1;
  if (d4unlockRecords(d) < 0) rc = -1;
  return rc;
}

int d4unlockAll(DATA4* d) {
  CODE4* cb = d->cb;
  int rc = d4flushTags(d) < 0 ? -1 : 0;
  if (d4unlockData(d) < 0) rc = -1;
  if (d->memoFile.file.fd >= 0 && memo4file_unlock(&d->memoFile) < 0) rc = -1;
  if (d4unlockIndexes(d) < 0) rc = -1;
  return cb->errorCode < 0 ? -1 : rc;
}

int code4unlockAll(CODE4* cb) {
  int rc = 0;
  for (LINK4* l = l4first(&cb->dataList); l != nullptr; l = l4next(&cb->dataList, l))
    if (d4unlockAll(reinterpret_cast<DATA4*>(l)) < 0) rc = -1;
  return rc;
}
