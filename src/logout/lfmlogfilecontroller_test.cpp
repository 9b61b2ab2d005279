// Log file controllers: rotation by period and size, the header, the
// standby file, and a concurrency stress over the whole output path.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <thread>

#include "logout/lfmlogfilecontroller.h"
#include "logout/lfmlogfilecontrollerpool.h"
#include "logout/lfmmemmapfile.h"
#include "tests/support/temproot.h"

namespace {

const char kHeader[] = "#Fields: x \r\n";

std::string Config(const std::string& rotation, const std::string& logserver = "",
                   const std::string& servicemodel = "") {
  return "[logrotation]\ngmtrotation = true\nlogfiledir = %zr_root%\\weblog\\\n" + rotation +
         "\n[logserver]\n" + logserver + "\n[servicemodel]\n" + servicemodel + "\n";
}

struct RotationCase {
  const char* what;
  std::string rotation;
  time_t first;
  time_t second;
  bool sameFile;
  std::string logserver = "";
  std::string servicemodel = "";
  int32_t latencyClass = 2;
};

TEST(LogFileControllerRotation, EveryPeriodEndsAtItsBoundary) {
  const RotationCase cases[] = {
      {"hourly", "rotationperiod = hourly", UtcTime(2004, 5, 7, 13, 59, 59),
       UtcTime(2004, 5, 7, 14), false},
      {"hourly same", "rotationperiod = hourly", UtcTime(2004, 5, 7, 13),
       UtcTime(2004, 5, 7, 13, 59, 59), true},
      {"7 days", "rotationperiod = 7", UtcTime(2004, 5, 7), UtcTime(2004, 5, 13, 23), true},
      {"7 days end", "rotationperiod = 7", UtcTime(2004, 5, 7), UtcTime(2004, 5, 14), false},
      {"31 is 1 day", "rotationperiod = 31", UtcTime(2004, 5, 7, 1), UtcTime(2004, 5, 8, 0), false},
      {"weekly from wednesday", "rotationperiod = weekly", UtcTime(2004, 3, 3),
       UtcTime(2004, 3, 6, 23), true},
      {"weekly sunday starts", "rotationperiod = weekly", UtcTime(2004, 3, 3), UtcTime(2004, 3, 7),
       false},
      {"week before weekstart", "rotationperiod = weekly\nweekstart = monday", UtcTime(2004, 3, 7),
       UtcTime(2004, 3, 8), false},
      {"weekly over new year", "rotationperiod = weekly", UtcTime(2003, 12, 31),
       UtcTime(2004, 1, 3), true},
      {"weekly new year ends", "rotationperiod = weekly", UtcTime(2003, 12, 31),
       UtcTime(2004, 1, 4), false},
      {"monthly", "rotationperiod = monthly", UtcTime(2004, 5, 31, 23), UtcTime(2004, 6, 1), false},
      {"quarterly same", "rotationperiod = quarterly", UtcTime(2004, 4, 1),
       UtcTime(2004, 6, 30, 23), true},
      {"quarterly", "rotationperiod = quarterly", UtcTime(2004, 6, 30), UtcTime(2004, 7, 1), false},
      {"yearly", "rotationperiod = yearly", UtcTime(2004, 12, 31, 23), UtcTime(2005, 1, 1), false},
      {"hours 6", "rotationperiod = hours\nhoursinterval = 6", UtcTime(2004, 5, 7, 5, 59),
       UtcTime(2004, 5, 7, 6), false},
      {"hours 6 same", "rotationperiod = hours\nhoursinterval = 6", UtcTime(2004, 5, 7, 6),
       UtcTime(2004, 5, 7, 11, 59), true},
      {"minutes 15", "rotationperiod = minutes\nminutesinterval = 15",
       UtcTime(2004, 5, 7, 13, 44, 59), UtcTime(2004, 5, 7, 13, 45), false},
      {"minutes 15 same", "rotationperiod = minutes\nminutesinterval = 15",
       UtcTime(2004, 5, 7, 13, 45), UtcTime(2004, 5, 7, 13, 59, 59), true},
      {"none", "rotationperiod = none", UtcTime(2004, 5, 7), UtcTime(2009, 1, 1), true},
      {"service standard lag 120", "", UtcTime(2004, 5, 7, 12), UtcTime(2004, 5, 7, 13, 59), true,
       "hostedmodel = true", "servicemodel = true\nrotationratestandardlag = 120"},
      {"service standard lag 120 ends", "", UtcTime(2004, 5, 7, 13, 59), UtcTime(2004, 5, 7, 14),
       false, "hostedmodel = true", "servicemodel = true\nrotationratestandardlag = 120"},
      {"service short lag 5", "", UtcTime(2004, 5, 7, 13, 4, 59), UtcTime(2004, 5, 7, 13, 5), false,
       "hostedmodel = true", "servicemodel = true", 1},
      {"service invalid 90 is hourly", "", UtcTime(2004, 5, 7, 13), UtcTime(2004, 5, 7, 13, 59),
       true, "hostedmodel = true", "servicemodel = true\nrotationratestandardlag = 90"},
  };
  for (const RotationCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempRoot root(Config(c.rotation, c.logserver, c.servicemodel));
    lfmLogFileControllerPool::Initialize(10, kHeader);
    lfmLogFileController* ctl = lfmLogFileControllerPool::GetLogFileController("0123456789abcd");
    ctl->Write(c.first, "a\r\n", 3, c.first, c.latencyClass);
    std::string firstName = ctl->CurrentFileName();
    ctl->Write(c.second, "b\r\n", 3, c.second, c.latencyClass);
    EXPECT_EQ(ctl->CurrentFileName() == firstName, c.sameFile)
        << firstName << " / " << ctl->CurrentFileName();
  }
}

TEST(LogFileControllerRotation, NamesFollowTheModel) {
  {
    TempRoot root(Config("rotationperiod = daily"));
    lfmLogFileControllerPool::Initialize(10, kHeader);
    lfmLogFileController* ctl = lfmLogFileControllerPool::GetLogFileController("NonHosted");
    ctl->Write(UtcTime(2004, 5, 7, 13), "a\r\n", 3, 0, 2);
    EXPECT_EQ(ctl->CurrentFileName(), root.File("weblog/hlg_may_07_2004.log"));
  }
  {
    TempRoot root(Config("", "hostedmodel = true\nsplitlogs = true"));
    lfmLogFileControllerPool::Initialize(10, kHeader);
    lfmLogFileController* ctl = lfmLogFileControllerPool::GetLogFileController("SITE");
    ctl->Write(UtcTime(2004, 5, 7, 13), "a\r\n", 3, 0, 2);
    EXPECT_EQ(ctl->CurrentFileName(), root.File("weblog/SITE_hlg_may_07_2004.log"));
  }
  {
    // Hosted service model: busy names per stream, finished to ".log" at close.
    TempRoot root(Config("", "hostedmodel = true", "servicemodel = true"));
    root.Platform().SetHostName("web01.example.com");
    lfmLogFileControllerPool::Initialize(10, kHeader);
    lfmLogFileController* ctl = lfmLogFileControllerPool::GetLogFileController("RT");
    ctl->Write(UtcTime(2004, 5, 7, 13, 45, 10), "a\r\n", 3, 0, 3);
    EXPECT_EQ(ctl->CurrentFileName(),
              root.File("realtime/RT-kyr-2004-05-07-13-04510-web01.kyrbusy"));
    lfmLogFileControllerPool::ShutDown();
    EXPECT_EQ(ListDir(root.File("realtime")),
              std::vector<std::string>{"RT-kyr-2004-05-07-13-04510-web01.log"});
  }
}

TEST(LogFileControllerRotation, SizeRotationNumbersFilesAndLosesNoLine) {
  // Plain buffered files, and memory-mapped ones that must shrink to their data.
  for (const char* mapped : {"false", "true"}) {
    SCOPED_TRACE(mapped);
    TempRoot root(Config("limitbysize = true\nmaxlogfilesize = 1",
                         std::string("usememmappedfile = ") + mapped));
    lfmLogFileControllerPool::Initialize(10, kHeader);
    lfmLogFileController* ctl = lfmLogFileControllerPool::GetLogFileController("NonHosted");
    const time_t t = UtcTime(2004, 5, 7, 13);
    // One line is longer than the limit and than a mapped file's whole
    // reservation: it gets a file of its own, which must take it.
    const size_t longLine = lfmMemMapFile::Granularity() + 100;
    for (int i = 0; i < 100; ++i) {
      std::string line =
          "line " + std::to_string(i) + std::string(i == 50 ? longLine : 40, '.') + "\r\n";
      ctl->Write(t + 1 + i, line.data(), line.size(), 0, 2);
    }
    lfmLogFileControllerPool::ShutDown();
    std::vector<std::string> files = ListDir(root.File("weblog"));
    ASSERT_GE(files.size(), 5u);
    EXPECT_EQ(files[0], "hlg_may_07_2004(2).log");
    EXPECT_EQ(files.back(), "hlg_may_07_2004.log");
    std::string all;
    for (const std::string& f : files) {
      std::string text = ReadFileText(root.File("weblog/" + f));
      EXPECT_LE(text.size(), text.find(std::string(longLine, '.')) == std::string::npos
                                 ? 1024u
                                 : 1024u + longLine)
          << f;
      EXPECT_EQ(text.find('\0'), std::string::npos) << f;
      EXPECT_EQ(text.rfind("#Remark: KYR-p\r\n#Fields: x \r\n", 0), 0u) << f;
      EXPECT_EQ(Count(text, "#Remark"), 1u) << f;
      all += text;
    }
    for (int i = 0; i < 100; ++i)
      EXPECT_EQ(Count(all, "line " + std::to_string(i) + "."), 1u) << i;
    EXPECT_EQ(
        Count(root.Read("log/kyr.audit"), "Created log file directory " + root.File("weblog/")),
        1u);
  }
}

TEST(LogFileControllerHeader, FirstHeaderWinsAndAReopenedFileGetsNoSecondOne) {
  TempRoot root(Config("rotationperiod = daily"));
  EXPECT_EQ(ThrownText([] { lfmLogFileController::GetLogFileHeader(); }),
            "1010 lfmLogFileController Incorrect usage: The log file header is not properly "
            "initialized.");
  EXPECT_EQ(ThrownText([] { lfmLogFileController::SetLogFileHeader(nullptr); }),
            "1010 lfmLogFileController Incorrect usage: An invalid value for the log file header.");
  lfmLogFileControllerPool::Initialize(10, "first\r\n");
  lfmLogFileController::SetLogFileHeader("second\r\n");
  lfmLogFileController* ctl = lfmLogFileControllerPool::GetLogFileController("NonHosted");
  const time_t t = UtcTime(2004, 5, 7, 13);
  ctl->Write(t, "a\r\n", 3, 0, 2);
  EXPECT_TRUE(ctl->ReleaseHandle());
  EXPECT_FALSE(ctl->ReleaseHandle());
  ctl->Write(t + 5, "b\r\n", 3, 0, 2);
  lfmLogFileControllerPool::ShutDown();
  EXPECT_EQ(root.Read("weblog/hlg_may_07_2004.log"), "#Remark: KYR-p\r\nfirst\r\na\r\nb\r\n");
}

TEST(LogFileControllerStandby, TheEndedFileStaysOpenUntilTheHeartbeatClosesIt) {
  TempRoot root(Config("rotationperiod = hourly", "uselazyfileclose = true"));
  lfmLogFileControllerPool::Initialize(10, kHeader);
  lfmLogFileController* ctl = lfmLogFileControllerPool::GetLogFileController("NonHosted");
  ctl->Write(UtcTime(2004, 5, 7, 13, 10), "a\r\n", 3, 0, 2);
  ctl->Write(UtcTime(2004, 5, 7, 14, 5), "b\r\n", 3, 0, 2);
  // The 13:00 file still holds its buffered line in the standby file.
  EXPECT_EQ(root.Read("weblog/hlg_hr14_may_07_2004.log"), "");
  lfmLogFileControllerPool::FlushControllers(UtcTime(2004, 5, 7, 14, 6));
  EXPECT_EQ(root.Read("weblog/hlg_hr14_may_07_2004.log"), "#Remark: KYR-p\r\n#Fields: x \r\na\r\n");
  lfmLogFileControllerPool::ShutDown();
  EXPECT_EQ(root.Read("weblog/hlg_hr15_may_07_2004.log"), "#Remark: KYR-p\r\n#Fields: x \r\nb\r\n");
}

TEST(LogFileControllerStandby, IdleFileIsReleasedWhenItsPeriodEnds) {
  TempRoot root(Config("rotationperiod = hourly"));
  lfmLogFileControllerPool::Initialize(10, kHeader);
  lfmLogFileController* ctl = lfmLogFileControllerPool::GetLogFileController("NonHosted");
  ctl->Write(UtcTime(2004, 5, 7, 13, 10), "a\r\n", 3, 0, 2);
  lfmLogFileControllerPool::ReleaseInactiveFiles(UtcTime(2004, 5, 7, 13, 50));
  EXPECT_TRUE(ctl->IsFileOpen());
  lfmLogFileControllerPool::ReleaseInactiveFiles(UtcTime(2004, 5, 7, 14, 0, 1));
  EXPECT_FALSE(ctl->IsFileOpen());
  EXPECT_EQ(root.Read("weblog/hlg_hr14_may_07_2004.log"), "#Remark: KYR-p\r\n#Fields: x \r\na\r\n");
}

// Split-log sites on a budget of one handle: A holds it, the others write
// lazily.
class LazyStreamTest : public ::testing::Test {
 protected:
  void Start(const std::string& logserver, const std::string& servicemodel = "",
             const std::string& rotation = "") {
    root_ = std::make_unique<TempRoot>(Config(
        "rotationperiod = minutes\nminutesinterval = 1\n" + rotation,
        "hostedmodel = true\nsplitlogs = true\nbufferflushrate = 1\n" + logserver, servicemodel));
    lfmLogFileControllerPool::Initialize(1, kHeader);
  }
  lfmLogFileController* Site(const char* key) {
    return lfmLogFileControllerPool::GetLogFileController(key, latencyClass_);
  }
  void Hit(const char* key, time_t t, const std::string& line) {
    std::string record = line + "\r\n";
    Site(key)->Write(t, record.data(), record.size(), t, latencyClass_);
  }
  std::unique_ptr<TempRoot> root_;
  int32_t latencyClass_ = 2;  // 1 gives each site its own service-model stream
};

TEST_F(LazyStreamTest, AnIdleLazyBusyFileIsFinishedOnceItsPeriodHasEnded) {
  latencyClass_ = 1;
  Start("", "servicemodel = true\nrotationrateshortlag = 1");
  const time_t t = UtcTime(2004, 5, 7, 13, 0, 10);
  Hit("AAAAAAAAAAAAAA", t, "a1");
  Hit("BBBBBBBBBBBBBB", t, "b1");
  ASSERT_FALSE(Site("BBBBBBBBBBBBBB")->IsFileOpen());
  lfmLogFileControllerPool::FlushControllers(t + 5);  // B's lines go out under its busy name
  lfmLogFileControllerPool::ReleaseInactiveFiles(t + 30);
  const std::string busy = "BBBBBBBBBBBBBB-kyr-2004-05-07-13-00010-testhost";
  EXPECT_TRUE(root_->Exists("shortlag/" + busy + ".kyrbusy"));
  // The minute has ended: both streams finish their files without a hit.
  lfmLogFileControllerPool::ReleaseInactiveFiles(t + 60);
  lfmLogFileControllerPool::FlushControllers(t + 60);
  EXPECT_EQ(root_->Read("shortlag/" + busy + ".log"), "#Remark: KYR-p\r\n#Fields: x \r\nb1\r\n");
  EXPECT_TRUE(root_->Exists("shortlag/AAAAAAAAAAAAAA-kyr-2004-05-07-13-00010-testhost.log"));
  // The next hit starts the next file with its own header.
  Hit("BBBBBBBBBBBBBB", t + 61, "b2");
  lfmLogFileControllerPool::ShutDown();
  EXPECT_EQ(root_->Read("shortlag/BBBBBBBBBBBBBB-kyr-2004-05-07-13-00111-testhost.log"),
            "#Remark: KYR-p\r\n#Fields: x \r\nb2\r\n");
  for (const std::string& f : ListDir(root_->File("shortlag")))
    EXPECT_EQ(f.find(".kyrbusy"), std::string::npos) << f;
}

TEST_F(LazyStreamTest, ANewPeriodBeginsWithItsFirstFileAfterSizeRotations) {
  Start("", "", "limitbysize = true\nmaxlogfilesize = 1");
  const time_t t = UtcTime(2004, 5, 7, 13, 0, 10);
  for (int i = 0; i < 30; ++i)
    Hit("AAAAAAAAAAAAAA", t + 1 + i, "a" + std::to_string(i) + std::string(56, '.'));
  ASSERT_TRUE(root_->Exists("weblog/AAAAAAAAAAAAAA_hlg_min00_hr13_may_07_2004(2).log"));
  lfmLogFileControllerPool::ReleaseInactiveFiles(t + 60);
  Hit("AAAAAAAAAAAAAA", t + 61, "late");  // refused a handle: lazy
  lfmLogFileControllerPool::ShutDown();
  EXPECT_EQ(root_->Read("weblog/AAAAAAAAAAAAAA_hlg_min01_hr13_may_07_2004.log"),
            "#Remark: KYR-p\r\n#Fields: x \r\nlate\r\n");
}

TEST_F(LazyStreamTest, ARemovedLogDirectoryIsMadeAgainByLazyWriteOuts) {
  for (const char* mapped : {"false", "true"}) {
    SCOPED_TRACE(mapped);
    Start(std::string("usememmappedfile = ") + mapped);
    const time_t t = UtcTime(2004, 5, 7, 13, 0, 10);
    Hit("AAAAAAAAAAAAAA", t, "a1");
    Hit("BBBBBBBBBBBBBB", t, "b1");
    Hit("CCCCCCCCCCCCCC", t, "c1");
    Site("AAAAAAAAAAAAAA")->ReleaseHandle();
    lfmLogFileControllerPool::FlushControllers(t + 5);
    ASSERT_EQ(ListDir(root_->File("weblog")).size(), 3u);
    std::filesystem::remove_all(root_->File("weblog"));
    Hit("BBBBBBBBBBBBBB", t + 6, "b2");
    Hit("CCCCCCCCCCCCCC", t + 6, "c2");
    lfmLogFileControllerPool::FlushControllers(t + 10);
    Hit("BBBBBBBBBBBBBB", t + 11, "b3");
    lfmLogFileControllerPool::ShutDown();
    // The lines after the removal land, under a header of their own.
    EXPECT_EQ(root_->Read("weblog/BBBBBBBBBBBBBB_hlg_min00_hr13_may_07_2004.log"),
              "#Remark: KYR-p\r\n#Fields: x \r\nb2\r\nb3\r\n");
    EXPECT_EQ(root_->Read("weblog/CCCCCCCCCCCCCC_hlg_min00_hr13_may_07_2004.log"),
              "#Remark: KYR-p\r\n#Fields: x \r\nc2\r\n");
    EXPECT_EQ(Count(root_->Read("log/kyr.audit"), "Failed to open the following file"), 0u);
    root_.reset();
  }
}

// One output configuration of the stress below: the switches that share the
// lazy, standby and handle-budget paths of a stream.
struct StressCase {
  const char* what;
  std::string logserver;
  std::string servicemodel;
  const char* dir;       // where the files land
  int32_t latencyClass;  // 1 gives every site its own service-model stream
};

// Several threads write into three split-log keys sharing one handle (so
// evictions, standby files and lazy files meet) while the hit times cross
// minute and size boundaries and a heartbeat thread flushes and releases.
// Afterwards every line is present exactly once, intact and in order, in its
// own key's file; every file begins with its one header; no file holds a NUL
// byte and no busy file is left.
TEST(LogOutputStress, EveryLineOnceAndIntactInEveryOutputConfiguration) {
  const std::string split =
      "hostedmodel = true\nsplitlogs = true\nwritebuffersize = 700\nbufferflushrate = 1\n";
  const std::string service = "servicemodel = true\nrotationrateshortlag = 1";
  const StressCase cases[] = {
      {"plain", split, "", "weblog", 2},
      {"plain lazy", split + "uselazyfileclose = true", "", "weblog", 2},
      {"mapped", split + "usememmappedfile = true", "", "weblog", 2},
      {"mapped lazy", split + "usememmappedfile = true\nuselazyfileclose = true", "", "weblog", 2},
      {"service plain lazy", split + "uselazyfileclose = true", service, "shortlag", 1},
      {"service mapped lazy", split + "usememmappedfile = true\nuselazyfileclose = true", service,
       "shortlag", 1},
  };
  for (const StressCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempRoot root(
        Config("rotationperiod = minutes\nminutesinterval = 1\nlimitbysize = true\n"
               "maxlogfilesize = 2",
               c.logserver, c.servicemodel));
    lfmLogFileControllerPool::Initialize(1, kHeader);
    const time_t base = UtcTime(2004, 5, 7, 13);
    const int kThreads = 4;
    const int kLines = 300;
    const char* keys[] = {"AAAAAAAAAAAAAA", "BBBBBBBBBBBBBB", "CCCCCCCCCCCCCC"};
    std::atomic<int> progress{0};
    std::atomic<bool> done{false};
    std::thread heartbeat([&] {
      while (!done) {
        time_t now = base + progress.load() / 4;
        lfmLogFileControllerPool::FlushControllers(now);
        lfmLogFileControllerPool::ReleaseInactiveFiles(now);
        std::this_thread::yield();
      }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < kThreads; ++w) {
      writers.emplace_back([&, w] {
        for (int i = 0; i < kLines; ++i) {
          const char* key = keys[(w + i) % 3];
          std::string line = std::string(key) + " w" + std::to_string(w) + " i" +
                             std::to_string(i) + " " + std::string(i % 50, 'x') + " end\r\n";
          time_t t = base + (progress++) / 4;
          lfmLogFileControllerPool::GetLogFileController(key, c.latencyClass)
              ->Write(t, line.data(), line.size(), t, c.latencyClass);
        }
      });
    }
    for (std::thread& t : writers)
      t.join();
    done = true;
    heartbeat.join();
    lfmLogFileControllerPool::ShutDown();

    std::map<std::string, int> seen;
    std::map<std::string, int> lastIndex;  // file and writer -> last line index
    const std::regex lineForm("([A-C]{14}) w(\\d) i(\\d+) x* end");
    for (const std::string& f : ListDir(root.File(c.dir))) {
      EXPECT_EQ(f.substr(f.size() - 4), ".log") << f;
      std::string text = ReadFileText(root.File(std::string(c.dir) + "/" + f));
      EXPECT_EQ(text.find('\0'), std::string::npos) << f;
      EXPECT_EQ(text.rfind("#Remark: KYR-p\r\n#Fields: x \r\n", 0), 0u) << f;
      EXPECT_EQ(Count(text, "#Remark"), 1u) << f;
      size_t at = 0;
      while (at < text.size()) {
        size_t end = text.find("\r\n", at);
        ASSERT_NE(end, std::string::npos) << f;
        std::string line = text.substr(at, end - at);
        at = end + 2;
        if (line.empty() || line[0] == '#')
          continue;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, lineForm)) << f << ": " << line;
        EXPECT_EQ(f.substr(0, 14), m[1].str()) << "line in another key's file";
        int& last = lastIndex.try_emplace(f + m[2].str(), -1).first->second;
        int index = std::stoi(m[3].str());
        EXPECT_GT(index, last) << f << ": " << line;
        last = index;
        ++seen[line];
      }
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
    for (const auto& entry : seen)
      EXPECT_EQ(entry.second, 1) << entry.first;
  }
}

}  // namespace
