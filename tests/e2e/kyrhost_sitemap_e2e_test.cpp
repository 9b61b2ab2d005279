// kyrhost as a collection server for many sites (the hosted service model
// with a site map): which file each listed site's hits land in, what an
// unlisted site gets, and a site map replaced on disk while hits arrive.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>
#include <thread>

#include "tests/e2e/hostprocess.h"
#include "tests/e2e/httpclient.h"
#include "tests/support/filtertest.h"
#include "tests/support/temproot.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kA = "kyraaaaaaaaaaaaaaaaaaaaaa_7k8y";
const std::string kB = "kyrbbbbbbbbbbbbbbbbbbbbbb_8p4c";
const std::string kC = "kyrcccccccccccccccccccccc_9u9f";
const std::string kD = "kyrdddddddddddddddddddddd_1z5i";
const std::string kE = "kyreeeeeeeeeeeeeeeeeeeeee_2f1l";
const std::string kU = "kyruuuuuuuuuuuuuuuuuuuuuu_9k9j";

// Site maps with their MD5 checksums over the data lines. A: standard lag,
// copied to C's real-time file. B: short lag, no cookies. D: copied to C
// and decoupled from its own file. U is not listed.
const std::string kFirstMap =
    "#Application: test\r\n#Fields: kyrid,tagid,schedulepriority,realtimeid,cookiesenabled,"
    "timezone\r\n#LineCount: 4\r\n#CheckSum: FEFCD5652722911AEA1DD6A0243AA5CF\r\n" +
    kA + ",tagA,0," + kC + ",1,0\r\n" + kB + ",tagB,1,null,0,2\r\n" + kD + ",tagD,0,'" + kC +
    ":decouple',1,0\r\n" + kE + ",tagE,0,'../x:" + kE + ":KYRCCCCCCCCCCCCCCCCCCCCCC_9U9F',1,0\r\n";
// A as before; B gone; U new (short lag, cookies).
const std::string kSecondMap =
    "#Application: test\r\n#Fields: kyrid,tagid,schedulepriority,realtimeid,cookiesenabled,"
    "timezone\r\n#LineCount: 2\r\n#CheckSum: 46E30C4CFC62BCAD0069B0C361F9D8C5\r\n" +
    kA + ",tagA,0," + kC + ",1,0\r\n" + kU + ",tagU,1,null,1,0\r\n";

// Period names and line times both in UTC, whatever the machine's zone;
// every refused hit reported, none summed up by the per-minute limit.
const std::string kHostedService =
    "[logserver]\nhostedmodel = true\ntrackfirsttimecookies = false\n"
    "[logrotation]\ngmtrotation = true\n"
    "[auditlog]\nrequestmessagesperminute = 0\n"
    "[servicemodel]\nservicemodel = true\nsitemapenabled = true\n";

const char* const kRefused =
    "The following invalid hit was discarded due to KYR ID not found in sitemap file";
const char* const kStreamDirs[] = {"weblog", "shortlag", "realtime"};
constexpr size_t kStemColumn = 6;
constexpr size_t kIdLength = 30;

std::string TagUrl(const HostProcess& host, const std::string& id, const std::string& page) {
  return host.Url("/" + id + "/kyr.gif?kyruri=%2Fp%2F" + page);
}

// "<dir>:<owner> <cs-uri-stem> <kyr-id>" for one logged line; the owner is
// the KYR ID a short-lag or real-time file is named after ("" in weblog/).
std::string Entry(const std::string& dir, const std::string& owner, const std::string& stem,
                  const std::string& id) {
  return dir + ":" + owner + " " + stem + " " + id;
}

// Every file of the three stream directories (names without the directory).
std::set<std::string> StreamFiles(const HostProcess& host) {
  std::set<std::string> names;
  for (const char* dir : kStreamDirs)
    for (const std::string& f : ListDir(host.Root() + "/" + dir))
      names.insert(std::string(dir) + "/" + f);
  return names;
}

std::string WithoutExtension(const std::string& name) {
  return name.substr(0, name.rfind('.'));
}

// The lines of every finished stream file as Entry()s. Each file must be
// finished (".log"), named for its stream, free of NUL bytes, with one
// header, and hold no line of a minute after the one its name begins.
std::multiset<std::string> FinishedStreams(const HostProcess& host) {
  std::multiset<std::string> entries;
  for (const char* dir : kStreamDirs) {
    for (const std::string& f : ListDir(host.Root() + "/" + dir)) {
      SCOPED_TRACE(std::string(dir) + "/" + f);
      EXPECT_EQ(f.substr(f.rfind('.')), ".log");
      std::string owner;
      if (std::string(dir) != "weblog")
        owner = f.substr(0, kIdLength);
      std::string prefix = owner.empty() ? "kyr-" : owner + "-kyr-";
      if (f.rfind(prefix, 0) != 0) {
        ADD_FAILURE() << "not named for its stream";
        continue;
      }
      // "YYYY-MM-DD-HH-0MMSS" after the prefix, as "YYYY-MM-DD HH:MM".
      std::string begun = f.substr(prefix.size(), 19);
      std::string minute =
          begun.substr(0, 10) + " " + begun.substr(11, 2) + ":" + begun.substr(15, 2);
      std::string text = ReadFileText(host.Root() + "/" + dir + "/" + f);
      EXPECT_EQ(text.find('\0'), std::string::npos);
      EXPECT_EQ(Count(text, "#Fields:"), 1u);
      for (const std::string& line : DataLines(text)) {
        std::vector<std::string> fields = Fields(line);
        if (fields.size() <= kStemColumn + 1) {
          ADD_FAILURE() << "short line: " << line;
          continue;
        }
        EXPECT_LE(line.substr(0, 16), minute) << line;
        entries.insert(Entry(dir, owner, fields[kStemColumn], fields.back()));
      }
    }
  }
  return entries;
}

