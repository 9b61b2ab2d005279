// Log output throughput: hit-sized lines through one log file controller
// (one and two threads), beside plain write() of the same bytes in 64 KiB
// blocks to the same file system.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "logout/lfmlogfilecontroller.h"
#include "logout/lfmlogfilecontrollerpool.h"
#include "util/lfmclock.h"

namespace {

// A line of the size WriteLogRecord writes for a typical hit (about 300 bytes).
const std::string kLine =
    "2004-05-07 13:45:10 192.0.2.7 - 192.0.2.1 GET /products/shoes/index.html "
    "kyrid=AB12CD34&title=Shoes%20and%20more&lang=en-US&screen=1920x1080&tz=-60 200 - HTTP/1.1 "
    "Mozilla/5.0+(X11;+Linux+x86_64)+AppleWebKit/537.36+(KHTML,+like+Gecko) "
    "VANTORELL_ID=192.0.2.7-2342342342.29567823 http://www.example.com/search?q=shoes\r\n";

// One scratch root for the whole run: a configuration without rotation and
// the log directory, in the system's temporary directory.
const std::string& Root() {
  static const std::string root = [] {
    char pattern[] = "/tmp/kyrbench-XXXXXX";
    std::string dir = ::mkdtemp(pattern) ? pattern : "/tmp";
    ::mkdir((dir + "/cfg").c_str(), 0755);
    ::mkdir((dir + "/log").c_str(), 0755);
    std::ofstream(dir + "/cfg/kyr.cfg")
        << "[logrotation]\nrotationperiod = none\nlogfiledir = %zr_root%\\weblog\\\n";
    ::setenv("ZR_ROOT", dir.c_str(), 1);
    return dir;
  }();
  return root;
}

// KYR_BENCH_ITERATIONS=N replaces the fixed count of lines (for runs under a
// profiler such as callgrind, which want far fewer).
int64_t Lines(int64_t fixed) {
  const char* n = std::getenv("KYR_BENCH_ITERATIONS");
  return n && *n ? std::strtoll(n, nullptr, 10) : fixed;
}

void RemoveLogs() {
  std::string command = "rm -rf '" + Root() + "/weblog' '" + Root() + "/baseline.log'";
  if (std::system(command.c_str()) != 0)
    return;
}

void BM_ControllerWrite(benchmark::State& state) {
  if (state.thread_index() == 0) {
    Root();
    RemoveLogs();
    lfmLogFileControllerPool::Initialize(2000, "#Fields: bench \r\n");
  }
  lfmLogFileController* ctl = nullptr;
  // The hit time follows the wall clock, read once every 1024 lines: a read
  // per line (some 20 ns here) is the caller's cost, which the plain write()
  // side does not pay, and no part of the controller's path. The controller
  // still sees the time move on from second to second.
  time_t now = 0;
  uint32_t line = 0;
  for (auto _ : state) {
    if (!ctl)
      ctl = lfmLogFileControllerPool::GetLogFileController("NonHosted");
    if ((line++ & 1023) == 0)
      now = lfmClock::Now();
    ctl->Write(now, kLine.data(), kLine.size(), now, 2);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kLine.size()));
  if (state.thread_index() == 0) {
    lfmLogFileControllerPool::ShutDown();
    RemoveLogs();
  }
}
// Both sides write the same volume (about 316 MB), so that the page cache
// treats them alike.
constexpr int64_t kLines = 1000000;
BENCHMARK(BM_ControllerWrite)->Threads(1)->Threads(2)->UseRealTime()->Iterations(Lines(kLines));

void BM_BaselineWrite64K(benchmark::State& state) {
  Root();
  RemoveLogs();
  std::string block;
  while (block.size() + kLine.size() <= 65536)
    block += kLine;
  const size_t linesPerBlock = block.size() / kLine.size();
  int fd = ::open((Root() + "/baseline.log").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
  int64_t lines = 0;
  for (auto _ : state) {
    // One block per linesPerBlock lines, as a buffered writer would.
    if (::write(fd, block.data(), block.size()) < 0)
      state.SkipWithError("write failed");
    lines += static_cast<int64_t>(linesPerBlock);
  }
  ::close(fd);
  RemoveLogs();
  state.SetItemsProcessed(lines);
  state.SetBytesProcessed(lines * static_cast<int64_t>(kLine.size()));
}
BENCHMARK(BM_BaselineWrite64K)
    ->UseRealTime()
    ->Iterations(std::max<int64_t>(1, Lines(kLines) / (65536 / 316)));

}  // namespace
