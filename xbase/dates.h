// Dates of the table engine.
//
// A stored date is the 8 characters "CCYYMMDD" (all blanks: the empty date). Its day number
// counts days of the proleptic Gregorian calendar so that 1 January of year 1 is 1,721,426;
// the empty date has day number 0 and an impossible date -1. Only years 1 to 9999 have a
// text form: other day numbers format as the empty date.
//
// A picture is a text in which 'C' marks century digits, 'Y' year digits, 'M' month digits
// (three or more M's: the month's name) and 'D' day digits; other characters stand as they
// are. Pictures are taken case-insensitively and cut to date4maxPicture characters.
#pragma once

#include <cstdint>

inline constexpr long date4firstDay = 1721426;  // 1 January 0001
inline constexpr long date4lastDay = 5373484;   // 31 December 9999
inline constexpr int date4maxPicture = 256;
inline constexpr double date4blankDouble = 1e100;  // the empty date as a double

// Day number of an 8-character date (not necessarily terminated); 0 empty, -1 impossible.
long date4toJulian(const char* date);
// Writes 8 characters (no terminator): the date of a day number, blanks outside 0001..9999.
void date4fromJulian(char* result, long dayNumber);

// Day of the year 1..366, or -1 when the date does not exist (year must be >= 0).
int date4dayOfYear(int year, int month, int day);
// Month and day of a day of the year; 0, or -1 when there is no such day.
int date4monthDay(int year, int dayOfYear, int* month, int* day);
// Days of all years before `year`.
long date4yearDays(int year);
bool date4isLeap(int year);

// 1 Sunday .. 7 Saturday; 0 for an impossible or empty date.
int date4dow(const char* date);
// "Sunday".."Saturday"; a blank name for an impossible date.
const char* date4dayName(const char* date);
// "January".."December"; "" for a month outside 1..12.
const char* date4monthName(const char* date);
int date4day(const char* date);
int date4month(const char* date);
int date4year(const char* date);

// The day number as a double; the empty date gives 1e100.
double date4double(const char* date);
int date4doubleOut(const char* date, double* result);

// Formats the date by the picture into `result` (picture length, at most 256, plus a
// terminator). `result` needs room for date4maxPicture + 1 bytes in the worst case.
void date4format(const char* date, char* result, const char* picture);
// Reads `text` by the picture into 8 characters "CCYYMMDD" (no terminator). Characters
// the text lacks count as blanks.
void date4parse(char* result, const char* text, const char* picture);

// Today as "CCYYMMDD" and the local time as "hh:mm:ss" (8 characters each, no terminator).
void date4today(char* result);
void date4timeNow(char* result);
