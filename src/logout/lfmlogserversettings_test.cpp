#include "logout/lfmlogserversettings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/temproot.h"
#include "util/whexception.h"

namespace {

TEST(LogServerSettings, DefaultsAndTheSettingsReport) {
  TempRoot root("[auditlog]\ndebuglevel = 2\n");
  root.Platform().SetHostName("Web01.Example.COM");
  const auto& v = lfmLogServerSettings::Get();
  EXPECT_EQ(v.loggingFileName, "/kyr.gif");
  EXPECT_EQ(v.contentFileName, "/zr_kyr.gif");
  EXPECT_TRUE(v.statsEnabled);
  EXPECT_EQ(v.maxHandleCount, 2000);
  EXPECT_EQ(v.writeBufferSize, 65536);
  EXPECT_EQ(v.fileCheckRate, 900);
  EXPECT_EQ(v.hitCountLogFileExt, "hclf");
  EXPECT_EQ(v.hitCountSizeBytes, 1024000);
  EXPECT_EQ(v.p3pFrom, lfmLogServerSettings::kP3PGlobal);
  EXPECT_EQ(lfmLogServerSettings::HeaderParamsList(), (std::vector<std::string>{"Accept", "Host"}));
  EXPECT_EQ(lfmLogServerSettings::HostName(), "web01");
  EXPECT_STREQ(lfmLogServerSettings::VisitorTrackingParam(), "ZR_VT");
  EXPECT_NE(
      root.Read("log/kyr.audit")
          .find("####\nThe following log server setting values have been loaded: "
                "\nloginvalidhits=false\nloggingfilename=/kyr.gif\nnoscriptfilename=/njs.gif"
                "\ncontentfilename=/zr_kyr.gif\nissuep3p=false\np3p=INVALID\nhostedmodel=false"
                "\nmaxhandlecount=2000\nwritebuffersize=65536\nheartbeatrate=60"
                "\nbufferflushrate=60\nfilecheckrate=900\nsplitlogs=false\n"),
      std::string::npos)
      << root.Read("log/kyr.audit");
}

struct Fallback {
  const char* line;   // in [logserver]
  int32_t (*read)();  // the accessor
  int32_t expected;
  const char* message;  // expected in the audit file; null: none
};

TEST(LogServerSettings, InvalidNumbersFallBackWithTheirMessages) {
  const Fallback cases[] = {
      {"heartbeatrate = 0", lfmLogServerSettings::HeartBeatRate, 60,
       "The Heart Beat Rate setting (heartbeatrate) is invalid.  It has been set to 60."},
      {"heartbeatrate = often", lfmLogServerSettings::HeartBeatRate, 60,
       "The Heart Beat Rate setting (heartbeatrate) is invalid.  It has been set to 60."},
      {"writebuffersize = 0", lfmLogServerSettings::WriteBufferSize, 0, nullptr},
      {"writebuffersize = big", lfmLogServerSettings::WriteBufferSize, 0, nullptr},
      {"writebuffersize = 1000", lfmLogServerSettings::WriteBufferSize, 65536,
       "The Write Buffer Size setting (writebuffersize) is invalid.  Must be 0 or greater than or "
       "equal to 2048.  It has been set to 65536."},
      {"writebuffersize = -4096", lfmLogServerSettings::WriteBufferSize, 65536,
       "(writebuffersize)"},
      {"maxhandlecount = 5000", lfmLogServerSettings::MaxHandleCount, 2000,
       "The Maximum Handle Count setting (maxhandlecount) is too large.  It has been set to 2000."},
      {"maxhandlecount = 0", lfmLogServerSettings::MaxHandleCount, 2000,
       "The Maximum Handle Count setting (maxhandlecount) is too small.  It has been set to 2000."},
      {"bufferflushrate = -1", lfmLogServerSettings::BufferFlushRate, 60,
       "The Buffer Flush Rate setting (bufferflushrate) is invalid.  It has been set to 60."},
      {"filecheckrate = 0", lfmLogServerSettings::FileCheckRate, 900,
       "The File Check Rate setting (filecheckrate) is invalid.  It has been set to 900."},
      {"maxlogstreams = 0", lfmLogServerSettings::MaxLogStreams, 0, nullptr},
      {"maxlogstreams = 3", lfmLogServerSettings::MaxLogStreams, 3, nullptr},
      // Neither may lift the bound by reading as 0.
      {"maxlogstreams = many", lfmLogServerSettings::MaxLogStreams, 2000,
       "The Max Log Streams setting (maxlogstreams) is invalid.  It has been set to 2000."},
      {"maxlogstreams = -5", lfmLogServerSettings::MaxLogStreams, 2000, "(maxlogstreams)"},
      {"maxlogstreams = 99999999999", lfmLogServerSettings::MaxLogStreams, 2000, "(maxlogstreams)"},
      {"kyridbacktoversion = 4", lfmLogServerSettings::KyrIdBackToVersion, 1,
       "The KYRID Back To setting (kyridbacktoversion) is invalid.  It has been set to 1."},
      {"trackhitcount = true\nhitcountflushrate = 4", lfmLogServerSettings::HitCountFlushRate, 20,
       "The Hit Count Flush Rate setting (hitcountflushrate) is invalid.  It has been set to 20."},
      {"trackhitcount = true\nhitcountflushrate = 30", lfmLogServerSettings::HitCountFlushRate, 30,
       nullptr},
      {"trackhitcount = false\nhitcountflushrate = 4", lfmLogServerSettings::HitCountFlushRate, 20,
       nullptr},
      {"trackhitcount = 1\nhitcountlimitbysize = 1\nhitcountmaxsize = -2",
       lfmLogServerSettings::HitCountMaxSize, 1,
       "The maximum Hit Count Log File size setting (hitcountmaxsize) is less than zero.  It has "
       "been set to 1."},
      {"trackhitcount = 1\nhitcountlimitbysize = 0\nhitcountmaxsize = -2",
       lfmLogServerSettings::HitCountMaxSize, 1, nullptr},
      {"trackhitcount = 1\nhitcountrotatebyflush = 1\nhitcountflushesperrotation = 61",
       lfmLogServerSettings::HitCountFlushesPerRotation, 3,
       "The Hit Count Flushes Per Rotation setting (hitcountflushesperrotation) is invalid.  It "
       "has been set to 3."},
      {"p3pfrom = HitOrGlobal", lfmLogServerSettings::P3PFromChoice, 3, nullptr},
      {"p3pfrom = page", lfmLogServerSettings::P3PFromChoice, 1,
       "WARNING: Invalid P3P compact policy origin -- Defaulting to p3pfrom= global"},
  };
  for (const Fallback& c : cases) {
    TempRoot root(std::string("[logserver]\n") + c.line + "\n");
    EXPECT_EQ(c.read(), c.expected) << c.line;
    std::string audit = root.Exists("log/kyr.audit") ? root.Read("log/kyr.audit") : "";
    if (c.message)
      EXPECT_EQ(Count(audit, c.message), 1u) << c.line << "\n" << audit;
    else
      EXPECT_EQ(audit, "") << c.line;
  }
}

TEST(LogServerSettings, DerivedTextsAndLists) {
  TempRoot root(
      "[logserver]\nenableheaderparams = true\nheaderparamslist = Accept,,Referer, X-Id ,\n"
      "trackhitcount = true\nhitcountlogfileext = .hclf\nhitcountlogfiledir = %ZR_ROOT%/hits\n"
      "hitcountlimitbysize = true\nhitcountmaxsize = 3000\n");
  root.Platform().SetHostName("");
  EXPECT_EQ(lfmLogServerSettings::HeaderParamsList(),
            (std::vector<std::string>{"Accept", "Referer", "X-Id"}));
  EXPECT_EQ(lfmLogServerSettings::HitCountLogFileExt(), "hclf");
  EXPECT_EQ(lfmLogServerSettings::HitCountLogFileDir(), root.File("hits/"));
  EXPECT_EQ(lfmLogServerSettings::HitCountSizeBytes(), 3000LL * 1024000);
  EXPECT_EQ(lfmLogServerSettings::HostName(), "localhost");
  EXPECT_NE(root.Read("log/kyr.audit")
                .find("Unable to obtain hostname for hit count log file, defaulting to: localhost"),
            std::string::npos);

  TempRoot off("[logserver]\nheaderparamslist = Only\nhitcountlogfileext = x\n");
  EXPECT_EQ(lfmLogServerSettings::HeaderParamsList().size(), 2u);
  EXPECT_EQ(lfmLogServerSettings::HitCountLogFileExt(), "hclf");
}

TEST(LogServerSettings, FailedLoadIsRetriedAndALoadHappensOnce) {
  TempRoot root("[logserver]\nheartbeatrate = 0\n");
  root.Platform().UnsetEnv("ZR_ROOT");
  EXPECT_THROW(lfmLogServerSettings::HeartBeatRate(), whException);
  root.Platform().SetEnv("ZR_ROOT", root.Path());

  std::atomic<int> sum{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] { sum += lfmLogServerSettings::HeartBeatRate(); });
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(sum.load(), 8 * 60);
  EXPECT_EQ(Count(root.Read("log/kyr.audit"), "(heartbeatrate)"), 1u);
}

}  // namespace
