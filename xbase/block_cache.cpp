// Block cache.
#include "xbase/block_cache.h"
#include "xbase/file_view.h"
#include "xbase/index.h"
#include "xbase/memo.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>
#include <sys/uio.h>

struct CACHE4BLOCK {
  LINK4 hashLink;
  LINK4 lruLink;
  uint8_t changed;
  uint8_t checked; // contents checked by the index layer since they last changed
  int32_t valid;
  FILE4* file;
  int64_t pos;
  char* data;
};

struct CACHE4 {
  int32_t blockSize;
  int shift;
  int32_t blocksPerGroup;
  int32_t groups;
  int32_t totalBlocks;
  std::vector<LIST4> hash;
  uint32_t mask;
  int64_t counter;
  LIST4 freeList;
  LIST4 lru[3]; // data, index, memo
  int order[3]; // kinds; the last is tried first
  int threshold;
  int64_t evictions;
  uint32_t lastActivity;
  int readAheadMode; // 0 none, 1 data files, 2 or 3 index files
  char* readAheadBuf; // one group
  std::vector<char*> groupBufs;
  std::vector<CACHE4BLOCK> blocks;
};

namespace {

CACHE4BLOCK* fromHash(LINK4* l) {
  return reinterpret_cast<CACHE4BLOCK*>(reinterpret_cast<char*>(l) - offsetof(CACHE4BLOCK, hashLink));
}
CACHE4BLOCK* fromLru(LINK4* l) {
  return reinterpret_cast<CACHE4BLOCK*>(reinterpret_cast<char*>(l) - offsetof(CACHE4BLOCK, lruLink));
}
FILE4* fromFileLink(LINK4* l) {
  return reinterpret_cast<FILE4*>(reinterpret_cast<char*>(l) - offsetof(FILE4, link));
}

int log2floor(int64_t v) {
  int r = 0;
  while (v > 1) {
    v >>= 1;
    ++r;
  }
  return r;
}

CACHE4* running(const CODE4* cb) { return cb != nullptr ? cb->cache : nullptr; }

// The start of the block holding `pos`; a mask for the usual power-of-two
// sizes, as a division costs more than the rest of a cached read.
int64_t blockStart(const CACHE4* c, int64_t pos) {
  const int64_t bs = c->blockSize;
  return (bs & (bs - 1)) == 0 ? pos & ~(bs - 1) : pos / bs * bs;
}

LIST4& bucketOf(CACHE4* c, const FILE4* f, int64_t pos) {
  uint64_t h = static_cast<uint64_t>(pos + f->hashOffset) >> c->shift;
  return c->hash[h & c->mask];
}

CACHE4BLOCK* find(CACHE4* c, FILE4* f, int64_t pos) {
  LIST4& b = bucketOf(c, f, pos);
  if (b.last == nullptr) return nullptr;
  for (LINK4* l = b.last->next;; l = l->next) {
    CACHE4BLOCK* blk = fromHash(l);
    if (blk->file == f && blk->pos == pos) return blk;
    if (l == b.last) return nullptr;
  }
}

void touch(CACHE4* c, CACHE4BLOCK* b) {
  LIST4& l = c->lru[b->file->cacheKind - 1];
  if (l.last == &b->lruLink) return;
  l4remove(&l, &b->lruLink);
  l4append(&l, &b->lruLink);
}

void enter(CACHE4* c, CACHE4BLOCK* b, FILE4* f, int64_t pos, int32_t valid) {
  b->file = f;
  b->pos = pos;
  b->valid = valid;
  b->changed = 0;
  b->checked = 0;
  l4append(&bucketOf(c, f, pos), &b->hashLink);
  l4append(&c->lru[f->cacheKind - 1], &b->lruLink);
}

// Writes back a changed block together with the changed blocks that follow
// it in the file, up to one group, in one write.
int writeBack(CACHE4* c, CACHE4BLOCK* b) {
  if (!b->changed) return 0;
  CACHE4BLOCK* run[64];
  struct iovec iov[64];
  int n = 0;
  const int limit = std::min<int>(64, std::max<int>(1, c->blocksPerGroup));
  for (CACHE4BLOCK* next = b; next != nullptr && next->changed && n < limit;) {
    run[n] = next;
    iov[n].iov_base = next->data;
    iov[n].iov_len = static_cast<size_t>(next->valid);
    ++n;
    if (next->valid < c->blockSize) break;
    next = find(c, b->file, next->pos + c->blockSize);
  }
  if (file4writeDirectV(b->file, b->pos, iov, n) != 0) return -1;
  for (int i = 0; i < n; ++i) run[i]->changed = 0;
  return 0;
}

void release(CACHE4* c, CACHE4BLOCK* b) {
  l4remove(&bucketOf(c, b->file, b->pos), &b->hashLink);
  l4remove(&c->lru[b->file->cacheKind - 1], &b->lruLink);
  b->file = nullptr;
  b->changed = 0;
  b->valid = 0;
  l4append(&c->freeList, &b->lruLink);
}

// What the engine did since the last look decides the eviction order and
// what is read ahead.
void reevaluate(CACHE4* c, CODE4* cb) {
  uint32_t v = cb->activity;
  if (v == c->lastActivity) return;
  c->threshold = 0;
  c->readAheadMode = 0;
  // order[2] is tried first.
  if (v <= 7) {
    // Record reads read data ahead; tag skips read index blocks ahead.
    c->readAheadMode = static_cast<int>((v & 1) | ((v & 4) >> 1));
    c->order[0] = 1, c->order[1] = 2, c->order[2] = 3; // memo, index, data
  } else if (v <= 15) {
    c->order[0] = 2, c->order[1] = 1, c->order[2] = 3; // memo, data, index: seeks keep index blocks
  } else if (v <= 63) {
    c->order[0] = 1, c->order[1] = 2, c->order[2] = 3;
  } else {
    c->order[0] = 2, c->order[1] = 1, c->order[2] = 3;
    c->threshold = 5;
  }
  cb->activity = 0;
  c->lastActivity = 0;
}

// The changed, partly filled block that ends its file.
bool growingEnd(const CACHE4* c, const CACHE4BLOCK* b) {
  return b->changed && b->valid < c->blockSize && b->pos + b->valid == b->file->cacheLen;
}

// A free block, or a victim's; null when none can be had (the caller goes
// straight to the file). A victim whose write-back fails keeps its data and
// stays changed; the failure is raised now.
CACHE4BLOCK* take(CACHE4* c, CODE4* cb) {
  if (LINK4* l = l4pop(&c->freeList)) return fromLru(l);
  if (++c->evictions > 10) reevaluate(c, cb);
  for (;;) {
    int kind = 0;
    CACHE4BLOCK* victim = nullptr;
    for (int pass = 0; pass < 2 && kind == 0; ++pass) {
      for (int i = 2; i >= 0 && kind == 0; --i) {
        LIST4& list = c->lru[c->order[i] - 1];
        if (list.count <= c->threshold) continue;
        victim = fromLru(l4first(&list));
        // A file's growing end is written again by the next append: another
        // block goes first while there is one.
        if (pass == 0 && growingEnd(c, victim)) {
          if (list.count < 2) continue;
          victim = fromLru(l4next(&list, &victim->lruLink));
        }
        kind = c->order[i];
      }
    }
    if (kind == 0) {
      if (c->threshold == 0) return nullptr;
      --c->threshold;
      continue;
    }
    if (writeBack(c, victim) != 0) {
      error4reportEx(cb, err4write, victim->file->name, nullptr, nullptr);
      return nullptr;
    }
    release(c, victim);
    return fromLru(l4pop(&c->freeList));
  }
}

bool readsAhead(const CACHE4* c, const FILE4* f) {
  if (c->readAheadMode == 0 || !f->reallyOpen) return false;
  return c->readAheadMode == 1 ? f->cacheKind == 1 : f->cacheKind == 2;
}

// Whether a clean cached block must be read again: the shared data and memo
// files of a program that asked for it (index files check their versions).
bool rereads(const FILE4* f) {
  return f->cb->cacheReread == 1 && !f->exclusiveOpen && f->cacheKind != 2 && f->reallyOpen;
}

// One group from the file into the blocks not cached yet; the group starts
// at the wanted block, or ends there when the block after it is cached
// (reading backwards).
void readAhead(CACHE4* c, FILE4* f, int64_t start) {
  const int64_t bs = c->blockSize;
  const int64_t groupBytes = bs * c->blocksPerGroup;
  int64_t from = start;
  if (find(c, f, start + bs) != nullptr) from = std::max<int64_t>(0, start - groupBytes + bs);
  int64_t n = file4readDirect(f, from, c->readAheadBuf, static_cast<size_t>(groupBytes));
  if (n <= 0) return;
  const int64_t count = (n + bs - 1) / bs;
  for (int64_t i = count - 1; i >= 0; --i) {
    const int64_t pos = from + i * bs;
    if (CACHE4BLOCK* b = find(c, f, pos)) {
      touch(c, b);
      continue;
    }
    CACHE4BLOCK* b = take(c, f->cb);
    if (b == nullptr) return;
    const int32_t valid = static_cast<int32_t>(std::min<int64_t>(bs, n - i * bs));
    std::memcpy(b->data, c->readAheadBuf + i * bs, static_cast<size_t>(valid));
    enter(c, b, f, pos, valid);
  }
}

void freeAll(CACHE4* c) {
  for (char* g : c->groupBufs) u4globalFree(g);
  u4globalFree(c->readAheadBuf);
  delete c;
}

// Visits each block of one file; the visitor may release it.
template <typename F>
void forEachBlockOf(CACHE4* c, FILE4* f, F&& visit) {
  LIST4& list = c->lru[f->cacheKind - 1];
  for (LINK4* l = l4first(&list); l != nullptr;) {
    LINK4* next = l4next(&list, l);
    CACHE4BLOCK* b = fromLru(l);
    if (b->file == f) visit(b);
    l = next;
  }
}

} // namespace

