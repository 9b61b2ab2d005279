#include "util/lfmpathname.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temproot.h"

namespace {

// Writes a path with "\" separators in the native form.
std::string N(std::string s) {
  for (char& c : s) {
    if (c == '\\' || c == '/')
      c = lfmPathName::kNativeSeparator;
  }
  return s;
}

TEST(PathParse, UrlWithHost) {
  lfmPathName p("http://host/dir/sub/page.gif");
  EXPECT_EQ(p.Scheme(), "http");
  EXPECT_EQ(p.Host(), "host");
  EXPECT_EQ(p.Directory(), N("\\dir\\sub"));
  EXPECT_EQ(p.FileName(), "page");
  EXPECT_EQ(p.Extension(), "gif");
  EXPECT_TRUE(p.IsRemote());
  EXPECT_TRUE(p.HasSchemeAndHost());
  EXPECT_EQ(p.NetworkPath(), N("\\\\host\\dir\\sub"));
  EXPECT_EQ(p.FileNameWithExtension(), "page.gif");
  EXPECT_EQ(p.DirectoryAndFile(), N("\\dir\\sub\\page.gif"));
  EXPECT_EQ(p.FullText(), "http://host" + N("\\dir\\sub\\page.gif"));
}

TEST(PathParse, FileSchemeHasNoHostAndFtpIsRemote) {
  lfmPathName f("file:///C:/data/x.txt");
  EXPECT_EQ(f.Scheme(), "file");
  EXPECT_EQ(f.Host(), "");
  EXPECT_EQ(f.Directory(), N("C:\\data"));
  EXPECT_FALSE(f.IsRemote());
  EXPECT_TRUE(lfmPathName("FTP://h/a.b").IsRemote());
}

TEST(PathParse, DriveDirectoryAndDottedNames) {
  lfmPathName d("C:/logs/");
  EXPECT_EQ(d.FullText(), N("C:\\logs\\"));
  EXPECT_EQ(d.Directory(), N("C:\\logs"));
  EXPECT_EQ(d.FileName(), "");

  lfmPathName f("C:\\logs\\a.b.log");
  EXPECT_EQ(f.Directory(), N("C:\\logs"));
  EXPECT_EQ(f.FileName(), "a.b");
  EXPECT_EQ(f.Extension(), "log");
  EXPECT_EQ(f.FileNameWithExtension(), "a.b.log");

  lfmPathName root("/x.log");
  EXPECT_EQ(root.Directory(), N("\\"));  // the first character is never removed
  EXPECT_EQ(root.FileName(), "x");

  lfmPathName dots("..");
  EXPECT_EQ(dots.Directory(), "..");
  EXPECT_EQ(dots.FileName(), "");

  lfmPathName empty("");
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_EQ(empty.FileNameWithExtension(), "");
}

TEST(PathParse, ExistingDirectoryIsAllDirectoryUnlessPattern) {
  TempDir dir;
  std::filesystem::create_directory(dir.File("sub.d"));
  lfmPathName p(dir.File("sub.d"));
  EXPECT_EQ(p.Directory(), N(dir.File("sub.d")));
  EXPECT_EQ(p.FileName(), "");
  EXPECT_EQ(p.Extension(), "");

  lfmPathName pattern(dir.File("*.log"));
  EXPECT_EQ(pattern.Directory(), N(dir.Path()));
  EXPECT_EQ(pattern.FileName(), "*");
}

TEST(PathParse, OverlongPathsAreCutNotOverrun) {
  std::string longPath = "/" + std::string(1000, 'a') + "/file.txt";
  lfmPathName p(longPath);
  EXPECT_LE(p.FullText().size(), lfmPathName::kMaxPath);
}

TEST(PathCompose, JoinsPartsWithOneSeparator) {
  lfmPathName p;
  EXPECT_EQ(p.Recompose(), "");
  p.Compose("http", "host", "/dir", "page", "gif");
  EXPECT_EQ(p.FullText(), "http://host" + N("\\dir\\page.gif"));
  EXPECT_EQ(p.Directory(), N("\\dir"));
  p.Compose(nullptr, nullptr, "C:\\logs\\", "kyr", "log");
  EXPECT_EQ(p.FullText(), N("C:\\logs\\kyr.log"));
}

TEST(PathCompose, SettersRecomposeTheFullText) {
  lfmPathName p("C:\\logs\\old.log");
  p.SetFileName("new");
  EXPECT_EQ(p.FullText(), N("C:\\logs\\new.log"));
  p.SetExtension("kyrbusy");
  EXPECT_EQ(p.FullText(), N("C:\\logs\\new.kyrbusy"));
  p.SetDirectory("D:\\other");
  EXPECT_EQ(p.FullText(), N("D:\\other\\new.kyrbusy"));
  EXPECT_EQ(p.Directory(), N("D:\\other"));
}

TEST(PathTests, IsDirectoryAndExists) {
  TempDir dir;
  EXPECT_TRUE(lfmPathName::IsDirectory(dir.Path()));
  EXPECT_TRUE(lfmPathName::IsDirectory(dir.Path() + "/"));
  EXPECT_TRUE(lfmPathName::IsDirectory(dir.Path() + "\\"));
  EXPECT_FALSE(lfmPathName::IsDirectory(dir.File("missing")));
  EXPECT_FALSE(lfmPathName::IsDirectory(""));
  EXPECT_TRUE(lfmPathName::Exists(dir.Path(), 0));
  EXPECT_FALSE(lfmPathName::Exists(dir.File("missing"), 0));
}

}  // namespace
