// Tables: create, open, close, navigation and write-back.
#include "xbase/table.h"
#include "xbase/memo.h"
#include "xbase/block_cache.h"
#include "xbase/index.h"
#include "xbase/byte_fields.h"

#include <climits>
#include <cstring>

using namespace xbase_bytes;

namespace {

constexpr unsigned char kVersionPlain = 0x03;
constexpr unsigned char kVersionMemo = 0x8B;
constexpr size_t kDescriptorSize = 32;

int upperType(int t) { return t >= 'a' && t <= 'z' ? t - 32 : t; }

bool isMemoType(int t) { return t == 'M' || t == 'B' || t == 'G'; }

// Validates a field list before anything is created; returns 0 or an error
// already reported.
int checkFields(CODE4* cb, const char* name, const FIELD4INFO* fields, long* recordLen,
                int* count, bool* hasMemo) {
  long len = 1;
  int n = 0;
  *hasMemo = false;
  for (const FIELD4INFO* f = fields; f->name != nullptr; ++f, ++n) {
    size_t nameLen = std::strlen(f->name);
    bool nameOk = nameLen >= 1 && nameLen <= field4nameMax &&
                  ((f->name[0] >= 'A' && f->name[0] <= 'Z') ||
                   (f->name[0] >= 'a' && f->name[0] <= 'z'));
    for (size_t i = 0; nameOk && i < nameLen; ++i) nameOk = u4nameChar(f->name[i]) != 0;
    for (const FIELD4INFO* g = fields; nameOk && g != f; ++g) {
      char a[field4nameMax + 1], b[field4nameMax + 1];
      u4copyBounded(a, f->name, sizeof(a));
      u4copyBounded(b, g->name, sizeof(b));
      u4upper(a);
      u4upper(b);
      nameOk = std::strcmp(a, b) != 0;
    }
    if (!nameOk) return error4reportEx(cb, err4fieldName, f->name, name, nullptr);
    int type = upperType(f->type);
    switch (type) {
      case 'C':
        if (f->len < 1 || f->len > 65535 || f->dec != 0)
          return error4reportEx(cb, err4recordLen, f->name, name, nullptr);
        len += f->len;
        break;
      case 'N':
      case 'F':
        if (f->len < 1 || f->len > 255 || f->dec >= f->len || f->dec > 15)
          return error4reportEx(cb, err4recordLen, f->name, name, nullptr);
        len += f->len;
        break;
      case 'D': len += 8; break;
      case 'L': len += 1; break;
      case 'M':
      case 'B':
      case 'G':
        len += 10;
        *hasMemo = true;
        break;
      default: return error4reportEx(cb, err4fieldType, f->name, name, nullptr);
    }
    if (len >= 65535) return error4reportEx(cb, err4recordLen, name, nullptr, nullptr);
  }
  if (static_cast<long>(n) * 32 + 34 >= 65535)
    return error4reportEx(cb, err4create, "Too Many Fields", name, nullptr);
  *recordLen = len;
  *count = n;
  return 0;
}

void freeTable(DATA4* d) {
  u4globalFree(d->record);
  u4globalFree(d->recordOld);
  if (d->memos != nullptr)
    for (int i = 0; i < d->memoCount; ++i) u4globalFree(d->memos[i].contents);
  u4globalFree(d->memos);
  u4globalFree(d->fields);
  if (d->locks != &d->lockSlot) u4globalFree(d->locks);
  d->record = d->recordOld = nullptr;
  d->fields = nullptr;
  d->memos = nullptr;
  d->locks = &d->lockSlot;
}

void resetMemoStates(DATA4* d) {
  for (int i = 0; i < d->memoCount; ++i) {
    d->memos[i].status = 1;
    d->memos[i].changed = 0;
  }
}

// Opens the production index of a table whose header asks for one.
// An index of the table's name that does not call itself production is not
// the table's: it is closed again.
int openProductionIndex(DATA4* d) {
  INDEX4* ix = i4open(d, nullptr);
  if (ix == nullptr) return -1;
  if (ix->header[24] == 0) return i4close(ix) < 0 ? -1 : 0;
  return 0;
}

int readStructure(DATA4* d) {
  CODE4* cb = d->cb;
  unsigned char head[32];
  if (file4readAt(&d->file, 0, head, sizeof(head)) != 0) return -1;
  std::memcpy(d->header, head, sizeof(d->header));
  d->productionIndex = head[28];
  d->heldCount = -1;
  d->headerLen = get16(head + 8);
  if (d->headerLen <= 32) return error4reportEx(cb, err4data, d->file.name, nullptr, nullptr);

  size_t want = static_cast<size_t>(d->headerLen) - 32;
  auto* desc = static_cast<unsigned char*>(u4allocOrError(cb, want));
  if (desc == nullptr) return -1;
  size_t got = file4read(&d->file, 32, desc, want);
  if (cb->errorCode < 0) {
    u4globalFree(desc);
    return -1;
  }
  // Descriptors end at a 0x0D or, failing that, exactly at the end of the
  // bytes read.
  size_t count = 0;
  bool terminated = false;
  for (; count * kDescriptorSize < got; ++count) {
    if (desc[count * kDescriptorSize] == 0x0D) {
      terminated = true;
      break;
    }
  }
  if (!terminated) {
    if (got % kDescriptorSize != 0) {
      u4globalFree(desc);
      return error4reportEx(cb, err4data, d->file.name, nullptr, nullptr);
    }
    count = got / kDescriptorSize;
  }

  d->fieldCount = static_cast<int>(count);
  d->fields = static_cast<FIELD4*>(u4allocOrError(cb, sizeof(FIELD4) * (count == 0 ? 1 : count)));
  if (d->fields == nullptr) {
    u4globalFree(desc);
    return -1;
  }
  long offset = 1;
  int nMemo = 0;
  for (size_t i = 0; i < count; ++i) {
    const unsigned char* p = desc + i * kDescriptorSize;
    FIELD4* f = &d->fields[i];
    size_t n = 0;
    while (n < field4nameMax && p[n] != 0) {
      f->name[n] = static_cast<char>(p[n]);
      ++n;
    }
    f->name[n] = 0;
    f->type = upperType(p[11]);
    if (f->type < 'A' || f->type > 'Z') {
      u4globalFree(desc);
      return error4reportEx(cb, err4fieldType, d->file.name, f->name, nullptr);
    }
    switch (f->type) {
      case 'N':
      case 'F':
        f->len = p[16];
        f->dec = p[17];
        break;
      case 'L':
      case 'D':
      case 'M':
      case 'G':
      case 'B':
        f->len = p[16];
        f->dec = 0;
        break;
      default:
        f->len = get16(p + 16);
        f->dec = 0;
    }
    // Dates are read as eight digits wherever they are used.
    if (f->type == 'D' && f->len != 8) {
      u4globalFree(desc);
      return error4reportEx(cb, err4data, d->file.name, f->name, nullptr);
    }
    f->offset = static_cast<int>(offset);
    f->data = d;
    offset += f->len;
    if (isMemoType(f->type)) ++nMemo;
  }
  u4globalFree(desc);
  if (offset != get16(head + 10)) return error4reportEx(cb, err4data, d->file.name, nullptr, nullptr);
  d->recordLen = static_cast<int>(offset);

  if (nMemo > 0) {
    d->memos = static_cast<F4MEMO*>(u4allocOrError(cb, sizeof(F4MEMO) * static_cast<size_t>(nMemo)));
    if (d->memos == nullptr) return -1;
    d->memoCount = nMemo;
    int j = 0;
    for (int i = 0; i < d->fieldCount; ++i) {
      if (!isMemoType(d->fields[i].type)) continue;
      d->memos[j].field = &d->fields[i];
      d->memos[j].status = 1;
      d->fields[i].memo = &d->memos[j];
      ++j;
    }
  }
  size_t bufLen = static_cast<size_t>(d->recordLen) + 1;
  d->record = static_cast<char*>(u4allocOrError(cb, bufLen));
  d->recordOld = static_cast<char*>(u4allocOrError(cb, bufLen));
  if (d->record == nullptr || d->recordOld == nullptr) return -1;
  std::memset(d->record, ' ', static_cast<size_t>(d->recordLen));
  std::memset(d->recordOld, ' ', static_cast<size_t>(d->recordLen));
  return 0;
}

} // namespace

