// The proxy set-ups of conf/examples/ run as a site runs them: nginx or
// HAProxy in front, kyrhost behind it with --trusted-proxy naming the proxy.
// The site's pages come from the site's own server, the tag's requests reach
// kyrhost through the proxy, and the log names the visitor, never the proxy
// nor an address the visitor made up.

#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>
#include <utility>

#include "tests/e2e/hostprocess.h"
#include "tests/e2e/httpclient.h"
#include "tests/support/filtertest.h"

extern char** environ;

namespace e2e {
namespace {

// The program's path: found on PATH, or in /usr/sbin, where Debian puts
// both proxies and which a user's PATH often lacks. "" when neither.
std::string Program(const std::string& name) {
  std::string sbin = "/usr/sbin/" + name;
  if (access(sbin.c_str(), X_OK) == 0)
    return sbin;
  std::string command = "command -v " + name + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0 ? name : "";
}

// A missing proxy skips the test on a developer's machine; CI installs both
// (scripts/deps.sh), so there a missing one is a failure.
#define REQUIRE_PROGRAM(program)                                                    \
  do {                                                                              \
    if (Program(program).empty()) {                                                 \
      const char* ci = std::getenv("CI");                                           \
      if (ci && std::string(ci) == "true")                                          \
        FAIL() << program << " is not installed (scripts/deps.sh installs it)";     \
      GTEST_SKIP() << program << " is not installed (scripts/deps.sh installs it)"; \
    }                                                                               \
  } while (0)

// A port of 127.0.0.1 that was free when asked. Neither proxy can be told to
// take any free port and report it, so a start that finds it taken after all
// is retried with another one.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  int port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
    port = ntohs(a.sin_port);
  if (fd >= 0)
    close(fd);
  return port;
}

bool Accepts(int port) {
  int fd = ConnectFrom("127.0.0.1", port);
  if (fd < 0)
    return false;
  close(fd);
  return true;
}

// `text` with each `from` replaced; every one must occur exactly once, so
// that a snippet edited out of step with this test fails it instead of
// running with a value meant for a real site. "" (and the `from` in
// `error`) when one does not.
std::string Edited(std::string text, const std::vector<std::pair<std::string, std::string>>& swaps,
                   std::string& error) {
  for (const auto& swap : swaps) {
    size_t at = text.find(swap.first);
    if (at == std::string::npos || text.find(swap.first, at + 1) != std::string::npos) {
      error = "not exactly once in the snippet: " + swap.first;
      return "";
    }
    text.replace(at, swap.first.size(), swap.second);
  }
  return text;
}

// A proxy process for one test, its output in a file; stopped when
// destroyed.
class ProxyProcess {
 public:
  ~ProxyProcess() { Stop(); }

  // Runs the command made for a port, up to five ports, until the program
  // serves 127.0.0.1:port. The port, or 0 (with the last output in `output`).
  int Start(const std::function<std::vector<std::string>(int port)>& command,
            const std::string& outFile, std::string& output) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      int port = FreePort();
      if (port > 0 && Spawn(command(port), outFile) && WaitServing(port))
        return port;
      Stop();
      output = ReadFileText(outFile);
    }
    return 0;
  }

  void Stop() {
    if (pid_ <= 0)
      return;
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
  }

 private:
  bool Spawn(std::vector<std::string> args, const std::string& outFile) {
    std::vector<char*> argv;
    for (std::string& a : args)
      argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
      pid_ = -1;
    return rc == 0;
  }

  // Serving: the port accepts connections while the program still runs (a
  // program that could not bind it exits, whoever else holds it).
  bool WaitServing(int port) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      bool accepts = Accepts(port);
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;  // reaped: never to be signalled again
        return false;
      }
      if (accepts)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  pid_t pid_ = -1;
};

// A directory nginx's workers can read: run as root, nginx hands requests
// to workers running as nobody.
void MakeReadable(const std::string& path, mode_t mode) {
  chmod(path.c_str(), mode);
}

// The site's own files, which only the site's server has.
struct Site {
  Site() {
    MakeReadable(dir.Path(), 0755);
    for (const auto& file : files) {
      WriteFileText(dir.Path() + file.first, file.second);
      MakeReadable(dir.Path() + file.first, 0644);
    }
  }
  TempDir dir;
  // A page, and an image whose name only ends like the tag's.
  const std::vector<std::pair<std::string, std::string>> files = {
      {"/site.html", "<p>the site's own page</p>\n"}, {"/notkyr.gif", "GIF89a not the tag"}};
};

