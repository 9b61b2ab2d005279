// The cookie settings, the cookie value (generation, reading, the code and
// the old forms) and the cookie helper's text operations.

#include "cookie/lfmcookie.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <thread>
#include <vector>

#include "cookie/lfmcookiehelper.h"
#include "cookie/lfmcookiesettings.h"
#include "tests/support/fakerequest.h"
#include "tests/support/temproot.h"
#include "util/lfmclock.h"
#include "util/lfmtimefuncs.h"

namespace {

std::string Config(const std::string& cookieserver) {
  return "[auditlog]\ndebuglevel = 2\n[cookieserver]\n" + cookieserver;
}

std::string Audit(TempRoot& root) {
  return root.Exists("log/kyr.audit") ? root.Read("log/kyr.audit") : "";
}

TEST(CookieSettings, DefaultsAndTheReportWithoutTheKey) {
  TempRoot root("[auditlog]\ndebuglevel = 2\n");
  const lfmCookieSettings::Values& v = lfmCookieSettings::Get();
  EXPECT_EQ(v.name, "VANTORELL_ID");
  EXPECT_EQ(v.path, "/");
  EXPECT_EQ(v.expirationType, lfmCookieSettings::kExpireAfterSeconds);
  EXPECT_EQ(v.expirationSeconds, 315360000);
  EXPECT_EQ(v.cookieVersion, 1);
  EXPECT_TRUE(v.enabled && v.validateCookie && v.reissueBadCookie && v.includePath);
  EXPECT_FALSE(v.validateOldCookie || v.secure || v.httpOnly);
  EXPECT_EQ(v.optOutCookieName, "ZRLOPTOUT");
  lfmCookieSettings::Name();  // loaded once: one warning, one report
  std::string audit = Audit(root);
  EXPECT_EQ(Count(audit, "WARNING: Using default magic code: K4P9MRVQ2HXL"), 1u);
  EXPECT_EQ(Count(audit, "K4P9MRVQ2HXL"), 1u) << "the key is never in the report";
  EXPECT_NE(audit.find("The following cookie setting values have been loaded. "
                       "\ncookiename: VANTORELL_ID\ncookieversion: 1\nsecure: false"
                       "\nexpirationtype: seconds\nexpirationseconds: 315360000\nenabled: true"
                       "\npath: /\nmagiccode: 12 characters, the shipped default"
                       "\nvalidatecookie: true\nreissuebadcookie: true\nsamesite: "
                       "\nhttponly: false\n"),
            std::string::npos)
      << audit;
}

TEST(CookieSettings, ShippedConfigurationStatesTheDefaults) {
  TempRoot root("[auditlog]\ndebuglevel = 2\n" + ReadFileText(KYR_SHIPPED_CONFIG));
  lfmCookieSettings::Values shipped = lfmCookieSettings::Get();
  lfmCookieSettings::Values defaults;
  defaults.generation = shipped.generation;
  EXPECT_EQ(lfmCookieSettings::Report(shipped), lfmCookieSettings::Report(defaults));
  EXPECT_EQ(shipped.domain, defaults.domain);
  EXPECT_EQ(shipped.expiryAttribute, defaults.expiryAttribute);
  EXPECT_EQ(shipped.validateOldCookie, defaults.validateOldCookie);
  EXPECT_EQ(shipped.includePath, defaults.includePath);
  EXPECT_EQ(shipped.useOptOutCookie, defaults.useOptOutCookie);
  EXPECT_EQ(shipped.optOutCookieName, defaults.optOutCookieName);
  EXPECT_EQ(Count(Audit(root), "WARNING"), 1u) << "only the shipped key's";
}

TEST(CookieSettings, ExpirationTypesAndDates) {
  {
    TempRoot root(Config("expirationtype = DATE\nexpirationdate = 12/31/2015\nmagiccode = x1"));
    EXPECT_EQ(lfmCookieSettings::ExpirationType(), lfmCookieSettings::kExpireOnDate);
    EXPECT_EQ(lfmCookieSettings::ExpiryAttribute(), "expires=Thu, 31-Dec-2015 23:59:59 GMT");
    std::string audit = Audit(root);
    EXPECT_NE(audit.find("\nexpirationtype: date\nexpirationdate: 12/31/2015\n"),
              std::string::npos);
    EXPECT_NE(audit.find("\nmagiccode: 2 characters\n"), std::string::npos);
    EXPECT_EQ(Count(audit, "default magic code"), 0u);
  }
  for (const char* invalid : {"31-12-2015", "12/31/2015/junk", "12-31-2015-"}) {
    TempRoot root(Config(std::string("expirationtype = date\nexpirationdate = ") + invalid));
    EXPECT_EQ(lfmCookieSettings::ExpirationDate(), "01-01-2010") << invalid;
    EXPECT_EQ(lfmCookieSettings::ExpiryAttribute(), "expires=Fri, 01-Jan-2010 23:59:59 GMT")
        << invalid;
    EXPECT_EQ(Count(Audit(root),
                    "WARNING: Invalid Cookie Expiration Date -- Using Default "
                    "Expiration Date: 01-01-2010"),
              1u)
        << invalid;
  }
  {
    TempRoot root(Config("expirationtype = date\nexpirationdate = 02-29-15"));
    EXPECT_EQ(lfmCookieSettings::ExpiryAttribute(), "expires=Sun, 29-Feb-2015 23:59:59 GMT")
        << "29 February is accepted in every year; its weekday is that of 1 March";
  }
  {
    TempRoot root(Config("expirationtype = never\nexpirationseconds = -5"));
    EXPECT_EQ(lfmCookieSettings::ExpirationType(), lfmCookieSettings::kExpireWithSession);
    std::string audit = Audit(root);
    EXPECT_NE(audit.find("\nexpirationtype: date\nexpirationdate: 01-01-2010\n"),
              std::string::npos);
    EXPECT_EQ(Count(audit, "Less Than Zero"), 0u) << "the lifetime is not read";
  }
  {
    TempRoot root(Config("expirationseconds = -5\ncookieversion = 3"));
    EXPECT_EQ(lfmCookieSettings::ExpirationSeconds(), 315360000);
    EXPECT_EQ(lfmCookieSettings::CookieVersion(), 1);
    std::string audit = Audit(root);
    EXPECT_EQ(Count(audit, "WARNING: Cookie Expiration Less Than Zero -- Defaulting to Ten Years"),
              1u);
    EXPECT_EQ(Count(audit, "WARNING: Invalid Cookie Version -- Defaulting to CookieVersion=1"), 1u);
  }
  {
    TempRoot root(Config("expirationseconds = 60"));
    EXPECT_EQ(lfmCookieSettings::ExpirationSeconds(), 60);
    EXPECT_EQ(Count(Audit(root), "WARNING: Cookie Expiration Less Than One Hour"), 1u);
  }
}

TEST(CookieSettings, HeaderTextsAreRefusedAndSameSiteIsOneOfThree) {
  TempRoot root(
      Config("cookiename = a;b\ndomain = example.com; secure\npath = /x\r\n"
             "optoutcookiename = OPT OUT\nsamesite = loose\nhttponly = true"));
  EXPECT_EQ(lfmCookieSettings::Name(), "VANTORELL_ID");
  EXPECT_EQ(lfmCookieSettings::Domain(), "");
  EXPECT_EQ(lfmCookieSettings::Path(), "/x") << "the line end is not part of the value";
  EXPECT_EQ(lfmCookieSettings::OptOutCookieName(), "ZRLOPTOUT");
  EXPECT_EQ(lfmCookieSettings::SameSite(), "");
  EXPECT_TRUE(lfmCookieSettings::HttpOnly());
  std::string audit = Audit(root);
  EXPECT_EQ(Count(audit, "WARNING: Invalid Cookie Setting cookiename (a;b) -- Using: VANTORELL_ID"),
            1u);
  EXPECT_EQ(Count(audit, "WARNING: Invalid Cookie Setting domain (example.com; secure) -- Using: "),
            1u);
  EXPECT_EQ(Count(audit, "WARNING: Invalid Cookie Setting samesite (loose) -- Using: "), 1u);
  EXPECT_NE(audit.find("\nsamesite: \nhttponly: true\n"), std::string::npos);

  for (const char* text : {"none", "NONE", "None"}) {
    TempRoot again(Config(std::string("samesite = ") + text));
    EXPECT_EQ(lfmCookieSettings::SameSite(), "None");
  }
}

TEST(CookieSettings, AttributeTextRefusesEveryStopAtEveryPlace) {
  // Scanned a word at a time: each refused byte at every place up to three
  // words; the bytes beside the refused ranges pass.
  for (size_t length = 1; length <= 24; ++length) {
    std::string text(length, 'x');
    for (size_t at = 0; at < length; ++at) {
      for (char c : {'\0', '\x1F', ';', '\x7F'}) {
        std::string with = text;
        with[at] = c;
        EXPECT_FALSE(lfmCookieSettings::IsAttributeText(with)) << length << " " << at;
      }
      for (char c : {' ', ':', '<', '~', '\x80', '\xFF'}) {
        std::string with = text;
        with[at] = c;
        EXPECT_TRUE(lfmCookieSettings::IsAttributeText(with)) << length << " " << at;
      }
    }
  }
}

TEST(CookieHelper, ExpiresAttributeMatchesItsPrintfFormAcrossTheCalendar) {
  // The epoch, before it, leap days, the last second of 9999, five-digit
  // years, and a year with a sign.
  const long long times[] = {0,
                             -1,
                             951782400,
                             1456790399,
                             253402300799,
                             253402300800,
                             4102444800000,
                             -62167219200,
                             -62198755200};
  for (long long t : times) {
    std::tm tm{};
    ASSERT_TRUE(lfmTimeFuncs::BreakDownUtc(static_cast<time_t>(t), &tm)) << t;
    char expected[96];
    std::snprintf(expected, sizeof expected, "expires=%s, %.2d-%s-%.2lld %.2d:%.2d:%.2d GMT",
                  lfmTimeFuncs::GetDayName(tm.tm_wday), tm.tm_mday,
                  lfmTimeFuncs::GetMonthName(tm.tm_mon + 1), tm.tm_year + 1900LL, tm.tm_hour,
                  tm.tm_min, tm.tm_sec);
    std::string text = "x; ";
    ASSERT_TRUE(lfmCookieHelper::AppendExpires(static_cast<time_t>(t), text));
    EXPECT_EQ(text, std::string("x; ") + expected) << t;
  }
}

TEST(CookieValue, VersionOneIdIsTheAddressAndTheFileTime) {
  TempRoot root(Config(""));
  lfmClock::SetSecondsForTest(UtcTime(2007, 1, 1));
  lfmCookie cookie;
  cookie.Generate("10.1.2.3");
  EXPECT_EQ(cookie.value, "10.1.2.3-3350200320.29830455");
  // Any moment: the halves make one file time of whole milliseconds.
  lfmClock::SetForTest(1234567890123456LL);
  cookie.Generate("10.1.2.3");
  unsigned long low = 0, high = 0;
  ASSERT_EQ(std::sscanf(cookie.value.c_str(), "10.1.2.3-%lu.%lu", &low, &high), 2);
  uint64_t stamp = (static_cast<uint64_t>(high) << 32) | low;
  EXPECT_EQ(stamp % 10000, 0u);
  EXPECT_EQ(stamp, (1234567890123ULL * 10000) + 116444736000000000ULL);
  lfmClock::ReleaseForTest();
}

TEST(CookieValue, VersionTwoCodesValidateAndForgeriesDoNot) {
  TempRoot root(Config("cookieversion = 2"));
  lfmClock::SetSecondsForTest(UtcTime(2007, 1, 1));
  lfmCookie cookie;
  cookie.Generate("10.1.2.3");
  // The digits computed by an independent MD5 over id + magic code.
  EXPECT_EQ(cookie.value, "10.1.2.3-3350200320.29830455::846F4E9B649E353ADF69152776F69BB4");
  FakeRequest request;
  EXPECT_TRUE(cookie.Validate(request));
  EXPECT_TRUE(cookie.valid);

  const std::string id = "10.1.2.3-3350200320.29830455";
  const std::string code = "846F4E9B649E353ADF69152776F69BB4";
  std::string lower = code;
  for (char& c : lower)
    c = static_cast<char>(std::tolower(c));
  for (const std::string& forged : {"10.1.2.3-3350200320.29830456::" + code, id + "::" + lower,
                                    id + "::", id + "::" + "::", id + "::" + code.substr(0, 31),
                                    id + "::" + code + "0", id, std::string(":"), std::string()}) {
    EXPECT_FALSE(lfmCookie::HasValidCode(forged)) << forged;
  }
  // An IPv6 client's id holds "::"; the code is after the last one. Issued
  // in the same millisecond as the first id, it takes the next tick.
  lfmCookie v6;
  v6.Generate("2001:db8::7");
  EXPECT_EQ(v6.value, "2001:db8::7-3350200321.29830455::60D8D177EBAC79475C43998D347678F1");
  EXPECT_TRUE(lfmCookie::HasValidCode(v6.value));

  cookie.value = "10.1.2.3-1.2::";
  EXPECT_FALSE(cookie.Validate(request));
  EXPECT_EQ(Count(Audit(root), "The following hit contains an invalid cookie: "), 1u);
  lfmClock::ReleaseForTest();
}

TEST(CookieValue, IdsOfOneMillisecondFromOneAddressAreDistinctAndIncrease) {
  TempRoot root(Config(""));
  lfmClock::SetSecondsForTest(UtcTime(2007, 1, 1));  // frozen: every id in one millisecond
  const int kThreads = 4;
  const int kEach = 3000;
  std::vector<std::vector<uint64_t>> stamps(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&stamps, t] {
      lfmCookie cookie;
      for (int i = 0; i < kEach; ++i) {
        cookie.Generate("10.1.2.3");
        unsigned long low = 0, high = 0;
        ASSERT_EQ(std::sscanf(cookie.value.c_str(), "10.1.2.3-%lu.%lu", &low, &high), 2);
        stamps[t].push_back((static_cast<uint64_t>(high) << 32) | low);
      }
    });
  }
  for (std::thread& t : threads)
    t.join();
  const uint64_t first = (3350200320ULL | (29830455ULL << 32));
  std::set<uint64_t> all;
  for (const std::vector<uint64_t>& own : stamps) {
    ASSERT_EQ(own.size(), static_cast<size_t>(kEach));
    for (size_t i = 1; i < own.size(); ++i)
      EXPECT_LT(own[i - 1], own[i]);
    all.insert(own.begin(), own.end());
  }
  // Distinct, and bumped within the sub-millisecond digits past the first.
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(*all.begin(), first);
  EXPECT_EQ(*all.rbegin(), first + kThreads * kEach - 1);

  // The next millisecond is taken as it comes once it passes the last id.
  lfmClock::AdvanceForTest(2000);
  lfmCookie later;
  later.Generate("10.1.2.3");
  EXPECT_EQ(later.value, "10.1.2.3-3350220320.29830455");
  lfmClock::ReleaseForTest();
}

