// The whole filter path of a returning visitor's tag hit: PREPROC_HEADERS,
// URL_MAP and SEND_RESPONSE through HttpFilterProc with the fake IIS, into a
// buffered log file; one and two threads. Beside it, the baseline: the same
// line formatted with snprintf and appended to the same kind of buffered
// file.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "bench/benchroot.h"
#include "filter/isapi.h"
#include "logout/lfmbufferedfile.h"
#include "tests/support/fakeiis.h"
#include "tests/support/filtertest.h"
#include "util/lfmclock.h"

namespace {

const char kQuery[] =
    "kyruri=%2Fproducts%2Fshoes%2Findex.html&kyrqry=title%3DShoes%2520and%2520more%26lang%3Den-US"
    "&kyrref=http%3A%2F%2Fwww.example.com%2Fsearch%3Fq%3Dshoes&kyrsip=192.0.2.1%3A80"
    "&kyrpro=HTTP%2F1.1&kyrdat=1083937510123";
const char kAgent[] = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko)";
const char kCookie[] = "VANTORELL_ID=192.0.2.7-2342342342.29567823; _ga=GA1.2.1234567.1083937510";

// The run's root, with the shipped element map and no rotation.
const std::string& Root() {
  static const std::string& root = []() -> const std::string& {
    const std::string& dir = BenchRoot();
    std::ofstream(dir + "/cfg/kyr.cfg")
        << FilterConfig("", "[logrotation]\nrotationperiod = none\n");
    return dir;
  }();
  return root;
}

void RemoveLogs() {
  std::string command =
      "rm -rf '" + Root() + "/weblog' '" + Root() + "/baseline.log' '" + Root() + "/log'/*";
  if (std::system(command.c_str()) != 0)
    return;
}

void BM_FilterTagHit(benchmark::State& state) {
  if (state.thread_index() == 0) {
    Root();
    RemoveLogs();
    HTTP_FILTER_VERSION v{};
    if (!GetFilterVersion(&v))
      state.SkipWithError("GetFilterVersion failed");
  }
  auto iis = FakeIIS::Get("/kyr.gif", kQuery);
  iis->Variable("HTTP_USER_AGENT", kAgent).Variable("HTTP_COOKIE", kCookie);
  iis->Freeze();
  for (auto _ : state) {
    iis->responseHeaders.clear();
    benchmark::DoNotOptimize(iis->Run());
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    TerminateFilter(0);
    RemoveLogs();
  }
}
BENCHMARK(BM_FilterTagHit)->Threads(1)->Threads(2)->UseRealTime()->Iterations(400000);

void BM_BaselineSnprintfLine(benchmark::State& state) {
  Root();
  RemoveLogs();
  lfmBufferedFile file(65536, 0);
  file.Open(Root() + "/baseline.log", 0x1 | 0x8 | 0x100, 0x1B6, lfmClock::Now());
  char line[8192];
  for (auto _ : state) {
    time_t now = lfmClock::Now();
    std::tm tm{};
    gmtime_r(&now, &tm);
    int n = std::snprintf(
        line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d %s %s %s %s %s %s %ld %s %s %s %s %s\r\n",
        tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, "192.0.2.7",
        "-", "192.0.2.1", "GET", "/products/shoes/index.html",
        "title=Shoes%20and%20more&lang=en-US&ZR.co=Yes", 200L, "-", "HTTP/1.1",
        "Mozilla/5.0+(X11;+Linux+x86_64)+AppleWebKit/537.36+(KHTML,+like+Gecko)",
        "VANTORELL_ID=192.0.2.7-2342342342.29567823;+_ga=GA1.2.1234567.1083937510",
        "http://www.example.com/search?q=shoes");
    file.Write(line, static_cast<size_t>(n));
  }
  file.Close();
  RemoveLogs();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BaselineSnprintfLine)->UseRealTime()->Iterations(400000);

}  // namespace
