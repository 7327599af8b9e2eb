// Multiple-index files: up to 47 tags in one file beside a table, each a B-tree
// of fixed-size blocks ordered by a key expression.
//
// File layout (little-endian; block numbers count 512-byte units):
//   0     48    header: version 2, rebuild date, table name (12), units (2),
//               block bytes (2), production flag, 48, 32, tag count, end-of-file
//               block (32..35), free-list head (36..39), creation date (44..46)
//   529   1     1
//   544   1504  tag table: 47 entries of 32 bytes (header block, name, name tree)
//   4 x 512     tag header blocks, one block each, then the trees.
// A tree block holds k (0..3), the free-list link (4..7) and entries of g bytes
// (4-byte record or child number, then the key). A leaf has record number 0 in
// slot k; a branch has k keyed entries and its greatest child in slot k, each
// keyed entry carrying the greatest key of its child's subtree.
//
// Everything read from the file is checked before use: a damaged file answers
// -310 and is never trusted for sizes, block numbers or depths.
#pragma once

#include "xbase/byte_fields.h"
#include "xbase/engine.h"
#include "xbase/table.h"

#include <cstdint>

struct EXPR4;
struct INDEX4;
struct TAG4;

inline constexpr int i4maxTags = 47;
inline constexpr int i4maxDepth = 32;
inline constexpr int i4exprMax = 220;
inline constexpr int i4filterOffset = 762;

using t4cmpFn = int (*)(const void* a, const void* b, size_t len);

struct B4BLOCK {
  LINK4 link;
  TAG4* tag;
  int32_t fileBlock;
  int keyOn;   // current position
  int changed;
  unsigned char* data; // block bytes plus room for one more entry
  int pooled;          // a unit of the index file's block pool, data included
};

struct TAG4 {
  LINK4 link; // in INDEX4::tags; must stay first
  EXPR4* expr;
  EXPR4* filter;
  int uniqueCode; // 0 = not unique
  INDEX4* index;
  CODE4* cb;
  char alias[11];
  t4cmpFn cmp;
  char keyType;  // 'C', 'N', 'D'
  char exprType; // type of the key expression ('d', 'n', ...)
  // Header fields.
  int32_t root; // -1 = not yet read
  unsigned char flags;
  int keyLen;
  int keysMax;
  int groupLen;
  unsigned char counter;
  int descending;
  int64_t headerOffset;
  int hasKeys;
  int hasKeysWritten;
  int headerChanged;
  int rootChanged;
  int hasFilter;
  int retrying; // inside a re-read after another program's change
  B4BLOCK* path[i4maxDepth + 1]; // root first, current leaf last
  int depth;
  // Levels down to the leaves the last seek met (0: none yet). A seek's leaf
  // is read past the cache when not cached: one of many, it would only push
  // out the branch blocks every seek needs.
  int leafDepth;
  B4BLOCK* spare; // freed blocks kept for the next read, linked by `link.next`
  int spareCount;
  char* keyWork; // keyLen + 1 bytes
};

struct INDEX4 {
  LINK4 link; // in DATA4::indexes; must stay first
  FILE4 file;
  DATA4* data;
  CODE4* cb;
  LIST4 tags;
  unsigned char header[48];
  int blockBytes;
  int units;
  int32_t eof;
  int32_t freeList;
  int32_t firstData; // first block past the tag headers
  int headerChanged;
  int locked;
  int readLocked; // locked only to read past another program's update
  MEM4* blockPool; // units of a block record and its image (blockStart, blockExpand)
  size_t blockUnit;
};

// Block routines.
B4BLOCK* b4alloc(TAG4* t, int32_t fileBlock);
void b4free(B4BLOCK* b);
int b4flush(B4BLOCK* b);
int b4seek(B4BLOCK* b, const char* key, int len);
void b4insert(B4BLOCK* b, const void* key, int32_t rec);
void b4remove(B4BLOCK* b);
int b4skip(B4BLOCK* b, int n);
void b4goEof(B4BLOCK* b);
int b4lastPos(const B4BLOCK* b);
inline int b4numKeys(const B4BLOCK* b) { return static_cast<int>(xbase_bytes::get32(b->data)); }
inline unsigned char* b4entry(const B4BLOCK* b, int i) {
  return b->data + 8 + static_cast<size_t>(i) * static_cast<size_t>(b->tag->groupLen);
}
inline unsigned char* b4key(const B4BLOCK* b, int i) { return b4entry(b, i) + 4; }
inline int32_t b4recordNumber(const B4BLOCK* b, int i) { return static_cast<int32_t>(xbase_bytes::get32(b4entry(b, i))); }
inline int b4leaf(const B4BLOCK* b) { return xbase_bytes::get32(b4entry(b, b4numKeys(b))) == 0 ? 1 : 0; }
// Frees the blocks a tag keeps for reuse.
void t4releaseSpare(TAG4* t);

