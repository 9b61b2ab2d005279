// The request parser fed as a connection feeds it: whole, and one byte at a
// time with the unconsumed rest passed again. Framing it cannot be sure of
// is refused; trailer fields never become request headers.

#include "host/requestparser.h"

#include <gtest/gtest.h>

#include <boost/asio/buffer.hpp>
#include <memory>
#include <random>
#include <string>
#include <vector>

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

// Heads built at random from the pieces of a request, some of them
// malformed, then mutated byte by byte and cut at a random point: whatever
// the one-pass reading takes of the cut, the parser fed the same bytes
// takes to the same request (so a head cut short is never taken), and the
// reading stays within the bytes it is given (an exact-size copy, for the
// address sanitizer).
TEST(RequestParserTest, OnePassReadingAgreesWithTheParserOnRandomHeads) {
  std::mt19937 random(24);
  auto below = [&](size_t n) { return static_cast<size_t>(random() % n); };
  // Mostly a piece the parser accepts, now and then one it may not.
  using Pieces = std::vector<std::string>;
  auto pick = [&](const Pieces& good, const Pieces& odd) {
    return below(10) ? good[below(good.size())] : odd[below(odd.size())];
  };
  const Pieces methods = {"GET", "HEAD", "M-S!~"}, oddMethods = {"G\x01T", "", "GET "};
  const Pieces targets = {"/", "/kyr.gif?a=1&b=%2F", "/\xC3\xA9\x80\xFF", "*"},
               oddTargets = {"/a\tb", "/\x7F", "/a b", ""};
  const Pieces versions = {"HTTP/1.1", "HTTP/1.0"},
               oddVersions = {"HTTP/2.0", "HTTP/1.1 ", "http/1.1", "HTTP/1.", "HTTP/0.9"};
  const Pieces ends = {"\r\n"}, oddEnds = {"\n", "\r", "\r\r\n", "\r\n "};
  const Pieces names = {"Host",       "Cookie", "Connection",      "connection",
                        "CONNECTION", "X-A",    "K!#$%&'*+-.^_`|~"},
               oddNames = {"Content-Length", "Transfer-Encoding",
                           "Upgrade",        "Proxy-Connection",
                           "Host ",          "",
                           "X(y)",           "X\x80"};
  const Pieces values = {"a", "close",   " close ",  "Keep-Alive", "keep-alive\t",
                         "",  "\t x \t", "\x80\xFF", "1",          " "},
               oddValues = {
                   "close, keep-alive", "upgrade", std::string("a\0b", 3), "a\rb", "a\nb", "\x7F"};
  size_t taken = 0;
  for (int round = 0; round < 50000; ++round) {
    std::string head = pick(methods, oddMethods) + " " + pick(targets, oddTargets) + " " +
                       pick(versions, oddVersions) + pick(ends, oddEnds);
    size_t fields = below(8) == 0 ? RequestParser::kFieldLimit - 1 + below(3) : below(6);
    for (size_t i = 0; i < fields; ++i) {
      head += below(2) ? pick(names, oddNames) : "X-" + std::to_string(i);
      head += ":" + std::string(below(3), below(2) ? ' ' : '\t') + pick(values, oddValues) +
              pick(ends, oddEnds);
      if (below(40) == 0)
        head += " folded" + pick(ends, oddEnds);
    }
    // Now and then a head about the head limit long.
    if (below(8) == 0) {
      size_t want = RequestParser::kHeaderLimit - 4 + below(8);
      if (want > head.size() + 10)
        head += "X-Pad: " + std::string(want - head.size() - 11, 'p') + "\r\n";
    }
    head += pick(ends, oddEnds);
    for (size_t i = below(2) ? 0 : below(3) + 1; i > 0; --i) {
      size_t at = below(head.size() + 1);
      char byte = static_cast<char>(below(4) ? "\r\n \t:"[below(5)] : below(256));
      switch (below(3)) {
        case 0:
          head.insert(at, 1, byte);
          break;
        case 1:
          if (at < head.size())
            head.erase(at, 1);
          break;
        default:
          if (at < head.size())
            head[at] = byte;
      }
    }
    std::string buffer = head + "GET /next HTTP/1.1\r\n\r\n";
    size_t cut = below(3) == 0 ? below(buffer.size() + 1) : buffer.size();
    std::unique_ptr<char[]> exact(new char[cut == 0 ? 1 : cut]);
    std::copy(buffer.data(), buffer.data() + cut, exact.get());

    HttpRequest fast;
    fast.Clear();
    size_t used = ParseSimpleRequest(exact.get(), cut, fast);
    if (used == 0)
      continue;
    ++taken;
    const std::string shown = ::testing::PrintToString(buffer.substr(0, cut));
    HttpRequest full;
    full.Clear();
    RequestParser parser(full);
    boost::system::error_code ec;
    ASSERT_EQ(parser.put(boost::asio::buffer(exact.get(), cut), ec), used) << shown;
    ASSERT_FALSE(ec) << shown;
    ASSERT_TRUE(parser.is_done()) << shown;
    ASSERT_EQ(fast.method, full.method) << shown;
    ASSERT_EQ(fast.target, full.target) << shown;
    ASSERT_EQ(fast.version, full.version) << shown;
    ASSERT_EQ(fast.keepAlive, parser.keep_alive()) << shown;
    ASSERT_EQ(fast.headers.Size(), full.headers.Size()) << shown;
    for (size_t i = 0; i < fast.headers.Size(); ++i) {
      ASSERT_EQ(fast.headers[i].name, full.headers[i].name) << shown;
      ASSERT_EQ(fast.headers[i].value, full.headers[i].value) << shown;
    }
  }
  // Not a vacuous run: many heads were taken.
  EXPECT_GT(taken, 4000u);
}

}  // namespace
}  // namespace kyrhost
