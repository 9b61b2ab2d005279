// The filter module driven through its three exports the way IIS drives it,
// one scenario per run:
//   kyr_isapi_harness <module> <scenario> <root>
// The harness writes <root>/cfg/kyr.cfg (and the site map where the scenario
// needs one), points ZR_ROOT at the root, pins the test variant's clock
// through KYR_TEST_CLOCK, loads the module, runs the scenario's requests and
// unloads it. Stdout is a transcript of what the module answered, one line
// per event, with nothing in it that depends on the platform: the same run
// of the Linux module and of the Windows DLL must print the same bytes.
//
// On Windows the structures come from the platform's <httpfilt.h>, not from
// the project's copy, so that a layout the project got wrong shows here.

#if defined(_WIN32)
#include <windows.h>

#include <fcntl.h>
#include <httpfilt.h>
#include <io.h>
#else
#include <dlfcn.h>
#include <unistd.h>

#include "src/filter/isapi.h"
#endif

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

typedef BOOL(WINAPI* GetFilterVersionFn)(HTTP_FILTER_VERSION*);
typedef DWORD(WINAPI* HttpFilterProcFn)(HTTP_FILTER_CONTEXT*, DWORD, LPVOID);
typedef BOOL(WINAPI* TerminateFilterFn)(DWORD);

using Pairs = std::vector<std::pair<std::string, std::string>>;

void Print(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
  return text;
}

