// Log files under handle pressure, driven through the exported entry points:
// split-log sites sharing one handle, lazy closing, memory-mapped and plain
// files, size and minute rotation, the hosted service model, and a heartbeat
// flushing and releasing while request threads log. Whatever the switches,
// every hit lands exactly once in its own site's file.

#include <atomic>
#include <map>
#include <thread>

#include "logout/lfmlogfilecontrollerpool.h"
#include "tests/support/filterfixture.h"

namespace {

struct OutputCase {
  const char* what;
  std::string logserver;
  std::string more;
  const char* dir;
  bool perSite;  // each site has files of its own (named by its KYR ID)
};

TEST_F(FilterTest, EveryHitLandsOnceInItsSitesFileWhateverTheFileSwitches) {
  const std::string split =
      "hostedmodel = true\nsplitlogs = true\nmaxhandlecount = 1\nwritebuffersize = 1024\n"
      "bufferflushrate = 1\ntrackfirsttimecookies = false\n";
  const std::string rotation =
      "[logrotation]\ngmtrotation = true\nrotationperiod = minutes\nminutesinterval = 1\n"
      "limitbysize = true\nmaxlogfilesize = 8\n";
  const std::string service = "[servicemodel]\nservicemodel = true\nrotationratestandardlag = 1\n";
  const OutputCase cases[] = {
      {"plain lazy", split + "uselazyfileclose = true", rotation, "weblog", true},
      {"mapped lazy", split + "usememmappedfile = true\nuselazyfileclose = true", rotation,
       "weblog", true},
      {"mapped", split + "usememmappedfile = true", rotation, "weblog", true},
      {"service mapped lazy", split + "usememmappedfile = true\nuselazyfileclose = true",
       rotation + service, "weblog", false},
  };
  const std::string ids[] = {CurrentKyrId("aaaaaaaaaaaaaaaaaaaaaa"),
                             CurrentKyrId("bbbbbbbbbbbbbbbbbbbbbb"),
                             CurrentKyrId("cccccccccccccccccccccc")};
  for (const OutputCase& c : cases) {
    SCOPED_TRACE(c.what);
    const time_t base = UtcTime(2004, 5, 7, 13, 0, 30);
    lfmClock::SetSecondsForTest(base);
    Start(c.logserver, c.more);
    const int kThreads = 2;
    const int kHits = 240;
    std::atomic<bool> done{false};
    // The heartbeat's work, at test speed.
    std::thread heartbeat([&] {
      while (!done) {
        lfmLogFileControllerPool::FlushControllers(0);
        lfmLogFileControllerPool::ReleaseInactiveFiles(0);
        std::this_thread::yield();
      }
    });
    std::vector<std::thread> threads;
    for (int w = 0; w < kThreads; ++w) {
      threads.emplace_back([&, w] {
        for (int i = 0; i < kHits; ++i) {
          const std::string& id = ids[(w + i) % 3];
          std::string marker = "w" + std::to_string(w) + "i" + std::to_string(i);
          auto iis = FakeIIS::Get("/" + id + "/kyr.gif",
                                  "kyruri=/p/" + marker + "&kyrqry=" + std::string(i % 60, 'q'));
          iis->Run();
          lfmClock::AdvanceForTest(400000);  // 0.4 s a hit: minutes pass
        }
      });
    }
    for (std::thread& t : threads)
      t.join();
    done = true;
    heartbeat.join();
    TerminateFilter(0);
    started_ = false;

    std::map<std::string, int> seen;
    for (const std::string& f : ListDir(root_->File(c.dir))) {
      EXPECT_EQ(f.substr(f.size() - 4), ".log") << f;
      std::string text = ReadFileText(root_->File(std::string(c.dir) + "/" + f));
      EXPECT_EQ(text.find('\0'), std::string::npos) << f;
      EXPECT_EQ(text.rfind("#Remark: KYR-p\r\n#Software: ", 0), 0u) << f;
      EXPECT_EQ(Count(text, "#Remark"), 1u) << f;
      EXPECT_EQ(Count(text, "#Fields"), 1u) << f;
      for (const std::string& line : DataLines(text)) {
        std::vector<std::string> fields = Fields(line);
        ASSERT_EQ(fields.size(), static_cast<size_t>(kColumns) + 1) << line;
        if (c.perSite) {
          EXPECT_EQ(f.rfind(fields.back() + "_hlg_", 0), 0u) << f << ": " << line;
        }
        ++seen[fields[kStem]];
      }
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kHits));
    for (const auto& entry : seen)
      EXPECT_EQ(entry.second, 1) << entry.first;
    EXPECT_EQ(Audit().find("Failed to open"), std::string::npos);
  }
}

