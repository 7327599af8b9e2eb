// Table engine core: the settings record, error convention, lists, unit pools,
// raw memory, files with byte-range locks, and small utilities.
//
// Plain records and functions; single-threaded: one thread owns a CODE4 and
// everything opened through it. Other processes are kept apart by byte-range
// locks (open-file-description locks, so two opens in one process conflict
// just like two processes do).
#pragma once

#include <cstddef>
#include <cstdint>

// Results: 0 success, negative = error (raised, stored in CODE4::errorCode),
// positive = status (returned, not an error).
enum : int {
  status4after = 2,       // seek stopped on the next greater key
  status4eof = 3,         // end of file
  status4entry = 5,       // record or key not found / unreadable record
  status4unique = 20,     // a unique tag refused a duplicate key
  status4uniqueCont = 25, // a duplicate key was left out of a unique tag
  status4locked = 50,     // held by another user, attempts ran out
  status4noCreate = 60,   // create failed while createError is off
  status4noOpen = 70,     // open failed while openError is off
  status4noTag = 80,      // no tag to seek on
};

enum : int {
  err4close = -10,
  err4create = -20,
  err4len = -30,
  err4lenSet = -40,
  err4lock = -50,
  err4open = -60,
  err4read = -70,
  err4remove = -80,
  err4rename = -90,
  err4seek = -100,
  err4unlock = -110,
  err4write = -120,
  err4data = -200,
  err4fieldName = -210,
  err4fieldType = -220,
  err4recordLen = -230,
  err4entry = -300,
  err4index = -310,
  err4tagName = -330,
  err4unique = -340,
  err4commaOrBracket = -400,
  err4incomplete = -410,
  err4dataName = -420,
  err4iifLength = -422,
  err4constantParms = -425,
  err4parmCount = -430,
  err4overflow = -440,
  err4rightBracket = -450,
  err4typeSub = -460,
  err4unrecognizedFunction = -470,
  err4unrecognizedOperator = -480,
  err4unrecognizedValue = -490,
  err4unterminated = -500,
  err4flush = -630,
  err4info = -910,
  err4memory = -920,
  err4parm = -930,
  err4result = -950,
  err4noIndex = -1010,
  err4noMemo = -1020,
};

struct LINK4 {
  LINK4* next;
  LINK4* prev;
};

// Circular doubly linked list; `last->next` is the first element.
struct LIST4 {
  LINK4* last;
  LINK4* selected;
  int32_t count;
};

struct CODE4;
struct DATA4;

struct MEM4 {
  LINK4 link; // in the process-wide list of pools
  LIST4 chunks;
  LIST4 freeUnits;
  CODE4* cb;
  int32_t unitStart;
  int32_t unitSize;
  int32_t unitExpand;
  int32_t users; // owners sharing the pool; -1 private
};

struct FILE4 {
  LINK4 link;
  int64_t len; // length held in memory, -1 = none
  char* name;
  CODE4* cb;
  int fd; // -1 closed
  uint8_t temporary;
  uint8_t exclusiveOpen;
  uint8_t readOnlyOpen;
  uint8_t ownsName; // owns `name`
  uint8_t cacheKind; // block cache: 0 not taking part, 1 data, 2 index, 3 memo
  uint8_t hashAssigned;
  uint8_t writeBehindAllowed;
  uint8_t writeBehindOn; // writes stay in the cache until flushed or evicted
  uint8_t reallyOpen;    // 0: a temporary file that so far lives only in the cache
  uint8_t inCacheList;   // on CODE4::cacheFiles (`link`)
  int64_t hashOffset;
  int64_t cacheLen; // length including cached, unwritten blocks
  // A shared file's bytes as the system holds them, mapped read-only
  // (file_view.cpp): reads of them need no system call.
  const char* viewBase; // null: none
  int64_t viewLen;      // bytes of the file it covers
  int64_t viewSpan;     // bytes mapped
  uint8_t viewRefused;  // no view can be had: every read goes to the file
  uint8_t viewCurrent;  // 0: (re)make it at the next read
};

struct FILE4SEQWRITE {
  FILE4* file;
  int64_t pos;
  char* buffer;
  int32_t size;    // buffer size, a multiple of 1,024
  int32_t fillCap; // capacity of this filling
  int32_t room;    // free bytes left in this filling
};

struct FILE4SEQREAD {
  FILE4* file;
  int64_t pos;
  char* buffer;
  int32_t nextRead; // bytes the next read asks for
  int32_t size;
  int32_t lastRead; // bytes of the last read
  int32_t room;     // bytes not yet handed out
};