// CR and LF made visible, so that every event stays on one line.
std::string Visible(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string WithoutColon(const char* name) {
  std::string n = name ? name : "";
  if (!n.empty() && n.back() == ':')
    n.pop_back();
  return n;
}

void SetEnv(const char* name, const std::string& value) {
#if defined(_WIN32)
  // The module reads ZR_ROOT through the Win32 environment, the test clock
  // through the C runtime's: both are set.
  ::SetEnvironmentVariableA(name, value.c_str());
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

void SetLastErrorIfWindows(DWORD code) {
#if defined(_WIN32)
  ::SetLastError(code);
#else
  (void)code;
#endif
}

// ---- the module ----

class Module {
 public:
  bool Load(const std::string& path) {
#if defined(_WIN32)
    HMODULE h = ::LoadLibraryA(path.c_str());
    handle_ = h;
    if (!h) {
      error_ = "LoadLibraryA failed, error " + std::to_string(::GetLastError());
      return false;
    }
    getVersion = reinterpret_cast<GetFilterVersionFn>(
        reinterpret_cast<void*>(::GetProcAddress(h, "GetFilterVersion")));
    proc = reinterpret_cast<HttpFilterProcFn>(
        reinterpret_cast<void*>(::GetProcAddress(h, "HttpFilterProc")));
    terminate = reinterpret_cast<TerminateFilterFn>(
        reinterpret_cast<void*>(::GetProcAddress(h, "TerminateFilter")));
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
      error_ = dlerror();
      return false;
    }
    getVersion = reinterpret_cast<GetFilterVersionFn>(dlsym(handle_, "GetFilterVersion"));
    proc = reinterpret_cast<HttpFilterProcFn>(dlsym(handle_, "HttpFilterProc"));
    terminate = reinterpret_cast<TerminateFilterFn>(dlsym(handle_, "TerminateFilter"));
#endif
    if (!getVersion || !proc || !terminate) {
      error_ = "an entry point is missing";
      return false;
    }
    return true;
  }

  void Unload() {
#if defined(_WIN32)
    if (handle_)
      ::FreeLibrary(static_cast<HMODULE>(handle_));
#else
    if (handle_)
      dlclose(handle_);
#endif
    handle_ = nullptr;
  }

  const std::string& Error() const {
    return error_;
  }

  GetFilterVersionFn getVersion = nullptr;
  HttpFilterProcFn proc = nullptr;
  TerminateFilterFn terminate = nullptr;

 private:
  void* handle_ = nullptr;
  std::string error_;
};

// ---- one request as the browser sends it ----

struct Request {
  std::string label;
  std::string url;
  std::string query;
  Pairs headers;          // request headers, names without ":"
  bool sendJar = false;   // the Cookie header is the jar's cookies (appended to any given)
  std::string cookiePad;  // put before the jar's cookies (other sites' cookies)
};

// ---- the fake server ----
//
// One connection: a filter context, the request's server variables and
// headers, the response headers the module sets, ServerSupportFunction for
// the module's own response. Buffer conventions are those of IIS: a buffer
// that is too small gets FALSE, the size needed and ERROR_INSUFFICIENT_BUFFER;
// a value that does not exist gets FALSE and ERROR_INVALID_INDEX.
class FakeServer {
 public:
  explicit FakeServer(HttpFilterProcFn proc) : proc_(proc) {
    context_.cbSize = sizeof context_;
    context_.Revision = 0x60000;
    context_.ServerContext = this;
    context_.GetServerVariable = &GetServerVariable;
    context_.AddResponseHeaders = &AddResponseHeaders;
    context_.WriteClient = &WriteClient;
    context_.AllocMem = &AllocMem;
    context_.ServerSupportFunction = &ServerSupportFunction;
    preproc_.GetHeader = &GetRequestHeader;
    preproc_.SetHeader = &RefuseHeaderChange;
    preproc_.AddHeader = &RefuseHeaderChange;
    send_.GetHeader = &GetResponseHeader;
    send_.SetHeader = &SetResponseHeader;
    send_.AddHeader = &AddResponseHeader;
  }

  void Run(const Request& request) {
    Print("request " + request.label + ": GET " + request.url +
          (request.query.empty() ? "" : "?" + request.query));
    variables_.clear();
    headers_ = request.headers;
    response_.clear();
    allocations_.clear();
    std::string cookie;
    for (const auto& [name, value] : request.headers)
      if (EqualsNoCase(name, "Cookie"))
        cookie = value;
    if (request.sendJar) {
      cookie = request.cookiePad;
      for (const auto& [name, value] : jar_)
        cookie += (cookie.empty() ? "" : "; ") + name + "=" + value;
      if (!cookie.empty())  // an empty jar sends no Cookie header
        headers_.emplace_back("Cookie", cookie);
    }
    variables_ = {
        {"URL", request.url},         {"QUERY_STRING", request.query}, {"REQUEST_METHOD", "GET"},
        {"REMOTE_ADDR", "192.0.2.7"}, {"SERVER_PROTOCOL", "HTTP/1.1"}, {"HTTPS", "off"}};
    for (const auto& [name, value] : headers_) {
      std::string variable = "HTTP_";
      for (char c : name)
        variable += c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      variables_.emplace_back(variable, value);
    }

    Print("  preproc-headers -> " + Hex(proc_(&context_, SF_NOTIFY_PREPROC_HEADERS, &preproc_)));

    // IIS's physical path: the web root and the URL with native separators.
    std::string path = "C:\\inetpub\\wwwroot" + request.url;
    for (char& c : path)
      if (c == '/')
        c = '\\';
    std::memset(physical_, 0, sizeof physical_);
    std::memcpy(physical_, path.c_str(), std::min(path.size(), sizeof physical_ - 1));
    HTTP_FILTER_URL_MAP map{};
    map.pszURL = request.url.c_str();
    map.pszPhysicalPath = physical_;
    map.cbPathBuff = sizeof physical_;
    DWORD mapped = proc_(&context_, SF_NOTIFY_URL_MAP, &map);
    Print("  url-map -> " + Hex(mapped) + " path=" + physical_);

    send_.HttpStatus = 200;
    Print("  send-response -> " + Hex(proc_(&context_, SF_NOTIFY_SEND_RESPONSE, &send_)));
    for (const auto& [name, value] : response_)
      Print("  response-header " + name + ": " + value);
  }

 private:
  static FakeServer* From(HTTP_FILTER_CONTEXT* pfc) {
    return static_cast<FakeServer*>(pfc->ServerContext);
  }

  static BOOL CopyOut(const std::string& name, const std::string& value, LPVOID buffer,
                      LPDWORD size) {
    DWORD needed = static_cast<DWORD>(value.size() + 1);
    if (!size || !buffer || *size < needed) {
      Print("  short-buffer " + name + " offered=" + std::to_string(size ? *size : 0) +
            " needed=" + std::to_string(needed));
      if (size)
        *size = needed;
      SetLastErrorIfWindows(122);  // ERROR_INSUFFICIENT_BUFFER
      return FALSE;
    }
    std::memcpy(buffer, value.c_str(), needed);
    *size = needed;
    return TRUE;
  }

  static BOOL Missing() {
    SetLastErrorIfWindows(1413);  // ERROR_INVALID_INDEX
    return FALSE;
  }

  // Records the module's changes to the response as they happen: the same
  // calls in the same order on both platforms.
  void Record(const char* op, const std::string& name, const std::string& value) {
    Print(std::string("  ") + op + " " + name + ": " + Visible(value));
  }

  static BOOL WINAPI GetServerVariable(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                       LPDWORD size) {
    FakeServer* self = From(pfc);
    for (const auto& [n, v] : self->variables_)
      if (n == name)
        return CopyOut(n, v, buffer, size);
    return Missing();
  }

  static BOOL WINAPI AddResponseHeaders(HTTP_FILTER_CONTEXT* pfc, LPSTR headers, DWORD) {
    From(pfc)->Record("add-response-headers", "", headers ? headers : "");
    return TRUE;
  }

  static BOOL WINAPI WriteClient(HTTP_FILTER_CONTEXT*, LPVOID, LPDWORD, DWORD) {
    Print("  write-client");
    return TRUE;
  }

  static void* WINAPI AllocMem(HTTP_FILTER_CONTEXT* pfc, DWORD size, DWORD) {
    FakeServer* self = From(pfc);
    Print("  alloc-mem " + std::to_string(size));
    self->allocations_.emplace_back(new char[size ? size : 1]());
    return self->allocations_.back().get();
  }

  static BOOL WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT* pfc, enum SF_REQ_TYPE request,
                                           PVOID data, ULONG_PTR ul1, ULONG_PTR) {
    FakeServer* self = From(pfc);
    if (request != SF_REQ_SEND_RESPONSE_HEADER) {
      Print("  server-support " + std::to_string(static_cast<int>(request)) + " refused");
      SetLastErrorIfWindows(50);  // ERROR_NOT_SUPPORTED
      return FALSE;
    }
    std::string status = data ? static_cast<const char*>(data) : "";
    std::string headers = ul1 ? reinterpret_cast<const char*>(ul1) : "";
    Print("  send-response-header status=" + status);
    size_t at = 0;
    while (at < headers.size()) {
      size_t end = headers.find("\r\n", at);
      std::string line = headers.substr(at, end == std::string::npos ? end : end - at);
      Print("    | " + Visible(line) + (end == std::string::npos ? " (no CR LF)" : ""));
      self->TakeCookie(line);
      at = end == std::string::npos ? headers.size() : end + 2;
    }
    // IIS passes the filter's own response through SEND_RESPONSE once more.
    HTTP_FILTER_SEND_RESPONSE again = self->send_;
    again.HttpStatus = 303;
    Print("  send-response(303) -> " + Hex(self->proc_(pfc, SF_NOTIFY_SEND_RESPONSE, &again)));
    return TRUE;
  }

  static BOOL WINAPI GetRequestHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                      LPDWORD size) {
    FakeServer* self = From(pfc);
    std::string wanted = WithoutColon(name);
    for (const auto& [n, v] : self->headers_)
      if (EqualsNoCase(n, wanted)) {
        BOOL ok = CopyOut(std::string(name), v, buffer, size);
        Print(std::string("  get-header ") + name + (ok ? " found" : " short"));
        return ok;
      }
    Print(std::string("  get-header ") + name + " missing");
    return Missing();
  }

  static BOOL WINAPI GetResponseHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                       LPDWORD size) {
    FakeServer* self = From(pfc);
    std::string wanted = WithoutColon(name);
    for (const auto& [n, v] : self->response_)
      if (EqualsNoCase(n, wanted))
        return CopyOut(std::string(name), v, buffer, size);
    return Missing();
  }

  static BOOL WINAPI SetResponseHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
    FakeServer* self = From(pfc);
    std::string n = WithoutColon(name);
    std::string v = value ? value : "";
    self->Record("set-header", n, v);
    self->TakeCookie(n + ": " + v);
    for (auto& h : self->response_)
      if (EqualsNoCase(h.first, n)) {
        h.second = v;
        return TRUE;
      }
    self->response_.emplace_back(n, v);
    return TRUE;
  }

  static BOOL WINAPI AddResponseHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
    FakeServer* self = From(pfc);
    std::string n = WithoutColon(name);
    std::string v = value ? value : "";
    self->Record("add-header", n, v);
    self->TakeCookie(n + ": " + v);
    self->response_.emplace_back(n, v);
    return TRUE;
  }

  static BOOL WINAPI RefuseHeaderChange(HTTP_FILTER_CONTEXT*, LPSTR name, LPSTR) {
    Print(std::string("  request-header-change ") + (name ? name : "") + " refused");
    return FALSE;
  }

  // The browser's side: a "Set-Cookie:" line goes into the jar.
  void TakeCookie(const std::string& line) {
    const std::string prefix = "Set-Cookie:";
    if (line.size() < prefix.size() || !EqualsNoCase(line.substr(0, prefix.size()), prefix))
      return;
    std::string cookie = line.substr(prefix.size());
    while (!cookie.empty() && cookie[0] == ' ')
      cookie.erase(0, 1);
    cookie = cookie.substr(0, cookie.find(';'));
    size_t eq = cookie.find('=');
    if (eq == std::string::npos)
      return;
    std::string name = cookie.substr(0, eq);
    for (auto& [n, v] : jar_)
      if (n == name) {
        v = cookie.substr(eq + 1);
        return;
      }
    jar_.emplace_back(name, cookie.substr(eq + 1));
  }

  HttpFilterProcFn proc_;
  HTTP_FILTER_CONTEXT context_{};
  HTTP_FILTER_PREPROC_HEADERS preproc_{};
  HTTP_FILTER_SEND_RESPONSE send_{};
  Pairs variables_;
  Pairs headers_;
  Pairs response_;
  Pairs jar_;
  char physical_[260] = {};
  std::vector<std::unique_ptr<char[]>> allocations_;
};

