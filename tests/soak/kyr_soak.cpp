// Soak test of kyrhost with the module: a hosted collection server under a
// mixed load for a given number of seconds, its site map replaced every few
// seconds, its logs rotating every minute, hits counted, then stopped with
// SIGTERM. Afterwards it checks that every answered hit was logged exactly
// once, that memory and descriptors stayed flat, that no busy file was left
// and that the audit file kept within its per-minute message limit.
//
//   kyr_soak SECONDS [--clients N] [--rate REQUESTS_PER_SECOND] [--keep DIR] [--samples CSV]
//
// Prints one summary block and exits 0 when every check passed, 1 naming
// the failed checks, 2 when the run could not be set up. With --keep the
// installation root is copied to DIR after the run (always on failure, to
// a directory it names, so a failure can be narrowed down). --samples
// writes the memory and descriptor samples, one a second, as CSV.

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/hostprocess.h"
#include "tests/e2e/httpclient.h"
#include "tests/soak/soaksites.h"
#include "tests/support/filtertest.h"
#include "tests/support/temproot.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace soak {
namespace {

// Handle budget of the split logs, below the number of site files so that
// handles are taken from one file for another all the time.
constexpr int kHandleBudget = 20;
// Descriptors kyrhost may hold beyond its count at start and the budget:
// a client's connections, the hit-count file, a site map being copied,
// a rotated file not yet closed.
constexpr int kFdSlack = 12;
constexpr double kMaxRssGrowth = 0.10;
constexpr int kMessagesPerMinute = 10;
// Audit bytes allowed per minute for each per-request message (limit plus
// summary, an entry at most this long) and for the rest (site map reloads,
// rotations, heartbeats).
constexpr size_t kMaxAuditEntry = 512;
constexpr size_t kPerRequestMessageIds = 6;
constexpr size_t kOtherAuditPerMinute = 8192;

// The settings the run uses, in front of the shipped configuration: times
// in UTC so that period names do not depend on the machine's zone; short
// heartbeats; visitor cookies of version 2, whose code is checked.
std::string Settings() {
  return R"([logserver]
hostedmodel = true
splitlogs = true
writebuffersize = 8192
heartbeatrate = 5
bufferflushrate = 5
trackhitcount = true
hitcountflushrate = 2
hitcountrotatebyflush = true
hitcountflushesperrotation = 1
maxhandlecount = )" +
         std::to_string(kHandleBudget) + R"(
[logrotation]
rotationperiod = minutes
minutesinterval = 1
gmtrotation = true
[cookieserver]
cookieversion = 2
magiccode = S0AKT3STK3Y9
[servicemodel]
servicemodel = true
sitemapenabled = true
sitemapreloadrate = 1
sitemapsleeptime = 0
rotationratestandardlag = 1
rotationrateshortlag = 1
rotationraterealtime = 1
[auditlog]
auditlimitbysize = true
auditlimitbysizemethod = rotate
auditmaxsize = 16
requestmessagesperminute = )" +
         std::to_string(kMessagesPerMinute) + "\n";
}

// What a request was and what must come of it in the logs.
enum Kind {
  kReturning,   // listed site, the client's cookies kept: logged once
  kNewVisitor,  // listed site, no cookies (the cookie test redirect): logged once
  kBadCookie,   // listed site taking cookies, a cookie with a wrong code: never logged
  kTransient,   // a site some site maps list: logged once while listed, else never
  kUnlisted,    // a well-formed KYR ID no site map lists: never logged
  kForged,      // a KYR ID whose check code is wrong: never logged
  kPage,        // a plain page
  kMissing,     // a page that does not exist (404)
  kKinds
};
const char* const kKindNames[kKinds] = {"returning", "new-visitor", "bad-cookie", "transient",
                                        "unlisted",  "forged",      "page",       "404"};
// Out of 100 requests.
const int kKindWeights[kKinds] = {46, 10, 8, 8, 5, 5, 10, 8};

// How often a kind's hit answered 200 must appear in the logs.
enum Expect { kOnce, kAtMostOnce, kNever, kNotAHit };
const Expect kExpected[kKinds] = {kOnce,  kOnce,  kNever,   kAtMostOnce,
                                  kNever, kNever, kNotAHit, kNotAHit};