struct CODE4 {
  // Settings.
  int32_t defaultUnique;
  char dateFormat[20];
  int32_t blockSize;
  int32_t sortPoolSize;
  int32_t rebuildBufferSize;
  int32_t copyBufferSize;
  int32_t memoBlockSize;
  int32_t exprMemoSize;
  int32_t dataStart, dataExpand;
  int32_t indexStart, indexExpand;
  int32_t tagStart, tagExpand;
  int32_t blockStart, blockExpand;
  int32_t cacheLimit;
  int32_t autoOpen;
  int32_t createError;
  int32_t errorOff;
  int32_t exclusive;
  int32_t flushEveryWrite;
  int32_t exprError;
  int32_t fieldNameError;
  int32_t goError;
  int32_t openError;
  int32_t cacheMode;
  int32_t readLock;
  int32_t readOnly;
  int32_t safety;
  int32_t tagNameError;
  int32_t lockAttempts;
  int32_t blockCheck;
  int32_t writeBehind;
  // 1: a clean cached block of a shared data or memo file is read again at each
  // use (index files rely on their version checks).
  int32_t cacheReread;
  // Memory a sort may hold before it spills a run to disk. Allocation does not
  // fail on Linux, so without a cap a large sort would never spill.
  int64_t sortMemoryLimit;
  // Where temporary files go; empty: $TMPDIR, else /tmp.
  char tempDirectory[256];
  int32_t cacheBlockSize; // block cache
  int32_t readAheadSize;

  // State.
  int32_t errorCode;
  LIST4 dataList;
  MEM4* tablePool;
  MEM4* indexPool;
  MEM4* tagPool;
  MEM4* calcPool;
  LIST4 calcList;
  char* fieldBuffer;
  size_t fieldBufferLen;
  char* workBuf;
  size_t workBufLen;
  char* keyBuf;
  size_t keyBufLen;
  uint64_t initToken; // matches the engine's own note while the record is live
  struct CACHE4* cache;   // block cache, null when not running
  LIST4 cacheFiles;       // files taking part, whether the cache runs or not
  int32_t forceReal;      // file layer: a cache-only temporary file is being made real
  uint32_t activity;      // what the engine did lately, for the cache's choices
};

// Settings record.
int code4init(CODE4* cb); // -1 (and nothing changed) while tables are open
CODE4* code4new(int init);
int code4release(CODE4* cb);
int code4closeAll(CODE4* cb);
DATA4* code4findData(CODE4* cb, const char* alias);

// Errors. The report goes to a hook; the default writes to stderr. The program
// connects its message box here.
using error4hookFn = void (*)(const char* caption, const char* text, int systemModal);
void error4setHook(error4hookFn hook); // null restores the default
int error4get(CODE4* cb);
int error4set(CODE4* cb, int code);
const char* error4text(int code);
int error4report(CODE4* cb, int code, const char* line);
int error4reportEx(CODE4* cb, int code, const char* l1, const char* l2, const char* l3);
[[noreturn]] void error4severe(int code, const char* line);
void error4exitTest(CODE4* cb);
[[noreturn]] void error4exit();
// Formats the box text of error4reportEx into buf (260 bytes suffice).
void error4format(char* buf, size_t size, int code, const char* l1, const char* l2,
                  const char* l3);

// Lists.
void l4append(LIST4* list, LINK4* link);
void l4addAfter(LIST4* list, LINK4* anchor, LINK4* link);
void l4addBefore(LIST4* list, LINK4* anchor, LINK4* link);
LINK4* l4first(const LIST4* list);
LINK4* l4last(const LIST4* list);
LINK4* l4next(const LIST4* list, const LINK4* link);
LINK4* l4prev(const LIST4* list, const LINK4* link);
void l4remove(LIST4* list, LINK4* link);
LINK4* l4pop(LIST4* list);
int l4seek(const LIST4* list, const LINK4* link);

// Pools and raw memory.
MEM4* mem4pool(CODE4* cb, int start, int unitSize, int expand, int isPrivate);
void* mem4take(MEM4* pool, CODE4* cb);
void* mem4poolTake(CODE4* cb, MEM4** pool, int start, int unitSize, int expand, int isPrivate);
void mem4give(MEM4* pool, void* unit);
// Returns a unit's memory to the system where the pool allows it (one unit per chunk),
// else gives it back to the pool.
void mem4giveBack(MEM4* pool, void* unit);
void mem4poolRelease(MEM4* pool);
void mem4reset();
void* u4globalAlloc(size_t bytes);
void u4globalFree(void* p);
uint64_t u4allocCount(); // raw allocations so far, for tests of allocation-free paths
// Allocates; when that fails and the block cache runs, the cache gives its
// memory back for a second try and starts again afterwards.
void* u4allocRetry(CODE4* cb, size_t bytes);
// Failure seam for tests: after `after` more raw allocations succeed, the next
// `count` fail.
void u4injectAllocFailures(int count, int after = 0);
void* u4allocOrError(CODE4* cb, size_t bytes);
int u4allocAgain(CODE4* cb, char** buf, size_t* capacity, size_t newCapacity);

