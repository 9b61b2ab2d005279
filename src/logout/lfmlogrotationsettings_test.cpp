#include "logout/lfmlogrotationsettings.h"

#include <gtest/gtest.h>

#include "tests/support/temproot.h"

namespace {

TEST(LogRotationSettings, PeriodNamesAndDayCounts) {
  struct {
    const char* text;
    int32_t period;
    int32_t days;
  } cases[] = {{"HOURLY", kRotateHourly, 1},     {"daily", kRotateDaily, 1},
               {"Weekly", kRotateWeekly, 1},     {"quarterly", kRotateQuarterly, 1},
               {"minutes", kRotateMinutes, 1},   {"None", kRotateNone, 1},
               {"7", kRotateDaily, 7},           {"30", kRotateDaily, 30},
               {"0", kRotateDaily, 1},           {"31", kRotateDaily, 1},
               {"7x", kRotateDaily, 1},          {"-7", kRotateDaily, 1},
               {"99999999999", kRotateDaily, 1}, {"", kRotateDaily, 1}};
  for (const auto& c : cases) {
    int32_t days = -1;
    EXPECT_EQ(lfmLogRotationSettings::ParsePeriod(c.text, &days), c.period) << c.text;
    EXPECT_EQ(days, c.days) << c.text;
  }
}

TEST(LogRotationSettings, DefaultsAndDirectory) {
  TempRoot root;
  const auto& v = lfmLogRotationSettings::Get();
  EXPECT_EQ(v.period, kRotateDaily);
  EXPECT_EQ(v.prefix, "hlg");
  EXPECT_EQ(v.directory, root.File("weblog/"));
  EXPECT_EQ(v.maxSizeBytes, 0);
  EXPECT_FALSE(v.gmtRotation || v.numericMonth || v.limitBySize);
  EXPECT_FALSE(root.Exists("log/kyr.audit"));  // nothing to report
}

TEST(LogRotationSettings, InvalidValuesFallBackWithMessages) {
  TempRoot hours(
      "[logrotation]\nrotationperiod = hours\nhoursinterval = 5\nminutesinterval = 7\n"
      "weekstart = Funday\nmaxlogfilesize = -5\nlimitbysize = true\nlogfiledir = /var/kyr\n");
  const auto& v = lfmLogRotationSettings::Get();
  EXPECT_EQ(v.hoursInterval, 2);
  EXPECT_EQ(v.minutesInterval, 30);
  EXPECT_EQ(v.weekStart, 0);
  EXPECT_EQ(v.maxSizeKB, 2000000);
  EXPECT_EQ(v.maxSizeBytes, 2000000LL * 1024);
  EXPECT_EQ(v.directory, NativePath("/var/kyr/"));
  std::string audit = hours.Read("log/kyr.audit");
  EXPECT_NE(audit.find("WARNING: Invalid Hours Interval -- Defaulting to hoursinterval= 2"),
            std::string::npos);
  // Minutes are not in use with period Hours: no message for them.
  EXPECT_EQ(audit.find("Minutes Interval"), std::string::npos);
  EXPECT_NE(audit.find("The Log Rotation Week Start setting (weekstart) is invalid.  It has been "
                       "set to sunday."),
            std::string::npos);
  EXPECT_NE(audit.find("The maximum log file size setting (maxlogfilesize) is less than zero.  "
                       "It has been set to 2000000."),
            std::string::npos);

  TempRoot minutes(
      "[logrotation]\nrotationperiod = Minutes\nminutesinterval = 7\nweekstart = monday\n"
      "maxlogfilesize = 100\n");
  EXPECT_EQ(lfmLogRotationSettings::WeekStart(), 1);
  EXPECT_EQ(lfmLogRotationSettings::MaxLogFileSizeKB(), 0);  // limitbysize off
  EXPECT_NE(minutes.Read("log/kyr.audit")
                .find("WARNING: Invalid Minutes Interval -- Defaulting to minutesinterval= 30"),
            std::string::npos);
}

}  // namespace
