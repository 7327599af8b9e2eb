// External sort of (key, record number, info) entries.
//
// Entries collect in memory chunks; when no more memory may be taken (the
// pointer array is full or CODE4::sortMemoryLimit is reached) the load is
// sorted and spilled to a temporary file as one run. Output merges the runs.
// Order: the compare routine over the key, then ascending record number, so
// the order is total and the output deterministic.
#pragma once

#include "xbase/engine.h"

#include <cstdint>

using sort4cmpFn = int (*)(const void* a, const void* b, size_t len);

struct SORT4RUN {
  char* buffer;
  size_t pos;  // current entry in the buffer
  size_t len;  // bytes in the buffer
  int64_t nextOffset; // next slice of the run, -1 when read to its end
  int32_t run;
};

struct SORT4 {
  CODE4* cb;
  FILE4 file;
  int fileOpen;
  FILE4SEQWRITE writer;
  char* writerBuf;
  int sortLen;
  int infoLen;
  int entryLen; // sortLen + 4 + infoLen
  sort4cmpFn cmp;
  char** pointers;
  int32_t ptrCapacity; // capacity
  int32_t ptrFill;
  int32_t slots; // entry slots available
  size_t chunkSize;
  int32_t entriesPerChunk;
  MEM4* pool;
  LIST4 chunks;
  int moreMemory;
  int32_t nRuns;
  int64_t runBytes;
  int64_t totalBytes; // bytes spilled so far
  SORT4RUN* runs;
  int32_t runsActive;
  int lastGiven; // runs[0] handed out its current entry
  int32_t outPos; // in-memory output position
  int merging;
};

int sort4init(SORT4* s, CODE4* cb, int sortLen, int infoLen);
int sort4put(SORT4* s, int32_t recNo, const void* key, const void* info);
int sort4getInit(SORT4* s);
// 0 with the next entry, 1 after the last one (everything released), -1 on failure.
int sort4get(SORT4* s, int32_t* recNo, void** key, void** info);
void sort4free(SORT4* s);