// ---- the scenarios ----

// The shipped log element map, `logserver` lines added to [logserver] and
// `more` sections after it.
std::string Config(const std::string& logserver, const std::string& more) {
  static const char* const kMap[][3] = {
      {"KYR_URI", "kyruri", "true"},        {"KYR_QUERY", "kyrqry", "false"},
      {"KYR_REFERRER", "kyrref", "false"},  {"KYR_METHOD", "kyrmet", "false"},
      {"KYR_AUTHUSER", "kyraut", "false"},  {"KYR_STATUS", "kyrsta", "false"},
      {"KYR_SERVERIP", "kyrsip", "false"},  {"KYR_PROTOCOL", "kyrpro", "false"},
      {"KYR_BYTES", "kyrbyt", "false"},     {"KYR_DATE", "kyrdat", "false"},
      {"KYR_CLIENTIP", "kyrcip", "false"},  {"KYR_P3P", "kyrp3p", "false"},
      {"KYR_CFG", "kyrcfg", "false"},       {"KYR_REDIRECT", "kyrredirect", "false"},
      {"KYR_REPLAYDATE", "kyrrdt", "false"}};
  std::string text = "[logserver]\nlogelementcount = 15\n" + logserver + "\n";
  int i = 0;
  for (const auto& e : kMap)
    text += "[logelementmap" + std::to_string(i++) + "]\nlogelement = " + e[0] +
            "\nparameter = " + e[1] + "\nrequired = " + e[2] + "\n";
  return text + more;
}

