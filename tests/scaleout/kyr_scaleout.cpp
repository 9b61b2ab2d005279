// Driver of the scale-out run (scripts/scaleout-test.sh): three kyrhost
// instances behind a balancer, each shipping its finished log files to a
// central store. The script asks it for free ports, the sites and their site
// map, the load, and the final check.
//
//   kyr_scaleout ports N
//   kyr_scaleout sites DIR
//   kyr_scaleout load URL SITESFILE HITS SECONDS CLIENTS OUTFILE
//   kyr_scaleout check --sent OUTFILE --store STORE --balancer CSVFILE --backend NAME
//                      --instance NAME=ROOT [--instance NAME=ROOT ...] [--quiet]
//
// Exit status: 0 done (check: passed), 1 check failed, 2 bad arguments or
// a run that could not be set up.

#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/httpclient.h"
#include "tests/support/filtertest.h"
#include "tests/support/temproot.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace scaleout {
namespace {

constexpr int kSites = 8;
constexpr int kShortLagFrom = 4;  // sites 0-3 standard lag, 4-7 short lag
constexpr long kRequestTimeoutSeconds = 10;
// The load's source address, which every logged line must show as the
// client's (the balancer on 127.0.0.1 passes it in X-Forwarded-For).
constexpr const char* kClientAddress = "127.0.0.2";
const char* const kStreams[] = {"weblog", "shortlag"};

int Usage() {
  std::fprintf(stderr,
               "usage: kyr_scaleout ports N\n"
               "       kyr_scaleout sites DIR\n"
               "       kyr_scaleout load URL SITESFILE HITS SECONDS CLIENTS OUTFILE\n"
               "       kyr_scaleout check --sent OUTFILE --store STORE --balancer CSVFILE "
               "--backend NAME --instance NAME=ROOT [--instance NAME=ROOT ...] [--quiet]\n");
  return 2;
}

bool ToInt(const char* text, long* out) {
  char* end = nullptr;
  *out = std::strtol(text, &end, 10);
  return *text != '\0' && *end == '\0';
}

// ---- ports ----

// N distinct free ports below the kernel's ephemeral range. A port the
// run leaves unbound for a while (the receiver's, a stopped collector's)
// must not be handed to an outgoing connection meanwhile: a shipper's
// reconnect could even connect to itself, from the port it is dialling.
int Ports(long n) {
  int low = 32768;
  if (FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    if (std::fscanf(f, "%d", &low) != 1)
      low = 32768;
    std::fclose(f);
  }
  const int first = 10000;
  if (low - first < 1000) {
    std::fprintf(stderr, "kyr_scaleout: no room below the ephemeral ports (from %d)\n", low);
    return 2;
  }
  std::mt19937 random(static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr)));
  std::vector<int> fds;
  std::string line;
  // Held bound until all are found, so that they are distinct.
  for (int tries = 0; static_cast<long>(fds.size()) < n && tries < 1000; ++tries) {
    const int port = first + static_cast<int>(random() % static_cast<unsigned>(low - first));
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
      break;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd);
      continue;
    }
    fds.push_back(fd);
    line += (line.empty() ? "" : " ") + std::to_string(port);
  }
  const bool ok = static_cast<long>(fds.size()) == n;
  for (int fd : fds)
    close(fd);
  if (!ok) {
    std::fprintf(stderr, "kyr_scaleout: cannot find %ld free ports on 127.0.0.1\n", n);
    return 2;
  }
  std::printf("%s\n", line.c_str());
  return 0;
}

// ---- sites ----

// A current-format KYR ID of group "scals" and number `n`.
std::string Id(int n) {
  char body[23];
  std::snprintf(body, sizeof body, "scals%017d", n);
  return CurrentKyrId(body);
}

int Sites(const std::string& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  std::string ids;
  std::vector<std::string> lines;
  for (int i = 0; i < kSites; ++i) {
    ids += Id(i) + "\n";
    lines.push_back(Id(i) + ",scaleout," + (i < kShortLagFrom ? "0" : "1") + ",null,1,0");
  }
  const std::string map = SiteMapFile("scaleout", lines);
  WriteFileText(dir + "/sites.txt", ids);
  WriteFileText(dir + "/vantorellsites.lst", map);
  if (ReadFileText(dir + "/vantorellsites.lst") != map) {
    std::fprintf(stderr, "kyr_scaleout: cannot write the sites to %s\n", dir.c_str());
    return 2;
  }
  return 0;
}

// ---- load ----

std::string Marker(int client, long n) {
  return "/so/" + std::to_string(client) + "-" + std::to_string(n);
}

