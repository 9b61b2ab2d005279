#pragma once
// Calendar routines: month and day names, leap years, day stepping, UTC
// conversion and date parsing. Broken-down times are std::tm (year since
// 1900, month 0..11, day of week 0 = Sunday, day of year 0..365).

#include <cstdint>
#include <ctime>

class lfmTimeFuncs {
 public:
  // "Jan".."Dec" for 1..12; throws code 1010 for any other number.
  static const char* GetMonthName(int month);
  // "Sun".."Sat" for 0..6; throws code 1010 for any other number.
  static const char* GetDayName(int day);
  // "Sunday" 0 .. "Saturday" 6, letter case ignored; anything else (null
  // included) 7, the "None" entry.
  static int GetDayNumber(const char* fullDayName);
  static const char* GetFullDayName(int day);  // 0..7, else "None"
  // The month table, indexed 1..12 (index 0 is empty).
  static const char* const* MonthNames();
  // "January".."December" for 1..12, else "".
  static const char* GetFullMonthName(int month);

  static bool IsLeapYear(int year);
  static int DaysInYear(int year);
  // Days of `month` (1..12) in `year`; 0 for a month out of range.
  static int DaysInMonth(int month, int year);

  // Step a broken-down time a day forward or back, rolling month and year
  // (leap-year February) and keeping day of week and day of year in step.
  static void NextDay(std::tm& t);
  static void PreviousDay(std::tm& t);
  static void GoBackDays(std::tm& t, int n);

  // True when b lies less than n days after a: same year, b's day of year
  // minus a's is below n; b in the following year and n >= 2, the days left
  // in a's year plus b's day of year below n; otherwise false.
  static bool WithinDays(const std::tm& a, const std::tm& b, int n);

  // The start of the UTC day after `t`, in seconds since 1970.
  static time_t NextUtcMidnight(time_t t);
  // Day of week (0 = Sunday) of a calendar date; -1 when the date is invalid.
  static int DayOfWeek(int month, int day, int year);
  // Seconds since 1970 of a broken-down time read as UTC (the fields are
  // normalised the way mktime does: a day 32 rolls into the next month).
  static time_t ToUtc(const std::tm& t);
  // The UTC calendar fields of `t` (year, month, day, time, weekday, day of
  // the year), computed without the C library's time-zone lock. False when
  // the year does not fit the fields.
  static bool BreakDownUtc(time_t t, std::tm* out);

  // Parses "month/day/year" or "month-day-year" (1 to 19 characters; month
  // 1..12, day within the month with February 29 always allowed, year 2000
  // to 2100, a two-digit year meaning 20yy). Fields after the third are
  // ignored. False, outputs untouched, when the text is not such a date.
  static bool ParseDate(const char* text, int* month, int* day, int* year);
};
