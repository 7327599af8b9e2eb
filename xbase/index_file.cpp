// Index files: create, open, rebuild, lock, close, free-block list.
#include "xbase/index.h"
#include "xbase/block_cache.h"
#include "xbase/expression.h"
#include "xbase/expression_tables.h"
#include "xbase/sort.h"
#include "xbase/byte_fields.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <climits>
#include <string>
#include <unordered_set>
#include <strings.h>
#include <cstring>
#include <vector>

using namespace xbase_bytes;

namespace {

constexpr size_t kHeadArea = 544;
constexpr size_t kTagEntry = 32;
constexpr size_t kTagTable = i4maxTags * kTagEntry; // 1504

int notIndex(CODE4* cb, const char* name, const char* line) {
  return error4reportEx(cb, err4index, name, line, nullptr);
}

char keyTypeOf(char exprType) {
  switch (exprType) {
    case 'C': return 'C';
    case 'N': case 'n': return 'N';
    case 'D': case 'd': return 'D';
    default: return exprType;
  }
}

int groupLenOf(int keyLen) { return (keyLen + 7) / 4 * 4; }

// Key length, type, routines and block capacity from the key expression.
int setupKey(TAG4* t, bool fromFile) {
  t->exprType = expr4type(t->expr);
  t->keyLen = expr4keyLen(t->expr);
  if (t4setKeyType(t, keyTypeOf(t->exprType)) != 0) return -1;
  t->groupLen = groupLenOf(t->keyLen);
  t->keysMax = (t->index->blockBytes - 12) / t->groupLen;
  if (t->keyLen <= 0 || t->keysMax < 3) {
    if (fromFile) return notIndex(t->cb, t->index->file.name, "Key too long");
    return error4reportEx(t->cb, err4parm, "Key too long", t->alias, nullptr);
  }
  return 0;
}

TAG4* newTag(INDEX4* ix, const char* name) {
  CODE4* cb = ix->cb;
  auto* t = static_cast<TAG4*>(mem4poolTake(cb, &cb->tagPool, cb->tagStart,
                                            static_cast<int>(sizeof(TAG4)), cb->tagExpand, 0));
  if (t == nullptr) {
    error4reportEx(cb, err4memory, "Tag", nullptr, nullptr);
    return nullptr;
  }
  std::memset(t, 0, sizeof(*t));
  t->index = ix;
  t->cb = cb;
  t->root = -1;
  size_t n = 0;
  while (name[n] != 0 && n < 10) ++n;
  while (n > 0 && name[n - 1] == ' ') --n;
  std::memcpy(t->alias, name, n);
  u4upper(t->alias);
  l4append(&ix->tags, &t->link);
  return t;
}

void freeTag(INDEX4* ix, TAG4* t) {
  expr4free(t->expr);
  expr4free(t->filter);
  l4remove(&ix->tags, &t->link);
  t4releaseSpare(t);
  mem4give(ix->cb->tagPool, t);
}

// Drops a tag's blocks without writing them (their contents are stale).
void dropBlocks(TAG4* t) {
  while (t->depth > 0) {
    B4BLOCK* b = t->path[--t->depth];
    b4free(b);
  }
}

// A key or filter naming another table would read through a handle that
// outlives that table's close.
bool ownTableOnly(const EXPR4* e) {
  for (const EXPR4TOKEN& tok : e->tokens) {
    if (tok.table != nullptr && tok.table != e->data) return false;
    if (tok.calc != nullptr && tok.calc->expr != nullptr && !ownTableOnly(tok.calc->expr)) return false;
  }
  return true;
}

TAG4* firstTag(INDEX4* ix) { return reinterpret_cast<TAG4*>(l4first(&ix->tags)); }
TAG4* nextTag(INDEX4* ix, TAG4* t) { return reinterpret_cast<TAG4*>(l4next(&ix->tags, &t->link)); }

void tagHeaderImage(const TAG4* t, unsigned char* img, int blockBytes) {
  std::memset(img, 0, static_cast<size_t>(blockBytes));
  put32(img, static_cast<uint32_t>(t->root));
  img[8] = t->flags;
  img[9] = static_cast<unsigned char>(t->keyType);
  put16(img + 12, static_cast<uint32_t>(t->keyLen));
  put16(img + 14, static_cast<uint32_t>(t->keysMax));
  img[16] = t->keyType == 'D' ? 1 : 0;
  put16(img + 18, static_cast<uint32_t>(t->groupLen));
  img[20] = t->counter;
  put16(img + 22, t->uniqueCode != 0 ? 0x4000 : 0);
  const char* src = expr4source(t->expr);
  std::memcpy(img + 24, src, std::min<size_t>(std::strlen(src), i4exprMax));
  if (t->filter != nullptr) {
    img[245] = 1;
    img[246] = static_cast<unsigned char>(t->hasKeys);
    const char* f = expr4source(t->filter);
    std::memcpy(img + i4filterOffset, f,
                std::min<size_t>(std::strlen(f), static_cast<size_t>(blockBytes - i4filterOffset - 1)));
  }
}

void tagTableImage(INDEX4* ix, unsigned char* table) {
  std::memset(table, 0, kTagTable);
  int n = 0;
  for (TAG4* t = firstTag(ix); t != nullptr; t = nextTag(ix, t), ++n) {
    unsigned char* e = table + static_cast<size_t>(n) * kTagEntry;
    put32(e, static_cast<uint32_t>(t->headerOffset / 512));
    std::memcpy(e + 4, t->alias, std::strlen(t->alias));
    e[15] = 0x10; // word 4096 at 14; byte 14 is the name's terminator
    e[19] = 2;
    e[20] = static_cast<unsigned char>(t->keyType);
    if (n == 0) continue;
    // Name tree rooted at tag 1; smaller names go left.
    int node = 0;
    for (int guard = 0; guard < i4maxTags; ++guard) {
      unsigned char* cur = table + static_cast<size_t>(node) * kTagEntry;
      bool left = std::memcmp(e + 4, cur + 4, 11) < 0;
      int child = cur[left ? 16 : 17];
      if (child == 0) {
        cur[left ? 16 : 17] = static_cast<unsigned char>(n + 1);
        e[18] = static_cast<unsigned char>(node + 1);
        break;
      }
      node = child - 1;
    }
  }
}

struct Level {
  std::vector<unsigned char> img;
  int n = 0; // entries (leaf keys, or branch children)
};

struct Builder {
  INDEX4* ix;
  TAG4* t;
  FILE4SEQWRITE* w;
  int32_t next;
  std::vector<Level> levels;
  int32_t written = 0;

