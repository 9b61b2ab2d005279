// Hit counting: the lines and names of hit-count files, rotation by flushes
// and by size, intervals kept across a failed open, and counting threads
// racing the flusher.

#include "hitcount/lfmhitcountcontrollerpool.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "sitemap/tssiteparams.h"
#include "tests/support/fakerequest.h"
#include "tests/support/temproot.h"
#include "util/lfmclock.h"

namespace {

const char kSiteA[] = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";  // 30 characters
const char kSiteB[] = "BBBBBBBBBBBBBB";                  // 14 characters
const char kHeader[] =
    "#entry,flush-time,interval-time,id,raw-count,proc-count,type,server,agent,firsthit-time,"
    "lasthit-time\r\n";

std::string Config(const std::string& logserver) {
  return "[auditlog]\ndebuglevel = 2\n[logserver]\ntrackhitcount = true\n"
         "hitcountlogfiledir = %zr_root%\\hc\\\n" +
         logserver;
}

// Shuts the pool down at the end of a test (before its root goes).
struct PoolSession {
  PoolSession() { lfmHitCountControllerPool::Initialize(); }
  ~PoolSession() {
    lfmHitCountControllerPool::ShutDown();
    lfmClock::ReleaseForTest();
  }
};

void Hit(const char* kyrId, time_t t) {
  FakeRequest r;
  r.Set("KYRId", kyrId);
  tsSiteParams site;
  lfmHitCountControllerPool::CountHit(r, site, t);
}

std::string Line(int entry, time_t flush, time_t interval, const std::string& id, int count,
                 time_t first, time_t last) {
  std::ostringstream s;
  s << entry << ',' << flush << ',' << interval << ',' << id << ',' << count << ',' << count
    << ",KYR,web01,web01," << first << ',' << last << "\r\n";
  return s.str();
}

// Fails every open of a path containing `part` while `fail` is set.
class FailingOpens : public lfmPlatformWrapper {
 public:
  FailingOpens(lfmPlatform* target, std::string part)
      : lfmPlatformWrapper(target), part_(std::move(part)) {
    lfmPlatform::Install(this);
  }
  ~FailingOpens() override { lfmPlatform::Install(target()); }
  lfmFileHandle Open(const std::string& p, int f, int perm, int* e) override {
    if (fail && p.find(part_) != std::string::npos) {
      *e = EACCES;
      return kInvalidFileHandle;
    }
    return lfmPlatformWrapper::Open(p, f, perm, e);
  }
  bool fail = false;