// One browser: keeps its cookies, follows the cookie test redirect, never
// retries an image. Sends `count` hits at a fixed interval; when behind it
// goes on from now rather than bursting to catch up.
void RunClient(const std::string& url, const std::vector<std::string>& sites, int client,
               long count, double seconds, std::vector<long>* statuses) {
  e2e::HttpClient browser;
  browser.UseCookieJar();
  browser.FollowRedirects(true);
  curl_easy_setopt(browser.Handle(), CURLOPT_TIMEOUT, kRequestTimeoutSeconds);
  // From an address of its own, so that the logs show whether the
  // balancer's X-Forwarded-For reached the collectors and was believed.
  curl_easy_setopt(browser.Handle(), CURLOPT_INTERFACE, kClientAddress);
  const auto interval = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(count > 0 ? seconds / count : 0));
  auto next = Clock::now();
  for (long n = 0; n < count; ++n) {
    const std::string& site = sites[static_cast<size_t>(client + n) % sites.size()];
    const std::string hit = std::to_string(client) + "-" + std::to_string(n);
    statuses->push_back(browser
                            .Get(url + "/" + site + "/kyr.gif?kyruri=%2Fso%2F" + hit +
                                 "&kyrref=http%3A%2F%2Fscaleout.test%2F")
                            .status);
    next += interval;
    const auto now = Clock::now();
    if (next > now)
      std::this_thread::sleep_for(next - now);
    else
      next = now;
  }
}

int Load(char** argv) {
  std::string url = argv[0];
  while (!url.empty() && url.back() == '/')
    url.pop_back();
  long hits = 0, seconds = 0, clients = 0;
  if (!ToInt(argv[2], &hits) || !ToInt(argv[3], &seconds) || !ToInt(argv[4], &clients) ||
      hits < 0 || seconds <= 0 || clients <= 0)
    return Usage();
  std::vector<std::string> sites;
  std::istringstream in(ReadFileText(argv[1]));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (!line.empty())
      sites.push_back(line);
  }
  std::ofstream out(argv[5], std::ios::binary | std::ios::trunc);
  if (sites.empty() || !out) {
    std::fprintf(stderr, "kyr_scaleout: no sites in %s or cannot write %s\n", argv[1], argv[5]);
    return 2;
  }

  std::vector<std::vector<long>> statuses(static_cast<size_t>(clients));
  std::vector<std::thread> threads;
  const auto begun = Clock::now();
  for (int c = 0; c < clients; ++c) {
    const long count = hits / clients + (c < hits % clients ? 1 : 0);
    threads.emplace_back(RunClient, url, std::cref(sites), c, count, static_cast<double>(seconds),
                         &statuses[static_cast<size_t>(c)]);
  }
  for (std::thread& t : threads)
    t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - begun).count();

  long sent = 0, ok = 0, none = 0;
  std::map<long, long> other;
  for (int c = 0; c < clients; ++c) {
    const std::vector<long>& s = statuses[static_cast<size_t>(c)];
    for (size_t n = 0; n < s.size(); ++n) {
      out << Marker(c, static_cast<long>(n)) << ' ' << s[n] << '\n';
      ++sent;
      if (s[n] == 200)
        ++ok;
      else if (s[n] == 0)
        ++none;
      else
        ++other[s[n]];
    }
  }
  out.close();
  std::string others;
  for (const auto& o : other)
    others += " " + std::to_string(o.first) + ":" + std::to_string(o.second);
  std::printf(
      "== kyr_scaleout load: %ld hits sent by %ld clients, answered 200: %ld, other statuses:%s, "
      "no answer: %ld; %.1f s, %.1f hits/s\n",
      sent, clients, ok, others.empty() ? " none" : others.c_str(), none, elapsed,
      elapsed > 0 ? sent / elapsed : 0.0);
  if (!out) {
    std::fprintf(stderr, "kyr_scaleout: cannot write %s\n", argv[5]);
    return 2;
  }
  return 0;
}

// ---- check ----

struct CheckOptions {
  std::string sent, store, balancer, backend;
  bool quiet = false;                                          // the verdict line only
  std::vector<std::pair<std::string, std::string>> instances;  // name, root
};

