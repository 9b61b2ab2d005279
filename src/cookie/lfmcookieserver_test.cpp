// The visitor cookie through the filter's entry points with the fake IIS:
// the cookie-test redirect and the repeated request, the expiry formats,
// the refusals, re-issue of a bad cookie and visitor tracking.

#include "cookie/lfmcookieserver.h"

#include <gtest/gtest.h>

#include "filter/iisrequestdata.h"
#include "hit/lfmloghelper.h"
#include "sitemap/tssiteparams.h"
#include "tests/support/filterfixture.h"

namespace {

constexpr DWORD kNext = SF_STATUS_REQ_NEXT_NOTIFICATION;
constexpr DWORD kFinished = SF_STATUS_REQ_FINISHED;

// The visitor id of 192.0.2.7 (the fake's client) at 2007-01-01 00:00:00.
constexpr const char* kId = "192.0.2.7-3350200320.29830455";

class CookieTest : public FilterTest {
 protected:
  CookieTest() { lfmClock::SetSecondsForTest(UtcTime(2007, 1, 1)); }

  // The Set-Cookie values a request's response carries, in order.
  static std::vector<std::string> SetCookies(const FakeIIS& iis) {
    std::vector<std::string> values;
    for (const auto& h : iis.responseHeaders)
      if (h.first == "Set-Cookie")
        values.push_back(h.second);
    return values;
  }
  // A tag hit that brings `cookie`.
  static std::unique_ptr<FakeIIS> WithCookie(const std::string& cookie,
                                             const std::string& more = "",
                                             const std::string& url = "/kyr.gif") {
    auto iis = Tag(more, url);
    iis->Variable("HTTP_COOKIE", cookie);
    return iis;
  }
  // The Set-Cookie values of one tag hit with `cookie` (none when empty).
  static std::vector<std::string> Issued(const std::string& cookie = "",
                                         const std::string& more = "",
                                         const std::string& url = "/kyr.gif") {
    auto iis = cookie.empty() ? Tag(more, url) : WithCookie(cookie, more, url);
    iis->Run();
    return SetCookies(*iis);
  }
};

TEST_F(CookieTest, FirstVisitIsRedirectedAndTheRepeatedRequestLogged) {
  Start("issuep3p = true\np3p = CP=\"NOI\"");
  auto first = Tag("kyrqry=a%3D1");
  EXPECT_EQ(first->Run(), kFinished);
  EXPECT_EQ(first->sentStatus, "303 Object Moved");
  EXPECT_EQ(first->sentHeaders,
            std::string("Location: /kyr.gif?kyrredirect=1&kyruri=/page.htm&kyrqry=a%3D1\r\n"
                        "Content-Length: 0\r\n"
                        "Set-Cookie: VANTORELL_ID=") +
                kId +
                "; expires=Thu, 29-Dec-2016 00:00:00 GMT; path=/\r\n"
                "P3P: CP=\"NOI\"\r\n\r\n");
  EXPECT_EQ(first->passBackResult, kNext);
  EXPECT_TRUE(first->responseHeaders.empty());

  // The browser follows with the cookie it was given.
  auto back = FakeIIS::Get("/kyr.gif", "kyrredirect=1&kyruri=/page.htm&kyrqry=a%3D1");
  back->Variable("HTTP_COOKIE", std::string("VANTORELL_ID=") + kId);
  EXPECT_EQ(back->Run(), kNext);
  EXPECT_EQ(back->supportCalls, 0);
  EXPECT_TRUE(SetCookies(*back).empty());
  EXPECT_EQ(back->ResponseHeader("P3P"), "CP=\"NOI\"");

  // One that does not keep cookies comes back without: a cookie is issued
  // and there is no second redirect.
  auto refused = FakeIIS::Get("/kyr.gif", "kyrredirect=1&kyruri=/other.htm");
  EXPECT_EQ(refused->Run(), kNext);
  EXPECT_EQ(refused->supportCalls, 0);
  EXPECT_EQ(SetCookies(*refused).size(), 1u);

  std::vector<std::string> lines = Stop();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(Fields(lines[0])[kQuery], std::string("a=1&ZR.co_d=") + kId + "&ZR.co=Yes");
  EXPECT_EQ(Fields(lines[0])[kCookie], "-");
  EXPECT_EQ(Fields(lines[1])[kQuery], "ZR.co=No");
}

TEST_F(CookieTest, RedirectLocationStaysOnThisHost) {
  Start();
  struct Case {
    const char* url;
    const char* query;
    const char* location;
  } cases[] = {
      {"//evil.example/kyr.gif", "kyruri=/p",
       "Location: /evil.example/kyr.gif?kyrredirect=1&kyruri=/p"},
      {"/\\\\evil.example/kyr.gif", "kyruri=/p",
       "Location: /evil.example/kyr.gif?kyrredirect=1&kyruri=/p"},
      {"/a b\r\nSet-Cookie: x=1/kyr.gif", "kyruri=/p",
       "Location: /a%20b%0D%0ASet-Cookie:%20x=1/kyr.gif?kyrredirect=1&kyruri=/p"},
      {"/kyr.gif", "&kyruri=/p", "Location: /kyr.gif?kyrredirect=1&kyruri=/p"},
      {"/kyr.gif",
       "kyruri=/p&kyrredirect=", "Location: /kyr.gif?kyrredirect=1&kyruri=/p&kyrredirect="},
  };
  for (const Case& c : cases) {
    auto iis = FakeIIS::Get(c.url, c.query);
    EXPECT_EQ(iis->Run(), kFinished) << c.url;
    EXPECT_EQ(iis->sentHeaders.substr(0, iis->sentHeaders.find("\r\n")), c.location);
  }
  EXPECT_TRUE(Stop().empty());
}

TEST_F(CookieTest, NoCookieTestWithoutTheRedirectParameter) {
  // The element map without its last two entries: no KYR_REDIRECT.
  std::string config = FilterConfig();
  config.replace(config.find("logelementcount = 15"), 20, "logelementcount = 13");
  NewRoot(config);
  HTTP_FILTER_VERSION v{};
  ASSERT_EQ(GetFilterVersion(&v), TRUE);
  started_ = true;
  auto iis = Tag("");
  EXPECT_EQ(iis->Run(), kNext);
  EXPECT_EQ(SetCookies(*iis).size(), 1u);
  EXPECT_EQ(Stop().size(), 1u);
}

TEST_F(CookieTest, ExpiryAndAttributeFormats) {
  Start("trackfirsttimecookies = false\ncfgbyhit = true");
  const std::string id = std::string("VANTORELL_ID=") + kId;
  EXPECT_EQ(Issued(),
            (std::vector<std::string>{id + "; expires=Thu, 29-Dec-2016 00:00:00 GMT; path=/"}));
  // The lifetime counts from the hit, whatever the clock says when the
  // cookie is formatted.
  lfmClock::SetSecondsForTest(UtcTime(2007, 1, 1, 23, 59, 59));
  EXPECT_EQ(Issued(), (std::vector<std::string>{"VANTORELL_ID=192.0.2.7-4051773824.29830656; "
                                                "expires=Thu, 29-Dec-2016 23:59:59 GMT; path=/"}));
  // The clock set back: the id still comes after the last one issued.
  lfmClock::SetSecondsForTest(UtcTime(2007, 1, 1));
  EXPECT_EQ(Issued("", "kyrcfg=4"),
            (std::vector<std::string>{"VANTORELL_ID=192.0.2.7-4051773825.29830656; path=/"}));
  EXPECT_EQ(Issued("", "kyrcfg=1"), (std::vector<std::string>{}));
  Stop();

  Start("trackfirsttimecookies = false",
        "[cookieserver]\nexpirationtype = date\nexpirationdate = 12/31/2015\n"
        "domain = example.com\nsamesite = none\nhttponly = true\n");
  EXPECT_EQ(Issued(), (std::vector<std::string>{id + "; expires=Thu, 31-Dec-2015 23:59:59 GMT; "
                                                     "domain=example.com; secure; path=/; "
                                                     "SameSite=None; HttpOnly"}));
  Stop();

  Start("trackfirsttimecookies = false",
        "[cookieserver]\nexpirationtype = session\nincludepath = false\nsamesite = LAX\n");
  EXPECT_EQ(Issued(), (std::vector<std::string>{id + "; SameSite=Lax"}));
  Stop();
}

TEST_F(CookieTest, PathSecureOptOutAndOffRefuse) {
  Start("trackfirsttimecookies = false", "[cookieserver]\npath = /shop\n");
  EXPECT_EQ(Issued("", "", "/SHOP/kyr.gif").size(), 1u);
  EXPECT_TRUE(Issued("", "", "/other/kyr.gif").empty());
  EXPECT_EQ(Count(Audit(),
                  "No cookie issued, cookie path does not match URL in the following "
                  "hit: \nClient IP: 192.0.2.7\nURI: /other/kyr.gif"),
            1u);
  Stop();

  Start("trackfirsttimecookies = false", "[cookieserver]\nsecure = true\n");
  EXPECT_TRUE(Issued().empty());
  EXPECT_EQ(Count(Audit(), "No cookie issued, connection not secure: \nClient IP: 192.0.2.7"), 1u);
  auto https = Tag("");
  https->Variable("HTTPS", "ON");
  https->Run();
  EXPECT_EQ(SetCookies(*https),
            (std::vector<std::string>{std::string("VANTORELL_ID=") + kId +
                                      "; expires=Thu, 29-Dec-2016 00:00:00 GMT; secure; path=/"}));
  Stop();

  Start();
  auto optOut = WithCookie("a=1; ZRLOPTOUT=Yes");
  EXPECT_EQ(optOut->Run(), kNext) << "no cookie test for a visitor who opted out";
  EXPECT_TRUE(SetCookies(*optOut).empty());
  auto notOut = WithCookie("MYZRLOPTOUT=yes; ZRLOPTOUT=no");
  EXPECT_EQ(notOut->Run(), kFinished);
  std::vector<std::string> lines = Stop();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Fields(lines[0])[kQuery], "-") << "nothing logged as issued";