  unsigned char* entry(Level& l, int i) {
    return l.img.data() + 8 + static_cast<size_t>(i) * static_cast<size_t>(t->groupLen);
  }
  int32_t writeBlock(Level& l, int k) {
    put32(l.img.data(), static_cast<uint32_t>(k));
    int32_t blk = next;
    if (next > INT32_MAX / 512 - ix->units) {
      error4reportEx(ix->cb, err4parm, "Index file too large", ix->file.name, nullptr);
      return -1;
    }
    if (file4seqWrite(w, l.img.data(), static_cast<size_t>(ix->blockBytes)) != 0) return -1;
    next += ix->units;
    ++written;
    std::fill(l.img.begin(), l.img.end(), 0);
    l.n = 0;
    return blk;
  }
  Level& level(size_t i) {
    while (levels.size() <= i) {
      levels.emplace_back();
      levels.back().img.assign(static_cast<size_t>(ix->blockBytes) + 2 * static_cast<size_t>(t->groupLen) + 8, 0);
    }
    return levels[i];
  }
  int pushBranch(size_t li, int32_t child, const unsigned char* key) {
    if (li > static_cast<size_t>(i4maxDepth))
      return error4reportEx(ix->cb, err4index, "Tree too deep", ix->file.name, nullptr);
    Level& l = level(li);
    const size_t kl = static_cast<size_t>(t->keyLen);
    put32(entry(l, l.n), static_cast<uint32_t>(child));
    std::memcpy(entry(l, l.n) + 4, key, kl);
    ++l.n;
    if (l.n < t->keysMax + 1) return 0;
    std::vector<unsigned char> sep(entry(l, l.n - 1) + 4, entry(l, l.n - 1) + 4 + kl);
    std::memset(entry(l, l.n - 1) + 4, 0, kl);
    int32_t blk = writeBlock(l, t->keysMax);
    if (blk < 0) return -1;
    return pushBranch(li + 1, blk, sep.data());
  }
  int addKey(int32_t rec, const unsigned char* key) {
    Level& l = level(0);
    const size_t kl = static_cast<size_t>(t->keyLen);
    put32(entry(l, l.n), static_cast<uint32_t>(rec));
    std::memcpy(entry(l, l.n) + 4, key, kl);
    if (++l.n < t->keysMax) return 0;
    std::vector<unsigned char> last(entry(l, l.n - 1) + 4, entry(l, l.n - 1) + 4 + kl);
    int32_t blk = writeBlock(l, l.n);
    if (blk < 0) return -1;
    return pushBranch(1, blk, last.data());
  }
  // Writes the partial blocks; answers the root.
  int32_t finish() {
    const size_t kl = static_cast<size_t>(t->keyLen);
    Level& leaf = level(0);
    int32_t carry = 0;
    std::vector<unsigned char> carryKey(kl, 0);
    if (leaf.n > 0 || written == 0) {
      if (leaf.n > 0) carryKey.assign(entry(leaf, leaf.n - 1) + 4, entry(leaf, leaf.n - 1) + 4 + kl);
      carry = writeBlock(leaf, leaf.n);
      if (carry < 0) return -1;
    }
    for (size_t li = 1; li < levels.size(); ++li) {
      Level& l = levels[li];
      if (carry > 0) {
        put32(entry(l, l.n), static_cast<uint32_t>(carry));
        std::memcpy(entry(l, l.n) + 4, carryKey.data(), kl);
        ++l.n;
        carry = 0;
      }
      if (l.n == 0) continue;
      carryKey.assign(entry(l, l.n - 1) + 4, entry(l, l.n - 1) + 4 + kl);
      if (l.n == 1) {
        carry = static_cast<int32_t>(get32(entry(l, 0)));
        std::fill(l.img.begin(), l.img.end(), 0);
        l.n = 0;
        continue;
      }
      std::memset(entry(l, l.n - 1) + 4, 0, kl);
      carry = writeBlock(l, l.n - 1);
      if (carry < 0) return -1;
    }
    return carry;
  }
};

// Fills one tag from the table's records.
int buildTag(INDEX4* ix, TAG4* t, Builder& bld, char* readBuf, size_t readBufSize) {
  CODE4* cb = ix->cb;
  DATA4* d = ix->data;
  SORT4 s;
  if (sort4init(&s, cb, t->keyLen, 0) != 0) return -1;
  s.cmp = t->cmp;
  int32_t count = d4recordCount(d);
  int rc = count < 0 ? -1 : 0;
  FILE4SEQREAD r;
  if (rc == 0) rc = file4seqReadInit(&r, &d->file, d->headerLen, readBuf, readBufSize);
  for (int32_t rec = 1; rc == 0 && rec <= count; ++rec) {
    if (file4seqReadAll(&r, d->record, static_cast<size_t>(d->recordLen)) != 0) {
      rc = -1;
      break;
    }
    d->recNo = rec;
    for (int i = 0; i < d->memoCount; ++i) d->memos[i].status = 1;
    if (t->filter != nullptr) {
      int f = expr4true(t->filter);
      if (f < 0) {
        rc = -1;
        break;
      }
      if (f == 0) continue;
      t->hasKeys = 1;
    }
    char* key = nullptr;
    if (t4keyFromRecord(t, &key) < 0 || sort4put(&s, rec, key, nullptr) != 0) rc = -1;
  }
  if (rc == 0) rc = sort4getInit(&s);
  std::vector<unsigned char> prev(static_cast<size_t>(t->keyLen));
  bool havePrev = false;
  while (rc == 0) {
    int32_t rec = 0;
    void* key = nullptr;
    void* info = nullptr;
    int g = sort4get(&s, &rec, &key, &info);
    if (g < 0) rc = -1;
    if (g != 0) break;
    if (t->uniqueCode != 0 && havePrev &&
        t->cmp(prev.data(), key, static_cast<size_t>(t->keyLen)) == 0) {
      if (t->uniqueCode == err4unique) {
        rc = error4reportEx(cb, err4unique, "Creating Tag", t->alias, nullptr);
        break;
      }
      if (t->uniqueCode == status4unique) {
        rc = status4unique;
        break;
      }
      continue;
    }
    std::memcpy(prev.data(), key, prev.size());
    havePrev = true;
    if (bld.addKey(rec, static_cast<unsigned char*>(key)) < 0) rc = -1;
  }
  sort4free(&s);
  if (rc != 0) return rc;
  int32_t root = bld.finish();
  if (root < 0) return -1;
  t->root = root;
  return 0;
}

} // namespace