bool ParseCheck(int argc, char** argv, CheckOptions* o) {
  std::vector<std::string> pairs;  // the arguments but --quiet: option, value, ...
  for (int i = 0; i < argc; ++i) {
    if (std::string(argv[i]) == "--quiet")
      o->quiet = true;
    else
      pairs.push_back(argv[i]);
  }
  if (pairs.size() % 2)
    return false;
  for (size_t i = 0; i < pairs.size(); i += 2) {
    const std::string& a = pairs[i];
    const std::string& v = pairs[i + 1];
    const size_t eq = v.find('=');
    if (a == "--sent")
      o->sent = v;
    else if (a == "--store")
      o->store = v;
    else if (a == "--balancer")
      o->balancer = v;
    else if (a == "--backend")
      o->backend = v;
    else if (a == "--instance" && eq != std::string::npos && eq > 0)
      o->instances.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    else
      return false;
  }
  return !o->sent.empty() && !o->store.empty() && !o->balancer.empty() && !o->backend.empty() &&
         !o->instances.empty();
}

// Lines ending after each '\n', their terminator kept; a last line without
// one (cut short) stays as it is and so matches no complete line.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(at, end - at));
    at = end;
  }
  return lines;
}

// Compares a delivered copy with its source. The copy holds every source
// line at least as often as the source does, and nothing else; a transport
// that resends after a receiver restart may repeat lines and deliver the
// resent ones after newer ones. Returns "" when it holds, else why it does
// not; `repeats` counts the lines delivered more often than written and
// `reordered` tells whether the copy's order differs from the source's.
std::string CompareCopy(const std::string& source, const std::string& copy, size_t* repeats,
                        bool* reordered) {
  *repeats = 0;
  *reordered = false;
  if (source == copy)
    return "";
  struct Seen {
    size_t count = 0, firstLine = 0;
  };
  std::map<std::string, Seen> src, dst;
  std::vector<std::string> order[2];
  auto count = [](const std::vector<std::string>& lines, std::map<std::string, Seen>* seen,
                  std::vector<std::string>* firsts) {
    for (size_t i = 0; i < lines.size(); ++i) {
      Seen& s = (*seen)[lines[i]];
      if (s.count++ == 0) {
        s.firstLine = i + 1;
        firsts->push_back(lines[i]);
      }
    }
  };
  count(SplitLines(source), &src, &order[0]);
  count(SplitLines(copy), &dst, &order[1]);
  for (const auto& [line, d] : dst) {
    if (!src.count(line))
      return "stored line " + std::to_string(d.firstLine) + " not in the source" +
             (line.back() == '\n' ? "" : " (cut short)") + ": " + line.substr(0, 120);
  }
  for (const auto& [line, s] : src) {
    const size_t n = dst.count(line) ? dst[line].count : 0;
    if (n < s.count)
      return "source line " + std::to_string(s.firstLine) + " stored " + std::to_string(n) +
             " of " + std::to_string(s.count) + " times";
    *repeats += n - s.count;
  }
  *reordered = order[0] != order[1];
  return "";
}

// The marker field of a log data line, or "".
std::string MarkerOf(const std::string& line) {
  for (const std::string& f : Fields(line))
    if (f.rfind("/so/", 0) == 0)
      return f;
  return "";
}