  Start("", "[cookieserver]\nenabled = false\n");
  auto off = Tag("");
  EXPECT_EQ(off->Run(), kNext);
  EXPECT_TRUE(off->responseHeaders.empty());
  EXPECT_EQ(Stop().size(), 1u);
}

TEST_F(CookieTest, BadCookieIsReissuedAndRemovedFromTheLog) {
  const std::string wrong = "10.1.2.3-1.2::846F4E9B649E353ADF69152776F69BB4";
  Start("trackfirsttimecookies = false\nloginvalidhits = true",
        "[cookieserver]\ncookieversion = 2\n");
  std::vector<std::string> issued = Issued("a=1; VANTORELL_ID=" + wrong + "; b=2");
  ASSERT_EQ(issued.size(), 1u);
  EXPECT_EQ(issued[0].rfind(std::string("VANTORELL_ID=") + kId + "::", 0), 0u) << issued[0];
  EXPECT_EQ(
      Count(Audit(), "New cookie was issued to replace invalid cookie.\nCookie: " + issued[0]), 1u);
  EXPECT_EQ(Issued("VANTORELL_ID=" + wrong).size(), 1u);
  // A cookie this server issued is kept.
  std::string good = issued[0].substr(0, issued[0].find(';'));
  EXPECT_TRUE(Issued(good).empty());
  std::vector<std::string> lines = Stop();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(Fields(lines[0])[kCookie], "a=1;+b=2");
  EXPECT_EQ(Fields(lines[1])[kCookie], "-");
  EXPECT_EQ(Fields(lines[2])[kCookie], good);
  EXPECT_EQ(Count(Audit(), "The following hit contains an invalid cookie: "), 2u);

  Start("trackfirsttimecookies = false\nloginvalidhits = true",
        "[cookieserver]\ncookieversion = 2\nreissuebadcookie = false\n");
  EXPECT_TRUE(Issued("VANTORELL_ID=" + wrong).empty());
  lines = Stop();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Fields(lines[0])[kCookie], "VANTORELL_ID=" + wrong);

  // Without loginvalidhits the hit with a bad cookie is not logged.
  Start("trackfirsttimecookies = false", "[cookieserver]\ncookieversion = 2\n");
  EXPECT_EQ(Issued("VANTORELL_ID=" + wrong).size(), 1u);
  EXPECT_TRUE(Stop().empty());

  // Version 1 never validates.
  Start("trackfirsttimecookies = false");
  EXPECT_TRUE(Issued("VANTORELL_ID=" + wrong).empty());
  EXPECT_EQ(Stop().size(), 1u);
}