int i4writeHeader(INDEX4* ix) {
  if (!ix->headerChanged) return 0;
  put32(ix->header + 32, static_cast<uint32_t>(ix->eof));
  put32(ix->header + 36, static_cast<uint32_t>(ix->freeList));
  if (file4writeAt(&ix->file, 0, ix->header, sizeof(ix->header)) != 0) return -1;
  ix->headerChanged = 0;
  return 0;
}

int32_t i4extend(INDEX4* ix) {
  if (ix->cb->errorCode < 0) return -1;
  if (ix->freeList != 0) {
    int32_t blk = ix->freeList;
    bool ok = i4blockOk(ix, blk);
    // An empty root looks like a free block: compare with every root, also
    // the ones not read yet.
    for (TAG4* t = firstTag(ix); ok && t != nullptr; t = nextTag(ix, t)) {
      int32_t root = t->root;
      if (root < 0) {
        unsigned char r[4] = {0};
        if (file4readAt(&ix->file, t->headerOffset, r, 4) != 0) return -1;
        root = static_cast<int32_t>(std::min<uint32_t>(get32(r), INT32_MAX));
      }
      ok = root != blk;
    }
    unsigned char head[8] = {0};
    if (ok) ok = file4read(&ix->file, static_cast<int64_t>(blk) * 512, head, 8) == 8;
    if (ix->cb->errorCode < 0) return -1;
    uint32_t link = get32(head + 4);
    // A head that is not a free block is dropped rather than handed out.
    ok = ok && get32(head) == 0 && (link == 0 || i4blockOk(ix, link)) && link != static_cast<uint32_t>(blk);
    ix->headerChanged = 1;
    if (ok) {
      ix->freeList = static_cast<int32_t>(link);
      return blk;
    }
    ix->freeList = 0;
  }
  if (ix->eof > INT32_MAX / 512 - ix->units)
    return error4reportEx(ix->cb, err4parm, "Index file too large", ix->file.name, nullptr);
  int32_t blk = ix->eof;
  ix->eof += ix->units;
  ix->headerChanged = 1;
  return blk;
}

int i4freeBlock(INDEX4* ix, int32_t blk) {
  std::vector<unsigned char> img(static_cast<size_t>(ix->blockBytes), 0);
  put32(img.data() + 4, static_cast<uint32_t>(ix->freeList));
  if (file4writeAt(&ix->file, static_cast<int64_t>(blk) * 512, img.data(), img.size()) != 0) return -1;
  ix->freeList = blk;
  ix->headerChanged = 1;
  return 0;
}

int i4flushTags(INDEX4* ix) {
  int rc = 0;
  for (TAG4* t = firstTag(ix); t != nullptr; t = nextTag(ix, t))
    if (t4flush(t) < 0) rc = -1;
  return rc;
}

int i4flush(INDEX4* ix) {
  int rc = i4flushTags(ix);
  if (i4writeHeader(ix) < 0) rc = -1;
  if (file4flushKeepError(&ix->file) < 0) rc = -1;
  return rc;
}

TAG4* i4tagByName(INDEX4* ix, const char* name) {
  if (ix == nullptr) return nullptr;
  char want[11] = {0};  // a null name matches no tag
  u4copyBounded(want, name, sizeof(want));
  u4upper(want);
  for (TAG4* t = firstTag(ix); t != nullptr; t = nextTag(ix, t))
    if (std::strcmp(t->alias, want) == 0) return t;
  if (ix->cb->tagNameError) error4reportEx(ix->cb, err4tagName, name, nullptr, nullptr);
  return nullptr;
}


int i4lockTest(INDEX4* ix) { return ix->locked || ix->data->file.exclusiveOpen ? 1 : 0; }

