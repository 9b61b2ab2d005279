// kyrhost killed with SIGKILL while hits arrive, then started again on the
// same root: what the crash may cost (the lines still in memory) and what it
// may not (a busy file left, NUL padding, a torn or merged line, a line
// written twice).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/e2e/hostprocess.h"
#include "tests/e2e/httpclient.h"
#include "tests/support/filtertest.h"
#include "tests/support/temproot.h"

namespace e2e {
namespace {

const std::string kSites[] = {"kyraaaaaaaaaaaaaaaaaaaaaa_7k8y", "kyrbbbbbbbbbbbbbbbbbbbbbb_8p4c",
                              "kyrcccccccccccccccccccccc_9u9f"};
const char* const kDirs[] = {"weblog", "shortlag", "realtime"};
constexpr size_t kBuffer = 16384;

struct CrashMode {
  const char* name;
  std::string settings;
  bool hosted;
  bool mapped;
};

std::vector<CrashMode> Modes() {
  const std::string buffered =
      "[logserver]\ntrackfirsttimecookies = false\nwritebuffersize = " + std::to_string(kBuffer) +
      "\nbufferflushrate = 3600\n";
  // A mapped file reserves its size limit: 64 MB, more than a run writes,
  // so that the crash finds it mapped and not yet continued unmapped.
  const std::string mapped = buffered +
                             "usememmappedfile = true\n"
                             "[logrotation]\nlimitbysize = true\nmaxlogfilesize = 65536\n";
  const std::string hosted =
      "[logserver]\nhostedmodel = true\n[servicemodel]\nservicemodel = true\n";
  return {
      {"buffered", buffered, false, false},
      {"mapped", mapped, false, true},
      {"hosted", buffered + hosted, true, false},
      {"hosted mapped", mapped + hosted, true, true},
  };
}

// Sends tag hits, each with its own number, from two clients until told to
// stop; remembers the numbers answered 200.
class Load {
 public:
  Load(const HostProcess& host, bool hosted, int first) : next_(first) {
    for (int t = 0; t < 2; ++t)
      threads_.emplace_back([this, &host, hosted, t] {
        HttpClient client;
        while (!stop_) {
          int n = next_++;
          std::string site = hosted ? "/" + kSites[(n + t) % 3] : "";
          Response r = client.Get(host.Url(site + "/kyr.gif?kyruri=%2Fcrash%2F" +
                                           std::to_string(n) + "&kyrqry=" + std::string(60, 'q')));
          if (r.status == 200) {
            std::lock_guard<std::mutex> guard(lock_);
            answered_.insert(n);
          }
        }
      });
  }
  ~Load() { Stop(); }
  void Stop() {
    stop_ = true;
    for (std::thread& t : threads_)
      if (t.joinable())
        t.join();
  }
  size_t Answered() {
    std::lock_guard<std::mutex> guard(lock_);
    return answered_.size();
  }
  std::set<int> Numbers() {
    std::lock_guard<std::mutex> guard(lock_);
    return answered_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> next_;
  std::mutex lock_;
  std::set<int> answered_;
  std::vector<std::thread> threads_;
};

// The number of fields the file's "#Fields:" directive names.
size_t FieldCount(const std::string& text) {
  size_t at = text.find("#Fields:");
  if (at == std::string::npos)
    return 0;
  std::istringstream names(text.substr(at + 8, text.find("\r\n", at) - at - 8));
  size_t n = 0;
  for (std::string name; names >> name;)
    ++n;
  return n;
}

// Waits until `n` hits are answered and, for the size check (which skips
// hits of a file's first second), `ms` have passed.
void WaitForAnswers(Load& load, size_t n, int ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (int i = 0; i < 3000 && (load.Answered() < n || std::chrono::steady_clock::now() < until);
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

TEST(KyrhostCrash, KilledUnderLoadLosesAtMostTheBuffersAndLeavesNoDamagedFile) {
  for (const CrashMode& mode : Modes()) {
    SCOPED_TRACE(mode.name);
    HostProcess host(mode.settings);
    std::string out;
    ASSERT_TRUE(host.Start(out)) << out;
    std::set<int> answered;
    {
      Load load(host, mode.hosted, 0);
      WaitForAnswers(load, 5000, 1000);
      host.Kill();
      load.Stop();
      answered = load.Numbers();
    }
    // The next run starts files of another period: the crashed ones are
    // not reopened, so what they hold is left as the crash left it.
    WriteFileText(host.Root() + "/cfg/kyr.cfg", "[logrotation]\nrotationperiod = hourly\n" +
                                                    ReadFileText(host.Root() + "/cfg/kyr.cfg"));
    ASSERT_TRUE(host.Start(out)) << out;
    {
      Load load(host, mode.hosted, 1000000);
      WaitForAnswers(load, 100, 0);
      load.Stop();
      std::set<int> more = load.Numbers();
      answered.insert(more.begin(), more.end());
    }
    EXPECT_EQ(host.Stop(), 0);

    // Every file whole: no busy one, no NUL byte, every line ended.
    std::map<int, int> logged;
    const std::regex number("/crash/([0-9]+) ");
    size_t files = 0;
    for (const char* dir : kDirs)
      for (const std::string& name : ListDir(host.Root() + "/" + dir)) {
        ++files;
        SCOPED_TRACE(std::string(dir) + "/" + name);
        EXPECT_EQ(name.find(".kyrbusy"), std::string::npos);
        std::string text = ReadFileText(host.Root() + "/" + dir + "/" + name);
        EXPECT_EQ(text.find('\0'), std::string::npos);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
        const size_t fields = FieldCount(text);
        for (const std::string& line : DataLines(text)) {
          std::smatch m;
          ASSERT_TRUE(std::regex_search(line, m, number)) << line;
          ++logged[std::stoi(m[1])];
          EXPECT_EQ(static_cast<size_t>(std::count(line.begin(), line.end(), ' ')) + 1, fields)
              << line;
        }
      }
    EXPECT_GT(files, 0u);
    // The file mapped at the crash held its reservation: the repair cut it.
    if (mode.mapped) {
      EXPECT_NE(ReadFileText(host.Root() + "/log/kyr.audit").find("left unfinished by a run"),
                std::string::npos);
    }
    size_t missing = 0;
    for (int n : answered)
      missing += logged.count(n) == 0;
    for (const auto& [n, count] : logged)
      EXPECT_EQ(count, 1) << n;
    // A line is well over 100 bytes: the lost ones fit in the buffers of the
    // files open at the crash (one, or one per site).
    const size_t openFiles = mode.hosted ? 3 : 1;
    EXPECT_LE(missing * 100, openFiles * kBuffer);
    std::printf("[ figures  ] %s: %zu answered, %zu missing after the crash\n", mode.name,
                answered.size(), missing);
  }
}

}  // namespace
}  // namespace e2e
