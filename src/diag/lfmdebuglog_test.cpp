#include "diag/lfmdebuglog.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <regex>
#include <thread>

#include "config/lfmenv.h"
#include "diag/lfmeventlog.h"
#include "diag/lfmexceptioncontroller.h"
#include "tests/support/stderrcapture.h"
#include "tests/support/temproot.h"
#include "util/lfmclock.h"
#include "util/whexception.h"

namespace fs = std::filesystem;

namespace {

// 2004-05-07 13:45:10 UTC
constexpr time_t kMay7 = 1083937510;

// Every audit file in the root's log directory, by name.
std::map<std::string, std::string> AuditFiles(const TempRoot& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(root.File("log")))
    files[e.path().filename().string()] = ReadFileText(e.path().string());
  return files;
}

void Warn(const std::string& a) {
  lfmDebugLog::Instance().Log(MESS_MAX_HANDLE_COUNT_TOO_BIG, a.c_str(), "2000");
}

class ClockGuard {
 public:
  explicit ClockGuard(time_t t) { lfmClock::SetSecondsForTest(t); }
  ~ClockGuard() { lfmClock::ReleaseForTest(); }
};

TEST(DebugLog, DefaultLevelsWriteErrorsAndWarningsWithTheMarkLine) {
  TempRoot root;
  Warn("maxhandlecount");
  lfmDebugLog::Instance().Log(MESS_LOG_SERVER_SETTINGS, "\nx=1");
  lfmDebugLog::Instance().Log(1, "a text entry\n");
  std::string audit = root.Read("log/kyr.audit");
  std::regex entry(
      "[A-Z][a-z]{2}-\\d{2}-\\d{4} \\d{2}:\\d{2}:\\d{2}: ####\nThe Maximum Handle Count setting "
      "\\(maxhandlecount\\) is too large.  It has been set to 2000.\n"
      "[A-Z][a-z]{2}-\\d{2}-\\d{4} \\d{2}:\\d{2}:\\d{2}: a text entry\n");
  EXPECT_TRUE(std::regex_match(audit, entry)) << audit;
  EXPECT_FALSE(lfmDebugLog::Instance().IsLogged(kMessageInformation));

  // ZR_DEBUG_LEVEL overrides debuglevel.
  lfmDebugLog::ResetForTest();
  lfmEnv::ResetForTest();
  root.Platform().SetEnv("ZR_DEBUG_LEVEL", "2");
  lfmDebugLog::Instance().Log(MESS_LOG_SERVER_SETTINGS, "\nx=1");
  EXPECT_NE(root.Read("log/kyr.audit").find("have been loaded: \nx=1"), std::string::npos);
}

TEST(DebugLog, SystemDestinationFiltersByItsOwnLevel) {
  TempRoot root("[auditlog]\ntype = system\nsystemdebuglevel = 1\n");
  lfmDebugLog::Instance().Log(MESS_LOG_SERVER_SETTINGS, "report");
  Warn("maxhandlecount");
  lfmDebugLog::Instance().Log(MESS_WRITE_BUFFER_SETTING, "a", nullptr, "c");
  EXPECT_FALSE(root.Exists("log/kyr.audit"));
  std::vector<lfmSystemEvent> events = root.Platform().Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].eventId, 1045u);
  EXPECT_EQ(events[0].category, 2);
  EXPECT_EQ(events[0].categoryName, "Configuration");
  EXPECT_EQ(events[0].level, lfmSysLogLevel::kWarning);
  EXPECT_EQ(events[0].strings, (std::vector<std::string>{"maxhandlecount", "2000"}));
  EXPECT_EQ(events[0].text,
            "The Maximum Handle Count setting (maxhandlecount) is too large.  It has been set to "
            "2000.");
  EXPECT_EQ(events[1].strings, std::vector<std::string>{"a"});
  // Registered once, although the registration failed.
  EXPECT_EQ(root.Platform().eventSourceRegistrations.load(), 1);
}

TEST(DebugLog, EventMessageFileNeedsAShortRoot) {
  TempRoot root;
  EXPECT_EQ(lfmEventLog::MessageFilePath(), root.Path() + "\\bin\\lfmeventmsg.dll");
  lfmEnv::ResetForTest();
  root.Platform().SetEnv("ZR_ROOT", std::string(240, 'r'));
  EXPECT_EQ(lfmEventLog::MessageFilePath(), "");
  lfmEnv::ResetForTest();
  root.Platform().UnsetEnv("ZR_ROOT");
  EXPECT_EQ(lfmEventLog::MessageFilePath(), "");
}