const char* const kReturningCookie = "VANTORELL_ID=10.1.2.3-3350200320.29830455";
const char* const kAgent = "Mozilla/5.0 (X11; Linux x86_64) Test/1.0";

const std::string kSiteA = "kyraaaaaaaaaaaaaaaaaaaaaa_7k8y";  // standard lag, copied to C
const std::string kSiteB = "kyrbbbbbbbbbbbbbbbbbbbbbb_8p4c";  // short lag, no cookies
const std::string kSiteC = "kyrcccccccccccccccccccccc_9u9f";  // real time (as A's and D's copy)
const std::string kSiteD = "kyrdddddddddddddddddddddd_1z5i";  // copied to C, decoupled
const std::string kSiteU = "kyruuuuuuuuuuuuuuuuuuuuuu_9k9j";  // not listed
// The checksum is the MD5 of the three data lines.
const std::string kSiteMap =
    "#Application: isapi harness\r\n#Fields: kyrid,tagid,schedulepriority,realtimeid,"
    "cookiesenabled,timezone\r\n#LineCount: 3\r\n#CheckSum: 6BA7A2E4B80E297BD2234BE016025367\r\n" +
    kSiteA + ",tagA,0," + kSiteC + ",1,0\r\n" + kSiteB + ",tagB,1,null,0,2\r\n" + kSiteD +
    ",tagD,0,'" + kSiteC + ":decouple',1,0\r\n";

struct Scenario {
  const char* name;
  const char* clock;  // seconds since 1970, the module's "now" throughout
  std::string config;
  std::string siteMap;  // written as cfg/vantorellsites.lst when not empty
  std::vector<Request> requests;
  // The process ends after the requests as if it had crashed: no
  // TerminateFilter, no unload, no exit handlers. The next scenario on the
  // same root finds what it left.
  bool crash = false;
};