std::string Audit(const HostProcess& host) {
  return ReadFileText(host.Root() + "/log/kyr.audit");
}

std::string RefusedUri(const std::string& id) {
  return "URI: /" + id + "/kyr.gif";
}

TEST(KyrhostSiteMapTest, RoutesListedSitesToTheirStreamsAndRefusesAnUnlistedOne) {
  HostProcess host(kHostedService);
  WriteFileText(host.Root() + "/cfg/vantorellsites.lst", kFirstMap);
  std::string output;
  ASSERT_TRUE(host.Start(output)) << output;

  struct Site {
    const std::string& id;
    const char* page;
    bool cookie;
  };
  const Site sites[] = {
      {kA, "a", true},   // standard lag, copied to C
      {kB, "b", false},  // short lag, cookies disabled
      {kD, "d", true},   // only in C's real-time file
      {kU, "u", false},  // not listed: refused, still answered with the image
  };
  const std::string image = ReadFileText(SourceDir() + "/www/zr_kyr.gif");
  HttpClient client;
  for (int n = 0; n < 2; ++n) {
    for (const Site& s : sites) {
      SCOPED_TRACE(s.page + std::to_string(n));
      Response r = client.Get(TagUrl(host, s.id, s.page + std::to_string(n)));
      EXPECT_EQ(r.status, 200);
      EXPECT_EQ(r.Header("Content-Type"), "image/gif");
      EXPECT_EQ(r.body, image);
      EXPECT_EQ(r.Header("Set-Cookie").empty(), !s.cookie) << r.head;
    }
  }

  // While kyrhost runs each stream's current file is busy, and every file
  // is named for one of the three streams (a period may have ended on the
  // way, its file already finished).
  std::set<std::string> running = StreamFiles(host);
  const std::string streams[] = {"weblog/kyr-", "shortlag/" + kB + "-kyr-",
                                 "realtime/" + kC + "-kyr-"};
  for (const std::string& stream : streams) {
    bool busy = false;
    for (const std::string& f : running)
      busy = busy || (f.rfind(stream, 0) == 0 && WithoutExtension(f) + ".kyrbusy" == f);
    EXPECT_TRUE(busy) << stream;
  }
  for (const std::string& f : running) {
    size_t matching = 0;
    for (const std::string& stream : streams)
      matching += f.rfind(stream, 0) == 0 ? 1 : 0;
    EXPECT_EQ(matching, 1u) << f;
  }

  EXPECT_EQ(host.Stop(), 0);
  // Every busy file was finished under the same name.
  std::set<std::string> stopped = StreamFiles(host);
  std::set<std::string> expectedNames;
  for (const std::string& f : running)
    expectedNames.insert(WithoutExtension(f) + ".log");
  EXPECT_EQ(stopped, expectedNames);

  std::multiset<std::string> expected;
  for (const char* n : {"0", "1"}) {
    expected.insert(Entry("weblog", "", std::string("/p/a") + n, kA));
    expected.insert(Entry("shortlag", kB, std::string("/p/b") + n, kB));
    expected.insert(Entry("realtime", kC, std::string("/p/a") + n, kA));
    expected.insert(Entry("realtime", kC, std::string("/p/d") + n, kD));
  }
  EXPECT_EQ(FinishedStreams(host), expected);
  std::string audit = Audit(host);
  EXPECT_EQ(Count(audit, kRefused), 2u) << audit;
  EXPECT_EQ(Count(audit, RefusedUri(kU)), 2u) << audit;
}

// One hit as the client saw it.
struct Sent {
  long status = 0;
  bool cookie = false;
  Clock::time_point begun;
  Clock::time_point answered;
};

