#include "util/lfmtimefuncs.h"

#include "platform/lfmplatform.h"

#include <gtest/gtest.h>

#include <limits>

#include "util/whexception.h"

namespace {

std::tm Date(int year, int month, int day, int wday = 0, int yday = 0) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_wday = wday;
  t.tm_yday = yday;
  return t;
}

TEST(TimeNames, MonthsAndDaysWithRangeChecks) {
  EXPECT_STREQ(lfmTimeFuncs::GetMonthName(1), "Jan");
  EXPECT_STREQ(lfmTimeFuncs::GetMonthName(12), "Dec");
  EXPECT_STREQ(lfmTimeFuncs::GetDayName(0), "Sun");
  EXPECT_STREQ(lfmTimeFuncs::GetDayName(6), "Sat");
  try {
    lfmTimeFuncs::GetMonthName(0);
    FAIL();
  } catch (const whException& e) {
    EXPECT_EQ(e.Code(), 1010);
    EXPECT_EQ(e.Message(), "Invalid usage: Month number out of range (1 - 12).");
    EXPECT_EQ(e.SourceClassName(), "lfmTimeFuncs");
  }
  EXPECT_THROW(lfmTimeFuncs::GetMonthName(13), whException);
  try {
    lfmTimeFuncs::GetDayName(7);
    FAIL();
  } catch (const whException& e) {
    EXPECT_EQ(e.Message(), "Invalid usage: Day of week out of range (0 - 6).");
  }
  EXPECT_THROW(lfmTimeFuncs::GetDayName(-1), whException);
}

TEST(TimeNames, FullDayNameToNumber) {
  EXPECT_EQ(lfmTimeFuncs::GetDayNumber("sunday"), 0);
  EXPECT_EQ(lfmTimeFuncs::GetDayNumber("SATURDAY"), 6);
  EXPECT_EQ(lfmTimeFuncs::GetDayNumber("Sat"), 7);
  EXPECT_EQ(lfmTimeFuncs::GetDayNumber("Mondays"), 7);
  EXPECT_EQ(lfmTimeFuncs::GetDayNumber(nullptr), 7);
}

TEST(Calendar, DayStepsRollMonthYearAndLeapFebruary) {
  EXPECT_EQ(lfmTimeFuncs::DaysInMonth(2, 2000), 29);  // divisible by 400
  EXPECT_EQ(lfmTimeFuncs::DaysInMonth(2, 2100), 28);  // by 100 only

  std::tm t = Date(2004, 2, 28, 6, 58);
  lfmTimeFuncs::NextDay(t);
  EXPECT_EQ(t.tm_mon, 1);
  EXPECT_EQ(t.tm_mday, 29);
  lfmTimeFuncs::NextDay(t);
  EXPECT_EQ(t.tm_mon, 2);
  EXPECT_EQ(t.tm_mday, 1);
  EXPECT_EQ(t.tm_yday, 60);
  EXPECT_EQ(t.tm_wday, 1);

  std::tm y = Date(2004, 12, 31, 5, 365);
  lfmTimeFuncs::NextDay(y);
  EXPECT_EQ(y.tm_year, 105);
  EXPECT_EQ(y.tm_mon, 0);
  EXPECT_EQ(y.tm_mday, 1);
  EXPECT_EQ(y.tm_yday, 0);

  lfmTimeFuncs::PreviousDay(y);
  EXPECT_EQ(y.tm_year, 104);
  EXPECT_EQ(y.tm_mon, 11);
  EXPECT_EQ(y.tm_mday, 31);
  EXPECT_EQ(y.tm_yday, 365);
  EXPECT_EQ(y.tm_wday, 5);

  std::tm m = Date(2003, 3, 1, 0, 59);  // day of week 0 wraps to 6
  lfmTimeFuncs::PreviousDay(m);
  EXPECT_EQ(m.tm_mday, 28);
  EXPECT_EQ(m.tm_wday, 6);
  EXPECT_EQ(m.tm_yday, 58);

  std::tm g = Date(2004, 3, 5, 5, 64);
  lfmTimeFuncs::GoBackDays(g, 6);
  EXPECT_EQ(g.tm_mon, 1);
  EXPECT_EQ(g.tm_mday, 28);
}

TEST(Calendar, WithinDaysAcrossYearEnd) {
  std::tm a = Date(2004, 12, 30, 0, 364);
  std::tm b = Date(2005, 1, 2, 0, 1);
  EXPECT_TRUE(lfmTimeFuncs::WithinDays(a, b, 4));  // 366 + 1 - 364 = 3
  EXPECT_FALSE(lfmTimeFuncs::WithinDays(a, b, 3));
  EXPECT_FALSE(lfmTimeFuncs::WithinDays(a, b, 1));  // next year needs n >= 2
  std::tm c = Date(2004, 3, 1, 0, 60);
  std::tm d = Date(2004, 3, 3, 0, 62);
  EXPECT_TRUE(lfmTimeFuncs::WithinDays(c, d, 3));
  EXPECT_FALSE(lfmTimeFuncs::WithinDays(c, d, 2));
  std::tm far = Date(2006, 1, 1, 0, 0);
  EXPECT_FALSE(lfmTimeFuncs::WithinDays(a, far, 1000));
}