CACHE4PLAN cache4plan(int64_t memoryLimit, int32_t blockSize, int32_t readAheadSize) {
  CACHE4PLAN p{0, 0, 0};
  if (blockSize <= 0 || readAheadSize <= 0 || readAheadSize < blockSize) return p;
  int32_t groupSize = readAheadSize / blockSize * blockSize;
  for (;;) {
    int64_t groups = memoryLimit / groupSize - 2;
    if (groups > 3) {
      p.groups = static_cast<int32_t>(std::min<int64_t>(groups, INT32_MAX / (groupSize / blockSize)));
      p.blocksPerGroup = groupSize / blockSize;
      p.hashSize = 2 << log2floor(static_cast<int64_t>(p.groups) * p.blocksPerGroup);
      return p;
    }
    // Fewer than four groups fit: smaller groups, one block at a time.
    if (groupSize <= blockSize) return p;
    groupSize -= blockSize;
  }
}

int code4cacheRunning(const CODE4* cb) { return running(cb) != nullptr ? 1 : 0; }
int cache4readAheadMode(const CODE4* cb) { return running(cb) != nullptr ? cb->cache->readAheadMode : 0; }

int code4cacheStart(CODE4* cb) {
  if (cb == nullptr) return -1;
  if (cb->cache != nullptr) return 0;
  if (cache4restart(cb) != 0) return -1;
  // Tags read their blocks again, now through the cache.
  for (LINK4* l = l4first(&cb->dataList); l != nullptr; l = l4next(&cb->dataList, l))
    d4freeBlocks(reinterpret_cast<DATA4*>(l));
  return 0;
}

