// The exchange driven with a stand-in module: the order and mask of the
// notifications, what the module's callbacks can see and change, its own
// response, and what is refused before the module is asked.

#include "host/httpexchange.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace kyrhost {
namespace {

// What the stand-in module does; one test at a time.
struct Script {
  std::vector<std::string> seen;  // "PREPROC", "URL_MAP /a -> path", "SEND 200"
  std::function<DWORD(HTTP_FILTER_CONTEXT*, HTTP_FILTER_PREPROC_HEADERS*)> preproc;
  std::function<void(HTTP_FILTER_URL_MAP*)> urlMap;
  std::function<DWORD(HTTP_FILTER_CONTEXT*, HTTP_FILTER_SEND_RESPONSE*)> send;
};
Script* g_script = nullptr;

DWORD WINAPI StandIn(HTTP_FILTER_CONTEXT* pfc, DWORD type, void* data) {
  Script& s = *g_script;
  switch (type) {
    case SF_NOTIFY_PREPROC_HEADERS:
      s.seen.push_back("PREPROC");
      if (s.preproc)
        return s.preproc(pfc, static_cast<HTTP_FILTER_PREPROC_HEADERS*>(data));
      break;
    case SF_NOTIFY_URL_MAP: {
      auto* map = static_cast<HTTP_FILTER_URL_MAP*>(data);
      s.seen.push_back(std::string("URL_MAP ") + map->pszURL + " -> " + map->pszPhysicalPath +
                       " (" + std::to_string(map->cbPathBuff) + ")");
      if (s.urlMap)
        s.urlMap(map);
      break;
    }
    case SF_NOTIFY_SEND_RESPONSE: {
      auto* send = static_cast<HTTP_FILTER_SEND_RESPONSE*>(data);
      s.seen.push_back("SEND " + std::to_string(send->HttpStatus));
      if (s.send)
        return s.send(pfc, send);
      break;
    }
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

constexpr DWORD kAll = SF_NOTIFY_PREPROC_HEADERS | SF_NOTIFY_URL_MAP | SF_NOTIFY_SEND_RESPONSE |
                       SF_NOTIFY_SECURE_PORT | SF_NOTIFY_NONSECURE_PORT;

std::string Var(HTTP_FILTER_CONTEXT* pfc, const char* name) {
  char buffer[512];
  DWORD size = sizeof buffer;
  if (!pfc->GetServerVariable(pfc, const_cast<char*>(name), buffer, &size))
    return "<none>";
  return buffer;
}

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kyrhost_exchange_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    host_.webRoot = pattern;
    Write("zr_kyr.gif", "GIF89a-content");
    Write("page.html", "<p>page</p>");
    mkdir((host_.webRoot + "/dir").c_str(), 0755);
    Write("dir/index.html", "<p>index</p>");
    g_script = &script_;
    module_.UseForTest(&StandIn, kAll);
    host_.module = &module_;
    connection_.remoteAddr = "192.0.2.9";
    connection_.remotePort = "50123";
    connection_.localAddr = "127.0.0.1";
    connection_.localPort = "8080";
  }
  void TearDown() override {
    g_script = nullptr;
    std::string command = "rm -rf '" + host_.webRoot + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  void Write(const std::string& name, const std::string& content) {
    std::ofstream(host_.webRoot + "/" + name, std::ios::binary) << content;
  }
  HttpExchange& Run(const std::string& method, const std::string& target,
                    std::vector<std::pair<std::string, std::string>> headers = {}) {
    exchange_ = std::make_unique<HttpExchange>(host_, connection_, files_);
    HttpRequest& r = exchange_->Request();
    r.method = method;
    r.target = target;
    bool host = false;
    for (auto& [n, v] : headers) {
      r.headers.Add(n, v);
      host = host || n == "Host";
    }
    if (!host)
      r.headers.Add("Host", "localhost");
    exchange_->Handle("Sun, 06 Dec 2026 10:00:00 GMT", false, FileCache::Clock::now());
    return *exchange_;
  }
  std::string Head() const { return std::string(exchange_->Head()); }

  Script script_;
  FilterModule module_;
  HostSettings host_;
  ConnectionInfo connection_;
  FileCache files_;
  std::unique_ptr<HttpExchange> exchange_;
};

TEST_F(ExchangeTest, NotificationsComeInIisOrderWithTheMappedPath) {
  HttpExchange& x = Run("GET", "/a%20b/kyr.gif?kyruri=/p");
  ASSERT_EQ(script_.seen.size(), 3u);
  EXPECT_EQ(script_.seen[0], "PREPROC");
  EXPECT_EQ(script_.seen[1], "URL_MAP /a b/kyr.gif -> " + host_.webRoot + "/a b/kyr.gif (260)");
  EXPECT_EQ(script_.seen[2], "SEND 404");  // nothing remapped it
  EXPECT_EQ(x.Status(), 404);
}

TEST_F(ExchangeTest, RemappedPathIsServedAndSendResponseCanAddAndReplaceHeaders) {
  script_.urlMap = [](HTTP_FILTER_URL_MAP* map) {
    char* slash = std::strrchr(map->pszPhysicalPath, '/');
    std::strcpy(slash + 1, "zr_kyr.gif");
  };
  script_.send = [](HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE* send) {
    send->AddHeader(pfc, const_cast<char*>("P3P:"), const_cast<char*>("CP=\"NOI\""));
    // Every kind of token character: both ends of each letter and digit range.
    EXPECT_TRUE(
        send->AddHeader(pfc, const_cast<char*>("X-AZaz09!#$%&'*+.^_`|~:"), const_cast<char*>("t")));
    send->SetHeader(pfc, const_cast<char*>("Expires:"), const_cast<char*>("Mon, 01 Jan 1990"));
    send->SetHeader(pfc, const_cast<char*>("Content-Type:"), const_cast<char*>("image/x-test"));
    char type[64];
    DWORD size = sizeof type;
    EXPECT_TRUE(send->GetHeader(pfc, const_cast<char*>("content-type:"), type, &size));
    EXPECT_STREQ(type, "image/x-test");
    // Framing and line breaks stay with the host.
    EXPECT_FALSE(
        send->SetHeader(pfc, const_cast<char*>("Content-Length:"), const_cast<char*>("1")));
    EXPECT_FALSE(send->AddHeader(pfc, const_cast<char*>("X:"), const_cast<char*>("a\r\nB: c")));
    EXPECT_FALSE(send->AddHeader(pfc, const_cast<char*>("Bad Name:"), const_cast<char*>("v")));
    return static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION);
  };
  HttpExchange& x = Run("GET", "/kyr.gif?a=1");
  EXPECT_EQ(x.Status(), 200);
  EXPECT_EQ(x.Body(), "GIF89a-content");
  EXPECT_EQ(Head(),
            "HTTP/1.1 200 OK\r\nDate: Sun, 06 Dec 2026 10:00:00 GMT\r\nServer: kyrhost\r\n"
            "Content-Type: image/x-test\r\nP3P: CP=\"NOI\"\r\nX-AZaz09!#$%&'*+.^_`|~: t\r\n"
            "Expires: Mon, 01 Jan 1990\r\n"
            "Content-Length: 14\r\n\r\n");
  EXPECT_FALSE(x.CloseAfter());
}

TEST_F(ExchangeTest, RemappingOutsideTheWebRootIsNotServed) {
  script_.urlMap = [](HTTP_FILTER_URL_MAP* map) {
    std::strcpy(map->pszPhysicalPath, "/etc/passwd");
  };
  EXPECT_EQ(Run("GET", "/kyr.gif").Status(), 404);
  script_.urlMap = [this](HTTP_FILTER_URL_MAP* map) {
    std::string p = host_.webRoot + "/../x";
    std::strcpy(map->pszPhysicalPath, p.c_str());
  };
  EXPECT_EQ(Run("GET", "/kyr.gif").Status(), 404);
  script_.urlMap = [](HTTP_FILTER_URL_MAP* map) {
    std::memset(map->pszPhysicalPath, 'a', map->cbPathBuff);  // no terminator
  };
  std::string translated;
  script_.send = [&](HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE*) {
    char buffer[600];
    DWORD size = sizeof buffer;
    if (pfc->GetServerVariable(pfc, const_cast<char*>("PATH_TRANSLATED"), buffer, &size))
      translated = buffer;
    return static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION);
  };
  EXPECT_EQ(Run("GET", "/kyr.gif").Status(), 404);
  EXPECT_EQ(translated, std::string(HttpExchange::kPathBuffer, 'a'));
}

