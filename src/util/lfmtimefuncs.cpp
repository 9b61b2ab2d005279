#include "util/lfmtimefuncs.h"

#include <cstdint>
#include <cstring>
#include <limits>

#include "util/lfmutility.h"
#include "util/whexceptiontexts.h"

namespace {

const char kModule[] = "./src/util/lfmtimefuncs.cpp";
using whText::kInvalidUsage;

const char* const kMonths[13] = {"",    "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kFullMonths[13] = {"",        "January",  "February", "March",  "April",
                                     "May",     "June",     "July",     "August", "September",
                                     "October", "November", "December"};
const char* const kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kFullDays[8] = {"Sunday",   "Monday", "Tuesday",  "Wednesday",
                                  "Thursday", "Friday", "Saturday", "None"};
const int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Days from 1970-01-01 to a proleptic Gregorian date (month 1..12).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

}  // namespace

const char* lfmTimeFuncs::GetMonthName(int month) {
  if (month < 1 || month > 12) {
    throw whException("lfmTimeFuncs", "GetMonthName", kModule, __LINE__, kInvalidUsage,
                      "Month number out of range (1 - 12).");
  }
  return kMonths[month];
}

const char* lfmTimeFuncs::GetDayName(int day) {
  if (day < 0 || day > 6) {
    throw whException("lfmTimeFuncs", "GetDayName", kModule, __LINE__, kInvalidUsage,
                      "Day of week out of range (0 - 6).");
  }
  return kDays[day];
}

int lfmTimeFuncs::GetDayNumber(const char* fullDayName) {
  if (!fullDayName)
    return 7;
  for (int i = 0; i < 7; ++i) {
    if (lfmUtility::EqualsNoCase(fullDayName, kFullDays[i]))
      return i;
  }
  return 7;
}

const char* lfmTimeFuncs::GetFullDayName(int day) {
  return (day >= 0 && day <= 7) ? kFullDays[day] : kFullDays[7];
}

const char* const* lfmTimeFuncs::MonthNames() {
  return kMonths;
}

const char* lfmTimeFuncs::GetFullMonthName(int month) {
  return (month >= 1 && month <= 12) ? kFullMonths[month] : "";
}

bool lfmTimeFuncs::IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int lfmTimeFuncs::DaysInYear(int year) {
  return IsLeapYear(year) ? 366 : 365;
}

int lfmTimeFuncs::DaysInMonth(int month, int year) {
  if (month < 1 || month > 12)
    return 0;
  if (month == 2 && IsLeapYear(year))
    return 29;
  return kMonthDays[month - 1];
}

void lfmTimeFuncs::NextDay(std::tm& t) {
  int year = t.tm_year + 1900;
  int mon = (t.tm_mon >= 0 && t.tm_mon < 12) ? t.tm_mon : 0;
  if (t.tm_mday >= DaysInMonth(mon + 1, year)) {
    t.tm_mday = 1;
    if (mon == 11) {
      t.tm_mon = 0;
      ++t.tm_year;
      t.tm_yday = 0;
    } else {
      t.tm_mon = mon + 1;
      ++t.tm_yday;
    }
  } else {
    ++t.tm_mday;
    ++t.tm_yday;
  }
  t.tm_wday = (t.tm_wday + 1) % 7;
}

void lfmTimeFuncs::PreviousDay(std::tm& t) {
  int mon = (t.tm_mon >= 0 && t.tm_mon < 12) ? t.tm_mon : 0;
  if (t.tm_mday <= 1) {
    if (mon == 0) {
      t.tm_mon = 11;
      --t.tm_year;
      t.tm_yday = DaysInYear(t.tm_year + 1900) - 1;
    } else {
      t.tm_mon = mon - 1;
      --t.tm_yday;
    }
    t.tm_mday = DaysInMonth(t.tm_mon + 1, t.tm_year + 1900);
  } else {
    --t.tm_mday;
    --t.tm_yday;
  }
  t.tm_wday = t.tm_wday <= 0 ? 6 : t.tm_wday - 1;
}

void lfmTimeFuncs::GoBackDays(std::tm& t, int n) {
  for (int i = 0; i < n; ++i)
    PreviousDay(t);
}

