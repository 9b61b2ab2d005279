// kyrhost with the real filter module, driven over HTTP: what a site owner
// sees in the log and what a browser sees in the responses.

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/e2e/hostprocess.h"
#include "tests/e2e/httpclient.h"
#include "tests/support/filtertest.h"
#include "tests/support/temproot.h"

namespace e2e {
namespace {

// A returning visitor's cookie (version 1: address and first hit's time).
const char* const kCookie = "VANTORELL_ID=10.1.2.3-3350200320.29830455";
// The page's clock in milliseconds, as the page tag sends it.
const char* const kDate = "1796551872345";

std::string TagQuery() {
  return std::string("kyruri=%2Fshop%2Fitem.html&kyrqry=id%3D7%26c%3Dred&kyrref=") +
         "http%3A%2F%2Fexample.com%2Fa%20b&kyrsip=www.example.com&kyrdat=" + kDate;
}

class KyrhostTest : public ::testing::Test {
 protected:
  void StartHost(const std::string& settings = "") {
    host_ = std::make_unique<HostProcess>(settings);
    std::string output;
    ASSERT_TRUE(host_->Start(output)) << output;
  }
  std::vector<std::string> StopAndReadLog() {
    EXPECT_EQ(host_->Stop(), 0);
    return host_->LogLines();
  }
  std::unique_ptr<HostProcess> host_;
};

TEST_F(KyrhostTest, TagHitIsLoggedWithTheExactLine) {
  StartHost();
  HttpClient client;
  time_t before = time(nullptr);
  Response r = client.Get(
      host_->Url("/kyr.gif?" + TagQuery()),
      {std::string("Cookie: ") + kCookie, "User-Agent: Mozilla/5.0 (X11; Linux x86_64) Test/1.0"});
  time_t after = time(nullptr);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.Header("Content-Type"), "image/gif");
  EXPECT_EQ(r.body, ReadFileText(SourceDir() + "/www/zr_kyr.gif"));
  std::vector<std::string> lines = StopAndReadLog();
  ASSERT_EQ(lines.size(), 1u);
  // The time of the hit's arrival, in UTC.
  std::string stamp = lines[0].substr(0, 19);
  bool inTime = false;
  for (time_t t = before; t <= after && !inTime; ++t) {
    char text[32];
    struct tm parts;
    gmtime_r(&t, &parts);
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    inTime = stamp == text;
  }
  EXPECT_TRUE(inTime) << stamp;
  // A returning visitor under trackfirsttimecookies: "ZR.co=Yes" is added.
  EXPECT_EQ(lines[0].substr(19),
            " 127.0.0.1 - www.example.com GET /shop/item.html id=7&c=red&ZR.co=Yes 200 - - "
            "Mozilla/5.0+(X11;+Linux+x86_64)+Test/1.0 VANTORELL_ID=10.1.2.3-3350200320.29830455 "
            "http://example.com/a%20b");
}

TEST_F(KyrhostTest, PagesAreServedUnchangedAndNotLogged) {
  StartHost();
  HttpClient client;
  for (const char* page : {"/index.html", "/kyrtag.js"}) {
    Response r = client.Get(host_->Url(page));
    EXPECT_EQ(r.status, 200) << page;
    EXPECT_EQ(r.body, ReadFileText(SourceDir() + "/www" + page)) << page;
    EXPECT_EQ(r.Header("Set-Cookie"), "") << page;
  }
  EXPECT_EQ(client.Get(host_->Url("/")).body, ReadFileText(SourceDir() + "/www/index.html"));
  EXPECT_EQ(client.Get(host_->Url("/index.html"), {}, "HEAD").status, 200);
  EXPECT_EQ(client.Get(host_->Url("/missing.html")).status, 404);
  EXPECT_EQ(client.Get(host_->Url("/index.html"), {}, "DELETE").status, 405);
  EXPECT_TRUE(StopAndReadLog().empty());
}

TEST_F(KyrhostTest, NoScriptImageExpiresAtOnce) {
  StartHost();
  HttpClient client;
  Response r = client.Get(host_->Url("/njs.gif?kyruri=%2Fnoscript.html"),
                          {std::string("Cookie: ") + kCookie});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.Header("Content-Type"), "image/gif");
  EXPECT_EQ(r.body, ReadFileText(SourceDir() + "/www/zr_kyr.gif"));
  EXPECT_EQ(r.Header("Expires"), "Tue, 1 Jan 1980 01:01:01 GMT");
  // The script tag's image is not expired.
  EXPECT_EQ(client.Get(host_->Url("/kyr.gif?kyruri=%2Fp"), {std::string("Cookie: ") + kCookie})
                .Header("Expires"),
            "");
  std::vector<std::string> lines = StopAndReadLog();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(" /noscript.html "), std::string::npos) << lines[0];
}