TEST_F(CookieTest, CookieValueIsEncodedInTheLoggedQuery) {
  Start();
  auto back = WithCookie("VANTORELL_ID=a b\tc&d", "kyrredirect=1");
  back->Run();
  std::vector<std::string> lines = Stop();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Fields(lines[0]).size(), static_cast<size_t>(kColumns));
  EXPECT_EQ(Fields(lines[0])[kQuery], "ZR.co_d=a%20b%20c&d&ZR.co=Yes");
}

// Hosted service model: per-site path and visitor tracking.
class TrackingTest : public CookieTest {
 protected:
  void StartHosted(const std::string& more = "") {
    Start("hostedmodel = true", "[servicemodel]\nservicemodel = true\n" + more);
  }
  std::string Site() const { return "/" + id_ + "/kyr.gif"; }
  std::string id_ = CurrentKyrId();
};

TEST_F(TrackingTest, SessionAndDailyCookiesOfAReturningVisitor) {
  StartHosted();
  const std::string path = "; path=/" + id_;
  // 2016-06-01 20:00:00 UTC as the page's clock in milliseconds.
  const std::string kyrdat = "kyrdat=1464811200000";

  auto first = Tag(kyrdat, Site());
  EXPECT_EQ(first->Run(), kFinished);
  EXPECT_NE(first->sentHeaders.find("; expires=Thu, 29-Dec-2016 00:00:00 GMT" + path + "\r\n"),
            std::string::npos)
      << first->sentHeaders;

  EXPECT_EQ(Issued("VANTORELL_ID=1.2.3.4-5.6", kyrdat, Site()),
            (std::vector<std::string>{"ZR_VT_S=1" + path,
                                      "ZR_VT_D=1; expires=Thu, 02-Jun-2016 00:00:00 GMT" + path}));
  EXPECT_EQ(Issued("VANTORELL_ID=1.2.3.4-5.6; ZR_VT_S=1; ZR_VT_D=1; ZR_VT=x", kyrdat, Site()),
            (std::vector<std::string>{"ZR_VT=1; expires=Thu, 01-Jan-1970 00:00:01 GMT" + path}));
  EXPECT_TRUE(Issued("VANTORELL_ID=1.2.3.4-5.6; MYZR_VT=x", "", Site()).empty())
      << "no page time, no tracking cookies";
  EXPECT_TRUE(Issued("VANTORELL_ID=1.2.3.4-5.6", kyrdat + "&kyrcfg=4", Site()).size() == 2u)
      << "kyrcfg only counts with cfgbyhit";

  std::vector<std::string> lines = Stop();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].find(" ZR.co=Yes&ZR.vt_s=1&ZR.vt_d=1 "), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1].find("ZR.vt_"), std::string::npos) << lines[1];

  StartHosted("trackvisitors = false\n");
  EXPECT_TRUE(Issued("VANTORELL_ID=1.2.3.4-5.6", kyrdat, Site()).empty());
  Stop();
}

