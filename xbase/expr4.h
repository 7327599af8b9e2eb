// Expressions: dBASE expression texts compiled against a table into a postfix
// program whose intermediate values have fixed places in one work buffer, so
// evaluation allocates nothing.
//
// Value types: C text, N numeric field text, D date field text, L logical
// (32-bit 0/1), n double, d double Julian day (0 = blank date).
#pragma once

#include "xbase/table.h"

#include <cstdint>

struct CALC4;

struct EXPR4TOKEN {
  FIELD4* field;
  void* extra;  // char** record pointer of the table, DATA4*, or CALC4*
  int len;      // length of this token's result
  int entries; // tokens of the sub-expression ending here
  int parms;
  int pos;
  int first;    // field offset, constant offset, start, decimals, compare length
  int row;
  int tie;      // character > and <: outcome of equal prefixes
  void (*routine)();
};

struct EXPR4 {
  EXPR4TOKEN* tokens;
  int tokenCount;
  char* source;
  char* constants;
  int len;
  int type;
  DATA4* data;
  CODE4* cb;
  int workLen; // work-buffer bytes the program needs
  int trims;
};

struct CALC4 {
  LINK4 link;
  EXPR4* expr;
  void* total;
  char name[20];
  int refs;    // compiled expressions that call it
  int deleted; // off the list, freed with its last reference
};

EXPR4* expr4parse(DATA4* data, const char* text);
int expr4eval(EXPR4* e, char** result);
int expr4evalPart(EXPR4* e, int tokenIndex, char** result);
int expr4key(EXPR4* e, char** key);
int expr4keyConvert(EXPR4* e, char** value, int len, int type);
int expr4keyLen(EXPR4* e);
int expr4true(EXPR4* e);
double expr4double(EXPR4* e);
int expr4doubleOut(EXPR4* e, double* out);
int expr4len(EXPR4* e);
int expr4type(EXPR4* e);
const char* expr4source(EXPR4* e);
void expr4free(EXPR4* e);
int expr4lookup(const char* text, int len, int firstRow, int lastRow);
int expr4replaceName(EXPR4** e, const char* name, const char* replacement);

CALC4* calc4create(CODE4* cb, EXPR4* e, const char* name);
CALC4* calc4lookup(CODE4* cb, const char* name, int len);
void calc4delete(CALC4* calc);
void calc4deleteAll(CODE4* cb);

// Numeric key form: 12 bytes, exponent byte, sign and digit count, then up to
// 20 packed decimal digits.
void c4bcdFromText(char* key, const char* text, int len);
void c4bcdFromDouble(char* key, double value);
