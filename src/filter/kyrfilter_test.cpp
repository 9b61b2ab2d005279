// The filter driven through its entry points with the fake IIS: what a tag
// request leaves in the log and in the response, and what is refused.

#include "filter/kyrfilter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <thread>

#include "cookie/lfmcookie.h"
#include "filter/iisrequestdata.h"
#include "hit/lfmparsemap.h"
#include "hit/lfmpools.h"
#include "hit/lfmrequest.h"
#include "logout/lfmheartbeat.h"
#include "tests/support/allocfailure.h"
#include "tests/support/fakeiis.h"
#include "tests/support/filterfixture.h"
#include "tests/support/stderrcapture.h"
#include "tests/support/temproot.h"
#include "util/lfmclock.h"

namespace {

TEST_F(FilterTest, RegistersAndLetsOtherNotificationsAndItsOwnRedirectPass) {
  root_ = std::make_unique<TempRoot>(FilterConfig());
  HTTP_FILTER_VERSION v{};
  ASSERT_EQ(GetFilterVersion(&v), TRUE);
  started_ = true;
  EXPECT_EQ(v.dwFlags, 0x85043u);
  EXPECT_EQ(v.dwFilterVersion, 0x40000u);
  EXPECT_STREQ(v.lpszFilterDesc, "Tallyspring Data Collector");

  auto iis = Tag("");
  EXPECT_EQ(HttpFilterProc(&iis->context, SF_NOTIFY_LOG, nullptr),
            static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
  iis->status = 303;
  iis->PreprocHeaders();
  EXPECT_EQ(iis->SendResponse(), static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
  EXPECT_TRUE(iis->variableReads.empty());
  EXPECT_TRUE(Stop().empty());
}

TEST_F(FilterTest, WorkedExampleByteForByte) {
  std::string id = CurrentKyrId();
  lfmClock::SetSecondsForTest(UtcTime(2004, 5, 7, 9, 0, 2));
  Start("hostedmodel = true\ntrackfirsttimecookies = false");
  lfmClock::SetSecondsForTest(UtcTime(2004, 5, 7, 13, 45, 10));
  auto iis = FakeIIS::Get("/" + id + "/kyr.gif",
                          "kyruri=%2Fkyr.gif&kyrqry=a%3D1&kyrsip=192.0.2.1&kyrpro=HTTP%2F1.1");
  iis->Variable("HTTP_USER_AGENT", "Mozilla/4.0 (compatible; MSIE 6.0)");
  EXPECT_EQ(iis->Run(), static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
  EXPECT_EQ(iis->physicalPath, "/srv/www/zr_kyr.gif");
  TerminateFilter(0);
  started_ = false;
  EXPECT_EQ(ReadAll(root_->File("weblog")),
            "#Remark: KYR-p\r\n"
            "#Software: Vantorell Tallyspring Data Collector V7.0\r\n"
            "#Version: 1.0\r\n"
            "#Date: 2004-05-07 09:00:02\r\n"
            "#Fields: date time c-ip cs-username cs-host cs-method cs-uri-stem cs-uri-query "
            "sc-status sc-bytes cs-version cs(User-Agent) cs(Cookie) cs(Referer) kyr-id \r\n"
            "2004-05-07 13:45:10 192.0.2.7 - 192.0.2.1 GET /kyr.gif a=1 200 - HTTP/1.1 "
            "Mozilla/4.0+(compatible;+MSIE+6.0) - - " +
                id + "\r\n");
}

TEST_F(FilterTest, OnlyTagRequestsAreLoggedAndNoScriptTagsExpire) {
  Start("trackfirsttimecookies = false");
  auto page = FakeIIS::Get("/index.htm", "kyruri=/x");
  EXPECT_EQ(page->Run(), static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
  EXPECT_EQ(page->physicalPath, "/srv/www/index.htm");
  auto script = Tag("");
  script->Run();
  EXPECT_FALSE(script->HasResponseHeader("Expires"));
  auto noScript = Tag("", "/njs.gif");
  noScript->Run();
  EXPECT_EQ(noScript->ResponseHeader("Expires"), "Tue, 1 Jan 1980 01:01:01 GMT");
  EXPECT_EQ(noScript->physicalPath, "/srv/www/zr_kyr.gif");
  EXPECT_EQ(Stop().size(), 2u);
  EXPECT_NE(Audit().find("discarded due to an invalid uri-stem: \nClient IP: 192.0.2.7\n"
                         "URI: /index.htm\nCookie: \n"),
            std::string::npos);
}

TEST_F(FilterTest, TruncatedHitsAreRefusedUnlessConfigured) {
  Start("trackfirsttimecookies = false");
  Tag("kyrqry=a&ZR.tu=1")->Run();
  EXPECT_TRUE(Stop().empty());
  EXPECT_NE(Audit().find("URL exceeding browser length limit"), std::string::npos);

  Start("trackfirsttimecookies = false\nlogtruncatedhits = true");
  Tag("kyrqry=a&ZR.tu=1")->Run();
  EXPECT_EQ(Stop().size(), 1u);
}

TEST_F(FilterTest, KyrIdFormatsAndCheckCodesInTheHostedModel) {
  Start("hostedmodel = true\ntrackfirsttimecookies = false");
  std::string good = CurrentKyrId();
  std::string upper = good;
  for (char& c : upper)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string tampered = good;
  tampered[29] = tampered[29] == 'a' ? 'b' : 'a';
  Tag("", "/" + upper + "/kyr.gif")->Run();
  Tag("", "/" + tampered + "/kyr.gif")->Run();
  Tag("", "/KYR123456_6F3U/kyr.gif")->Run();  // first format, good code
  Tag("", "/KYR123456_6F3V/kyr.gif")->Run();
  std::vector<std::string> lines = Stop();
  ASSERT_EQ(lines.size(), 2u);
  // A current-format id is kept in lower case; an old one as received.
  EXPECT_EQ(Fields(lines[0]).back(), good);
  EXPECT_EQ(Fields(lines[1]).back(), "KYR123456_6F3U");
  std::string audit = Audit();
  // The message is the last format's verdict: a current-format id with a
  // bad code is of the wrong size for the first format.
  EXPECT_EQ(Count(audit, "Incorrect size. " + tampered), 1u);
  EXPECT_EQ(Count(audit, "Tampered KYR Id. KYR123456_6F3V"), 1u);
  EXPECT_EQ(Count(audit, "discarded due to an invalid KYR ID"), 2u);

  Start("hostedmodel = true\nkyridbacktoversion = 3\ntrackfirsttimecookies = false");
  Tag("", "/KYR123456_6F3U/kyr.gif")->Run();
  EXPECT_TRUE(Stop().empty());
  EXPECT_NE(Audit().find("Incorrect size. KYR123456_6F3U"), std::string::npos);
}

TEST_F(FilterTest, PageFieldsFollowTheElementMapRules) {
  Start("trackfirsttimecookies = false");
  // First occurrence wins whatever the letter case; a value is decoded
  // once; blank values and bad numbers fall back to their defaults.
  FakeIIS::Get("/kyr.gif",
               "kyruri=%2Fa%2541&KYRURI=/b&kyrmet=%20%09&kyrsta=abc&kyrbyt=-5&kyrref=%20")
      ->Run();
  FakeIIS::Get("/kyr.gif", "other=1&kyruri=&kyrsta=404&kyrbyt=1234&kyraut=bob")->Run();
  FakeIIS::Get("/kyr.gif", "kyrqry=a")->Run();  // no kyruri: refused
  std::vector<std::string> lines = Stop();
  ASSERT_EQ(lines.size(), 2u);
  std::vector<std::string> a = Fields(lines[0]), b = Fields(lines[1]);
  ASSERT_EQ(a.size(), static_cast<size_t>(kColumns));
  EXPECT_EQ(a[kStem], "/a%41");
  EXPECT_EQ(a[kMethod], "GET");
  EXPECT_EQ(a[kStatus], "200");
  EXPECT_EQ(a[kBytes], "-");
  EXPECT_EQ(a[kReferrer], "-");
  EXPECT_EQ(a[kQuery], "-");
  EXPECT_EQ(a[kProtocol], "-");
  EXPECT_EQ(b[kStem], "/");
  EXPECT_EQ(b[kStatus], "404");
  EXPECT_EQ(b[kBytes], "1234");
  EXPECT_EQ(b[kUser], "bob");
  EXPECT_NE(Audit().find("absence of following hit parameter: kyruri"), std::string::npos);
}

TEST_F(FilterTest, HostileValuesNeverBreakALine) {
  Start("trackfirsttimecookies = false\nreplayinprogress = true");
  FakeIIS::Get("/kyr.gif",
               "kyruri=/a%0D%0Ab&kyrmet=G%0D%0AET%20X&kyrref=r%09s%00t&kyrqry=q%0Ax"
               "&kyrcip=1.2.3.4%0D%0A5&kyrsip=%5B2001:db8::1%5D:8080&kyrpro=HTTP%01"
               "&kyrrdt=99999999999999999")
      ->Run();
  std::vector<std::string> lines = Stop();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].find_first_of(std::string("\t\r\n\0", 4)), std::string::npos);
  std::vector<std::string> f = Fields(lines[0]);
  ASSERT_EQ(f.size(), static_cast<size_t>(kColumns));
  EXPECT_EQ(f[kStem], "/a%20b");
  EXPECT_EQ(f[kMethod], "G%20ET%20X");
  EXPECT_EQ(f[kReferrer], "r%20s%00t");
  EXPECT_EQ(f[kQuery], "q%20x");
  EXPECT_EQ(f[kClient], "1.2.3.4%205");
  EXPECT_EQ(f[kServer], "2001:db8::1");
  EXPECT_EQ(f[kProtocol], "HTTP+");
  // The replay date cannot be a calendar time: the hit keeps "now".
  EXPECT_EQ(f[kDate].size(), 10u);
}

TEST_F(FilterTest, HeaderParametersAreCapturedEncodedAndAppended) {
  Start("trackfirsttimecookies = false\nenableheaderparams = true");
  auto both = Tag("kyrqry=p=1");
  both->Header("Accept", "a b,c").Header("Host", std::string(3000, 'h'));
  both->Run();
  auto hostOnly = Tag("");
  hostOnly->Header("Host", "x\t\r\ny\"%&;=");
  hostOnly->Run();
  std::vector<std::string> lines = Stop();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(both->headersAsked, (std::vector<std::string>{"Accept:", "Host:"}));
  EXPECT_EQ(Fields(lines[0])[kQuery],
            "p=1&ZR.hdr.Accept=a+b%2Cc&ZR.hdr.Host=" + std::string(3000, 'h'));
  EXPECT_EQ(Fields(lines[1])[kQuery], "ZR.hdr.Host=x%09%0D%0Ay%22%25%26%3B%3D");
}

TEST_F(FilterTest, CookieTestParametersFollowTheConfigurationFlags) {
  Start("cfgbyhit = true");
  for (const char* more : {"kyrqry=a", "kyrqry=a&kyrcfg=6", "kyrqry=a&kyrcfg=4"}) {
    auto returning = Tag(more);
    returning->Variable("HTTP_COOKIE", "VANTORELL_ID=10.1.2.3-5.6");
    returning->Run();
  }
  Tag("kyrqry=a&kyrredirect=1")->Run();  // back from the cookie test, no cookie
  std::vector<std::string> lines = Stop();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(Fields(lines[0])[kQuery], "a&ZR.co=Yes");
  EXPECT_EQ(Fields(lines[1])[kQuery], "a");
  EXPECT_EQ(Fields(lines[2])[kQuery], "a&ZR.co=Yes");
  EXPECT_EQ(Fields(lines[3])[kQuery], "a&ZR.co=No");
}

TEST_F(FilterTest, P3PFromTheConfigurationOrTheHit) {
  Start("issuep3p = true\np3p = CP=\"G\"\np3pfrom = hitorglobal",
        "[cookieserver]\nenabled = false\n");
  auto global = Tag("");
  global->Run();
  auto hit = Tag("kyrp3p=3%2C%2Fw3c%2Fp3p.xml");
  hit->Run();
  auto onlyRef = Tag("kyrp3p=12G4,/p.xml");
  onlyRef->Run();
  auto hostile = Tag("kyrp3p=1,/p.xml%22%0D%0ASet-Cookie:%20x=1");
  hostile->Run();
  auto hostileId = Tag("kyrp3p=3%0D%0AX%22%25,/p.xml");
  hostileId->Run();
  EXPECT_EQ(global->ResponseHeader("P3P"), "CP=\"G\"");
  EXPECT_EQ(hit->ResponseHeader("P3P"), "CP=\"ADM ADMa\",policyref=\"/w3c/p3p.xml\"");
  EXPECT_EQ(onlyRef->ResponseHeader("P3P"), "policyref=\"/p.xml\"");
  EXPECT_EQ(hostile->ResponseHeader("P3P"), "CP=\"ADM\"");
  EXPECT_EQ(hostile->responseHeaders.size(), 1u);
  EXPECT_EQ(hostileId->ResponseHeader("P3P"), "policyref=\"/p.xml\"");
  // A part dropped for a character that could split or rewrite a header is
  // reported like any other bad identifier, escaped.
  std::string audit = Audit();
  EXPECT_EQ(Count(audit, "Contains illegal characters: 12G4\n"), 1u);
  EXPECT_EQ(Count(audit, "Contains illegal characters: /p.xml\"\\x0d\\x0aSet-Cookie: x=1\n"), 1u);
  EXPECT_EQ(Count(audit, "Contains illegal characters: 3\\x0d\\x0aX\"%\n"), 1u);
  EXPECT_EQ(audit.find('\r'), std::string::npos);
  Stop();

  Start("trackfirsttimecookies = false\nissuep3p = true\np3pfrom = hit");
  auto none = Tag("");
  none->Run();
  EXPECT_FALSE(none->HasResponseHeader("P3P"));
}

TEST_F(FilterTest, LongCookieHeaderIsReadWholeAndLoggedCut) {
  Start("trackfirsttimecookies = false");
  iisRequestData* record = iisRequestDataPool::GetRequestData();
  auto iis = Tag("");
  std::string cookie = std::string(5000, 'c') + "; VANTORELL_ID=1.2.3.4-5.6";
  iis->Variable("HTTP_COOKIE", cookie);
  iis->Run();
  EXPECT_EQ(std::string(record->GetSrcInCookie()), cookie);
  std::vector<std::string> lines = Stop();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Fields(lines[0])[kCookie], std::string(4095, 'c'));
  EXPECT_NE(Audit().find("szInCookie: ccc"), std::string::npos);
}

TEST_F(FilterTest, ResponseOnAnotherContextNeverReadsTheBoundRequest) {
  Start("trackfirsttimecookies = false\nenableheaderparams = true");
  auto first = Tag("kyrqry=first");
  first->Header("Host", "one");
  first->PreprocHeaders();
  auto second = Tag("kyrqry=second");
  second->SendResponse();
  std::vector<std::string> lines = Stop();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Fields(lines[0])[kQuery], "second");
}

// IIS keeps one filter context for every request of a kept-alive
// connection. A response whose PREPROC_HEADERS ran on another thread must
// read its own request, whichever way the previous response on this thread
// ended.
TEST_F(FilterTest, ResponseOnAKeptAliveConnectionReadsItsOwnRequest) {
  const std::string cookie = "VANTORELL_ID=10.1.2.3-5.6";
  const struct {
    const char* name;
    const char* url;
    std::string query;
    bool withCookie;
    std::string host;  // request header, captured as a parameter
    size_t lines;      // logged by the first request
    DWORD status = 200;
  } cases[] = {
      {"logged", "/kyr.gif", "kyruri=/a", true, "", 1},
      {"rejected", "/index.htm", "kyruri=/a", true, "", 0},
      {"redirected", "/kyr.gif", "kyruri=/a", false, "", 0},
      // The logged query and the header parameter exceed the query buffer:
      // the pipeline throws.
      {"failed", "/kyr.gif", "kyruri=/a&kyrqry=" + std::string(3000, 'q'), true,
       std::string(2000, 'h'), 0},
      // A page's own redirect, which the pipeline does not look at.
      {"page's 303", "/moved.htm", "kyruri=/a", true, "moved.example", 0, 303},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start("enableheaderparams = true\nheaderparamslist = Host");
    auto iis = FakeIIS::Get(c.url, c.query);
    if (c.withCookie)
      iis->Variable("HTTP_COOKIE", cookie);
    if (!c.host.empty())
      iis->Header("Host", c.host);
    iis->status = c.status;
    iis->Run();
    iis->NextRequest("/kyr.gif", "kyruri=/b").Variable("HTTP_COOKIE", cookie);
    EXPECT_EQ(iis->SendResponse(), static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
    std::vector<std::string> lines = Stop();
    EXPECT_EQ(lines.size(), c.lines + 1);
    EXPECT_EQ(lines.empty() ? "" : Fields(lines.back())[kStem], "/b");
    if (!c.host.empty() && !lines.empty()) {
      EXPECT_EQ(lines.back().find(c.host), std::string::npos) << "the first request's header";
    }
  }
}

TEST_F(FilterTest, FailuresAreReportedAtTheBoundaryAndTheRequestGoesOn) {
  Start("trackfirsttimecookies = false");
  auto noSeparator = Tag("");
  noSeparator->webRoot = "";
  noSeparator->variables["URL"] = "kyr.gif";
  EXPECT_EQ(noSeparator->UrlMap(), static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
  EXPECT_EQ(noSeparator->physicalPath, "kyr.gif");
  std::string audit = Audit();
  EXPECT_NE(audit.find("Physical path in URL map missing backslash."), std::string::npos);
  EXPECT_NE(audit.find("HttpFilterProc(UrlMap)"), std::string::npos);
  Stop();

  // Without a KYR_URI entry every hit fails; the start says so once, and
  // the stage and the entry point each report it once per hit.
  NewRoot("[logserver]\ntrackfirsttimecookies = false\n");
  HTTP_FILTER_VERSION v{};
  ASSERT_EQ(GetFilterVersion(&v), TRUE);
  started_ = true;
  EXPECT_EQ(Count(Audit(), "Failed to retrieve a required paramater: KYR_URI"), 1u);
  EXPECT_EQ(Count(Audit(), "LoadSettings()"), 1u);
  auto hit = Tag("");
  EXPECT_EQ(hit->Run(), static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
  audit = Audit();
  EXPECT_EQ(Count(audit, "Failed to retrieve a required paramater: KYR_URI"), 3u);
  EXPECT_EQ(Count(audit, "Initialize(lfmRequestData&)"), 1u);
  EXPECT_EQ(Count(audit, "HttpFilterProc(SendResponse)"), 1u);
  EXPECT_TRUE(Stop().empty());
}

// Runs `call` with the thread's allocations failing after `allowed`
// successes, for allowed = 0, 1, 2 ... until a call completes without
// running out; `prepare` runs before each call and `check` after it with
// the call's result, both with memory to spare. Returns the number of
// allocations the complete call made; stops at the first exception that
// leaves `call`.
template <typename Prepare, typename Call, typename Check>
size_t UnderEveryAllocationFailure(Prepare prepare, Call call, Check check) {
  for (size_t allowed = 0;; ++allowed) {
    prepare();
    decltype(call()) result{};
    bool escaped = false;
    AllocFailure::Arm(allowed);
    try {
      result = call();
    } catch (...) {
      escaped = true;
    }
    bool ranOut = AllocFailure::Disarm();
    EXPECT_FALSE(escaped) << "an exception left the entry point after " << allowed
                          << " allocations";
    check(result, ranOut);
    if (escaped || !ranOut)
      return allowed;
  }
}

TEST_F(FilterTest, NoExceptionLeavesAnEntryPointWhenMemoryRunsOut) {
  StdErrCapture err;
  const std::string config = "trackfirsttimecookies = false\nissuep3p = true\np3pfrom = hit";
  Start(config);
  std::unique_ptr<FakeIIS> iis;
  size_t made = UnderEveryAllocationFailure(
      [&] {
        iis = Tag("kyrqry=a&kyrp3p=3,/p.xml");
        iis->PreprocHeaders();
        iis->UrlMap();
      },
      [&] { return iis->SendResponse(); },
      [&](DWORD result, bool) {
        EXPECT_EQ(result, static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
      });
  EXPECT_GT(made, 0u);
  EXPECT_EQ(iis->ResponseHeader("P3P"), "CP=\"ADM ADMa\",policyref=\"/p.xml\"");
  EXPECT_FALSE(Stop().empty());
  EXPECT_NE(err.Text().find("Unknown exception caught in ::HttpFilterProc(SendResponse)\n"),
            std::string::npos);

  HTTP_FILTER_VERSION v{};
  made = UnderEveryAllocationFailure([&] { NewRoot(FilterConfig(config)); },
                                     [&] { return GetFilterVersion(&v); },
                                     [&](BOOL result, bool ranOut) {
                                       EXPECT_TRUE(ranOut || result == TRUE);
                                       TerminateFilter(0);
                                     });
  EXPECT_GT(made, 0u);
  EXPECT_NE(err.Text().find("Unknown exception caught in GetFilterVersion\n"), std::string::npos);

  made = UnderEveryAllocationFailure(
      [&] {
        Start(config);
        Tag("")->Run();
      },
      [&] { return TerminateFilter(0); },
      [&](BOOL result, bool) {
        EXPECT_EQ(result, TRUE);
        Stop();  // whatever the failure left running
      });
  EXPECT_GT(made, 0u);
}

TEST_F(FilterTest, FailedStartLeavesNothingRunning) {
  root_ = std::make_unique<TempRoot>(FilterConfig(
      "hostedmodel = true", "[servicemodel]\nservicemodel = true\nsitemapenabled = true\n"));
  HTTP_FILTER_VERSION v{};
  EXPECT_EQ(GetFilterVersion(&v), FALSE);
  EXPECT_EQ(v.dwFlags, 0x85043u);  // written before anything can fail
  EXPECT_FALSE(lfmHeartBeat::IsStarted());
  EXPECT_NE(Audit().find("Failed to load the SiteMap file."), std::string::npos);
}

TEST_F(FilterTest, EachThreadOwnsItsObjectsUntilItEnds) {
  Start("trackfirsttimecookies = false");
  Tag("")->Run();
  lfmRequest* request = lfmRequestPool::GetRequest();
  lfmCookie* cookie = lfmCookiePool::GetCookie();
  lfmParseMap* map = lfmParseMapPool::GetParseMap();
  iisRequestData* record = iisRequestDataPool::GetRequestData();
  Tag("")->Run();
  EXPECT_EQ(lfmRequestPool::GetRequest(), request);
  EXPECT_EQ(lfmCookiePool::GetCookie(), cookie);
  EXPECT_EQ(lfmParseMapPool::GetParseMap(), map);
  EXPECT_EQ(iisRequestDataPool::GetRequestData(), record);

  int live = lfmRequestPool::Live();
  lfmRequest* other = nullptr;
  std::thread t([&] {
    Tag("")->Run();
    other = lfmRequestPool::GetRequest();
    EXPECT_EQ(lfmRequestPool::Live(), live + 1);
  });
  t.join();
  EXPECT_NE(other, request);
  // The thread's end released all four of its objects.
  EXPECT_EQ(lfmRequestPool::Live(), live);
  EXPECT_EQ(lfmCookiePool::Live(), live);
  EXPECT_EQ(lfmParseMapPool::Live(), live);
  EXPECT_EQ(iisRequestDataPool::Live(), live);
  EXPECT_EQ(Stop().size(), 3u);
}

TEST_F(FilterTest, ConcurrentHitsAreEachLoggedOnceAndWhole) {
  Start("trackfirsttimecookies = false\nwritebuffersize = 4096");
  const int kThreads = 4, kHits = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kHits; ++i) {
        std::string page = "/t" + std::to_string(t) + "/p" + std::to_string(i);
        FakeIIS::Get("/kyr.gif", "kyruri=" + page + "&kyrqry=" + std::string(100, 'q'))->Run();
      }
    });
  for (std::thread& t : threads)
    t.join();
  std::vector<std::string> lines = Stop();
  // Checked line by line first, so that a lost hit shows which one it was
  // and whether a neighbour was torn or doubled with it.
  std::multiset<std::string> pages;
  for (const std::string& line : lines) {
    std::vector<std::string> f = Fields(line);
    EXPECT_EQ(f.size(), static_cast<size_t>(kColumns)) << line;
    if (f.size() != static_cast<size_t>(kColumns))
      continue;
    EXPECT_EQ(f[kQuery], std::string(100, 'q'));
    pages.insert(f[kStem]);
  }
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kHits; ++i) {
      std::string page = "/t" + std::to_string(t) + "/p" + std::to_string(i);
      EXPECT_EQ(pages.count(page), 1u) << page;
    }
  EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * kHits));
}

}  // namespace
