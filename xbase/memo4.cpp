#include "xbase/memo4.h"

#include "xbase/conv.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kHeaderSize = 24;
constexpr int kMinBlock = 24;
constexpr uint16_t kEntryMark = 0xFFFF;
char g_empty[1] = {0};

uint32_t get32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void put32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

struct Run {
  int64_t block;
  int64_t len;
};

// The free chain as read from disk, checked: runs ascend, do not overlap and
// lie inside the file. Reading stops at the first node that breaks this (the
// chain is then rewritten from what was sound) or at the end of the file.
struct Chain {
  std::vector<Run> runs;
  int64_t head = 0;
  int64_t endBlock = 0; // first block at or past the end of the file
};

int readChain(MEMO4FILE* m, Chain* chain) {
  FILE4* f = &m->file;
  int64_t fileLen = file4length(f);
  if (fileLen < 0) return -1;
  const int64_t bs = m->blockSize;
  chain->endBlock = (fileLen + bs - 1) / bs;
  unsigned char head[4];
  if (file4readAt(f, 0, head, 4) != 0) return -1;
  int64_t next = get32(head);
  chain->head = next;
  int64_t floor = 1;
  while (next >= floor && next < chain->endBlock) {
    unsigned char node[8];
    if (file4read(f, next * bs, node, 8) != 8) break;
    int64_t following = get32(node);
    int64_t len = get32(node + 4);
    if (len < 1 || next + len > chain->endBlock) break;
    chain->runs.push_back({next, len});
    floor = next + len;
    next = following;
  }
  return f->cb->errorCode < 0 ? -1 : 0;
}

void freeRun(Chain* chain, Run run) {
  auto& runs = chain->runs;
  auto it = std::lower_bound(runs.begin(), runs.end(), run.block,
                             [](const Run& r, int64_t b) { return r.block < b; });
  size_t i = static_cast<size_t>(it - runs.begin());
  runs.insert(it, run);
  if (i + 1 < runs.size() && runs[i].block + runs[i].len == runs[i + 1].block) {
    runs[i].len += runs[i + 1].len;
    runs.erase(runs.begin() + static_cast<long>(i) + 1);
  }
  if (i > 0 && runs[i - 1].block + runs[i - 1].len == runs[i].block) {
    runs[i - 1].len += runs[i].len;
    runs.erase(runs.begin() + static_cast<long>(i));
  }
}

// First fit along the ascending chain, from the end of the first run large
// enough; the end of the file serves when none is.
int64_t takeRun(Chain* chain, int64_t blocks) {
  auto& runs = chain->runs;
  for (size_t i = 0; i < runs.size(); ++i) {
    if (runs[i].len < blocks) continue;
    runs[i].len -= blocks;
    int64_t at = runs[i].block + runs[i].len;
    if (runs[i].len == 0) runs.erase(runs.begin() + static_cast<long>(i));
    return at;
  }
  int64_t at = chain->endBlock;
  chain->endBlock += blocks;
  return at;
}

int writeChain(MEMO4FILE* m, const Chain& chain) {
  FILE4* f = &m->file;
  const int64_t bs = m->blockSize;
  for (size_t i = 0; i < chain.runs.size(); ++i) {
    const Run& r = chain.runs[i];
    int64_t next = i + 1 < chain.runs.size() ? chain.runs[i + 1].block : chain.endBlock;
    unsigned char node[8];
    put32(node, static_cast<uint32_t>(next));
    put32(node + 4, static_cast<uint32_t>(r.len));
    if (file4writeAt(f, r.block * bs, node, 8) != 0) return -1;
  }
  int64_t head = chain.runs.empty() ? chain.endBlock : chain.runs[0].block;
  unsigned char word[4];
  put32(word, static_cast<uint32_t>(head));
  if (head != chain.head && file4writeAt(f, 0, word, 4) != 0) return -1;
  return 0;
}

// The run of a live entry, or {0, 0} when the block holds no sound entry.
Run entryRun(MEMO4FILE* m, int64_t block, const Chain& chain) {
  const int64_t bs = m->blockSize;
  if (block <= 0 || block >= chain.endBlock) return {0, 0};
  unsigned char head[8];
  if (file4read(&m->file, block * bs, head, 8) != 8) return {0, 0};
  if ((head[0] | head[1] << 8) != kEntryMark) return {0, 0};
  int64_t stored = get32(head + 4);
  if (stored < 8) return {0, 0};
  int64_t blocks = (stored + bs - 1) / bs;
  if (block + blocks > chain.endBlock) return {0, 0};
  for (const Run& r : chain.runs)
    if (r.block < block + blocks && block < r.block + r.len) return {0, 0};
  return {block, blocks};
}

