// The pipeline's readers of the tag's own parameters, the server-address
// port rule and the recovery of files left busy.

#include "hit/lfmloghelper.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "tests/support/fakerequest.h"
#include "tests/support/filtertest.h"
#include "tests/support/temproot.h"
#include "util/lfmpathname.h"

namespace {

TEST(LogHelper, QueryParametersMatchOnlyAtABoundary) {
  size_t n = 0;
  EXPECT_STREQ(lfmLogHelper::FindQueryParam("kyrcfg=6&a=1", "kyrcfg", &n), "6&a=1");
  EXPECT_EQ(n, 1u);
  EXPECT_STREQ(lfmLogHelper::FindQueryParam("xkyrcfg=1&kyrcfg=2", "kyrcfg", &n), "2");
  EXPECT_EQ(lfmLogHelper::FindQueryParam("xkyrcfg=6", "kyrcfg", &n), nullptr);
  EXPECT_EQ(lfmLogHelper::FindQueryParam("a=kyrcfg=6", "kyrcfg", &n), nullptr);
  EXPECT_EQ(lfmLogHelper::FindQueryParam("kyrcfg", "kyrcfg", &n), nullptr);
  EXPECT_EQ(lfmLogHelper::FindQueryParam(nullptr, "kyrcfg", &n), nullptr);
  // Names of the same length: any case, every letter counts.
  EXPECT_STREQ(lfmLogHelper::FindQueryParam("kyrcfh=1&kyrxfg=2&KyRcFG=3", "kyrcfg", &n), "3");
}

TEST(LogHelper, ConfigurationFlagsFromTheRawQuery) {
  TempRoot root(FilterConfig("cfgbyhit = true"));
  FakeRequest r;
  r.Set("OrigURIQuery", "a=1&kyrcfg=6");
  EXPECT_TRUE(lfmLogHelper::HasCfgFlag(r, 0x2));
  EXPECT_TRUE(lfmLogHelper::HasCfgFlag(r, 0x4));
  EXPECT_FALSE(lfmLogHelper::HasCfgFlag(r, 0x1));
  r.Set("OrigURIQuery", "xkyrcfg=6&kyrredirect=1");
  EXPECT_FALSE(lfmLogHelper::HasCfgFlag(r, 0x2));
  EXPECT_TRUE(lfmLogHelper::HasRedirectParam(r));
  r.Set("OrigURIQuery", "xkyrredirect=1");
  EXPECT_FALSE(lfmLogHelper::HasRedirectParam(r));
}

TEST(LogHelper, ConfigurationFlagsNeedCfgByHit) {
  TempRoot root(FilterConfig());
  FakeRequest r;
  r.Set("OrigURIQuery", "kyrcfg=6");
  EXPECT_FALSE(lfmLogHelper::HasCfgFlag(r, 0x2));
}

TEST(LogHelper, HitDateIsFourToThirteenDigitsOfMilliseconds) {
  FakeRequest r;
  unsigned long seconds = 0;
  r.Set("OrigURIQuery", "a=1&kyrdat=1083937510123");
  EXPECT_TRUE(lfmLogHelper::ReadHitDate(r, &seconds));
  EXPECT_EQ(seconds, 1083937510u);
  r.Set("OrigURIQuery", "kyrdat=1234");
  EXPECT_TRUE(lfmLogHelper::ReadHitDate(r, &seconds));
  EXPECT_EQ(seconds, 1u);
  for (const char* bad : {"kyrdat=", "kyrdat=123", "kyrdat=12345678901234", "kyrdat=12a45",
                          "xkyrdat=12345", "kyrdat=-12345"}) {
    r.Set("OrigURIQuery", bad);
    EXPECT_FALSE(lfmLogHelper::ReadHitDate(r, &seconds)) << bad;
  }
}

TEST(LogHelper, OnlyAPortIsStrippedFromTheServerAddress) {
  EXPECT_EQ(lfmLogHelper::StripPort("10.0.0.1:8080"), "10.0.0.1");
  EXPECT_EQ(lfmLogHelper::StripPort("www.example.com:80"), "www.example.com");
  EXPECT_EQ(lfmLogHelper::StripPort("[2001:db8::1]:8080"), "2001:db8::1");
  EXPECT_EQ(lfmLogHelper::StripPort("2001:db8::1"), "2001:db8::1");
  EXPECT_EQ(lfmLogHelper::StripPort("[2001:db8::1]"), "[2001:db8::1]");
  EXPECT_EQ(lfmLogHelper::StripPort("10.0.0.1"), "10.0.0.1");
}

TEST(LogHelper, BusyFilesAreRepairedAndFinishedAndEmptyOnesRemovedWithOrWithoutFileLocks) {
  for (bool locks : {true, false}) {
    SCOPED_TRACE(locks ? "with file locks" : "without");
    TempDir dir;
    WriteFileText(dir.File("a.kyrbusy"), "line\r\n");
    WriteFileText(dir.File("b.kyrbusy"), "");
    WriteFileText(dir.File("c.log"), "kept\r\n");
    WriteFileText(dir.File("d.kyrbusy"), "x\r\n");
    WriteFileText(dir.File("d.log"), "older\r\n");
    WriteFileText(dir.File("e.kyrbusy"), "y\r\nto" + std::string(9, '\0'));
    WriteFileText(dir.File("f.kyrbusy"), std::string(9, '\0'));
    TempRoot root;
    root.Platform().noFileLocks = !locks;
    EXPECT_EQ(lfmLogHelper::RecoverTemporaryFiles(dir.Path(), "kyrbusy", "log"), 3);
    EXPECT_EQ(ListDir(dir.Path()),
              (std::vector<std::string>{"a.log", "c.log", "d(2).log", "d.log", "e.log"}));
    EXPECT_EQ(ReadFileText(dir.File("d.log")), "older\r\n");  // never overwritten
    EXPECT_EQ(ReadFileText(dir.File("d(2).log")), "x\r\n");
    EXPECT_EQ(ReadFileText(dir.File("e.log")), "y\r\n");
  }
}

TEST(LogHelper, ABusyFileThatCannotBeRenamedStaysWhereItIsAndIsReported) {
  TempDir dir;
  WriteFileText(dir.File("a.kyrbusy"), "line\r\n");
  TempRoot root;
  root.Platform().renameError = EACCES;
  EXPECT_EQ(lfmLogHelper::RecoverTemporaryFiles(dir.Path(), "kyrbusy", "log"), 0);
  EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"a.kyrbusy"});
  EXPECT_EQ(ReadFileText(dir.File("a.kyrbusy")), "line\r\n");
  const std::string from = dir.Path() + lfmPathName::kNativeSeparator + "a.kyrbusy";
  EXPECT_NE(root.Read("log/kyr.audit")
                .find("Unable to rename temporary logfile " + from + " to " +
                      from.substr(0, from.size() - 7) + "log."),
            std::string::npos)
      << root.Read("log/kyr.audit");
}