TEST(CookieValue, ChangedKeyInvalidatesIssuedCodes) {
  std::string value;
  {
    TempRoot root(Config("cookieversion = 2\nmagiccode = S3cretKey!"));
    lfmClock::SetSecondsForTest(UtcTime(2007, 1, 1));
    lfmCookie cookie;
    cookie.Generate("10.1.2.3");
    value = cookie.value;
    EXPECT_EQ(value, "10.1.2.3-3350200320.29830455::7E7199DD8A815F318A16DEC9229CFF2D");
    lfmClock::ReleaseForTest();
  }
  TempRoot root(Config("cookieversion = 2\nmagiccode = another"));
  EXPECT_FALSE(lfmCookie::HasValidCode(value));
}

TEST(CookieValue, OldFormsOnlyWhenAskedFor) {
  const std::string any32(32, 'x');
  EXPECT_TRUE(lfmCookie::IsOldFormA("10.1.2.3-123.456"));
  EXPECT_TRUE(lfmCookie::IsOldFormB("10.1.2.3-123.456::" + any32));
  for (const std::string& bad :
       {std::string("10.1.2-123.456"), std::string("10.1.2.3-123"), std::string("10.1.2.3-"),
        std::string("-123.456"), std::string("10.1.2.3-12.3.4"), std::string("a.1.2.3-123.456")}) {
    EXPECT_FALSE(lfmCookie::IsOldFormA(bad)) << bad;
    EXPECT_FALSE(lfmCookie::IsOldFormB(bad + "::" + any32)) << bad;
  }
  EXPECT_FALSE(lfmCookie::IsOldFormB("10.1.2.3-123.456::" + any32 + "x"));
  EXPECT_FALSE(lfmCookie::IsOldFormA("10.1.2.3-123.456::"));

  FakeRequest request;
  {
    TempRoot root(Config("cookieversion = 2"));
    lfmCookie cookie;
    cookie.value = "10.1.2.3-123.456";
    EXPECT_FALSE(cookie.Validate(request));
  }
  TempRoot root(Config("cookieversion = 2\nvalidateoldcookie = true"));
  lfmCookie cookie;
  cookie.value = "10.1.2.3-123.456";
  EXPECT_TRUE(cookie.Validate(request));
  cookie.value = "10.1.2.3-123.456::" + any32;
  EXPECT_TRUE(cookie.Validate(request));
  cookie.value = "2001:db8::1-123.456";
  EXPECT_FALSE(cookie.Validate(request));
}

