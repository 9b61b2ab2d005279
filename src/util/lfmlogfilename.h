#pragma once
// Log file names. A name is made from a directory, a prefix, the broken-down
// start time of the file's period, the rotation settings and the size
// rotation's sequence number, so that the name alone tells which period a
// file covers: a new period always opens a new file, a reopened period
// appends to the same one.

#include <cstdint>
#include <ctime>
#include <string>

// Rotation periods, in the order of their names.
enum lfmRotationPeriod : int32_t {
  kRotateHourly = 0,
  kRotateDaily = 1,
  kRotateWeekly = 2,
  kRotateMonthly = 3,
  kRotateQuarterly = 4,
  kRotateYearly = 5,
  kRotateHours = 6,
  kRotateMinutes = 7,
  kRotateNone = 8,
};

// How names are spelled, apart from the period.
struct lfmLogNameStyle {
  bool numericMonth = false;      // "05" instead of "may"
  std::string extension = "log";  // without the dot
  // The hosted service model's pattern (time stamp, host name, busy
  // extension; no sequence number) instead of the period patterns.
  bool hostedService = false;
  std::string hostName = "localhost";
  std::string busyExtension = "kyrbusy";
};

class lfmLogFileName {
 public:
  // Writes into `out` the name of the file that begins the period of `t`
  // (a calendar time as gmtime or localtime gives it). `dir` ends in a
  // separator. A `sequence` of 1 or more adds "(sequence + 1)" before the
  // extension. Intervals outside their valid sets fall back to their
  // defaults (2 hours, 30 minutes); `weekStart` is 0 = Sunday .. 6.
  static void Build(const std::string& dir, const std::string& prefix, const std::tm& t,
                    int32_t period, int32_t days, int32_t weekStart, int32_t hoursInterval,
                    int32_t minutesInterval, std::string& out, uint32_t sequence,
                    const lfmLogNameStyle& style);

  // The most recent `weekStart` day on or before the date of `t` (at most
  // six days back), month and year ends crossed with the real month lengths.
  static std::tm WeekStartDate(const std::tm& t, int32_t weekStart);

  // The intervals that divide a day evenly: 2, 4, 6, 8, 12 hours;
  // 1, 2, 3, 4, 5, 6, 10, 12, 15, 20, 30 minutes.
  static bool IsHoursInterval(int32_t hours);
  static bool IsMinutesInterval(int32_t minutes);

  // "jan".."dec", or "01".."12" when numeric; `month` is 0..11.
  static std::string MonthText(int month, bool numeric);
};
