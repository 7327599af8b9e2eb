// Tree blocks and tags: navigation and key maintenance of one B-tree.
#include "xbase/index.h"
#include "xbase/block_cache.h"
#include "xbase/decimal_keys.h"
#include "xbase/dates.h"
#include "xbase/expression.h"
#include "xbase/byte_fields.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

using namespace xbase_bytes;

namespace {

B4BLOCK* takeBlock(TAG4* t, int32_t fileBlock, bool wholeImage);

// Bytes compared as unsigned, eight at a time: keys are short and this runs
// a few dozen times a seek, where a library call costs more than the work.
inline int bytesCmp(const void* a, const void* b, size_t len) {
  const auto* x = static_cast<const unsigned char*>(a);
  const auto* y = static_cast<const unsigned char*>(b);
  for (; len >= 8; len -= 8, x += 8, y += 8) {
    uint64_t u, v;
    std::memcpy(&u, x, 8);
    std::memcpy(&v, y, 8);
    if (u == v) continue;
    // Byte order decides: the first byte must weigh most whatever the host's order.
    if constexpr (std::endian::native == std::endian::little) u = __builtin_bswap64(u), v = __builtin_bswap64(v);
    return u < v ? -1 : 1;
  }
  for (; len > 0; --len, ++x, ++y)
    if (*x != *y) return *x < *y ? -1 : 1;
  return 0;
}
int cmpC(const void* a, const void* b, size_t len) { return bytesCmp(a, b, len); }
int cmpCdesc(const void* a, const void* b, size_t len) { return -bytesCmp(a, b, len); }
int cmpN(const void* a, const void* b, size_t) {
  return c4bcdCmp(static_cast<const char*>(a), static_cast<const char*>(b));
}
int cmpNdesc(const void* a, const void* b, size_t len) { return -cmpN(a, b, len); }
int cmpD(const void* a, const void* b, size_t) {
  double x, y;
  std::memcpy(&x, a, 8);
  std::memcpy(&y, b, 8);
  if (std::fabs(x - y) <= 1e-13) return 0;
  return x > y ? 2 : -1;
}
int cmpDdesc(const void* a, const void* b, size_t len) { return -cmpD(a, b, len); }

int corrupt(TAG4* t, const char* line) {
  return error4reportEx(t->cb, err4index, "Corrupt index file", t->index->file.name, line);
}

void setK(B4BLOCK* b, int k) { put32(b->data, static_cast<uint32_t>(k)); }

// Drops the path from `level` down, writing changed blocks.
int truncatePath(TAG4* t, int level) {
  int rc = 0;
  while (t->depth > level) {
    B4BLOCK* b = t->path[--t->depth];
    if (b4flush(b) < 0) rc = -1;
    b4free(b);
  }
  return rc;
}

int loadRoot(TAG4* t) {
  if (t->root >= 0) return 0;
  unsigned char buf[4];
  if (file4readAt(&t->index->file, t->headerOffset, buf, 4) != 0) return -1;
  uint32_t r = get32(buf);
  if (!i4blockOk(t->index, r)) return corrupt(t, t->alias);
  t->root = static_cast<int32_t>(r);
  return 0;
}

// Reads block `blk` as path[level] (reusing it when already there) and checks
// it against itself and the parent entry that led to it.
B4BLOCK* pathLoad(TAG4* t, int level, int32_t blk) {
  if (level < t->depth && t->path[level]->fileBlock == blk) {
    if (truncatePath(t, level + 1) < 0) return nullptr;
    return t->path[level];
  }
  if (truncatePath(t, level) < 0) return nullptr;
  if (level >= i4maxDepth) {
    corrupt(t, "Tree too deep");
    return nullptr;
  }
  INDEX4* ix = t->index;
  if (!i4blockOk(ix, blk)) {
    corrupt(t, t->alias);
    return nullptr;
  }
  B4BLOCK* b = takeBlock(t, blk, false);
  if (b == nullptr) return nullptr;
  const bool passing = t->leafDepth > 1 && level == t->leafDepth - 1;
  if ((passing ? file4readAtPassing : file4readAt)(&ix->file, static_cast<int64_t>(blk) * 512, b->data,
                                                   static_cast<size_t>(ix->blockBytes)) != 0) {
    b4free(b);
    if (t->cb->errorCode == err4read) {
      t->cb->errorCode = 0;
      corrupt(t, t->alias);
    }
    return nullptr;
  }
  const char* bad = nullptr;
  uint32_t k = get32(b->data);
  const int64_t at = static_cast<int64_t>(blk) * 512;
  const size_t bytes = static_cast<size_t>(ix->blockBytes);
  // A cached block whose contents passed these checks before and have not
  // changed since is not checked again; only its place under the parent is.
  const bool known = k > 0 && cache4checked(&ix->file, at, bytes);
  if (k > static_cast<uint32_t>(t->keysMax)) {
    bad = "Key count";
  } else {
    int n = static_cast<int>(k);
    bool leaf = b4leaf(b) != 0;
    if (n == 0 && level > 0) bad = "Empty block";
    for (int i = 0; !known && bad == nullptr && i < n + (leaf ? 0 : 1); ++i) {
      uint32_t v = get32(b4entry(b, i));
      if (leaf ? (v == 0 || v > static_cast<uint32_t>(rec4max)) : !i4blockOk(ix, v)) bad = "Entry";
    }
    // Ascending character keys, the usual case, compare inline.
    const size_t kl = static_cast<size_t>(t->keyLen);
    if (t->cmp == cmpC) {
      for (int i = 1; !known && bad == nullptr && i < n; ++i)
        if (bytesCmp(b4key(b, i - 1), b4key(b, i), kl) > 0) bad = "Key order";
    } else {
      for (int i = 1; !known && bad == nullptr && i < n; ++i)
        if (t->cmp(b4key(b, i - 1), b4key(b, i), kl) > 0) bad = "Key order";
    }
    if (bad == nullptr && !known && n > 0) cache4markChecked(&ix->file, at, bytes);
    if (bad == nullptr && level > 0 && n > 0 && t->cb->blockCheck) {
      B4BLOCK* p = t->path[level - 1];
      int pos = p->keyOn, pk = b4numKeys(p);
      if (pos < pk) {
        const unsigned char* sep = b4key(p, pos);
        if (leaf ? t->cmp(b4key(b, n - 1), sep, kl) != 0 : t->cmp(b4key(b, n - 1), sep, kl) > 0)
          bad = "Separator";
        if (pos > 0 && t->cmp(b4key(b, 0), b4key(p, pos - 1), kl) < 0) bad = "Separator";
      } else if (pk > 0 && t->cmp(b4key(b, leaf ? n - 1 : 0), b4key(p, pk - 1), kl) < 0) {
        bad = "Separator";
      }
    }
  }
  if (bad != nullptr) {
    b4free(b);
    corrupt(t, bad);
    return nullptr;
  }
  t->path[t->depth++] = b;
  return b;
}

B4BLOCK* leafOf(TAG4* t) { return t->depth > 0 ? t->path[t->depth - 1] : nullptr; }

// Descends from path[level]'s current entry to a leaf, taking the first
// (first != 0) or the last position of every block on the way.
int descendEdge(TAG4* t, int level, bool first) {
  for (;;) {
    B4BLOCK* b = t->path[level];
    if (b4leaf(b)) {
      if (!first) b->keyOn = std::max(0, b4lastPos(b));
      else b->keyOn = 0;
      return 0;
    }
    int32_t child = b4recordNumber(b, b->keyOn);
    B4BLOCK* c = pathLoad(t, level + 1, child);
    if (c == nullptr) return -1;
    c->keyOn = first ? 0 : b4lastPos(c);
    if (c->keyOn < 0) c->keyOn = 0;
    ++level;
  }
}

int fromRoot(TAG4* t) {
  if (t->cb->errorCode < 0) return -1;
  if (loadRoot(t) < 0) return -1;
  return pathLoad(t, 0, t->root) == nullptr ? -1 : 0;
}

// Sets the separator over path[level] to `key` where its maximum changed.
void propagateMax(TAG4* t, int level, const unsigned char* key) {
  for (int l = level - 1; l >= 0; --l) {
    B4BLOCK* p = t->path[l];
    if (p->keyOn < b4numKeys(p)) {
      std::memcpy(b4key(p, p->keyOn), key, static_cast<size_t>(t->keyLen));
      p->changed = 1;
      return;
    }
  }
}

void noteChange(TAG4* t) {
  ++t->counter;
  t->headerChanged = 1;
}

} // namespace

