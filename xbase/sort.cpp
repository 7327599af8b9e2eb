// External sort: in-memory quicksort of entry pointers, sorted runs spilled
// to a temporary file, and a merge that keeps its runs in a sorted array.
#include "xbase/sort.h"

#include <cstring>

namespace {

constexpr size_t kChunkLink = sizeof(LINK4);

int32_t recOf(const SORT4* s, const char* entry) {
  int32_t r;
  std::memcpy(&r, entry + s->sortLen, sizeof(r));
  return r;
}

int compareEntries(const SORT4* s, const char* a, const char* b) {
  int rc = s->cmp(a, b, static_cast<size_t>(s->sortLen));
  if (rc != 0) return rc;
  int32_t ra = recOf(s, a), rb = recOf(s, b);
  return ra < rb ? -1 : (ra > rb ? 1 : 0);
}

int bytewise(const void* a, const void* b, size_t len) { return std::memcmp(a, b, len); }

// Non-recursive quicksort; the larger part waits on the stack while the
// smaller one is sorted, so 32 pending ranges always suffice.
void quickSort(const SORT4* s, char** a, int32_t n) {
  if (n < 2) return;
  struct Range {
    int32_t lo, hi;
  } stack[32];
  int sp = 0;
  stack[sp++] = {0, n - 1};
  auto less = [s](const char* x, const char* y) { return compareEntries(s, x, y) < 0; };
  auto swap = [a](int32_t i, int32_t j) {
    char* t = a[i];
    a[i] = a[j];
    a[j] = t;
  };
  while (sp > 0) {
    Range r = stack[--sp];
    int32_t lo = r.lo, hi = r.hi;
    for (;;) {
      int32_t len = hi - lo + 1;
      if (len < 2) break;
      if (len == 2) {
        if (less(a[hi], a[lo])) swap(lo, hi);
        break;
      }
      int32_t mid = lo + (hi - lo) / 2;
      if (less(a[hi], a[mid])) swap(mid, hi);
      if (less(a[lo], a[mid])) swap(lo, mid);
      else if (less(a[hi], a[lo])) swap(lo, hi);
      // Now a[mid] <= a[lo] <= a[hi]: the pivot sits at lo.
      if (len == 3) {
        swap(lo, mid);
        break;
      }
      char* pivot = a[lo];
      int32_t i = lo, j = hi + 1;
      for (;;) {
        do ++i;
        while (i <= hi && less(a[i], pivot));
        do --j;
        while (less(pivot, a[j]));
        if (i >= j) break;
        swap(i, j);
      }
      swap(lo, j);
      int32_t leftLo = lo, leftHi = j - 1, rightLo = j + 1, rightHi = hi;
      if (leftHi - leftLo > rightHi - rightLo) {
        stack[sp++] = {leftLo, leftHi};
        lo = rightLo;
        hi = rightHi;
      } else {
        stack[sp++] = {rightLo, rightHi};
        lo = leftLo;
        hi = leftHi;
      }
    }
  }
}

int outOfMemory(SORT4* s) {
  error4report(s->cb, err4memory, "Sorting");
  sort4free(s);
  return -1;
}

size_t chunkBytesHeld(const SORT4* s) {
  return static_cast<size_t>(s->chunks.count) * s->chunkSize;
}

// Adds a chunk's entry slots behind the ones already available, as many as
// the pointer array still has room for.
bool takeChunk(SORT4* s) {
  int32_t room = s->ptrCapacity - s->slots;
  if (room <= 0) return false;
  if (static_cast<int64_t>(chunkBytesHeld(s) + s->chunkSize) > s->cb->sortMemoryLimit)
    return false;
  auto* chunk = static_cast<char*>(mem4take(s->pool, nullptr));
  if (chunk == nullptr) return false;
  l4append(&s->chunks, reinterpret_cast<LINK4*>(chunk));
  char* first = chunk + kChunkLink;
  int32_t slots = room < s->entriesPerChunk ? room : s->entriesPerChunk;
  for (int32_t i = 0; i < slots; ++i)
    s->pointers[s->slots++] = first + static_cast<size_t>(i) * static_cast<size_t>(s->entryLen);
  return true;
}

// No more memory: the unused tail of the pointer array keeps the pointers it
// still needs and gives the rest over to entry slots.
void splitTail(SORT4* s) {
  s->moreMemory = 0;
  size_t tailBytes = static_cast<size_t>(s->ptrCapacity - s->slots) * sizeof(char*);
  auto k = static_cast<int32_t>(tailBytes / (sizeof(char*) + static_cast<size_t>(s->entryLen)));
  if (k <= 0) return;
  int32_t newMax = s->slots + k;
  char* area = reinterpret_cast<char*>(s->pointers + newMax);
  for (int32_t i = 0; i < k; ++i)
    s->pointers[s->slots++] = area + static_cast<size_t>(i) * static_cast<size_t>(s->entryLen);
  s->ptrCapacity = newMax;
}

int spill(SORT4* s) {
  CODE4* cb = s->cb;
  if (!s->fileOpen) {
    if (file4temp(&s->file, cb, nullptr, 0, 1) != 0) {
      sort4free(s);
      return -1;
    }
    s->fileOpen = 1;
    file4seqWriteInit(&s->writer, &s->file, 0, s->writerBuf,
                      static_cast<size_t>(cb->rebuildBufferSize));
  }
  quickSort(s, s->pointers, s->ptrFill);
  for (int32_t i = 0; i < s->ptrFill; ++i) {
    if (file4seqWrite(&s->writer, s->pointers[i], static_cast<size_t>(s->entryLen)) != 0) {
      sort4free(s);
      return -1;
    }
  }
  int64_t bytes = static_cast<int64_t>(s->ptrFill) * s->entryLen;
  if (s->nRuns == 0) s->runBytes = bytes;
  s->totalBytes += bytes;
  s->ptrFill = 0;
  ++s->nRuns;
  return 0;
}

int64_t runEnd(const SORT4* s, int32_t run) {
  int64_t end = (static_cast<int64_t>(run) + 1) * s->runBytes;
  return end < s->totalBytes ? end : s->totalBytes;
}

// Reads the next slice of a run into its buffer; 0 with data, 1 at its end.
int readRunSlice(SORT4* s, SORT4RUN* r, size_t bufBytes) {
  r->pos = r->len = 0;
  if (r->nextOffset < 0) return 1;
  int64_t left = runEnd(s, r->run) - r->nextOffset;
  size_t want = left < static_cast<int64_t>(bufBytes) ? static_cast<size_t>(left) : bufBytes;
  if (want == 0) {
    r->nextOffset = -1;
    return 1;
  }
  size_t got = file4read(&s->file, r->nextOffset, r->buffer, want);
  if (s->cb->errorCode < 0) return -1;
  if (got == 0) {
    r->nextOffset = -1;
    return 1;
  }
  if (got % static_cast<size_t>(s->entryLen) != 0) {
    error4reportEx(s->cb, err4read, "File Name:", s->file.name, nullptr);
    return -1;
  }
  r->len = got;
  r->nextOffset += static_cast<int64_t>(got);
  return 0;
}

size_t runBufferBytes(const SORT4* s) {
  int32_t perChunk = s->chunks.count;
  int32_t share = (s->nRuns + perChunk - 1) / perChunk;
  return static_cast<size_t>(s->entriesPerChunk / share) * static_cast<size_t>(s->entryLen);
}

// Moves runs[0] to its place among runs[1..] by binary search.
void reposition(SORT4* s) {
  SORT4RUN first = s->runs[0];
  const char* key = first.buffer + first.pos;
  int32_t lo = 1, hi = s->runsActive;
  while (lo < hi) {
    int32_t mid = lo + (hi - lo) / 2;
    const SORT4RUN& m = s->runs[mid];
    if (compareEntries(s, m.buffer + m.pos, key) < 0) lo = mid + 1;
    else hi = mid;
  }
  std::memmove(&s->runs[0], &s->runs[1], sizeof(SORT4RUN) * static_cast<size_t>(lo - 1));
  s->runs[lo - 1] = first;
}

} // namespace