DATA4* d4create(CODE4* cb, const char* name, const FIELD4INFO* fields, const TAG4INFO* tags) {
  if (cb == nullptr || name == nullptr || fields == nullptr || cb->errorCode < 0) return nullptr;
  long recordLen = 0;
  int count = 0;
  bool hasMemo = false;
  if (checkFields(cb, name, fields, &recordLen, &count, &hasMemo) != 0) return nullptr;
  char path[u4pathMax];
  if (std::strlen(name) + 5 >= sizeof(path)) {
    error4reportEx(cb, err4parm, "File name too long", nullptr, nullptr);
    return nullptr;
  }
  u4copyBounded(path, name, sizeof(path));
  u4setExtension(path, sizeof(path), "dbf", 0);

  FILE4 file;
  if (file4create(&file, cb, path, 0) != 0) return nullptr;

  unsigned char head[32] = {0};
  head[0] = hasMemo ? kVersionMemo : kVersionPlain;
  u4todayYMD(head + 1);
  put16(head + 8, static_cast<uint32_t>(count) * 32 + 33);
  put16(head + 10, static_cast<uint32_t>(recordLen));
  char buffer[2048];
  FILE4SEQWRITE w;
  file4seqWriteInit(&w, &file, 0, buffer, sizeof(buffer));
  int rc = file4seqWrite(&w, head, sizeof(head));
  for (const FIELD4INFO* f = fields; rc == 0 && f->name != nullptr; ++f) {
    unsigned char desc[32] = {0};
    char fieldName[field4nameMax + 1];
    u4copyBounded(fieldName, f->name, sizeof(fieldName));
    size_t n = std::strlen(fieldName);
    while (n > 0 && fieldName[n - 1] == ' ') fieldName[--n] = 0;
    u4upper(fieldName);
    std::memcpy(desc, fieldName, n);
    int type = upperType(f->type);
    desc[11] = static_cast<unsigned char>(type);
    switch (type) {
      case 'C': put16(desc + 16, f->len); break;
      case 'N':
      case 'F':
        desc[16] = static_cast<unsigned char>(f->len);
        desc[17] = static_cast<unsigned char>(f->dec);
        break;
      case 'D': desc[16] = 8; break;
      case 'L': desc[16] = 1; break;
      default: desc[16] = 10; break;
    }
    rc = file4seqWrite(&w, desc, sizeof(desc));
  }
  static const unsigned char kTail[2] = {0x0D, 0x1A};
  if (rc == 0) rc = file4seqWrite(&w, kTail, sizeof(kTail));
  if (rc == 0) rc = file4seqFlush(&w);
  file4close(&file);
  if (rc == 0 && hasMemo) {
    char memoName[u4pathMax];
    u4copyBounded(memoName, path, sizeof(memoName));
    u4setExtension(memoName, sizeof(memoName), "dbt", 1);
    MEMO4FILE memo;
    rc = memo4file_create(&memo, cb, nullptr, memoName);
    if (rc == 0) memo4file_close(&memo);
  }
  if (rc != 0) {
    // Nothing half-made stays behind; the file was new (or emptied) by us.
    u4remove(path);
    return nullptr;
  }
  DATA4* d = d4open(cb, path);
  if (d != nullptr && tags != nullptr && tags->name != nullptr && i4create(d, nullptr, tags) == nullptr) {
    int status = cb->errorCode;
    d4close(d);
    if (status > 0) cb->errorCode = status;
    return nullptr;
  }
  return d;
}