// ---- blocks ----

namespace {

constexpr size_t kBlockHead = (sizeof(B4BLOCK) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) *
                               alignof(std::max_align_t);

void giveBlock(B4BLOCK* b, INDEX4* ix) {
  if (b->pooled) {
    if (ix != nullptr) mem4give(ix->blockPool, b);
    return;
  }
  u4globalFree(b->data);
  u4globalFree(b);
}

// A block record and its image; `wholeImage` false: the caller reads the
// block over it, and only the slack past the block is cleared.
B4BLOCK* takeBlock(TAG4* t, int32_t fileBlock, bool wholeImage) {
  size_t bytes = static_cast<size_t>(t->index->blockBytes) + 2 * static_cast<size_t>(t->groupLen) + 8;
  B4BLOCK* b = t->spare;
  unsigned char* data = nullptr;
  if (b != nullptr) {
    t->spare = reinterpret_cast<B4BLOCK*>(b->link.next);
    --t->spareCount;
    data = b->data;
  } else {
    INDEX4* ix = t->index;
    if (ix->blockPool == nullptr) {
      // Room for the block and two more entries of the largest group a tag
      // may have (at least three keys to a block).
      const size_t block = static_cast<size_t>(ix->blockBytes);
      ix->blockUnit = kBlockHead + block + 2 * ((block - 12) / 3) + 8;
      ix->blockPool = mem4pool(t->cb, t->cb->blockStart, static_cast<int>(ix->blockUnit), t->cb->blockExpand, 1);
    }
    void* unit = ix->blockPool != nullptr && kBlockHead + bytes <= ix->blockUnit ? mem4take(ix->blockPool, nullptr)
                                                                               : nullptr;
    if (unit != nullptr) {
      b = static_cast<B4BLOCK*>(unit);
      data = static_cast<unsigned char*>(unit) + kBlockHead;
    } else {
      b = static_cast<B4BLOCK*>(u4globalAlloc(sizeof(B4BLOCK)));
      data = b != nullptr ? static_cast<unsigned char*>(u4globalAlloc(bytes)) : nullptr;
      if (data == nullptr) {
        u4globalFree(b);
        error4reportEx(t->cb, err4memory, "b4alloc()", nullptr, nullptr);
        return nullptr;
      }
    }
  }
  const int pooled = data == reinterpret_cast<unsigned char*>(b) + kBlockHead ? 1 : 0;
  std::memset(b, 0, sizeof(*b));
  b->pooled = pooled;
  const size_t image = static_cast<size_t>(t->index->blockBytes);
  if (wholeImage) std::memset(data, 0, bytes);
  else std::memset(data + image, 0, bytes - image);
  b->tag = t;
  b->fileBlock = fileBlock;
  b->data = data;
  return b;
}

} // namespace

