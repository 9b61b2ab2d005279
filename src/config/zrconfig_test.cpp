#include "config/zrconfig.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/support/stderrcapture.h"
#include "tests/support/temproot.h"
#include "util/lfmclock.h"

namespace {

class ConfigFile : public ::testing::Test {
 protected:
  // Loads `text` as a configuration file.
  bool LoadText(const std::string& text, int32_t mode = zrConfig::kReadOnly) {
    WriteFileText(path_, text);
    return cfg_.Load(path_.c_str(), mode);
  }
  TempDir dir_;
  TestPlatform os_;
  std::string path_ = dir_.File("kyr.cfg");
  zrConfig cfg_;
};

TEST_F(ConfigFile, KeyValueSpacingAndEqualsInValues) {
  ASSERT_TRUE(LoadText("[s]\nk1=v1\nk2 = v2\n\t k3 \t=\t  v3  \r\na = b = c\n"));
  EXPECT_EQ(cfg_.GetString("k1", "", "s"), "v1");
  EXPECT_EQ(cfg_.GetString("k2", "", "s"), "v2");
  EXPECT_EQ(cfg_.GetString("k3", "", "s"), "v3");
  EXPECT_EQ(cfg_.GetString("a", "", "s"), "b = c");
}

TEST_F(ConfigFile, LinesEndAtLfCrOrCrLfAndALeadingByteOrderMarkIsSkipped) {
  const std::string bom = "\xEF\xBB\xBF";
  struct Case {
    const char* label;
    std::string start;  // before the first line
    const char* a;      // the line ends, in turn
    const char* b;
    const char* c;
  } cases[] = {
      {"LF", "", "\n", "\n", "\n"},
      {"CR LF", "", "\r\n", "\r\n", "\r\n"},
      {"CR", "", "\r", "\r", "\r"},
      {"mixed", "", "\r", "\r\n", "\n"},
      {"CR, blank line", "", "\r\r", "\r", "\r"},
      {"BOM, LF", bom, "\n", "\n", "\n"},
      {"BOM, CR LF", bom, "\r\n", "\r\n", "\r\n"},
      {"BOM, CR", bom, "\r", "\r", "\r"},
  };
  for (const Case& c : cases) {
    const std::string text = c.start + "[logserver]" + c.a + "heartbeatrate = 30" + c.b +
                             "# comment" + c.c + "[s]" + c.a + "k = v";
    ASSERT_TRUE(LoadText(text, zrConfig::kReadWrite)) << c.label;
    EXPECT_EQ(cfg_.GetInt("heartbeatrate", 60, "logserver"), 30) << c.label;
    EXPECT_EQ(cfg_.GetString("k", "", "s"), "v") << c.label;
    EXPECT_EQ(cfg_.SectionsRead(), 2) << c.label;
    EXPECT_EQ(cfg_.SettingsRead(), 2) << c.label;
    // The write-back reads the file the same way and keeps the mark.
    cfg_.SetInt("heartbeatrate", 45, "logserver");
    ASSERT_TRUE(cfg_.Save(false)) << c.label;
    std::string saved = ReadFileText(path_);
    EXPECT_EQ(saved.compare(0, bom.size(), bom) == 0, !c.start.empty()) << c.label;
    zrConfig again;
    ASSERT_TRUE(again.Load(path_.c_str(), zrConfig::kReadOnly)) << c.label;
    EXPECT_EQ(again.GetInt("heartbeatrate", 60, "logserver"), 45) << c.label << "\n" << saved;
    EXPECT_EQ(again.GetString("k", "", "s"), "v") << c.label;
    EXPECT_EQ(again.SettingsRead(), 2) << c.label << "\n" << saved;
  }
}

TEST_F(ConfigFile, EmptyValuesKeysAndHeadersAreIgnored) {
  ASSERT_TRUE(LoadText("[s]\nname =\n= value\nnoequals\n[]\nafter = 1\n"));
  EXPECT_EQ(cfg_.GetString("name", "dflt", "s"), "dflt");
  EXPECT_FALSE(cfg_.HasKey("noequals", "s"));  // a key with an empty value
  EXPECT_EQ(cfg_.GetInt("after", 0, "s"), 1);  // "[]" did not change the section
  EXPECT_EQ(cfg_.SettingsRead(), 1);
}

TEST_F(ConfigFile, CommentsTakeTheWholeLine) {
  ASSERT_TRUE(LoadText("# a\n; b\n// c\n/x = 1\n[s]\nk = v # not a comment\n"));
  EXPECT_EQ(cfg_.GetString("k", "", "s"), "v # not a comment");
  EXPECT_FALSE(cfg_.HasKey("/x", "defaults"));
}

TEST_F(ConfigFile, SettingsBeforeAnyHeaderAreDefaults) {
  ASSERT_TRUE(LoadText("top = 1\n[logserver]\nx = 2\n"));
  EXPECT_EQ(cfg_.GetInt("top", 0, "defaults"), 1);
  EXPECT_EQ(cfg_.GetCurrentSection(), "defaults");
  EXPECT_EQ(cfg_.GetInt("top", 0), 1);  // no section named: the current one
}

TEST_F(ConfigFile, SectionsAndKeysIgnoreCaseAndTheFirstValueWins) {
  ASSERT_TRUE(
      LoadText("[LOGSERVER]\nHeartBeatRate = 60\n[other]\n[ logserver ]\nheartbeatrate = 5\n"
               "New = X\n"));
  EXPECT_EQ(cfg_.GetInt("heartbeatrate", 0, "LogServer"), 60);
  EXPECT_EQ(cfg_.GetString("NEW", "", "logserver"), "X");  // values keep their case
  EXPECT_EQ(cfg_.SectionsRead(), 3);
}

TEST_F(ConfigFile, HeaderNameIsTheFirstBracketFreeRun) {
  ASSERT_TRUE(LoadText("[[ a b ]] trailing]\nk = 1\n]x[\nk = 2\n"));
  EXPECT_EQ(cfg_.GetInt("k", 0, "a b"), 1);
  EXPECT_EQ(cfg_.GetInt("k", 0, "x"), 2);
}

TEST_F(ConfigFile, TypedGetters) {
  ASSERT_TRUE(
      LoadText("[s]\nt = TRUE\nf = 0\ny = yes\ni = 12abc\nj = abc\nn = -7\n"
               "big = 99999999999999\nd = 2.5kb\nnd = x\n"));
  EXPECT_TRUE(cfg_.GetBool("t", false, "s"));
  EXPECT_FALSE(cfg_.GetBool("f", true, "s"));
  EXPECT_TRUE(cfg_.GetBool("y", true, "s"));
  EXPECT_FALSE(cfg_.GetBool("y", false, "s"));
  EXPECT_FALSE(cfg_.GetBool("missing", false, "s"));
  EXPECT_EQ(cfg_.GetInt("i", 5, "s"), 12);
  EXPECT_EQ(cfg_.GetInt("j", 5, "s"), 0);
  EXPECT_EQ(cfg_.GetInt("n", 5, "s"), -7);
  EXPECT_EQ(cfg_.GetInt("big", 5, "s"), INT32_MAX);
  EXPECT_EQ(cfg_.GetInt("missing", 5, "s"), 5);
  EXPECT_DOUBLE_EQ(cfg_.GetDouble("d", 1, "s"), 2.5);
  EXPECT_DOUBLE_EQ(cfg_.GetDouble("nd", 1, "s"), 0);
  EXPECT_STREQ(cfg_.GetValue("i", "x", "s"), "12abc");
  EXPECT_STREQ(cfg_.GetValue("missing", "x", "s"), "x");
  EXPECT_STREQ(cfg_.GetString("t", lfmString("d"), "s").c_str(), "TRUE");
}

TEST_F(ConfigFile, MissingOrUnreadableFileFailsToLoad) {
  EXPECT_FALSE(cfg_.Load(dir_.File("missing.cfg").c_str(), zrConfig::kReadOnly));
  EXPECT_EQ(os_.sleptMs.load(), 0u);  // a missing file is not retried
  // A directory opens but cannot be read.
  EXPECT_FALSE(cfg_.Load(dir_.Path().c_str(), zrConfig::kReadOnly));
}

TEST_F(ConfigFile, HostileContentIsReadSafely) {
  std::string garbage;
  for (int i = 0; i < 20000; ++i)
    garbage += static_cast<char>((i * 7919) % 256);
  std::string text = "[s]\nbefore = 1\n" + garbage + "\n[s]\nafter = 2\n";
  ASSERT_TRUE(LoadText(text));
  EXPECT_EQ(cfg_.GetInt("before", 0, "s"), 1);
  EXPECT_EQ(cfg_.GetInt("after", 0, "s"), 2);
}

TEST_F(ConfigFile, LongLinesAreReadInPieces) {
  // A 100,000-character value: the first piece keeps 8190 characters of the
  // line, the rest is read as lines of their own.
  std::string value(100000, 'v');
  std::string tail = std::string(8190 * 2, 'w') + "tail=x";
  ASSERT_TRUE(LoadText("[s]\nkey=" + value + "\n" + tail + "\nnext = 3\n"));
  EXPECT_EQ(cfg_.GetString("key", "", "s").size(), 8190u - 4u);
  EXPECT_EQ(cfg_.GetInt("next", 0, "s"), 3);
  // "tail=x" started a piece of its own.
  EXPECT_EQ(cfg_.GetString("tail", "", "s"), "x");
}

TEST(ConfigHash, FoldsCaseAndNeverGoesNegative) {
  EXPECT_EQ(zrConfig::HashName("HeartBeatRate"), zrConfig::HashName("heartbeatrate"));
  EXPECT_EQ(zrConfig::HashName(""), 0u);
  // Samples from the end: distance 1 only for a one-character name.
  EXPECT_EQ(zrConfig::HashName("a"), static_cast<uint32_t>('a'));
  EXPECT_EQ(zrConfig::HashName("abc"), 5u * 'c' + 'a');
  // Characters at distances 2, 4..7 from the end are not sampled.
  EXPECT_EQ(zrConfig::HashName("xxxxxxxxzAbQdefGh"), zrConfig::HashName("xxxxxxxxQaQQQQFQH"));
  std::string high(30, '\xff');
  uint32_t h = zrConfig::HashName(high);
  EXPECT_LT(h, 5000u);
  EXPECT_EQ(h, (255u * 781u) % 5000u);
}

class ConfigSave : public ConfigFile {};

TEST_F(ConfigSave, KeepsLayoutUpdatesValuesAndAppendsNewSettings) {
  lfmClock::SetSecondsForTest(1081343109);
  ASSERT_TRUE(
      LoadText("# Top comment\n\n[logserver]\n  ; indented comment\nrate = 60\nold = 1\n"
               "rate = 99\n[other]\nx = 1\n# Edited by Vantorell: January 01, 2000 - 00:00:00\n",
               zrConfig::kReadWrite));
  cfg_.SetInt("rate", 30, "logserver");
  cfg_.SetString("added", "yes", "logserver");
  cfg_.RemoveKey("old", "logserver");
  cfg_.SetString("k", "v", "brandnew");
  ASSERT_TRUE(cfg_.Save(false));
  lfmClock::ReleaseForTest();
  std::string out = ReadFileText(path_);
  std::string expectedStart =
      "# Top comment\n\n[logserver]\n; indented comment\nrate = 30\nadded = yes\n[other]\nx = 1\n"
      "[brandnew]\nk = v\n# Edited by Vantorell: ";
  EXPECT_EQ(out.substr(0, expectedStart.size()), expectedStart) << out;
  EXPECT_EQ(out.find("January 01, 2000"), std::string::npos);  // the old banner is dropped
  EXPECT_FALSE(cfg_.IsDirty());
  EXPECT_FALSE(std::filesystem::exists(dir_.File("kyr.new")));

  // The content in memory is unchanged by saving, and the file reloads to it.
  EXPECT_EQ(cfg_.GetInt("rate", 0, "logserver"), 30);
  zrConfig again;
  ASSERT_TRUE(again.Load(path_.c_str(), zrConfig::kReadOnly));
  EXPECT_EQ(again.GetInt("rate", 0, "logserver"), 30);
  EXPECT_EQ(again.GetString("added", "", "logserver"), "yes");
  EXPECT_FALSE(again.HasKey("old", "logserver"));
  EXPECT_EQ(again.GetString("k", "", "brandnew"), "v");
}

TEST_F(ConfigSave, BannerUsesFullMonthAndPaddedDay) {
  lfmClock::SetSecondsForTest(1081343109);
  ASSERT_TRUE(LoadText("[s]\nk = 1\n", zrConfig::kReadWrite));
  cfg_.SetInt("k", 2, "s");
  ASSERT_TRUE(cfg_.Save(false));
  lfmClock::ReleaseForTest();
  std::tm tm{};
  ASSERT_TRUE(lfmPlatform::Current()->LocalTime(1081343109, &tm));
  char expect[128];
  std::snprintf(expect, sizeof expect, "# Edited by Vantorell: April %02d, 2004 - %02d:%02d:%02d\n",
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  std::string out = ReadFileText(path_);
  EXPECT_NE(out.find(expect), std::string::npos) << out;
}

TEST_F(ConfigSave, FailedRenameKeepsBothTheOldFileAndTheNewContent) {
  StdErrCapture capture;
  ASSERT_TRUE(LoadText("[s]\nk = 1\n", zrConfig::kReadWrite));
  cfg_.SetInt("k", 2, "s");
  os_.renameError = EACCES;
  EXPECT_FALSE(cfg_.Save(false));
  EXPECT_TRUE(cfg_.IsDirty());
  EXPECT_EQ(ReadFileText(path_), "[s]\nk = 1\n");
  std::string kept = ReadFileText(dir_.File("kyr.new"));
  EXPECT_NE(kept.find("k = 2"), std::string::npos);
  std::string err = capture.Text();
  EXPECT_NE(err.find("zrConfig: rename(" + dir_.File("kyr.new") + ", " + path_ + ") failed: "),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("(" + std::to_string(EACCES) + ")."), std::string::npos);

  os_.renameError = 0;  // the next save succeeds
  EXPECT_TRUE(cfg_.Save(false));
  EXPECT_NE(ReadFileText(path_).find("k = 2"), std::string::npos);
}

TEST_F(ConfigSave, FailedTemporaryFileLeavesTheFileAlone) {
  ASSERT_TRUE(LoadText("[s]\nk = 1\n", zrConfig::kReadWrite));
  cfg_.SetInt("k", 2, "s");
  os_.openStreamWriteError = ENOSPC;
  EXPECT_FALSE(cfg_.Save(false));
  EXPECT_EQ(ReadFileText(path_), "[s]\nk = 1\n");
  EXPECT_EQ(os_.sleptMs.load(), 2000u);  // three attempts, a second apart
}

TEST_F(ConfigSave, RefusedWhenReadOnly) {
  ASSERT_TRUE(LoadText("[s]\nk = 1\n", zrConfig::kReadOnly));
  cfg_.SetInt("k", 2, "s");
  EXPECT_FALSE(cfg_.Save(false));
  EXPECT_EQ(ReadFileText(path_), "[s]\nk = 1\n");
}

TEST_F(ConfigSave, NothingToSaveIsSuccessAndClearAfterEmpties) {
  ASSERT_TRUE(LoadText("[s]\nk = 1\n", zrConfig::kReadWrite));
  EXPECT_TRUE(cfg_.Save(true));
  EXPECT_EQ(ReadFileText(path_), "[s]\nk = 1\n");
  EXPECT_FALSE(cfg_.HasKey("k", "s"));
}

}  // namespace
