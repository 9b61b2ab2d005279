#include "tests/e2e/hostprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

#include "tests/support/filtertest.h"

extern char** environ;

namespace e2e {

std::string SourceDir() {
  return KYR_SOURCE_DIR;
}

namespace {

// The port in "<prefix>PORT" followed by a non-digit, or 0.
int PortAfter(const std::string& text, const std::string& prefix) {
  size_t at = text.find(prefix);
  if (at == std::string::npos)
    return 0;
  size_t end = text.find_first_not_of("0123456789", at + prefix.size());
  if (end == std::string::npos)
    return 0;
  return std::atoi(text.c_str() + at + prefix.size());
}

// Starts `args` with its standard output and error on a pipe: the child's
// pid, the pipe's reading end in *out; -1 (and no pipe) on failure.
pid_t SpawnWithOutput(std::vector<std::string> args, int* out) {
  int fds[2];
  if (pipe(fds) != 0)
    return -1;
  std::vector<char*> argv;
  for (auto& a : args)
    argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return -1;
  }
  *out = fds[0];
  return pid;
}

// Appends what `fd` delivers to `output` until `done(output)` holds (true),
// or the output ends or `deadline` passes (false).
bool ReadUntil(int fd, std::string& output, std::chrono::steady_clock::time_point deadline,
               const std::function<bool(const std::string&)>& done) {
  while (!done(output)) {
    if (fd < 0 || std::chrono::steady_clock::now() >= deadline)
      return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 200) > 0) {
      char buffer[4096];
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0)
        return false;  // the writer has exited
      output.append(buffer, static_cast<size_t>(n));
    }
  }
  return true;
}

}  // namespace

HostProcess::HostProcess(const std::string& settings, const std::string& www,
                         const std::vector<std::string>& extraArgs)
    : www_(www.empty() ? SourceDir() + "/www" : www), extraArgs_(extraArgs) {
  for (const char* d : {"/cfg", "/log", "/weblog"})
    mkdir((Root() + d).c_str(), 0755);
  WriteFileText(Root() + "/cfg/kyr.cfg",
                settings + "\n" + ReadFileText(SourceDir() + "/conf/kyr.cfg"));
}

HostProcess::~HostProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0)
    close(out_);
}

bool HostProcess::Start(std::string& output) {
  output.clear();  // a restart must not find the last run's port
  std::vector<std::string> args = {KYRHOST_BIN, "--listen", "127.0.0.1:0", "--threads", "2",
                                   "--root",    Root(),     "--www",       www_};
  args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
  if (softFiles_ > 0) {
    // The shell sets the limits and becomes kyrhost (same process).
    args.insert(args.begin(), {"/bin/sh", "-c",
                               "ulimit -Sn " + std::to_string(softFiles_) + " && ulimit -Hn " +
                                   std::to_string(hardFiles_) + " && exec \"$@\"",
                               "sh"});
  }
  if (out_ >= 0)
    close(out_);  // the last run's
  out_ = -1;
  pid_ = SpawnWithOutput(args, &out_);
  if (pid_ < 0) {
    output = "posix_spawn failed";
    return false;
  }
  bool tls = std::find(extraArgs_.begin(), extraArgs_.end(), "--tls-listen") != extraArgs_.end();
  // Wait for "... on http://127.0.0.1:PORT ..." (sanitizer builds start slowly).
  return ReadUntil(out_, output, std::chrono::steady_clock::now() + std::chrono::seconds(60),
                   [&](const std::string& text) {
                     port_ = PortAfter(text, "http://127.0.0.1:");
                     tlsPort_ = PortAfter(text, "https://127.0.0.1:");
                     return port_ > 0 && (tlsPort_ > 0 || !tls);
                   });
}

bool HostProcess::ReadOutputUntil(const std::string& until, std::string& output, int seconds) {
  return ReadUntil(out_, output, std::chrono::steady_clock::now() + std::chrono::seconds(seconds),
                   [&](const std::string& text) { return text.find(until) != std::string::npos; });
}

std::string Shell(const std::string& command, int& status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) {
    status = -1;
    return out;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0)
    out.append(buffer, n);
  int raw = pclose(p);
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

std::string ChromiumDom(const std::string& url, const std::string& profileDir, int& status,
                        int budgetMs) {
  std::string budget =
      budgetMs > 0 ? " --virtual-time-budget=" + std::to_string(budgetMs) : std::string();
  return Shell(
      "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic "
      "--no-first-run --disable-background-networking --disable-component-update "
      "--disable-sync --disable-dev-shm-usage --user-data-dir='" +
          profileDir + "'" + budget + " --dump-dom '" + url + "' 2>/dev/null",
      status);
}

int RunKyrhost(const std::vector<std::string>& args, std::string& output, int seconds) {
  output.clear();
  std::vector<std::string> all = {KYRHOST_BIN};
  all.insert(all.end(), args.begin(), args.end());
  int out = -1;
  pid_t pid = SpawnWithOutput(all, &out);
  if (pid < 0)
    return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  ReadUntil(out, output, deadline, [](const std::string&) { return false; });  // to its end
  close(out);
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0)
      return std::atol(line.c_str() + 6);
  return -1;
}

std::string HostProcess::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

int HostProcess::Stop(int seconds) {
  if (pid_ <= 0)
    return -1;
  kill(pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return -1;
}

void HostProcess::Kill() {
  if (pid_ <= 0)
    return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  close(out_);
  out_ = -1;
}

std::vector<std::string> HostProcess::LogFiles() const {
  std::vector<std::string> names;
  for (const std::string& name : ListDir(Root() + "/weblog"))
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0)
      names.push_back(name);
  return names;
}

std::vector<std::string> HostProcess::LogLines() const {
  std::string text;
  for (const std::string& name : LogFiles())
    text += ReadFileText(Root() + "/weblog/" + name);
  return DataLines(text);
}

}  // namespace e2e