B4BLOCK* b4alloc(TAG4* t, int32_t fileBlock) { return takeBlock(t, fileBlock, true); }

void b4free(B4BLOCK* b) {
  if (b == nullptr) return;
  TAG4* t = b->tag;
  // A seek frees and takes a block per level: a few are kept for the next.
  if (t != nullptr && t->spareCount < i4maxDepth + 2) {
    b->link.next = reinterpret_cast<LINK4*>(t->spare);
    t->spare = b;
    ++t->spareCount;
    return;
  }
  giveBlock(b, t != nullptr ? t->index : nullptr);
}

void t4releaseSpare(TAG4* t) {
  while (B4BLOCK* b = t->spare) {
    t->spare = reinterpret_cast<B4BLOCK*>(b->link.next);
    giveBlock(b, t->index);
  }
  t->spareCount = 0;
}

int b4flush(B4BLOCK* b) {
  if (!b->changed) return 0;
  INDEX4* ix = b->tag->index;
  if (b4numKeys(b) > b->tag->keysMax) return -1; // an unfinished split is never written
  if (file4writeAt(&ix->file, static_cast<int64_t>(b->fileBlock) * 512, b->data,
                   static_cast<size_t>(ix->blockBytes)) != 0)
    return -1;
  b->changed = 0;
  return 0;
}

int b4lastPos(const B4BLOCK* b) { return b4leaf(b) ? b4numKeys(b) - 1 : b4numKeys(b); }
void b4goEof(B4BLOCK* b) { b->keyOn = b4numKeys(b); }

namespace {
template <typename Cmp>
int seekInBlock(B4BLOCK* b, const char* key, size_t len, Cmp cmp) {
  int lo = 0, hi = b4numKeys(b);
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    if (cmp(b4key(b, mid), key, len) < 0) lo = mid + 1;
    else hi = mid;
  }
  b->keyOn = lo;
  if (lo < b4numKeys(b) && cmp(b4key(b, lo), key, len) == 0) return 0;
  return status4after;
}
} // namespace

int b4seek(B4BLOCK* b, const char* key, int len) {
  TAG4* t = b->tag;
  // Ascending character keys, the usual case, compare inline.
  if (t->cmp == cmpC) return seekInBlock(b, key, static_cast<size_t>(len), bytesCmp);
  return seekInBlock(b, key, static_cast<size_t>(len), t->cmp);
}