bool lfmTimeFuncs::WithinDays(const std::tm& a, const std::tm& b, int n) {
  if (a.tm_year == b.tm_year)
    return b.tm_yday - a.tm_yday < n;
  if (b.tm_year == a.tm_year + 1 && n >= 2) {
    return DaysInYear(a.tm_year + 1900) + b.tm_yday - a.tm_yday < n;
  }
  return false;
}

time_t lfmTimeFuncs::NextUtcMidnight(time_t t) {
  // Times come from clients too: the last representable day has no successor.
  int64_t day = FloorDiv(static_cast<int64_t>(t), 86400);
  if (day >= INT64_MAX / 86400 - 1)
    return std::numeric_limits<time_t>::max();
  return static_cast<time_t>((day + 1) * 86400);
}

int lfmTimeFuncs::DayOfWeek(int month, int day, int year) {
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(month, year))
    return -1;
  int64_t days = DaysFromCivil(year, month, day);
  // 1970-01-01 was a Thursday.
  int64_t w = (days + 4) % 7;
  return static_cast<int>(w < 0 ? w + 7 : w);
}

time_t lfmTimeFuncs::ToUtc(const std::tm& t) {
  // Normalise the month first, then let the day count carry the rest.
  int64_t year = static_cast<int64_t>(t.tm_year) + 1900;
  int64_t mon = t.tm_mon;
  year += FloorDiv(mon, 12);
  mon -= FloorDiv(mon, 12) * 12;
  int64_t days = DaysFromCivil(year, mon + 1, 1) + (static_cast<int64_t>(t.tm_mday) - 1);
  return static_cast<time_t>(days * 86400 + static_cast<int64_t>(t.tm_hour) * 3600 +
                             static_cast<int64_t>(t.tm_min) * 60 + t.tm_sec);
}

bool lfmTimeFuncs::ParseDate(const char* text, int* month, int* day, int* year) {
  if (!text)
    return false;
  size_t len = strnlen(text, 20);
  if (len < 1 || len > 19)
    return false;
  int fields[3] = {0, 0, 0};
  size_t digits[3] = {0, 0, 0};
  int f = 0;
  for (size_t i = 0; i < len && f < 3; ++i) {
    char c = text[i];
    if (c == '/' || c == '-') {
      ++f;
      continue;
    }
    if (c < '0' || c > '9')
      return false;
    if (digits[f] >= 6)
      return false;  // no field of a date is that long
    fields[f] = fields[f] * 10 + (c - '0');
    ++digits[f];
  }
  if (f < 2 || digits[0] == 0 || digits[1] == 0 || digits[2] == 0)
    return false;
  int m = fields[0], d = fields[1], y = fields[2];
  if (digits[2] == 2 && y < 100)
    y += 2000;
  if (m < 1 || m > 12)
    return false;
  int maxDay = m == 2 ? 29 : kMonthDays[m - 1];
  if (d < 1 || d > maxDay)
    return false;
  if (y < 2000 || y > 2100)
    return false;
  if (month)
    *month = m;
  if (day)
    *day = d;
  if (year)
    *year = y;
  return true;
}

bool lfmTimeFuncs::BreakDownUtc(time_t t, std::tm* out) {
  int64_t seconds = static_cast<int64_t>(t);
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // Days to a civil date (proleptic Gregorian), eras of 400 years from
  // 0000-03-01.
  if (days > INT64_C(2000000000000) || days < -INT64_C(2000000000000))
    return false;
  int64_t z = days + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t year = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t day = doy - (153 * mp + 2) / 5 + 1;
  int64_t month = mp < 10 ? mp + 3 : mp - 9;
  if (month <= 2)
    ++year;
  if (year - 1900 > INT32_MAX || year - 1900 < INT32_MIN)
    return false;
  std::tm tm{};
  tm.tm_year = static_cast<int>(year - 1900);
  tm.tm_mon = static_cast<int>(month - 1);
  tm.tm_mday = static_cast<int>(day);
  tm.tm_hour = static_cast<int>(rest / 3600);
  tm.tm_min = static_cast<int>(rest % 3600 / 60);
  tm.tm_sec = static_cast<int>(rest % 60);
  int64_t weekday = (days + 4) % 7;  // 1970-01-01 was a Thursday
  tm.tm_wday = static_cast<int>(weekday < 0 ? weekday + 7 : weekday);
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  static const int kBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  tm.tm_yday = kBefore[month - 1] + static_cast<int>(day) - 1 + (leap && month > 2 ? 1 : 0);
  *out = tm;
  return true;
}
