#include "host/hostoptions.h"

#include <thread>

namespace kyrhost {

const char* const kUsage =
    "usage: kyrhost [options]\n"
    "  --listen ADDR:PORT      plain HTTP listener (default 127.0.0.1:8080; port 0: any)\n"
    "  --root DIR              installation root of the collector (sets ZR_ROOT)\n"
    "  --www DIR               web root to serve (default: www)\n"
    "  --filter PATH           filter module (default: libkyrfilter.so beside kyrhost)\n"
    "  --threads N             worker threads (default: the number of cores)\n"
    "  --tls-listen ADDR:PORT  also an HTTPS listener, with:\n"
    "  --tls-cert FILE         its PEM certificate chain\n"
    "  --tls-key FILE          its PEM private key\n"
    "  --trusted-proxy ADDR    a load balancer whose X-Forwarded-For names the client,\n"
    "                          or ADDR/PREFIX for its subnet (may be given more than once)\n"
    "  --user NAME             run as this user once the listeners are bound\n"
    "  --max-connections N     open connections per worker (default 10000, also held\n"
    "                          under the open-files limit); past it the idlest closes\n"
    "  --max-connections-per-client N\n"
    "                          per client address and worker (default 128; 0: no cap);\n"
    "                          past it new connections are closed; trusted proxies exempt\n"
    "  --request-timeout S     a request's head and body must arrive within S seconds\n"
    "                          of its first byte (default 20)\n"
    "  --idle-timeout S        keep-alive wait, and an unread response (default 60)\n"
    "  --stop-timeout S        a graceful stop closes what is still open after S\n"
    "                          seconds (default 10)\n"
    "  --health-path PATH      answered by kyrhost itself: 200 while hits can be\n"
    "                          logged, 503 when not and once a stop begins\n"
    "                          (default /healthz; \"\" for none)\n"
    "  --drain S               on SIGTERM or SIGINT, answer the health path 503 for S\n"
    "                          seconds, still serving, before stopping (default 0)\n"
    "  --check                 check the configuration as a start would, print every\n"
    "                          report and warning, and exit: 0 usable, 1 not\n"
    "  --version               kyrhost's version\n"
    "  --help                  this text\n"
    "SIGTERM or SIGINT stops gracefully: requests in flight are answered and\n"
    "every log is written out before kyrhost exits.\n";

namespace {

// A decimal number from `low` to `high`.
bool ParseNumber(const std::string& text, long low, long high, long& out) {
  if (text.empty() || text.size() > 9)
    return false;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high)
    return false;
  out = value;
  return true;
}

bool ParsePort(const std::string& text, uint16_t& port) {
  long value = 0;
  if (!ParseNumber(text, 0, 65535, value))
    return false;
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

bool ParseListenAddress(const std::string& text, ListenAddress& out) {
  std::string address;
  std::string port;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
      return false;
    address = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || text.find(':') != colon)
      return false;
    address = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (address.empty() || !ParsePort(port, out.port))
    return false;
  out.address = address;
  return true;
}

bool ParseOptions(const std::vector<std::string>& args, HostOptions& options, std::string& error) {
  unsigned cores = std::thread::hardware_concurrency();
  options.server.threads = cores ? static_cast<int>(cores) : 1;
  options.www = "www";
  bool cert = false;
  bool key = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      options.help = true;
      return true;
    }
    if (a == "--version") {
      options.version = true;
      return true;
    }
    if (a == "--check") {
      options.check = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      error = a.rfind("--", 0) == 0 ? "option " + a + " needs a value" : "unknown option " + a;
      return false;
    }
    const std::string& v = args[++i];
    if (a == "--listen") {
      if (!ParseListenAddress(v, options.server.listen)) {
        error = "--listen wants ADDR:PORT, not \"" + v + "\"";
        return false;
      }
    } else if (a == "--tls-listen") {
      if (!ParseListenAddress(v, options.server.tlsListen)) {
        error = "--tls-listen wants ADDR:PORT, not \"" + v + "\"";
        return false;
      }
      options.server.tls = true;
    } else if (a == "--tls-cert") {
      options.server.tlsCert = v;
      cert = true;
    } else if (a == "--tls-key") {
      options.server.tlsKey = v;
      key = true;
    } else if (a == "--trusted-proxy") {
      options.server.trustedProxies.push_back(v);
    } else if (a == "--root") {
      options.root = v;
    } else if (a == "--www") {
      options.www = v;
    } else if (a == "--filter") {
      options.filter = v;
    } else if (a == "--health-path") {
      if (!v.empty() && (v[0] != '/' || v.find_first_of("?# \t") != std::string::npos)) {
        error =
            "--health-path wants a path beginning with \"/\" (or \"\" for none), not \"" + v + "\"";
        return false;
      }
      options.healthPath = v;
    } else if (a == "--user") {
      if (v.empty()) {
        error = "--user wants a user name";
        return false;
      }
      options.user = v;
    } else if (a == "--threads" || a == "--max-connections" ||
               a == "--max-connections-per-client" || a == "--request-timeout" ||
               a == "--idle-timeout" || a == "--stop-timeout" || a == "--drain") {
      struct Numeric {
        const char* name;
        long low;
        long high;
      };
      static const Numeric kNumerics[] = {{"--threads", 1, 1024},
                                          {"--max-connections", 0, 1000000},
                                          {"--max-connections-per-client", 0, 1000000},
                                          {"--request-timeout", 1, 3600},
                                          {"--idle-timeout", 1, 86400},
                                          {"--stop-timeout", 0, 3600},
                                          {"--drain", 0, 3600}};
      const Numeric* n = nullptr;
      for (const Numeric& candidate : kNumerics)
        if (a == candidate.name)
          n = &candidate;
      long value = 0;
      if (!ParseNumber(v, n->low, n->high, value)) {
        error = a + " wants a number from " + std::to_string(n->low) + " to " +
                std::to_string(n->high) + ", not \"" + v + "\"";
        return false;
      }
      ServerOptions& s = options.server;
      if (a == "--threads")
        s.threads = static_cast<int>(value);
      else if (a == "--max-connections")
        s.maxConnections = static_cast<int>(value);
      else if (a == "--max-connections-per-client")
        s.maxClientConnections = static_cast<int>(value);
      else if (a == "--request-timeout")
        s.requestTimeout = std::chrono::seconds(value);
      else if (a == "--idle-timeout")
        s.idleTimeout = std::chrono::seconds(value);
      else if (a == "--drain")
        options.drain = std::chrono::seconds(value);
      else
        s.stopTimeout = std::chrono::seconds(value);
    } else {
      error = "unknown option " + a;
      return false;
    }
  }
  if (options.server.tls && (!cert || !key)) {
    error = "--tls-listen needs --tls-cert and --tls-key";
    return false;
  }
  if (!options.server.tls && (cert || key)) {
    error = "--tls-cert and --tls-key need --tls-listen";
    return false;
  }
  return true;
}

}  // namespace kyrhost
