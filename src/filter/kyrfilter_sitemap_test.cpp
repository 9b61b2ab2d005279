// The hosted service model driven through the exported entry points: hits
// checked against the site map, routed by latency class into the standard,
// short-lag and real-time streams, copied to further KYR IDs, decoupled; the
// site map's start-up fallback to its backup, its reload thread, and the
// recovery of log files an earlier run left busy.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "sitemap/lfmsitemapheartbeat.h"
#include "sitemap/tssiteparammap.h"
#include "sitemap/tssiteparams.h"
#include "tests/support/filterfixture.h"

namespace {

const std::string kA = "kyraaaaaaaaaaaaaaaaaaaaaa_7k8y";
const std::string kB = "kyrbbbbbbbbbbbbbbbbbbbbbb_8p4c";
const std::string kC = "kyrcccccccccccccccccccccc_9u9f";
const std::string kD = "kyrdddddddddddddddddddddd_1z5i";
const std::string kE = "kyreeeeeeeeeeeeeeeeeeeeee_2f1l";
const std::string kU = "kyruuuuuuuuuuuuuuuuuuuuuu_9k9j";
const std::string kEUpper = "KYREEEEEEEEEEEEEEEEEEEEEE_2F1L";

// Site maps; checksums computed with an independent MD5 over the data lines.
// A: standard lag, copied to C and to B. B: short lag, no cookies. D: copied to C
// and decoupled. E, listed in upper case: lists an unusable id, itself, and
// C twice, once in upper case.
const std::string kFirstMap =
    "#Application: test\r\n#Fields: kyrid,tagid,schedulepriority,realtimeid,cookiesenabled,"
    "timezone\r\n#LineCount: 4\r\n#CheckSum: 5E0FDD5B226ADCBB4E2D467BA50482C9\r\n" +
    kA + ",tagA,0," + kC + ":" + kB + ",1,0\r\n" + kB + ",tagB,1,null,0,2\r\n" + kD + ",tagD,0,'" +
    kC + ":decouple',1,0\r\n" + kEUpper + ",tagE,0,'../x:" + kE +
    ":KYRCCCCCCCCCCCCCCCCCCCCCC_9U9F:" + kC + "',1,0\r\n";
// A as before; B gone; U new (short lag).
const std::string kSecondMap =
    "#Application: test\r\n#Fields: kyrid,tagid,schedulepriority,realtimeid,cookiesenabled,"
    "timezone\r\n#LineCount: 2\r\n#CheckSum: 46E30C4CFC62BCAD0069B0C361F9D8C5\r\n" +
    kA + ",tagA,0," + kC + ",1,0\r\n" + kU + ",tagU,1,null,1,0\r\n";

const std::string kService =
    "hostedmodel = true\ntrackfirsttimecookies = false\nwritebuffersize = 512\n";
const std::string kSiteMapOn = "[servicemodel]\nservicemodel = true\nsitemapenabled = true\n";

class SiteMapTest : public FilterTest {
 protected:
  ~SiteMapTest() override { lfmSiteMapHeartBeat::SetPeriodForTest(0); }

