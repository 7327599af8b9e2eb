// Tables: the dBASE table file, open-table handles, fields, navigation,
// write-back and the lock families.
//
// Table file layout (little-endian):
//   0   1   version: 0x03, or 0x8B with memo fields (bit 7: a .dbt belongs to it)
//   1   3   date of last update: year - 1900, month, day
//   4   4   record count
//   8   2   header length = 32 x fields + 33
//   10  2   record length, deletion flag included
//   28  1   production index flag
//   32  32n field descriptors: name (11, zero-padded), type letter, 4 zero,
//           length, decimals (character fields: 16-bit length at 16..17), 14 zero
//   ..  1   0x0D; create also writes 0x1A after it (not counted)
// Record n (from 1) starts at header length + (n - 1) x record length; byte 0 is
// the deletion flag (' ' live, '*' deleted), fields follow without separators.
#pragma once

#include "xbase/engine.h"

#include <cstdint>

inline constexpr int data4aliasMax = 10;
inline constexpr int field4nameMax = 10;

struct FIELD4INFO {
  const char* name; // null ends the list
  int type;
  unsigned len;
  unsigned dec;
};

struct TAG4INFO {
  const char* name; // null ends the list
  const char* expression;
  const char* filter;
  int unique;
  int descending;
};

struct FIELD4;
struct TAG4;

struct F4MEMO {
  int changed;
  int status; // 1 = not read for the current record
  char* contents;
  uint32_t len;
  uint32_t capacity;
  FIELD4* field;
};

struct FIELD4 {
  char name[field4nameMax + 1];
  int len;
  int dec;
  int type;
  int offset;
  DATA4* data;
  F4MEMO* memo;
};

struct MEMO4FILE {
  FILE4 file;
  DATA4* data;
  int blockSize;
  int locked;
  int unusable; // why the table's memo file cannot be used (an error code), 0 when it can
};

struct DATA4 {
  LINK4 link; // in CODE4::dataList; must stay first
  unsigned char header[10]; // bytes 0..9 of the file
  int64_t heldCount; // record count held in memory (only under a lock), -1 = none
  int headerLen;
  char* record;    // current record, recordLen + 1 bytes
  char* recordOld; // the record as it stands on disk
  int recordLen;
  int recChanged;
  int32_t recNo;     // current record, -1 = none
  int32_t oldNumber; // record held in recordOld, -1 = none
  FILE4 file;
  char alias[data4aliasMax + 1];
  CODE4* cb;
  int productionIndex; // header byte 28
  FIELD4* fields;
  int fieldCount;
  F4MEMO* memos;
  int memoCount;
  int32_t* locks; // record locks held: lockSlot, or an array for a group
  int lockCapacity;
  int lockedCount;
  int32_t lockSlot;
  int fileLocked;
  int appendLocked;
  int written; // a record was written: the header date is renewed on close
  int countPending; // appended to an exclusive file: the header's count is written at flush or close
  LIST4 indexes; // open index files
  TAG4* tagSelected; // ordering tag, null = record order
  int bofFlag;
  int eofFlag;
  MEMO4FILE memoFile;
  int64_t countRead; // record count last read from disk
  int oldValid;
};

// Creating, opening, closing.
DATA4* d4create(CODE4* cb, const char* name, const FIELD4INFO* fields, const TAG4INFO* tags);
DATA4* d4open(CODE4* cb, const char* name);
int d4close(DATA4* d);
const char* d4alias(DATA4* d);
void d4aliasSet(DATA4* d, char* alias);

// Fields.
int d4fieldCount(DATA4* d);
FIELD4* d4fieldByNumber(DATA4* d, int n);
int d4fieldNumber(DATA4* d, const char* name);
FIELD4* d4fieldByName(DATA4* d, const char* name);
const char* f4name(FIELD4* f);
int f4type(FIELD4* f);
int f4len(FIELD4* f);
int f4decimals(FIELD4* f);
DATA4* f4data(FIELD4* f);
char* f4ptr(FIELD4* f);
int64_t f4long(FIELD4* f);
double f4double(FIELD4* f);
int f4doubleOut(FIELD4* f, double* out);
size_t f4copyTo(FIELD4* f, char* buf, size_t size);
const char* f4str(FIELD4* f);
char* f4assignPtr(FIELD4* f);
void f4blank(FIELD4* f);
void f4assign(FIELD4* f, const char* text);
void f4assignN(FIELD4* f, const char* bytes, size_t n);
void f4assignLong(FIELD4* f, int64_t value);
void f4assignDouble(FIELD4* f, double value);

// Records.
char* d4record(DATA4* d);
int d4recordWidth(DATA4* d);
int64_t d4recordPosition(DATA4* d, int32_t n);
int32_t d4recordNumber(DATA4* d);
int32_t d4recordCount(DATA4* d);
int d4readRecord(DATA4* d, int32_t n, char* buf);
int d4readOld(DATA4* d, int32_t n);
int d4go(DATA4* d, int32_t n);
int d4goData(DATA4* d, int32_t n);
int d4goEof(DATA4* d);
int d4top(DATA4* d);
int d4bottom(DATA4* d);
int d4bof(DATA4* d);
int d4eof(DATA4* d);
void d4blank(DATA4* d);
void d4delete(DATA4* d);
void d4recall(DATA4* d);
int d4deleted(DATA4* d);
int d4changed(DATA4* d, int flag);
// Writes the record buffer as a new last record (under the append lock).
int d4append(DATA4* d);
int d4flushRecord(DATA4* d, int release);
int d4writeRecord(DATA4* d, int32_t n);
int d4writeData(DATA4* d, int32_t n);
int d4updateKeys(DATA4* d, int32_t n);
int d4writeHeader(DATA4* d, int renewDate, int includeCount);
int d4flush(DATA4* d);
int d4flushData(DATA4* d);
int d4flushTags(DATA4* d);
int code4flushAll(CODE4* cb);

// Locks.
int d4lockRecord(DATA4* d, int32_t n);
int d4lockAppend(DATA4* d);
int d4lockFile(DATA4* d);
int d4lockAll(DATA4* d);
int d4lockGroup(DATA4* d, const int32_t* recs, int count);
int d4lockIndexes(DATA4* d);
int d4lockTestRecord(DATA4* d, int32_t n);
int d4lockTestAppend(DATA4* d);
int d4lockTestFile(DATA4* d);
int d4lockTestIndexes(DATA4* d);
int d4unlockAll(DATA4* d);
int d4unlockData(DATA4* d);
int d4unlockFile(DATA4* d);
int d4unlockAppend(DATA4* d);
int d4unlockRecords(DATA4* d);
int d4unlockIndexes(DATA4* d);
int code4unlockAll(CODE4* cb);