struct Sent {
  std::string marker;  // the hit's kyruri, as the log writes it
  int kind = 0;
  long status = 0;
  bool afterStop = false;  // begun once SIGTERM was (about to be) sent
  std::string site;
  Clock::time_point answered;
};

struct Options {
  int seconds = 0;
  int clients = 4;
  int rate = 100;  // requests per second, all clients together
  std::string keep;
  std::string samples;  // a CSV of the samples, when given
};

struct Sample {
  double at = 0;  // seconds since the load began
  long rssKB = 0;
  int fds = 0;
};

int CountFds(pid_t pid) {
  std::error_code ec;
  int n = 0;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
       it.increment(ec))
    ++n;
  return ec ? -1 : n;
}

// One client: a browser that keeps its cookies (returning visitor), one
// that forgets them before every hit (new visitor), and a bare one for
// everything else.
class Client {
 public:
  Client(const e2e::HostProcess& host, const Sites& sites, int index, int intervalMs)
      : host_(host), sites_(sites), index_(index), interval_(intervalMs), random_(index + 1) {
    returning_.UseCookieJar();
    returning_.FollowRedirects(true);
    fresh_.UseCookieJar();
    fresh_.FollowRedirects(true);
    bare_.FollowRedirects(true);
  }

  // Sends until a request begun after `stopping` was set (kyrhost going
  // down) gets no answer.
  void Run(const std::atomic<bool>& stopping) {
    std::uniform_int_distribution<int> percent(0, 99);
    auto next = Clock::now();
    for (;;) {
      Sent s;
      s.kind = Pick(percent(random_));
      s.afterStop = stopping;
      s.status = Send(s);
      s.answered = Clock::now();
      bool last = s.status == 0 && s.afterStop;
      sent_.push_back(std::move(s));
      if (last)
        break;
      next += std::chrono::milliseconds(interval_);
      auto now = Clock::now();
      if (next > now)
        std::this_thread::sleep_for(next - now);
      else
        next = now;  // behind: no burst to catch up
    }
  }

  const std::vector<Sent>& Requests() const { return sent_; }

 private:
  static int Pick(int p) {
    for (int k = 0; k < kKinds; ++k) {
      if (p < kKindWeights[k])
        return k;
      p -= kKindWeights[k];
    }
    return kReturning;
  }

  std::string Tag(const std::string& id, Sent& s) {
    const std::string hit = std::to_string(index_) + "-" + std::to_string(sent_.size());
    s.site = id;
    s.marker = "/soak/" + hit;
    return host_.Url("/" + id + "/kyr.gif?kyruri=%2Fsoak%2F" + hit +
                     "&kyrref=http%3A%2F%2Fsoak.test%2F");
  }

  // A well-formed visitor id whose code is wrong, or a mangled value.
  std::string BadCookie() {
    const std::string stamp = std::to_string(random_()) + "." + std::to_string(random_());
    if (random_() % 2)
      return "127.0.0.1-" + stamp + "::0123456789ABCDEF0123456789ABCDEF";
    return stamp + "::%00x";
  }

  const std::string& Any(const std::vector<std::string>& ids) {
    return ids[std::uniform_int_distribution<size_t>(0, ids.size() - 1)(random_)];
  }

  long Send(Sent& s) {
    switch (s.kind) {
      case kReturning:
        return returning_.Get(Tag(Any(sites_.core), s)).status;
      case kNewVisitor:
        curl_easy_setopt(fresh_.Handle(), CURLOPT_COOKIELIST, "ALL");
        return fresh_.Get(Tag(Any(sites_.core), s)).status;
      case kBadCookie:
        return bare_.Get(Tag(Any(sites_.cookied), s), {"Cookie: VANTORELL_ID=" + BadCookie()})
            .status;
      case kTransient:
        return returning_.Get(Tag(Any(sites_.transient), s)).status;
      case kUnlisted:
        return bare_.Get(Tag(Any(sites_.unlisted), s)).status;
      case kForged:
        return bare_.Get(Tag(Any(sites_.forged), s)).status;
      case kPage:
        return bare_.Get(host_.Url("/index.html")).status;
      default:
        return bare_.Get(host_.Url("/missing-" + std::to_string(random_() % 1000) + ".html"))
            .status;
    }
  }