TEST(CookieValue, PopulateTakesTheWholeNamedCookie) {
  TempRoot root(Config(""));
  lfmCookie cookie;
  cookie.Reset();
  cookie.Populate("OTHER=1; VANTORELL_ID=abc=def; LAST=2");
  EXPECT_FALSE(cookie.isNew);
  EXPECT_EQ(cookie.value, "abc=def");

  cookie.Reset();
  cookie.Populate("VANTORELL_ID=");
  EXPECT_FALSE(cookie.isNew) << "present, even without a value";
  EXPECT_EQ(cookie.value, "");

  cookie.Reset();
  cookie.Populate("TEST_VANTORELL_ID=abc;XVANTORELL_ID=d; VANTORELL_IDX=e");
  EXPECT_TRUE(cookie.isNew);
  EXPECT_EQ(ThrownText([&] { cookie.Populate(""); }),
            "1000 lfmCookie Attempted to parse empty cookie string.");
}

TEST(CookieHelper, FindsWholeNamesOnly) {
  std::string_view piece;
  EXPECT_TRUE(lfmCookieHelper::FindCookie("a=1;\tZR_VT_S=1; b=2", "ZR_VT_S", &piece));
  EXPECT_EQ(piece, "ZR_VT_S=1");
  EXPECT_FALSE(lfmCookieHelper::HasCookie("MYZR_VT=1; ZR_VT_S=1", "ZR_VT"));
  EXPECT_FALSE(lfmCookieHelper::HasCookie("ZR_VT", "ZR_VT"));
  EXPECT_FALSE(lfmCookieHelper::HasCookie("a=ZR_VT=1", "ZR_VT"));
  EXPECT_TRUE(lfmCookieHelper::HasCookie("ZR_VT=1", "ZR_VT"));
  EXPECT_FALSE(lfmCookieHelper::HasCookie(nullptr, "ZR_VT"));
  // A header view ends where it says, whatever follows it in memory.
  EXPECT_FALSE(lfmCookieHelper::HasCookie(std::string_view("ZR_VT=1", 5), "ZR_VT"));
  EXPECT_TRUE(
      lfmCookieHelper::FindCookie(std::string_view("a=1; ZR_VT=1; b", 12), "ZR_VT", &piece));
  EXPECT_EQ(piece, "ZR_VT=1");
}