namespace {

void (*g_lockWaitHook)() = nullptr;
constexpr int kNeedsLock = 2;

// Reads the header and tag counters again. Without the lock, a header whose
// layout differs is a rebuild in progress elsewhere (kNeedsLock); under the
// lock it is another file.
int versionCheckCore(INDEX4* ix, bool underLock) {
  // The header and every tag's counters, past the block cache: they say
  // whether the cached blocks are still what the file holds. Only those bytes
  // are read (every seek pays for this); a change landing between the reads
  // shows in one of them, and what it leaves half seen is sought again.
  const auto readAt = [ix](int64_t pos, unsigned char* to, size_t n) {
    return file4readDirect(&ix->file, pos, to, n) == static_cast<int64_t>(n);
  };
  unsigned char head[48];
  if (!readAt(0, head, sizeof head)) return error4reportEx(ix->cb, err4read, "File Name:", ix->file.name, nullptr);
  bool changed = std::memcmp(head, ix->header, 48) != 0;
  if (changed) {
    uint32_t units = get16(head + 20);
    if (units != static_cast<uint32_t>(ix->units) || get16(head + 28) != get16(ix->header + 28)) {
      if (!underLock) return kNeedsLock;
      return notIndex(ix->cb, ix->file.name, "Changed by another program");
    }
    std::memcpy(ix->header, head, 48);
    ix->eof = static_cast<int32_t>(std::min<uint32_t>(get32(head + 32), INT32_MAX));
    ix->freeList = static_cast<int32_t>(std::min<uint32_t>(get32(head + 36), INT32_MAX));
  }
  for (TAG4* t = firstTag(ix); t != nullptr; t = nextTag(ix, t)) {
    unsigned char c = 0, h = 0;
    if (!readAt(t->headerOffset + 20, &c, 1) || (t->hasFilter && !readAt(t->headerOffset + 246, &h, 1)))
      return error4reportEx(ix->cb, err4read, "File Name:", ix->file.name, nullptr);
    if (changed || c != t->counter || (t->hasFilter && h != t->hasKeysWritten)) {
      t->counter = c;
      if (t->hasFilter) t->hasKeys = t->hasKeysWritten = h;
      dropBlocks(t);
      t->root = -1;
      changed = true;
    }
  }
  if (changed && cache4flushFile(&ix->file, 1) != 0)
    return error4reportEx(ix->cb, err4write, ix->file.name, nullptr, nullptr);
  return changed ? 1 : 0;
}

} // namespace

void i4setLockWaitHook(void (*hook)()) { g_lockWaitHook = hook; }

int i4lockWait(INDEX4* ix) {
  CODE4* cb = ix->cb;
  if (cb->errorCode < 0) return -1;
  const int attempts = cb->lockAttempts;
  const auto limit = std::chrono::seconds(attempts <= 0 ? 1 : attempts);
  const auto start = std::chrono::steady_clock::now();
  auto pause = std::chrono::microseconds(200);
  for (;;) {
    int rc;
    if (ix->file.readOnlyOpen) {
      // A read-only file takes no lock: wait only until nobody holds one.
      rc = file4lockTestOther(&ix->file, lock4gate, 1);
      if (rc < 0) return error4reportEx(cb, err4lock, ix->file.name, nullptr, nullptr);
      rc = rc == 1 ? status4locked : 0;
    } else {
      cb->lockAttempts = 1;
      rc = file4lockRange(&ix->file, lock4gate, 1);
      cb->lockAttempts = attempts;
    }
    if (rc != status4locked) return rc;
    if (attempts >= 0 && std::chrono::steady_clock::now() - start >= limit) return status4locked;
    if (g_lockWaitHook != nullptr) g_lockWaitHook();
    std::this_thread::sleep_for(pause);
    pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(20));
  }
}

int i4readLock(INDEX4* ix) {
  if (ix->locked || i4lockTest(ix)) return 0;
  int rc = i4lockWait(ix);
  if (rc != 0) return rc;
  rc = versionCheckCore(ix, true);
  if (rc < 0) {
    file4unlockRange(&ix->file, lock4gate, 1);
    return -1;
  }
  ix->locked = 1;
  ix->readLocked = 1;
  return 0;
}

void i4readUnlock(INDEX4* ix) {
  if (!ix->readLocked) return;
  ix->readLocked = 0;
  ix->locked = 0;
  // Reading changed nothing, so nothing is flushed.
  if (!ix->data->file.exclusiveOpen) file4unlockRange(&ix->file, lock4gate, 1);
}

int i4writerActive(INDEX4* ix) {
  if (ix->locked || i4lockTest(ix)) return 0;
  return file4lockTestOther(&ix->file, lock4gate, 1);
}

namespace {

int checkVersion(INDEX4* ix) {
  int rc = versionCheckCore(ix, false);
  if (rc != kNeedsLock) return rc;
  // Another program is rebuilding the file: its lock ends with the rebuild.
  rc = i4readLock(ix);
  if (rc != 0) return rc < 0 ? -1 : rc;
  i4readUnlock(ix);
  return 1;
}

} // namespace

int i4versionCheck(INDEX4* ix, int keepPosition) {
  // Nobody else writes a file this program holds locked or exclusively.
  if (i4lockTest(ix)) return 0;
  TAG4* t = keepPosition && ix->data != nullptr ? ix->data->tagSelected : nullptr;
  if (t != nullptr && (t->index != ix || t->depth == 0)) t = nullptr;
  std::vector<unsigned char> key; // empty: after the last key
  int32_t rec = 0;
  if (t != nullptr && !t4eof(t)) {
    const char* k = t4key(t);
    key.assign(k, k + t->keyLen);
    rec = t4recordNumber(t);
  }
  const int rc = checkVersion(ix);
  if (rc != 1 || t == nullptr || t->depth > 0) return rc;
  const int placed = key.empty() ? t4goEof(t) : t4go(t, key.data(), rec);
  return placed < 0 ? -1 : 1;
}