TEST(Calendar, UtcConversionsAreZoneIndependent) {
  // 2004-04-07 13:05:09 UTC.
  std::tm t = Date(2004, 4, 7);
  t.tm_hour = 13;
  t.tm_min = 5;
  t.tm_sec = 9;
  EXPECT_EQ(lfmTimeFuncs::ToUtc(t), 1081343109);
  EXPECT_EQ(lfmTimeFuncs::NextUtcMidnight(1081343109), 1081382400);
  EXPECT_EQ(lfmTimeFuncs::NextUtcMidnight(1081382400), 1081382400 + 86400);
  EXPECT_EQ(lfmTimeFuncs::NextUtcMidnight(-1), 0);
  EXPECT_EQ(lfmTimeFuncs::NextUtcMidnight(std::numeric_limits<time_t>::max()),
            std::numeric_limits<time_t>::max());
  std::tm overflow = Date(2004, 12, 32);  // normalised into the next year
  EXPECT_EQ(lfmTimeFuncs::ToUtc(overflow), lfmTimeFuncs::ToUtc(Date(2005, 1, 1)));
}

TEST(Calendar, DayOfWeek) {
  EXPECT_EQ(lfmTimeFuncs::DayOfWeek(4, 7, 2004), 3);  // Wednesday
  EXPECT_EQ(lfmTimeFuncs::DayOfWeek(1, 1, 1970), 4);
  EXPECT_EQ(lfmTimeFuncs::DayOfWeek(2, 29, 2000), 2);
  EXPECT_EQ(lfmTimeFuncs::DayOfWeek(2, 30, 2000), -1);
}

TEST(DateParsing, AcceptsTheConfiguredForms) {
  int m = 0, d = 0, y = 0;
  ASSERT_TRUE(lfmTimeFuncs::ParseDate("12/31/04", &m, &d, &y));
  EXPECT_EQ(m, 12);
  EXPECT_EQ(d, 31);
  EXPECT_EQ(y, 2004);
  ASSERT_TRUE(lfmTimeFuncs::ParseDate("2-29-2001", &m, &d, &y));
  EXPECT_EQ(m, 2);
  EXPECT_EQ(d, 29);
  EXPECT_EQ(y, 2001);
  EXPECT_TRUE(lfmTimeFuncs::ParseDate("1/1/2100/junk", &m, &d, &y));
  EXPECT_EQ(y, 2100);
}

TEST(DateParsing, RejectsWhatIsNotADate) {
  int m = 5, d = 5, y = 5;
  for (const char* bad : {"13/01/2004", "12/31/1999", "12/31", "4/31/2004", "0/1/2004", "1/0/2004",
                          "1/1/2101", "1/1/4", "a/b/c", "1//2004", "", "12/31/2004 ",
                          "99999999999999/1/2004", "01/01/2004/xxxxxxxxxxx"}) {
    EXPECT_FALSE(lfmTimeFuncs::ParseDate(bad, &m, &d, &y)) << bad;
  }
  EXPECT_FALSE(lfmTimeFuncs::ParseDate(nullptr, &m, &d, &y));
  EXPECT_EQ(m, 5);  // outputs untouched
}

}  // namespace

TEST(BreakDownUtc, AgreesWithTheCLibrary) {
  // Leap days, century years, the epoch, times before it and far ahead.
  std::vector<time_t> times = {0,          -1,         951782400,   951868799,
                               4107542399, 1083937510, -2208988800, 253402300799};
  uint64_t x = 88172645463325252ULL;
  for (int i = 0; i < 20000; ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    times.push_back(static_cast<time_t>(x % 20000000000ULL) - 5000000000LL);
  }
  for (time_t t : times) {
    std::tm expected{}, actual{};
    // The reference is the system's own conversion; Windows refuses times
    // before 1970 and after 3000, which Linux checks.
    if (!lfmPlatform::Default()->GmTime(t, &expected))
      continue;
    ASSERT_TRUE(lfmTimeFuncs::BreakDownUtc(t, &actual)) << t;
    EXPECT_EQ(std::make_tuple(actual.tm_year, actual.tm_mon, actual.tm_mday, actual.tm_hour,
                              actual.tm_min, actual.tm_sec, actual.tm_wday, actual.tm_yday),
              std::make_tuple(expected.tm_year, expected.tm_mon, expected.tm_mday, expected.tm_hour,
                              expected.tm_min, expected.tm_sec, expected.tm_wday, expected.tm_yday))
        << t;
  }
}