  const e2e::HostProcess& host_;
  const Sites& sites_;
  int index_;
  int interval_;
  std::mt19937 random_;
  e2e::HttpClient returning_;
  e2e::HttpClient fresh_;
  e2e::HttpClient bare_;
  std::vector<Sent> sent_;
};

// What the logs hold for one marker: how many lines, and the KYR IDs of
// those lines that name a site other than the one the line's file is for
// (a short-lag file is named for its site, a standard-lag file for none).
struct Logged {
  int lines = 0;
  std::vector<std::string> ids;
  bool misfiled = false;
};

// The logged lines of the three stream directories by marker ("" for lines
// without one).
std::map<std::string, Logged> LoggedMarkers(const std::string& root, size_t* lines) {
  std::map<std::string, Logged> markers;
  *lines = 0;
  for (const char* dir : {"/weblog", "/shortlag", "/realtime"}) {
    for (const fs::path& file : FilesUnder(root + dir)) {
      const std::string name = file.filename().string();
      for (const std::string& line : DataLines(ReadFileText(file.string()))) {
        ++*lines;
        std::vector<std::string> fields = Fields(line);
        std::string marker;
        for (const std::string& field : fields) {
          if (field.rfind("/soak/", 0) == 0) {
            marker = field;
            break;
          }
        }
        Logged& l = markers[marker];
        ++l.lines;
        l.ids.push_back(fields.empty() ? "" : fields.back());  // the kyr-id column
        if (std::string(dir) == "/shortlag" && name.rfind(l.ids.back() + "-", 0) != 0)
          l.misfiled = true;
      }
    }
  }
  return markers;
}

size_t AuditBytes(const std::string& root) {
  size_t bytes = 0;
  for (const fs::path& file : FilesUnder(root + "/log")) {
    std::string name = file.filename().string();
    if (name.rfind("kyr", 0) != 0 || name.find(".audit") == std::string::npos)
      continue;
    std::error_code ec;
    uintmax_t size = fs::file_size(file, ec);
    if (!ec)  // a file rotated away meanwhile counts as empty
      bytes += static_cast<size_t>(size);
  }
  return bytes;
}

int Usage() {
  std::fprintf(stderr,
               "usage: kyr_soak SECONDS [--clients N] [--rate REQUESTS_PER_SECOND] [--keep DIR] "
               "[--samples CSV]\n");
  return 2;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  if (argc < 2 || (o->seconds = std::atoi(argv[1])) < 10)
    return false;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--clients")
      o->clients = std::atoi(argv[i + 1]);
    else if (a == "--rate")
      o->rate = std::atoi(argv[i + 1]);
    else if (a == "--keep")
      o->keep = argv[i + 1];
    else if (a == "--samples")
      o->samples = argv[i + 1];
    else
      return false;
  }
  return argc % 2 == 0 && o->clients > 0 && o->rate > 0;
}

// Waits, when the run is shorter than a minute, until a minute boundary (a
// log rotation) will fall a few seconds before its end; returns the seconds
// waited.
int AlignToRotation(int seconds) {
  constexpr int kMargin = 3;
  if (seconds >= 60 + 2 * kMargin)
    return 0;
  const int intoMinute = static_cast<int>(std::time(nullptr) % 60);
  const int boundary = 60 - intoMinute;  // seconds from now
  int wait = 0;
  if (boundary > seconds - kMargin)
    wait = boundary - (seconds - kMargin);
  else if (boundary < kMargin)
    wait = boundary + 60 - (seconds - kMargin);
  std::this_thread::sleep_for(std::chrono::seconds(wait));
  return wait;
}

// The start of the steady part of a run: a fifth of it, at least 5 s.
double WarmUpSeconds(int seconds) {
  return std::max(5.0, seconds / 5.0);
}