int i4lock(INDEX4* ix) {
  if (ix->cb->errorCode < 0) return -1;
  if (i4lockTest(ix)) return 0;
  int rc = file4lockRange(&ix->file, lock4gate, 1);
  if (rc != 0) return rc;
  if (versionCheckCore(ix, true) < 0) {
    file4unlockRange(&ix->file, lock4gate, 1);
    return -1;
  }
  ix->locked = 1;
  return 0;
}

int i4unlock(INDEX4* ix) {
  if (!ix->locked) return 0;
  int rc = i4flush(ix);
  if (file4unlockRange(&ix->file, lock4gate, 1) != 0) rc = -1;
  ix->locked = 0;
  return rc;
}

namespace {
int rebuildCore(INDEX4* ix);
}

// The build writes past the block cache, so a running cache stands aside.
int i4rebuild(INDEX4* ix) {
  CODE4* cb = ix->cb;
  if (cb->errorCode < 0) return -1;
  bool cacheWasRunning = code4cacheRunning(cb) != 0;
  if (cacheWasRunning && code4cacheSuspend(cb) != 0) return -1;
  cb->activity |= 0x40;
  int rc = rebuildCore(ix);
  if (cacheWasRunning && rc == 0) code4cacheStart(cb);
  return rc;
}

namespace {

int rebuildCore(INDEX4* ix) {
  CODE4* cb = ix->cb;
  DATA4* d = ix->data;
  // The file may be new and empty: take the lock byte without the version check.
  bool wasLocked = i4lockTest(ix) != 0;
  if (!wasLocked) {
    int lrc = file4lockRange(&ix->file, lock4gate, 1);
    if (lrc != 0) return lrc;
    ix->locked = 1;
  }
  int rc = 0;
  int nTags = ix->tags.count;
  ix->firstData = 4 + nTags * ix->units;
  ix->eof = INT32_MAX; // blocks are placed, not checked, while building
  int i = 0;
  for (TAG4* t = firstTag(ix); t != nullptr; t = nextTag(ix, t), ++i) {
    dropBlocks(t);
    if (setupKey(t, false) != 0) return -1;
    t->hasKeys = 0;
    t->headerOffset = static_cast<int64_t>(4 + i * ix->units) * 512;
  }
  // A rebuild stopped half way must not leave a file that opens.
  unsigned char stamp[4] = {0};
  if (file4writeAt(&ix->file, 20, stamp, sizeof(stamp)) != 0) return -1;

  const size_t bufSize = static_cast<size_t>(std::max(cb->rebuildBufferSize, 1024));
  std::vector<char> wbuf(bufSize);
  std::vector<char> rbuf(bufSize);
  std::vector<char> savedRecord(d->record, d->record + d->recordLen + 1);
  int32_t savedRecNo = d->recNo;
  FILE4SEQWRITE w;
  rc = file4seqWriteInit(&w, &ix->file, static_cast<int64_t>(ix->firstData) * 512, wbuf.data(), wbuf.size());
  int32_t next = ix->firstData;
  for (TAG4* t = firstTag(ix); rc == 0 && t != nullptr; t = nextTag(ix, t)) {
    ++t->counter;
    Builder bld{ix, t, &w, next, {}, 0};
    rc = buildTag(ix, t, bld, rbuf.data(), rbuf.size());
    next = bld.next;
  }
  if (rc == 0) rc = file4seqFlush(&w);
  std::memcpy(d->record, savedRecord.data(), savedRecord.size());
  d->recNo = savedRecNo;
  for (int m = 0; m < d->memoCount; ++m) d->memos[m].status = 1;
  if (rc != 0) {
    ix->eof = next;
    return rc;
  }

  ix->eof = next;
  ix->freeList = 0;
  put32(ix->header + 32, static_cast<uint32_t>(ix->eof));
  put32(ix->header + 36, 0);
  u4todayYMD(ix->header + 1);
  put16(ix->header + 28, static_cast<uint32_t>(nTags));
  std::vector<unsigned char> head(static_cast<size_t>(ix->firstData) * 512, 0);
  std::memcpy(head.data(), ix->header, sizeof(ix->header));
  head[529] = 1;
  tagTableImage(ix, head.data() + kHeadArea);
  i = 0;
  for (TAG4* t = firstTag(ix); t != nullptr; t = nextTag(ix, t), ++i) {
    tagHeaderImage(t, head.data() + t->headerOffset, ix->blockBytes);
    t->hasKeysWritten = t->hasKeys;
    t->headerChanged = t->rootChanged = 0;
  }
  rc = file4seqWriteInit(&w, &ix->file, 0, wbuf.data(), wbuf.size());
  if (rc == 0) rc = file4seqWrite(&w, head.data(), head.size());
  if (rc == 0) rc = file4seqFlush(&w);
  if (rc == 0) rc = file4lenSet(&ix->file, static_cast<int64_t>(ix->eof) * 512);
  ix->headerChanged = 0;
  if (rc != 0) return -1;
  // Fields keyed directly by a production tag are marked in the table.
  if (ix->header[24] != 0 && !d->file.readOnlyOpen) {
    unsigned char one = 1;
    for (int f = 0; f < d->fieldCount; ++f)
      for (TAG4* t = firstTag(ix); t != nullptr; t = nextTag(ix, t))
        if (strcasecmp(expr4source(t->expr), d->fields[f].name) == 0) {
          if (file4writeAt(&d->file, 32 + 32 * static_cast<int64_t>(f) + 31, &one, 1) != 0) return -1;
          break;
        }
  }
  if (!wasLocked && i4unlock(ix) < 0) return -1;
  return 0;
}

} // namespace