FIELD4* asMemo(FIELD4* f) { return f != nullptr && f->memo != nullptr ? f : nullptr; }

int32_t referenceOf(FIELD4* f) {
  int64_t ref = c4textToInt(f4ptr(f), f->len);
  return ref > 0 && ref < INT32_MAX ? static_cast<int32_t>(ref) : 0;
}

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
  unsigned char head[kHeaderSize];
  if (file4readAt(&m->file, 0, head, sizeof(head)) != 0) return -1;
  m->blockSize = head[20] | head[21] << 8;
  if (m->blockSize < kMinBlock)
    return error4reportEx(cb, err4info, "Memo block size", m->file.name, nullptr);
  return 0;
}

int memo4file_close(MEMO4FILE* m) {
  int rc = file4close(&m->file);
  m->locked = 0;
  m->data = nullptr;
  return rc;
}

int memo4file_read(MEMO4FILE* m, int32_t block, char** buf, uint32_t* len, uint32_t* capacity) {
  FILE4* f = &m->file;
  CODE4* cb = f->cb;
  if (cb->errorCode < 0) return -1;
  *len = 0;
  if (block <= 0) return 0;
  const int64_t pos = static_cast<int64_t>(block) * m->blockSize;
  unsigned char head[8];
  if (file4read(f, pos, head, 8) != 8) return cb->errorCode < 0 ? -1 : 0;
  if ((head[0] | head[1] << 8) != kEntryMark) return 0;
  int64_t stored = get32(head + 4);
  int64_t offset = head[2] | head[3] << 8;
  int64_t fileLen = file4length(f);
  if (fileLen < 0) return -1;
  if (stored < 8 || offset < 8 || pos + offset + (stored - 8) > fileLen)
    return error4reportEx(cb, err4info, "memo4file_read()", f->name, nullptr);
  uint32_t n = static_cast<uint32_t>(stored - 8);
  if (*buf == nullptr || *capacity < n + 1) {
    auto* grown = static_cast<char*>(u4allocOrError(cb, static_cast<size_t>(n) + 1));
    if (grown == nullptr) return err4memory;
    u4globalFree(*buf);
    *buf = grown;
    *capacity = n + 1;
  }
  if (file4readAt(f, pos + offset, *buf, n) != 0) return -1;
  (*buf)[n] = 0;
  *len = n;
  return 0;
}

