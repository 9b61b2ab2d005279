// kyrhost: the HTTP server that hosts the collector's filter module on
// Linux, driving it the way IIS drives an ISAPI filter.

#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "filter/kyrhostapi.h"
#include "host/filtermodule.h"
#include "host/health.h"
#include "host/hostoptions.h"
#include "host/hostserver.h"

namespace {

int Fail(const std::string& message) {
  std::fprintf(stderr, "kyrhost: %s\n", message.c_str());
  return 1;
}

std::string RealDirectory(const std::string& path, std::string& error, const char* what) {
  char resolved[PATH_MAX];
  struct stat st;
  if (!realpath(path.c_str(), resolved) || stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = std::string(what) + " " + path + " is not a directory";
    return "";
  }
  std::string result = resolved;
  while (result.size() > 1 && result.back() == '/')
    result.pop_back();
  if (result == "/")
    result.clear();  // the root itself: URLs start with "/"
  return result;
}

std::string BesideExecutable(const std::string& name) {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0)
    return name;
  std::string dir(self, static_cast<size_t>(n));
  dir.erase(dir.rfind('/') + 1);
  return dir + name;
}

// Every connection is a descriptor: the soft limit (often 1024) is raised
// as far as the hard one allows. The current limit is returned.
rlim_t RaiseOpenFilesLimit() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return 0;
  if (limit.rlim_cur >= limit.rlim_max)
    return limit.rlim_cur;
  struct rlimit raised = limit;
  // An unlimited hard limit cannot be the soft one; the kernel's own
  // ceiling (fs.nr_open, 1 << 20 by default) is.
  raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? rlim_t{1} << 20 : limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
    return raised.rlim_cur;
  return limit.rlim_cur;
}