void b4insert(B4BLOCK* b, const void* key, int32_t rec) {
  const size_t g = static_cast<size_t>(b->tag->groupLen);
  int k = b4numKeys(b);
  int pos = b->keyOn;
  // Slot k carries only its 4-byte number.
  std::memmove(b4entry(b, pos + 1), b4entry(b, pos), static_cast<size_t>(k - pos) * g + 4);
  std::memset(b4entry(b, pos), 0, g);
  put32(b4entry(b, pos), static_cast<uint32_t>(rec));
  std::memcpy(b4key(b, pos), key, static_cast<size_t>(b->tag->keyLen));
  setK(b, k + 1);
  b->changed = 1;
}

void b4remove(B4BLOCK* b) {
  const size_t g = static_cast<size_t>(b->tag->groupLen);
  int k = b4numKeys(b);
  int pos = b->keyOn;
  bool leaf = b4leaf(b) != 0;
  std::memmove(b4entry(b, pos), b4entry(b, pos + 1), static_cast<size_t>(k - pos - 1) * g + 4);
  setK(b, k - 1);
  if (leaf) std::memset(b4entry(b, k - 1), 0, g);
  else std::memset(b4entry(b, k - 1) + 4, 0, g - 4);
  b->changed = 1;
}

int b4skip(B4BLOCK* b, int n) {
  int target = std::clamp(b->keyOn + n, 0, std::max(0, b4lastPos(b)));
  int moved = target - b->keyOn;
  b->keyOn = target;
  return moved;
}

// ---- tags ----

int t4setKeyType(TAG4* t, int type) {
  switch (type) {
    case 'C': t->cmp = t->descending ? cmpCdesc : cmpC; break;
    case 'N': t->cmp = t->descending ? cmpNdesc : cmpN; break;
    case 'D': t->cmp = t->descending ? cmpDdesc : cmpD; break;
    default: return error4reportEx(t->cb, err4info, "Invalid key type in index file", t->alias, nullptr);
  }
  t->keyType = static_cast<char>(type);
  return 0;
}

const char* t4alias(TAG4* t) { return t->alias; }

namespace {

int seekOnce(TAG4* t, const void* key, int len) {
  if (fromRoot(t) < 0) return -1;
  len = std::clamp(len, 0, t->keyLen);
  if (t->keyType != 'C') len = t->keyLen;
  for (int level = 0;; ++level) {
    B4BLOCK* b = t->path[level];
    int rc = b4seek(b, static_cast<const char*>(key), len);
    if (b4leaf(b)) {
      t->leafDepth = level + 1;
      return rc;
    }
    if (pathLoad(t, level + 1, b4recordNumber(b, b->keyOn)) == nullptr) return -1;
  }
}

// The seek again with the index lock held: once another program's update has
// ended, what is read is final, and an inconsistent block is damage.
int seekUnderLock(TAG4* t, const void* key, int len) {
  INDEX4* ix = t->index;
  int lk = i4readLock(ix);
  if (lk != 0) return lk < 0 ? -1 : lk;
  int rc = seekOnce(t, key, len);
  i4readUnlock(ix);
  return rc;
}

} // namespace

// Another program may change the file between two block reads: it writes the
// blocks first and its counters last, all under the index lock. Without our
// own lock, an inconsistent block is read again from the root while the
// counters show a change (at most three times), and otherwise once more after
// the other program's lock is gone. A key not found while an update is under
// way or just ended is sought again the same way, and so is a prefix, so a
// half-written tree never answers "not found" for a key it holds, nor a later
// key for the first one with a prefix.
int t4seek(TAG4* t, const void* key, int len) {
  CODE4* cb = t->cb;
  if (cb->errorCode < 0) return -1;
  cb->activity |= 8;
  for (int attempt = 0;; ++attempt) {
    const bool mayRetry = !i4lockTest(t->index) && attempt < 3 && !t->retrying;
    const int savedOff = cb->errorOff;
    if (mayRetry) cb->errorOff = 1;
    int rc = seekOnce(t, key, len);
    cb->errorOff = savedOff;
    // A whole key found is the key; a prefix found first may not be the first.
    const bool settled = rc == 0 && (t->keyType != 'C' || len >= t->keyLen);
    if (settled || (rc >= 0 && !mayRetry)) return rc;
    if (rc >= 0) {
      int active = i4writerActive(t->index);
      int changed = active == 0 ? i4versionCheck(t->index) : 0;
      if (active < 0 || changed < 0) return -1;
      if (changed == status4locked) return changed;
      if (active == 0 && changed == 0) return rc;
      truncatePath(t, 0);
      return seekUnderLock(t, key, len);
    }
    if (!mayRetry) return rc;
    int code = cb->errorCode;
    cb->errorCode = 0;
    truncatePath(t, 0);
    if (code != err4index) {
      error4reportEx(cb, code, "t4seek()", t->alias, nullptr);
      return -1;
    }
    int changed = i4versionCheck(t->index);
    if (changed < 0) return -1;
    if (changed == status4locked) return changed;
    if (changed > 0) continue;
    return seekUnderLock(t, key, len);
  }
}

