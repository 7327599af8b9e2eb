// Dates: "CCYYMMDD" text (all blanks = empty), Julian day numbers
// (1 January of year 1 = 1,721,426; empty = 0; impossible = -1) and pictures,
// in which C, Y, M and D mark century, year, month and day digits and a run of
// three or more M's the month's name. Independent of the process locale.
#pragma once

#include <cstdint>

int32_t date4toJulian(const char* date);
// 8 characters, not terminated; blanks outside years 1 to 9999.
void date4fromJulian(char* result, int32_t julian);
int date4dayOfYear(int year, int month, int day); // 1..366, -1 impossible
int date4monthDay(int year, int dayOfYear, int* month, int* day);
int32_t date4yearDays(int year); // days before the year
int date4dow(const char* date); // 1 Sunday .. 7 Saturday, 0 impossible
const char* date4dayName(const char* date);
const char* date4monthName(const char* date);
int date4day(const char* date);
int date4month(const char* date);
int date4year(const char* date);
double date4double(const char* date); // empty: 1e100
int date4doubleOut(const char* date, double* out);
// Result has the picture's length (pictures are cut to 256) and is terminated.
void date4format(const char* date, char* result, const char* picture);
// Result: 8 characters, not terminated.
void date4parse(char* result, const char* text, const char* picture);
void date4today(char* result);  // 8 characters
void date4timeNow(char* result); // "HH:MM:SS", 8 characters

// Writes data into dest laid out by the target picture: each run of one letter
// in the source picture lands where that letter stands in the target.
void c4encode(char* dest, const char* data, const char* targetPicture, const char* sourcePicture);
void c4trimBlanks(char* text, int n);
void c4upper(char* text);
void c4lower(char* text);
int c4log2(long n);