// nginx run from `dir` with `servers` (http-level configuration) as its
// whole site, touching none of the system's paths. The port nginx serves,
// or 0.
int StartNginx(ProxyProcess& nginx, const std::string& dir,
               const std::function<std::string(int port)>& servers, std::string& output) {
  MakeReadable(dir, 0755);
  return nginx.Start(
      [&](int port) {
        std::string conf =
            "worker_processes 1;\n"
            "events { worker_connections 64; }\n"
            "http {\n"
            "  access_log " +
            dir + "/access.log;\n";
        for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
          conf += std::string("  ") + temp + "_temp_path " + dir + "/" + temp + ";\n";
        conf += "  types { text/html html; image/gif gif; application/javascript js; }\n";
        std::string site = servers(port);
        if (site.empty())
          return std::vector<std::string>{"false"};
        conf += site + "}\n";
        WriteFileText(dir + "/nginx.conf", conf);
        return std::vector<std::string>{
            Program("nginx"),
            "-p",
            dir,
            "-c",
            dir + "/nginx.conf",
            "-e",
            "stderr",
            "-g",
            "daemon off; master_process on; pid " + dir + "/nginx.pid; error_log stderr;"};
      },
      dir + "/nginx.out", output);
}

// The two ways a page names the tag image: at the web root, or in the
// hosted model under the site's KYR ID, which the proxy must route by the
// end of the path alone.
struct Model {
  const char* name;
  std::string settings;  // kyrhost's configuration
  std::string tagDir;    // what stands before "/kyr.gif"
};

std::vector<Model> Models() {
  return {{"non-hosted", "", ""},
          {"hosted", "[logserver]\nhostedmodel = true\n", "/" + CurrentKyrId()}};
}

// What a site behind the proxy on `port` must see: its own files from its
// own server, the tag's script and image from kyrhost, and in kyrhost's log
// the visitor's address as the proxy saw it.
void ExpectSiteAndTagThroughProxy(HostProcess& host, const Site& site, const Model& model,
                                  int port) {
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  HttpClient visitor;
  // The visitor is another machine: it connects from 127.0.0.2 while the
  // proxy reaches kyrhost from 127.0.0.1, and it claims an address of its
  // own, which must not be believed.
  ASSERT_EQ(curl_easy_setopt(visitor.Handle(), CURLOPT_INTERFACE, "127.0.0.2"), CURLE_OK);
  visitor.UseCookieJar();
  const std::vector<std::string> forged = {"X-Forwarded-For: 203.0.113.7"};

  for (const auto& file : site.files) {
    Response r = visitor.Get(base + file.first, forged);
    EXPECT_EQ(r.status, 200) << file.first << "\n" << r.head;
    EXPECT_EQ(r.body, file.second) << file.first;
    EXPECT_EQ(r.Header("Set-Cookie"), "") << file.first;
  }
  Response script = visitor.Get(base + "/kyrtag.js");
  EXPECT_EQ(script.status, 200) << script.head;
  EXPECT_EQ(script.body, ReadFileText(host.Www() + "/kyrtag.js"));

  // A new visitor's first hit: kyrhost's cookie test comes back through the
  // proxy, and the repeated request gets the content image.
  Response first =
      visitor.Get(base + model.tagDir + "/kyr.gif?kyruri=/site.html&kyrqry=via%3Dproxy", forged);
  EXPECT_EQ(first.status, 303) << first.head;
  EXPECT_NE(first.Header("Set-Cookie").find("VANTORELL_ID="), std::string::npos) << first.head;
  const std::string location = first.Header("Location");
  ASSERT_EQ(location.rfind(model.tagDir + "/kyr.gif?", 0), 0u) << first.head;
  EXPECT_NE(location.find("kyrredirect=1"), std::string::npos) << location;
  const std::string gif = ReadFileText(host.Www() + "/zr_kyr.gif");
  Response second = visitor.Get(base + location, forged);
  EXPECT_EQ(second.status, 200) << second.head;
  EXPECT_EQ(second.body, gif);
  // The no-script image; the visitor has its cookie now.
  Response noscript = visitor.Get(base + model.tagDir + "/njs.gif?kyruri=/noscript.html", forged);
  EXPECT_EQ(noscript.status, 200) << noscript.head;
  EXPECT_EQ(noscript.body, gif);

  ASSERT_EQ(host.Stop(), 0);
  std::vector<std::string> lines = host.LogLines();
  ASSERT_EQ(lines.size(), 2u);
  const char* pages[] = {"/site.html", "/noscript.html"};
  for (size_t i = 0; i < lines.size(); ++i) {
    // date time c-ip cs-username cs-host cs-method cs-uri-stem ...
    std::vector<std::string> fields = Fields(lines[i]);
    ASSERT_GT(fields.size(), 6u) << lines[i];
    EXPECT_EQ(fields[2], "127.0.0.2") << lines[i];
    EXPECT_EQ(fields[6], pages[i]) << lines[i];
    EXPECT_EQ(lines[i].find("203.0.113.7"), std::string::npos) << lines[i];
  }
}

// The CSV of HAProxy's "show stat" from its stats socket at `path`; "" when
// the socket does not answer.
std::string HAProxyStats(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::string out;
  if (fd < 0 || path.size() >= sizeof a.sun_path) {
    if (fd >= 0)
      close(fd);
    return out;
  }
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  const char command[] = "show stat\n";
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      write(fd, command, sizeof command - 1) == static_cast<ssize_t>(sizeof command - 1)) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
      out.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