// Becomes `name` for good (groups, group, user), so that a server bound to a
// privileged port does not go on running as root. False with a sentence in
// `error`.
bool BecomeUser(const std::string& name, std::string& error) {
  errno = 0;
  struct passwd* pw = getpwnam(name.c_str());
  if (!pw) {
    error = "--user: no user named " + name;
    return false;
  }
  uid_t uid = pw->pw_uid;
  gid_t gid = pw->pw_gid;
  if (geteuid() == uid && getegid() == gid)
    return true;
  if (initgroups(name.c_str(), gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
    error = "--user: cannot become " + name + ": " + std::strerror(errno);
    return false;
  }
  // Root must not be regained.
  if (uid != 0 && setuid(0) == 0) {
    error = "--user: still able to regain root after becoming " + name;
    return false;
  }
  return true;
}

// A tag request is answered with the content image of its own directory
// of the web root; a tag at the root (the usual place, and every hosted
// site's) finds none here and would be answered 404. A tag in another
// directory takes that directory's image, so this is a warning, not a
// refusal. Empty when the image is there.
std::string MissingContentImage(const kyrhost::FilterModule& module, const std::string& webRoot) {
  std::string content = module.Info(KYR_INFO_CONTENT_FILE);
  if (content.empty())
    return "";  // a module that does not say
  if (content[0] != '/')
    content.insert(0, "/");
  std::string path = webRoot + content;
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    return "";
  return "the web root " + (webRoot.empty() ? std::string("/") : webRoot) +
         " has no content image " + content.substr(1) +
         " (contentfilename): a tag at /kyr.gif, or a hosted site's, would be answered 404 "
         "and not logged; copy www/zr_kyr.gif there or name another web root with --www";
}

// What the start wrote and where, so that a warning in the audit file is
// not missed behind "serving".
std::string StartMessages(const kyrhost::FilterModule& module) {
  std::string written = module.Info(KYR_INFO_ENTRIES_WRITTEN);
  std::string toStderr = module.Info(KYR_INFO_ENTRIES_STDERR);
  std::string audit = module.Info(KYR_INFO_AUDIT_FILE);
  if (written.empty())
    return "the module does not say what its start wrote";
  long total = std::atol(written.c_str());
  long onStderr = std::atol(toStderr.c_str());
  if (audit.empty()) {
    // Messages go to the system log only, where nothing counts them.
    std::string text = "the module's messages go to the system log (auditlog type = system)";
    if (onStderr > 0)
      text += "; " + std::to_string(onStderr) + " went to standard error, above";
    return text;
  }
  if (total == 0)
    return "the start wrote no message (messages go to " + audit + ")";
  std::string text =
      "the start wrote " + std::to_string(total) + (total == 1 ? " message" : " messages");
  if (onStderr == total)
    return text + " to standard error (above)";
  text += " to " + audit;
  if (onStderr > 0)
    text += " (" + std::to_string(onStderr) + " of them to standard error, above)";
  return text + "; kyrhost --check prints them too";
}

// kyrhost --check: the module reads and examines the configuration as a
// start would, printing its reports and warnings; then the web root and the
// TLS files are looked at. Nothing is bound, served or written.
int Check(const kyrhost::HostOptions& options, const std::string& webRoot) {
  std::printf("kyrhost: checking the configuration of %s with %s\n", getenv("ZR_ROOT"),
              options.filter.c_str());
  std::fflush(stdout);
  kyrhost::FilterModule module;
  std::string error;
  int rc = module.Check(options.filter, error);
  if (rc == 2) {
    std::printf("error: %s\n", error.c_str());
    rc = 1;
  } else {
    std::string missing = MissingContentImage(module, webRoot);
    if (!missing.empty())
      std::printf("warning: %s\n", missing.c_str());
  }
  // The audit file is not made with its directory: without one the
  // module's messages go to standard error, unseen under a service manager.
  std::string logDir = std::string(getenv("ZR_ROOT")) + "/log";
  struct stat st;
  if (stat(logDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
      access(logDir.c_str(), W_OK | X_OK) != 0)
    std::printf(
        "warning: %s is not a writable directory: the module's messages (the audit "
        "file) will go to standard error, unless auditlog's type is system\n",
        logDir.c_str());
  if (options.server.tls) {
    for (const std::string& file : {options.server.tlsCert, options.server.tlsKey}) {
      if (access(file.c_str(), R_OK) != 0) {
        std::printf("error: cannot read %s: %s\n", file.c_str(), std::strerror(errno));
        rc = 1;
      }
    }
  }
  std::printf("kyrhost: the configuration is %s\n", rc == 0 ? "usable" : "NOT usable");
  std::fflush(stdout);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  kyrhost::HostOptions options;
  std::string error;
  if (!kyrhost::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::fprintf(stderr, "kyrhost: %s\n%s", error.c_str(), kyrhost::kUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(kyrhost::kUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("kyrhost %s\n", KYR_VERSION);
    return 0;
  }

  kyrhost::HostSettings host;
  host.webRoot = RealDirectory(options.www, error, "the web root");
  if (!error.empty())
    return Fail(error);
  if (!options.root.empty()) {
    std::string root = RealDirectory(options.root, error, "the root");
    if (!error.empty())
      return Fail(error);
    setenv("ZR_ROOT", root.empty() ? "/" : root.c_str(), 1);
  } else if (!getenv("ZR_ROOT")) {
    return Fail("no installation root: give --root DIR or set ZR_ROOT");
  }
  if (options.filter.empty())
    options.filter = BesideExecutable("libkyrfilter.so");
  if (options.check) {
    // Checked as the user the collector would run as: its directories
    // must be writable for that user, not for whoever runs the check.
    if (!options.user.empty() && !BecomeUser(options.user, error))
      return Fail(error);
    return Check(options, host.webRoot);
  }

  // SIGTERM and SIGINT are taken by sigwait below; every thread started from
  // here on (the module's heartbeats, the workers) inherits the mask.
  signal(SIGPIPE, SIG_IGN);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  rlim_t files = RaiseOpenFilesLimit();

  // Listeners and the TLS key first, while privileges last; then the user
  // the collector runs as, before the module opens a single log file.
  kyrhost::Server server(host, options.server);
  if (!server.Bind(error))
    return Fail(error);
  if (!options.user.empty() && !BecomeUser(options.user, error))
    return Fail(error);

  kyrhost::FilterModule module;
  if (!module.Load(options.filter, error))
    return Fail(error);
  std::string missingImage = MissingContentImage(module, host.webRoot);
  host.module = &module;
  kyrhost::Health health;
  health.SetProbe([&module] { return module.Info(KYR_INFO_LOG_FAULT); });
  if (!options.healthPath.empty()) {
    host.healthPath = options.healthPath;
    host.health = &health;
  }
  server.Run();
  std::printf("kyrhost: %s loaded from %s\n", module.Description().c_str(), options.filter.c_str());
  std::printf("kyrhost: serving %s on http://%s:%u with %d worker threads\n",
              host.webRoot.empty() ? "/" : host.webRoot.c_str(),
              options.server.listen.address.c_str(), static_cast<unsigned>(server.Port()),
              options.server.threads);
  std::printf("kyrhost: at most %d connections per worker (open-files limit %llu)\n",
              server.ConnectionCap(), static_cast<unsigned long long>(files));
  if (options.server.tls)
    std::printf("kyrhost: and on https://%s:%u\n", options.server.tlsListen.address.c_str(),
                static_cast<unsigned>(server.TlsPort()));
  if (!options.healthPath.empty())
    std::printf("kyrhost: health at %s\n", options.healthPath.c_str());
  std::printf("kyrhost: %s\n", StartMessages(module).c_str());
  if (!missingImage.empty())
    std::printf("kyrhost: warning: %s\n", missingImage.c_str());
  std::fflush(stdout);

  int signal = 0;
  while (sigwait(&stopSignals, &signal) != 0) {
  }
  std::printf("kyrhost: stopping (signal %d)\n", signal);
  health.BeginStop();
  if (options.drain.count() > 0) {
    // A balancer that checks the health path takes this instance out of
    // rotation meanwhile; a second signal ends the wait.
    std::printf(
        "kyrhost: draining for %lld s: %s, the rest is served as before\n",
        static_cast<long long>(options.drain.count()),
        host.health ? (options.healthPath + " answers 503").c_str() : "there is no health path");
    std::fflush(stdout);
    struct timespec end {};
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += static_cast<time_t>(options.drain.count());
    for (;;) {
      struct timespec now {};
      clock_gettime(CLOCK_MONOTONIC, &now);
      struct timespec left {};
      left.tv_sec = end.tv_sec - now.tv_sec;
      left.tv_nsec = end.tv_nsec - now.tv_nsec;
      if (left.tv_nsec < 0) {
        left.tv_nsec += 1000000000L;
        --left.tv_sec;
      }
      if (left.tv_sec < 0 || sigtimedwait(&stopSignals, nullptr, &left) >= 0 || errno != EINTR)
        break;
    }
  }
  std::fflush(stdout);
  server.Stop();
  module.Terminate();
  std::printf("kyrhost: stopped\n");
  return 0;
}