int t4top(TAG4* t) {
  if (fromRoot(t) < 0) return -1;
  t->path[0]->keyOn = 0;
  return descendEdge(t, 0, true);
}

int t4bottom(TAG4* t) {
  if (fromRoot(t) < 0) return -1;
  t->path[0]->keyOn = std::max(0, b4lastPos(t->path[0]));
  return descendEdge(t, 0, false);
}

int t4goEof(TAG4* t) {
  if (t4bottom(t) < 0) return -1;
  b4goEof(leafOf(t));
  return 0;
}

int t4eof(TAG4* t) {
  B4BLOCK* l = leafOf(t);
  return l == nullptr || l->keyOn >= b4numKeys(l) ? 1 : 0;
}

int32_t t4recordNumber(TAG4* t) {
  B4BLOCK* l = leafOf(t);
  if (l == nullptr || !b4leaf(l) || l->keyOn >= b4numKeys(l)) return -2;
  return b4recordNumber(l, l->keyOn);
}

const char* t4key(TAG4* t) {
  B4BLOCK* l = leafOf(t);
  if (l == nullptr || l->keyOn >= b4numKeys(l)) return nullptr;
  return reinterpret_cast<const char*>(b4key(l, l->keyOn));
}

namespace {

// One skip attempt: 0 with the signed distance in *movedOut, or -1 with the
// distance covered before the failure and the key and record last stood on
// before a descent (record 0 when none).
int skipOnce(TAG4* t, int32_t n, int32_t* movedOut, std::vector<unsigned char>& savedKey, int32_t* savedRec) {
  *movedOut = 0;
  if (leafOf(t) == nullptr && t4top(t) < 0) return -1;
  int32_t moved = 0;
  const bool fwd = n > 0;
  const int32_t want = fwd ? n : -n;
  B4BLOCK* leaf = leafOf(t);
  if (!fwd && leaf->keyOn >= b4numKeys(leaf) && b4numKeys(leaf) > 0) {
    // From after the last key, one step back lands on the last key.
    leaf->keyOn = b4numKeys(leaf) - 1;
    ++moved;
  }
  int rc = 0;
  while (moved < want) {
    leaf = leafOf(t);
    int k = b4numKeys(leaf);
    if (leaf->keyOn >= k) break;
    int step = fwd ? std::min(k - 1 - leaf->keyOn, want - moved) : std::min(leaf->keyOn, want - moved);
    if (step > 0) {
      leaf->keyOn += fwd ? step : -step;
      moved += step;
      continue;
    }
    int level = t->depth - 2;
    while (level >= 0) {
      B4BLOCK* p = t->path[level];
      if (fwd ? p->keyOn < b4numKeys(p) : p->keyOn > 0) break;
      --level;
    }
    if (level < 0) break;
    std::memcpy(savedKey.data(), b4key(leaf, leaf->keyOn), savedKey.size());
    *savedRec = b4recordNumber(leaf, leaf->keyOn);
    t->path[level]->keyOn += fwd ? 1 : -1;
    if (descendEdge(t, level, fwd) < 0) {
      rc = -1;
      break;
    }
    ++moved;
  }
  *movedOut = fwd ? moved : -moved;
  return rc;
}

} // namespace

namespace {

int32_t skipImpl(TAG4* t, int32_t n) {
  CODE4* cb = t->cb;
  if (cb->errorCode < 0) return -1;
  cb->activity |= 4;
  if (n == 0) return 0;
  std::vector<unsigned char> savedKey(static_cast<size_t>(t->keyLen));
  const int32_t sign = n > 0 ? 1 : -1;
  int32_t total = 0, left = n;
  for (int attempt = 0;; ++attempt) {
    const bool mayRetry = !i4lockTest(t->index) && attempt < 3 && !t->retrying;
    const int savedOff = cb->errorOff;
    if (mayRetry) cb->errorOff = 1;
    int32_t moved = 0, savedRec = 0;
    int rc = skipOnce(t, left, &moved, savedKey, &savedRec);
    cb->errorOff = savedOff;
    if (rc == 0) return total + moved;
    if (!mayRetry) return -1;
    int code = cb->errorCode;
    cb->errorCode = 0;
    truncatePath(t, 0);
    int changed = code == err4index ? i4versionCheck(t->index) : 0;
    if (changed == 0 && code == err4index && savedRec != 0) {
      // No visible change: another program may be half way through an update.
      // The rest of the skip runs under the index lock once it is free.
      int lk = i4readLock(t->index);
      if (lk != 0) return -1;
      changed = 1;
    }
    if (changed <= 0 || savedRec == 0) {
      if (changed >= 0) {
        if (code == err4index) corrupt(t, t->alias);
        else error4reportEx(cb, code < 0 ? code : err4index, "t4skip()", t->alias, nullptr);
      }
      return -1;
    }
    total += moved;
    left -= moved;
    t->retrying = 1;
    int g = t4go(t, savedKey.data(), savedRec);
    t->retrying = 0;
    if (g < 0) return -1;
    if (g != 0) {
      // The key is gone: standing on its successor counts as one step.
      total += sign;
      left -= sign;
    }
    if (left == 0) return total;
  }
}

} // namespace