// Forged KYR IDs cannot grow the per-site state without bound: past
// "maxlogstreams" keys a hit for a new key is answered as before but gets
// no file, no line and no counter, while the admitted keys go on; the
// refusals reach the audit file at most once a minute, by the next refusal
// or by the heartbeat's flush.
TEST_F(FilterTest, HitsForNewLogStreamsPastTheBoundAreRefusedAndReportedOnceAMinute) {
  struct Case {
    const char* what;
    std::string logserver;
  };
  const std::string hosted =
      "hostedmodel = true\nmaxlogstreams = 3\ntrackhitcount = true\n"
      "trackfirsttimecookies = false\n";
  const Case cases[] = {
      {"one file per site", hosted + "splitlogs = true"},
      {"one file for all", hosted},
  };
  const std::string a = CurrentKyrId("aaaaaaaaaaaaaaaaaaaaaa");
  const std::string b = CurrentKyrId("bbbbbbbbbbbbbbbbbbbbbb");
  const std::string c3 = CurrentKyrId("cccccccccccccccccccccc");
  const std::string d = CurrentKyrId("dddddddddddddddddddddd");
  const std::string e = CurrentKyrId("eeeeeeeeeeeeeeeeeeeeee");
  auto refused = [](int n) {
    return std::to_string(n) +
           " hits for new log streams were refused: the number of log streams reached "
           "maxlogstreams (3).";
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    lfmClock::SetSecondsForTest(UtcTime(2004, 5, 7, 13, 0, 30));
    Start(c.logserver);
    int hits = 0;
    auto hit = [&hits](const std::string& id) {
      auto iis = FakeIIS::Get("/" + id + "/kyr.gif", "kyruri=/p/" + std::to_string(++hits));
      DWORD status = iis->Run();
      return std::make_pair(status, iis->HasResponseHeader("Expires"));
    };
    const auto admitted = hit(a);  // 1
    hit(b);                        // 2
    hit(c3);                       // 3
    EXPECT_EQ(hit(d), admitted);   // 4: refused, reported at once
    hit(a);                        // 5
    hit(d);                        // 6: refused
    hit(e);                        // 7: refused
    lfmClock::AdvanceForTest(61000000);
    hit(e);  // 8: refused, reported with 6 and 7
    hit(d);  // 9: refused, within the minute
    lfmClock::AdvanceForTest(61000000);
    lfmLogFileControllerPool::FlushControllers(0);  // reports 9
    lfmLogFileControllerPool::FlushControllers(0);  // nothing left
    TerminateFilter(0);
    started_ = false;

    std::string audit = Audit();
    EXPECT_EQ(Count(audit, "hits for new log streams were refused"), 3u) << audit;
    EXPECT_EQ(Count(audit, refused(1)), 2u) << audit;
    EXPECT_EQ(Count(audit, refused(3)), 1u) << audit;
    EXPECT_LT(audit.find(refused(1)), audit.find(refused(3)));

    std::map<std::string, std::string> stemsById;
    for (const std::string& f : ListDir(root_->File("weblog"))) {
      EXPECT_EQ(f.find(d), std::string::npos) << f;
      EXPECT_EQ(f.find(e), std::string::npos) << f;
      for (const std::string& line : DataLines(ReadFileText(root_->File("weblog/" + f)))) {
        std::vector<std::string> fields = Fields(line);
        ASSERT_EQ(fields.size(), static_cast<size_t>(kColumns) + 1) << line;
        stemsById[fields.back()] += fields[kStem];
      }
    }
    const std::map<std::string, std::string> logged = {{a, "/p/1/p/5"}, {b, "/p/2"}, {c3, "/p/3"}};
    EXPECT_EQ(stemsById, logged);

    std::string counts;
    for (const std::string& f : ListDir(root_->File("log")))
      if (f.size() > 5 && f.substr(f.size() - 5) == ".hclf")
        counts += ReadFileText(root_->File("log/" + f));
    EXPECT_NE(counts.find("," + a + ",2,"), std::string::npos) << counts;
    EXPECT_EQ(counts.find(d), std::string::npos) << counts;
    EXPECT_EQ(counts.find(e), std::string::npos) << counts;
  }
}

}  // namespace