// The column `column` of the row of `proxy`/`server` in "show stat" CSV,
// found by the header line ("# pxname,svname,..."); "" when there is none.
std::string StatField(const std::string& csv, const std::string& proxy, const std::string& server,
                      const std::string& column) {
  auto split = [](const std::string& line) {
    std::vector<std::string> cells;
    std::stringstream in(line);
    std::string cell;
    while (std::getline(in, cell, ','))
      cells.push_back(cell);
    return cells;
  };
  std::stringstream in(csv);
  std::string line;
  if (!std::getline(in, line) || line.rfind("# ", 0) != 0)
    return "";
  std::vector<std::string> header = split(line.substr(2));
  size_t at = std::find(header.begin(), header.end(), column) - header.begin();
  while (std::getline(in, line)) {
    std::vector<std::string> cells = split(line);
    if (cells.size() > at && cells[0] == proxy && cells[1] == server)
      return cells[at];
  }
  return "";
}

// kyrhost for one model, with the proxy on this machine trusted.
std::unique_ptr<HostProcess> StartedHost(const Model& model) {
  auto host = std::make_unique<HostProcess>(
      model.settings, "", std::vector<std::string>{"--trusted-proxy", "127.0.0.1"});
  std::string output;
  EXPECT_TRUE(host->Start(output)) << output;
  return host;
}

TEST(ProxySnippetTest, NginxServesTheSiteAndHandsTheTagToKyrhost) {
  REQUIRE_PROGRAM("nginx");
  const std::string snippet = ReadFileText(SourceDir() + "/conf/examples/nginx-kyr.conf");
  Site site;
  for (const Model& model : Models()) {
    SCOPED_TRACE(model.name);
    std::unique_ptr<HostProcess> host = StartedHost(model);
    ASSERT_GT(host->Port(), 0);
    TempDir run;
    ProxyProcess nginx;
    std::string error, output;
    int port = StartNginx(
        nginx, run.Path(),
        [&](int port) {
          return Edited(
              snippet,
              {{"listen 80;", "listen 127.0.0.1:" + std::to_string(port) + ";"},
               {"server 127.0.0.1:8080;", "server 127.0.0.1:" + std::to_string(host->Port()) + ";"},
               {"root /var/www/example;", "root " + site.dir.Path() + ";"}},
              error);
        },
        output);
    ASSERT_EQ(error, "");
    ASSERT_GT(port, 0) << output;
    ExpectSiteAndTagThroughProxy(*host, site, model, port);
  }
}

TEST(ProxySnippetTest, HAProxyRoutesTheTagToKyrhostAndTheRestToTheSite) {
  REQUIRE_PROGRAM("haproxy");
  REQUIRE_PROGRAM("nginx");  // the site's own web server
  const std::string snippet = ReadFileText(SourceDir() + "/conf/examples/haproxy-kyr.cfg");
  Site site;
  TempDir webRun;
  ProxyProcess web;
  std::string output;
  int webPort = StartNginx(
      web, webRun.Path(),
      [&](int port) {
        return "server { listen 127.0.0.1:" + std::to_string(port) + "; root " + site.dir.Path() +
               "; }\n";
      },
      output);
  ASSERT_GT(webPort, 0) << output;
  for (const Model& model : Models()) {
    SCOPED_TRACE(model.name);
    std::unique_ptr<HostProcess> host = StartedHost(model);
    ASSERT_GT(host->Port(), 0);
    TempDir run;
    ProxyProcess haproxy;
    std::string error;
    int port = haproxy.Start(
        [&](int port) {
          std::string text = Edited(
              snippet,
              {{"bind :80", "bind 127.0.0.1:" + std::to_string(port)},
               {"server web1 127.0.0.1:8000", "server web1 127.0.0.1:" + std::to_string(webPort)},
               {"server kyr1 127.0.0.1:8080",
                "server kyr1 127.0.0.1:" + std::to_string(host->Port())}},
              error);
          if (text.empty())
            return std::vector<std::string>{"false"};
          // The stats socket lets the test see the health check's verdict.
          WriteFileText(run.Path() + "/haproxy.cfg",
                        "global\n    stats socket " + run.Path() + "/stats.sock\n\n" + text);
          return std::vector<std::string>{Program("haproxy"), "-f", run.Path() + "/haproxy.cfg",
                                          "-db"};
        },
        run.Path() + "/haproxy.out", output);
    ASSERT_EQ(error, "");
    ASSERT_GT(port, 0) << output;
    // HAProxy's HTTP health check of kyrhost (its health path) passes; one
    // that failed would take kyrhost out of service seconds after the start.
    std::string status;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (status != "L7OK" && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      status =
          StatField(HAProxyStats(run.Path() + "/stats.sock"), "kyrhost", "kyr1", "check_status");
    }
    EXPECT_EQ(status, "L7OK");
    ExpectSiteAndTagThroughProxy(*host, site, model, port);
  }
}

}  // namespace
}  // namespace e2e