// Bounded re-reads as for a seek: after another program's change the skip
// goes on from the key it last stood on.
int32_t t4skip(TAG4* t, int32_t n) {
  INDEX4* ix = t->index;
  const bool wasReadLocked = ix->readLocked != 0;
  int32_t rc = skipImpl(t, n);
  if (!wasReadLocked && ix->readLocked) i4readUnlock(ix);
  return rc;
}

int t4go(TAG4* t, const void* key, int32_t rec) {
  int rc = t4seek(t, key, t->keyLen);
  if (rc != 0) return rc < 0 ? -1 : 2;
  std::vector<unsigned char> k(static_cast<const unsigned char*>(key),
                               static_cast<const unsigned char*>(key) + t->keyLen);
  for (;;) {
    if (t4recordNumber(t) == rec) return 0;
    int32_t s = t4skip(t, 1);
    if (s < 0) return -1;
    if (s == 0) return 1;
    const char* cur = t4key(t);
    if (cur == nullptr || t->cmp(cur, k.data(), static_cast<size_t>(t->keyLen)) != 0) return 1;
  }
}

int t4keyFromRecord(TAG4* t, char** key) {
  char* k = nullptr;
  int len = expr4key(t->expr, &k);
  if (len < 0) return -1;
  if (len != t->keyLen) return error4reportEx(t->cb, err4index, "Key length", t->alias, nullptr);
  *key = k;
  return len;
}

int t4flush(TAG4* t) {
  int rc = 0;
  for (int i = 0; i < t->depth; ++i)
    if (b4flush(t->path[i]) < 0) rc = -1;
  if (rc == 0 && (t->headerChanged || t->rootChanged)) {
    INDEX4* ix = t->index;
    ++t->counter; // other programs see the header itself change too
    unsigned char r[4];
    put32(r, static_cast<uint32_t>(t->root));
    unsigned char c = t->counter;
    unsigned char h = static_cast<unsigned char>(t->hasKeys);
    if (file4writeAt(&ix->file, t->headerOffset, r, 4) != 0 ||
        file4writeAt(&ix->file, t->headerOffset + 20, &c, 1) != 0 ||
        (t->hasFilter && file4writeAt(&ix->file, t->headerOffset + 246, &h, 1) != 0))
      return -1;
    t->hasKeysWritten = t->hasKeys;
    t->headerChanged = t->rootChanged = 0;
  }
  if (rc == 0 && t->index->headerChanged && i4writeHeader(t->index) < 0) rc = -1;
  return rc;
}

int t4freeBlocks(TAG4* t) {
  int rc = t4flush(t);
  if (truncatePath(t, 0) < 0) rc = -1;
  return rc;
}

