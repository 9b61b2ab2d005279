#include "config/lfmenv.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temproot.h"
#include "util/lfmpathname.h"
#include "util/whexception.h"

namespace {

const char kSep = lfmPathName::kNativeSeparator;

TEST(EnvRoot, ConfigPathAddsOneSeparator) {
  TempRoot root;
  root.Platform().SetEnv("ZR_ROOT", "/opt/kyr/");
  EXPECT_EQ(lfmEnv::GetConfigPath(), std::string("/opt/kyr/cfg") + kSep + "kyr.cfg");
  lfmEnv::ResetForTest();
  root.Platform().SetEnv("ZR_ROOT", "D:\\collector");
  EXPECT_EQ(lfmEnv::GetConfigPath(),
            std::string("D:\\collector") + kSep + "cfg" + kSep + "kyr.cfg");
}

TEST(EnvRoot, MissingOrEmptyRootThrows1012AndIsRetried) {
  // An empty value is no root, in the environment or the named values alike.
  struct Case {
    const char* env;    // null: not set
    const char* named;  // null: not stored
  } cases[] = {{nullptr, nullptr}, {"", nullptr}, {nullptr, ""}, {"", ""}};
  for (const Case& c : cases) {
    TempRoot root;
    const std::string label = std::string("env ") + (c.env ? "empty" : "unset") + ", named " +
                              (c.named ? "empty" : "absent");
    if (c.env)
      root.Platform().SetEnv("ZR_ROOT", c.env);
    else
      root.Platform().UnsetEnv("ZR_ROOT");
    if (c.named)
      root.Platform().SetNamedValue("ZR_ROOT", c.named);
    try {
      lfmEnv::GetRoot();
      ADD_FAILURE() << label << ": no exception";
    } catch (const whException& e) {
      EXPECT_EQ(e.Code(), 1012) << label;
      EXPECT_EQ(e.Message(), "The environment variable (ZR_ROOT) is not set.") << label;
      EXPECT_EQ(e.SourceClassName(), "lfmEnv");
      EXPECT_EQ(e.SourceMethodName(), "GetRoot()");
    }
    EXPECT_THROW(lfmEnv::Instance(), whException) << label;
    root.Platform().SetNamedValue("ZR_ROOT", root.Path());  // an empty variable hides nothing
    EXPECT_EQ(lfmEnv::GetRoot(), root.Path()) << label;
    EXPECT_NO_THROW(lfmEnv::Instance());
  }
}

TEST(EnvRoot, NamedValueIsTheFallbackAndEnvironmentHidesIt) {
  TempRoot root("[s]\nk = from-root\n");
  root.Platform().UnsetEnv("ZR_ROOT");
  root.Platform().SetNamedValue("ZR_ROOT", root.Path());
  EXPECT_EQ(lfmEnv::Instance().GetString("k", "", "s"), "from-root");
  lfmEnv::ResetForTest();
  root.Platform().SetEnv("ZR_ROOT", "/elsewhere");
  EXPECT_EQ(lfmEnv::GetRoot(), "/elsewhere");
}

TEST(EnvRoot, VariablesAreCutTo4095Characters) {
  TempRoot root;
  root.Platform().SetEnv("ZR_DEBUG_LEVEL", std::string(5000, '2'));
  EXPECT_EQ(lfmEnv::GetDebugLevelText().size(), 4095u);
  char small[8];
  ASSERT_TRUE(lfmEnv::LookupVariable("ZR_DEBUG_LEVEL", small, sizeof small));
  EXPECT_STREQ(small, "2222222");
  EXPECT_FALSE(lfmEnv::LookupVariable("ZR_NOT_THERE", small, sizeof small));
}

TEST(EnvConfig, OtherConfigFileByName) {
  TempRoot root("[s]\nk = default-file\n");
  root.Write("cfg/other.cfg", "[s]\nk = other-file\n");
  root.Platform().SetEnv("ZR_CFGFILE", "other.cfg");
  EXPECT_EQ(lfmEnv::Instance().GetString("k", "", "s"), "other-file");
  EXPECT_EQ(lfmEnv::GetDebugLevelText(), "");
}

TEST(EnvConfig, UnloadableFileThrows1011AndIsRetried) {
  TempRoot root;
  std::filesystem::remove(root.File("cfg/kyr.cfg"));
  try {
    lfmEnv::Instance();
    FAIL();
  } catch (const whException& e) {
    EXPECT_EQ(e.Code(), 1011);
    EXPECT_EQ(e.Message(),
              "Failed to load the required configuration file: " + lfmEnv::GetConfigPath());
    EXPECT_EQ(e.SourceMethodName(), "Load()");
  }
  root.Write("cfg/kyr.cfg", "[logserver]\nheartbeatrate = 30\n");
  EXPECT_EQ(lfmEnv::Instance().GetInt("heartbeatrate", 60, "logserver"), 30);
}

TEST(EnvExpand, OnlyALeadingPrefixExpands) {
  TempRoot root;
  const std::string r = root.Path();
  EXPECT_EQ(lfmEnv::ExpandRoot("%ZR_ROOT%/log"), r + kSep + "log");
  EXPECT_EQ(lfmEnv::ExpandRoot("%zr_root%\\log\\"), r + kSep + "log\\");
  EXPECT_EQ(lfmEnv::ExpandRoot("%zr_root%"), r + kSep);
  EXPECT_EQ(lfmEnv::ExpandRoot("x%zr_root%\\log"), "x%zr_root%\\log");
  EXPECT_EQ(lfmEnv::ExpandRoot("%zr_roo"), "%zr_roo");
  lfmEnv::ResetForTest();
  root.Platform().SetEnv("ZR_ROOT", r + "/");
  EXPECT_EQ(lfmEnv::ExpandRoot("%zr_root%/log"), r + "/log");
}

}  // namespace