  // A fresh root with `siteMap` as the site map file (none when empty).
  // With `reloadMs`, the reload thread reloads at that period.
  BOOL StartWith(const std::string& logserver, const std::string& more, const std::string& siteMap,
                 uint32_t reloadMs = 0) {
    NewRoot(FilterConfig(logserver, more));
    lfmSiteMapHeartBeat::SetPeriodForTest(reloadMs);
    if (!siteMap.empty())
      root_->Write("cfg/vantorellsites.lst", siteMap);
    HTTP_FILTER_VERSION v{};
    BOOL ok = GetFilterVersion(&v);
    started_ = ok == TRUE;
    return ok;
  }
  static std::unique_ptr<FakeIIS> Hit(const std::string& id, const std::string& marker) {
    auto iis = FakeIIS::Get("/" + id + "/kyr.gif", "kyruri=/p/" + marker);
    iis->Run();
    return iis;
  }
  // Data lines of every file of the three stream directories, by directory,
  // with each file's name checked against its stream.
  std::map<std::string, std::vector<std::string>> Streams() {
    std::map<std::string, std::vector<std::string>> lines;
    for (const char* dir : {"weblog", "shortlag", "realtime"}) {
      for (const std::string& f : ListDir(root_->File(dir))) {
        EXPECT_EQ(f.substr(f.size() - 4), ".log") << dir << "/" << f;
        std::string text = ReadFileText(root_->File(std::string(dir) + "/" + f));
        EXPECT_EQ(text.find('\0'), std::string::npos) << f;
        EXPECT_EQ(Count(text, "#Fields"), 1u) << f;
        for (const std::string& line : DataLines(text)) {
          std::vector<std::string> fields = Fields(line);
          const std::string& id = fields.back();
          std::string stream = dir;
          if (stream == "weblog") {
            EXPECT_EQ(f.find("-kyr"), std::string::npos) << f;
          } else if (stream == "shortlag") {
            EXPECT_EQ(f.rfind(id + "-kyr", 0), 0u) << f;  // the site's own short-lag file
          }
          lines[stream].push_back(fields[kStem] +
                                  (stream == "realtime" ? "@" + f.substr(0, 30) : ""));
        }
      }
    }
    return lines;
  }
};

struct SwitchCase {
  const char* what;
  const char* logserver;
};

// The switches that share a routed stream's state: how its file is written
// (plain, memory-mapped), whether an ended period's file stays open for the
// heartbeat to close (lazy), and whether each stream has files of its own
// competing for a budget of one handle (split logs).
TEST_F(SiteMapTest, RoutesEachListedSiteByLatencyClassWhateverTheFileSwitches) {
  const SwitchCase cases[] = {
      {"plain", ""},
      {"lazy", "uselazyfileclose = true\n"},
      {"mapped", "usememmappedfile = true\n"},
      {"mapped lazy", "usememmappedfile = true\nuselazyfileclose = true\n"},
      {"split plain", "splitlogs = true\nmaxhandlecount = 1\n"},
      {"split lazy", "splitlogs = true\nmaxhandlecount = 1\nuselazyfileclose = true\n"},
      {"split mapped", "splitlogs = true\nmaxhandlecount = 1\nusememmappedfile = true\n"},
      {"split mapped lazy",
       "splitlogs = true\nmaxhandlecount = 1\nusememmappedfile = true\nuselazyfileclose = true\n"},
  };
  const int kRounds = 12;
  for (const SwitchCase& c : cases) {
    SCOPED_TRACE(c.what);
    lfmClock::SetSecondsForTest(UtcTime(2004, 5, 7, 13, 0, 30));
    ASSERT_EQ(StartWith(kService + c.logserver, kSiteMapOn, kFirstMap), TRUE);
    for (int i = 0; i < kRounds; ++i) {
      for (const std::string* id : {&kA, &kB, &kD, &kE, &kU}) {
        auto iis = Hit(*id, id->substr(3, 1) + std::to_string(i));
        if (i == 0 && id == &kA) {
          EXPECT_TRUE(iis->HasResponseHeader("Set-Cookie"));
        }
        if (i == 0 && id == &kB) {  // "cookiesenabled" 0
          EXPECT_FALSE(iis->HasResponseHeader("Set-Cookie"));
        }
      }
      lfmClock::AdvanceForTest(30 * 1000000LL);  // periods end on the way
    }
    TerminateFilter(0);
    started_ = false;

    std::map<std::string, std::vector<std::string>> s = Streams();
    std::multiset<std::string> standard(s["weblog"].begin(), s["weblog"].end());
    std::multiset<std::string> shortLag(s["shortlag"].begin(), s["shortlag"].end());
    std::multiset<std::string> realTime(s["realtime"].begin(), s["realtime"].end());
    EXPECT_EQ(standard.size(), 2u * kRounds);
    EXPECT_EQ(shortLag.size(), 1u * kRounds);
    EXPECT_EQ(realTime.size(), 4u * kRounds);
    for (int i = 0; i < kRounds; ++i) {
      std::string n = std::to_string(i);
      EXPECT_EQ(standard.count("/p/a" + n), 1u) << n;
      EXPECT_EQ(standard.count("/p/e" + n), 1u) << n;
      EXPECT_EQ(shortLag.count("/p/b" + n), 1u) << n;
      // Copies go to C's real-time file, under its id as a request keeps it.
      for (const char* site : {"a", "d", "e"})
        EXPECT_EQ(realTime.count("/p/" + std::string(site) + n + "@" + kC), 1u) << site << n;
      // B's real-time stream of copies is not its short-lag stream.
      EXPECT_EQ(realTime.count("/p/a" + n + "@" + kB), 1u) << n;
    }
    std::string audit = Audit();
    EXPECT_EQ(Count(audit, "KYR ID not found in sitemap file"), static_cast<size_t>(kRounds));
    EXPECT_EQ(
        Count(audit, "invalid further KYR ID for site " + kEUpper + ", which was skipped: ../x"),
        1u);
    EXPECT_EQ(audit.find("Failed to open"), std::string::npos);
  }
}

TEST_F(SiteMapTest, StartsFromTheNewestBackupOnlyWhenTheFileDoesNotLoad) {
  struct Case {
    const char* what;
    std::string file;    // "" for none
    std::string backup;  // "" for none
    BOOL started;
    bool usingBackup;
  };
  std::string corrupt = kFirstMap;
  corrupt.replace(corrupt.find("#LineCount: 4"), 13, "#LineCount: 5");
  const Case cases[] = {
      {"good file", kFirstMap, kSecondMap, TRUE, false},
      {"missing file, good backup", "", kFirstMap, TRUE, true},
      {"corrupt file, good backup", corrupt, kFirstMap, TRUE, true},
      {"corrupt file, no backup", corrupt, "", FALSE, true},
      {"nothing at all", "", "", FALSE, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NewRoot(FilterConfig(kService, kSiteMapOn));
    if (!c.file.empty())
      root_->Write("cfg/vantorellsites.lst", c.file);
    if (!c.backup.empty())
      root_->Write("log/smap.lst.bak.1", c.backup);
    HTTP_FILTER_VERSION v{};
    ASSERT_EQ(GetFilterVersion(&v), c.started);
    started_ = c.started == TRUE;
    std::string audit = Audit();
    EXPECT_EQ(Count(audit, "Failed to load sitemap file: " + root_->File("cfg/vantorellsites.lst") +
                               "\nUsing backup from directory: " + root_->File("log")),
              c.usingBackup ? 1u : 0u);
    EXPECT_EQ(Count(audit, "Failed to load backup sitemap file."), c.started ? 0u : 1u);
    EXPECT_EQ(Count(audit, "Failed to load the SiteMap file."), c.started ? 0u : 1u);
    // A refused start leaves no reload thread behind.
    EXPECT_EQ(lfmSiteMapHeartBeat::IsStarted(), c.started == TRUE);
    if (c.started) {
      tsSiteParams site;
      EXPECT_TRUE(tsSiteParamMapController::Instance().Lookup(kA, site));
      EXPECT_EQ(site.found, true);
      TerminateFilter(0);
      started_ = false;
      EXPECT_FALSE(lfmSiteMapHeartBeat::IsStarted());
    }
  }
}

// Waits (at most 20 s) until the reload thread has finished `n` more reloads.
bool WaitForReloads(int64_t from, int64_t n) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (lfmSiteMapHeartBeat::Reloads() < from + n) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST_F(SiteMapTest, ReloadsWhileHitsArriveWithoutLosingOneInEitherLockModel) {
  for (const char* lockModel : {"0", "1"}) {
    SCOPED_TRACE(lockModel);
    // Reloaded (and swapped) every time even when unchanged, so lookups
    // race swaps all the time.
    ASSERT_EQ(
        StartWith(kService,
                  kSiteMapOn + "sitemapreloadsame = true\nsitemaplockmodel = " + lockModel + "\n",
                  kFirstMap, 1),
        TRUE);
    lfmSiteMapHeartBeat::Start();  // refused: one thread only
    std::atomic<bool> done{false};
    std::atomic<int> hits{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w)
      threads.emplace_back([&, w] {
        for (int i = 0; !done || i < 50; ++i) {
          Hit(kA, "w" + std::to_string(w) + "x" + std::to_string(i));
          ++hits;
        }
      });
    int64_t before = lfmSiteMapHeartBeat::Reloads();
    EXPECT_TRUE(WaitForReloads(before, 20));
    // Replace the file: B leaves, U arrives.
    root_->Write("cfg/vantorellsites.lst", kSecondMap);
    int64_t replaced = lfmSiteMapHeartBeat::Reloads();
    EXPECT_TRUE(WaitForReloads(replaced, 2));
    done = true;
    for (std::thread& t : threads)
      t.join();
    Hit(kU, "u-after");
    Hit(kB, "b-after");
    TerminateFilter(0);
    started_ = false;
    EXPECT_FALSE(lfmSiteMapHeartBeat::IsStarted());

    std::map<std::string, std::vector<std::string>> s = Streams();
    // Every hit of A, listed in both maps, was accepted across the swaps.
    EXPECT_EQ(s["weblog"].size(), static_cast<size_t>(hits.load()));
    EXPECT_EQ(s["shortlag"], std::vector<std::string>{"/p/u-after"});
    std::string audit = Audit();
    EXPECT_EQ(Count(audit, "KYR ID not found in sitemap file"), 1u);  // b-after
    EXPECT_EQ(Count(audit, "Attempted to restart the SiteMapHeartBeat"), 1u);
    EXPECT_EQ(audit.find("not gracefully shutdown"), std::string::npos);
  }
}

TEST_F(SiteMapTest, StopCancelsALongReloadAndKeepsTheMapInForce) {
  // 120 ms of pause every 100 lines: a full scan of this file takes minutes.
  std::string big =
      "#Fields: kyrid,tagid\r\n#LineCount: 100000\r\n#CheckSum: "
      "00000000000000000000000000000000\r\n";
  for (int i = 0; i < 100000; ++i)
    big += "k" + std::to_string(i) + ",t\r\n";
  ASSERT_EQ(StartWith(kService, kSiteMapOn + "sitemapsleeptime = 120\n[auditlog]\ndebuglevel = 2\n",
                      kFirstMap, 1),
            TRUE);
  root_->Write("cfg/vantorellsites.lst", big);
  // Wait until a reload of the big file is under way.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (Count(Audit(), "SiteMapLoad(0) Start") == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto stopping = std::chrono::steady_clock::now();
  TerminateFilter(0);
  started_ = false;
  // Far less than the scan would take (a generous bound against a slow machine).
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(15));
  EXPECT_EQ(Audit().find("not gracefully shutdown"), std::string::npos);
  tsSiteParams site;
  EXPECT_TRUE(tsSiteParamMapController::Instance().Lookup(kB, site));
}

TEST_F(SiteMapTest, FinishesBusyFilesOfAnEarlierRunCuttingTheirMappedPadding) {
  NewRoot(FilterConfig(kService, kSiteMapOn));
  root_->Write("cfg/vantorellsites.lst", kFirstMap);
  const std::string line = "2004-05-07 13:00:30 data line\r\n";
  struct Left {
    const char* name;
    std::string content;
    const char* finished;  // "" when the file is to be removed
    std::string expected;
  };
  const Left left[] = {
      {"weblog/kyr1.kyrbusy", line + std::string(70000, '\0'), "weblog/kyr1.log", line},
      {"shortlag/b-kyr1.kyrbusy", line, "shortlag/b-kyr1.log", line},
      {"realtime/c-kyr1.kyrbusy", line + line + std::string(4096, '\0'), "realtime/c-kyr1.log",
       line + line},
      {"realtime/c-kyr2.kyrbusy", std::string(65536 * 2 + 1, '\0'), "", ""},
      {"weblog/kyr2.kyrbusy", "", "", ""},
  };
  for (const char* dir : {"weblog", "shortlag", "realtime"})
    std::filesystem::create_directories(root_->File(dir));
  for (const Left& l : left)
    root_->Write(l.name, l.content);
  ASSERT_TRUE(root_->Exists(left[0].name));
  HTTP_FILTER_VERSION v{};
  ASSERT_EQ(GetFilterVersion(&v), TRUE);
  started_ = true;
  for (const Left& l : left) {
    SCOPED_TRACE(l.name);
    EXPECT_FALSE(root_->Exists(l.name));
    if (*l.finished) {
      EXPECT_EQ(root_->Read(l.finished), l.expected);
    }
  }
}

}  // namespace
