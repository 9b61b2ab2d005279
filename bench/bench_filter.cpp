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
#include <iterator>
#include <string>
#include <vector>

#include "bench/benchroot.h"
#include "filter/isapi.h"
#include "hit/lfmrequest.h"
#include "logout/lfmbufferedfile.h"
#include "tests/support/fakeiis.h"
#include "tests/support/filtertest.h"
#include "util/lfmclock.h"
#include "util/lfmmd5.h"

namespace {

const char kQuery[] =
    "kyruri=%2Fproducts%2Fshoes%2Findex.html&kyrqry=title%3DShoes%2520and%2520more%26lang%3Den-US"
    "&kyrref=http%3A%2F%2Fwww.example.com%2Fsearch%3Fq%3Dshoes&kyrsip=192.0.2.1%3A80"
    "&kyrpro=HTTP%2F1.1&kyrdat=1083937510123";
const char kAgent[] = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko)";
const char kCookie[] = "VANTORELL_ID=192.0.2.7-2342342342.29567823; _ga=GA1.2.1234567.1083937510";

// KYR_BENCH_SITES=N runs the hits in the hosted service model for a site
// listed in a site map of N sites (N = 0: the same model without a site
// map), so that the cost of the site map lookup shows against none.
long SiteMapSites() {
  const char* n = std::getenv("KYR_BENCH_SITES");
  return n && *n ? std::strtol(n, nullptr, 10) : -1;
}

std::string HexDigest(lfmMD5& md5) {
  uint8_t digest[lfmMD5::kDigestSize];
  md5.Final(digest);
  static const char kHex[] = "0123456789ABCDEF";
  std::string hex;
  for (uint8_t b : digest) {
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
  }
  return hex;
}

// A valid current-format KYR ID for site number `i`.
std::string SiteId(long i) {
  char body[32];
  std::snprintf(body, sizeof body, "kyr%022ld", i);
  return std::string(body) + "_" + lfmRequest::CheckCode(body, 25, 'z');
}

// Writes a site map of `sites` standard-lag sites to cfg/vantorellsites.lst.
void WriteSiteMap(const std::string& dir, long sites) {
  std::string data;
  lfmMD5 md5;
  md5.Init();
  for (long i = 0; i < sites; ++i) {
    std::string line = SiteId(i) + ",tag" + std::to_string(i) + ",0,null,1,0";
    md5.Update(line.data(), line.size());
    data += line + "\r\n";
  }
  std::ofstream(dir + "/cfg/vantorellsites.lst", std::ios::binary)
      << "#Fields: kyrid,tagid,schedulepriority,realtimeid,cookiesenabled,timezone\r\n"
      << "#LineCount: " << sites << "\r\n#CheckSum: " << HexDigest(md5) << "\r\n"
      << data;
}

// KYR_BENCH_ITERATIONS=N replaces the fixed count of iterations (for runs
// under a profiler such as callgrind, which want far fewer).
int64_t Iterations(int64_t fixed) {
  const char* n = std::getenv("KYR_BENCH_ITERATIONS");
  return n && *n ? std::strtoll(n, nullptr, 10) : fixed;
}

// KYR_BENCH_HITCOUNT=1 counts every hit ("trackhitcount").
std::string HitCounting() {
  const char* on = std::getenv("KYR_BENCH_HITCOUNT");
  return on && *on == '1' ? "trackhitcount = true\n" : "";
}

// The run's root, with the shipped element map and no rotation.
const std::string& Root() {
  static const std::string& root = []() -> const std::string& {
    const std::string& dir = BenchRoot();
    long sites = SiteMapSites();
    if (sites < 0) {
      std::ofstream(dir + "/cfg/kyr.cfg")
          << FilterConfig(HitCounting(), "[logrotation]\nrotationperiod = none\n");
    } else {
      if (sites > 0)
        WriteSiteMap(dir, sites);
      std::ofstream(dir + "/cfg/kyr.cfg") << FilterConfig(
          "hostedmodel = true\n" + HitCounting(),
          "[logrotation]\nrotationperiod = none\n[servicemodel]\nservicemodel = true\n"
          "rotationratestandardlag = 1440\nsitemapenabled = " +
              std::string(sites > 0 ? "true" : "false") + "\n");
    }
    return dir;
  }();
  return root;
}

// The Cookie header. In the hosted service model a returning visitor within
// its visit also sends back the visit's tracking cookies, so the answer sets
// none; KYR_BENCH_NEW_VISIT=1 makes every hit the first of a visit.
std::string Cookie() {
  const char* first = std::getenv("KYR_BENCH_NEW_VISIT");
  if (SiteMapSites() < 0 || (first && *first == '1'))
    return kCookie;
  return std::string(kCookie) + "; ZR_VT_S=1; ZR_VT_D=1";
}

// The tag URL: a listed site's (the middle one) in the hosted model.
std::string TagUrl() {
  long sites = SiteMapSites();
  return sites < 0 ? "/kyr.gif" : "/" + SiteId(sites / 2) + "/kyr.gif";
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
  auto iis = FakeIIS::Get(TagUrl(), kQuery);
  iis->Variable("HTTP_USER_AGENT", kAgent).Variable("HTTP_COOKIE", Cookie());
  iis->Freeze();
  for (auto _ : state) {
    iis->responseHeaders.clear();
    benchmark::DoNotOptimize(iis->Run());
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    TerminateFilter(0);
    // A refused hit costs less than a logged one: make sure none was.
    std::ifstream audit(Root() + "/log/kyr.audit");
    std::string text((std::istreambuf_iterator<char>(audit)), std::istreambuf_iterator<char>());
    if (text.find("discarded") != std::string::npos)
      state.SkipWithError("hits were refused");
    RemoveLogs();
  }
}
BENCHMARK(BM_FilterTagHit)->Threads(1)->Threads(2)->UseRealTime()->Iterations(Iterations(400000));

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
BENCHMARK(BM_BaselineSnprintfLine)->UseRealTime()->Iterations(Iterations(400000));

}  // namespace