TEST_F(ExchangeTest, OnlyRegisteredNotificationsForThePortKindAreDelivered) {
  module_.UseForTest(&StandIn, SF_NOTIFY_SEND_RESPONSE | SF_NOTIFY_NONSECURE_PORT);
  Run("GET", "/page.html");
  EXPECT_EQ(script_.seen, std::vector<std::string>{"SEND 200"});

  script_.seen.clear();
  module_.UseForTest(&StandIn, SF_NOTIFY_SEND_RESPONSE | SF_NOTIFY_SECURE_PORT);
  Run("GET", "/page.html");
  EXPECT_TRUE(script_.seen.empty());
  connection_.secure = true;
  Run("GET", "/page.html");
  EXPECT_EQ(script_.seen, std::vector<std::string>{"SEND 200"});

  script_.seen.clear();
  module_.UseForTest(&StandIn, SF_NOTIFY_URL_MAP);  // no port named: both
  Run("GET", "/page.html");
  EXPECT_EQ(script_.seen.size(), 1u);
}

TEST_F(ExchangeTest, OwnResponsePassesSendResponseAgainAndEndsTheRequest) {
  int passes = 0;
  script_.send = [&](HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE* send) {
    if (send->HttpStatus == 303) {
      ++passes;
      return static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION);
    }
    const char* block =
        "Location: /kyr.gif?kyrredirect=1\r\nContent-Length: 0\r\n"
        "Set-Cookie: ID=1; path=/\r\n";
    EXPECT_TRUE(pfc->ServerSupportFunction(pfc, SF_REQ_SEND_RESPONSE_HEADER,
                                           const_cast<char*>("303 Object Moved"),
                                           reinterpret_cast<ULONG_PTR>(block), 0));
    // A second response for the same request is refused.
    EXPECT_FALSE(pfc->ServerSupportFunction(pfc, SF_REQ_SEND_RESPONSE_HEADER,
                                            const_cast<char*>("200 OK"), 0, 0));
    return static_cast<DWORD>(SF_STATUS_REQ_FINISHED);
  };
  HttpExchange& x = Run("GET", "/page.html");
  EXPECT_EQ(passes, 1);
  EXPECT_EQ(Head(),
            "HTTP/1.1 303 Object Moved\r\nDate: Sun, 06 Dec 2026 10:00:00 GMT\r\nServer: "
            "kyrhost\r\nLocation: /kyr.gif?kyrredirect=1\r\nContent-Length: 0\r\n"
            "Set-Cookie: ID=1; path=/\r\nConnection: close\r\n\r\n");
  EXPECT_TRUE(x.Body().empty());
  EXPECT_TRUE(x.CloseAfter());
}

