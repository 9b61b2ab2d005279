// Feeds raw bytes to kyrhost's request handling as one connection would
// receive them: Beast's parser, then each complete request through the real
// filter module (in process) and the response preparation. Every response
// head must be well formed: a status line, fields ending in CR LF with no
// other control character, the empty line, and a Content-Length that frames
// the body (in memory, or the file streamed after the head).
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "filter/isapi.h"
#include "fuzz/fuzzmodule.h"
#include "host/filecache.h"
#include "host/filtermodule.h"
#include "host/httpexchange.h"
#include "host/requestparser.h"
#include "tests/support/filtertest.h"

namespace {

kyrhost::FilterModule g_module;
kyrhost::HostSettings g_host;
kyrhost::Health g_health;
kyrhost::ConnectionInfo g_connection;

void CheckHead(std::string_view head, std::string_view body, uint64_t streamed, bool headOnly) {
  if (head.substr(0, 9) != "HTTP/1.1 " || head.size() < 4 ||
      head.substr(head.size() - 4) != "\r\n\r\n")
    abort();
  size_t length = std::string_view::npos;
  size_t pos = head.find("\r\n") + 2;
  while (pos < head.size() - 2) {
    size_t end = head.find("\r\n", pos);
    std::string_view line = head.substr(pos, end - pos);
    for (char ch : line) {
      auto c = static_cast<unsigned char>(ch);
      if ((c < 0x20 && c != '\t') || c == 0x7f)
        abort();
    }
    if (line.find(':') == std::string_view::npos || line[0] == ' ')
      abort();
    if (line.substr(0, 16) == "Content-Length: ")
      length = std::strtoul(std::string(line.substr(16)).c_str(), nullptr, 10);
    pos = end + 2;
  }
  if (length == std::string_view::npos || (!headOnly && length != body.size() + streamed) ||
      (headOnly && (!body.empty() || streamed != 0)))
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  HTTP_FILTER_VERSION v{};
  std::string root = StartModuleOnFreshRoot(
      "kyrhostfuzz",
      FilterConfig(
          "enableheaderparams = true\nissuep3p = true\np3pfrom = hitorglobal\ncfgbyhit = true\n"
          "hostedmodel = true\n",
          "[auditlog]\nauditfilename = /dev/null\n[logrotation]\nrotationperiod = none\n"
          "[cookieserver]\ncookieversion = 2\nsamesite = None\n"),
      &v);
  for (const char* d : {"/www", "/www/dir"})
    mkdir((root + d).c_str(), 0755);
  std::ofstream(root + "/www/zr_kyr.gif") << "GIF89a";
  std::ofstream(root + "/www/dir/index.html") << "<p>index</p>";
  g_module.UseForTest(&HttpFilterProc, v.dwFlags);
  g_host.webRoot = root + "/www";
  g_host.module = &g_module;
  // The health path is answered by kyrhost itself: fuzzed too.
  g_health.SetProbe([] { return std::string(); });
  g_host.healthPath = "/healthz";
  g_host.health = &g_health;
  g_connection.remoteAddr = "192.0.2.1";
  g_connection.remotePort = "40000";
  g_connection.localAddr = "127.0.0.1";
  g_connection.localPort = "8080";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static kyrhost::FileCache files;
  kyrhost::HttpExchange exchange(g_host, g_connection, files);
  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    exchange.Request().Clear();
    kyrhost::RequestParser parser(exchange.Request());
    boost::system::error_code ec;
    size_t used = parser.put(boost::asio::buffer(input.data(), input.size()), ec);
    input.remove_prefix(used);
    if (ec == boost::beast::http::error::need_more)
      break;
    if (ec) {
      exchange.Refuse(parser.RefusalStatus(ec), "Sun, 06 Dec 2026 10:00:00 GMT");
      CheckHead(exchange.Head(), exchange.Body(), exchange.BodyFileSize(),
                exchange.Request().method == "HEAD");
      break;
    }
    if (!parser.is_done())
      break;
    exchange.Request().keepAlive = parser.keep_alive();
    exchange.Handle("Sun, 06 Dec 2026 10:00:00 GMT", false, kyrhost::FileCache::Clock::now());
    if (exchange.HasResponse()) {
      bool headOnly = exchange.Request().method == "HEAD" ||
                      exchange.Head().find(" Object Moved\r\n") != std::string_view::npos;
      CheckHead(exchange.Head(), exchange.Body(), exchange.BodyFileSize(), headOnly);
    }
    if (exchange.CloseAfter() || used == 0)
      break;
  }
  return 0;
}