int t4addKey(TAG4* t, const void* keyIn, int32_t rec) {
  CODE4* cb = t->cb;
  if (cb->errorCode < 0) return -1;
  if (rec <= 0 || rec > rec4max) return error4reportEx(cb, err4parm, "t4addKey()", nullptr, nullptr);
  const size_t kl = static_cast<size_t>(t->keyLen);
  std::vector<unsigned char> key(static_cast<const unsigned char*>(keyIn),
                                 static_cast<const unsigned char*>(keyIn) + kl);
  int rc = t4seek(t, key.data(), t->keyLen);
  if (rc < 0) return -1;
  if (t->uniqueCode != 0 && rc == 0) {
    if (t->uniqueCode == status4unique || t->uniqueCode == status4uniqueCont) return t->uniqueCode;
    if (t->uniqueCode == err4unique)
      return error4reportEx(cb, err4unique, t->index->file.name, t->alias, nullptr);
  }
  if (t->hasFilter && !t->hasKeys) t->hasKeys = 1;
  noteChange(t);
  const size_t g = static_cast<size_t>(t->groupLen);
  int level = t->depth - 1;
  int32_t pendingRec = rec;
  std::vector<unsigned char> sep(kl);
  for (;;) {
    B4BLOCK* b = t->path[level];
    b4insert(b, key.data(), pendingRec);
    int k = b4numKeys(b);
    if (k <= t->keysMax) break;
    bool leaf = b4leaf(b) != 0;
    int32_t newBlk = i4extend(t->index);
    B4BLOCK* nb = newBlk > 0 ? b4alloc(t, newBlk) : nullptr;
    if (nb == nullptr) {
      b->changed = 0; // the overfull image never reaches the file
      truncatePath(t, 0);
      return -1;
    }
    int half = k / 2;
    std::memcpy(b4entry(nb, 0), b4entry(b, 0), static_cast<size_t>(half) * g);
    std::memcpy(sep.data(), b4key(nb, half - 1), kl);
    if (leaf) {
      setK(nb, half);
    } else {
      setK(nb, half - 1);
      std::memset(b4key(nb, half - 1), 0, g - 4);
    }
    nb->changed = 1;
    std::memmove(b4entry(b, 0), b4entry(b, half), static_cast<size_t>(k - half) * g + 4);
    setK(b, k - half);
    unsigned char* tail = b4entry(b, k - half) + (leaf ? 0 : 4);
    unsigned char* end = b->data + t->index->blockBytes + 2 * g + 8;
    std::memset(tail, 0, static_cast<size_t>(end - tail));
    int frc = b4flush(nb);
    b4free(nb);
    if (frc < 0) {
      truncatePath(t, 0);
      return -1;
    }
    if (level == 0) {
      int32_t rootBlk = i4extend(t->index);
      B4BLOCK* r = rootBlk > 0 ? b4alloc(t, rootBlk) : nullptr;
      if (r == nullptr) {
        truncatePath(t, 0);
        return -1;
      }
      setK(r, 1);
      put32(b4entry(r, 0), static_cast<uint32_t>(newBlk));
      std::memcpy(b4key(r, 0), sep.data(), kl);
      put32(b4entry(r, 1), static_cast<uint32_t>(b->fileBlock));
      r->changed = 1;
      frc = b4flush(r);
      b4free(r);
      if (frc < 0) {
        truncatePath(t, 0);
        return -1;
      }
      t->root = rootBlk;
      t->rootChanged = 1;
      break;
    }
    key = sep;
    pendingRec = newBlk;
    --level;
  }
  return t4freeBlocks(t) < 0 ? -1 : 0;
}

int t4addCurrent(TAG4* t, int32_t rec) {
  if (t->filter != nullptr) {
    int f = expr4true(t->filter);
    if (f < 0) return -1;
    if (f == 0) return 0;
  }
  char* key = nullptr;
  if (t4keyFromRecord(t, &key) < 0) return -1;
  return t4addKey(t, key, rec);
}

int t4removeKey(TAG4* t, const void* key, int32_t rec) {
  int rc = t4go(t, key, rec);
  if (rc < 0) return -1;
  if (rc != 0) return status4entry;
  return t4removeCurrent(t, rec);
}

int t4removeCurrent(TAG4* t, int32_t rec) {
  if (t->cb->errorCode < 0) return -1;
  if (t4recordNumber(t) != rec) return status4entry;
  noteChange(t);
  const size_t kl = static_cast<size_t>(t->keyLen);
  const size_t g = static_cast<size_t>(t->groupLen);
  int leafLevel = t->depth - 1;
  B4BLOCK* b = t->path[leafLevel];
  bool wasLast = b->keyOn == b4numKeys(b) - 1;
  b4remove(b);
  if (b4numKeys(b) > 0) {
    if (wasLast) propagateMax(t, leafLevel, b4key(b, b4numKeys(b) - 1));
  } else if (leafLevel == 0) {
    std::memset(b->data, 0, static_cast<size_t>(t->index->blockBytes));
    if (t->hasFilter) t->hasKeys = 0;
  } else {
    int rc = i4freeBlock(t->index, b->fileBlock);
    b->changed = 0;
    b4free(b);
    --t->depth;
    if (rc < 0) {
      truncatePath(t, 0);
      return -1;
    }
    int level = leafLevel - 1;
    B4BLOCK* p = t->path[level];
    int pos = p->keyOn, pk = b4numKeys(p);
    std::vector<unsigned char> newMax;
    if (pos < pk) {
      b4remove(p);
    } else {
      // The greatest child went: the one before takes its slot, and the
      // subtree's maximum is now that child's.
      newMax.assign(b4key(p, pk - 1), b4key(p, pk - 1) + kl);
      std::memset(b4key(p, pk - 1), 0, g - 4);
      put32(b4entry(p, pk), 0);
      setK(p, pk - 1);
      p->keyOn = pk - 1;
      p->changed = 1;
    }
    if (b4numKeys(p) == 0) {
      int32_t only = b4recordNumber(p, 0);
      if (level == 0) {
        t->root = only;
        t->rootChanged = 1;
      } else {
        B4BLOCK* gp = t->path[level - 1];
        put32(b4entry(gp, gp->keyOn), static_cast<uint32_t>(only));
        gp->changed = 1;
      }
      rc = i4freeBlock(t->index, p->fileBlock);
      p->changed = 0;
      if (rc < 0) {
        truncatePath(t, 0);
        return -1;
      }
      // Levels above still index the subtree; keep p in the path for the
      // maximum update below, but never write it again.
    }
    if (!newMax.empty()) propagateMax(t, level, newMax.data());
  }
  return t4freeBlocks(t) < 0 ? -1 : 0;
}

