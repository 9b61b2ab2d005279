// What an operator relies on around the collector: `kyrhost --check`
// before a restart, the health path a load balancer polls, and the start's
// account of the messages it wrote.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "tests/e2e/hostprocess.h"
#include "tests/e2e/httpclient.h"
#include "tests/support/temproot.h"

namespace e2e {
namespace {

const char kServiceModel[] =
    "[logserver]\nhostedmodel = true\n[servicemodel]\nservicemodel = true\nsitemapenabled = true\n";

// Every `check` case runs `kyrhost --check` on a root made of the case's
// settings in front of the shipped configuration, then looks at what it
// printed and that it wrote nothing.
TEST(CheckTest, NamesEveryProblemAndSaysWhetherTheConfigurationIsUsable) {
  struct Case {
    const char* name;
    std::string settings;
    std::string www;     // empty: the project's web root
    const char* remove;  // a file or empty directory of the root to take away
    int status;
    std::vector<std::string> printed;
  };
  TempDir emptyWww;
  // clang-format off
  const Case cases[] = {
      {"misspellings are warnings",
       "[logrotation]\nrotatoinperiod = hourly\nrotationperiod = hourlly\n[logserver]\n"
       "usememmappedfile = ture\n[cookieserver]\nhttponly = yes\n[logsever]\nsplitlogs = true\n",
       "", nullptr, 0,
       {"info: The following log server setting values have been loaded:",
        "info: The following cookie setting values have been loaded.",
        "warning: The configuration file sets rotatoinperiod in section [logrotation], a "
        "setting the collector does not read",
        "warning: The setting rotationperiod in section [logrotation] has the value (hourlly), "
        "which is not one of hourly, daily, weekly, monthly, quarterly, yearly, hours, minutes, "
        "none or 1..30.  It reads as: daily",
        "(ture), which is not true, false, 1 or 0.  It reads as: false",
        "httponly in section [cookieserver] has the value (yes)",
        "sets httponly in section [cookieserver] more than once: the first value (yes) is used, "
        "the later one (false) is not",
        "warning: The configuration file has a section [logsever]",
        "kyrhost: the configuration is usable"}},
      {"no audit directory", "", "", "log", 0,
       {"/log is not a writable directory: the module's messages (the audit file) will go to "
        "standard error",
        "kyrhost: the configuration is usable"}},
      {"no configuration file", "", "", "cfg/kyr.cfg", 1,
       {"error: Failed to load the required configuration file:",
        "Source File   : ./src/config/lfmenv.cpp", "kyrhost: the configuration is NOT usable"}},
      {"a log directory beneath a file", "[logrotation]\nlogfiledir = %zr_root%/cfg/kyr.cfg/x\n",
       "", nullptr, 1,
       {"(logfiledir) cannot be written: not a directory:",
        "kyrhost: the configuration is NOT usable"}},
      {"no element map", "[logserver]\nlogelementcount = 0\n", "", nullptr, 1,
       {"Failed to retrieve a required paramater: KYR_URI",
        "kyrhost: the configuration is NOT usable"}},
      {"a site map that cannot be read, nor its backup", kServiceModel, "", nullptr, 1,
       {"error: Failed to load backup sitemap file.", "kyrhost: the configuration is NOT usable"}},
      {"a web root without the content image is a warning: a tag elsewhere has its own", "",
       emptyWww.Path(), nullptr, 0,
       {"warning: the web root", "has no content image zr_kyr.gif (contentfilename)",
        "kyrhost: the configuration is usable"}},
      {"latency directories go unused without a site map",
       std::string(kServiceModel).replace(std::string(kServiceModel).find("sitemapenabled = true"),
                                          21, "shortlaglogfiledir = %zr_root%/cfg/kyr.cfg/x"),
       "", nullptr, 0, {"kyrhost: the configuration is usable"}},
      {"the hit counter falls back to the root's log directory",
       "[logserver]\ntrackhitcount = true\nhitcountlogfiledir = %zr_root%/cfg/kyr.cfg/x\n", "",
       nullptr, 0, {"kyrhost: the configuration is usable"}},
      {"a site map backup directory that cannot be made fails the start",
       std::string(kServiceModel) + "sitemapbackupdir = %zr_root%/cfg/kyr.cfg/x\n", "", nullptr,
       1, {"(sitemapbackupdir) cannot be written: not a directory:",
           "The site map cannot be copied there: a start fails.",
           "kyrhost: the configuration is NOT usable"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostProcess host(c.settings, c.www);
    if (c.remove) {
      ASSERT_EQ(remove((host.Root() + "/" + c.remove).c_str()), 0) << c.remove;
    }
    std::string output;
    EXPECT_EQ(RunKyrhost({"--check", "--root", host.Root(), "--www", host.Www()}, output), c.status)
        << output;
    for (const std::string& expected : c.printed)
      EXPECT_NE(output.find(expected), std::string::npos) << expected << "\n" << output;
    if (!c.remove || std::string(c.remove) != "log") {
      EXPECT_TRUE(ListDir(host.Root() + "/log").empty()) << "an audit file";
    }
    EXPECT_TRUE(ListDir(host.Root() + "/weblog").empty()) << "a log file";
  }
}

class HealthTest : public ::testing::Test {
 protected:
  void Start(const std::vector<std::string>& args) {
    host_ = std::make_unique<HostProcess>("[logserver]\ntrackfirsttimecookies = false\n", "", args);
    ASSERT_TRUE(host_->Start(output_)) << output_;
  }
  Response Health(const std::string& method = "GET") {
    return client_.Get(host_->Url("/h/kyr.gif?kyruri=/health"), {}, method);
  }
  std::unique_ptr<HostProcess> host_;
  std::string output_;
  HttpClient client_;
};

TEST_F(HealthTest, AnsweredByKyrhostWhileTheLogDirectoryCanBeWritten) {
  // The health path looks like a tag: the module must never see it.
  Start({"--health-path", "/h/kyr.gif"});
  ASSERT_TRUE(host_->ReadOutputUntil("kyrhost: the start wrote", output_)) << output_;
  EXPECT_NE(output_.find("kyrhost: health at /h/kyr.gif"), std::string::npos);
  Response ok = Health();
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, "ok\n");
  EXPECT_EQ(ok.Header("Cache-Control"), "no-store");
  EXPECT_EQ(Health("HEAD").status, 200);
  EXPECT_EQ(Health("POST").status, 405);

  // The log directory turned into a file: nothing can be logged.
  std::string weblog = host_->Root() + "/weblog";
  ASSERT_EQ(rmdir(weblog.c_str()), 0);
  WriteFileText(weblog, "");
  Response down = Health();
  EXPECT_EQ(down.status, 503);
  EXPECT_EQ(down.body, "a log directory cannot be written (kyrhost --check names it)\n");
  unlink(weblog.c_str());
  EXPECT_EQ(Health().status, 200) << "the directory may be made again";

  EXPECT_EQ(host_->Stop(), 0);
  EXPECT_TRUE(host_->LogLines().empty());
}

TEST_F(HealthTest, AStopAnswers503WhileItDrainsAndServesHitsMeanwhile) {
  Start({"--health-path", "/h/kyr.gif", "--drain", "60"});
  ASSERT_EQ(Health().status, 200);
  kill(host_->Pid(), SIGTERM);
  ASSERT_TRUE(host_->ReadOutputUntil("kyrhost: draining for 60 s", output_)) << output_;
  Response draining = Health();
  EXPECT_EQ(draining.status, 503);
  EXPECT_EQ(draining.body, "stopping\n");
  EXPECT_EQ(client_.Get(host_->Url("/kyr.gif?kyruri=%2Fduring-drain")).status, 200);
  // A second signal ends the drain; the stop is graceful as ever.
  EXPECT_EQ(host_->Stop(), 0);
  std::vector<std::string> lines = host_->LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("/during-drain"), std::string::npos);
}

TEST_F(HealthTest, NoElementMapMeansNoHitCanBeLoggedFromTheStart) {
  host_ = std::make_unique<HostProcess>("[logserver]\nlogelementcount = 0\n", "",
                                        std::vector<std::string>{"--health-path", "/h/kyr.gif"});
  ASSERT_TRUE(host_->Start(output_)) << output_;
  Response r = Health();
  EXPECT_EQ(r.status, 503);
  EXPECT_EQ(r.body, "the log element map cannot be built: no hit can be logged\n");
  EXPECT_EQ(host_->Stop(), 0);
}

TEST(StartMessagesTest, TheStartSaysHowManyMessagesItWroteAndWhere) {
  HostProcess host("[logserver]\nheartbeatrate2 = 5\n");
  std::string output;
  ASSERT_TRUE(host.Start(output)) << output;
  ASSERT_TRUE(host.ReadOutputUntil("\n", output) &&
              host.ReadOutputUntil("kyrhost: the start wrote", output))
      << output;
  // The shipped key's warning and the unknown key's.
  EXPECT_NE(output.find("kyrhost: the start wrote 2 messages to " + host.Root() + "/log/kyr.audit"),
            std::string::npos)
      << output;
  EXPECT_EQ(host.Stop(), 0);
  std::string audit = ReadFileText(host.Root() + "/log/kyr.audit");
  EXPECT_NE(audit.find("sets heartbeatrate2 in section [logserver]"), std::string::npos) << audit;
}

// Every file and directory under `dir`, with its size and time.
std::vector<std::string> Tree(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    std::string line = e.path().string();
    if (e.is_regular_file()) {
      line += " " + std::to_string(e.file_size()) + " " +
              std::to_string(e.last_write_time().time_since_epoch().count());
    }
    out.push_back(line);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// With every feature that writes at start switched on (a site map that
// loads, hit counting, memory-mapped files, files an earlier run left
// busy), the check leaves the root exactly as it was.
TEST(CheckTest, ACheckWritesNothingWhereAStartWould) {
  const std::string kA = "kyraaaaaaaaaaaaaaaaaaaaaa_7k8y";
  const std::string kC = "kyrcccccccccccccccccccccc_9u9f";
  const std::string kU = "kyruuuuuuuuuuuuuuuuuuuuuu_9k9j";
  HostProcess host(std::string(kServiceModel) +
                   "[logserver]\nsplitlogs = true\ntrackhitcount = true\n"
                   "usememmappedfile = true\n");
  WriteFileText(host.Root() + "/cfg/vantorellsites.lst",
                "#Application: test\r\n#Fields: kyrid,tagid,schedulepriority,realtimeid,"
                "cookiesenabled,timezone\r\n#LineCount: 2\r\n#CheckSum: "
                "46E30C4CFC62BCAD0069B0C361F9D8C5\r\n" +
                    kA + ",tagA,0," + kC + ",1,0\r\n" + kU + ",tagU,1,null,1,0\r\n");
  WriteFileText(host.Root() + "/weblog/kyr-2026-01-01-00-00000-old.kyrbusy", "#Fields: x\r\nhalf");
  WriteFileText(host.Root() + "/log/old.hclfbusy", "");
  std::vector<std::string> before = Tree(host.Root());
  std::string output;
  EXPECT_EQ(RunKyrhost({"--check", "--root", host.Root(), "--www", host.Www()}, output), 0)
      << output;
  EXPECT_EQ(output.find("Failed to load"), std::string::npos) << output;
  EXPECT_EQ(Tree(host.Root()), before);
}

// The README's proxy configurations are the examples the proxy test runs:
// every line of its ```nginx and ```haproxy blocks is a line of the file.
TEST(ReadmeTest, ProxySnippetsAreLinesOfTheTestedExamples) {
  auto trimmed = [](std::string line) {
    size_t a = line.find_first_not_of(" \t\r");
    size_t b = line.find_last_not_of(" \t\r");
    return a == std::string::npos ? std::string() : line.substr(a, b - a + 1);
  };
  auto linesOf = [&](const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
      lines.push_back(trimmed(line));
    return lines;
  };
  const std::map<std::string, std::string> examples = {
      {"nginx", "/conf/examples/nginx-kyr.conf"}, {"haproxy", "/conf/examples/haproxy-kyr.cfg"}};
  std::map<std::string, int> shown;
  std::string kind;
  for (const std::string& line : linesOf(ReadFileText(SourceDir() + "/README.md"))) {
    if (line.rfind("```", 0) == 0) {
      kind = examples.count(line.substr(3)) ? line.substr(3) : "";
      continue;
    }
    if (kind.empty() || line.empty())
      continue;
    std::vector<std::string> example = linesOf(ReadFileText(SourceDir() + examples.at(kind)));
    EXPECT_NE(std::find(example.begin(), example.end(), line), example.end())
        << kind << ": " << line;
    ++shown[kind];
  }
  EXPECT_GT(shown["nginx"], 3);
  EXPECT_GT(shown["haproxy"], 3);
}

TEST(VersionTest, PrintsTheVersion) {
  std::string output;
  EXPECT_EQ(RunKyrhost({"--version"}, output), 0);
  EXPECT_EQ(output.rfind("kyrhost ", 0), 0u) << output;
}

}  // namespace
}  // namespace e2e
