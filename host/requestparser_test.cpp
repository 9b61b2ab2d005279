// The request parser fed as a connection feeds it: whole, and one byte at a
// time with the unconsumed rest passed again. Framing it cannot be sure of
// is refused; trailer fields never become request headers.

#include "host/requestparser.h"

#include <gtest/gtest.h>

#include <boost/asio/buffer.hpp>
#include <string>

namespace kyrhost {
namespace {

constexpr int kIncomplete = -1;

// 0 when a whole request was parsed, the refusal status, or kIncomplete.
int Parse(std::string_view raw, size_t step, HttpRequest& request) {
  request.Clear();
  RequestParser parser(request);
  std::string buffer;
  size_t fed = 0;
  bool hungry = true;
  for (;;) {
    if (hungry || buffer.empty()) {
      if (fed == raw.size())
        return kIncomplete;
      size_t n = std::min(step, raw.size() - fed);
      buffer.append(raw.substr(fed, n));
      fed += n;
    }
    boost::system::error_code ec;
    size_t used = parser.put(boost::asio::buffer(buffer.data(), buffer.size()), ec);
    buffer.erase(0, used);
    hungry = ec == boost::beast::http::error::need_more;
    if (ec && !hungry)
      return parser.RefusalStatus(ec);
    if (!ec && parser.is_done())
      return 0;
  }
}

TEST(RequestParserTest, AmbiguousFramingAndFoldedLinesAreRefused) {
  struct Case {
    const char* raw;
    int result;
  };
  const Case cases[] = {
      {"GET / HTTP/1.1\r\nHost: a\r\nX-A: 1 \t 2\r\n\r\n", 0},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", 0},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n", 0},
      // Body bytes that look like a folded line are body.
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\n\r\n ", 0},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n3\r\n\r\n\t\r\n0\r\n\r\n",
       0},
      // A body whose end the parser would not know.
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip\r\n\r\nGET /x HTTP/1.1\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked, gzip\r\n\r\n0\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked, chunked\r\n\r\n0\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding:\r\n\r\n", 400},
      {"POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n",
       400},
      // Folded lines.
      {"GET / HTTP/1.1\r\nHost: a\r\nX-A: 1\r\n 2\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nX-Forwarded-For: 1.2.3.4\r\n\t, 5.6.7.8\r\nHost: a\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\n Host: a\r\n\r\n", 400},
  };
  for (const Case& c : cases) {
    for (size_t step : {size_t{1}, std::string_view(c.raw).size()}) {
      HttpRequest request;
      EXPECT_EQ(Parse(c.raw, step, request), c.result) << c.raw << " (step " << step << ")";
    }
  }
}

TEST(RequestParserTest, TrailerFieldsAreDropped) {
  const char raw[] =
      "POST /kyr.gif HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"
      "3\r\nabc\r\n0\r\nX-Forwarded-For: 203.0.113.9\r\nCookie: ID=forged\r\n"
      "User-Agent: trailer\r\n\r\n";
  for (size_t step : {size_t{1}, sizeof raw - 1}) {
    HttpRequest request;
    ASSERT_EQ(Parse(raw, step, request), 0);
    ASSERT_EQ(request.headers.Size(), 2u);
    EXPECT_EQ(request.headers[0].name, "Host");
    EXPECT_EQ(request.headers[1].name, "Transfer-Encoding");
  }
}

