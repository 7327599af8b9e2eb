// Block cache: recently used blocks of data, index and memo files in memory,
// one least-recently-used list per file kind, chosen for eviction by what the
// engine has lately been doing. The file layer routes a taking-part file's
// reads and writes here while the cache runs.
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
// The sizes the running cache has (all 0 when it does not run).
CACHE4PLAN cache4shape(const CODE4* cb);

int code4cacheStart(CODE4* cb);
// The start without releasing the tags' blocks, for a cache suspended in the
// middle of an operation.
int cache4restart(CODE4* cb);
int code4cacheSuspend(CODE4* cb);
int code4cacheRunning(const CODE4* cb);

// Per table: the data file, each index file and the memo file join (1), leave
// (0) or join when exclusive or read-only (-1); or switch their held-back writes.
int d4optimize(DATA4* d, int mode);
int d4optimizeWrite(DATA4* d, int mode);
// Eviction order from three kinds, the last tried first (1 data, 2 index, 3 memo).
int code4cacheOrder(CODE4* cb, int first, int second, int third);

// For the file layer.
int64_t cache4read(FILE4* f, int64_t pos, void* buf, size_t len);
// As cache4read, but one whole block that is not cached comes from the file
// and stays out of the cache.
int64_t cache4readPassing(FILE4* f, int64_t pos, void* buf, size_t len);
// changed 1: the bytes stay in the cache until written back; 0: the caller has
// written them to the file, and only blocks already cached take them.
int cache4write(FILE4* f, int64_t pos, const void* buf, size_t len, int changed);
int cache4flushFile(FILE4* f, int release);
// Forgets every block of the file, written back or not.
void cache4forget(FILE4* f);
void cache4cut(FILE4* f, int64_t len);
// Writes back and forgets the blocks over [pos, pos + len): the next read of
// them goes to the file.
int cache4drop(FILE4* f, int64_t pos, int64_t len);
void cache4fileJoined(FILE4* f); // hash slot and cached length for a joining file
int64_t cache4blockCount(const CODE4* cb, int kind); // blocks on a kind's list
// Whether the one block [pos, pos + len) is cached unchanged since it was
// marked: the index layer then need not check its contents again. Any new
// contents (a write, a read from the file) clear the mark.
int cache4checked(FILE4* f, int64_t pos, size_t len);
void cache4markChecked(FILE4* f, int64_t pos, size_t len);
int cache4readAheadMode(const CODE4* cb);

// Direct I/O for the cache: the cache's own write-backs pass the file layer's
// failure seam like any other write. A temporary file living only in the cache
// is made real before its first write-back.
int file4writeDirect(FILE4* f, int64_t pos, const void* buf, size_t count);
int file4writeDirectV(FILE4* f, int64_t pos, const struct iovec* iov, int count);
int64_t file4readDirect(FILE4* f, int64_t pos, void* buf, size_t count);
int file4makeReal(FILE4* f);