TEST_F(ExchangeTest, MalformedOwnResponsesAreRefused) {
  std::vector<BOOL> results;
  script_.send = [&](HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE*) {
    auto send = [&](const char* status, const char* block) {
      results.push_back(pfc->ServerSupportFunction(pfc, SF_REQ_SEND_RESPONSE_HEADER,
                                                   const_cast<char*>(status),
                                                   reinterpret_cast<ULONG_PTR>(block), 0));
    };
    send("303 Moved\r\nX: injected", "Location: /\r\n");
    send("abc", "Location: /\r\n");
    send("303 Moved", "Location: /\nX: y\r\n");           // bare LF
    send("303 Moved", "Location: /");                     // unterminated
    send("303 Moved", "Transfer-Encoding: chunked\r\n");  // framing
    return static_cast<DWORD>(SF_STATUS_REQ_FINISHED);
  };
  HttpExchange& x = Run("GET", "/page.html");
  EXPECT_EQ(results, std::vector<BOOL>(5, FALSE));
  // Ended by the module without a response: nothing is sent, the
  // connection closes.
  EXPECT_FALSE(x.HasResponse());
  EXPECT_TRUE(x.CloseAfter());
}

TEST_F(ExchangeTest, ErrorFromTheModuleAnswers500) {
  script_.preproc = [](HTTP_FILTER_CONTEXT*, HTTP_FILTER_PREPROC_HEADERS*) {
    return static_cast<DWORD>(SF_STATUS_REQ_ERROR);
  };
  HttpExchange& x = Run("GET", "/page.html");
  EXPECT_EQ(x.Status(), 500);
  EXPECT_EQ(script_.seen.size(), 1u);
  EXPECT_TRUE(x.CloseAfter());
}