int t4keyFromText(TAG4* t, const char* text, int len, char* key) {
  switch (t->keyType) {
    case 'C': {
      int n = std::clamp(len, 0, t->keyLen);
      std::memset(key, ' ', static_cast<size_t>(t->keyLen));
      std::memcpy(key, text, static_cast<size_t>(n));
      return n;
    }
    case 'N': c4bcdFromText(key, text, len); return t->keyLen;
    default: {
      char date[8];
      std::memset(date, ' ', 8);
      std::memcpy(date, text, static_cast<size_t>(std::clamp(len, 0, 8)));
      long day = date4toJulian(date);
      const bool blank = std::all_of(date, date + 8, [](char c) { return c == ' '; });
      // An impossible or partial date keys below every date, so it finds none.
      double v = day > 0 ? static_cast<double>(day) : !blank ? -1.0 : t->exprType == 'd' ? 1e300 : 1e100;
      std::memcpy(key, &v, 8);
      return 8;
    }
  }
}

int t4keyFromDouble(TAG4* t, double value, char* key) {
  switch (t->keyType) {
    case 'N': c4bcdFromDouble(key, value); return t->keyLen;
    case 'D': std::memcpy(key, &value, 8); return 8;
    default: return error4reportEx(t->cb, err4parm, "t4keyFromDouble()", t->alias, nullptr);
  }
}

namespace {

struct CheckState {
  TAG4* t;
  std::vector<unsigned char> prev;
  bool havePrev = false;
  int leafDepth = -1;
};

// Walks the subtree at `blk`; its maximum key goes to `maxOut`.
int checkNode(CheckState& s, int32_t blk, int depth, std::vector<unsigned char>& maxOut) {
  TAG4* t = s.t;
  if (depth > i4maxDepth || !i4blockOk(t->index, blk)) return corrupt(t, "Check");
  B4BLOCK* b = b4alloc(t, blk);
  if (b == nullptr) return -1;
  int rc = file4readAt(&t->index->file, static_cast<int64_t>(blk) * 512, b->data,
                       static_cast<size_t>(t->index->blockBytes));
  const size_t kl = static_cast<size_t>(t->keyLen);
  int k = rc == 0 ? b4numKeys(b) : 0;
  if (rc == 0 && (k < 0 || k > t->keysMax || (k == 0 && depth > 0))) rc = corrupt(t, "Check count");
  if (rc == 0 && b4leaf(b)) {
    if (s.leafDepth < 0) s.leafDepth = depth;
    if (s.leafDepth != depth) rc = corrupt(t, "Check depth");
    for (int i = 0; rc == 0 && i < k; ++i) {
      if (s.havePrev && t->cmp(s.prev.data(), b4key(b, i), kl) > 0) rc = corrupt(t, "Check order");
      s.prev.assign(b4key(b, i), b4key(b, i) + kl);
      s.havePrev = true;
    }
    if (k > 0) maxOut.assign(b4key(b, k - 1), b4key(b, k - 1) + kl);
  } else if (rc == 0) {
    std::vector<unsigned char> childMax;
    for (int i = 0; rc == 0 && i <= k; ++i) {
      rc = checkNode(s, b4recordNumber(b, i), depth + 1, childMax);
      if (rc == 0 && i < k && std::memcmp(childMax.data(), b4key(b, i), kl) != 0)
        rc = corrupt(t, "Check separator");
    }
    maxOut = childMax;
  }
  b4free(b);
  return rc;
}

} // namespace

int t4check(TAG4* t) {
  if (t4freeBlocks(t) < 0 || loadRoot(t) < 0) return -1;
  CheckState s{t, {}, false, -1};
  std::vector<unsigned char> m;
  return checkNode(s, t->root, 0, m);
}