TEST_F(KyrhostTest, FirstVisitGetsTheCookieByRedirectAndIsLoggedOnce) {
  StartHost();
  HttpClient browser;
  browser.UseCookieJar();
  Response first = browser.Get(host_->Url("/kyr.gif?kyruri=%2Fwelcome.html"));
  EXPECT_EQ(first.status, 303);
  EXPECT_EQ(first.head.rfind("HTTP/1.1 303 Object Moved\r\n", 0), 0u) << first.head;
  EXPECT_EQ(first.Header("Location"), "/kyr.gif?kyrredirect=1&kyruri=%2Fwelcome.html");
  std::string cookie = first.Header("Set-Cookie");
  ASSERT_EQ(cookie.rfind("VANTORELL_ID=127.0.0.1-", 0), 0u) << cookie;
  std::string value = cookie.substr(13, cookie.find(';') - 13);

  browser.FollowRedirects(true);
  Response second = browser.Get(host_->Url(first.Header("Location")));
  EXPECT_EQ(second.status, 200);
  EXPECT_EQ(second.Header("Set-Cookie"), "");

  std::vector<std::string> lines = StopAndReadLog();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(" /welcome.html ZR.co_d=" + value + "&ZR.co=Yes "), std::string::npos)
      << lines[0];
}

TEST_F(KyrhostTest, HostedSiteTagIsServedFromTheSiteRootIntoItsOwnFile) {
  StartHost("[logserver]\nhostedmodel = true\nsplitlogs = true\n");
  const std::string id = "kyr0123456789abcdefghijkl_7k9d";
  HttpClient client;
  Response r = client.Get(host_->Url("/" + id + "/kyr.gif?kyruri=%2Fhosted.html"),
                          {std::string("Cookie: ") + kCookie});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, ReadFileText(SourceDir() + "/www/zr_kyr.gif"));
  // Other files under a site's directory are served from the site root too.
  EXPECT_EQ(client.Get(host_->Url("/" + id + "/kyrtag.js")).body,
            ReadFileText(SourceDir() + "/www/kyrtag.js"));
  std::vector<std::string> lines = StopAndReadLog();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(" /hosted.html "), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].substr(lines[0].size() - id.size() - 1), " " + id);  // the kyr-id column
  std::vector<std::string> files = host_->LogFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(files[0].find(id), std::string::npos) << files[0];
}

TEST_F(KyrhostTest, TraversalAndMalformedRequestsAreRefused) {
  StartHost();
  HttpClient client;
  for (const char* path : {"/../cfg/kyr.cfg", "/%2e%2e/cfg/kyr.cfg", "/..%2fcfg%2fkyr.cfg",
                           "/a/..%5c..%5ccfg", "/kyr.gif%00.html", "/%zz"}) {
    Response r = client.Get(host_->Url(path));
    EXPECT_EQ(r.status, 400) << path;
    EXPECT_EQ(r.body.find("[logserver]"), std::string::npos) << path;
  }
  std::string raw =
      RawExchange(host_->Port(), "GET /index.html HTTP/1.1\r\nHost: x\r\n" +
                                     std::string("X-Big: ") + std::string(20000, 'a') + "\r\n\r\n");
  EXPECT_EQ(raw.rfind("HTTP/1.1 431 ", 0), 0u) << raw.substr(0, 80);
  raw = RawExchange(host_->Port(), "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n");
  EXPECT_EQ(raw.rfind("HTTP/1.1 414 ", 0), 0u) << raw.substr(0, 80);
  raw = RawExchange(host_->Port(), "NOT HTTP AT ALL\r\n\r\n");
  EXPECT_EQ(raw.rfind("HTTP/1.1 400 ", 0), 0u) << raw.substr(0, 80);
  raw = RawExchange(host_->Port(), "GET /index.html HTTP/1.1\r\nBad Header\r\n\r\n");
  EXPECT_EQ(raw.rfind("HTTP/1.1 400 ", 0), 0u) << raw.substr(0, 80);
  // Two requests pipelined on one connection are both answered, in order.
  raw = RawExchange(host_->Port(),
                    "GET /missing HTTP/1.1\r\nHost: x\r\n\r\n"
                    "GET /index.html HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(raw.rfind("HTTP/1.1 404 ", 0), 0u);
  EXPECT_NE(raw.find("HTTP/1.1 200 OK"), std::string::npos);
  EXPECT_EQ(host_->Stop(), 0);
}

TEST_F(KyrhostTest, GracefulStopUnderLoadKeepsEveryAnsweredHit) {
  StartHost();
  std::atomic<int> answered{0};
  std::atomic<bool> started{false};
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&, t] {
      HttpClient client;
      for (int i = 0;; ++i) {
        std::string url =
            host_->Url("/kyr.gif?kyruri=%2Fload%2F" + std::to_string(t) + "-" + std::to_string(i));
        Response r = client.Get(url, {std::string("Cookie: ") + kCookie});
        if (r.status == 0)
          return;  // the server has stopped
        if (r.status == 200)
          answered++;
        started = true;
      }
    });
  }
  while (!started)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(host_->Stop(), 0);
  for (auto& c : clients)
    c.join();
  std::vector<std::string> lines = host_->LogLines();
  EXPECT_GT(answered.load(), 0);
  EXPECT_EQ(lines.size(), static_cast<size_t>(answered.load()));
}

