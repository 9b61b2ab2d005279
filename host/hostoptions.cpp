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
    "  --trusted-proxy ADDR    a load balancer whose X-Forwarded-For names the client\n"
    "                          (may be given more than once)\n"
    "  --help                  this text\n"
    "SIGTERM or SIGINT stops gracefully: requests in flight are answered and\n"
    "every log is written out before kyrhost exits.\n";

namespace {

bool ParsePort(const std::string& text, uint16_t& port) {
  if (text.empty() || text.size() > 5)
    return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 65535)
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
    } else if (a == "--threads") {
      int n = 0;
      bool ok = !v.empty() && v.size() <= 4;
      for (char c : v)
        ok = ok && c >= '0' && c <= '9';
      if (ok)
        n = std::stoi(v);
      if (!ok || n < 1 || n > 1024) {
        error = "--threads wants a number from 1 to 1024, not \"" + v + "\"";
        return false;
      }
      options.server.threads = n;
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