 private:
  std::string part_;
};

TEST(HitCountControllerPool, OneIntervalGivesSiteSummaryAndGlobalLinesAndAnEmptyOneNothing) {
  const time_t t0 = UtcTime(2004, 5, 7, 13, 45, 10);
  const time_t flush = UtcTime(2004, 5, 7, 14);
  const time_t interval = UtcTime(2004, 5, 7, 13);
  struct Case {
    const char* logserver;
    std::string lines;
  } cases[] = {
      {"", Line(1, flush, interval, "0", 5, t0, t0 + 40) +
               Line(2, flush, interval, "1000000", 7, t0 + 1, t0 + 7)},
      {"hostedmodel = true\n", Line(1, flush, interval, kSiteA, 3, t0, t0 + 30) +
                                   Line(2, flush, interval, kSiteB, 2, t0 + 20, t0 + 40) +
                                   Line(3, flush, interval, "0", 5, t0, t0 + 40) +
                                   Line(4, flush, interval, "1000000", 7, t0 + 1, t0 + 7)},
  };
  for (const Case& c : cases) {
    TempRoot root(Config(c.logserver));
    root.Platform().SetHostName("Web01.example.com");
    lfmClock::SetSecondsForTest(interval);
    PoolSession session;
    EXPECT_EQ(lfmHitCountControllerPool::NextEntryForTest(), 1u);
    // An interval that counted nothing opens no file.
    lfmHitCountControllerPool::Flush(flush - 3600, interval - 3600);
    EXPECT_TRUE(ListDir(root.File("hc")).empty());

    Hit(kSiteA, t0 + 10);
    Hit(kSiteB, t0 + 40);
    Hit(kSiteA, t0);
    Hit(kSiteB, t0 + 20);
    Hit(kSiteA, t0 + 30);
    for (int i = 1; i <= 7; ++i)
      lfmHitCountControllerPool::CountRequest(t0 + i);
    lfmHitCountControllerPool::Flush(flush, interval);
    lfmHitCountControllerPool::Flush(flush + 3600, interval + 3600);

    ASSERT_EQ(ListDir(root.File("hc")), std::vector<std::string>{"web01_2004_05_07_49510.hclf"})
        << c.logserver;
    EXPECT_EQ(root.Read("hc/web01_2004_05_07_49510.hclf"), kHeader + c.lines) << c.logserver;
  }
}

TEST(HitCountControllerPool, FlushesAppendToTheFirstFileWithoutRotation) {
  TempRoot root(Config(""));
  root.Platform().SetHostName("web01");
  PoolSession session;
  const time_t t = UtcTime(2004, 5, 7);
  lfmHitCountControllerPool::CountRequest(t + 5);
  lfmHitCountControllerPool::Flush(t + 60, t);
  lfmHitCountControllerPool::CountRequest(t + 70);
  lfmHitCountControllerPool::Flush(t + 120, t + 60);
  EXPECT_EQ(root.Read("hc/web01_2004_05_07_00005.hclf"),
            kHeader + Line(1, t + 60, t, "1000000", 1, t + 5, t + 5) +
                Line(2, t + 120, t + 60, "1000000", 1, t + 70, t + 70));
}

TEST(HitCountControllerPool, AMissingDirectoryIsMadeOrTheRootsLogDirectoryTakesItsPlace) {
  struct Case {
    int mkdirError;
    const char* directory;
    const char* message;
  } cases[] = {
      {0, "hc", "Created log file directory"},
      {EACCES, "log", "Failed to create log file directory"},
  };
  for (const Case& c : cases) {
    TempRoot root(Config(""));
    root.Platform().SetHostName("web01");
    root.Platform().mkdirError = c.mkdirError;
    PoolSession session;
    lfmHitCountControllerPool::CountRequest(UtcTime(2004, 5, 7));
    lfmHitCountControllerPool::Flush(UtcTime(2004, 5, 7, 1), UtcTime(2004, 5, 7));
    EXPECT_TRUE(root.Exists(std::string(c.directory) + "/web01_2004_05_07_00000.hclf"))
        << c.directory;
    EXPECT_EQ(Count(root.Read("log/kyr.audit"), c.message), 1u) << c.directory;
  }
}

TEST(HitCountControllerPool, RotationByFlushesFinishesTheFileWhenTheCountIsReached) {
  const time_t t = UtcTime(2004, 5, 7);
  struct Case {
    int perRotation;
    std::vector<std::string> files;  // after four flushes of one request each
  } cases[] = {
      {3, {"web01_2004_05_07_00000.hclf", "web01_2004_05_07_00003.hclfbusy"}},
      {0,
       {"web01_2004_05_07_00000.hclf", "web01_2004_05_07_00001.hclf", "web01_2004_05_07_00002.hclf",
        "web01_2004_05_07_00003.hclf"}},
  };
  for (const Case& c : cases) {
    TempRoot root(Config("hitcountrotatebyflush = true\nhitcountflushesperrotation = " +
                         std::to_string(c.perRotation) + "\n"));
    root.Platform().SetHostName("web01");
    PoolSession session;
    for (int i = 0; i < 4; ++i) {
      lfmHitCountControllerPool::CountRequest(t + i);
      lfmHitCountControllerPool::Flush(t + 60, t);
    }
    EXPECT_EQ(ListDir(root.File("hc")), c.files) << c.perRotation;
    EXPECT_EQ(lfmHitCountControllerPool::NextEntryForTest(), 5u);
    if (c.perRotation == 3) {
      EXPECT_EQ(root.Read("hc/" + c.files[0]), kHeader + Line(1, t + 60, t, "1000000", 1, t, t) +
                                                   Line(2, t + 60, t, "1000000", 1, t + 1, t + 1) +
                                                   Line(3, t + 60, t, "1000000", 1, t + 2, t + 2));
      // The next file has its own header; entry numbers go on.
      EXPECT_EQ(root.Read("hc/" + c.files[1]),
                kHeader + Line(4, t + 60, t, "1000000", 1, t + 3, t + 3));
    }
    // Shut-down finishes the busy file.
    lfmHitCountControllerPool::ShutDown();
    std::vector<std::string> finished = c.files;
    for (std::string& name : finished)
      if (name.size() > 4 && name.compare(name.size() - 4, 4, "busy") == 0)
        name.resize(name.size() - 4);
    EXPECT_EQ(ListDir(root.File("hc")), finished) << c.perRotation;
  }
}

TEST(HitCountControllerPool, SizeLimitStartsANewFileBeforeALineWouldPassIt) {
  TempRoot root(Config("hitcountlimitbysize = true\n"));
  root.Platform().SetHostName("web01");
  PoolSession session;
  const time_t t = UtcTime(2004, 5, 7);
  const std::string first = Line(1, t + 60, t, "1000000", 1, t, t);
  lfmHitCountControllerPool::SetMaxBytesForTest(std::string(kHeader).size() + first.size() + 10);
  // A finished file of the same name is never replaced.
  root.Write("hc/web01_2004_05_07_00000.hclf", "older\r\n");
  for (int i = 0; i < 2; ++i) {
    lfmHitCountControllerPool::CountRequest(t + i);
    lfmHitCountControllerPool::Flush(t + 60, t);
  }
  EXPECT_EQ(
      ListDir(root.File("hc")),
      (std::vector<std::string>{"web01_2004_05_07_00000(2).hclf", "web01_2004_05_07_00000.hclf",
                                "web01_2004_05_07_00001.hclfbusy"}));
  EXPECT_EQ(root.Read("hc/web01_2004_05_07_00000(2).hclf"), kHeader + first);
  EXPECT_EQ(root.Read("hc/web01_2004_05_07_00000.hclf"), "older\r\n");
  EXPECT_EQ(root.Read("hc/web01_2004_05_07_00001.hclfbusy"),
            kHeader + Line(2, t + 60, t, "1000000", 1, t + 1, t + 1));
}

TEST(HitCountControllerPool, AFileReachingItsSizeLimitExactlyStaysOpen) {
  TempRoot root(Config("hitcountlimitbysize = true\n"));
  root.Platform().SetHostName("web01");
  PoolSession session;
  const time_t t = UtcTime(2004, 5, 7);
  const std::string first = Line(1, t + 60, t, "1000000", 1, t, t);
  const std::string second = Line(2, t + 60, t, "1000000", 1, t + 1, t + 1);
  lfmHitCountControllerPool::SetMaxBytesForTest(std::string(kHeader).size() + first.size() +
                                                second.size());
  for (int i = 0; i < 2; ++i) {
    lfmHitCountControllerPool::CountRequest(t + i);
    lfmHitCountControllerPool::Flush(t + 60, t);
  }
  EXPECT_EQ(ListDir(root.File("hc")), std::vector<std::string>{"web01_2004_05_07_00000.hclfbusy"});
  EXPECT_EQ(root.Read("hc/web01_2004_05_07_00000.hclfbusy"), kHeader + first + second);
}

TEST(HitCountControllerPool, IntervalsThatFindNoFileAreWrittenWithTheNextFlushAndReportedOnce) {
  for (const char* logserver : {"", "hitcountrotatebyflush = true\n"}) {
    TempRoot root(Config(logserver));
    root.Platform().SetHostName("web01");
    FailingOpens opens(&root.Platform(), "web01_");
    PoolSession session;
    const time_t t = UtcTime(2004, 5, 7);
    opens.fail = true;
    for (int i = 0; i < 3; ++i) {
      lfmHitCountControllerPool::CountRequest(t + 10 * i);
      lfmHitCountControllerPool::Flush(t + 60, t);
    }
    EXPECT_TRUE(ListDir(root.File("hc")).empty());
    EXPECT_EQ(Count(root.Read("log/kyr.audit"), "Failed to open the following file"), 1u);

    opens.fail = false;
    lfmHitCountControllerPool::CountRequest(t + 40);
    lfmHitCountControllerPool::Flush(t + 60, t);
    // Named after the first count that was kept, with its time.
    std::vector<std::string> files = ListDir(root.File("hc"));
    ASSERT_EQ(files.size(), 1u) << logserver;
    EXPECT_EQ(files[0].substr(0, 27), "web01_2004_05_07_00000.hclf") << logserver;
    EXPECT_EQ(root.Read("hc/" + files[0]), kHeader + Line(1, t + 60, t, "1000000", 4, t, t + 40));

    // A later outage is a new one.
    opens.fail = true;
    lfmHitCountControllerPool::CountRequest(t + 50);
    lfmHitCountControllerPool::Flush(t + 60, t);
    EXPECT_EQ(Count(root.Read("log/kyr.audit"), "Failed to open the following file"),
              std::string(logserver).empty() ? 2u : 1u)
        << logserver;
    opens.fail = false;
  }
}

// The disk fills while a flush writes more lines than the buffer holds, or
// while it closes a file whose lines were all buffered: the lines left
// unwritten go to the file they were meant for once the disk has room, none
// is lost, and no file gets a second header.
TEST(HitCountControllerPool, LinesLeftByAFullDiskGoToTheirOwnFile) {
  const std::string rotateEach = "hitcountrotatebyflush = true\nhitcountflushesperrotation = 0\n";
  struct Case {
    std::string settings;
    int sites;
    std::vector<std::string> files;
  } cases[] = {
      {"", 1000, {"web01_2004_05_07_00000.hclf"}},
      // Still open after the failed write: the next flush goes on in it.
      {rotateEach, 1000, {"web01_2004_05_07_00000.hclf"}},
      {"", 3, {"web01_2004_05_07_00000.hclf"}},
      // Closed by its rotation when the disk was full: finished first.
      {rotateEach, 3, {"web01_2004_05_07_00000.hclf", "web01_2004_05_07_00061.hclf"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings + std::to_string(c.sites));
    TempRoot root(Config("hostedmodel = true\n" + c.settings));
    root.Platform().SetHostName("web01");
    PoolSession session;
    const time_t t = UtcTime(2004, 5, 7);
    for (int site = 0; site < c.sites; ++site)
      Hit(std::to_string(10000000000000 + site).c_str(), t);
    root.Platform().writeError = ENOSPC;
    lfmHitCountControllerPool::Flush(t + 60, t);
    root.Platform().writeError = 0;
    lfmHitCountControllerPool::CountRequest(t + 61);
    lfmHitCountControllerPool::Flush(t + 120, t + 60);
    lfmHitCountControllerPool::ShutDown();
    ASSERT_EQ(ListDir(root.File("hc")), c.files);
    std::string all;
    for (const std::string& f : c.files) {
      std::string text = root.Read("hc/" + f);
      EXPECT_EQ(Count(text, "#entry"), 1u) << f;
      EXPECT_EQ(text.rfind("#entry", 0), 0u) << f;
      all += text;
    }
    EXPECT_EQ(Count(all, ",KYR,"), c.sites + 2u);  // the sites, their sum, the request
    EXPECT_NE(all.find("1000000,1,1,KYR,web01,web01," + std::to_string(t + 61) + ","),
              std::string::npos);
  }
}

TEST(HitCountControllerPool, CountingRefusedOutsideInitialisationAlsoWithRememberedKeys) {
  TempRoot root(Config("hostedmodel = true\n"));
  const std::string refused =
      "1010 lfmHitCountControllerPool Incorrect usage: The hit count controller was not properly "
      "initialized.";
  EXPECT_EQ(ThrownText([] { Hit(kSiteA, 1); }), refused);
  EXPECT_EQ(ThrownText([] { lfmHitCountControllerPool::CountRequest(1); }), refused);
  lfmHitCountControllerPool::Initialize();
  Hit(kSiteA, 1);
  lfmHitCountControllerPool::ShutDown();
  EXPECT_EQ(ThrownText([] { Hit(kSiteA, 2); }), refused);
  EXPECT_EQ(ThrownText([] { lfmHitCountControllerPool::CountRequest(2); }), refused);
}

TEST(HitCountControllerPool, AHitIsCountedUnderTheKeyOfItsOwnSiteRecord) {
  TempRoot root(Config("hostedmodel = true\n") +
                "[servicemodel]\nservicemodel = true\nsitemapenabled = true\n");
  root.Platform().SetHostName("web01");
  const time_t t = UtcTime(2004, 5, 7);
  {
    PoolSession session;
    FakeRequest r;
    r.Set("KYRId", kSiteA);
    tsSiteParams shortLag;
    shortLag.found = true;
    shortLag.latencyClass = kLatencyShortLag;
    tsSiteParams standard = shortLag;
    standard.latencyClass = kLatencyStandardLag;
    lfmHitCountControllerPool::CountHit(r, shortLag, t);
    lfmHitCountControllerPool::CountHit(r, standard, t);
    lfmHitCountControllerPool::SetIntervalTime(t);
  }
  std::string text = root.Read("hc/web01_2004_05_07_00000.hclf");
  EXPECT_EQ(Count(text, std::string(",") + kSiteA + ",1,1,"), 1u) << text;
  EXPECT_EQ(Count(text, ",StandardLag,1,1,"), 1u) << text;
}

TEST(HitCountControllerPool, CountsRacingRepeatedFlushesAddUpExactlyOverAllFiles) {
  TempRoot root(
      Config("hostedmodel = true\nhitcountrotatebyflush = true\n"
             "hitcountflushesperrotation = 2\n"));
  root.Platform().SetHostName("web01");
  const time_t t = UtcTime(2004, 5, 7);
  const int kThreads = 4;
  const int kPerThread = 40000;
  const char* sites[] = {kSiteA, kSiteB};
  {
    PoolSession session;
    std::atomic<int> running{kThreads};
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; ++n) {
      threads.emplace_back([&, n] {
        for (int i = 0; i < kPerThread; ++i) {
          Hit(sites[(i + n) % 2], t + i);
          lfmHitCountControllerPool::CountRequest(t + i);
        }
        running.fetch_sub(1);
      });
    }
    int flushes = 0;
    while (running.load() > 0 || flushes < 3) {
      lfmHitCountControllerPool::Flush(t + 60, t);
      ++flushes;
      std::this_thread::yield();
    }
    for (std::thread& th : threads)
      th.join();
  }
  std::map<std::string, long> totals;
  for (const std::string& name : ListDir(root.File("hc"))) {
    std::istringstream in(root.Read("hc/" + name));
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line + "\n", kHeader);
    while (std::getline(in, line)) {
      std::vector<std::string> f;
      std::istringstream fields(line);
      for (std::string v; std::getline(fields, v, ',');)
        f.push_back(v);
      ASSERT_EQ(f.size(), 11u) << line;
      totals[f[3]] += std::stol(f[4]);
      // Every count went out with the times of its own hits.
      long first = std::stol(f[9]), last = std::stol(f[10]);
      EXPECT_TRUE(first >= t && first <= last && last < t + kPerThread) << line;
    }
  }
  const long all = long{kThreads} * kPerThread;
  EXPECT_EQ(totals, (std::map<std::string, long>{
                        {"0", all}, {"1000000", all}, {kSiteA, all / 2}, {kSiteB, all / 2}}));
}

}  // namespace
