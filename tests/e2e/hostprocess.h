#pragma once
// kyrhost started for one test: a temporary installation root (the shipped
// configuration with the test's settings in front of it, so they win), the
// project's web root or a given one, an ephemeral port; stopped with
// SIGTERM as an operator would.

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/temproot.h"

namespace e2e {

class HostProcess {
 public:
  // `settings` is configuration text placed before the shipped kyr.cfg
  // (for a key given twice the first value wins).
  explicit HostProcess(const std::string& settings = "", const std::string& www = "",
                       const std::vector<std::string>& extraArgs = {});
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // Starts kyrhost under an open-files limit: `soft`, and `hard` (the same
  // when 0), beyond which kyrhost cannot raise it; call before Start().
  void LimitOpenFiles(int soft, int hard = 0) {
    softFiles_ = soft;
    hardFiles_ = hard > 0 ? hard : soft;
  }
  // Starts kyrhost and waits for its "serving" line. False (with kyrhost's
  // output in `output`) when it did not come up.
  bool Start(std::string& output);
  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  int TlsPort() const { return tlsPort_; }  // with --tls-listen
  std::string Url(const std::string& path) const;
  const std::string& Root() const { return root_.Path(); }
  const std::string& Www() const { return www_; }

  // Reads more of kyrhost's output into `output` until `until` is in it
  // (true) or `seconds` have passed or kyrhost closed its output (false).
  bool ReadOutputUntil(const std::string& until, std::string& output, int seconds = 30);
  // SIGTERM, then waits up to `seconds`; kyrhost's exit status, or -1 when
  // it had to be killed, -2 when it died of a signal.
  int Stop(int seconds = 60);
  // SIGKILL, as a crash would end it: nothing is written out or closed.
  void Kill();

  // Every data line of every log file under weblog/, without "\r\n".
  std::vector<std::string> LogLines() const;
  // The names of the log files under weblog/.
  std::vector<std::string> LogFiles() const;

 private:
  TempDir root_;
  std::string www_;
  std::vector<std::string> extraArgs_;
  pid_t pid_ = -1;
  int out_ = -1;
  int port_ = 0;
  int tlsPort_ = 0;
  int softFiles_ = 0;
  int hardFiles_ = 0;
};

// The source tree (conf/, www/).
std::string SourceDir();

// The resident memory of process `pid` in KiB, or -1.
long ResidentKiB(pid_t pid);

// Runs a shell command: its standard output, and its exit status in
// `status` (-1 when it did not exit normally).
std::string Shell(const std::string& command, int& status);

// Headless Chromium's DOM of `url` once its scripts ran (at most
// `budgetMs` of virtual time with a budget, else until the load event),
// with a profile under `profileDir`; `status` as Shell gives it.
std::string ChromiumDom(const std::string& url, const std::string& profileDir, int& status,
                        int budgetMs = 0);

// Runs kyrhost with `args` to its end: its exit status (-1 when it did not
// exit by itself within `seconds`), its standard output and error together
// in `output`.
int RunKyrhost(const std::vector<std::string>& args, std::string& output, int seconds = 60);

}  // namespace e2e
