// Number and text conversions of the table engine.
//
// None of these depends on the process locale: tables written under one locale must read
// the same under another, so digits, points and case are always the ASCII ones.
#pragma once

#include <cstdint>

// c4textToDouble, c4textToInt, c4doubleToText and c4longToText live with the table layer.
#include "xbase/numbers.h"

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