TEST_F(ExchangeTest, ServerVariablesFollowThePublishedBufferConvention) {
  std::vector<std::string> values;
  script_.preproc = [&](HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_PREPROC_HEADERS* pre) {
    char small[4];
    DWORD size = sizeof small;
    EXPECT_FALSE(pfc->GetServerVariable(pfc, const_cast<char*>("URL"), small, &size));
    EXPECT_EQ(size, std::strlen("/page.html") + 1);
    char exact[11];
    size = sizeof exact;
    EXPECT_TRUE(pfc->GetServerVariable(pfc, const_cast<char*>("URL"), exact, &size));
    EXPECT_STREQ(exact, "/page.html");
    size = 0;
    EXPECT_FALSE(pfc->GetServerVariable(pfc, const_cast<char*>("URL"), nullptr, &size));
    EXPECT_EQ(size, 11u);
    for (const char* name :
         {"QUERY_STRING", "HTTP_COOKIE", "REMOTE_ADDR", "SERVER_PROTOCOL", "REQUEST_METHOD",
          "HTTP_USER_AGENT", "HTTPS", "SERVER_NAME", "SERVER_PORT", "HTTP_X_FORWARDED_FOR",
          "HTTP_ACCEPT", "NO_SUCH_VARIABLE"})
      values.push_back(Var(pfc, name));
    char header[64];
    size = sizeof header;
    EXPECT_TRUE(pre->GetHeader(pfc, const_cast<char*>("user-agent:"), header, &size));
    EXPECT_STREQ(header, "Agent/1.0 (X)");
    size = sizeof header;
    EXPECT_TRUE(pre->GetHeader(pfc, const_cast<char*>("url"), header, &size));
    EXPECT_STREQ(header, "/page.html?a=1&b=%41");
    size = sizeof header;
    EXPECT_FALSE(pre->GetHeader(pfc, const_cast<char*>("Accept:"), header, &size));
    return static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION);
  };
  Run("GET", "/page.html?a=1&b=%41",
      {{"Host", "www.example.com:8080"},
       {"User-Agent", "Agent/1.0 (X)"},
       {"Cookie", "a=1"},
       {"cookie", "b=2"},
       {"X-Forwarded-For", "198.51.100.1"}});
  EXPECT_EQ(values, (std::vector<std::string>{"a=1&b=%41", "a=1; b=2", "192.0.2.9", "HTTP/1.1",
                                              "GET", "Agent/1.0 (X)", "off", "www.example.com",
                                              "8080", "198.51.100.1", "<none>", "<none>"}));
}

TEST_F(ExchangeTest, ServerNameComesFromAnIpv6HostOrTheLocalAddress) {
  std::string name;
  script_.preproc = [&](HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_PREPROC_HEADERS*) {
    name = Var(pfc, "SERVER_NAME");
    return static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION);
  };
  Run("GET", "/", {{"Host", "[2001:db8::1]:8443"}});
  EXPECT_EQ(name, "[2001:db8::1]");
  Run("GET", "/", {{"Host", ""}});  // allowed empty when the target names no host
  EXPECT_EQ(name, "127.0.0.1");
}