DATA4* d4open(CODE4* cb, const char* name) {
  if (cb == nullptr || name == nullptr || cb->errorCode < 0) return nullptr;
  auto* d = static_cast<DATA4*>(
      mem4poolTake(cb, &cb->tablePool, cb->dataStart, static_cast<int>(sizeof(DATA4)),
                   cb->dataExpand, 0));
  if (d == nullptr) {
    if (cb->errorCode == err4memory) error4report(cb, err4memory, nullptr);
    return nullptr;
  }
  d->cb = cb;
  d->locks = &d->lockSlot;
  d->lockCapacity = 1;
  d->recNo = d->oldNumber = -1;
  d->heldCount = -1;
  d->file.fd = -1;
  d->memoFile.file.fd = -1;
  char path[u4pathMax];
  if (std::strlen(name) + 5 >= sizeof(path)) {
    mem4give(cb->tablePool, d);
    error4reportEx(cb, err4parm, "File name too long", nullptr, nullptr);
    return nullptr;
  }
  u4copyBounded(path, name, sizeof(path));
  u4setExtension(path, sizeof(path), "dbf", 0);
  if (file4open(&d->file, cb, path, 1) != 0) {
    mem4give(cb->tablePool, d);
    return nullptr;
  }
  l4append(&cb->dataList, &d->link);
  char alias[u4pathMax];
  u4namePart(alias, sizeof(alias), d->file.name, 0, 0);
  u4copyBounded(d->alias, alias, sizeof(d->alias));
  u4upper(d->alias);

  int rc = readStructure(d);
  if (rc == 0) file4setCache(&d->file, cb->cacheMode, 1);
  if (rc == 0 && d->productionIndex && cb->autoOpen) rc = openProductionIndex(d);
  if (rc == 0 && (d->header[0] & 0x80) != 0) {
    char memoName[u4pathMax];
    u4copyBounded(memoName, d->file.name, sizeof(memoName));
    u4setExtension(memoName, sizeof(memoName), "dbt", 1);
    rc = memo4file_open(&d->memoFile, d, memoName);
    if (rc != 0) {
      // The other fields still read; each memo read reports why it cannot.
      d->memoFile.unusable = rc < 0 ? (cb->errorCode < 0 ? cb->errorCode : rc) : err4open;
      memo4file_close(&d->memoFile);
      cb->errorCode = 0;
      rc = 0;
    }
  } else if (rc == 0 && d->memoCount > 0) {
    d->memoFile.unusable = err4info; // memo fields, but the header names no memo file
  }
  if (rc != 0) {
    d4close(d);
    return nullptr;
  }
  return d;
}

