#include "util/lfmlogfilename.h"

#include <cstdarg>
#include <cstdio>

#include "util/lfmtimefuncs.h"

namespace {

const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                               "jul", "aug", "sep", "oct", "nov", "dec"};

// Appends printf output of any length to `out`.
void AppendF(std::string& out, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

void AppendF(std::string& out, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  va_list again;
  va_copy(again, ap);
  char small[256];
  int n = std::vsnprintf(small, sizeof small, format, ap);
  va_end(ap);
  if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
    out.append(small, static_cast<size_t>(n));
  } else if (n >= 0) {
    size_t at = out.size();
    out.resize(at + static_cast<size_t>(n) + 1);
    std::vsnprintf(&out[at], static_cast<size_t>(n) + 1, format, again);
    out.resize(at + static_cast<size_t>(n));
  }
  va_end(again);
}

int ClampMonth(int month) {
  return month < 0 ? 0 : month > 11 ? 11 : month;
}

}  // namespace

bool lfmLogFileName::IsHoursInterval(int32_t hours) {
  return hours == 2 || hours == 4 || hours == 6 || hours == 8 || hours == 12;
}

bool lfmLogFileName::IsMinutesInterval(int32_t minutes) {
  for (int32_t ok : {1, 2, 3, 4, 5, 6, 10, 12, 15, 20, 30}) {
    if (minutes == ok)
      return true;
  }
  return false;
}

std::string lfmLogFileName::MonthText(int month, bool numeric) {
  month = ClampMonth(month);
  if (!numeric)
    return kMonths[month];
  const char digits[] = {static_cast<char>('0' + (month + 1) / 10),
                         static_cast<char>('0' + (month + 1) % 10), '\0'};
  return digits;
}

std::tm lfmLogFileName::WeekStartDate(const std::tm& t, int32_t weekStart) {
  std::tm d = t;
  int wday = lfmTimeFuncs::DayOfWeek(t.tm_mon + 1, t.tm_mday, t.tm_year + 1900);
  if (wday < 0)
    wday = t.tm_wday;
  if (weekStart < 0 || weekStart > 6)
    weekStart = 0;
  int back = wday >= weekStart ? wday - weekStart : wday - weekStart + 7;
  lfmTimeFuncs::GoBackDays(d, back);
  return d;
}

void lfmLogFileName::Build(const std::string& dir, const std::string& prefix, const std::tm& t,
                           int32_t period, int32_t days, int32_t weekStart, int32_t hoursInterval,
                           int32_t minutesInterval, std::string& out, uint32_t sequence,
                           const lfmLogNameStyle& style) {
  (void)days;  // every days interval shares the daily pattern
  out = dir;
  out += prefix;
  const int year = t.tm_year + 1900;
  const char* ext = style.extension.c_str();

  if (style.hostedService) {
    AppendF(out, "-%04d-%02d-%02d-%02d-0%02d%02d-%s.%s", year, ClampMonth(t.tm_mon) + 1, t.tm_mday,
            t.tm_hour, t.tm_min, t.tm_sec, style.hostName.c_str(), style.busyExtension.c_str());
    return;
  }

  const std::string month = MonthText(t.tm_mon, style.numericMonth);
  const char* mon = month.c_str();
  switch (period) {
    case kRotateHourly:
      AppendF(out, "_hr%02d_%s_%02d_%d", t.tm_hour + 1, mon, t.tm_mday, year);
      break;
    case kRotateWeekly: {
      std::tm w = WeekStartDate(t, weekStart);
      std::string wmon = MonthText(w.tm_mon, style.numericMonth);
      AppendF(out, "_wk_%s_%02d_%d", wmon.c_str(), w.tm_mday, w.tm_year + 1900);
      break;
    }
    case kRotateMonthly:
      AppendF(out, "_%s_%d", mon, year);
      break;
    case kRotateQuarterly:
      AppendF(out, "_qtr%d_%d", ClampMonth(t.tm_mon) / 3 + 1, year);
      break;
    case kRotateYearly:
      AppendF(out, "_%d", year);
      break;
    case kRotateHours: {
      int h = IsHoursInterval(hoursInterval) ? hoursInterval : 2;
      AppendF(out, "_hr%02d_%s_%02d_%d", (t.tm_hour / h) * h + 1, mon, t.tm_mday, year);
      break;
    }
    case kRotateMinutes: {
      int m = IsMinutesInterval(minutesInterval) ? minutesInterval : 30;
      AppendF(out, "_min%02d_hr%02d_%s_%02d_%d", (t.tm_min / m) * m, t.tm_hour, mon, t.tm_mday,
              year);
      break;
    }
    case kRotateNone:
      break;
    case kRotateDaily:
    default:
      AppendF(out, "_%s_%02d_%d", mon, t.tm_mday, year);
      break;
  }
  if (sequence > 0)
    AppendF(out, "(%llu)", static_cast<unsigned long long>(sequence) + 1);
  AppendF(out, ".%s", ext);
}