int cache4restart(CODE4* cb) {
  if (cb == nullptr) return -1;
  if (cb->cache != nullptr) return 0;
  CACHE4PLAN plan = cache4plan(cb->cacheLimit, cb->cacheBlockSize, cb->readAheadSize);
  if (plan.groups == 0) return -1;
  CACHE4* c = nullptr;
  for (;;) {
    c = new CACHE4();
    c->blockSize = cb->cacheBlockSize;
    c->shift = log2floor(c->blockSize);
    c->blocksPerGroup = plan.blocksPerGroup;
    const size_t groupBytes = static_cast<size_t>(plan.blocksPerGroup) * static_cast<size_t>(c->blockSize);
    c->readAheadBuf = static_cast<char*>(u4globalAlloc(groupBytes));
    for (int32_t g = 0; c->readAheadBuf != nullptr && g < plan.groups; ++g) {
      char* buf = static_cast<char*>(u4globalAlloc(groupBytes));
      if (buf == nullptr) break;
      c->groupBufs.push_back(buf);
    }
    c->groups = static_cast<int32_t>(c->groupBufs.size());
    if (c->groups > 3) break;
    // Short of memory: with some groups had, try again with four groups of half the
    // size; with none, or once a group would be less than a block, give up.
    const bool someHad = c->groups > 0;
    freeAll(c);
    if (!someHad || plan.blocksPerGroup < 2) return -1;
    plan.blocksPerGroup /= 2;
    plan.groups = std::min(plan.groups, 4);
  }
  c->totalBlocks = c->groups * c->blocksPerGroup;
  c->hash.assign(static_cast<size_t>(2) << log2floor(c->totalBlocks), LIST4{nullptr, nullptr, 0});
  c->mask = static_cast<uint32_t>(c->hash.size() - 1);
  c->blocks.resize(static_cast<size_t>(c->totalBlocks));
  for (int32_t i = 0; i < c->totalBlocks; ++i) {
    CACHE4BLOCK& b = c->blocks[static_cast<size_t>(i)];
    b.data = c->groupBufs[static_cast<size_t>(i / c->blocksPerGroup)] +
             static_cast<size_t>(i % c->blocksPerGroup) * static_cast<size_t>(c->blockSize);
    l4append(&c->freeList, &b.lruLink);
  }
  c->order[0] = 1, c->order[1] = 2, c->order[2] = 3; // memo tried first, then index, then data
  c->threshold = 10;
  cb->activity = 128;
  c->lastActivity = 128;
  cb->cache = c;
  // Files that take part start from their length on disk.
  for (LINK4* l = l4first(&cb->cacheFiles); l != nullptr; l = l4next(&cb->cacheFiles, l))
    cache4fileJoined(fromFileLink(l));
  return 0;
}

