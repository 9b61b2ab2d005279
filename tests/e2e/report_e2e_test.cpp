// scripts/report.sh: GoAccess's HTML report of an installation root's
// finished log files, rendered in headless Chromium and read back.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <regex>
#include <set>

#include "tests/e2e/hostprocess.h"
#include "tests/e2e/httpclient.h"

namespace e2e {
namespace {

// True (and, under CI=true, a failure) when `program` is not installed.
bool Missing(const char* program) {
  if (std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0)
    return false;
  const char* ci = std::getenv("CI");
  if (ci && std::string(ci) == "true")
    ADD_FAILURE() << program << " is not installed; CI must have it (scripts/deps.sh)";
  return true;
}
#define SKIP_WITHOUT(program) \
  if (!Missing(program)) {    \
  } else                      \
    GTEST_SKIP() << program << " is not installed (scripts/deps.sh installs it)"

std::string Report(const std::string& root, const std::string& args, int& status,
                   const std::string& env = "") {
  return Shell(
      env + " /bin/bash '" + SourceDir() + "/scripts/report.sh' " + args + " '" + root + "' 2>&1",
      status);
}

// The number after `key` in the report's embedded data, or -1.
long DataValue(const std::string& html, const std::string& key) {
  std::smatch m;
  if (!std::regex_search(html, m, std::regex("\"" + key + "\": *(\\d+)")))
    return -1;
  return std::stol(m[1]);
}

std::string UtcDate() {
  time_t now = time(nullptr);
  char text[16];
  strftime(text, sizeof text, "%Y-%m-%d", gmtime(&now));
  return text;
}

TEST(ReportTest, BrowserShowsTheRequestsVisitorsAndPagesSent) {
  SKIP_WITHOUT("goaccess");
  SKIP_WITHOUT("chromium");
  HostProcess host;
  std::string output;
  ASSERT_TRUE(host.Start(output)) << output;
  // Three browsers on one address, told apart by their user agents; each
  // keeps its cookie, the first hit following the cookie-test redirect.
  const char* agents[] = {"Mozilla/5.0 (X11; Linux x86_64) VisitorA/1.0",
                          "Mozilla/5.0 (Windows NT 10.0) VisitorB/2.0",
                          "Mozilla/5.0 (Macintosh) VisitorC/3.0"};
  struct View {
    int visitor;
    std::string page;
  };
  const std::vector<View> views = {
      {0, "/a.html"}, {0, "/b.html"}, {1, "/a.html"}, {0, "/a.html"}, {2, "/c.html"}};
  std::vector<std::unique_ptr<HttpClient>> browsers;
  for (size_t i = 0; i < 3; ++i) {
    browsers.push_back(std::make_unique<HttpClient>());
    browsers.back()->UseCookieJar();
    browsers.back()->FollowRedirects(true);
  }
  std::map<std::string, long> pageHits;
  std::set<int> visitors;
  std::string firstDay = UtcDate();
  for (const View& v : views) {
    std::string url = host.Url("/kyr.gif?kyruri=%2F" + v.page.substr(1));
    EXPECT_EQ(
        browsers[v.visitor]->Get(url, {std::string("User-Agent: ") + agents[v.visitor]}).status,
        200);
    ++pageHits[v.page];
    visitors.insert(v.visitor);
  }
  // GoAccess counts a visitor once a day: a run across midnight UTC may
  // count one twice.
  bool oneDay = UtcDate() == firstDay;
  ASSERT_EQ(host.Stop(), 0);

  int status = 0;
  std::string says = Report(host.Root(), "", status);
  ASSERT_EQ(status, 0) << says;
  std::string report = host.Root() + "/report/index.html";
  EXPECT_NE(says.find("Report: " + report), std::string::npos) << says;
  // Nothing the page loads may come from the network.
  std::string html = ReadFileText(report);
  std::regex external("<(script|link|img)\\b[^>]*\\b(src|href)=[\"']?(https?:)?//");
  EXPECT_FALSE(std::regex_search(html, external));

  std::string dom =
      ChromiumDom("file://" + report, host.Root() + "/chromium-profile", status, 15000);
  ASSERT_EQ(status, 0);
  auto shown = [&](const std::string& id) {
    std::smatch m;
    if (!std::regex_search(dom, m, std::regex("<h3 id=\"" + id + "\"[^>]*>\\s*(\\d+)\\s*</h3>")))
      return -1L;
    return std::stol(m[1]);
  };
  EXPECT_EQ(shown("total_requests"), static_cast<long>(views.size()));
  EXPECT_EQ(shown("valid_requests"), static_cast<long>(views.size()));
  if (oneDay) {
    EXPECT_EQ(shown("unique_visitors"), static_cast<long>(visitors.size()));
  }
  // The requested-files table: one row per page (the query skipped), its
  // hits in the first value cell, the page in the last (long ones broken up
  // with empty <b> elements).
  std::map<std::string, long> rows;
  const std::string panel = "data-panel=\"requests\" data-key=";
  std::regex row(
      "<span class=\"value\">(\\d+)</span>.*<td class=\"trunc\"><span "
      "class=\"value\">(.*)</span></td>");
  for (size_t at = dom.find(panel); at != std::string::npos; at = dom.find(panel, at + 1)) {
    std::string cells = dom.substr(at, dom.find("</tr>", at) - at);
    std::smatch m;
    if (std::regex_search(cells, m, row))
      rows[std::regex_replace(m[2].str(), std::regex("<[^>]*>"), "")] += std::stol(m[1]);
  }
  EXPECT_EQ(rows, pageHits);
}

// Files written as a header and its lines.
std::string Header(const std::string& fields) {
  return "#Remark: KYR-p\r\n#Software: Vantorell Tallyspring Data Collector V7.0\r\n"
         "#Version: 1.0\r\n#Date: 2026-12-07 09:00:00\r\n#Fields: " +
         fields + " \r\n";
}
const std::string kDefault =
    "date time c-ip cs-username cs-host cs-method cs-uri-stem cs-uri-query sc-status sc-bytes "
    "cs-version cs(User-Agent) cs(Cookie) cs(Referer)";
std::string Line(const std::string& page, const std::string& query) {
  return "2026-12-07 09:01:02 192.0.2.7 - shop.example GET " + page + " " + query +
         " 200 - - Mozilla/5.0+(X11) - https://search.example/\r\n";
}
const std::string kHosted = " kyraaaaaaaaaaaaaaaaaaaaaa_7k8y";

TEST(ReportTest, ReadsTheColumnsEveryFileNames) {
  SKIP_WITHOUT("goaccess");
  std::string visits = Line("/a.html", "ZR.co_d=192.0.2.7-1.1&ZR.co=Yes") +
                       Line("/a.html", "ZR.co_d=192.0.2.7-1.2&ZR.co=Yes") + Line("/b.html", "-");
  auto withId = [](std::string line) { return line.insert(line.size() - 2, kHosted); };
  struct Case {
    const char* name;
    std::string config, args;
    std::map<std::string, std::string> files;
    long valid, pages;
  } cases[] = {
      {"default fields, grouped by page",
       "",
       "",
       {{"weblog/hlg.log", Header(kDefault) + visits}},
       3,
       2},
      {"--with-query: one URL per visit",
       "",
       "--with-query",
       {{"weblog/hlg.log", Header(kDefault) + visits}},
       3,
       3},
      {"the hosted model's kyr-id",
       "",
       "",
       {{"weblog/kyr.log", Header(kDefault + " kyr-id") + withId(Line("/a.html", "-"))}},
       1,
       1},
      {"columns switched off, a later header in the same file, a file with kyr-id: the columns "
       "all of them name",
       "",
       "",
       {{"weblog/1.log", Header(kDefault) + Line("/a.html", "-") +
                             Header("date c-ip cs-uri-stem sc-status") +
                             "2026-12-07 192.0.2.8 /b.html 200\r\n"},
        {"weblog/2.log", Header(kDefault + " kyr-id") + withId(Line("/c.html", "-"))}},
       3,
       3},
      {"logfiledir from kyr.cfg; busy files and a line that does not fit are left out",
       "\xEF\xBB\xBF[LogRotation]\r\nlogfiledir =\r\nLOGFILEDIR = %ZR_ROOT%\\hits\\\r\n",
       "",
       {{"hits/a.log", Header(kDefault) + visits + "2026-12-07 09:01:02 192.0.2.7 /x.html\r\n"},
        {"hits/b.kyrbusy", Header(kDefault) + Line("/busy.html", "-")},
        {"weblog/hlg.log", Header(kDefault) + Line("/weblog.html", "-")}},
       3,
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    for (const char* d : {"/cfg", "/weblog", "/hits"})
      mkdir((root.Path() + d).c_str(), 0755);
    WriteFileText(root.Path() + "/cfg/kyr.cfg", c.config);
    for (const auto& f : c.files)
      WriteFileText(root.Path() + "/" + f.first, f.second);
    int status = 0;
    std::string says = Report(root.Path(), c.args, status);
    ASSERT_EQ(status, 0) << says;
    std::string html = ReadFileText(root.Path() + "/report/index.html");
    EXPECT_EQ(DataValue(html, "valid_requests"), c.valid) << says;
    EXPECT_EQ(DataValue(html, "failed_requests"), 0) << says;
    EXPECT_EQ(DataValue(html, "unique_files"), c.pages) << says;
  }
}

TEST(ReportTest, RefusesWithTheReasonAndWritesNothing) {
  SKIP_WITHOUT("goaccess");
  struct Case {
    const char* name;
    std::map<std::string, std::string> files;
    std::string env, args;
    int status;
    std::string says;
  } cases[] = {
      {"goaccess missing",
       {{"weblog/a.log", Header(kDefault) + Line("/a.html", "-")}},
       "PATH=/nonexistent",
       "",
       1,
       "apt-get install goaccess"},
      {"no log file yet", {}, "", "", 1, "every 5 seconds (bufferflushrate) and when it stops"},
      {"only a busy file",
       {{"weblog/a.kyrbusy", Header(kDefault) + Line("/a.html", "-")}},
       "",
       "",
       1,
       "1 file(s) still being written"},
      {"a header without hits", {{"weblog/a.log", Header(kDefault)}}, "", "", 1, "hold no hit yet"},
      {"no client column",
       {{"weblog/a.log", Header("date cs-uri-stem") + "2026-12-07 /a.html\r\n"}},
       "",
       "",
       1,
       "switch logclientip on"},
      {"an unknown option", {}, "", "--by-day", 2, "unknown option: --by-day"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    for (const char* d : {"/cfg", "/weblog"})
      mkdir((root.Path() + d).c_str(), 0755);
    WriteFileText(root.Path() + "/cfg/kyr.cfg", "[logserver]\nbufferflushrate = 5\n");
    for (const auto& f : c.files)
      WriteFileText(root.Path() + "/" + f.first, f.second);
    int status = 0;
    std::string says = Report(root.Path(), c.args, status, c.env);
    EXPECT_EQ(status, c.status) << says;
    EXPECT_NE(says.find(c.says), std::string::npos) << says;
    EXPECT_TRUE(ListDir(root.Path() + "/report").empty());
  }
}

}  // namespace
}  // namespace e2e