// X-Forwarded-For names the client and X-Forwarded-Proto its scheme, when
// (and only when) the peer is a trusted proxy.
TEST_F(ExchangeTest, ClientAddressAndSchemeFromATrustedProxyOnly) {
  std::string address, https, portSecure;
  script_.preproc = [&](HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_PREPROC_HEADERS*) {
    address = Var(pfc, "REMOTE_ADDR");
    https = Var(pfc, "HTTPS");
    portSecure = Var(pfc, "SERVER_PORT_SECURE");
    return static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION);
  };
  const struct {
    bool trusted;
    std::vector<std::pair<std::string, std::string>> headers;
    const char* address;
    const char* https;
  } cases[] = {
      // Anyone can send the headers.
      {false,
       {{"X-Forwarded-For", "203.0.113.5"}, {"X-Forwarded-Proto", "https"}},
       "192.0.2.9",
       "off"},
      // The address the proxy appended, and the scheme it set last.
      {true, {{"X-Forwarded-For", "203.0.113.5, 198.51.100.7"}}, "198.51.100.7", "off"},
      {true,
       {{"X-Forwarded-For", "2001:db8::7"}, {"X-Forwarded-Proto", "HTTPS"}},
       "2001:db8::7",
       "on"},
      {true, {{"X-Forwarded-Proto", "https"}, {"X-Forwarded-Proto", "http"}}, "192.0.2.9", "off"},
      {true, {{"X-Forwarded-Proto", "http, https "}}, "192.0.2.9", "on"},
      {true, {{"X-Forwarded-Proto", "httpsx"}}, "192.0.2.9", "off"},
      {true, {{"X-Forwarded-For", "1.2.3.4, not-an-address"}}, "192.0.2.9", "off"},
      {true, {}, "192.0.2.9", "off"},
  };
  for (const auto& c : cases) {
    connection_.trustedProxy = c.trusted;
    Run("GET", "/", c.headers);
    EXPECT_EQ(address, c.address);
    EXPECT_EQ(https, c.https) << address;
    EXPECT_EQ(portSecure, std::string(c.https) == "on" ? "1" : "0");
  }
}

TEST_F(ExchangeTest, TraversalAndMalformedTargetsAreRefusedBeforeTheModule) {
  for (const char* target : {"/../etc/passwd", "/a/../../x", "/%2e%2e/x", "/a/%2E%2E", "/a%2Fb",
                             "/a%5cb", "/a\\b", "/a%00b", "/a%zzb", "/a%4", "page.html", "*"}) {
    script_.seen.clear();
    HttpExchange& x = Run("GET", target);
    EXPECT_EQ(x.Status(), 400) << target;
    EXPECT_TRUE(script_.seen.empty()) << target;
    EXPECT_TRUE(x.CloseAfter()) << target;
  }
  // The physical path buffer holds 260 bytes, terminator included.
  std::string longName = "/" + std::string(259 - host_.webRoot.size(), 'a');
  EXPECT_EQ(Run("GET", longName).Status(), 414);
  EXPECT_EQ(Run("GET", longName.substr(1).insert(0, "/").substr(0, longName.size() - 1)).Status(),
            404);
}

TEST_F(ExchangeTest, Http11NeedsExactlyOneHost) {
  exchange_ = std::make_unique<HttpExchange>(host_, connection_, files_);
  HttpRequest& r = exchange_->Request();
  r.method = "GET";
  r.target = "/page.html";
  exchange_->Handle("D", false, FileCache::Clock::now());
  EXPECT_EQ(exchange_->Status(), 400);
  r.version = 10;  // HTTP/1.0 may leave it out
  exchange_->Handle("D", false, FileCache::Clock::now());
  EXPECT_EQ(exchange_->Status(), 200);
  EXPECT_EQ(Run("GET", "/page.html", {{"Host", "a"}, {"host", "b"}}).Status(), 400);
}