int d4close(DATA4* d) {
  if (d == nullptr) return -1;
  CODE4* cb = d->cb;
  int saved = cb->errorCode;
  cb->errorCode = 0;
  int newest = 0;
  auto note = [&] {
    if (cb->errorCode < 0) newest = cb->errorCode;
    cb->errorCode = 0;
  };
  if (saved == err4unique) d->recChanged = 0;
  if (d->file.fd >= 0 && d->record != nullptr) {
    if (d4flushTags(d) == err4unique || cb->errorCode == err4unique) d->recChanged = 0;
    note();
    if (d->written && !d->file.readOnlyOpen) d4writeHeader(d, 1, d->countPending);
    note();
    d4unlockAll(d);
    note();
  }
  i4closeAll(d);
  note();
  l4remove(&cb->dataList, &d->link);
  file4close(&d->file);
  note();
  if (d->memoFile.file.fd >= 0) memo4file_close(&d->memoFile);
  note();
  freeTable(d);
  mem4give(cb->tablePool, d);
  cb->errorCode = newest != 0 ? newest : saved;
  return newest != 0 ? newest : (saved < 0 ? saved : 0);
}

const char* d4alias(DATA4* d) { return d->alias; }

void d4aliasSet(DATA4* d, char* alias) {
  u4upper(alias);
  u4copyBounded(d->alias, alias, sizeof(d->alias));
}