// Tag routines.
int t4seek(TAG4* t, const void* key, int len);
int t4go(TAG4* t, const void* key, int32_t rec);
int t4top(TAG4* t);
int t4bottom(TAG4* t);
int t4goEof(TAG4* t);
int t4eof(TAG4* t);
int32_t t4skip(TAG4* t, int32_t n);
int32_t t4recordNumber(TAG4* t);
const char* t4key(TAG4* t);
int t4keyFromRecord(TAG4* t, char** key);
int t4addKey(TAG4* t, const void* key, int32_t rec);
int t4addCurrent(TAG4* t, int32_t rec);
int t4removeKey(TAG4* t, const void* key, int32_t rec);
int t4removeCurrent(TAG4* t, int32_t rec);
int t4flush(TAG4* t);
int t4freeBlocks(TAG4* t);
int t4setKeyType(TAG4* t, int type);
// Key for a seek from text: C blank-padded/prefix, N decimal, D "CCYYMMDD".
// Answers the length to seek over.
int t4keyFromText(TAG4* t, const char* text, int len, char* key);
int t4keyFromDouble(TAG4* t, double value, char* key);
// Checks the whole tree: order, separators, record numbers, depth. 0 or -310.
int t4check(TAG4* t);
const char* t4alias(TAG4* t);

// Index routines.
INDEX4* i4create(DATA4* d, const char* name, const TAG4INFO* tags);
INDEX4* i4open(DATA4* d, const char* name);
int i4close(INDEX4* i);
int i4flush(INDEX4* i);
int i4flushTags(INDEX4* i);
int i4writeHeader(INDEX4* i);
TAG4* i4tagByName(INDEX4* i, const char* name);
int i4lock(INDEX4* i);
int i4unlock(INDEX4* i);
int i4lockTest(INDEX4* i);
// 0 unchanged, 1 changed (blocks dropped), 50 when another program's rebuild
// outlasted the lock attempts, -1 on error.
// 1 when another program changed the file (the blocks held are dropped), 0
// when not. Asked to keep the position, the table's selected tag stands on
// the same key and record (or after the last key) afterwards.
int i4versionCheck(INDEX4* i, int keepPosition = 0);
// Takes the index lock, waiting for another program's update to end for as
// many seconds as the lock attempts say (-1 without end): 0, 50 or -1.
int i4lockWait(INDEX4* i);
// The lock a reader takes to read past another program's update; it writes
// nothing and is released without a flush.
int i4readLock(INDEX4* i);
void i4readUnlock(INDEX4* i);
// 1 when another program holds the index lock (an update is under way).
int i4writerActive(INDEX4* i);
// Test seam: called each time a reader waits for another program's index lock.
void i4setLockWaitHook(void (*hook)());
int32_t i4extend(INDEX4* i);
int i4freeBlock(INDEX4* i, int32_t block);
int i4rebuild(INDEX4* i);
// Whether every tag holds exactly the keys its records give: 0 when it does,
// 1 when a tree is damaged or a key is missing, extra or points at the wrong
// record (as a write stopped half way leaves it), 50 when another program
// holds the index lock, -1 on error. Reads the table once in order and walks
// each tag once, under the index lock.
int i4verify(INDEX4* i);
// Whether a block number may hold a tree block of this index.
inline bool i4blockOk(const INDEX4* ix, int64_t blk) {
  return blk >= ix->firstData && (blk - 4) % ix->units == 0 && blk + ix->units <= ix->eof;
}

// Table side.
TAG4* d4tagByName(DATA4* d, const char* name);
TAG4* d4tagDefault(DATA4* d);
void d4tagSelect(DATA4* d, TAG4* t);
TAG4* d4tagSelected(DATA4* d);
INDEX4* d4indexByName(DATA4* d, const char* name);
// 0 found, 2 positioned on the next greater key, 3 end of file, 80 no tag.
int d4seek(DATA4* d, const char* text);
int d4seekLen(DATA4* d, const char* text, int len);
int d4seekDouble(DATA4* d, double value);
int d4reindex(DATA4* d);
// Key maintenance for one record: add (append) or remove all its keys.
int d4addKeys(DATA4* d, int32_t n);
int d4updateKeysIndexed(DATA4* d, int32_t n);
int i4closeAll(DATA4* d);
void d4undoKeys(DATA4* d, int32_t n, bool hadOld);
int d4flushIndexes(DATA4* d);
int d4freeBlocks(DATA4* d);
TAG4* d4tagNext(DATA4* d, TAG4* t);
TAG4* d4tagPrev(DATA4* d, TAG4* t);
int d4topBottomTag(DATA4* d, TAG4* t, bool top);