TEST(CookieHelper, OptOutCookieValueStartsWithYes) {
  TempRoot root(Config(""));
  for (const char* yes : {"ZRLOPTOUT=YES", "a=1; ZRLOPTOUT=yes please", "ZRLOPTOUT=Yesterday"})
    EXPECT_TRUE(lfmCookieHelper::GetOptOutCookie(yes)) << yes;
  for (const char* no : {"ZRLOPTOUT=no", "MYZRLOPTOUT=yes", "ZRLOPTOUT=ye", "ZRLOPTOUT="})
    EXPECT_FALSE(lfmCookieHelper::GetOptOutCookie(no)) << no;
  EXPECT_EQ(ThrownText([] { lfmCookieHelper::GetOptOutCookie(""); }),
            "1000 lfmCookieHelper Attempted to parse empty cookie string.");
}

TEST(CookieHelper, RemoveCookieKeepsTheRestAsItStands) {
  FakeRequest r;
  r.Set("InCookie", "a=1; VANTORELL_ID=x; b=3");
  lfmCookieHelper::RemoveCookie("VANTORELL_ID", r);
  EXPECT_STREQ(r.GetSrcInCookie(), "a=1; b=3");
  r.Set("InCookie", "VANTORELL_ID=x");
  lfmCookieHelper::RemoveCookie("VANTORELL_ID", r);
  EXPECT_STREQ(r.GetSrcInCookie(), "-");
  r.Set("InCookie", "MYVANTORELL_ID=x;VANTORELL_ID2=y");
  lfmCookieHelper::RemoveCookie("VANTORELL_ID", r);
  EXPECT_STREQ(r.GetSrcInCookie(), "MYVANTORELL_ID=x;VANTORELL_ID2=y");
}

}  // namespace