char* d4record(DATA4* d) { return d->record; }
int d4recordWidth(DATA4* d) { return d->recordLen; }
int32_t d4recordNumber(DATA4* d) { return d->recNo; }

int64_t d4recordPosition(DATA4* d, int32_t n) {
  return static_cast<int64_t>(d->headerLen) + static_cast<int64_t>(n - 1) * d->recordLen;
}

int32_t d4recordCount(DATA4* d) {
  CODE4* cb = d->cb;
  if (cb->errorCode < 0) return -1;
  if (d->heldCount >= 0) return static_cast<int32_t>(d->heldCount);
  unsigned char bytes[4];
  if (file4readAt(&d->file, 4, bytes, sizeof(bytes)) != 0) return -1;
  uint32_t raw = get32(bytes);
  int64_t count = raw > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : raw;
  if (d->fileLocked || d->appendLocked || d->file.exclusiveOpen) d->heldCount = count;
  d->countRead = count;
  put32(d->header + 4, static_cast<uint32_t>(count));
  return static_cast<int32_t>(count);
}

int d4readRecord(DATA4* d, int32_t n, char* buf) {
  if (d->cb->errorCode < 0) return -1;
  if (n <= 0) return status4entry;
  size_t got = file4read(&d->file, d4recordPosition(d, n), buf, static_cast<size_t>(d->recordLen));
  if (d->cb->errorCode < 0) return -1;
  return got == static_cast<size_t>(d->recordLen) ? 0 : status4entry;
}

int d4readOld(DATA4* d, int32_t n) {
  if (n <= 0) {
    std::memset(d->recordOld, ' ', static_cast<size_t>(d->recordLen));
    d->oldNumber = n;
    return 0;
  }
  int rc = d4readRecord(d, n, d->recordOld);
  if (rc < 0) return -1;
  if (rc > 0) std::memset(d->recordOld, ' ', static_cast<size_t>(d->recordLen));
  d->oldNumber = n;
  return 0;
}

int d4goData(DATA4* d, int32_t n) {
  CODE4* cb = d->cb;
  if (cb->errorCode < 0) return -1;
  if (n > rec4max) return error4reportEx(cb, err4parm, "Record number too large", d->file.name, nullptr);
  // Memo contents belong to the record they were read for.
  resetMemoStates(d);
  cb->activity |= 1;
  int rc = n > 0 ? d4readRecord(d, n, d->record) : status4entry;
  if (rc < 0) return -1;
  if (rc == 0) {
    d->recNo = n;
    return 0;
  }
  std::memset(d->record, ' ', static_cast<size_t>(d->recordLen));
  d->recNo = -1;
  if (cb->goError) return error4reportEx(cb, err4read, d->file.name, nullptr, nullptr);
  return status4entry;
}

int d4go(DATA4* d, int32_t n) {
  CODE4* cb = d->cb;
  if (cb->errorCode < 0) return -1;
  if (n > rec4max) return error4reportEx(cb, err4parm, "Record number too large", d->file.name, nullptr);
  if (d->recChanged) {
    int rc = d4flushRecord(d, 0);
    if (rc != 0) return rc;
  }
  if (!d4lockTestRecord(d, n)) {
    if (d4unlockData(d) < 0) return -1;
    if (cb->readLock) {
      int rc = d4lockRecord(d, n);
      if (rc != 0) return rc;
    }
  }
  // A record locked alone is read from the file: a cached copy may be older
  // than the last write of another program.
  if (n > 0 && !d->file.exclusiveOpen && !d->fileLocked && d4lockTestRecord(d, n) &&
      cache4drop(&d->file, d4recordPosition(d, n), d->recordLen) != 0)
    return -1;
  int rc = d4goData(d, n);
  if (rc != 0) return rc;
  resetMemoStates(d);
  d->bofFlag = d->eofFlag = 0;
  if (d4lockTestRecord(d, n)) {
    std::memcpy(d->recordOld, d->record, static_cast<size_t>(d->recordLen));
    d->oldNumber = n;
    d->oldValid = 1;
  } else {
    d->oldValid = 0;
  }
  return 0;
}