void cache4fileJoined(FILE4* f) {
  if (f->reallyOpen) f->cacheLen = std::max<int64_t>(u4filelength(f->fd), 0);
  CACHE4* c = running(f->cb);
  if (c == nullptr || f->hashAssigned) return;
  f->hashOffset = c->counter * c->blockSize;
  c->counter = (c->counter + f->cacheLen / c->blockSize) % c->totalBlocks;
  f->hashAssigned = 1;
}

int cache4flushFile(FILE4* f, int releaseBlocks) {
  CACHE4* c = running(f->cb);
  if (c == nullptr || f->cacheKind == 0) return 0;
  // In file order, so that runs of changed blocks leave in one write each.
  std::vector<CACHE4BLOCK*> mine;
  forEachBlockOf(c, f, [&](CACHE4BLOCK* b) { mine.push_back(b); });
  std::sort(mine.begin(), mine.end(), [](const CACHE4BLOCK* a, const CACHE4BLOCK* b) { return a->pos < b->pos; });
  int rc = 0;
  for (CACHE4BLOCK* b : mine)
    if (writeBack(c, b) != 0) rc = -1;
  if (releaseBlocks)
    for (CACHE4BLOCK* b : mine)
      if (!b->changed) release(c, b);
  return rc;
}

void cache4forget(FILE4* f) {
  CACHE4* c = running(f->cb);
  if (c == nullptr || f->cacheKind == 0) return;
  forEachBlockOf(c, f, [&](CACHE4BLOCK* b) { release(c, b); });
}

void cache4cut(FILE4* f, int64_t len) {
  CACHE4* c = running(f->cb);
  if (c == nullptr || f->cacheKind == 0) return;
  f->cacheLen = len;
  forEachBlockOf(c, f, [&](CACHE4BLOCK* b) {
    if (b->pos + b->valid <= len) return;
    if (b->pos >= len) release(c, b);
    else b->valid = static_cast<int32_t>(len - b->pos), b->checked = 0;
  });
}

int cache4drop(FILE4* f, int64_t pos, int64_t len) {
  CACHE4* c = running(f->cb);
  if (c == nullptr || f->cacheKind == 0 || len <= 0) return 0;
  int rc = 0;
  const int64_t bs = c->blockSize;
  // A short range is looked up block by block, a long one by walking the list.
  if (len <= 8 * bs) {
    for (int64_t at = pos / bs * bs; at < pos + len; at += bs) {
      CACHE4BLOCK* b = find(c, f, at);
      if (b == nullptr) continue;
      if (writeBack(c, b) != 0) rc = -1;
      else release(c, b);
    }
    return rc;
  }
  forEachBlockOf(c, f, [&](CACHE4BLOCK* b) {
    if (b->pos >= pos + len || pos >= b->pos + bs) return;
    if (writeBack(c, b) != 0) rc = -1;
    else release(c, b);
  });
  return rc;
}

int code4cacheSuspend(CODE4* cb) {
  CACHE4* c = running(cb);
  if (c == nullptr) return 0;
  int rc = 0;
  for (LINK4* l = l4first(&cb->cacheFiles); l != nullptr; l = l4next(&cb->cacheFiles, l)) {
    FILE4* f = fromFileLink(l);
    if (cache4flushFile(f, 1) != 0) rc = -1;
  }
  if (rc != 0) return error4reportEx(cb, -620, "Optimization Removal Failure", nullptr, nullptr);
  freeAll(c);
  cb->cache = nullptr;
  return 0;
}

