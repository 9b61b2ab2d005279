#pragma once
// kyrhost's command line.

#include <chrono>
#include <string>
#include <vector>

#include "host/hostserver.h"

namespace kyrhost {

struct HostOptions {
  ServerOptions server;
  std::string root;    // ZR_ROOT for the module; empty: keep the environment's
  std::string www;     // web root
  std::string filter;  // module path; empty: libkyrfilter.so beside kyrhost
  std::string user;    // run as this user once the listeners are bound
  // Answered by kyrhost itself, never shown to the module; empty: none.
  std::string healthPath = "/healthz";
  // After SIGTERM or SIGINT the health path answers 503 for this long while
  // everything else is served as before; then the graceful stop begins.
  std::chrono::seconds drain{0};
  bool help = false;
  bool version = false;
  bool check = false;  // check the configuration and exit
};

// Parses argv[1..]. False with a sentence in `error` for an unknown option,
// a missing value, a bad ADDR:PORT, count or number of seconds, or an
// incomplete TLS listener (--tls-listen needs --tls-cert and --tls-key).
bool ParseOptions(const std::vector<std::string>& args, HostOptions& options, std::string& error);

// "ADDR:PORT" or "[IPv6]:PORT" into `out`.
bool ParseListenAddress(const std::string& text, ListenAddress& out);

extern const char* const kUsage;

}  // namespace kyrhost