// Which directories a start must be able to write, over the switches that
// decide it; a hit-count directory that cannot be made is replaced by the
// root's log directory, as the hit counter does.
TEST(LogHelper, OutputDirectoriesFollowTheModelTheSiteMapAndHitCounting) {
  const struct {
    const char* settings;
    std::vector<std::string> dirs;  // relative to the root, with their settings
  } cases[] = {
      {"", {"weblog logfiledir"}},
      {"hostedmodel = true\n[servicemodel]\nservicemodel = true\n", {"weblog logfiledir"}},
      {"[servicemodel]\nservicemodel = true\nsitemapenabled = true\n", {"weblog logfiledir"}},
      {"hostedmodel = true\n[servicemodel]\nservicemodel = true\nsitemapenabled = true\n",
       {"weblog logfiledir", "shortlag shortlaglogfiledir", "realtime realtimelogfiledir"}},
      {"trackhitcount = true\nhitcountlogfiledir = %zr_root%/counts\n",
       {"weblog logfiledir", "counts hitcountlogfiledir"}},
      {"trackhitcount = true\nhitcountlogfiledir = %zr_root%/cfg/kyr.cfg/counts\n",
       {"weblog logfiledir", "log hitcountlogfiledir's fallback, the root's log"}},
  };
  for (const auto& c : cases) {
    TempRoot root(std::string("[logserver]\n") + c.settings);
    std::vector<std::string> dirs;
    for (const lfmLogHelper::OutputDirectory& d : lfmLogHelper::OutputDirectories()) {
      std::string path = d.path;
      while (!path.empty() && (path.back() == '/' || path.back() == '\\'))
        path.pop_back();
      ASSERT_EQ(path.rfind(root.Path(), 0), 0u) << path;
      dirs.push_back(path.substr(root.Path().size() + 1) + " " + d.setting);
    }
    EXPECT_EQ(dirs, c.dirs) << c.settings;
  }
}

}  // namespace