namespace {

// Order-free digest of (key, record) pairs: equal multisets give equal sums.
uint64_t pairHash(const void* key, size_t len, int32_t rec) {
  uint64_t h = 1469598103934665603ull ^ static_cast<uint64_t>(static_cast<uint32_t>(rec));
  h *= 1099511628211ull;
  const auto* p = static_cast<const unsigned char*>(key);
  for (size_t i = 0; i < len; ++i) {
    h ^= p[i];
    h *= 1099511628211ull;
  }
  h ^= h >> 31;
  h *= 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 29);
}

struct Digest {
  uint64_t sum = 0;
  uint64_t mixed = 0;
  int64_t count = 0;
  void add(const void* key, size_t len, int32_t rec) {
    uint64_t h = pairHash(key, len, rec);
    sum += h;
    mixed += h * h;
    ++count;
  }
  bool operator==(const Digest&) const = default;
};

// 0 consistent, 1 not, -1 error; the index is locked by the caller.
int verifyLocked(INDEX4* ix) {
  CODE4* cb = ix->cb;
  DATA4* d = ix->data;
  const int savedOff = cb->errorOff;
  cb->errorOff = 1;
  int damaged = 0;
  for (TAG4* t = firstTag(ix); t != nullptr && damaged == 0; t = nextTag(ix, t)) {
    if (t4check(t) != 0) {
      if (cb->errorCode != err4index) {
        cb->errorOff = savedOff;
        return -1;
      }
      cb->errorCode = 0;
      damaged = 1;
    }
  }
  cb->errorOff = savedOff;
  if (damaged) return 1;
  const int nTags = ix->tags.count;
  std::vector<Digest> want(static_cast<size_t>(nTags)), have(static_cast<size_t>(nTags));
  // A unique tag keeps each key once, from the first record that gives it.
  std::vector<std::unordered_set<std::string>> seen(static_cast<size_t>(nTags));
  int32_t count = d4recordCount(d);
  if (count < 0) return -1;
  std::vector<char> savedRecord(d->record, d->record + d->recordLen + 1);
  const int32_t savedRecNo = d->recNo;
  std::vector<char> buf(65536);
  FILE4SEQREAD r;
  int rc = file4seqReadInit(&r, &d->file, d->headerLen, buf.data(), buf.size());
  for (int32_t rec = 1; rc == 0 && rec <= count; ++rec) {
    if (file4seqReadAll(&r, d->record, static_cast<size_t>(d->recordLen)) != 0) {
      rc = -1;
      break;
    }
    d->recNo = rec;
    for (int m = 0; m < d->memoCount; ++m) d->memos[m].status = 1;
    int i = 0;
    for (TAG4* t = firstTag(ix); rc == 0 && t != nullptr; t = nextTag(ix, t), ++i) {
      if (t->filter != nullptr) {
        int f = expr4true(t->filter);
        if (f < 0) rc = -1;
        if (f <= 0) continue;
      }
      char* key = nullptr;
      if (t4keyFromRecord(t, &key) < 0) rc = -1;
      else if (t->uniqueCode == 0 || seen[static_cast<size_t>(i)].emplace(key, static_cast<size_t>(t->keyLen)).second)
        want[static_cast<size_t>(i)].add(key, static_cast<size_t>(t->keyLen), rec);
    }
  }
  std::memcpy(d->record, savedRecord.data(), savedRecord.size());
  d->recNo = savedRecNo;
  for (int m = 0; m < d->memoCount; ++m) d->memos[m].status = 1;
  if (rc != 0) return -1;
  int i = 0;
  for (TAG4* t = firstTag(ix); t != nullptr; t = nextTag(ix, t), ++i) {
    if (t4top(t) < 0) return -1;
    while (!t4eof(t)) {
      have[static_cast<size_t>(i)].add(t4key(t), static_cast<size_t>(t->keyLen), t4recordNumber(t));
      int32_t moved = t4skip(t, 1);
      if (moved < 0) return -1;
      if (moved == 0) break;
    }
    if (!(want[static_cast<size_t>(i)] == have[static_cast<size_t>(i)])) return 1;
  }
  return 0;
}

} // namespace

int i4verify(INDEX4* ix) {
  if (ix == nullptr || ix->cb->errorCode < 0) return -1;
  const bool wasLocked = i4lockTest(ix) != 0;
  if (!wasLocked) {
    int lk = i4lock(ix);
    if (lk != 0) return lk < 0 ? -1 : lk;
  }
  int rc = verifyLocked(ix);
  if (!wasLocked && i4unlock(ix) < 0) rc = -1;
  return rc;
}

// The index file's path: the given name, or the table's own name, with ".mdx"
// (a given extension is kept).
static void indexPath(const DATA4* d, const char* name, char (&path)[u4pathMax]) {
  if (name != nullptr) {
    u4copyBounded(path, name, sizeof(path));
    u4setExtension(path, sizeof(path), "mdx", 0);
  } else {
    u4copyBounded(path, d->file.name, sizeof(path));
    u4setExtension(path, sizeof(path), "mdx", 1);
  }
}

// A cleared index handle of table d from the pool, or null with the error raised.
static INDEX4* indexTake(DATA4* d) {
  CODE4* cb = d->cb;
  auto* ix = static_cast<INDEX4*>(mem4poolTake(cb, &cb->indexPool, cb->indexStart,
                                               static_cast<int>(sizeof(INDEX4)), cb->indexExpand, 0));
  if (ix == nullptr) {
    error4reportEx(cb, err4memory, "Index", nullptr, nullptr);
    return nullptr;
  }
  std::memset(ix, 0, sizeof(*ix));
  ix->file.fd = -1;
  ix->cb = cb;
  ix->data = d;
  return ix;
}

