// The audit file under hostile and heavy traffic, driven through the
// exported entry points: request values cannot forge an entry, the site's
// ordinary pages raise nothing at the default debug level, and floods of
// bad hits are cut to a few entries a minute and a summary.

#include <regex>

#include "logout/lfmheartbeat.h"
#include "tests/support/filterfixture.h"

namespace {

constexpr time_t kMay7 = 1083937510;  // 2004-05-07 13:45:10 UTC

// Lines of the audit file that begin an entry.
size_t Entries(const std::string& audit) {
  return Count("\n" + audit, ": ####\n");
}

class AuditTest : public FilterTest {
 protected:
  AuditTest() { lfmClock::SetSecondsForTest(kMay7); }
};

TEST_F(AuditTest, RequestValuesCannotForgeAnEntry) {
  Start("trackfirsttimecookies = false\nhostedmodel = true");
  // The URI as IIS hands it over, decoded: CR LF and a whole fake entry.
  const std::string forged = "Dec-06-2026 10:00:00: ####\nFORGED ENTRY";
  FakeIIS::Get("/x\r\n" + forged, "kyruri=/p")->Run();
  auto hostile = FakeIIS::Get("/x\r\n" + forged + "/kyr.gif", "kyruri=/p");
  hostile->Variable("HTTP_COOKIE", "a=\x1b]0;title\x07");
  hostile->Run();
  Stop();

  std::string audit = Audit();
  std::regex lineStart("(^|\n)Dec-06-2026|(^|\n)FORGED");
  EXPECT_FALSE(std::regex_search(audit, lineStart)) << audit;
  EXPECT_EQ(audit.find('\r'), std::string::npos);
  EXPECT_EQ(audit.find('\x1b'), std::string::npos);
  const std::string escaped = "/x\\x0d\\x0aDec-06-2026 10:00:00: ####\\x0aFORGED ENTRY";
  EXPECT_EQ(Count(audit, "invalid uri-stem: \nClient IP: 192.0.2.7\nURI: " + escaped + "\n"), 1u)
      << audit;
  // The KYR ID (the stem's first 30 characters) and the rejection of the
  // hit carry it escaped too.
  EXPECT_EQ(Count(audit, "Incorrect size. x\\x0d\\x0aDec-06-2026 10:00:00: ####\\x0a\n"), 1u);
  EXPECT_EQ(Count(audit, "invalid KYR ID: \nClient IP: 192.0.2.7\nURI: " + escaped +
                             "/kyr.gif\nCookie: a=\\x1b]0;title\\x07\n"),
            1u);
}

TEST_F(AuditTest, OnlyRequestsMeantAsHitsReportAWrongStemAtTheDefaultLevel) {
  const struct {
    const char* url;
    const char* query;
    const char* auditlog;
    size_t entries;
  } cases[] = {
      {"/index.htm", "", "", 0},
      {"/style.css", "v=2", "", 0},
      {"/favicon.ico", "", "", 0},
      {"/index.htm", "xkyruri=/p", "", 0},
      {"/index.htm", "kyruri=/p", "", 1},        // a tag request that went wrong
      {"/kyr.gif.bak", "a=1&KYRURI=/p", "", 1},  // parameter names ignore case
      {"/index.htm", "", "debuglevel = 2", 1},   // information when asked for
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.url) + "?" + c.query);
    Start("trackfirsttimecookies = false", std::string("[auditlog]\n") + c.auditlog + "\n");
    size_t before = Count(Audit(), "invalid uri-stem");
    FakeIIS::Get(c.url, c.query)->Run();
    EXPECT_TRUE(Stop().empty());
    EXPECT_EQ(Count(Audit(), "invalid uri-stem") - before, c.entries);
  }
}

TEST_F(AuditTest, FloodsOfPagesAndForgedCookiesLeaveAFewEntriesAndASummary) {
  Start("", "[cookieserver]\ncookieversion = 2\nmagiccode = Fl00dTest\n");
  const int kEach = 10000;
  for (int i = 0; i < kEach; ++i) {
    FakeIIS::Get(i % 2 ? "/index.htm" : "/css/site.css", "")->Run();
    auto hit = Tag("kyrqry=n%3D" + std::to_string(i));
    hit->Variable("HTTP_COOKIE", "VANTORELL_ID=10.0.0.1-" + std::to_string(i) +
                                     ".1::0123456789ABCDEF0123456789ABCDEF");
    hit->Run();
  }
  std::string audit = Audit();
  EXPECT_EQ(Count(audit, "invalid uri-stem"), 0u);
  EXPECT_EQ(Count(audit, "contains an invalid cookie"), 10u);
  EXPECT_EQ(Count(audit, "New cookie was issued to replace invalid cookie"), 10u);
  EXPECT_EQ(Count(audit, "were suppressed"), 0u);

  // The flood stops; the heartbeat sums it up once its minute is over.
  lfmClock::AdvanceForTest(30 * 1000000LL);
  lfmHeartBeat::Tick(lfmClock::Now());
  EXPECT_EQ(Count(Audit(), "were suppressed"), 0u);
  lfmClock::AdvanceForTest(30 * 1000000LL);
  lfmHeartBeat::Tick(lfmClock::Now());
  const std::string summary =
      "####\nMessages raised per request beyond 10 a minute each were suppressed "
      "(requestmessagesperminute):\nMESS_COOKIE_BAD (1000): 9990\n"
      "MESS_COOKIE_REISSUED (1009): 9990\n";
  EXPECT_EQ(Count(Audit(), summary), 1u) << Audit();

  // What is dropped after the last summary is summed up at shut-down.
  for (int i = 0; i < 15; ++i) {
    auto hit = Tag("");
    hit->Variable("HTTP_COOKIE", "VANTORELL_ID=forged");
    hit->Run();
  }
  Stop();
  audit = Audit();
  EXPECT_EQ(Count(audit, "were suppressed"), 2u);
  EXPECT_EQ(Count(audit, "\nMESS_COOKIE_BAD (1000): 5\nMESS_COOKIE_REISSUED (1009): 5\n"), 1u);
  EXPECT_LT(audit.size(), 20000u) << "entries: " << Entries(audit);
}

}  // namespace