// The site record as the site map fills it, for the direct calls below.
tsSiteParams g_site;
std::string g_orig;

// SEND_RESPONSE that runs only the cookie server, for a KYR ID the site
// map listed with `g_site`.
DWORD CookieOnly(HTTP_FILTER_CONTEXT* pfc, DWORD type, void* data) {
  if (type != SF_NOTIFY_SEND_RESPONSE)
    return HttpFilterProc(pfc, type, data);
  iisRequestData* record = iisRequestDataPool::GetRequestData();
  record->SetSendResponse(static_cast<HTTP_FILTER_SEND_RESPONSE*>(data));
  lfmLogHelper::Initialize(*record);
  record->SetSrcKYRId(std::string(g_site.kyrId).c_str());
  if (!g_orig.empty())
    record->SetSrcOrigPath(g_orig.c_str());
  lfmCookieServer::ProcessCookie(*record, g_site);
  return kNext;
}

TEST_F(TrackingTest, SiteColumnsDecideCookiesAndTheDailyExpiry) {
  NewRoot(FilterConfig("hostedmodel = true",
                       "[servicemodel]\nservicemodel = true\nsitemapenabled = true\n"));
  g_site = tsSiteParams();
  g_site.kyrId = id_;
  g_site.found = true;
  g_site.cookiesEnabled = "1";
  g_site.timeZone = "-5";
  auto run = [](const std::string& query) {
    auto iis = FakeIIS::Get("/x/kyr.gif", query);
    iis->Variable("HTTP_COOKIE", "VANTORELL_ID=1.2.3.4-5.6");
    iis->Run(CookieOnly);
    return SetCookies(*iis);
  };
  const std::string path = "; path=/" + id_;
  EXPECT_EQ(run("kyrdat=1464811200000"),
            (std::vector<std::string>{"ZR_VT_S=1" + path,
                                      "ZR_VT_D=1; expires=Thu, 02-Jun-2016 05:00:00 GMT" + path}));
  // The other zones: the page's day ends at the UTC midnight after
  // 2016-06-01 20:00, moved by the zone; a zone that is none (past 48
  // hours, not a number) leaves it at UTC.
  const std::pair<const char*, const char*> zones[] = {
      {" 3", "Wed, 01-Jun-2016 21:00:00"},        {"3 ", "Wed, 01-Jun-2016 21:00:00"},
      {"+3", "Wed, 01-Jun-2016 21:00:00"},        {"-48", "Sat, 04-Jun-2016 00:00:00"},
      {"48", "Tue, 31-May-2016 00:00:00"},        {"-49", "Thu, 02-Jun-2016 00:00:00"},
      {"49", "Thu, 02-Jun-2016 00:00:00"},        {"3x", "Thu, 02-Jun-2016 00:00:00"},
      {"-", "Thu, 02-Jun-2016 00:00:00"},         {"", "Thu, 02-Jun-2016 00:00:00"},
      {"9999999999", "Thu, 02-Jun-2016 00:00:00"}};
  for (const auto& [zone, expires] : zones) {
    g_site.timeZone = zone;
    EXPECT_EQ(
        run("kyrdat=1464811200000"),
        (std::vector<std::string>{"ZR_VT_S=1" + path,
                                  "ZR_VT_D=1; expires=" + std::string(expires) + " GMT" + path}))
        << zone;
  }
  // A page clock so early that the site's midnight is not after 1970: no
  // daily cookie, the session cookie still.
  g_site.timeZone = "24";
  EXPECT_EQ(run("kyrdat=1000"), (std::vector<std::string>{"ZR_VT_S=1" + path}));

  g_orig = "acme";
  EXPECT_EQ(run("kyrdat=1000"), (std::vector<std::string>{"ZR_VT_S=1; path=/acme"}));
  g_orig = "a;\r\nb";
  EXPECT_EQ(run("kyrdat=1000"), (std::vector<std::string>{"ZR_VT_S=1" + path}));
  g_orig.clear();

  for (const char* off : {"0", "", "yes"}) {
    g_site.cookiesEnabled = off;
    EXPECT_TRUE(run("kyrdat=1464811200000").empty()) << off;
  }
  // Other spellings: only the number 1 turns cookies on.
  for (const char* on : {" 1", "1 ", "01", "+1"}) {
    g_site.cookiesEnabled = on;
    EXPECT_EQ(run("kyrdat=1464811200000").size(), 2u) << on;
  }
  for (const char* off : {"-1", "2", "11", "1x"}) {
    g_site.cookiesEnabled = off;
    EXPECT_TRUE(run("kyrdat=1464811200000").empty()) << off;
  }
  g_site.found = false;  // the site map's columns count only for a listed site
  EXPECT_EQ(run("kyrdat=1464811200000").size(), 2u);
}

}  // namespace
