// Unit pools and raw memory.
//
// Allocations are plain zeroed heap memory; units are rounded up so that any
// record placed in them is suitably aligned on LP64.
#include "xbase/engine.h"
#include "xbase/block_cache.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr int kPoolsPerBlock = 10;

// The only process-wide state of the memory layer.
LIST4 g_pools;      // pools in use
LIST4 g_spare;      // spare pool records
LIST4 g_poolBlocks; // raw blocks the pool records were carved from

struct PoolBlock {
  LINK4 link;
  MEM4 pools[kPoolsPerBlock];
};

size_t roundedUnit(int unitSize) {
  size_t unit = unitSize < static_cast<int>(sizeof(LINK4)) ? sizeof(LINK4)
                                                            : static_cast<size_t>(unitSize);
  constexpr size_t align = alignof(std::max_align_t);
  return (unit + align - 1) / align * align;
}

size_t chunkHeader() {
  constexpr size_t align = alignof(std::max_align_t);
  return (sizeof(LINK4) + align - 1) / align * align;
}

bool addChunk(MEM4* pool) {
  int count = pool->chunks.count == 0 ? pool->unitStart : pool->unitExpand;
  if (count <= 0) count = 1;
  size_t unit = roundedUnit(pool->unitSize);
  size_t bytes = chunkHeader() + static_cast<size_t>(count) * unit;
  auto* chunk = static_cast<char*>(u4allocRetry(pool->cb, bytes));
  if (chunk == nullptr) return false;
  l4append(&pool->chunks, reinterpret_cast<LINK4*>(chunk));
  for (int i = 0; i < count; ++i)
    l4append(&pool->freeUnits, reinterpret_cast<LINK4*>(chunk + chunkHeader() + i * unit));
  return true;
}

} // namespace

MEM4* mem4pool(CODE4* cb, int start, int unitSize, int expand, int isPrivate) {
  if (cb != nullptr && cb->errorCode < 0) return nullptr;
  if (unitSize <= 0) return nullptr;
  if (!isPrivate) {
    for (LINK4* l = l4first(&g_pools); l != nullptr; l = l4next(&g_pools, l)) {
      auto* p = reinterpret_cast<MEM4*>(l);
      if (p->unitSize == unitSize && p->users > 0) {
        if (start > p->unitStart) p->unitStart = start;
        if (expand > p->unitExpand) p->unitExpand = expand;
        ++p->users;
        return p;
      }
    }
  }
  if (g_spare.count == 0) {
    auto* block = static_cast<PoolBlock*>(u4globalAlloc(sizeof(PoolBlock)));
    if (block == nullptr) {
      if (cb != nullptr) cb->errorCode = err4memory;
      return nullptr;
    }
    l4append(&g_poolBlocks, &block->link);
    for (MEM4& m : block->pools) l4append(&g_spare, &m.link);
  }
  auto* pool = reinterpret_cast<MEM4*>(l4pop(&g_spare));
  std::memset(pool, 0, sizeof(*pool));
  l4append(&g_pools, &pool->link);
  pool->unitStart = start;
  pool->unitSize = unitSize;
  pool->unitExpand = expand;
  pool->users = isPrivate ? -1 : 1;
  pool->cb = cb;
  return pool;
}

void* mem4take(MEM4* pool, CODE4* cb) {
  if (pool == nullptr) return nullptr;
  if (pool->freeUnits.count == 0 && !addChunk(pool)) {
    if (cb != nullptr) cb->errorCode = err4memory;
    return nullptr;
  }
  LINK4* unit = l4pop(&pool->freeUnits);
  std::memset(unit, 0, roundedUnit(pool->unitSize));
  return unit;
}

void* mem4poolTake(CODE4* cb, MEM4** pool, int start, int unitSize, int expand, int isPrivate) {
  if (*pool == nullptr) {
    *pool = mem4pool(cb, start, unitSize, expand, isPrivate);
    if (*pool == nullptr) return nullptr;
  }
  return mem4take(*pool, cb);
}

