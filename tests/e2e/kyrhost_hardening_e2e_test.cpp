// kyrhost facing the open internet: slow and hostile clients, stops that
// must end, requests that try to forge, smuggle or escape. Each test bounds
// its own load (a few thousand sockets at most) and its own time.

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "tests/e2e/hostprocess.h"
#include "tests/e2e/httpclient.h"
#include "tests/support/filtertest.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

// Sockets closed with the test.
struct Sockets {
  std::vector<int> fds;
  ~Sockets() { CloseAll(); }
  void CloseAll() {
    for (int fd : fds)
      close(fd);
    fds.clear();
  }
};

// This process's soft open-files limit raised to `wanted`; false when the
// hard limit does not allow it.
bool AllowOpenFiles(rlim_t wanted) {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max < wanted)
    return false;
  if (limit.rlim_cur < wanted) {
    limit.rlim_cur = wanted;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
  }
  return true;
}

std::unique_ptr<HostProcess> Started(std::vector<std::string> args, const std::string& www = "",
                                     std::string* output = nullptr, int softFiles = 0,
                                     int hardFiles = 0) {
  auto host = std::make_unique<HostProcess>("", www, args);
  if (softFiles > 0)
    host->LimitOpenFiles(softFiles, hardFiles);
  std::string text;
  EXPECT_TRUE(host->Start(text)) << text;
  if (output)
    *output = text;
  return host;
}

