// Memo files (.dbt) and memo fields.
//
// Header (little-endian): 0 first block of the free chain (1 when new),
// 4 zero, 8 table name (8 characters, upper-case, zero-padded), 16 zero,
// 18 0x0102, 20 block size, 22 zero; a new file is these 24 bytes. Block 0
// never holds memo data. An entry starts on a block boundary: u16 0xFFFF,
// u16 data offset (8), u32 data length + 8, then the data. A free run starts
// with u32 next free run, u32 length in blocks; runs are chained in ascending
// order and the chain ends at the block at (or past) the end of the file.
#pragma once

#include "xbase/table.h"

#include <cstdint>

// With a name: create that file for the owner (or, with no owner, for the
// table named like the file). Without a name: a fresh temporary file beside
// the owner's memo file, deleted when closed.
int memo4file_create(MEMO4FILE* m, CODE4* cb, DATA4* owner, const char* name);
int memo4file_open(MEMO4FILE* m, DATA4* d, const char* name);
int memo4file_close(MEMO4FILE* m);
// Reads entry `block` into *buf (grown as needed); *len receives its length.
int memo4file_read(MEMO4FILE* m, int32_t block, char** buf, uint32_t* len, uint32_t* capacity);
// Writes n bytes as the entry whose reference is *block; the reference is
// replaced (0 for no contents).
int memo4file_write(MEMO4FILE* m, int32_t* block, const char* data, uint32_t n);
int memo4file_lock(MEMO4FILE* m);
int memo4file_unlock(MEMO4FILE* m);

int d4memoRefresh(DATA4* d);
int d4memoPack(DATA4* d);

int f4memoAssign(FIELD4* f, const char* text);
int f4memoAssignN(FIELD4* f, const char* bytes, uint32_t n);
int f4memoSetLen(FIELD4* f, uint32_t n);
uint32_t f4memoLen(FIELD4* f);
char* f4memoPtr(FIELD4* f);
const char* f4memoStr(FIELD4* f);
uint32_t f4memoCopyTo(FIELD4* f, char* buf, uint32_t size);
int f4memoRead(FIELD4* f);
int f4memoReadFile(FIELD4* f);
void f4memoReset(FIELD4* f);
void f4memoFree(FIELD4* f);
int f4memoFlush(FIELD4* f);
int f4memoWrite(FIELD4* f);
