// Block cache: recently used blocks of data, index and memo files in memory,
// one least-recently-used list per file kind, chosen for eviction by what the
// engine has lately been doing. The file layer routes a taking-part file's
// reads and writes here while the cache runs; nothing starts it by default.
#pragma once

#include "xbase/engine.h"

#include <cstdint>

struct CACHE4PLAN {
  int32_t groups;        // 0: the start fails
  int32_t blocksPerGroup;
  int32_t hashSize;
};

// The sizes a start would use when every allocation succeeds.
CACHE4PLAN cache4plan(int64_t memoryLimit, int32_t blockSize, int32_t readAheadSize);

int code4cacheStart(CODE4* cb);
int code4cacheSuspend(CODE4* cb);
int code4cacheRunning(const CODE4* cb);
// Lets a file take part (kind 1 data, 2 index, 3 memo) or leave (0).
int file4cacheKind(FILE4* f, int kind);

// For the file layer.
int64_t cache4read(FILE4* f, int64_t pos, void* buf, size_t len);
int cache4write(FILE4* f, int64_t pos, const void* buf, size_t len);
int cache4flushFile(FILE4* f, int release);
void cache4cut(FILE4* f, int64_t len);
// Writes back and forgets the blocks over [pos, pos + len): the next read of
// them goes to the file.
int cache4drop(FILE4* f, int64_t pos, int64_t len);
int64_t cache4blockCount(const CODE4* cb, int kind); // blocks on a kind's list

// Direct I/O for the cache: the cache's own write-backs pass the file layer's
// failure seam like any other write.
int file4writeDirect(FILE4* f, int64_t pos, const void* buf, size_t count);
int64_t file4readDirect(FILE4* f, int64_t pos, void* buf, size_t count);