int sort4init(SORT4* s, CODE4* cb, int sortLen, int infoLen) {
  std::memset(s, 0, sizeof(*s));
  s->file.fd = -1;
  s->cb = cb;
  if (cb == nullptr || cb->errorCode < 0) return -1;
  if (sortLen < 0 || infoLen < 0 || sortLen > 65535 || infoLen > 65535)
    return error4reportEx(cb, err4parm, "Sorting", nullptr, nullptr);
  s->sortLen = sortLen;
  s->infoLen = infoLen;
  s->entryLen = sortLen + static_cast<int>(sizeof(int32_t)) + infoLen;
  s->cmp = bytewise;
  s->chunkSize = static_cast<size_t>(cb->sortPoolSize > 4096 ? cb->sortPoolSize : 4096);
  s->entriesPerChunk = static_cast<int32_t>((s->chunkSize - kChunkLink) / static_cast<size_t>(s->entryLen));
  s->ptrCapacity = static_cast<int32_t>(s->chunkSize / 4);
  if (s->entriesPerChunk <= 0)
    return error4reportEx(cb, err4parm, "Sorting", nullptr, nullptr);
  s->moreMemory = 1;
  size_t bufSize = static_cast<size_t>(cb->rebuildBufferSize > 1024 ? cb->rebuildBufferSize : 1024);
  s->writerBuf = static_cast<char*>(u4allocRetry(cb, bufSize));
  if (s->writerBuf == nullptr) return outOfMemory(s);
  while (s->pointers == nullptr && s->ptrCapacity >= 256) {
    s->pointers = static_cast<char**>(u4allocRetry(cb, sizeof(char*) * static_cast<size_t>(s->ptrCapacity)));
    if (s->pointers == nullptr) s->ptrCapacity /= 2;
  }
  if (s->pointers == nullptr) return outOfMemory(s);
  s->pool = mem4pool(cb, 1, static_cast<int>(s->chunkSize), 1, 1);
  if (s->pool == nullptr) return outOfMemory(s);
  return 0;
}

