// kyrhost with real outside programs: a page view in headless Chromium
// reaches the log, and GoAccess reads our logs with the README's format.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>

#include "tests/e2e/hostprocess.h"
#include "tests/e2e/httpclient.h"

namespace e2e {
namespace {

bool Installed(const char* program) {
  std::string command = std::string("command -v ") + program + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

std::string Chromium(const HostProcess& host, const std::string& path, int& status) {
  std::string profile = host.Root() + "/chromium-profile";
  // The tag's image delays the page's load event, so the DOM is dumped only
  // after the hit (and its cookie redirect) went out.
  return ChromiumDom(host.Url(path), profile, status);
}

TEST(BrowserTest, PageViewInHeadlessChromiumReachesTheLog) {
  if (!Installed("chromium"))
    GTEST_SKIP() << "chromium is not installed (scripts/deps.sh installs it)";
  HostProcess host;
  std::string output;
  ASSERT_TRUE(host.Start(output)) << output;
  int status = 0;
  std::string dom = Chromium(host, "/index.html?campaign=e2e", status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(dom.find("kyrtag.js"), std::string::npos) << dom;
  ASSERT_EQ(host.Stop(), 0);
  std::vector<std::string> lines = host.LogLines();
  ASSERT_EQ(lines.size(), 1u);
  // Fields: date time c-ip cs-username cs-host cs-method cs-uri-stem cs-uri-query ...
  std::regex expected(
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d 127\\.0\\.0\\.1 - 127\\.0\\.0\\.1 GET "
      "/index\\.html "
      "campaign=e2e&ZR\\.co_d=127\\.0\\.0\\.1-\\d+\\.\\d+&ZR\\.co=Yes 200 - - "
      "\\S*HeadlessChrome\\S* - -");
  EXPECT_TRUE(std::regex_match(lines[0], expected)) << lines[0];
}

TEST(BrowserTest, LongTagUrlIsCutWithTheTruncationMarker) {
  if (!Installed("chromium"))
    GTEST_SKIP() << "chromium is not installed (scripts/deps.sh installs it)";
  // A web root with the tag and a page that also shows what the tag's cut
  // makes of a long URL of multi-byte characters.
  TempDir dir;
  const std::string& www = dir.Path();
  for (const char* name : {"/kyrtag.js", "/zr_kyr.gif"})
    WriteFileText(www + name, ReadFileText(SourceDir() + "/www" + name));
  std::ofstream(www + "/long.html")
      << "<!DOCTYPE html><html><body><script src=\"/kyrtag.js\"></script><script>\n"
         "var text = ''; for (var i = 0; i < 1500; i++) text += '\\u00e9';\n"
         "for (var shift = 0; shift < 3; shift++) {\n"
         "  var u = kyrTag.cut('/kyr.gif?' + 'x'.repeat(shift) + 'kyruri=' +\n"
         "                     encodeURIComponent(text));\n"
         "  var p = document.createElement('p'); p.className = 'cut';\n"
         "  p.textContent = u.length + ' ' + u.slice(-11); document.body.appendChild(p);\n"
         "}\n</script></body></html>\n";
  HostProcess host("", www);
  std::string output;
  ASSERT_TRUE(host.Start(output)) << output;
  int status = 0;
  std::string dom = Chromium(host, "/long.html?q=" + std::string(2100, 'a'), status);
  EXPECT_EQ(status, 0);
  // At most 2048 characters, the marker last, and no escape cut in half
  // (the three characters before the marker end a whole "%XX").
  std::regex cut("<p class=\"cut\">(\\d+) (.{3})&amp;ZR\\.tu=1</p>");
  int found = 0;
  for (std::sregex_iterator it(dom.begin(), dom.end(), cut), end; it != end; ++it, ++found) {
    EXPECT_LE(std::stoi((*it)[1]), 2048);
    EXPECT_GE(std::stoi((*it)[1]), 2046);
    EXPECT_TRUE(std::regex_match((*it)[2].str(), std::regex("%[0-9A-F]{2}"))) << (*it)[2];
  }
  EXPECT_EQ(found, 3) << dom;
  ASSERT_EQ(host.Stop(), 0);
  // The page's own hit was cut too, so the collector discarded it.
  EXPECT_TRUE(host.LogLines().empty());
  EXPECT_NE(ReadFileText(host.Root() + "/log/kyr.audit").find("URL exceeding browser length limit"),
            std::string::npos);
}

// The GoAccess command line of the README: --log-format, --date-format and
// --time-format values.
struct GoAccessFormat {
  std::string log, date, time;
};
GoAccessFormat ReadmeFormat() {
  std::string readme = ReadFileText(SourceDir() + "/README.md");
  GoAccessFormat f;
  auto value = [&](const std::string& option) {
    size_t at = readme.find(option + "='");
    if (at == std::string::npos)
      return std::string();
    at += option.size() + 2;
    return readme.substr(at, readme.find('\'', at) - at);
  };
  f.log = value("--log-format");
  f.date = value("--date-format");
  f.time = value("--time-format");
  return f;
}

TEST(GoAccessTest, ParsesEveryLineWithTheReadmeFormat) {
  if (!Installed("goaccess"))
    GTEST_SKIP() << "goaccess is not installed (scripts/deps.sh installs it)";
  GoAccessFormat format = ReadmeFormat();
  ASSERT_FALSE(format.log.empty()) << "README.md has no goaccess --log-format='...'";
  ASSERT_FALSE(format.date.empty());
  ASSERT_FALSE(format.time.empty());

  HostProcess host;
  std::string output;
  ASSERT_TRUE(host.Start(output)) << output;
  const std::string cookie = "Cookie: VANTORELL_ID=10.1.2.3-3350200320.29830455";
  HttpClient client;
  // Ordinary page views, and values meant to break a log line.
  const std::vector<std::string> queries = {
      "kyruri=%2F&kyrref=https%3A%2F%2Fsearch.example%2F%3Fq%3Da%20b&kyrsip=shop.example",
      "kyruri=%2Fp%20q.html&kyrqry=a%3D1%26b%3D%22x%22",
      "kyruri=%2Fcr%0D%0Alf%09tab&kyrref=%00nul",
      "kyruri=%2F%E2%82%AC&kyrqry=%FF%FE&kyraut=user%20name",
      "kyruri=%2Fs&kyrsta=404&kyrbyt=1234&kyrmet=POST&kyrpro=HTTP%2F2",
  };
  for (const std::string& q : queries)
    EXPECT_EQ(
        client.Get(host.Url("/kyr.gif?" + q), {cookie, "User-Agent: A \"quoted\" agent"}).status,
        200);
  EXPECT_EQ(client.Get(host.Url("/njs.gif?kyruri=%2Fnoscript"), {cookie}).status, 200);
  HttpClient browser;  // a first visit: redirect, cookie, logged repeat
  browser.UseCookieJar();
  browser.FollowRedirects(true);
  EXPECT_EQ(browser.Get(host.Url("/kyr.gif?kyruri=%2Fnew")).status, 200);
  ASSERT_EQ(host.Stop(), 0);
  std::vector<std::string> lines = host.LogLines();
  ASSERT_EQ(lines.size(), queries.size() + 2);
  std::vector<std::string> files = host.LogFiles();
  ASSERT_EQ(files.size(), 1u);

  std::string report = host.Root() + "/report.json";
  int status = 0;
  std::string says =
      Shell("goaccess '" + host.Root() + "/weblog/" + files[0] +
                "' --no-global-config --log-format='" + format.log + "' --date-format='" +
                format.date + "' --time-format='" + format.time + "' -o '" + report + "' 2>&1",
            status);
  ASSERT_EQ(status, 0) << says;
  std::string json = ReadFileText(report);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(json, m, std::regex("\"failed_requests\": *(\\d+)"))) << json;
  EXPECT_EQ(m[1], "0");
  ASSERT_TRUE(std::regex_search(json, m, std::regex("\"valid_requests\": *(\\d+)")));
  EXPECT_EQ(m[1], std::to_string(lines.size()));
}

}  // namespace
}  // namespace e2e