TEST(DebugLog, MissingAuditDirectoryGoesToStandardErrorUntilItExists) {
  TempRoot root;
  fs::remove(root.File("log"));
  StdErrCapture err;
  Warn("first");
  Warn("second");
  std::string text = err.Text();
  EXPECT_EQ(Count(text, "Failed to open message log file (PATH: " + root.File("log")), 1u) << text;
  EXPECT_NE(text.find("####\nThe Maximum Handle Count setting (first)"), std::string::npos);
  EXPECT_NE(text.find("####\nThe Maximum Handle Count setting (second)"), std::string::npos);

  fs::create_directory(root.File("log"));
  Warn("third");
  EXPECT_NE(root.Read("log/kyr.audit").find("(third)"), std::string::npos);
  EXPECT_EQ(err.Text().find("(third)"), std::string::npos);
}

TEST(DebugLog, UnwritableAuditFileGoesToStandardError) {
  TempRoot root;
  root.Platform().openStreamWriteError = EACCES;
  StdErrCapture err;
  Warn("refused");
  EXPECT_NE(err.Text().find("####\nThe Maximum Handle Count setting (refused)"), std::string::npos);

  // A full disk: the open succeeds, every write fails.
  lfmDebugLog::ResetForTest();
  root.Platform().openStreamWriteError = 0;
  root.Platform().RedirectStreams("kyr.audit", "/dev/full");
  Warn("full");
  EXPECT_NE(err.Text().find("zrAuditFile error: No space left on device"), std::string::npos);
  EXPECT_NE(err.Text().find("####\nThe Maximum Handle Count setting (full)"), std::string::npos);
}

TEST(DebugLog, NoConfigurationSendsMessagesToStandardErrorAndRetries) {
  TempRoot root;
  root.Platform().UnsetEnv("ZR_ROOT");
  StdErrCapture err;
  Warn("early");
  EXPECT_NE(err.Text().find("####\nThe Maximum Handle Count setting (early)"), std::string::npos);
  root.Platform().SetEnv("ZR_ROOT", root.Path());
  Warn("later");
  EXPECT_NE(root.Read("log/kyr.audit").find("(later)"), std::string::npos);
}

TEST(DebugLog, TruncateKeepsTheLastCompleteLines) {
  TempRoot root(
      "[auditlog]\nauditlimitbysize = true\nauditlimitbysizemethod = TRUNCATE\n"
      "auditmaxsize = 10\naudittrimsize = 2\n");
  size_t largest = 0;
  for (int i = 0; i < 400; ++i) {
    Warn("entry " + std::to_string(i));
    largest = std::max<size_t>(largest, root.Read("log/kyr.audit").size());
  }
  std::string audit = root.Read("log/kyr.audit");
  EXPECT_LT(largest, 10240u + 200);
  EXPECT_LT(audit.size(), 10240u);
  EXPECT_TRUE(std::regex_search(audit, std::regex("^[A-Z][a-z]{2}-\\d{2}-\\d{4} "))) << audit;
  EXPECT_NE(audit.find("(entry 399)"), std::string::npos);
  EXPECT_EQ(audit.find("(entry 0)"), std::string::npos);
  EXPECT_FALSE(root.Exists("log/kyr.audit.tmp"));
}

TEST(DebugLog, TrimCutsAtALineEndOrLeavesTheFile) {
  TempDir dir;
  std::string path = dir.File("a.audit");
  std::string lines;
  for (int i = 0; i < 200; ++i)
    lines += "line " + std::to_string(i) + " xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n";
  WriteFileText(path, lines);
  ASSERT_TRUE(zrAuditFile::Trim(path, 2, 1));
  std::string cut = ReadFileText(path);
  EXPECT_LE(cut.size(), 1024u);
  EXPECT_EQ(cut.substr(0, 5), "line ");
  EXPECT_EQ(cut, lines.substr(lines.size() - cut.size()));

  // No line end in the kept part: nothing is cut.
  std::string blob(5000, 'z');
  WriteFileText(path, blob);
  EXPECT_FALSE(zrAuditFile::Trim(path, 2, 1));
  EXPECT_EQ(ReadFileText(path), blob);
  EXPECT_FALSE(fs::exists(path + ".tmp"));
  // Small enough, or max below trim: untouched.
  EXPECT_FALSE(zrAuditFile::Trim(path, 10, 1));
  EXPECT_FALSE(zrAuditFile::Trim(path, 1, 2));
}

