// Number and text conversions of the table engine.
//
// None of these depends on the process locale: tables written under one locale must read
// the same under another, so digits, points and case are always the ASCII ones.
#pragma once

#include <cstdint>

// Reads at most 49 characters of `text` as a number the way the C library's atof does
// (leading blanks, sign, digits, point, exponent; anything unreadable gives 0). Numbers
// beyond the range of a double give +-infinity, as strtod does.
double c4textToDouble(const char* text, int n);

// Reads at most 127 characters as a signed integer (leading blanks, sign, digits). The
// result is the low 32 bits of the value, so "4294967295" reads as -1 and bit 31 of a
// stored flag word survives.
int32_t c4textToInt(const char* text, int n);

// Writes `value` right-aligned into exactly `length` bytes with `decimals` fraction
// digits. Values that do not fit (and infinities and NaN) fill the field with '*'.
void c4doubleToText(double value, char* buffer, int length, int decimals);

// Writes `value` right-aligned into |length| bytes: blank-padded with a positive length,
// zero-padded with a negative one. A value that does not fit fills the field with '*'.
void c4longToText(int64_t value, char* buffer, int length);

// Terminates `text` at its first zero byte or after n - 1 characters, then turns the
// blanks directly before that end into zero bytes.
void c4trimBlanks(char* text, int n);

// ASCII-only case changes in place, over a terminated text.
void c4upper(char* text);
void c4lower(char* text);
void c4upperN(char* text, int n);
void c4lowerN(char* text, int n);

// Number of halvings until n is at most 1.
int c4log2(long n);

// Rearranges `data`, laid out by `sourcePicture`, into `targetPicture`: the destination
// starts as the target picture and each run of one letter in the source picture is copied
// to where that letter stands in the target. The destination gets the target's length and
// is not terminated.
void c4encode(char* destination, const char* data, const char* targetPicture,
              const char* sourcePicture);
