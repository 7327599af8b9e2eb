// The 12-byte decimal form in which numeric keys are compared.
//
// Byte 0 is the decimal exponent: 52 plus the digits before the point, or 52 minus the
// zeros directly after the point for a value below 1. Byte 1 holds the sign in bit 7, the
// count of significant digits in bits 2 to 6 and 1 in bit 0. Bytes 2 to 11 hold up to 20
// digits, two per byte, high nibble first, from the first non-zero digit. Zero has no
// digits and a clear sign. Values whose exponent would not fit a byte are clamped to the
// largest key (sign kept) or, when tiny, taken as zero; NaN and -0 are zero.
#pragma once

inline constexpr int c4bcdLen = 12;

void c4bcdFromDouble(char* key, double value);
void c4bcdFromText(char* key, const char* text, int length);
// <0, 0, >0 as the first key sorts before, with or after the second.
int c4bcdCmp(const char* a, const char* b);
