#include "util/lfmlogfilename.h"

#include <gtest/gtest.h>

#include "util/lfmtimefuncs.h"

namespace {

std::tm At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_wday = lfmTimeFuncs::DayOfWeek(month, day, year);
  return t;
}

std::string Name(const std::tm& t, int32_t period, uint32_t sequence = 0,
                 lfmLogNameStyle style = lfmLogNameStyle(), int32_t weekStart = 0,
                 int32_t hours = 2, int32_t minutes = 30) {
  std::string out = "stale text";
  lfmLogFileName::Build("C:\\logs\\", "hlg", t, period, 1, weekStart, hours, minutes, out, sequence,
                        style);
  return out;
}

TEST(LogFileName, DailyNamesWithMonthTextAndSequence) {
  std::tm may7 = At(2004, 5, 7);
  EXPECT_EQ(Name(may7, kRotateDaily), "C:\\logs\\hlg_may_07_2004.log");
  EXPECT_EQ(Name(may7, kRotateDaily, 2), "C:\\logs\\hlg_may_07_2004(3).log");
  lfmLogNameStyle numeric;
  numeric.numericMonth = true;
  EXPECT_EQ(Name(may7, kRotateDaily, 0, numeric), "C:\\logs\\hlg_05_07_2004.log");
  EXPECT_EQ(Name(At(2004, 12, 1), kRotateDaily, 0, numeric), "C:\\logs\\hlg_12_01_2004.log");
}

TEST(LogFileName, HourBasesDifferBetweenPeriods) {
  EXPECT_EQ(Name(At(2004, 5, 7, 23, 10), kRotateHourly), "C:\\logs\\hlg_hr24_may_07_2004.log");
  EXPECT_EQ(Name(At(2004, 5, 7, 0, 10), kRotateHourly), "C:\\logs\\hlg_hr01_may_07_2004.log");
  EXPECT_EQ(Name(At(2004, 5, 7, 13, 59), kRotateHours, 0, {}, 0, 6),
            "C:\\logs\\hlg_hr13_may_07_2004.log");
  EXPECT_EQ(Name(At(2004, 5, 7, 11, 59), kRotateHours, 0, {}, 0, 6),
            "C:\\logs\\hlg_hr07_may_07_2004.log");
  EXPECT_EQ(Name(At(2004, 5, 7, 13, 47), kRotateMinutes, 0, {}, 0, 2, 15),
            "C:\\logs\\hlg_min45_hr13_may_07_2004.log");
  EXPECT_EQ(Name(At(2004, 5, 7, 0, 14), kRotateMinutes, 1, {}, 0, 2, 15),
            "C:\\logs\\hlg_min00_hr00_may_07_2004(2).log");
  // An interval outside its set falls back to the default (2 hours, 30 minutes).
  EXPECT_EQ(Name(At(2004, 5, 7, 13, 47), kRotateHours, 0, {}, 0, 0),
            "C:\\logs\\hlg_hr13_may_07_2004.log");
  EXPECT_EQ(Name(At(2004, 5, 7, 13, 47), kRotateMinutes, 0, {}, 0, 2, 7),
            "C:\\logs\\hlg_min30_hr13_may_07_2004.log");
}

TEST(LogFileName, LongerPeriods) {
  EXPECT_EQ(Name(At(2004, 11, 3), kRotateQuarterly), "C:\\logs\\hlg_qtr4_2004.log");
  EXPECT_EQ(Name(At(2004, 3, 31), kRotateQuarterly, 1), "C:\\logs\\hlg_qtr1_2004(2).log");
  EXPECT_EQ(Name(At(2004, 5, 7), kRotateMonthly), "C:\\logs\\hlg_may_2004.log");
  EXPECT_EQ(Name(At(2004, 5, 7), kRotateYearly, 3), "C:\\logs\\hlg_2004(4).log");
  EXPECT_EQ(Name(At(2004, 5, 7), kRotateNone), "C:\\logs\\hlg.log");
  EXPECT_EQ(Name(At(2004, 5, 7), kRotateNone, 1), "C:\\logs\\hlg(2).log");
}

TEST(LogFileName, WeeklyNamesCarryTheWeekStartDate) {
  // Wednesday 2004-03-03, weeks from Sunday: back across the leap day.
  EXPECT_EQ(Name(At(2004, 3, 3), kRotateWeekly), "C:\\logs\\hlg_wk_feb_29_2004.log");
  // Saturday 2005-01-01 with weeks from Monday: back into the old year.
  EXPECT_EQ(Name(At(2005, 1, 1), kRotateWeekly, 0, {}, 1), "C:\\logs\\hlg_wk_dec_27_2004.log");
  // A day before the week start goes back to the previous week start.
  EXPECT_EQ(Name(At(2004, 5, 9), kRotateWeekly, 0, {}, 1), "C:\\logs\\hlg_wk_may_03_2004.log");
  // The week start itself names its own week.
  EXPECT_EQ(Name(At(2004, 5, 10), kRotateWeekly, 0, {}, 1), "C:\\logs\\hlg_wk_may_10_2004.log");
  std::tm start = lfmLogFileName::WeekStartDate(At(2004, 5, 8), 6);
  EXPECT_EQ(start.tm_mday, 8);
}

TEST(LogFileName, HostedServiceModelPattern) {
  lfmLogNameStyle hosted;
  hosted.hostedService = true;
  hosted.hostName = "web01";
  std::string out;
  lfmLogFileName::Build("D:\\realtime\\", "kyr", At(2004, 5, 7, 13, 45, 10), kRotateDaily, 1, 0, 2,
                        30, out, 4, hosted);
  EXPECT_EQ(out, "D:\\realtime\\kyr-2004-05-07-13-04510-web01.kyrbusy");
}

}  // namespace