int d4goEof(DATA4* d) {
  if (d->cb->errorCode < 0) return -1;
  int rc = d4flushRecord(d, 1);
  if (rc != 0) return rc;
  int32_t count = d4recordCount(d);
  if (count < 0) return -1;
  d->recNo = count + 1;
  d->eofFlag = 1;
  if (count == 0) d->bofFlag = 1;
  std::memset(d->record, ' ', static_cast<size_t>(d->recordLen));
  return status4eof;
}

int d4top(DATA4* d) {
  CODE4* cb = d->cb;
  if (cb->errorCode < 0) return -1;
  if (d->tagSelected != nullptr) return d4topBottomTag(d, d->tagSelected, true);
  int savedGo = cb->goError;
  cb->goError = 0;
  int rc = d4go(d, 1);
  cb->goError = savedGo;
  if (rc <= 0) return rc;
  int32_t count = d4recordCount(d);
  if (count < 0) return -1;
  if (count > 0) return d4go(d, 1);
  d->bofFlag = 1;
  return d4goEof(d);
}

int d4bottom(DATA4* d) {
  if (d->cb->errorCode < 0) return -1;
  if (d->tagSelected != nullptr) return d4topBottomTag(d, d->tagSelected, false);
  int32_t count = d4recordCount(d);
  if (count < 0) return -1;
  if (count > 0) return d4go(d, count);
  d->bofFlag = 1;
  return d4goEof(d);
}

int d4bof(DATA4* d) { return d->cb->errorCode < 0 ? -1 : d->bofFlag; }
int d4eof(DATA4* d) { return d->cb->errorCode < 0 ? -1 : d->eofFlag; }

void d4blank(DATA4* d) {
  std::memset(d->record, ' ', static_cast<size_t>(d->recordLen));
  d->recChanged = 1;
}

void d4delete(DATA4* d) {
  if (d->record[0] != '*') {
    d->record[0] = '*';
    d->recChanged = 1;
  }
}

void d4recall(DATA4* d) {
  if (d->record[0] != ' ') {
    d->record[0] = ' ';
    d->recChanged = 1;
  }
}

int d4deleted(DATA4* d) { return d->record[0] != ' ' ? 1 : 0; }

int d4changed(DATA4* d, int flag) {
  int previous = d->recChanged;
  if (flag >= 0) d->recChanged = flag > 0 ? 1 : 0;
  return previous;
}

int d4append(DATA4* d) {
  CODE4* cb = d->cb;
  if (cb->errorCode < 0) return -1;
  bool hadLock = d4lockTestAppend(d) != 0;
  int rc = d4lockAppend(d);
  if (rc != 0) return rc;
  int32_t count = d4recordCount(d);
  if (count < 0) return -1;
  if (count >= rec4max) return error4reportEx(cb, err4parm, "Record number too large", d->file.name, nullptr);
  int32_t n = count + 1;
  rc = d4addKeys(d, n);
  if (rc != 0) return rc;
  rc = d4memoFlushAll(d, 1);
  if (rc != 0) {
    d4undoKeys(d, n, false);
    return rc;
  }
  // The record and the end-of-file mark in one write.
  d->record[d->recordLen] = 0x1A;
  rc = file4writeAt(&d->file, d4recordPosition(d, n), d->record, static_cast<size_t>(d->recordLen) + 1);
  d->record[d->recordLen] = 0;
  if (rc != 0) {
    d4undoKeys(d, n, false);
    return -1;
  }
  d->heldCount = n;
  d->countRead = n;
  // Nobody else reads an exclusive file: its count waits for the flush.
  if (d->file.exclusiveOpen) d->countPending = 1;
  else if (d4writeHeader(d, 1, 1) != 0) return -1;
  d->written = 1;
  d->recChanged = 0;
  d->recNo = n;
  d->bofFlag = d->eofFlag = 0;
  if (!hadLock && d4unlockAppend(d) < 0) return -1;
  return 0;
}

