#include "host/health.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace kyrhost {
namespace {

// A fresh temporary directory, removed with its content at the end.
struct TempDir {
  TempDir() {
    char name[] = "/tmp/kyrhealth-XXXXXX";
    path_ = mkdtemp(name) ? name : "";
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  const std::string& Path() const { return path_; }
  std::string path_;
};

TEST(HealthTest, ADirectoryCanBeWrittenWhenItOrItsNearestAncestorIsAWritableDirectory) {
  TempDir dir;
  std::ofstream(dir.Path() + "/file") << "x";
  const struct {
    std::string path;
    bool writable;
    const char* why;
  } cases[] = {
      {dir.Path(), true, ""},
      {dir.Path() + "/", true, ""},
      {dir.Path() + "/new/deeper", true, ""},
      {dir.Path() + "/file", false, "is not a directory"},
      {dir.Path() + "/file/sub", false, "cannot reach"},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(Health::CanWriteIn(c.path, why), c.writable) << c.path;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.path << ": " << why;
  }
}

TEST(HealthTest, AnswersOkUntilAFaultADirectoryOrAStop) {
  TempDir dir;
  std::string body;
  Health health;
  health.SetDirectories({dir.Path() + "/weblog"});
  EXPECT_EQ(health.Answer(body), 200);
  EXPECT_EQ(body, "ok\n");

  std::ofstream(dir.Path() + "/weblog") << "x";  // the directory's place taken by a file
  EXPECT_EQ(health.Answer(body), 503);
  EXPECT_EQ(body.find(dir.Path()), std::string::npos) << "no path for anyone to read: " << body;

  Health faulty;
  faulty.SetFault("no element map");
  EXPECT_EQ(faulty.Answer(body), 503);
  EXPECT_EQ(body, "no element map\n");

  Health stopping;
  stopping.BeginStop();
  EXPECT_EQ(stopping.Answer(body), 503);
  EXPECT_EQ(body, "stopping\n");
}

}  // namespace
}  // namespace kyrhost