void mem4give(MEM4* pool, void* unit) {
  if (pool == nullptr || unit == nullptr) return;
  l4append(&pool->freeUnits, static_cast<LINK4*>(unit));
}

void mem4giveBack(MEM4* pool, void* unit) {
  if (pool == nullptr || unit == nullptr) return;
  // Only a pool of one unit per chunk can hand a unit's memory back on its own.
  if (pool->unitStart <= 1 && pool->unitExpand <= 1) {
    auto* chunk = reinterpret_cast<LINK4*>(static_cast<char*>(unit) - chunkHeader());
    for (LINK4* l = l4first(&pool->chunks); l != nullptr; l = l4next(&pool->chunks, l)) {
      if (l != chunk) continue;
      l4remove(&pool->chunks, chunk);
      u4globalFree(chunk);
      return;
    }
  }
  mem4give(pool, unit);
}

void mem4poolRelease(MEM4* pool) {
  if (pool == nullptr) return;
  if (pool->users > 1) {
    --pool->users;
    return;
  }
  while (LINK4* chunk = l4pop(&pool->chunks)) u4globalFree(chunk);
  l4remove(&g_pools, &pool->link);
  std::memset(pool, 0, sizeof(*pool));
  l4append(&g_spare, &pool->link);
}

void mem4reset() {
  for (LINK4* l = l4first(&g_pools); l != nullptr; l = l4next(&g_pools, l)) {
    auto* p = reinterpret_cast<MEM4*>(l);
    while (LINK4* chunk = l4pop(&p->chunks)) u4globalFree(chunk);
  }
  while (LINK4* b = l4pop(&g_poolBlocks)) u4globalFree(b);
  g_pools = LIST4{};
  g_spare = LIST4{};
  g_poolBlocks = LIST4{};
}

namespace {
uint64_t g_allocations = 0;
int g_failuresLeft = 0;
int g_successesFirst = 0;
}

void u4injectAllocFailures(int count, int after) {
  g_failuresLeft = count > 0 ? count : 0;
  g_successesFirst = after > 0 ? after : 0;
}

void* u4globalAlloc(size_t bytes) {
  ++g_allocations;
  if (g_successesFirst > 0) {
    --g_successesFirst;
  } else if (g_failuresLeft > 0) {
    --g_failuresLeft;
    return nullptr;
  }
  return std::calloc(1, bytes == 0 ? 1 : bytes);
}

uint64_t u4allocCount() { return g_allocations; }

void u4globalFree(void* p) { std::free(p); }

void* u4allocRetry(CODE4* cb, size_t bytes) {
  // Writing the cache out may itself allocate; that allocation gets no second
  // suspension of the cache being suspended.
  static thread_local bool suspending = false;
  void* p = u4globalAlloc(bytes);
  if (p != nullptr || cb == nullptr || suspending || !code4cacheRunning(cb)) return p;
  suspending = true;
  const int suspended = code4cacheSuspend(cb);
  suspending = false;
  if (suspended != 0) return nullptr;
  p = u4globalAlloc(bytes);
  // Started again with whatever memory is left; tags keep the blocks they hold.
  cache4restart(cb);
  return p;
}

void* u4allocOrError(CODE4* cb, size_t bytes) {
  void* p = u4allocRetry(cb, bytes);
  if (p == nullptr && cb != nullptr) error4report(cb, err4memory, nullptr);
  return p;
}

int u4allocAgain(CODE4* cb, char** buf, size_t* capacity, size_t newCapacity) {
  if (*capacity >= newCapacity && *buf != nullptr) return 0;
  auto* fresh = static_cast<char*>(u4allocRetry(cb, newCapacity));
  if (fresh == nullptr) {
    if (cb != nullptr) error4report(cb, err4memory, nullptr);
    return err4memory;
  }
  if (*buf != nullptr) {
    std::memcpy(fresh, *buf, *capacity);
    u4globalFree(*buf);
  }
  *buf = fresh;
  *capacity = newCapacity;
  return 0;
}
