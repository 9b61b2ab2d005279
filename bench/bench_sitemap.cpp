// The site map: loading a file of a million sites beside the floor of
// reading it once and digesting it (one pass, 64 KiB reads, MD5), the
// phases of a load on their own, the memory a load takes, and lookups from
// two request threads while the reload thread keeps loading a map of
// 100,000 sites (both lock models), beside the same lookups without a
// reload running.
//
// Own flags, taken before the benchmark library's:
//   --sites=N   sites in the large map (default 1,000,000)
//   --memory    only generate the large map and load it once in this fresh
//               process, printing the peak resident memory before and after
//               and its growth against the file size.
//
// Memory. VmHWM (/proc/self/status) is the process's peak resident size, a
// high-water mark over the whole run, so a figure taken in the middle of a
// benchmark run says little. Two honest ways are used:
//  - BM_SiteMapLoad/startup resets the mark before each timed load (writing
//    "5" to /proc/self/clear_refs, Linux 4.0 and later) and reports the peak
//    above the resident size at the start of the load (peak_per_file) and
//    what the loaded map keeps resident (held_per_file), both as multiples
//    of the file size. Without clear_refs these counters are left out.
//  - --memory does the same in a process that has done nothing else, from
//    the marks alone.
// Freed memory that the allocator keeps counts as resident; the start-up
// variant builds each map in a fresh controller and frees it untimed.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/benchroot.h"
#include "hit/lfmrequest.h"
#include "sitemap/tssitemapreader.h"
#include "sitemap/tssiteoverview.h"
#include "sitemap/tssiteparammap.h"
#include "sitemap/tssiteparams.h"
#include "util/lfmmac.h"
#include "util/lfmmd5.h"

namespace {

int64_t g_sites = 1000000;                // --sites
constexpr int64_t kReloadSites = 100000;  // the map reloaded under lookups

uint64_t Mix(uint64_t x) {  // splitmix64
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

const char kAlnum[] = "abcdefghijklmnopqrstuvwxyz0123456789";

// The current-format KYR ID of site `i`: "kyr", 16 scattered characters and
// 6 base-36 digits of `i` (unique below 36^6), "_" and the check code.
std::string KyrId(uint64_t i) {
  char body[25] = {'k', 'y', 'r'};
  uint64_t h = Mix(i);
  for (int k = 3; k < 19; ++k) {
    if (k == 11)
      h = Mix(h ^ i);
    body[k] = kAlnum[h % 36];
    h /= 36;
  }
  uint64_t n = i;
  for (int k = 24; k >= 19; --k) {
    body[k] = kAlnum[n % 36];
    n /= 36;
  }
  return std::string(body, 25) + "_" + lfmRequest::CheckCode(body, 25, 'z');
}

std::string TagId(uint64_t i) {
  std::string tag = "tg";
  uint64_t n = i;
  for (int k = 0; k < 6; ++k, n /= 36)
    tag += kAlnum[n % 36];
  uint64_t h = Mix(~i);
  for (int k = 0; k < 4; ++k, h /= 36)
    tag += kAlnum[h % 36];
  return tag;
}

const char kFields[] =
    "kyrid,tagid,firstweekday,schedulepriority,realtimeid,datacollection,timezone,kyrenabled,"
    "fullymigrated,cookiesenabled,visitorsessionlength";

// Data line `i` of a map of `sites` sites, without its line end. Most sites
// have no further KYR IDs ("null"); one in 50 lists two other sites, one in
// 50 one other site and "decouple".
void DataLine(uint64_t i, uint64_t sites, std::string& line) {
  line = KyrId(i);
  line += ',';
  line += TagId(i);
  line += i % 7 == 0 ? ",1" : ",0";
  line += i % 10 == 0 ? ",1," : ",0,";
  if (i % 50 == 0)
    line += "'" + KyrId((i + 1) % sites) + ":" + KyrId((i + 2) % sites) + "'";
  else if (i % 50 == 25)
    line += "'" + KyrId((i + 3) % sites) + ":decouple'";
  else
    line += "null";
  line += ",1,";
  line += std::to_string(static_cast<int>(i % 25) - 12);
  line += i % 3 == 0 ? ",1,0,1,30" : ",1,1,1,30";
}

// Writes a site map of `sites` sites to `path`: the digest is taken in a
// first pass so that nothing but one line is held in memory.
bool WriteSiteMap(const std::string& path, uint64_t sites) {
  lfmMAC mac;
  std::string line;
  for (uint64_t i = 0; i < sites; ++i) {
    DataLine(i, sites, line);
    mac.Update(line);
  }
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr)
    return false;
  std::setvbuf(f, nullptr, _IOFBF, 1 << 20);
  std::fprintf(f,
               "#Application: producer\r\n#Version: 1.0\r\n#Date: 2026-12-06 00:00:00\r\n"
               "#LineCount: %llu\r\n#CheckSum: %s\r\n#Fields: %s\r\n",
               static_cast<unsigned long long>(sites), mac.HexDigest(), kFields);
  for (uint64_t i = 0; i < sites; ++i) {
    DataLine(i, sites, line);
    line += "\r\n";
    std::fwrite(line.data(), 1, line.size(), f);
  }
  return std::fclose(f) == 0;
}

// The map of `sites` sites, written once per process.
const std::string& SiteMapFile(int64_t sites) {
  static std::map<int64_t, std::string> files;
  auto it = files.find(sites);
  if (it != files.end())
    return it->second;
  for (uint64_t i = 0; i < 1000; ++i)
    if (lfmRequest::CheckKyrId(KyrId(i), lfmRequest::kCurrentFormat) != lfmRequest::kKyrIdOk) {
      std::fprintf(stderr, "generated KYR ID %s is not valid\n", KyrId(i).c_str());
      std::exit(2);
    }
  const std::string& root = BenchRoot();
  static bool configured = false;
  if (!configured) {
    std::ofstream(root + "/cfg/kyr.cfg") << "[auditlog]\ndebuglevel = 1\n";
    configured = true;
  }
  std::string path = root + "/smap-" + std::to_string(sites) + ".txt";
  if (!WriteSiteMap(path, static_cast<uint64_t>(sites))) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(2);
  }
  return files.emplace(sites, path).first->second;
}