int Check(int argc, char** argv) {
  CheckOptions o;
  if (!ParseCheck(argc, argv, &o))
    return Usage();
  std::ifstream sentIn(o.sent);
  std::ifstream csvIn(o.balancer);
  if (!sentIn || !csvIn || !fs::is_directory(o.store)) {
    std::fprintf(stderr, "kyr_scaleout: cannot read %s, %s or the store %s\n", o.sent.c_str(),
                 o.balancer.c_str(), o.store.c_str());
    return 2;
  }
  std::vector<std::string> failed;
  // Records a failed check: `count` things of `what` went wrong.
  auto fail = [&failed](size_t count, const std::string& what) {
    if (count)
      failed.push_back(std::to_string(count) + " " + what);
  };
  std::vector<std::string> notes;  // printed under the summary, a few per kind
  std::set<std::string> names;
  for (const auto& inst : o.instances)
    names.insert(inst.first);

  // a. Every finished source file in the store as written; no busy file.
  size_t sourceFiles = 0, identical = 0, twice = 0, busy = 0, bad = 0, strays = 0, outOfOrder = 0;
  std::set<fs::path> expected;
  for (const auto& [name, root] : o.instances) {
    for (const char* stream : kStreams) {
      for (const fs::path& f : FilesUnder(fs::path(root) / stream)) {
        const std::string file = f.filename().string();
        if (f.extension() == ".kyrbusy") {
          ++busy;
          notes.push_back("busy file left: " + f.string());
          continue;
        }
        if (f.extension() != ".log")
          continue;
        ++sourceFiles;
        const fs::path stored = fs::path(o.store) / name / stream / file;
        expected.insert(stored.lexically_normal());
        size_t repeats = 0;
        bool reordered = false;
        std::string why = fs::is_regular_file(stored)
                              ? CompareCopy(ReadFileText(f.string()), ReadFileText(stored.string()),
                                            &repeats, &reordered)
                              : "not in the store";
        if (!why.empty()) {
          ++bad;
          notes.push_back(name + "/" + stream + "/" + file + ": " + why);
        } else if (repeats == 0 && !reordered) {
          ++identical;
        }
        if (why.empty() && reordered) {
          ++outOfOrder;
          notes.push_back(name + "/" + stream + "/" + file + ": lines in another order (resent)");
        }
        twice += repeats;
      }
    }
  }
  for (const fs::path& f : FilesUnder(o.store)) {
    if (!expected.count(f.lexically_normal())) {
      ++strays;
      notes.push_back("in the store without a source: " + f.string());
    }
  }
  fail(busy, "busy files");
  fail(bad, "source files not delivered intact");
  fail(strays, "store files without a source");

  // b. Every hit answered 200 in the store.
  std::map<std::string, long> sent;
  for (std::string marker, status; sentIn >> marker >> status;)
    sent[marker] = std::atol(status.c_str());
  // marker -> instance -> lines holding it, repeats included: a line the
  // shipper resent arrived twice as much as a hit two collectors logged.
  std::map<std::string, std::map<std::string, int>> stored;
  std::map<std::string, size_t> storeLines;
  size_t unmarked = 0, otherClient = 0;
  for (const auto& [name, root] : o.instances) {
    for (const fs::path& f : FilesUnder(fs::path(o.store) / name)) {
      for (const std::string& line : DataLines(ReadFileText(f.string()))) {
        ++storeLines[name];
        const std::vector<std::string> fields = Fields(line);
        if ((fields.size() < 3 || fields[2] != kClientAddress) && ++otherClient <= 3)
          notes.push_back("a client address other than " + std::string(kClientAddress) + " in " +
                          f.string() + ": " + line.substr(0, 120));
        const std::string m = MarkerOf(line);
        if (m.empty() && ++unmarked <= 3)
          notes.push_back("line without a marker in " + f.string() + ": " + line.substr(0, 120));
        if (!m.empty())
          ++stored[m][name];
      }
    }
  }
  size_t answered = 0, lost = 0, duplicated = 0, resent = 0, retried = 0, unanswered = 0,
         unknown = 0;
  std::vector<std::string> lostExamples, dupExamples, unansweredExamples;
  for (const auto& [marker, status] : sent) {
    if (status != 200)
      continue;
    ++answered;
    auto at = stored.find(marker);
    int n = 0;
    std::string where;
    if (at != stored.end())
      for (const auto& [name, count] : at->second) {
        n += count;
        where += " " + name + (count > 1 ? "x" + std::to_string(count) : "");
      }
    if (n == 0 && ++lost <= 10)
      lostExamples.push_back(marker);
    if (n > 1) {
      ++duplicated;
      // Two collectors: the balancer resent a request one had logged. One
      // collector twice: the shipper resent lines after a receiver restart.
      (at->second.size() > 1 ? retried : resent) += 1;
      if (dupExamples.size() < 5)
        dupExamples.push_back(marker + " at" + where);
    }
  }
  for (const auto& s : stored) {
    auto at = sent.find(s.first);
    if (at != sent.end() && at->second == 200)
      continue;
    ++unanswered;
    unknown += at == sent.end() ? 1 : 0;
    if (unansweredExamples.size() < 5)
      unansweredExamples.push_back(
          s.first + " (" +
          (at == sent.end() ? "never sent" : "status " + std::to_string(at->second)) + ")");
  }
  fail(lost, "answered hits lost");
  fail(unmarked, "data lines without a marker");
  fail(otherClient, "lines not naming the client's address");
  // Every collector was stopped gracefully, with the balancer told first:
  // no request should have gone unanswered. A few timeouts on a starved
  // machine are tolerated; an empty or failing run is not a pass.
  if (answered == 0 || answered < sent.size() - sent.size() / 1000)
    failed.push_back("only " + std::to_string(answered) + " of " + std::to_string(sent.size()) +
                     " hits answered 200");

  // c. The balancer's 2xx answers per instance against the hits it logged.
  std::vector<std::string> header, rows;
  size_t column = std::string::npos;
  for (std::string line; std::getline(csvIn, line);) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    std::vector<std::string> cells;
    std::stringstream ss(line);
    for (std::string cell; std::getline(ss, cell, ',');)
      cells.push_back(cell);
    if (line.rfind("# ", 0) == 0) {
      cells[0] = cells[0].substr(2);
      auto at = std::find(cells.begin(), cells.end(), "hrsp_2xx");
      column = at == cells.end() ? std::string::npos : static_cast<size_t>(at - cells.begin());
      continue;
    }
    if (column == std::string::npos || cells.size() <= column || cells.size() < 2 ||
        cells[0] != o.backend || !names.count(cells[1]))
      continue;
    rows.push_back(cells[1] + "," + cells[column]);
  }
  if (column == std::string::npos) {
    std::fprintf(stderr, "kyr_scaleout: no hrsp_2xx column in %s\n", o.balancer.c_str());
    return 2;
  }
  std::string table = "  instance    balancer-2xx  store-lines  distinct  cross  repeats  split\n";
  size_t splitBad = 0;
  for (const auto& [name, root] : o.instances) {
    long twoxx = -1;
    for (const std::string& r : rows)
      if (r.rfind(name + ",", 0) == 0)
        twoxx = std::atol(r.c_str() + name.size() + 1);
    size_t distinct = 0, cross = 0;
    for (const auto& [marker, where] : stored) {
      if (!where.count(name))
        continue;
      ++distinct;
      cross += where.size() > 1 ? 1 : 0;
    }
    const bool ok =
        twoxx >= static_cast<long>(distinct - cross) && twoxx <= static_cast<long>(distinct);
    splitBad += ok ? 0 : 1;
    char row[200];
    std::snprintf(row, sizeof row, "  %-10s  %12ld  %11zu  %8zu  %5zu  %7zu  %s\n", name.c_str(),
                  twoxx, storeLines[name], distinct, cross, storeLines[name] - distinct,
                  twoxx < 0 ? "no balancer row"
                  : ok      ? "ok"
                            : "MISMATCH");
    table += row;
  }
  fail(splitBad, "instances whose 2xx count disagrees with the store");

  std::string verdict;
  for (const std::string& f : failed)
    verdict += (verdict.empty() ? "" : "; ") + f;
  if (o.quiet) {
    std::printf("scale-out check: %s%s%s\n", failed.empty() ? "PASSED" : "FAILED (",
                verdict.c_str(), failed.empty() ? "" : ")");
    return failed.empty() ? 0 : 1;
  }
  std::printf("== kyr_scaleout check: %zu instances, store %s\n", o.instances.size(),
              o.store.c_str());
  std::printf(
      "files: %zu source log files, %zu identical in the store, %zu not intact, %zu store files "
      "without a source, %zu busy files left; lines delivered twice: %zu; files in another "
      "order: %zu\n",
      sourceFiles, identical, bad, strays, busy, twice, outOfOrder);
  std::printf(
      "hits: %zu sent, %zu answered 200, lost %zu, arrived twice or more %zu (resent by a "
      "shipper %zu, logged by two collectors %zu), logged but not answered 200 %zu (never sent "
      "%zu), data lines without a marker %zu\n",
      sent.size(), answered, lost, duplicated, resent, retried, unanswered, unknown, unmarked);
  auto list = [](const char* what, const std::vector<std::string>& items) {
    if (items.empty())
      return;
    std::printf("  %s:", what);
    for (const std::string& i : items)
      std::printf(" %s%s", i.c_str(), &i == &items.back() ? "" : ",");
    std::printf("\n");
  };
  list("lost", lostExamples);
  list("duplicated", dupExamples);
  list("logged, not answered 200", unansweredExamples);
  std::printf("split (pass: distinct - cross <= balancer 2xx <= distinct):\n%s", table.c_str());
  for (size_t i = 0; i < notes.size() && i < 20; ++i)
    std::printf("  %s\n", notes[i].c_str());
  if (notes.size() > 20)
    std::printf("  ... and %zu more\n", notes.size() - 20);
  std::printf("scale-out check: %s%s%s\n", failed.empty() ? "PASSED" : "FAILED (", verdict.c_str(),
              failed.empty() ? "" : ")");
  return failed.empty() ? 0 : 1;
}

}  // namespace
}  // namespace scaleout

int main(int argc, char** argv) {
  using namespace scaleout;
  const std::string command = argc > 1 ? argv[1] : "";
  long n = 0;
  if (command == "ports" && argc == 3 && ToInt(argv[2], &n) && n > 0 && n <= 64)
    return Ports(n);
  if (command == "sites" && argc == 3)
    return Sites(argv[2]);
  if (command == "load" && argc == 8)
    return Load(argv + 2);
  if (command == "check")
    return Check(argc - 2, argv + 2);
  return Usage();
}