INDEX4* i4create(DATA4* d, const char* name, const TAG4INFO* tags) {
  if (d == nullptr) return nullptr;
  CODE4* cb = d->cb;
  if (cb->errorCode < 0) return nullptr;
  if (cb->errorCode > 0) cb->errorCode = 0;
  const int bytes = cb->blockSize;
  int nTags = 0;
  const char* bad = nullptr;
  if (bytes % 512 != 0 || bytes < 1024 || bytes > 32256) bad = "Block size";
  for (const TAG4INFO* ti = tags; bad == nullptr && ti != nullptr && ti->name != nullptr; ++ti, ++nTags) {
    if (nTags >= i4maxTags) bad = "Too many tags";
    else if (ti->name[0] == 0) bad = "Tag name";
    else if (ti->expression == nullptr || std::strlen(ti->expression) > i4exprMax) bad = "Key expression";
    else if (ti->filter != nullptr && std::strlen(ti->filter) >= static_cast<size_t>(bytes - i4filterOffset))
      bad = "Filter expression";
  }
  if (bad != nullptr) {
    error4reportEx(cb, err4parm, "i4create()", bad, nullptr);
    return nullptr;
  }
  bool hadLock = d4lockTestFile(d) != 0;
  if (d4lockFile(d) != 0) return nullptr;

  char path[u4pathMax];
  indexPath(d, name, path);
  INDEX4* ix = indexTake(d);
  if (ix == nullptr) return nullptr;
  l4append(&d->indexes, &ix->link);
  ix->blockBytes = bytes;
  ix->units = bytes / 512;
  ix->header[0] = 2;
  u4todayYMD(ix->header + 44);
  char tableName[u4pathMax];
  u4namePart(tableName, sizeof(tableName), d->file.name, 0, 0);
  std::memcpy(ix->header + 4, tableName, std::min<size_t>(std::strlen(tableName), 11));
  put16(ix->header + 20, static_cast<uint32_t>(ix->units));
  put16(ix->header + 22, static_cast<uint32_t>(bytes));
  ix->header[24] = name == nullptr ? 1 : 0;
  ix->header[25] = 48;
  put16(ix->header + 26, 32);

  int rc = 0;
  for (const TAG4INFO* ti = tags; rc == 0 && ti != nullptr && ti->name != nullptr; ++ti) {
    TAG4* t = newTag(ix, ti->name);
    if (t == nullptr) {
      rc = -1;
      break;
    }
    t->flags = 0x10;
    if (ti->unique != 0) {
      t->flags |= 0x40;
      t->uniqueCode = ti->unique;
    }
    if (ti->descending) {
      t->flags |= 0x08;
      t->descending = 1;
    }
    t->expr = expr4parseData(d, ti->expression);
    if (t->expr == nullptr) {
      if (cb->errorCode >= 0) error4reportEx(cb, err4index, "Key expression", ti->expression, nullptr);
      rc = -1;
      break;
    }
    if (!ownTableOnly(t->expr)) {
      rc = error4reportEx(cb, e4dataName, "Key expression", ti->expression, nullptr);
      break;
    }
    if (ti->filter != nullptr && ti->filter[0] != 0) {
      t->filter = expr4parseData(d, ti->filter);
      if (t->filter != nullptr && !ownTableOnly(t->filter)) {
        rc = error4reportEx(cb, e4dataName, "Filter expression", ti->filter, nullptr);
        break;
      }
      if (t->filter == nullptr || expr4type(t->filter) != 'L') {
        if (cb->errorCode >= 0) error4reportEx(cb, err4index, "Filter should be Logical", ti->filter, nullptr);
        rc = -1;
        break;
      }
      t->hasFilter = 1;
    }
    if (setupKey(t, false) != 0) rc = -1;
  }
  // The file is made only once every tag is known to fit.
  if (rc == 0 && file4create(&ix->file, cb, path, 1) != 0) rc = cb->errorCode < 0 ? -1 : cb->errorCode;
  if (rc == 0) rc = i4rebuild(ix);
  if (rc != 0) {
    i4close(ix);
    if (rc == status4unique) cb->errorCode = status4unique;
    if (!hadLock) d4unlockFile(d);
    return nullptr;
  }
  if (name == nullptr && !d->file.readOnlyOpen) {
    unsigned char one = 1;
    if (file4writeAt(&d->file, 28, &one, 1) == 0) d->productionIndex = 1;
  }
  if (!hadLock) d4unlockFile(d);
  if (cb->errorCode >= 0) file4setCache(&ix->file, cb->cacheMode, 2);
  return cb->errorCode < 0 ? nullptr : ix;
}