// The site map file replaced, as an operator would, while three clients
// send hits for a site listed throughout (A), one that leaves (B) and one
// that arrives (U); the map is reloaded every minute and every stream
// rotates every minute. About 65 s: the first reload comes a minute after
// start.
TEST(KyrhostSiteMapTest, ReplacedSiteMapTakesEffectAtAReloadWithoutLosingAHit) {
  HostProcess host(kHostedService +
                   "sitemapreloadrate = 1\nrotationratestandardlag = 1\n"
                   "rotationrateshortlag = 1\nrotationraterealtime = 1\n");
  const std::string siteMap = host.Root() + "/cfg/vantorellsites.lst";
  WriteFileText(siteMap, kFirstMap);
  std::string output;
  ASSERT_TRUE(host.Start(output)) << output;
  auto started = Clock::now();
  WriteFileText(siteMap + ".new", kSecondMap);
  ASSERT_EQ(std::rename((siteMap + ".new").c_str(), siteMap.c_str()), 0);

  struct Client {
    const std::string& id;
    const char* page;
    std::vector<Sent> sent;  // by hit number; written by its thread only
  };
  Client clients[] = {{kA, "a/", {}}, {kB, "b/", {}}, {kU, "u/", {}}};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (Client& c : clients) {
    threads.emplace_back([&host, &done, &c] {
      HttpClient http;
      while (!done) {
        Sent s;
        s.begun = Clock::now();
        Response r = http.Get(TagUrl(host, c.id, c.page + std::to_string(c.sent.size())));
        s.answered = Clock::now();
        s.status = r.status;
        s.cookie = !r.Header("Set-Cookie").empty();
        c.sent.push_back(s);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));  // a few hits a second
      }
    });
  }
  // U's short-lag file appears with its first accepted hit.
  bool arrived = false;
  while (!arrived && Clock::now() - started < std::chrono::seconds(100)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    for (const std::string& f : ListDir(host.Root() + "/shortlag"))
      arrived = arrived || f.rfind(kU + "-kyr-", 0) == 0;
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  done = true;
  for (std::thread& t : threads)
    t.join();
  EXPECT_EQ(host.Stop(), 0);
  ASSERT_TRUE(arrived) << "hits for the added site were never accepted";

  for (const Client& c : clients) {
    ASSERT_FALSE(c.sent.empty());
    for (size_t n = 0; n < c.sent.size(); ++n)
      EXPECT_EQ(c.sent[n].status, 200) << c.page << n;
  }
  std::multiset<std::string> logged = FinishedStreams(host);
  auto loggedAs = [&](const Client& c, const std::string& dir, const std::string& owner, size_t n) {
    return logged.count(Entry(dir, owner, "/p/" + std::string(c.page) + std::to_string(n), c.id));
  };
  const Client& a = clients[0];
  const Client& b = clients[1];
  const Client& u = clients[2];

  // A: every hit once in the standard stream and once in C's real-time file.
  for (size_t n = 0; n < a.sent.size(); ++n) {
    EXPECT_EQ(loggedAs(a, "weblog", "", n), 1u) << n;
    EXPECT_EQ(loggedAs(a, "realtime", kC, n), 1u) << n;
  }
  // U: refused up to the reload, accepted from it on; a refused hit gets no
  // cookie, an accepted one does.
  size_t firstU = 0;
  while (firstU < u.sent.size() && loggedAs(u, "shortlag", kU, firstU) == 0)
    ++firstU;
  ASSERT_GT(firstU, 0u);
  ASSERT_LT(firstU, u.sent.size());
  for (size_t n = 0; n < u.sent.size(); ++n) {
    EXPECT_EQ(loggedAs(u, "shortlag", kU, n), n < firstU ? 0u : 1u) << n;
    EXPECT_EQ(u.sent[n].cookie, n >= firstU) << n;
  }
  // B: accepted up to the reload, refused from it on.
  size_t firstRefusedB = 0;
  while (firstRefusedB < b.sent.size() && loggedAs(b, "shortlag", kB, firstRefusedB) == 1)
    ++firstRefusedB;
  ASSERT_GT(firstRefusedB, 0u);
  ASSERT_LT(firstRefusedB, b.sent.size());
  for (size_t n = 0; n < b.sent.size(); ++n)
    EXPECT_EQ(loggedAs(b, "shortlag", kB, n), n < firstRefusedB ? 1u : 0u) << n;
  // One switch for both: no B hit begun after U's first acceptance was
  // accepted, and no U hit begun after B's first refusal was refused.
  EXPECT_LE(b.sent[firstRefusedB - 1].begun, u.sent[firstU].answered);
  EXPECT_LE(u.sent[firstU - 1].begun, b.sent[firstRefusedB].answered);
  // Nothing else was logged.
  EXPECT_EQ(logged.size(), 2 * a.sent.size() + firstRefusedB + (u.sent.size() - firstU));

  std::string audit = Audit(host);
  EXPECT_EQ(Count(audit, RefusedUri(kU)), firstU);
  EXPECT_EQ(Count(audit, RefusedUri(kB)), b.sent.size() - firstRefusedB);
  EXPECT_EQ(Count(audit, kRefused), firstU + b.sent.size() - firstRefusedB);

  // The streams rotated on the way, and every file was finished.
  std::set<std::string> files = StreamFiles(host);
  size_t standard = 0, realTime = 0;
  for (const std::string& f : files) {
    EXPECT_EQ(f.find(".kyrbusy"), std::string::npos) << f;
    standard += f.rfind("weblog/", 0) == 0 ? 1 : 0;
    realTime += f.rfind("realtime/", 0) == 0 ? 1 : 0;
  }
  EXPECT_GT(standard, 1u);
  EXPECT_GT(realTime, 1u);
}

}  // namespace
}  // namespace e2e
