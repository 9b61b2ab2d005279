// Drives whole requests through the filter's entry points with the fake IIS:
// the input is cut at NUL bytes into the URL, query, Cookie header, user
// agent, client address, two request headers and the status. After each
// request the line the request record would log is checked: one line, the
// same number of columns every time, no control character inside.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "filter/iisrequestdata.h"
#include "filter/isapi.h"
#include "fuzz/fuzzmodule.h"
#include "logout/lfmlogrecord.h"
#include "tests/support/fakeiis.h"
#include "tests/support/filtertest.h"

namespace {

std::vector<std::string> Parts(const uint8_t* data, size_t size, size_t count) {
  std::vector<std::string> parts(count);
  size_t p = 0;
  for (size_t i = 0; i < size && p < count; ++i) {
    if (data[i] == 0)
      ++p;
    else
      parts[p] += static_cast<char>(data[i]);
  }
  return parts;
}

bool HasControl(const std::string& text) {
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F)
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  HTTP_FILTER_VERSION v{};
  StartModuleOnFreshRoot(
      "kyrfuzz",
      FilterConfig(
          "enableheaderparams = true\nissuep3p = true\np3pfrom = hitorglobal\nreplayinprogress = "
          "true\ncfgbyhit = true\nhostedmodel = true\nkyridbacktoversion = 1\n",
          "[auditlog]\nauditfilename = /dev/null\n[logrotation]\nrotationperiod = none\n"
          "[servicemodel]\nservicemodel = true\n"
          "[cookieserver]\ncookieversion = 2\nvalidateoldcookie = true\nmagiccode = fuzz\n"),
      &v);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> p = Parts(data, size, 8);
  FakeIIS iis;
  iis.Variable("URL", p[0]).Variable("QUERY_STRING", p[1]).Variable("REQUEST_METHOD", "GET");
  iis.Variable("HTTP_COOKIE", p[2]).Variable("HTTP_USER_AGENT", p[3]);
  iis.Variable("REMOTE_ADDR", p[4]).Variable("SERVER_PROTOCOL", "HTTP/1.1");
  iis.Header("Accept", p[5]).Header("Host", p[6]);
  iis.status = p[7].empty() ? 200 : static_cast<DWORD>(static_cast<unsigned char>(p[7][0]));
  iis.countReads = false;
  iis.Run();

  // Whatever the request held, every response header the filter set and
  // the redirect it sent are whole header lines: no CR, LF or other
  // control character inside, and the redirect stays on this host.
  for (const auto& header : iis.responseHeaders)
    if (HasControl(header.second))
      __builtin_trap();
  if (!iis.sentHeaders.empty()) {
    if (iis.sentHeaders.compare(0, 11, "Location: /") != 0 || iis.sentHeaders[11] == '/' ||
        iis.sentHeaders.compare(iis.sentHeaders.size() - 4, 4, "\r\n\r\n") != 0)
      __builtin_trap();
    size_t at = 0;
    for (size_t end; (end = iis.sentHeaders.find("\r\n", at)) != std::string::npos; at = end + 2)
      if (HasControl(iis.sentHeaders.substr(at, end - at)))
        __builtin_trap();
  }

  iisRequestData* record = iisRequestDataPool::GetRequestData();
  std::string line;
  try {
    lfmLogRecord::FormatLine(line, 0, *record, true);
  } catch (...) {
    return 0;
  }
  size_t columns = 1;
  for (size_t i = 0; i + 2 < line.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (c < 0x20 || c == 0x7F)
      __builtin_trap();
    if (c == ' ')
      ++columns;
  }
  static size_t expected = columns;
  if (columns != expected || line.compare(line.size() - 2, 2, "\r\n") != 0)
    __builtin_trap();
  return 0;
}
