// Number and date conversions between record text and values. None of them
// depends on the process locale.
#pragma once

#include <cstdint>

// Right-aligned digits over |length| characters; a negative length keeps
// leading zeros. '*' fill when the value does not fit.
void c4longToText(int64_t value, char* buffer, int length);
// Fixed-point text with `decimals` places, right-aligned; '*' fill when the
// integer digits do not fit or the value is not finite.
void c4doubleToText(double value, char* buffer, int length, int decimals);
// Reads at most n characters: leading blanks, sign, digits.
int64_t c4textToInt(const char* text, int n);
double c4textToDouble(const char* text, int n);

// "CCYYMMDD" to a day number (1 January of year 1 = 1,721,426): blanks give 0,
// an impossible date -1.
int32_t date4long(const char* ccyymmdd);
// Day number to "CCYYMMDD" (8 characters, not terminated); blanks outside
// years 1 to 9999.
void date4assign(char* ccyymmdd, int32_t julian);