int64_t FileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

// A "VmXXX:" value of /proc/self/status in bytes, or -1.
int64_t ProcStatus(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string text;
  size_t keyLength = std::strlen(key);
  while (std::getline(in, text))
    if (text.compare(0, keyLength, key) == 0)
      return std::atoll(text.c_str() + keyLength) * 1024;
  return -1;
}

// Resets VmHWM to the current resident size; false where the kernel does
// not allow it.
bool ResetPeak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

// ---- floor ----

void BM_SiteMapFloor(benchmark::State& state) {
  const std::string& path = SiteMapFile(g_sites);
  std::vector<char> buffer(64 * 1024);
  int64_t bytes = 0;
  for (auto _ : state) {
    int fd = ::open(path.c_str(), O_RDONLY);
    lfmMD5 md5;
    ssize_t n;
    while ((n = ::read(fd, buffer.data(), buffer.size())) > 0) {
      md5.Update(buffer.data(), static_cast<size_t>(n));
      bytes += n;
    }
    ::close(fd);
    uint8_t digest[lfmMD5::kDigestSize];
    md5.Final(digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_SiteMapFloor)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- load ----

// Arg 0 "startup": each load fills a fresh controller, as at start-up; the
// controller is freed untimed. Arg 1 "reload": one controller throughout,
// so each load also frees the half before the last, as the reload thread's
// loads do.
void BM_SiteMapLoad(benchmark::State& state) {
  const bool reload = state.range(0) != 0;
  const std::string& path = SiteMapFile(g_sites);
  const std::string backup = BenchRoot() + (reload ? "/backup-reload" : "/backup-startup");
  const double fileSize = static_cast<double>(FileSize(path));
  auto map = std::make_unique<tsSiteParamMapController>();
  auto overview = std::make_unique<tsSiteOverview>(*map);
  overview->Init(path, backup, true, true, 0, 0);
  if (reload && overview->Load(false, nullptr) != 0) {
    state.SkipWithError("first load failed");
    return;
  }
  bool peaks = !reload;
  double peak = 0, held = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (!reload) {
      overview.reset();
      map = std::make_unique<tsSiteParamMapController>();
      overview = std::make_unique<tsSiteOverview>(*map);
      overview->Init(path, backup, true, true, 0, 0);
    }
    peaks = peaks && ResetPeak();
    int64_t before = ProcStatus("VmRSS:");
    state.ResumeTiming();
    int32_t rc = overview->Load(false, nullptr);
    state.PauseTiming();
    if (rc != 0) {
      state.SkipWithError("load failed");
      break;
    }
    if (peaks) {
      peak = std::max(peak, static_cast<double>(ProcStatus("VmHWM:") - before));
      held = std::max(held, static_cast<double>(ProcStatus("VmRSS:") - before));
    }
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fileSize));
  state.SetItemsProcessed(state.iterations() * g_sites);
  if (peaks && fileSize > 0) {
    state.counters["peak_per_file"] = peak / fileSize;
    state.counters["held_per_file"] = held / fileSize;
  }
  state.SetLabel(reload ? "reload" : "startup");
}
BENCHMARK(BM_SiteMapLoad)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The steps of a load on their own: 0 the copy into the backup directory,
// 1 the checking scan, 2 the read into the standby half (with the freeing
// of the half it replaces).
void BM_SiteMapLoadPhase(benchmark::State& state) {
  const int phase = static_cast<int>(state.range(0));
  const std::string& path = SiteMapFile(g_sites);
  tsSiteParamMapController map;
  tsSiteOverview overview(map);
  overview.Init(path, BenchRoot() + "/backup-phase", true, true, 0, 0);
  if (tsSiteOverview::CheckDirectory(BenchRoot() + "/backup-phase") != 0) {
    state.SkipWithError("no backup directory");
    return;
  }
  tsSiteMapReader reader;
  if (reader.Open(path) != 0) {
    state.SkipWithError("cannot open");
    return;
  }
  for (auto _ : state) {
    int32_t rc = 0;
    if (phase == 0) {
      std::string copy;
      rc = overview.CopyCurrent(&copy);
    } else if (phase == 1) {
      rc = reader.ScanFile(0, nullptr);
    } else {
      rc = reader.Read(map, 0, nullptr);
    }
    if (rc != 0) {
      state.SkipWithError("phase failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * FileSize(path));
  static const char* const kNames[] = {"copy", "scan", "read"};
  state.SetLabel(kNames[phase]);
}
BENCHMARK(BM_SiteMapLoadPhase)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ---- lookups during reloads ----

// Built by thread 0 before the timed loop and torn down by it after; the
// loop's start and end are barriers for all threads.
struct ReloadRig {
  tsSiteParamMapController map;
  tsSiteOverview overview{map};
  std::atomic<bool> stop{false};
  std::atomic<int64_t> reloads{0};
  std::thread reloader;
};
std::unique_ptr<ReloadRig> g_rig;
std::vector<std::string> g_ids;  // the listed KYR IDs of the reloaded map

// Args: lock model, and whether the reload thread runs (1) or not (0).
void BM_SiteMapLookupDuringReload(benchmark::State& state) {
  const int32_t lockModel = static_cast<int32_t>(state.range(0));
  const bool reloading = state.range(1) != 0;
  if (state.thread_index() == 0) {
    const std::string& path = SiteMapFile(kReloadSites);
    if (g_ids.empty())
      for (int64_t i = 0; i < kReloadSites; ++i)
        g_ids.push_back(KyrId(static_cast<uint64_t>(i)));
    // A fresh controller: lock model 1 makes lookups lock-free for good.
    g_rig = std::make_unique<ReloadRig>();
    g_rig->overview.Init(path, BenchRoot() + "/backup-lookup", true, true, 0, lockModel);
    if (g_rig->overview.Load(true, nullptr) != 0)
      state.SkipWithError("initial load failed");
    if (reloading) {
      ReloadRig* rig = g_rig.get();
      rig->reloader = std::thread([rig] {
        auto cancel = [rig] { return rig->stop.load(); };
        while (!rig->stop.load())
          if (rig->overview.Load(false, cancel) == 0)
            rig->reloads.fetch_add(1);
      });
    }
  }
  uint64_t seed = Mix(static_cast<uint64_t>(state.thread_index()) + 1);
  tsSiteParams site;
  int64_t misses = 0;
  for (auto _ : state) {
    seed = Mix(seed);
    if (!g_rig->map.Lookup(g_ids[seed % g_ids.size()], site))
      ++misses;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["misses"] = static_cast<double>(misses);
  if (state.thread_index() == 0) {
    g_rig->stop.store(true);
    if (g_rig->reloader.joinable())
      g_rig->reloader.join();
    state.counters["reloads"] =
        benchmark::Counter(static_cast<double>(g_rig->reloads.load()), benchmark::Counter::kIsRate);
    g_rig.reset();
  }
}
BENCHMARK(BM_SiteMapLookupDuringReload)
    ->ArgNames({"lockmodel", "reload"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Threads(2)
    ->MinTime(2.0)
    ->UseRealTime();

// ---- --memory ----

int MemoryMode() {
  const std::string& path = SiteMapFile(g_sites);
  const double fileSize = static_cast<double>(FileSize(path));
  const int64_t peakBefore = ProcStatus("VmHWM:");
  const int64_t residentBefore = ProcStatus("VmRSS:");
  tsSiteParamMapController map;
  tsSiteOverview overview(map);
  overview.Init(path, BenchRoot() + "/backup-memory", true, true, 0, 0);
  int32_t rc = overview.Load(false, nullptr);
  const int64_t peakAfter = ProcStatus("VmHWM:");
  const int64_t residentAfter = ProcStatus("VmRSS:");
  const double mb = 1024.0 * 1024.0;
  std::printf("sites %lld, file %.1f MB, load result %d\n", static_cast<long long>(g_sites),
              fileSize / mb, rc);
  std::printf("VmHWM before %.1f MB, after %.1f MB; VmRSS before %.1f MB, after %.1f MB\n",
              peakBefore / mb, peakAfter / mb, residentBefore / mb, residentAfter / mb);
  std::printf("peak growth / file size: %.2f (from the resident size before: %.2f)\n",
              (peakAfter - peakBefore) / fileSize, (peakAfter - residentBefore) / fileSize);
  std::printf("held after the load / file size: %.2f\n",
              (residentAfter - residentBefore) / fileSize);
  // A second load keeps the first map as the standby half until a third:
  // what a process holds between reloads.
  int32_t again = overview.Load(false, nullptr);
  const int64_t peakReload = ProcStatus("VmHWM:");
  const int64_t residentReload = ProcStatus("VmRSS:");
  std::printf(
      "after a second load (result %d): VmHWM %.1f MB, VmRSS %.1f MB; held / file size: "
      "%.2f\n",
      again, peakReload / mb, residentReload / mb, (residentReload - residentBefore) / fileSize);
  return rc == 0 && again == 0 ? 0 : 1;
}

void RemoveRoot() {
  std::string command = "rm -rf '" + BenchRoot() + "'";
  if (std::system(command.c_str()) != 0)
    std::fprintf(stderr, "could not remove %s\n", BenchRoot().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  bool memory = false;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--memory") == 0)
      memory = true;
    else if (std::strncmp(argv[i], "--sites=", 8) == 0 && std::atoll(argv[i] + 8) > 0)
      g_sites = std::atoll(argv[i] + 8);
    else
      argv[kept++] = argv[i];
  }
  argc = kept;
  int rc = 0;
  if (memory) {
    rc = MemoryMode();
  } else {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
      return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  }
  RemoveRoot();
  return rc;
}