std::vector<Scenario> Scenarios() {
  std::vector<Scenario> all;

  // Non-hosted: header parameters, a returning visitor, the cookie test of a
  // first visit, the no-script image, a Cookie header too long for the
  // module's first buffer, and a page that is not a tag.
  {
    Scenario s{"cookies", "1796551872", "", "", {}};
    s.config = Config("enableheaderparams = true\nheaderparamslist = Accept,Host,X-Long\n", "");
    const std::string tagQuery =
        "kyruri=%2Fshop%2Fitem.html&kyrqry=id%3D7%26c%3Dred&kyrref=http%3A%2F%2Fexample.com%2Fa%"
        "20b&kyrsip=www.example.com&kyrdat=1796551872345";
    s.requests.push_back({"returning",
                          "/kyr.gif",
                          tagQuery,
                          {{"Cookie", kReturningCookie},
                           {"User-Agent", kAgent},
                           {"Accept", "image/avif,image/webp, */*;q=0.8"},
                           {"Host", "www.example.com"},
                           {"X-Long", std::string(5000, 'x')}},
                          false,
                          ""});
    s.requests.push_back(
        {"first-visit", "/kyr.gif", "kyruri=%2Fwelcome.html", {{"User-Agent", kAgent}}, true, ""});
    s.requests.push_back({"after-redirect",
                          "/kyr.gif",
                          "kyrredirect=1&kyruri=%2Fwelcome.html",
                          {{"User-Agent", kAgent}},
                          true,
                          ""});
    s.requests.push_back({"no-script", "/njs.gif", "kyruri=%2Fnoscript.html", {}, true, ""});
    s.requests.push_back({"long-cookie",
                          "/kyr.gif",
                          "kyruri=%2Flong.html",
                          {{"User-Agent", kAgent}},
                          true,
                          "other=" + std::string(5000, 'o')});
    s.requests.push_back({"page", "/index.html", "", {}, true, ""});
    all.push_back(std::move(s));
  }

  // The hosted service model with a site map: standard lag, short lag and
  // real-time streams, version-2 cookies issued through the cookie test, an
  // unlisted site refused, hit counts.
  {
    Scenario s{"hosted", "1796558399", "", kSiteMap, {}};
    s.config = Config(
        "hostedmodel = true\ntrackhitcount = true\n",
        "[logrotation]\ngmtrotation = true\n"
        "[auditlog]\nrequestmessagesperminute = 0\n"
        "[cookieserver]\ncookieversion = 2\n"
        "[servicemodel]\nservicemodel = true\nsitemapenabled = true\nsitemapsleeptime = 0\n");
    auto tag = [](const std::string& label, const std::string& site, const std::string& query) {
      return Request{label, "/" + site + "/kyr.gif", query, {{"User-Agent", kAgent}}, true, ""};
    };
    s.requests.push_back(tag("a-first-visit", kSiteA, "kyruri=%2Fp%2Fa"));
    s.requests.push_back(tag("a-after-redirect", kSiteA, "kyrredirect=1&kyruri=%2Fp%2Fa"));
    s.requests.push_back(tag("b-no-cookies", kSiteB, "kyruri=%2Fp%2Fb&kyrref=%2Fp%2Fa"));
    s.requests.push_back(tag("d-decoupled", kSiteD, "kyruri=%2Fp%2Fd"));
    s.requests.push_back(tag("u-unlisted", kSiteU, "kyruri=%2Fp%2Fu"));
    s.requests.push_back(tag("a-again", kSiteA, "kyruri=%2Fp%2Fa2&kyrqry=x%3D1"));
    all.push_back(std::move(s));
  }

  // Memory-mapped log files limited to 1 KB, hits replayed ten seconds
  // apart across midnight (the clock stays pinned; a replayed hit carries
  // its own time): each day's hits in several files, name.log, name(2).log.
  {
    Scenario s{"rotation", "1796601599", "", "", {}};
    s.config =
        Config("usememmappedfile = true\ntrackfirsttimecookies = false\nreplayinprogress = true\n",
               "[logrotation]\ngmtrotation = true\nlimitbysize = true\nmaxlogfilesize = 1\n");
    const long long firstHit = 1796601520;  // 2026-12-06 23:58:40 UTC
    for (int i = 0; i < 14; ++i) {
      std::string n = std::to_string(i);
      s.requests.push_back({"hit" + n,
                            "/kyr.gif",
                            "kyruri=%2Fpage" + n + ".html&kyrqry=n%3D" + n + "&kyrcip=10.0.0." + n +
                                "&kyrrdt=" + std::to_string(firstHit + 10 * i),
                            {{"Cookie", kReturningCookie}, {"User-Agent", kAgent}},
                            false,
                            ""});
    }
    all.push_back(std::move(s));
  }

  // The same files with one line longer than the size limit and than a
  // 4 KiB page: it gets a file of its own, whatever the platform's mapping
  // granularity, and the hits after it are logged as before.
  {
    Scenario s = all.back();
    s.name = "long-line";
    s.requests[9].headers[0].second = "other=" + std::string(4500, 'o') + "; " + kReturningCookie;
    all.push_back(std::move(s));
  }

  // Hosted service model with memory-mapped, unbuffered files: a run that
  // dies with its files busy and mapped at their full reservation, then a
  // start ten minutes later that finishes them and logs into new periods.
  {
    std::string config = Config(
        "hostedmodel = true\nusememmappedfile = true\nwritebuffersize = 0\n"
        "trackfirsttimecookies = false\n",
        "[logrotation]\ngmtrotation = true\nlimitbysize = true\nmaxlogfilesize = 64\n"
        "[servicemodel]\nservicemodel = true\nsitemapenabled = true\nsitemapsleeptime = 0\n");
    auto tag = [](const std::string& label, const std::string& site, const std::string& page) {
      return Request{label,
                     "/" + site + "/kyr.gif",
                     "kyruri=%2F" + page,
                     {{"Cookie", kReturningCookie}, {"User-Agent", kAgent}},
                     false,
                     ""};
    };
    Scenario crash{"crash", "1796558399", config, kSiteMap, {}};
    crash.requests = {tag("a", kSiteA, "a1"), tag("b", kSiteB, "b1"), tag("a", kSiteA, "a2")};
    crash.crash = true;
    all.push_back(std::move(crash));
    Scenario recover{"recover", "1796558999", config, kSiteMap, {}};
    recover.requests = {tag("a", kSiteA, "a3"), tag("b", kSiteB, "b2")};
    all.push_back(std::move(recover));
  }
  return all;
}