// The one-pass reading of a plain request takes only what the full parser
// accepts, to the same request; everything else it leaves to that parser.
TEST(RequestParserTest, OnePassReadingAgreesWithTheParserOrDeclines) {
  struct Case {
    std::string head;
    bool taken;
  };
  const std::string longTarget = "/" + std::string(RequestParser::kTargetLimit, 'a');
  std::string manyFields = "GET / HTTP/1.1\r\n";
  for (size_t i = 0; i <= RequestParser::kFieldLimit; ++i)
    manyFields += "X-" + std::to_string(i) + ": v\r\n";
  manyFields += "\r\n";
  const Case cases[] = {
      {"GET /kyr.gif?a=1&b=%2F HTTP/1.1\r\nHost: a\r\nUser-Agent: M/5.0 (X; Y)\r\n"
       "Cookie: A=1; B=2\r\nReferer: http://e.com/\r\n\r\n",
       true},
      {"GET / HTTP/1.1\r\n\r\n", true},
      {"HEAD / HTTP/1.0\r\n\r\n", true},
      {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", true},
      {"GET / HTTP/1.1\r\nconnection: close\r\n\r\n", true},
      {"GET / HTTP/1.1\r\nConnection: keep-alive\r\nConnection: close\r\n\r\n", true},
      {"GET / HTTP/1.1\r\nX-A: \t 1 \t 2 \t\r\nX-E:\r\nX-S:   \r\nH: a\r\n\r\n", true},
      {"GET /\xC3\xA9~ HTTP/1.1\r\nX-!#$%&'*+.^_`|~: \xC3\xA9\x80\r\n\r\n", true},
      {"GET " + longTarget.substr(1) + " HTTP/1.1\r\n\r\n", true},
      // Bodies and upgrades, and Connection lists.
      {"POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", false},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", false},
      {"GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n", false},
      {"GET / HTTP/1.1\r\nConnection: keep-alive, Upgrade\r\n\r\n", false},
      {"GET / HTTP/1.0\r\nProxy-Connection: keep-alive\r\n\r\n", false},
      // What the parser refuses or waits for.
      {"GET / HTTP/1.1\r\nX-A: 1\r\n 2\r\n\r\n", false},
      {"GET / HTTP/1.1\r\nHost: a\r\n", false},
      {"GET / HTTP/1.1\nHost: a\n\n", false},
      {"GET / HTTP/1.1\r\nHost: a\rb\r\n\r\n", false},
      {"GET / HTTP/1.1\r\nHost: a\x01\r\n\r\n", false},
      {"GET / HTTP/1.1\r\nHost : a\r\n\r\n", false},
      {"GET / HTTP/1.1\r\n: a\r\n\r\n", false},
      {"\r\nGET / HTTP/1.1\r\n\r\n", false},
      {"GET /\x7F HTTP/1.1\r\n\r\n", false},
      {"GET  / HTTP/1.1\r\n\r\n", false},
      {"GET / HTTP/2.0\r\n\r\n", false},
      {"GET / http/1.1\r\n\r\n", false},
      {"GET / HTTP/1.1 \r\n\r\n", false},
      {"GET " + longTarget + " HTTP/1.1\r\n\r\n", false},
      {manyFields, false},
  };
  for (const Case& c : cases) {
    // A pipelined request behind the head is not part of it.
    std::string buffer = c.head + "GET /next HTTP/1.1\r\nHost: b\r\n\r\n";
    HttpRequest fast;
    fast.Clear();
    size_t used = ParseSimpleRequest(buffer.data(), buffer.size(), fast);
    if (!c.taken) {
      EXPECT_EQ(used, 0u) << c.head;
      continue;
    }
    ASSERT_EQ(used, c.head.size()) << c.head;
    HttpRequest full;
    full.Clear();
    RequestParser parser(full);
    boost::system::error_code ec;
    ASSERT_EQ(parser.put(boost::asio::buffer(buffer.data(), buffer.size()), ec), used) << c.head;
    ASSERT_FALSE(ec) << c.head;
    ASSERT_TRUE(parser.is_done()) << c.head;
    EXPECT_EQ(fast.method, full.method) << c.head;
    EXPECT_EQ(fast.target, full.target) << c.head;
    EXPECT_EQ(fast.version, full.version) << c.head;
    EXPECT_EQ(fast.keepAlive, parser.keep_alive()) << c.head;
    ASSERT_EQ(fast.headers.Size(), full.headers.Size()) << c.head;
    for (size_t i = 0; i < fast.headers.Size(); ++i) {
      EXPECT_EQ(fast.headers[i].name, full.headers[i].name) << c.head;
      EXPECT_EQ(fast.headers[i].value, full.headers[i].value) << c.head;
    }
  }
}

}  // namespace
}  // namespace kyrhost