TEST_F(KyrhostTest, HttpsListenerTellsTheModuleTheRequestIsSecure) {
  TempDir keys;
  const std::string& dir = keys.Path();
  std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + dir +
                        "/key.pem -out " + dir +
                        "/cert.pem -days 2 -subj /CN=localhost >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << "openssl could not make a certificate";
  // Secure cookies are issued over HTTPS only.
  host_ = std::make_unique<HostProcess>(
      "[cookieserver]\nsecure = true\n", "",
      std::vector<std::string>{"--tls-listen", "127.0.0.1:0", "--tls-cert", dir + "/cert.pem",
                               "--tls-key", dir + "/key.pem"});
  std::string output;
  ASSERT_TRUE(host_->Start(output)) << output;
  ASSERT_GT(host_->TlsPort(), 0) << output;
  HttpClient client;
  std::string https = "https://127.0.0.1:" + std::to_string(host_->TlsPort());
  Response secure = client.Get(https + "/kyr.gif?kyruri=%2Fsecure");
  EXPECT_EQ(secure.status, 303);
  EXPECT_NE(secure.Header("Set-Cookie").find("; secure"), std::string::npos) << secure.head;
  Response plain = client.Get(host_->Url("/kyr.gif?kyruri=%2Fplain"));
  EXPECT_EQ(plain.Header("Set-Cookie"), "");
  EXPECT_EQ(client.Get(https + "/index.html").body, ReadFileText(SourceDir() + "/www/index.html"));
  EXPECT_EQ(host_->Stop(), 0);
}

TEST_F(KyrhostTest, HitCountFileAddsUpToTheHitsAndRequestsServed) {
  StartHost("[logserver]\ntrackhitcount = true\ntrackfirsttimecookies = false\n");
  const int kThreads = 2;
  const int kHits = 40;   // tag hits per thread
  const int kPages = 25;  // other requests per thread
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t)
    clients.emplace_back([&, t] {
      HttpClient client;
      for (int i = 0; i < kHits + kPages; ++i) {
        std::string path =
            i < kHits ? "/kyr.gif?kyruri=%2Fp" + std::to_string(t * 1000 + i) : "/index.html";
        if (client.Get(host_->Url(path)).status == 200)
          ++answered;
      }
    });
  for (std::thread& c : clients)
    c.join();
  EXPECT_EQ(answered.load(), kThreads * (kHits + kPages));
  EXPECT_EQ(StopAndReadLog().size(), static_cast<size_t>(kThreads * kHits));
  // The last interval is written when kyrhost stops.
  long hits = 0, requests = 0;
  for (const std::string& f : ListDir(host_->Root() + "/log")) {
    if (f.size() < 5 || f.substr(f.size() - 5) != ".hclf")
      continue;
    for (const std::string& line : DataLines(ReadFileText(host_->Root() + "/log/" + f))) {
      std::vector<std::string> cells;
      size_t start = 0;
      for (size_t comma; (comma = line.find(',', start)) != std::string::npos; start = comma + 1)
        cells.push_back(line.substr(start, comma - start));
      cells.push_back(line.substr(start));
      ASSERT_EQ(cells.size(), 11u) << line;
      (cells[3] == "0" ? hits : requests) += std::stol(cells[4]);
    }
  }
  EXPECT_EQ(hits, kThreads * kHits);
  EXPECT_EQ(requests, kThreads * kPages);
}

TEST_F(KyrhostTest, RefusesToStartWithoutAWorkingModule) {
  HostProcess missing("", "", {"--filter", "/nonexistent/libkyrfilter.so"});
  std::string output;
  EXPECT_FALSE(missing.Start(output));
  EXPECT_NE(output.find("cannot load the filter module"), std::string::npos) << output;
  EXPECT_EQ(missing.Stop(), 1);

  // The hosted service model with a site map that is not there.
  HostProcess refused(
      "[logserver]\nhostedmodel = true\n[servicemodel]\nservicemodel = true\n"
      "sitemapenabled = true\n");
  output.clear();
  EXPECT_FALSE(refused.Start(output));
  EXPECT_NE(output.find("refused to start"), std::string::npos) << output;
  EXPECT_EQ(refused.Stop(), 1);
}

}  // namespace
}  // namespace e2e