bool WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

int Run(const std::string& modulePath, const Scenario& scenario, const std::string& root) {
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(root) / "cfg", error);
  std::filesystem::create_directories(std::filesystem::path(root) / "log", error);
  if (!WriteFile(std::filesystem::path(root) / "cfg" / "kyr.cfg", scenario.config) ||
      (!scenario.siteMap.empty() &&
       !WriteFile(std::filesystem::path(root) / "cfg" / "vantorellsites.lst", scenario.siteMap))) {
    std::fprintf(stderr, "cannot write the configuration under %s\n", root.c_str());
    return 2;
  }
  SetEnv("ZR_ROOT", root);
  SetEnv("KYR_TEST_CLOCK", scenario.clock);

  Module module;
  if (!module.Load(modulePath)) {
    std::fprintf(stderr, "cannot load %s: %s\n", modulePath.c_str(), module.Error().c_str());
    return 2;
  }
  Print("scenario " + std::string(scenario.name) + " clock=" + scenario.clock);
  HTTP_FILTER_VERSION version{};
  version.dwServerFilterVersion = 0x60000;
  BOOL started = module.getVersion(&version);
  Print("GetFilterVersion -> " + std::to_string(started) +
        " version=" + Hex(version.dwFilterVersion) + " flags=" + Hex(version.dwFlags) +
        " desc=" + std::string(version.lpszFilterDesc));
  if (started) {
    FakeServer server(module.proc);
    for (const Request& request : scenario.requests)
      server.Run(request);
  }
  if (scenario.crash) {
    Print("crash");
#if defined(_WIN32)
    ::TerminateProcess(::GetCurrentProcess(), 0);
#else
    _exit(0);
#endif
  }
  Print("TerminateFilter -> " + std::to_string(module.terminate(0)));
  module.Unload();
  return started ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  _setmode(_fileno(stdout), _O_BINARY);  // "\n", not "\r\n": the transcripts compare as bytes
#endif
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <module> <scenario> <root>\n", argv[0]);
    return 2;
  }
  for (const Scenario& scenario : Scenarios())
    if (scenario.name == std::string(argv[2]))
      return Run(argv[1], scenario, argv[3]);
  std::fprintf(stderr, "unknown scenario %s\n", argv[2]);
  return 2;
}