// The hits the hit-count files counted for all sites together (the lines
// with id "0"), or -1 when a file cannot be read as such.
long long CountedHits(const std::string& root) {
  long long total = 0;
  for (const fs::path& f : FilesUnder(root + "/log")) {
    if (f.extension() != ".hclf")
      continue;
    std::ifstream in(f);
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#')
        continue;
      std::vector<std::string> cells;
      size_t at = 0;
      for (size_t comma; (comma = line.find(',', at)) != std::string::npos; at = comma + 1)
        cells.push_back(line.substr(at, comma - at));
      cells.push_back(line.substr(at));
      if (cells.size() < 6)
        return -1;
      if (cells[3] == "0")
        total += std::atoll(cells[4].c_str());
    }
  }
  return total;
}

int Run(const Options& o) {
  const Sites sites = MakeSites();
  const int waited = AlignToRotation(o.seconds);
  const std::vector<std::string> initial = TransientListed(sites, 0);
  // glibc raises its threshold for mapping large blocks once such a block is
  // freed; from then on the first large buffers of a thread that starts
  // working later (the site map reload's 1 MiB copy buffer, the hit-count
  // flush) stay resident in its arena after they are freed: a step of about
  // 1 MiB at the first reload and at the first flush, once, that reads as
  // growth. A fixed threshold keeps large blocks mapped and returns
  // them when freed, so resident memory follows what kyrhost holds.
  setenv("MALLOC_MMAP_THRESHOLD_", "131072", 0);
  e2e::HostProcess host(Settings());
  const std::string root = host.Root();
  const std::string siteMap = root + "/cfg/vantorellsites.lst";
  WriteFileText(siteMap, SiteMapText(sites, 0));
  std::string output;
  // The reload heartbeat starts during Start(): its first reload is a
  // minute later.
  const auto firstReload = Clock::now() + std::chrono::seconds(59);
  if (!host.Start(output)) {
    std::fprintf(stderr, "kyrhost did not start:\n%s\n", output.c_str());
    return 2;
  }
  const pid_t pid = host.Pid();
  const int startFds = CountFds(pid);
  const size_t startAudit = AuditBytes(root);

  std::atomic<bool> done{false}, stopping{false};
  const auto begun = Clock::now();
  auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - begun).count(); };

  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < o.clients; ++i)
    clients.push_back(std::make_unique<Client>(host, sites, i, 1000 * o.clients / o.rate));
  std::vector<std::thread> threads;
  for (auto& c : clients)
    threads.emplace_back([&c, &stopping] { c->Run(stopping); });

  // The operator: a new site map every few seconds, written beside the old
  // one and renamed over it.
  int generations = 0;
  std::thread operatorThread([&] {
    while (!done) {
      for (int i = 0; i < 30 && !done; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (done)
        break;
      ++generations;
      WriteFileText(siteMap + ".new", SiteMapText(sites, generations));
      std::rename((siteMap + ".new").c_str(), siteMap.c_str());
    }
  });

  // kyrhost's memory and descriptors, once a second.
  std::vector<Sample> samples;
  while (elapsed() < o.seconds) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    samples.push_back({elapsed(), e2e::ResidentKiB(pid), CountFds(pid)});
  }

  // SIGTERM while the clients are still sending: what was answered must be
  // in the logs. Each client ends at its first request kyrhost no longer
  // answers.
  done = true;
  operatorThread.join();
  stopping = true;
  const int exitStatus = host.Stop();
  for (std::thread& t : threads)
    t.join();

  // ---- checks ----
  std::vector<std::string> failed;
  auto check = [&failed](bool ok, const std::string& what) {
    if (!ok)
      failed.push_back(what);
  };
  check(exitStatus == 0, "kyrhost exit status " + std::to_string(exitStatus) + " after SIGTERM");

  size_t lines = 0;
  std::map<std::string, Logged> logged = LoggedMarkers(root, &lines);
  size_t byKind[kKinds] = {}, answered[kKinds] = {}, other = 0, unanswered = 0;
  size_t answeredTagHits = 0, found = 0, missing = 0, duplicated = 0, unexpected = 0;
  size_t wrongSite = 0;
  std::vector<std::string> examples;
  for (const auto& c : clients) {
    for (const Sent& s : c->Requests()) {
      ++byKind[s.kind];
      if (s.status == 200)
        ++answered[s.kind];
      else if (s.status == 0 && s.afterStop)
        ++unanswered;
      else if (s.status != (s.kind == kMissing ? 404 : 200))
        ++other;
      Expect expect = kExpected[s.kind];
      // Until the first reload a minute after start the first site map
      // decides; afterwards which map was in force is not known.
      if (s.kind == kTransient && s.answered < firstReload)
        expect = std::count(initial.begin(), initial.end(), s.site) ? kOnce : kNever;
      if (expect == kNotAHit)
        continue;
      auto at = logged.find(s.marker);
      int n = 0;
      if (at != logged.end()) {
        n = at->second.lines;
        // Logged for the site it was sent to, in that site's file.
        bool misrouted = at->second.misfiled;
        for (const std::string& id : at->second.ids)
          misrouted = misrouted || id != s.site;
        if (misrouted) {
          ++wrongSite;
          if (examples.size() < 5)
            examples.push_back("logged for another site " + s.marker + " (" + s.site + ")");
        }
        logged.erase(at);
      }
      found += n > 0 ? 1 : 0;
      duplicated += n > 1 ? 1 : 0;
      // A hit whose answer was lost (kyrhost going down) may or may not
      // have been logged, but never twice.
      const int most = expect == kNever ? 0 : 1;
      if (s.status == 200)
        ++answeredTagHits;
      if (expect == kOnce && s.status == 200 && n == 0) {
        ++missing;
        if (examples.size() < 5)
          examples.push_back("missing " + s.marker + " (" + kKindNames[s.kind] + ")");
      }
      if (n > most) {
        ++unexpected;
        if (examples.size() < 5)
          examples.push_back("logged " + std::to_string(n) + "x " + s.marker + " (" +
                             kKindNames[s.kind] + ")");
      }
    }
  }
  // Lines nobody sent (or sent and not counted: a request that failed).
  size_t strays = 0;
  for (const auto& m : logged)
    strays += static_cast<size_t>(m.second.lines);
  check(other == 0, std::to_string(other) + " requests answered with an unexpected status");
  check(missing == 0, std::to_string(missing) + " answered hits missing from the logs");
  check(unexpected == 0, std::to_string(unexpected) + " hits logged more often than allowed");
  check(strays == 0, std::to_string(strays) + " logged lines match no answered request");
  check(wrongSite == 0, std::to_string(wrongSite) + " hits logged for another site or file");

  // Memory: the steady part, after the warm-up.
  const double warmUp = WarmUpSeconds(o.seconds);
  long baseline = -1, rssMin = -1, rssMax = -1;
  int fdMax = 0;
  for (const Sample& s : samples) {
    fdMax = std::max(fdMax, s.fds);
    if (s.at < warmUp || s.rssKB <= 0)
      continue;
    if (baseline < 0)
      baseline = s.rssKB;
    rssMin = rssMin < 0 ? s.rssKB : std::min(rssMin, s.rssKB);
    rssMax = std::max(rssMax, s.rssKB);
  }
  double growth = baseline > 0 ? 100.0 * (rssMax - baseline) / baseline : 0;
  check(baseline > 0, "no memory samples after warm-up");
  check(growth <= 100 * kMaxRssGrowth, "resident memory grew " + std::to_string(growth) + "%");
  const int fdLimit = startFds + kHandleBudget + 3 * o.clients + kFdSlack;
  check(fdMax <= fdLimit,
        "open descriptors " + std::to_string(fdMax) + " over " + std::to_string(fdLimit));

  std::vector<std::string> busy;
  for (const fs::path& f : FilesUnder(root))
    if (f.filename().string().find("busy") != std::string::npos)
      busy.push_back(fs::relative(f, root).string());
  check(busy.empty(), std::to_string(busy.size()) + " busy files left");

  const size_t minutes = static_cast<size_t>(elapsed() / 60) + 2;
  const size_t auditLimit =
      startAudit + minutes * (kPerRequestMessageIds * (kMessagesPerMinute + 1) * kMaxAuditEntry +
                              kOtherAuditPerMinute);
  const size_t audit = AuditBytes(root);
  check(audit <= auditLimit,
        "audit files " + std::to_string(audit) + " bytes over " + std::to_string(auditLimit));

  size_t hitCountFiles = 0;
  for (const fs::path& f : FilesUnder(root + "/log"))
    hitCountFiles += f.extension() == ".hclf" ? 1 : 0;
  const long long counted = CountedHits(root);
  check(counted == static_cast<long long>(lines),
        "hit-count files count " + std::to_string(counted) + " hits, the logs hold " +
            std::to_string(lines));
  std::set<std::string> logFiles;
  for (const char* dir : {"/weblog", "/shortlag", "/realtime"})
    for (const fs::path& f : FilesUnder(root + dir))
      logFiles.insert(f.filename().string());

  std::printf("== kyr_soak %d s, %d clients, %d requests/s, root %s\n", o.seconds, o.clients,
              o.rate, root.c_str());
  std::printf("requests:");
  size_t total = 0;
  for (int k = 0; k < kKinds; ++k) {
    std::printf(" %s %zu (200: %zu)", kKindNames[k], byKind[k], answered[k]);
    total += byKind[k];
  }
  std::printf(
      "\n  total %zu, unanswered after SIGTERM %zu, unexpected status %zu, site maps "
      "written %d, waited %d s for a rotation to fall in the run\n",
      total, unanswered, other, generations, waited);
  std::printf(
      "tag hits answered 200: %zu; logged lines %zu; hits found %zu, missing %zu, "
      "duplicated %zu, over-logged %zu, stray lines %zu, for another site %zu\n",
      answeredTagHits, lines, found, missing, duplicated, unexpected, strays, wrongSite);
  std::printf(
      "RSS after warm-up (%.0f s): baseline %ld KB, min %ld KB, max %ld KB, growth %.1f%%\n",
      warmUp, baseline, rssMin, rssMax, growth);
  // The memory curve in a line: the largest sample of every minute.
  std::map<long, long> byMinute;
  for (const Sample& s : samples) {
    long& most = byMinute[static_cast<long>(s.at / 60)];
    most = std::max(most, s.rssKB);
  }
  std::string curve;
  for (const auto& m : byMinute)
    curve += " " + std::to_string(m.second);
  std::printf("RSS by minute (KB):%s\n", curve.c_str());
  if (!o.samples.empty()) {
    std::ofstream csv(o.samples);
    csv << "seconds,rss_kb,fds\n";
    for (const Sample& s : samples)
      csv << s.at << "," << s.rssKB << "," << s.fds << "\n";
  }
  std::printf("descriptors: max %d, limit %d (at start %d + budget %d + clients + %d)\n", fdMax,
              fdLimit, startFds, kHandleBudget, kFdSlack);
  std::printf(
      "log files %zu; busy files left: %zu; hit-count files %zu counting %lld hits; "
      "audit bytes %zu (limit %zu)\n",
      logFiles.size(), busy.size(), hitCountFiles, counted, audit, auditLimit);
  for (const std::string& b : busy)
    std::printf("  busy: %s\n", b.c_str());
  for (const std::string& e : examples)
    std::printf("  %s\n", e.c_str());

  std::string keep = o.keep;
  if (keep.empty() && !failed.empty())
    keep = (fs::temp_directory_path() / ("kyr-soak-" + std::to_string(getpid()))).string();
  if (!keep.empty()) {
    std::error_code ec;
    fs::copy(root, keep, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    std::printf("root kept in %s%s\n", keep.c_str(), ec ? " (copy failed)" : "");
  }
  for (const std::string& f : failed)
    std::printf("FAILED: %s\n", f.c_str());
  std::printf("%s\n", failed.empty() ? "PASSED" : "FAILED");
  return failed.empty() ? 0 : 1;
}

}  // namespace
}  // namespace soak

int main(int argc, char** argv) {
  soak::Options options;
  if (!soak::ParseOptions(argc, argv, &options))
    return soak::Usage();
  return soak::Run(options);
}