TEST_F(ExchangeTest, TargetsSplitIntoPathAndQueryAndDirectoriesRedirectWithinTheSite) {
  for (const char* d : {"/my dir", "/caf\xC3\xA9", "/p%q", "/a'b(c)"})
    ASSERT_EQ(mkdir((host_.webRoot + d).c_str(), 0755), 0) << d;
  struct Case {
    const char* target;
    int status;
    const char* url;       // nullptr: not checked
    const char* query;     // nullptr: not checked
    const char* location;  // nullptr: none
  };
  const Case cases[] = {
      // Control bytes in the decoded path.
      {"/x%0d%0aFORGED", 400, nullptr, nullptr, nullptr},
      {"/x%09y", 400, nullptr, nullptr, nullptr},
      {"/x%7F", 400, nullptr, nullptr, nullptr},
      {"/x\x01y", 400, nullptr, nullptr, nullptr},
      {"/x\ty", 400, nullptr, nullptr, nullptr},
      // Absolute form: the authority ends at "/", "?" or "#".
      {"http://example.com/page.html?x=1", 200, "/page.html", "x=1", nullptr},
      {"http://evil.example?kyruri=/a", 404, "/", "kyruri=/a", nullptr},
      {"HTTPS://evil.example#/page.html", 404, "/", "", nullptr},
      // A fragment is neither path nor query.
      {"/page.html#/../x", 200, "/page.html", "", nullptr},
      {"/page.html?x=1#y?z", 200, "/page.html", "x=1", nullptr},
      // Directory redirects: one leading "/", the path and query encoded.
      {"/dir?q=1", 301, "/dir", "q=1", "/dir/?q=1"},
      {"//dir", 301, "//dir", "", "/dir/"},
      {"///dir?a=%41", 301, "///dir", "a=%41", "/dir/?a=%41"},
      {"/my%20dir", 301, "/my dir", "", "/my%20dir/"},
      {"/caf%C3%A9", 301, "/caf\xC3\xA9", "", "/caf%C3%A9/"},
      {"/p%25q", 301, "/p%q", "", "/p%25q/"},
      {"/a'b(c)", 301, "/a'b(c)", "", "/a'b(c)/"},
      {"/dir?a=\xFF\"b <>\\^`{|}&c=%2F:@/?", 301, "/dir", nullptr,
       "/dir/?a=%FF%22b%20%3C%3E%5C%5E%60%7B%7C%7D&c=%2F:@/?"},
  };
  for (const Case& c : cases) {
    HttpExchange& x = Run("GET", c.target);
    EXPECT_EQ(x.Status(), c.status) << c.target;
    if (c.url) {
      EXPECT_EQ(x.Url(), c.url) << c.target;
    }
    std::string query;
    if (c.query && x.ServerVariable("QUERY_STRING", query)) {
      EXPECT_EQ(query, c.query) << c.target;
    }
    size_t at = Head().find("\r\nLocation: ");
    std::string location = at == std::string::npos
                               ? ""
                               : Head().substr(at + 12, Head().find("\r\n", at + 2) - at - 12);
    EXPECT_EQ(location, c.location ? c.location : "") << c.target;
  }
}

TEST_F(ExchangeTest, MethodsHeadAndDirectories) {
  HttpExchange& head = Run("HEAD", "/page.html");
  EXPECT_EQ(head.Status(), 200);
  EXPECT_TRUE(head.Body().empty());
  EXPECT_NE(Head().find("Content-Length: 11\r\n"), std::string::npos);

  HttpExchange& post = Run("POST", "/page.html");
  EXPECT_EQ(post.Status(), 405);
  EXPECT_NE(Head().find("Allow: GET, HEAD\r\n"), std::string::npos);
  EXPECT_EQ(script_.seen.back(), "SEND 405");

  EXPECT_EQ(Run("GET", "/dir/").Body(), "<p>index</p>");
  HttpExchange& redirect = Run("GET", "/dir?q=1");
  EXPECT_EQ(redirect.Status(), 301);
  EXPECT_NE(Head().find("Location: /dir/?q=1\r\n"), std::string::npos);
}