TEST(DebugLog, RotateMovesTheFullFileToAFreeDatedName) {
  ClockGuard clock(kMay7);
  TempRoot root(
      "[auditlog]\nauditlimitbysize = 1\nauditmaxsize = 10\n"
      "[logrotation]\ngmtrotation = true\n");
  const int kMessages = 300;
  for (int i = 0; i < kMessages; ++i)
    Warn("entry " + std::to_string(i));
  auto files = AuditFiles(root);
  ASSERT_TRUE(files.count("kyr_may_07_2004.audit"));
  ASSERT_TRUE(files.count("kyr_may_07_2004(2).audit"));
  size_t total = 0;
  for (const auto& f : files) {
    EXPECT_LE(f.second.size(), 10240u) << f.first;
    total += Count(f.second, "####\n");
  }
  EXPECT_EQ(total, static_cast<size_t>(kMessages));
  EXPECT_NE(files["kyr.audit"].find("(entry 299)"), std::string::npos);
  EXPECT_NE(files["kyr_may_07_2004.audit"].find("(entry 0)"), std::string::npos);
}

TEST(DebugLog, FailedRotationKeepsWritingAndReportsOnce) {
  ClockGuard clock(kMay7);
  TempRoot root("[auditlog]\nauditlimitbysize = 1\nauditmaxsize = 10\n");
  root.Platform().renameError = EACCES;
  StdErrCapture err;
  for (int i = 0; i < 200; ++i)
    Warn("entry " + std::to_string(i));
  std::string audit = root.Read("log/kyr.audit");
  EXPECT_EQ(Count(audit, "####\nThe Maximum"), 200u);
  EXPECT_EQ(Count(audit, "Unable to rename audit log " + root.File("log/kyr.audit") + " to "), 1u);
  EXPECT_EQ(err.Text(), "");

  // A minute later the next message tries again, and succeeds.
  root.Platform().renameError = 0;
  lfmClock::AdvanceForTest(61 * 1000000LL);
  Warn("after");
  EXPECT_EQ(AuditFiles(root).size(), 2u);
}

TEST(DebugLog, ConcurrentWritersLoseNoEntryAcrossRotations) {
  ClockGuard clock(kMay7);
  TempRoot root("[auditlog]\nauditlimitbysize = 1\nauditmaxsize = 10\n");
  const int kThreads = 4, kEach = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i)
        Warn("t" + std::to_string(t) + "-" + std::to_string(i));
    });
  }
  for (auto& th : threads)
    th.join();
  size_t total = 0;
  std::regex whole("(^|\n)[A-Z][a-z]{2}-\\d{2}-\\d{4} \\d{2}:\\d{2}:\\d{2}: ####\nThe Maximum");
  for (const auto& f : AuditFiles(root)) {
    total += Count(f.second, "####\n");
    EXPECT_EQ(
        static_cast<size_t>(std::distance(
            std::sregex_iterator(f.second.begin(), f.second.end(), whole), std::sregex_iterator())),
        Count(f.second, "####\n"));
  }
  EXPECT_EQ(total, static_cast<size_t>(kThreads * kEach));
}

TEST(DebugLog, AuditSettingsFallBackAndSplitTheFileName) {
  TempRoot root(
      "[auditlog]\nauditfilename = trace.old.log\nauditlimitbysizemethod = truncate\n"
      "auditmaxsize = 5\naudittrimsize = 8\ndebuglevel = x\n");
  lfmAuditLogSettings s = lfmAuditLogSettings::Read(lfmEnv::Instance(), "");
  EXPECT_EQ(s.prefix, "trace.old");
  EXPECT_EQ(s.extension, ".log");
  EXPECT_EQ(s.method, lfmAuditLogSettings::kTruncate);
  EXPECT_EQ(s.maxSizeKB, 1000);  // trim not below max: both defaults
  EXPECT_EQ(s.trimSizeKB, 10);
  EXPECT_EQ(s.debugLevel, 0);  // not a number
  EXPECT_EQ(lfmAuditLogSettings::Read(lfmEnv::Instance(), "3").debugLevel, 3);

  TempRoot other(
      "[auditlog]\nauditfilename = noext\nauditfilenameprefix = p\nauditfilenameext = .e\n"
      "auditlimitbysizemethod = shred\nauditmaxsize = 3000000\ntype = BOTH\n");
  s = lfmAuditLogSettings::Read(lfmEnv::Instance(), "");
  EXPECT_EQ(s.FileName(), "p.e");
  EXPECT_EQ(s.method, lfmAuditLogSettings::kRotate);
  EXPECT_EQ(s.maxSizeKB, 1000);
  EXPECT_EQ(s.trimSizeKB, 2000001);
  EXPECT_TRUE(s.toFile && s.toSystem);
}

