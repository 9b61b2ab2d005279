#include "util/lfmfileinfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "tests/support/temproot.h"

namespace fs = std::filesystem;

namespace {

void Touch(const std::string& path, const std::string& content = "x") {
  std::ofstream(path) << content;
}

TEST(MakePath, CreatesEveryMissingParentInOrder) {
  TempDir dir;
  TestPlatform os;
  fs::create_directory(dir.File("a"));
  std::string target = dir.File("a") + "\\b/c";
  EXPECT_EQ(lfmFileUtil::MakePath(target), 0);
  EXPECT_TRUE(fs::is_directory(dir.File("a/b/c")));
  std::vector<std::string> made = os.Mkdirs();
  ASSERT_EQ(made.size(), 2u);
  EXPECT_EQ(made[0], dir.File("a/b"));
  EXPECT_EQ(made[1], dir.File("a/b/c"));

  EXPECT_EQ(lfmFileUtil::MakePath(target), 0);  // exists: nothing created
  EXPECT_EQ(os.Mkdirs().size(), 2u);
}

TEST(MakePath, ReportsAFailedCreation) {
  TempDir dir;
  TestPlatform os;
  os.mkdirError = EACCES;
  EXPECT_EQ(lfmFileUtil::MakePath(dir.File("x/y")), 1);
  EXPECT_FALSE(fs::exists(dir.File("x")));
  // A file in the way of a directory is a failure too.
  os.mkdirError = 0;
  Touch(dir.File("file"));
  EXPECT_EQ(lfmFileUtil::MakePath(dir.File("file/sub")), 1);
}

TEST(MakePath, NeverCreatesUncOrDriveRoots) {
  TestPlatform os;
  os.mkdirError = EACCES;  // nothing is really created
  lfmFileUtil::MakePath("\\\\srv\\share\\logs\\x");
  for (const std::string& d : os.Mkdirs()) {
    std::string n = d;
    std::replace(n.begin(), n.end(), '/', '\\');
    EXPECT_NE(n, "\\\\srv");
    EXPECT_NE(n, "\\\\srv\\share");
  }
  EXPECT_EQ(lfmFileUtil::MakePath("Q:\\a\\b"), 1);  // a missing drive cannot be made
  for (const std::string& d : os.Mkdirs()) {
    EXPECT_NE(d, "Q:");
    EXPECT_NE(d, "Q:\\");
    EXPECT_NE(d, "Q:/");
  }
}

// A directory can be written when it, or the nearest part of its path that
// exists, is a writable directory (MakePath would make the rest).
TEST(CanWriteIn, TheNearestExistingPartMustBeAWritableDirectory) {
  TempDir dir;
  TestPlatform os;
  std::ofstream(dir.Path() + "/file") << "x";
  const struct {
    std::string path;
    bool writable;
    const char* why;
  } cases[] = {
      {dir.Path(), true, ""},
      {dir.Path() + "/", true, ""},
      {dir.Path() + "/new/deeper", true, ""},
      {dir.Path() + "/file", false, "not a directory: "},
      {dir.Path() + "/file/sub", false, "not a directory: "},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(lfmFileUtil::CanWriteIn(c.path, &why), c.writable) << c.path;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.path << ": " << why;
  }
}

TEST(RemoveFile, ClearsReadOnlyAndDeletes) {
  TempDir dir;
  std::string f = dir.File("ro.log");
  Touch(f);
  fs::permissions(f, fs::perms::owner_read);
  EXPECT_TRUE(lfmFileInfo(f).IsReadOnly());
  EXPECT_EQ(lfmFileUtil::RemoveFile(f), 0);
  EXPECT_FALSE(fs::exists(f));
  EXPECT_EQ(lfmFileUtil::RemoveFile(dir.File("missing")), 0);
}

TEST(FileInfo, StatusOrEmptyRecord) {
  TempDir dir;
  std::string f = dir.File("data.log");
  Touch(f, "12345");
  lfmFileInfo info(f);
  EXPECT_EQ(info.Size(), 5u);
  EXPECT_TRUE(info.IsWritable());
  EXPECT_EQ(info.Name().FileName(), "data");
  EXPECT_GT(info.ModifyTime(), 0);

  lfmFileInfo missing(dir.File("nope"));
  EXPECT_TRUE(missing.Name().IsEmpty());
  EXPECT_EQ(missing.Size(), 0u);
  EXPECT_EQ(missing.Mode(), 0u);
}

TEST(ListFiles, MatchesPatternAndSkipsDirectories) {
  TempDir dir;
  Touch(dir.File("a.log"), "1");
  Touch(dir.File("b.LOG"), "22");
  Touch(dir.File("c.txt"));
  Touch(dir.File("noext"));
  fs::create_directory(dir.File("d.log"));
  lfmFileList list;
  ASSERT_EQ(lfmFileUtil::ListFiles(dir.Path(), "*.log", &list, true), 0);
  std::vector<std::string> names;
  for (const lfmFileInfo& i : list)
    names.push_back(i.Name().FileNameWithExtension());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.log", "b.LOG"}));

  lfmFileList all;
  ASSERT_EQ(lfmFileUtil::ListFiles(dir.Path(), "", &all, false), 0);
  EXPECT_EQ(all.size(), 4u);  // "*.*" also matches a name without a dot

  EXPECT_EQ(lfmFileUtil::ListFiles(dir.File("missing"), "*.log", &list, false), 1);
  EXPECT_EQ(lfmFileUtil::ListFiles(dir.Path(), "*.log", nullptr, false), 1);
}

TEST(ListFiles, PatternMatching) {
  EXPECT_TRUE(lfmFileUtil::MatchPattern("kyr*.log", "KYR2004.log"));
  EXPECT_TRUE(lfmFileUtil::MatchPattern("k?r.*", "kyr"));
  EXPECT_FALSE(lfmFileUtil::MatchPattern("*.log", "x.log.bak"));
  EXPECT_TRUE(lfmFileUtil::MatchPattern("*a*b*", "xxaxxbxx"));
  EXPECT_FALSE(lfmFileUtil::MatchPattern("*a*b", "xxaxxbxx"));
}

TEST(Rename, NeverReplacesAnExistingFile) {
  TempDir dir;
  Touch(dir.File("from"), "new");
  Touch(dir.File("to"), "old");
  EXPECT_NE(lfmFileUtil::Rename(dir.File("from"), dir.File("to")), 0);
  std::ifstream in(dir.File("to"));
  std::string s;
  in >> s;
  EXPECT_EQ(s, "old");
  EXPECT_EQ(lfmFileUtil::Rename(dir.File("from"), dir.File("fresh")), 0);
  EXPECT_TRUE(fs::exists(dir.File("fresh")));
}

}  // namespace