int sort4put(SORT4* s, int32_t recNo, const void* key, const void* info) {
  if (s->cb == nullptr || s->cb->errorCode < 0 || s->pointers == nullptr) return -1;
  if (s->ptrFill == s->slots && s->moreMemory && !takeChunk(s)) splitTail(s);
  if (s->ptrFill == s->slots) {
    if (s->slots == 0) return outOfMemory(s);
    if (spill(s) != 0) return -1;
  }
  char* entry = s->pointers[s->ptrFill++];
  std::memcpy(entry, key, static_cast<size_t>(s->sortLen));
  std::memcpy(entry + s->sortLen, &recNo, sizeof(recNo));
  if (s->infoLen > 0) std::memcpy(entry + s->sortLen + sizeof(recNo), info, static_cast<size_t>(s->infoLen));
  return 0;
}

int sort4getInit(SORT4* s) {
  CODE4* cb = s->cb;
  if (cb == nullptr || cb->errorCode < 0 || s->pointers == nullptr) return -1;
  if (s->nRuns == 0) {
    quickSort(s, s->pointers, s->ptrFill);
    u4globalFree(s->writerBuf);
    s->writerBuf = nullptr;
    s->outPos = 0;
    return 0;
  }
  if (s->ptrFill > 0 && spill(s) != 0) return -1;
  if (file4seqFlush(&s->writer) != 0) {
    sort4free(s);
    return -1;
  }
  u4globalFree(s->writerBuf);
  s->writerBuf = nullptr;
  u4globalFree(s->pointers);
  s->pointers = nullptr;
  s->merging = 1;

  // Short of memory, the descriptors come first: chunks go back one by one
  // until they fit, and the runs then share whatever chunks are left.
  const size_t descriptorBytes = sizeof(SORT4RUN) * static_cast<size_t>(s->nRuns);
  s->runs = static_cast<SORT4RUN*>(u4allocRetry(cb, descriptorBytes));
  while (s->runs == nullptr && s->chunks.count > 0) {
    mem4giveBack(s->pool, l4pop(&s->chunks));
    s->runs = static_cast<SORT4RUN*>(u4allocRetry(cb, descriptorBytes));
  }
  if (s->runs == nullptr) return outOfMemory(s);
  while (s->chunks.count == 0) {
    auto* chunk = static_cast<char*>(mem4take(s->pool, nullptr));
    if (chunk != nullptr) {
      l4append(&s->chunks, reinterpret_cast<LINK4*>(chunk));
      break;
    }
    // Not even one chunk: smaller chunks from a pool built anew.
    s->entriesPerChunk /= 2;
    if (s->entriesPerChunk == 0) return outOfMemory(s);
    mem4poolRelease(s->pool);
    s->chunkSize = kChunkLink + static_cast<size_t>(s->entriesPerChunk) * static_cast<size_t>(s->entryLen);
    s->pool = mem4pool(cb, 1, static_cast<int>(s->chunkSize), 1, 1);
    if (s->pool == nullptr) return outOfMemory(s);
  }
  size_t bufBytes = runBufferBytes(s);
  if (bufBytes == 0) return outOfMemory(s);
  int32_t share = (s->nRuns + s->chunks.count - 1) / s->chunks.count;
  LINK4* chunk = l4first(&s->chunks);
  int32_t inChunk = 0;
  s->runsActive = 0;
  for (int32_t r = 0; r < s->nRuns; ++r) {
    if (inChunk == share) {
      chunk = l4next(&s->chunks, chunk);
      inChunk = 0;
    }
    SORT4RUN run{};
    run.buffer = reinterpret_cast<char*>(chunk) + kChunkLink + static_cast<size_t>(inChunk) * bufBytes;
    run.run = r;
    run.nextOffset = static_cast<int64_t>(r) * s->runBytes;
    ++inChunk;
    int rc = readRunSlice(s, &run, bufBytes);
    if (rc < 0) {
      sort4free(s);
      return -1;
    }
    if (rc == 1) continue;
    // Insertion keeps the descriptors ordered by their current entries.
    s->runs[s->runsActive++] = run;
    for (int32_t i = s->runsActive - 1;
         i > 0 && compareEntries(s, s->runs[i].buffer, s->runs[i - 1].buffer + s->runs[i - 1].pos) < 0;
         --i) {
      SORT4RUN t = s->runs[i];
      s->runs[i] = s->runs[i - 1];
      s->runs[i - 1] = t;
    }
  }
  s->lastGiven = 0;
  return 0;
}