// The size limit's range, at both ends and just outside them.
TEST(DebugLog, AuditMaxSizeKeepsItsRangeExactly) {
  const std::pair<const char*, int32_t> cases[] = {
      {"9", 1000}, {"10", 10}, {"2000000", 2000000}, {"2000001", 1000}};
  for (const auto& c : cases) {
    TempRoot root(std::string("[auditlog]\nauditmaxsize = ") + c.first + "\n");
    EXPECT_EQ(lfmAuditLogSettings::Read(lfmEnv::Instance(), "").maxSizeKB, c.second) << c.first;
  }
}

TEST(DebugLog, RequestMessagesAreLimitedPerMinuteAndSummedUp) {
  ClockGuard clock(kMay7);
  TempRoot root("[auditlog]\nrequestmessagesperminute = 2\n");
  lfmDebugLog& log = lfmDebugLog::Instance();
  for (int i = 0; i < 5; ++i) {
    log.Log(MESS_COOKIE_BAD, ("bad " + std::to_string(i)).c_str());
    Warn("setting " + std::to_string(i));  // never limited
  }
  log.ReportSuppressed(kMay7 + 59);
  std::string audit = root.Read("log/kyr.audit");
  EXPECT_EQ(Count(audit, "invalid cookie: bad "), 2u);
  EXPECT_EQ(Count(audit, "(setting "), 5u);
  EXPECT_EQ(Count(audit, "were suppressed"), 0u);

  log.ReportSuppressed(kMay7 + 60);
  log.ReportSuppressed(kMay7 + 120);
  audit = root.Read("log/kyr.audit");
  EXPECT_EQ(Count(audit,
                  "####\nMessages raised per request beyond 2 a minute each were "
                  "suppressed (requestmessagesperminute):\nMESS_COOKIE_BAD (1000): 3\n"),
            1u)
      << audit;
  // A new minute admits again.
  lfmClock::AdvanceForTest(61 * 1000000LL);
  log.Log(MESS_COOKIE_BAD, "again");
  EXPECT_EQ(Count(root.Read("log/kyr.audit"), "invalid cookie: again"), 1u);
}

TEST(DebugLog, RequestMessageLimitSettingFallsBackToItsDefault) {
  const struct {
    const char* line;
    int32_t limit;
  } cases[] = {{"", 10},
               {"requestmessagesperminute = 25", 25},
               {"requestmessagesperminute = 0", 0},
               {"requestmessagesperminute = -3", 10},
               {"requestmessagesperminute = ten", 10},
               {"requestmessagesperminute = 5x", 10},
               {"requestmessagesperminute =", 10}};
  for (const auto& c : cases) {
    TempRoot root(std::string("[auditlog]\n") + c.line + "\n");
    EXPECT_EQ(lfmAuditLogSettings::Read(lfmEnv::Instance(), "").requestMessagesPerMinute, c.limit)
        << c.line;
  }
}

TEST(DebugLog, MessageRaisedAtALesserImportanceGoesWhereInformationGoes) {
  TempRoot root("[auditlog]\ntype = both\n");  // file: warnings; system log: information
  lfmDebugLog& log = lfmDebugLog::Instance();
  ASSERT_TRUE(log.Admit(MESS_INVALID_URI_STEM, kMessageInformation));
  log.LogAdmitted(MESS_INVALID_URI_STEM, kMessageInformation, "page");
  EXPECT_EQ(root.Read("log/kyr.audit"), "");
  std::vector<lfmSystemEvent> events = root.Platform().Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].eventId, 1032u);
  EXPECT_EQ(events[0].level, lfmSysLogLevel::kInformation);
}

TEST(DebugLog, ExceptionReportsAreRaisedBySeverity) {
  TempRoot root;
  StdErrCapture err;
  auto report = [](int32_t code, const char* text) {
    whException e("lfmX", "Run()", "./src/lfmx.cpp", 7, code, text);
    lfmExceptionController::ProcessException(e, whMethodId("", "GetFilterVersion"));
  };
  report(1010, "usage fault");
  report(500, "warn fault");
  report(50, "debug fault");
  report(1012, "no root");
  std::string audit = root.Read("log/kyr.audit");
  EXPECT_NE(audit.find("####\nusage fault\nCurrent Method: ::GetFilterVersion\n"
                       "Source Method : lfmX::Run()\nSource File   : ./src/lfmx.cpp\n"
                       "Source Line   : 7\n"),
            std::string::npos)
      << audit;
  EXPECT_NE(audit.find("####\nwarn fault"), std::string::npos);
  EXPECT_EQ(audit.find("debug fault"), std::string::npos);
  EXPECT_EQ(audit.find("no root"), std::string::npos);
  EXPECT_NE(err.Text().find("####\nno root\nCurrent Method: ::GetFilterVersion"),
            std::string::npos);
  EXPECT_EQ(err.Text().find("usage fault"), std::string::npos);
}

}  // namespace