int d4flushRecord(DATA4* d, int release) {
  if (d->cb->errorCode < 0) return -1;
  if (d->recNo <= 0 || d->eofFlag) {
    d->recChanged = 0;
    resetMemoStates(d);
    return 0;
  }
  if (d->recChanged) {
    int rc = d4writeRecord(d, d->recNo);
    if (rc != 0) return rc;
  }
  resetMemoStates(d);
  d->oldNumber = -1;
  if (release && d4unlockRecords(d) < 0) return -1;
  return 0;
}

int d4writeRecord(DATA4* d, int32_t n) {
  if (d->cb->errorCode < 0) return -1;
  if (n <= 0) return -1;
  int changed = d->recChanged;
  d->recChanged = 0;
  if (d->memoCount > 0) {
    int rc = d4memoRefresh(d);
    if (rc != 0) {
      d->recChanged = changed;
      return rc;
    }
  }
  int rc = d4updateKeys(d, n);
  d->recChanged = changed;
  if (rc != 0) return rc;
  // Keys already describe the new record: a failed write takes them back.
  bool keysChanged = d->indexes.count > 0;
  rc = d4memoFlushAll(d, 0);
  if (rc < 0) {
    if (keysChanged) d4undoKeys(d, n, d4readOld(d, n) == 0);
    return rc;
  }
  int wrc = d4writeData(d, n);
  if (wrc < 0) {
    if (keysChanged) d4undoKeys(d, n, true);
    return -1;
  }
  return wrc != 0 ? wrc : rc;
}

int d4updateKeys(DATA4* d, int32_t n) {
  d->bofFlag = d->eofFlag = 0;
  int rc = d4lockRecord(d, n);
  if (rc != 0) return rc;
  rc = d4updateKeysIndexed(d, n);
  d->oldNumber = -1;
  return rc;
}

int d4writeData(DATA4* d, int32_t n) {
  int rc = d4lockRecord(d, n);
  if (rc != 0) return rc;
  d->recChanged = 0;
  d->written = 1;
  return file4writeAt(&d->file, d4recordPosition(d, n), d->record, static_cast<size_t>(d->recordLen));
}

int d4writeHeader(DATA4* d, int renewDate, int includeCount) {
  if (d->heldCount >= 0) put32(d->header + 4, static_cast<uint32_t>(d->heldCount));
  put16(d->header + 8, static_cast<uint32_t>(d->headerLen));
  if (includeCount) d->countPending = 0;
  int rc = 0;
  if (renewDate) {
    u4todayYMD(d->header + 1);
    rc = file4writeAt(&d->file, 0, d->header, includeCount ? 10 : 4);
  } else if (includeCount) {
    rc = file4writeAt(&d->file, 4, d->header + 4, 6);
  }
  return rc != 0 ? -1 : 0;
}

int d4flushData(DATA4* d) {
  int rc = d4flushRecord(d, 0);
  if (rc != 0) return rc;
  if (d->countPending && d4writeHeader(d, 1, 1) != 0) return -1;
  if (file4flushKeepError(&d->file) < 0) rc = -1;
  if (d->memoFile.file.fd >= 0 && file4flushKeepError(&d->memoFile.file) < 0) rc = -1;
  return rc;
}

int d4flush(DATA4* d) {
  int rc = d4flushData(d);
  if (d4flushIndexes(d) < 0 && rc == 0) rc = -1;
  return rc;
}

int d4flushTags(DATA4* d) {
  int rc = d4flushRecord(d, 0);
  if (rc != 0) return rc;
  int fail = 0;
  for (TAG4* t = d4tagNext(d, nullptr); t != nullptr; t = d4tagNext(d, t))
    if (t4flush(t) < 0) fail = -1;
  return fail;
}

int code4flushAll(CODE4* cb) {
  int last = 0;
  for (LINK4* l = l4first(&cb->dataList); l != nullptr; l = l4next(&cb->dataList, l)) {
    int rc = d4flush(reinterpret_cast<DATA4*>(l));
    if (rc != 0) last = rc;
  }
  return last;
}