// A web root with `name` of `size` bytes (a pattern, not zeros) and an index.
void WriteLargeFile(const std::string& dir, const std::string& name, size_t size) {
  std::string block(1 << 20, '\0');
  for (size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<char>(i * 7 + i / 251);
  std::ofstream out(dir + "/" + name, std::ios::binary);
  for (size_t i = 0; i < size / block.size(); ++i)
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  WriteFileText(dir + "/index.html", "<p>x</p>\n");
}

bool Logged(const HostProcess& host, const std::string& needle) {
  for (const std::string& line : host.LogLines())
    if (line.find(needle) != std::string::npos)
      return true;
  return false;
}

// A slowloris from many addresses holds far more connections than the
// server has descriptors for; a tag hit from another client is answered at
// once and logged. One address past its own cap gets its new connections
// closed.
TEST(KyrhostHardeningTest, SlowClientsCannotCrowdOutATagHit) {
  constexpr int kSlow = 1500;
  if (!AllowOpenFiles(kSlow + 256))
    GTEST_SKIP() << "the hard open-files limit is below " << kSlow + 256;
  // Started at a soft limit of 256, raised to the hard one, 512: with two
  // workers, 128 connections each.
  std::string output;
  auto host = Started({"--max-connections-per-client", "40"}, "", &output, 256, 512);
  EXPECT_NE(output.find("at most 128 connections per worker (open-files limit 512)"),
            std::string::npos)
      << output;
  Sockets slow;
  for (int i = 0; i < kSlow; ++i) {
    std::string source = "127.0.1." + std::to_string(2 + i / 30);  // 30 per address
    int fd = ConnectFrom(source.c_str(), host->Port());
    if (fd < 0)
      continue;  // the backlog is full: the flood is at its worst
    slow.fds.push_back(fd);
    const char partial[] = "GET /kyr.gif?kyruri=%2Fslow HTTP/1.1\r\nHost: x\r\nX-";
    (void)!send(fd, partial, sizeof partial - 1, MSG_NOSIGNAL);
  }
  ASSERT_GT(slow.fds.size(), 1000u);

  HttpClient client;
  curl_easy_setopt(client.Handle(), CURLOPT_TIMEOUT_MS, 5000L);
  Response r = client.Get(host->Url("/kyr.gif?kyruri=%2Flegitimate"),
                          {"Cookie: VANTORELL_ID=10.1.2.3-3350200320.29830455"});
  EXPECT_EQ(r.status, 200);

  // One client address (not the flood's) past its cap of 40 per worker.
  Sockets greedy;
  for (int i = 0; i < 100; ++i) {
    int fd = ConnectFrom("127.0.2.1", host->Port());
    if (fd >= 0)
      greedy.fds.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int closed = 0;
  for (int fd : greedy.fds)
    closed += ClosedWithin(fd, 20) ? 1 : 0;
  EXPECT_GE(closed, 100 - 2 * 40);

  slow.CloseAll();
  greedy.CloseAll();
  EXPECT_EQ(host->Stop(), 0);
  EXPECT_TRUE(Logged(*host, "/legitimate"));
}

// A request's head has a deadline counted from its first byte: a byte now
// and then does not keep it open.
TEST(KyrhostHardeningTest, ATricklingRequestIsClosedAtItsDeadline) {
  auto host = Started({"--request-timeout", "2"});
  int fd = ConnectFrom("127.0.0.1", host->Port());
  ASSERT_GE(fd, 0);
  Sockets owner{{fd}};
  const std::string head =
      "GET /index.html HTTP/1.1\r\nHost: x\r\nX-Slow: aaaaaaaaaaaaaaaaaaaaaaaaa";
  auto start = Clock::now();
  bool closed = false;
  for (size_t i = 0; i < head.size() && !closed; ++i) {
    (void)!send(fd, &head[i], 1, MSG_NOSIGNAL);
    closed = ClosedWithin(fd, 300);
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_TRUE(closed);
  // Two seconds of deadline, one of sweeping, and slack for a loaded
  // machine; the trickle itself would last over 20 s.
  EXPECT_LT(seconds, 6.0);
  EXPECT_EQ(host->Stop(), 0);
}

// A stop ends at its deadline however slowly clients send, and every hit
// answered before it is in the log.
TEST(KyrhostHardeningTest, StopEndsAtItsDeadlineWithEveryAnsweredHitLogged) {
  auto host = Started({"--stop-timeout", "2", "--request-timeout", "60"});
  HttpClient client;
  int answered = 0;
  for (int i = 0; i < 20; ++i) {
    Response r = client.Get(host->Url("/kyr.gif?kyruri=%2Fbefore-stop-" + std::to_string(i)),
                            {"Cookie: VANTORELL_ID=10.1.2.3-3350200320.29830455"});
    answered += r.status == 200 ? 1 : 0;
  }
  Sockets slow;
  for (int i = 0; i < 50; ++i)
    slow.fds.push_back(ConnectFrom("127.0.0.1", host->Port()));
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    // A byte every 300 ms on every slow connection, until kyrhost is gone.
    while (!done) {
      for (int fd : slow.fds)
        (void)!send(fd, "G", 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto start = Clock::now();
  int status = host->Stop(30);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  done = true;
  trickle.join();
  EXPECT_EQ(status, 0);
  // The deadline, and time to write the logs out and exit (slower in the
  // sanitizer build); without the deadline the trickle holds it for ever.
  EXPECT_LT(seconds, 2.0 + 3.0);
  EXPECT_EQ(host->LogLines().size(), static_cast<size_t>(answered));
}

// A large file is sent as the client reads it, not held in memory for each
// request; a complete download still has every byte.
TEST(KyrhostHardeningTest, LargeFilesAreStreamed) {
  TempDir www;
  const size_t size = 32u << 20;
  WriteLargeFile(www.Path(), "big.bin", size);
  auto host = Started({}, www.Path());
  long before = ResidentKiB(host->Pid());
  Sockets readers;
  for (int i = 0; i < 24; ++i) {
    int fd = ConnectFrom("127.0.0.1", host->Port());
    ASSERT_GE(fd, 0);
    readers.fds.push_back(fd);
    const char request[] = "GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n";
    (void)!send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  long after = ResidentKiB(host->Pid());
  // Held whole, 24 copies would be 768 MiB.
  EXPECT_LT(after - before, 64 * 1024) << before << " KiB before, " << after << " after";

  HttpClient client;
  Response r = client.Get(host->Url("/big.bin"));
  EXPECT_EQ(r.status, 200);
  ASSERT_EQ(r.body.size(), size);
  EXPECT_EQ(r.body, ReadFileText(www.Path() + "/big.bin"));
  readers.CloseAll();
  EXPECT_EQ(host->Stop(), 0);
}

// Clients that stop reading their responses hold every slot; a new client
// is still served, in place of the one that has made the least progress.
TEST(KyrhostHardeningTest, ClientsThatStopReadingCannotHoldEverySlot) {
  TempDir www;
  WriteLargeFile(www.Path(), "big.bin", 8u << 20);
  auto host = Started({"--threads", "1", "--max-connections", "20"}, www.Path());
  Sockets stalled;
  for (int i = 0; i < 20; ++i) {
    int fd = ConnectFrom(("127.0.3." + std::to_string(1 + i)).c_str(), host->Port());
    ASSERT_GE(fd, 0);
    stalled.fds.push_back(fd);
    const char request[] = "GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n";
    (void)!send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  HttpClient client;
  curl_easy_setopt(client.Handle(), CURLOPT_TIMEOUT_MS, 5000L);
  EXPECT_EQ(client.Get(host->Url("/index.html")).status, 200);
  stalled.CloseAll();
  EXPECT_EQ(host->Stop(), 0);
}

// Nothing outside the web root is served, through whatever link; links
// that stay inside work.
TEST(KyrhostHardeningTest, LinksOutOfTheWebRootAreNotFollowed) {
  TempDir www;
  mkdir((www.Path() + "/sub").c_str(), 0755);
  WriteFileText(www.Path() + "/sub/a.txt", "inside\n");
  ASSERT_EQ(symlink("/etc", (www.Path() + "/etcdir").c_str()), 0);
  ASSERT_EQ(symlink("/etc/passwd", (www.Path() + "/passwd").c_str()), 0);
  ASSERT_EQ(symlink("sub", (www.Path() + "/inside").c_str()), 0);
  auto host = Started({}, www.Path());
  HttpClient client;
  for (const char* path : {"/etcdir/passwd", "/passwd", "/etcdir/"}) {
    Response r = client.Get(host->Url(path));
    EXPECT_TRUE(r.status == 404 || r.status == 403) << path << ": " << r.status;
    EXPECT_EQ(r.body.find("root:"), std::string::npos) << path;
  }
  EXPECT_EQ(client.Get(host->Url("/inside/a.txt")).body, "inside\n");
  EXPECT_EQ(host->Stop(), 0);
}

// Requests that try to forge audit entries, smuggle headers or redirect
// elsewhere, each with the answer it must get.
TEST(KyrhostHardeningTest, HostileRequestsGetTheirAnswers) {
  TempDir www;
  mkdir((www.Path() + "/img").c_str(), 0755);
  WriteFileText(www.Path() + "/index.html", "<p>home</p>\n");
  // The proxy named by its block, as a managed balancer's subnet is.
  auto host = Started({"--trusted-proxy", "127.0.0.0/8"}, www.Path());
  struct Case {
    std::string request;
    std::string status;       // the status line's start
    std::string mustHave;     // in the response, when not empty
    std::string mustNotHave;  // nowhere in the response
  };
  const Case cases[] = {
      {"GET /x%0d%0aDec-06-2026%20FORGED HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 400 ", "", ""},
      {"GET /x%1b[31m HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 400 ", "", ""},
      {"GET /x%7f HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 400 ", "", ""},
      {"GET /index.html HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "HTTP/1.1 400 ",
       "", ""},
      {"GET /index.html HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked, gzip\r\n\r\n",
       "HTTP/1.1 400 ", "", ""},
      {"GET /index.html HTTP/1.1\r\nHost: x\r\nX-A: a\r\n b\r\n\r\n", "HTTP/1.1 400 ", "", ""},
      {"GET //img HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 301 ", "\r\nLocation: /img/\r\n", ""},
      {"GET /img?a=\xff\"<b> HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 301 ",
       "\r\nLocation: /img/?a=%FF%22%3Cb%3E\r\n", "\xff"},
      {"GET http://evil.example?kyruri=/a HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 ",
       "<p>home</p>", ""},
  };
  for (const Case& c : cases) {
    std::string raw = RawExchange(host->Port(), c.request);
    EXPECT_EQ(raw.rfind(c.status, 0), 0u) << c.request << "\n" << raw.substr(0, 120);
    if (!c.mustHave.empty()) {
      EXPECT_NE(raw.find(c.mustHave), std::string::npos) << c.request << "\n" << raw;
    }
    if (!c.mustNotHave.empty()) {
      EXPECT_EQ(raw.find(c.mustNotHave), std::string::npos) << c.request << "\n" << raw;
    }
  }

  // A trailer never stands in for a header: the proxy's X-Forwarded-For
  // names the client, not the one after the body.
  std::string raw = RawExchange(host->Port(),
                                "GET /kyr.gif?kyruri=%2Ftrailer HTTP/1.1\r\nHost: x\r\n"
                                "X-Forwarded-For: 10.9.9.9\r\nTransfer-Encoding: chunked\r\n"
                                "Cookie: VANTORELL_ID=10.1.2.3-3350200320.29830455\r\n"
                                "Connection: close\r\n\r\n"
                                "0\r\nX-Forwarded-For: 6.6.6.6\r\nUser-Agent: Forged/1.0\r\n\r\n");
  EXPECT_EQ(raw.rfind("HTTP/1.1 ", 0), 0u) << raw;
  EXPECT_EQ(host->Stop(), 0);
  std::string audit = ReadFileText(host->Root() + "/log/kyr.audit");
  EXPECT_EQ(audit.find("FORGED"), std::string::npos) << audit;
  EXPECT_EQ(audit.find('\x1b'), std::string::npos);
  std::vector<std::string> lines = host->LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("10.9.9.9"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].find("6.6.6.6"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].find("Forged"), std::string::npos) << lines[0];
}

// Visitors arriving together from one address (a NAT) get ids of their own.
TEST(KyrhostHardeningTest, VisitorsFromOneAddressGetDistinctIds) {
  auto host = Started({});
  std::set<std::string> ids;
  std::mutex lock;
  std::vector<std::thread> browsers;
  for (int t = 0; t < 4; ++t) {
    browsers.emplace_back([&] {
      HttpClient client;
      for (int i = 0; i < 25; ++i) {
        Response r = client.Get(host->Url("/kyr.gif?kyruri=%2Ffirst"));
        std::string cookie = r.Header("Set-Cookie");
        std::lock_guard<std::mutex> hold(lock);
        ids.insert(cookie.substr(0, cookie.find(';')));
      }
    });
  }
  for (auto& b : browsers)
    b.join();
  EXPECT_EQ(ids.size(), 100u);
  EXPECT_EQ(ids.count(""), 0u);
  EXPECT_EQ(host->Stop(), 0);
}

// Dropping privileges after binding: the module and its files belong to
// the named user.
TEST(KyrhostHardeningTest, RunsAsTheNamedUser) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to change user";
  // The build and the web root must be within nobody's reach (a checkout
  // under a private home directory is not).
  std::string module = std::string(KYRHOST_BIN);
  module = module.substr(0, module.rfind('/')) + "/libkyrfilter.so";
  pid_t child = fork();
  if (child == 0) {
    struct passwd* pw = getpwnam("nobody");
    bool reach = pw && setgid(pw->pw_gid) == 0 && setuid(pw->pw_uid) == 0 &&
                 access(module.c_str(), R_OK) == 0 &&
                 access((SourceDir() + "/www/index.html").c_str(), R_OK) == 0;
    _exit(reach ? 0 : 1);
  }
  int reach = 1;
  waitpid(child, &reach, 0);
  if (reach != 0)
    GTEST_SKIP() << "the user nobody cannot read " << module << " or the web root";
  HostProcess probe("", "", {"--user", "nobody"});
  std::string command = "chown -R nobody '" + probe.Root() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::string output;
  ASSERT_TRUE(probe.Start(output)) << output;
  std::ifstream status("/proc/" + std::to_string(probe.Pid()) + "/status");
  std::string line;
  std::string uids;
  while (std::getline(status, line))
    if (line.rfind("Uid:", 0) == 0)
      uids = line;
  EXPECT_EQ(uids.find("\t0\t"), std::string::npos) << uids;
  HttpClient client;
  EXPECT_EQ(client
                .Get(probe.Url("/kyr.gif?kyruri=%2Fas-nobody"),
                     {"Cookie: VANTORELL_ID=10.1.2.3-3350200320.29830455"})
                .status,
            200);
  EXPECT_EQ(probe.Stop(), 0);
  EXPECT_TRUE(Logged(probe, "/as-nobody"));

  HostProcess unknown("", "", {"--user", "no-such-user-here"});
  output.clear();
  EXPECT_FALSE(unknown.Start(output));
  EXPECT_NE(output.find("no user named"), std::string::npos) << output;
}

}  // namespace
}  // namespace e2e