// Files.
int file4create(FILE4* f, CODE4* cb, const char* name, int copyName);
int file4open(FILE4* f, CODE4* cb, const char* name, int copyName);
int file4close(FILE4* f);
int64_t u4filelength(int hand);
int64_t file4length(FILE4* f);
int file4lenSet(FILE4* f, int64_t len);
int file4readAt(FILE4* f, int64_t pos, void* buf, size_t count);
// The same, but a whole cache block that is not cached is read from the file
// without being brought into the cache.
int file4readAtPassing(FILE4* f, int64_t pos, void* buf, size_t count);
size_t file4read(FILE4* f, int64_t pos, void* buf, size_t count);
int file4writeAt(FILE4* f, int64_t pos, const void* buf, size_t count);
// Writes the file's changed cached blocks (and with discard forgets them), then
// has the system write its buffers out.
int file4flush(FILE4* f, int discard = 0);
int file4flushKeepError(FILE4* f);
int file4refresh(FILE4* f);
// Block cache membership: mode 1 joins (kind 1 data, 2 index, 3 memo), 0 leaves,
// -1 joins exclusive and read-only files only. Joining applies `writeBehind`.
int file4setCache(FILE4* f, int mode, int kind);
// -1: writes may be held back for exclusive files only; 0: never; 1: for
// exclusive files in the cache. Switching it off writes out what was held.
int file4setWriteBehind(FILE4* f, int mode);
int file4writeBehind(FILE4* f, int on);
// Whether the file is open: on disk, or a temporary file living in the cache.
int file4isOpen(const FILE4* f);
int file4seqWriteInit(FILE4SEQWRITE* w, FILE4* f, int64_t start, char* buf, size_t size);
int file4seqWrite(FILE4SEQWRITE* w, const void* data, size_t count);
int file4seqWriteRepeat(FILE4SEQWRITE* w, size_t count, char value);
int file4seqFlush(FILE4SEQWRITE* w);
int file4seqReadInit(FILE4SEQREAD* r, FILE4* f, int64_t start, char* buf, size_t size);
size_t file4seqRead(FILE4SEQREAD* r, void* buf, size_t count);
int file4seqReadAll(FILE4SEQREAD* r, void* buf, size_t count);
// Name buffer (may be null) receives the full path of the file.
int file4temp(FILE4* f, CODE4* cb, char* nameBuf, size_t nameBufSize, int removeOnClose);
int file4replace(FILE4* target, FILE4* source);
// A buffer of copyBufferSize bytes, 2,048 less after each failure; below that
// a last try of 100 bytes raises -920 when it fails.
char* file4copyBuffer(CODE4* cb, size_t* size);
// Copies all of `from` over `to` from offset 0 through such a buffer.
int file4copy(FILE4* to, FILE4* from);
int file4lockRange(FILE4* f, int64_t offset, int64_t length);
// Test seam: the n-th direct write from now fails as a full disk would
// (n >= 1; -1 switches it off).
void file4injectWriteFailure(int afterWrites);
int file4unlockRange(FILE4* f, int64_t offset, int64_t length);
// 1 when another holder has a lock over the range, 0 when none, -1 on error.
int file4lockTestOther(FILE4* f, int64_t offset, int64_t length);

// Byte-range lock map.
inline constexpr int64_t lock4gate = 1999999999;
inline constexpr int64_t lock4append = 2000000000;
inline constexpr int64_t lock4fileStart = 1000000000;
inline constexpr int64_t lock4fileLen = 1000000001;
inline constexpr int32_t rec4max = 999999999; // larger numbers would reach the whole-file range

// Utilities. Paths use '/', and their case is never changed.
inline constexpr size_t u4pathMax = 4096;
void u4setExtension(char* name, size_t size, const char* ext, int replace);
void u4namePart(char* result, size_t size, const char* path, int keepDir, int keepExt);
size_t u4namePath(char* result, size_t size, const char* name);
size_t u4nameExt(char* result, size_t size, const char* name);
void u4nameMake(char* result, size_t size, const char* directory, const char* name);
int u4nameChar(int c);
size_t u4copyBounded(char* dest, const char* src, size_t size);
int u4remove(const char* name);
int u4rename(const char* oldName, const char* newName);
void u4todayYMD(unsigned char ymd[3]);
int64_t u4waitSecond();
void u4upper(char* text); // ASCII only, independent of the locale