CACHE4PLAN cache4shape(const CODE4* cb) {
  CACHE4* c = running(cb);
  if (c == nullptr) return CACHE4PLAN{0, 0, 0};
  return CACHE4PLAN{c->groups, c->blocksPerGroup, static_cast<int32_t>(c->hash.size())};
}

int64_t cache4blockCount(const CODE4* cb, int kind) {
  CACHE4* c = running(cb);
  return c == nullptr || kind < 1 || kind > 3 ? 0 : c->lru[kind - 1].count;
}

namespace {
CACHE4BLOCK* wholeBlock(FILE4* f, int64_t pos, size_t len) {
  CACHE4* c = running(f->cb);
  if (c == nullptr || f->cacheKind == 0 || len != static_cast<size_t>(c->blockSize) || blockStart(c, pos) != pos ||
      rereads(f))
    return nullptr;
  CACHE4BLOCK* b = find(c, f, pos);
  return b != nullptr && b->valid == c->blockSize ? b : nullptr;
}
} // namespace

int cache4checked(FILE4* f, int64_t pos, size_t len) {
  CACHE4BLOCK* b = wholeBlock(f, pos, len);
  return b != nullptr && b->checked ? 1 : 0;
}

void cache4markChecked(FILE4* f, int64_t pos, size_t len) {
  if (CACHE4BLOCK* b = wholeBlock(f, pos, len)) b->checked = 1;
}

int code4cacheOrder(CODE4* cb, int first, int second, int third) {
  CACHE4* c = running(cb);
  for (int k : {first, second, third})
    if (k < 1 || k > 3) return -1;
  if (first == second || second == third || first == third) return -1;
  if (c == nullptr) return -1;
  c->order[0] = first, c->order[1] = second, c->order[2] = third;
  return 0;
}

int d4optimize(DATA4* d, int mode) {
  if (d == nullptr || mode < -1 || mode > 1) return -1;
  int rc = 0;
  if (file4setCache(&d->file, mode, 1) != 0) rc = -1;
  if (d->memoFile.file.fd >= 0 && file4setCache(&d->memoFile.file, mode, 3) != 0) rc = -1;
  for (LINK4* l = l4first(&d->indexes); l != nullptr; l = l4next(&d->indexes, l))
    if (file4setCache(&reinterpret_cast<INDEX4*>(l)->file, mode, 2) != 0) rc = -1;
  return rc;
}

int d4optimizeWrite(DATA4* d, int mode) {
  if (d == nullptr || mode < -1 || mode > 1) return -1;
  int rc = 0;
  if (file4setWriteBehind(&d->file, mode) != 0) rc = -1;
  if (d->memoFile.file.fd >= 0 && file4setWriteBehind(&d->memoFile.file, mode) != 0) rc = -1;
  for (LINK4* l = l4first(&d->indexes); l != nullptr; l = l4next(&d->indexes, l))
    if (file4setWriteBehind(&reinterpret_cast<INDEX4*>(l)->file, mode) != 0) rc = -1;
  return rc;
}