int memo4file_write(MEMO4FILE* m, int32_t* block, const char* data, uint32_t n) {
  FILE4* f = &m->file;
  CODE4* cb = f->cb;
  if (cb->errorCode < 0) return -1;
  // The chain is shared: change it only under the memo lock, from a fresh read.
  bool locked = m->locked != 0;
  if (!locked) {
    int rc = memo4file_lock(m);
    if (rc != 0) return rc;
  }
  int rc = 0;
  Chain chain;
  if (readChain(m, &chain) != 0) rc = -1;
  const int64_t bs = m->blockSize;
  const int64_t need = n == 0 ? 0 : (static_cast<int64_t>(n) + 8 + bs - 1) / bs;
  Run old = rc == 0 ? entryRun(m, *block, chain) : Run{0, 0};
  int64_t at = 0;
  if (rc == 0 && n > 0) {
    if (old.len >= need) {
      // The new entry takes the tail of the old run; its head is freed.
      at = old.block + old.len - need;
      if (old.len > need) freeRun(&chain, {old.block, old.len - need});
    } else {
      if (old.len > 0) freeRun(&chain, old);
      at = takeRun(&chain, need);
    }
  } else if (rc == 0 && old.len > 0) {
    freeRun(&chain, old);
  }
  if (rc == 0 && n > 0) {
    unsigned char head[8] = {0xFF, 0xFF, 8, 0, 0, 0, 0, 0};
    put32(head + 4, n + 8);
    if (file4writeAt(f, at * bs, head, 8) != 0 || file4writeAt(f, at * bs + 8, data, n) != 0) rc = -1;
    int64_t fileLen = rc == 0 ? file4length(f) : -1;
    if (rc == 0 && fileLen >= 0 && fileLen < chain.endBlock * bs && file4lenSet(f, chain.endBlock * bs) != 0) rc = -1;
  }
  if (rc == 0 && writeChain(m, chain) != 0) rc = -1;
  if (rc == 0) *block = static_cast<int32_t>(at);
  if (!locked) memo4file_unlock(m);
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

int d4memoRefresh(DATA4* d) {
  if (d->oldValid) return 0;
  if (d->recNo > 0) {
    int rc = d4lockRecord(d, d->recNo);
    if (rc != 0) return rc;
    if (d4readOld(d, d->recNo) != 0) return -1;
    for (int i = 0; i < d->memoCount; ++i) {
      FIELD4* f = d->memos[i].field;
      std::memcpy(d->record + f->offset, d->recordOld + f->offset, static_cast<size_t>(f->len));
    }
    d->oldValid = 1;
  }
  return 0;
}

int f4memoSetLen(FIELD4* f, uint32_t n) {
  F4MEMO* mf = f->memo;
  CODE4* cb = f->data->cb;
  if (mf->contents == nullptr || mf->capacity < n + 1) {
    auto* grown = static_cast<char*>(u4allocRetry(cb, static_cast<size_t>(n) + 1));
    if (grown == nullptr) {
      f4memoFree(f);
      return error4report(cb, err4memory, f->name);
    }
    if (mf->contents != nullptr) std::memcpy(grown, mf->contents, mf->len < n ? mf->len : n);
    u4globalFree(mf->contents);
    mf->contents = grown;
    mf->capacity = n + 1;
  }
  mf->len = n;
  mf->contents[n] = 0;
  mf->changed = 1;
  mf->status = 0;
  f->data->recChanged = 1;
  return 0;
}

int f4memoAssignN(FIELD4* f, const char* bytes, uint32_t n) {
  if (asMemo(f) == nullptr) {
    f4assignN(f, bytes, n);
    return 0;
  }
  // The bytes may lie in the field's own buffer.
  std::vector<char> copy(bytes, bytes + n);
  if (f4memoSetLen(f, n) != 0) return -1;
  if (n > 0) std::memcpy(f->memo->contents, copy.data(), n);
  return 0;
}

int f4memoAssign(FIELD4* f, const char* text) {
  return f4memoAssignN(f, text, static_cast<uint32_t>(std::strlen(text)));
}

int f4memoReadFile(FIELD4* f) {
  F4MEMO* mf = f->memo;
  DATA4* d = f->data;
  int rc = memo4file_read(&d->memoFile, referenceOf(f), &mf->contents, &mf->len, &mf->capacity);
  if (rc != 0) {
    f4memoReset(f);
    return rc < 0 ? rc : -1;
  }
  mf->status = 0;
  return 0;
}

int f4memoRead(FIELD4* f) {
  F4MEMO* mf = f->memo;
  DATA4* d = f->data;
  mf->changed = 0;
  if (d->recNo < 0 || d->eofFlag) {
    mf->len = 0;
    mf->status = 0;
    return 0;
  }
  if (d->cb->readLock) {
    int rc = d4memoRefresh(d);
    if (rc != 0) return rc;
  }
  return f4memoReadFile(f);
}

uint32_t f4memoLen(FIELD4* f) {
  if (asMemo(f) == nullptr) return static_cast<uint32_t>(f4len(f));
  if (f->memo->status == 1 && f4memoRead(f) != 0) return 0;
  return f->memo->len;
}

char* f4memoPtr(FIELD4* f) {
  if (asMemo(f) == nullptr) return f4ptr(f);
  if (f->memo->status == 1 && f4memoRead(f) != 0) return nullptr;
  return f->memo->contents != nullptr && f->memo->len > 0 ? f->memo->contents : g_empty;
}

const char* f4memoStr(FIELD4* f) {
  if (asMemo(f) == nullptr) return f4str(f);
  return f4memoPtr(f);
}

uint32_t f4memoCopyTo(FIELD4* f, char* buf, uint32_t size) {
  if (size == 0) return 0;
  CODE4* cb = f->data->cb;
  if (cb->errorCode < 0) return 0;
  if (cb->errorCode > 0) cb->errorCode = 0;
  if (asMemo(f) == nullptr) return static_cast<uint32_t>(f4copyTo(f, buf, size));
  const char* p = f4memoPtr(f);
  if (p == nullptr) return 0;
  uint32_t n = f->memo->len < size - 1 ? f->memo->len : size - 1;
  std::memcpy(buf, p, n);
  buf[n] = 0;
  return n;
}

void f4memoReset(FIELD4* f) {
  if (asMemo(f) == nullptr) return;
  f->memo->status = 1;
  f->memo->len = 0;
  f->memo->changed = 0;
}

void f4memoFree(FIELD4* f) {
  if (asMemo(f) == nullptr) return;
  u4globalFree(f->memo->contents);
  f->memo->contents = nullptr;
  f->memo->capacity = 0;
  f4memoReset(f);
}

int f4memoWrite(FIELD4* f) {
  DATA4* d = f->data;
  F4MEMO* mf = f->memo;
  int rc = d4memoRefresh(d);
  if (rc != 0) return rc;
  int32_t ref = referenceOf(f);
  int32_t fresh = ref;
  if (memo4file_write(&d->memoFile, &fresh, mf->contents, mf->len) != 0) return -1;
  if (fresh != ref) {
    if (fresh == 0) f4blank(f);
    else c4longToText(fresh, f4ptr(f), f->len);
  }
  mf->changed = 0;
  return 0;
}

int f4memoFlush(FIELD4* f) {
  if (asMemo(f) == nullptr || !f->memo->changed) return 0;
  return f4memoWrite(f);
}

int d4memoPack(DATA4* d) {
  CODE4* cb = d->cb;
  if (cb->errorCode < 0) return -1;
  if (d->memoCount == 0) return 0;
  int rc = d4flushTags(d);
  if (rc == 0) rc = d4lockFile(d);
  if (rc == 0) rc = memo4file_lock(&d->memoFile);
  if (rc != 0) return rc;
  int32_t count = d4recordCount(d);
  if (count < 0) return -1;

  // Every entry goes to a fresh file first; the table is not touched until
  // the new memo file has replaced the old one.
  MEMO4FILE fresh;
  int savedBlock = cb->memoBlockSize;
  cb->memoBlockSize = d->memoFile.blockSize;
  rc = memo4file_create(&fresh, cb, d, nullptr);
  cb->memoBlockSize = savedBlock;
  if (rc != 0) return -1;
  fresh.locked = 1; // private until it replaces the old file
  std::unordered_map<int32_t, int32_t> moved;
  std::vector<char> record(static_cast<size_t>(d->recordLen));
  char* entry = nullptr;
  uint32_t entryLen = 0, entryCap = 0;
  for (int32_t n = 1; rc == 0 && n <= count; ++n) {
    if (file4readAt(&d->file, d4recordPosition(d, n), record.data(), record.size()) != 0) {
      rc = -1;
      break;
    }
    for (int i = 0; rc == 0 && i < d->memoCount; ++i) {
      FIELD4* f = d->memos[i].field;
      int64_t ref = c4textToInt(record.data() + f->offset, f->len);
      if (ref <= 0 || ref >= INT32_MAX || moved.count(static_cast<int32_t>(ref)) != 0) continue;
      if (memo4file_read(&d->memoFile, static_cast<int32_t>(ref), &entry, &entryLen, &entryCap) != 0) {
        rc = -1;
        break;
      }
      int32_t at = 0;
      if (entryLen > 0 && memo4file_write(&fresh, &at, entry, entryLen) != 0) rc = -1;
      moved[static_cast<int32_t>(ref)] = at;
    }
  }
  u4globalFree(entry);
  if (rc == 0 && file4flush(&fresh.file) != 0) rc = -1;
  if (rc != 0) {
    memo4file_close(&fresh); // deleted: both files stay as they were
    return -1;
  }
  fresh.file.temporary = 0;
  if (file4replace(&d->memoFile.file, &fresh.file) != 0) {
    fresh.file.temporary = 1;
    memo4file_close(&fresh);
    return -1;
  }
  for (int32_t n = 1; n <= count; ++n) {
    if (file4readAt(&d->file, d4recordPosition(d, n), record.data(), record.size()) != 0) return -1;
    bool changed = false;
    for (int i = 0; i < d->memoCount; ++i) {
      FIELD4* f = d->memos[i].field;
      int64_t ref = c4textToInt(record.data() + f->offset, f->len);
      auto it = ref > 0 && ref < INT32_MAX ? moved.find(static_cast<int32_t>(ref)) : moved.end();
      if (it == moved.end()) continue;
      if (it->second == 0) std::memset(record.data() + f->offset, ' ', static_cast<size_t>(f->len));
      else c4longToText(it->second, record.data() + f->offset, -f->len);
      changed = true;
    }
    if (changed && file4writeAt(&d->file, d4recordPosition(d, n), record.data(), record.size()) != 0) return -1;
  }
  for (int i = 0; i < d->memoCount; ++i) f4memoReset(d->memos[i].field);
  if (d->recNo > 0 && d->recNo <= count) d4readRecord(d, d->recNo, d->record);
  return 0;
}