INDEX4* i4open(DATA4* d, const char* name) {
  if (d == nullptr) return nullptr;
  CODE4* cb = d->cb;
  if (cb->errorCode < 0) return nullptr;
  char path[u4pathMax];
  indexPath(d, name, path);
  INDEX4* ix = indexTake(d);
  if (ix == nullptr) return nullptr;
  if (file4open(&ix->file, cb, path, 1) != 0) {
    mem4give(cb->indexPool, ix);
    return nullptr;
  }
  l4append(&d->indexes, &ix->link);
  auto fail = [&](const char* line) {
    if (cb->errorCode >= 0 || cb->errorCode == err4read) {
      cb->errorCode = 0;
      notIndex(cb, ix->file.name, line);
    }
    i4close(ix);
    return nullptr;
  };
  int64_t fileLen = file4length(&ix->file);
  if (fileLen < 0) return fail(nullptr);
  if (fileLen < static_cast<int64_t>(kHeadArea + kTagTable) ||
      file4readAt(&ix->file, 0, ix->header, sizeof(ix->header)) != 0)
    return fail("Header");
  const unsigned units = get16(ix->header + 20);
  const unsigned bytes = get16(ix->header + 22);
  const unsigned nTags = get16(ix->header + 28);
  const uint32_t eof = get32(ix->header + 32);
  const uint32_t freeHead = get32(ix->header + 36);
  // Blocks under 1,024 bytes cannot hold a tag header's filter (at 762), and
  // the engine never makes them.
  if (units < 2 || units >= 64 || bytes != units * 512 || nTags > i4maxTags || eof < 1 ||
      eof > static_cast<uint32_t>(INT32_MAX / 512))
    return fail("Header");
  ix->units = static_cast<int>(units);
  ix->blockBytes = static_cast<int>(bytes);
  ix->eof = static_cast<int32_t>(eof);
  ix->freeList = static_cast<int32_t>(std::min<uint32_t>(freeHead, INT32_MAX));
  unsigned char table[kTagTable];
  if (file4readAt(&ix->file, kHeadArea, table, sizeof(table)) != 0) return fail("Tag table");
  std::vector<unsigned char> img(bytes);
  int32_t firstData = 4;
  for (unsigned i = 0; i < nTags; ++i) {
    const unsigned char* e = table + i * kTagEntry;
    uint32_t hb = get32(e);
    if (hb < 4 || static_cast<int64_t>(hb) * 512 + bytes > fileLen) return fail("Tag header");
    firstData = std::max<int32_t>(firstData, static_cast<int32_t>(hb + units));
    if (file4readAt(&ix->file, static_cast<int64_t>(hb) * 512, img.data(), bytes) != 0) return fail("Tag header");
    char tagName[11] = {0};
    std::memcpy(tagName, e + 4, 10);
    TAG4* t = newTag(ix, tagName);
    if (t == nullptr) return fail(nullptr);
    t->headerOffset = static_cast<int64_t>(hb) * 512;
    t->flags = img[8];
    t->descending = (img[8] & 0x08) != 0;
    t->counter = img[20];
    if ((img[8] & 0x40) != 0 || get16(img.data() + 22) == 0x4000) t->uniqueCode = cb->defaultUnique;
    char text[i4exprMax + 1] = {0};
    std::memcpy(text, img.data() + 24, i4exprMax);
    size_t n = std::strlen(text);
    while (n > 0 && text[n - 1] == ' ') text[--n] = 0;
    t->expr = expr4parseData(d, text);
    if (t->expr == nullptr || !ownTableOnly(t->expr)) return fail("Key expression");
    int hdrType = img[9];
    if (setupKey(t, true) != 0) return fail("Key");
    if (hdrType != t->keyType) {
      if (hdrType != 'C' && hdrType != 'N' && hdrType != 'D') {
        error4reportEx(cb, err4info, "Invalid key type in index file", ix->file.name, t->alias);
        return fail(nullptr);
      }
      return fail("Key type");
    }
    if (get16(img.data() + 12) != t->keyLen || get16(img.data() + 18) != t->groupLen ||
        get16(img.data() + 14) != t->keysMax)
      return fail("Key length");
    if (img[245] == 1) {
      std::vector<char> ftext(img.begin() + i4filterOffset, img.end());
      ftext.back() = 0;
      size_t fl = std::strlen(ftext.data());
      while (fl > 0 && ftext[fl - 1] == ' ') ftext[--fl] = 0;
      if (fl > 0) {
        t->filter = expr4parseData(d, ftext.data());
        if (t->filter != nullptr && !ownTableOnly(t->filter)) return fail("Filter expression");
        if (t->filter == nullptr || expr4type(t->filter) != 'L') return fail("Filter should be Logical");
        t->hasFilter = 1;
        t->hasKeys = t->hasKeysWritten = img[246];
      }
    }
  }
  ix->firstData = firstData;
  file4setCache(&ix->file, cb->cacheMode, 2);
  return ix;
}

int i4close(INDEX4* ix) {
  if (ix == nullptr) return -1;
  CODE4* cb = ix->cb;
  int saved = cb->errorCode;
  int last = 0;
  auto note = [&] {
    if (cb->errorCode < 0) last = cb->errorCode;
    cb->errorCode = 0;
  };
  cb->errorCode = 0;
  // What is written now must reach the file: the locks are waited for.
  const int attempts = cb->lockAttempts;
  cb->lockAttempts = -1;
  DATA4* d = ix->data;
  if (d != nullptr && d->file.fd >= 0 && d->record != nullptr && !d->file.readOnlyOpen) {
    d4flushTags(d);
    note();
  }
  if (ix->file.fd >= 0 && !ix->file.readOnlyOpen) {
    i4flushTags(ix);
    note();
    i4writeHeader(ix);
    note();
  }
  i4unlock(ix);
  note();
  cb->lockAttempts = attempts;
  while (TAG4* t = firstTag(ix)) {
    dropBlocks(t);
    if (d != nullptr && d->tagSelected == t) d->tagSelected = nullptr;
    freeTag(ix, t);
  }
  mem4poolRelease(ix->blockPool);
  ix->blockPool = nullptr;
  file4close(&ix->file);
  note();
  if (d != nullptr) l4remove(&d->indexes, &ix->link);
  mem4give(cb->indexPool, ix);
  cb->errorCode = last != 0 ? last : saved;
  return last != 0 ? last : (saved < 0 ? saved : 0);
}