int64_t cache4read(FILE4* f, int64_t pos, void* buf, size_t len) {
  CACHE4* c = running(f->cb);
  const int64_t bs = c->blockSize;
  char* out = static_cast<char*>(buf);
  size_t done = 0;
  while (done < len) {
    int64_t at = pos + static_cast<int64_t>(done);
    int64_t start = blockStart(c, at);
    size_t off = static_cast<size_t>(at - start);
    CACHE4BLOCK* b = find(c, f, start);
    if (b == nullptr && readsAhead(c, f)) {
      readAhead(c, f, start);
      if (f->cb->errorCode < 0) return -1;
      b = find(c, f, start);
    }
    if (b == nullptr) {
      // The block comes from the file's view while a victim is found.
      file4viewPrefetch(f, start, static_cast<size_t>(bs));
      b = take(c, f->cb);
      if (b == nullptr) {
        if (f->cb->errorCode < 0) return -1;
        int64_t n = file4readDirect(f, at, out + done, len - done);
        return n < 0 ? -1 : static_cast<int64_t>(done) + n;
      }
      int64_t n = file4readDirect(f, start, b->data, static_cast<size_t>(bs));
      if (n < 0) {
        l4append(&c->freeList, &b->lruLink);
        return -1;
      }
      enter(c, b, f, start, static_cast<int32_t>(n));
    } else {
      if (!b->changed && rereads(f)) {
        // Only the bytes asked for are read again (a record, not its whole
        // block): the rest is read again when it is asked for. A gap before
        // them in what the block holds makes the whole block read again.
        const bool part = static_cast<int64_t>(off) <= b->valid;
        const size_t want = part ? std::min(len - done, static_cast<size_t>(bs) - off) : static_cast<size_t>(bs);
        int64_t n = file4readDirect(f, part ? at : start, b->data + (part ? off : 0), want);
        if (n < 0) {
          release(c, b);
          return -1;
        }
        const int64_t end = (part ? static_cast<int64_t>(off) : 0) + n;
        // A short read: the file ends inside the block.
        b->valid = static_cast<int32_t>(static_cast<size_t>(n) < want ? end : std::max<int64_t>(b->valid, end));
        b->checked = 0;
      }
      touch(c, b);
    }
    // Cached writes further on made the file longer than the disk shows.
    int64_t logical = std::min<int64_t>(bs, f->cacheLen - b->pos);
    if (b->valid < logical) {
      std::memset(b->data + b->valid, 0, static_cast<size_t>(logical - b->valid));
      b->valid = static_cast<int32_t>(logical);
    }
    if (static_cast<int64_t>(off) >= b->valid) break;
    size_t n = std::min(len - done, static_cast<size_t>(b->valid) - off);
    std::memcpy(out + done, b->data + off, n);
    done += n;
    if (b->valid < bs) break; // end of file
  }
  return static_cast<int64_t>(done);
}

int64_t cache4readPassing(FILE4* f, int64_t pos, void* buf, size_t len) {
  CACHE4* c = running(f->cb);
  if (blockStart(c, pos) != pos || len != static_cast<size_t>(c->blockSize) || rereads(f) ||
      find(c, f, pos) != nullptr)
    return cache4read(f, pos, buf, len);
  int64_t n = file4readDirect(f, pos, buf, len);
  if (n < 0) return -1;
  // Cached writes further on made the file longer than the disk shows.
  const int64_t logical = std::min<int64_t>(static_cast<int64_t>(len), f->cacheLen - pos);
  if (n < logical) {
    std::memset(static_cast<char*>(buf) + n, 0, static_cast<size_t>(logical - n));
    n = logical;
  }
  return n;
}

int cache4write(FILE4* f, int64_t pos, const void* buf, size_t len, int changed) {
  CACHE4* c = running(f->cb);
  const int64_t bs = c->blockSize;
  const char* in = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < len) {
    int64_t at = pos + static_cast<int64_t>(done);
    int64_t start = blockStart(c, at);
    size_t off = static_cast<size_t>(at - start);
    size_t n = std::min(len - done, static_cast<size_t>(bs) - off);
    CACHE4BLOCK* b = find(c, f, start);
    if (b == nullptr && !changed) {
      done += n;
      f->cacheLen = std::max<int64_t>(f->cacheLen, at + static_cast<int64_t>(n));
      continue;
    }
    if (b == nullptr) {
      b = take(c, f->cb);
      if (b == nullptr) {
        if (f->cb->errorCode < 0) return -1;
        if (file4writeDirect(f, at, in + done, n) != 0) return -1;
        done += n;
        f->cacheLen = std::max<int64_t>(f->cacheLen, at + static_cast<int64_t>(n));
        continue;
      }
      int64_t got = 0;
      if (n < static_cast<size_t>(bs) && start < f->cacheLen) {
        got = file4readDirect(f, start, b->data, static_cast<size_t>(bs));
        if (got < 0) {
          l4append(&c->freeList, &b->lruLink);
          return -1;
        }
      }
      enter(c, b, f, start, static_cast<int32_t>(got));
    } else {
      touch(c, b);
    }
    if (static_cast<int64_t>(off) > b->valid) std::memset(b->data + b->valid, 0, off - static_cast<size_t>(b->valid));
    std::memcpy(b->data + off, in + done, n);
    b->checked = 0;
    b->valid = std::max<int32_t>(b->valid, static_cast<int32_t>(off + n));
    if (changed) b->changed = 1;
    done += n;
    f->cacheLen = std::max<int64_t>(f->cacheLen, at + static_cast<int64_t>(n));
  }
  return 0;
}