int sort4get(SORT4* s, int32_t* recNo, void** key, void** info) {
  CODE4* cb = s->cb;
  if (cb == nullptr || cb->errorCode < 0) return -1;
  char* entry = nullptr;
  if (!s->merging) {
    if (s->pointers == nullptr || s->outPos >= s->ptrFill) {
      sort4free(s);
      return 1;
    }
    entry = s->pointers[s->outPos++];
  } else {
    if (s->lastGiven && s->runsActive > 0) {
      SORT4RUN& r = s->runs[0];
      r.pos += static_cast<size_t>(s->entryLen);
      if (r.pos >= r.len) {
        int rc = readRunSlice(s, &r, runBufferBytes(s));
        if (rc < 0) {
          sort4free(s);
          return -1;
        }
        if (rc == 1) {
          std::memmove(&s->runs[0], &s->runs[1], sizeof(SORT4RUN) * static_cast<size_t>(s->runsActive - 1));
          --s->runsActive;
        } else {
          reposition(s);
        }
      } else {
        reposition(s);
      }
    }
    if (s->runsActive == 0) {
      sort4free(s);
      return 1;
    }
    s->lastGiven = 1;
    entry = s->runs[0].buffer + s->runs[0].pos;
  }
  if (recNo != nullptr) *recNo = recOf(s, entry);
  if (key != nullptr) *key = entry;
  if (info != nullptr) *info = entry + s->sortLen + sizeof(int32_t);
  return 0;
}

void sort4free(SORT4* s) {
  if (s->fileOpen) file4close(&s->file);
  u4globalFree(s->writerBuf);
  u4globalFree(s->pointers);
  u4globalFree(s->runs);
  if (s->pool != nullptr) {
    // Units go back to the private pool, which then frees its chunks.
    while (LINK4* chunk = l4pop(&s->chunks)) mem4give(s->pool, chunk);
    mem4poolRelease(s->pool);
  }
  CODE4* cb = s->cb;
  std::memset(s, 0, sizeof(*s));
  s->cb = cb;
  s->file.fd = -1;
}
