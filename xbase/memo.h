// Memo contents: entries in the memo file (.dbt), its free chain, memo fields and pack.
//
// Entry (on a block boundary): u16 0xFFFF, u16 8 (offset of the data), u32 data length + 8,
// then the data; it occupies ceil((length + 8) / block size) blocks. A field refers to its
// entry by the first block number (10 digits); blank or 0 means no contents.
//
// Free chain: header word 0 names the first free run; a run begins with u32 next run,
// u32 length in blocks. Invariants kept by every write:
//  1. Runs are listed in ascending block order and never overlap or touch the header.
//  2. The last run's "next" is the block at the end of the file: the open end, from which
//     the file grows. No run is ever merged into that end.
//  3. A chain read from disk is checked against 1 and 2 before use; where it breaks, the
//     rest is ignored (its blocks stay unused) and the file grows instead.
//  4. Only a sound old entry (marker, length >= 8, inside the file) is freed.
#pragma once

#include <cstdint>

#include "xbase/table.h"

// With a name: creates that file (header with the owner's name, or the file's own, and the
// engine's memo block size). Without a name: a fresh temporary file beside the owner's memo
// file, deleted when closed.
int memo4file_create(MEMO4FILE* m, CODE4* cb, DATA4* owner, const char* name);
int memo4file_open(MEMO4FILE* m, DATA4* d, const char* name);
int memo4file_close(MEMO4FILE* m);
// The memo lock waits until it is free; taking it forgets what was known of the file.
int memo4file_lock(MEMO4FILE* m);
int memo4file_unlock(MEMO4FILE* m);

// Reads entry `block` into *buffer (grown with u4globalAlloc as needed, capacity in
// *capacity) and sets *length: 0 for no contents (block <= 0 or no entry marker), -910 for a
// damaged entry, -920 when memory runs out, -1 on a read error.
int memo4file_read(MEMO4FILE* m, int32_t block, char** buffer, uint32_t* length, uint32_t* capacity);
// Writes `n` bytes as the entry of *block (0: a new entry), reusing or freeing its old
// place; *block becomes the new reference (0 for n = 0). 0, or -1 after an error.
int memo4file_write(MEMO4FILE* m, int32_t* block, const char* data, uint32_t n);

int f4memoAssign(FIELD4* f, const char* text);
int f4memoAssignN(FIELD4* f, const char* bytes, uint32_t n);
int f4memoSetLen(FIELD4* f, uint32_t n);
uint32_t f4memoLen(FIELD4* f);
const char* f4memoPtr(FIELD4* f);
const char* f4memoStr(FIELD4* f);
uint32_t f4memoCopyTo(FIELD4* f, char* buffer, uint32_t size);
int f4memoRead(FIELD4* f);
int f4memoReadFile(FIELD4* f);
void f4memoReset(FIELD4* f);
void f4memoFree(FIELD4* f);
int f4memoFlush(FIELD4* f);
int f4memoWrite(FIELD4* f);
// Writes every changed memo field of the table, before its record is written or appended.
int d4memoFlushAll(DATA4* d, int appending);

int d4memoRefresh(DATA4* d);
// Rewrites the memo file with only the entries the records refer to. A failure leaves the
// table and its memo file as they were.
int d4memoPack(DATA4* d);