TEST_F(ExchangeTest, LargeFilesAreStreamedWithTheirLength) {
  std::string large(FileCache::kMaxCachedFile + 5, 'L');
  Write("big.bin", large);
  std::string length = std::to_string(large.size());
  std::string reported;
  script_.send = [&](HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE* send) {
    char value[32];
    DWORD size = sizeof value;
    reported =
        send->GetHeader(pfc, const_cast<char*>("Content-Length:"), value, &size) ? value : "<none>";
    return static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION);
  };
  for (const char* method : {"GET", "HEAD"}) {
    bool get = std::string(method) == "GET";
    HttpExchange& x = Run(method, "/big.bin");
    EXPECT_EQ(x.Status(), 200) << method;
    EXPECT_TRUE(x.Body().empty()) << method;
    EXPECT_EQ(x.BodyFd() >= 0, get) << method;
    EXPECT_EQ(x.BodyFileSize(), get ? large.size() : 0u) << method;
    EXPECT_NE(Head().find("\r\nContent-Length: " + length + "\r\n"), std::string::npos) << method;
    EXPECT_EQ(reported, length) << method;
  }
  char first = 0;
  EXPECT_EQ(pread(Run("GET", "/big.bin").BodyFd(), &first, 1, 0), 1);
  EXPECT_EQ(first, 'L');
  // An error response carries no file.
  script_.send = nullptr;
  EXPECT_EQ(Run("POST", "/big.bin").BodyFd(), -1);
}

TEST_F(ExchangeTest, KeepAliveFollowsTheRequest) {
  exchange_ = std::make_unique<HttpExchange>(host_, connection_, files_);
  HttpRequest& r = exchange_->Request();
  r.method = "GET";
  r.target = "/page.html";
  r.version = 10;
  r.keepAlive = true;
  r.headers.Add("Host", "localhost");
  exchange_->Handle("D", false, FileCache::Clock::now());
  EXPECT_NE(Head().find("Connection: keep-alive\r\n"), std::string::npos);
  r.keepAlive = false;
  exchange_->Handle("D", false, FileCache::Clock::now());
  EXPECT_NE(Head().find("Connection: close\r\n"), std::string::npos);
  EXPECT_TRUE(exchange_->CloseAfter());
  r.version = 11;
  r.keepAlive = true;
  exchange_->Handle("D", true, FileCache::Clock::now());  // stopping
  EXPECT_TRUE(exchange_->CloseAfter());
}

TEST_F(ExchangeTest, RequestUrlChangedInPreprocHeadersIsServed) {
  script_.preproc = [](HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_PREPROC_HEADERS* pre) {
    EXPECT_TRUE(pre->SetHeader(pfc, const_cast<char*>("url"), const_cast<char*>("/page.html")));
    return static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION);
  };
  EXPECT_EQ(Run("GET", "/other.html").Body(), "<p>page</p>");
  script_.preproc = [](HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_PREPROC_HEADERS* pre) {
    EXPECT_TRUE(pre->SetHeader(pfc, const_cast<char*>("url"), const_cast<char*>("/../x")));
    return static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION);
  };
  EXPECT_EQ(Run("GET", "/page.html").Status(), 400);
}

TEST(HeaderListTest, SetReplacesTheFirstAndDropsTheOthers) {
  HeaderList list;
  list.Add("A", "1");
  list.Add("B", "2");
  list.Add("a", "3");
  list.Set("A", "9");
  ASSERT_EQ(list.Size(), 2u);
  EXPECT_EQ(list.Find("a")->value, "9");
  EXPECT_EQ(list.Find("B")->value, "2");
  list.Remove("b");
  EXPECT_EQ(list.Size(), 1u);
  list.Clear();
  list.Add("C", "4");
  EXPECT_EQ(list[0].name, "C");
}

}  // namespace
}  // namespace kyrhost
