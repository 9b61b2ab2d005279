#pragma once
// The HTTP/1.1 request parser: Beast's parser, storing the request line and
// the header fields into a connection's reused HttpRequest instead of a
// message object, and discarding any body (kyrhost serves files only).
// One parser per request; it lives in place inside the connection.
//
// Framing is strict, since a body whose end is misjudged is read as the
// next request: a Transfer-Encoding whose final coding is not "chunked"
// (Beast would take such a request as having no body), any
// Transfer-Encoding in an HTTP/1.0 request, and a folded header line (one
// starting with a blank, which Beast would join to the field above) are
// refused with 400. Trailer fields of a chunked body are dropped: they
// never become request headers.
//
// ParseSimpleRequest below reads the common request (a head without body
// framing, all in the buffer) in one pass, to the very result of the
// parser; the connection tries it first and hands anything else here.

#include <algorithm>
#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "host/httpexchange.h"

namespace kyrhost {

class RequestParser : public boost::beast::http::basic_parser<true> {
 public:
  static constexpr uint32_t kHeaderLimit = 16384;  // request line and fields
  static constexpr size_t kTargetLimit = 8192;
  static constexpr size_t kFieldLimit = 100;
  static constexpr uint64_t kBodyLimit = 1 << 20;

  explicit RequestParser(HttpRequest& request) : request_(request) {
    header_limit(kHeaderLimit);
    body_limit(kBodyLimit);
    eager(true);
  }

  // Feeds what has arrived and not been consumed yet, as Beast's put does
  // (the caller passes the unconsumed rest again with more appended), after
  // refusing a folded header line in the head. Hides every overload of
  // Beast's put, so that no caller can bypass the check.
  std::size_t put(boost::asio::const_buffer buffer, boost::system::error_code& ec) {
    if (!is_header_done() && HasFoldedLine(buffer)) {
      ec = boost::beast::http::error::bad_obs_fold;
      return 0;
    }
    // Beast asserts that the last chunk ("0\r\n\r\n" at least), once
    // seen, is passed again whole; fewer bytes cannot finish a chunked body
    // anyway, so they wait for more.
    if (is_header_done() && chunked() && buffer.size() < 5) {
      ec = boost::beast::http::error::need_more;
      return 0;
    }
    std::size_t used = basic_parser::put(buffer, ec);
    scanned_ = scanned_ > used ? scanned_ - used : 0;
    return used;
  }

  // Why the parser failed, as the status to answer with.
  int RefusalStatus(const boost::system::error_code& ec) const {
    namespace http = boost::beast::http;
    if (targetTooLong_)
      return 414;
    if (tooManyFields_ || ec == http::error::header_limit)
      return 431;
    if (ec == http::error::body_limit)
      return 413;
    return 400;
  }

 private:
  using string_view = boost::beast::string_view;
  using error_code = boost::system::error_code;

  void on_request_impl(boost::beast::http::verb, string_view method, string_view target,
                       int version, error_code& ec) override {
    if (target.size() > kTargetLimit) {
      targetTooLong_ = true;
      ec = boost::beast::http::error::bad_target;
      return;
    }
    request_.method.assign(method.data(), method.size());
    request_.target.assign(target.data(), target.size());
    request_.version = version;
  }
  void on_response_impl(int, string_view, int, error_code&) override {}
  void on_field_impl(boost::beast::http::field f, string_view name, string_view value,
                     error_code& ec) override {
    if (is_header_done())
      return;  // a trailer field
    if (f == boost::beast::http::field::transfer_encoding)
      transferEncoding_ = true;
    if (request_.headers.Size() >= kFieldLimit) {
      tooManyFields_ = true;
      ec = boost::beast::http::error::header_limit;
      return;
    }
    request_.headers.Add({name.data(), name.size()}, {value.data(), value.size()});
  }
  void on_header_impl(error_code& ec) override {
    // Beast frames a body as chunked only when "chunked" is the final
    // coding, and applied once.
    if (transferEncoding_ && (request_.version < 11 || !chunked()))
      ec = boost::beast::http::error::bad_transfer_encoding;
  }

  // True when the head in `buffer` holds a line break followed by a blank.
  // Scans on from where the last call stopped (the head stays in the
  // caller's buffer until Beast has taken it), up to the head's end.
  bool HasFoldedLine(boost::asio::const_buffer buffer) {
    const char* p = static_cast<const char*>(buffer.data());
    std::size_t n = buffer.size();
    std::size_t i = scanned_;
    // A CR is what a line break starts with; memchr finds the next one
    // far faster than a byte loop walks to it.
    while (i + 2 < n) {
      const void* cr = std::memchr(p + i, '\r', n - 2 - i);
      if (!cr) {
        i = n - 2;
        break;
      }
      i = static_cast<std::size_t>(static_cast<const char*>(cr) - p);
      if (p[i + 1] == '\n') {
        if (p[i + 2] == ' ' || p[i + 2] == '\t')
          return true;
        if (p[i + 2] == '\r') {
          if (i + 3 == n)
            break;  // undecided until the next byte
          if (p[i + 3] == '\n')
            return false;  // the head ends here
        }
      }
      ++i;
    }
    scanned_ = i;
    return false;
  }
  void on_body_init_impl(boost::optional<std::uint64_t> const&, error_code&) override {}
  std::size_t on_body_impl(string_view body, error_code&) override { return body.size(); }
  void on_chunk_header_impl(std::uint64_t, string_view, error_code&) override {}
  std::size_t on_chunk_body_impl(std::uint64_t, string_view body, error_code&) override {
    return body.size();
  }
  void on_finish_impl(error_code&) override {}

  HttpRequest& request_;
  bool targetTooLong_ = false;
  bool tooManyFields_ = false;
  bool transferEncoding_ = false;
  std::size_t scanned_ = 0;  // bytes at the buffer's front checked for folded lines
};

// The common request read in one pass, without Beast: a whole head at the
// front of `data` (request line, fields, the empty line), HTTP/1.0 or 1.1,
// within RequestParser's limits, with no field that frames a body
// (Content-Length, Transfer-Encoding), no Upgrade or Proxy-Connection, no
// Connection but one holding just "close" or "keep-alive", no folded line,
// and no byte RequestParser would refuse. Fills `request` (cleared
// beforehand) exactly as RequestParser would, keepAlive included, and
// returns the head's length. 0 for anything else: then `request` holds
// a part and must be cleared, and RequestParser takes the bytes, to the
// same request, a refusal, or a wait for more.
inline std::size_t ParseSimpleRequest(const char* data, std::size_t size, HttpRequest& request) {
  // Token characters (method, field names); a target's bytes are every
  // one above the space but DEL; a value's every one but controls other
  // than tab.
  static const auto kToken = [] {
    std::array<bool, 256> token{};
    for (int c = '0'; c <= '9'; ++c)
      token[c] = true;
    for (int c = 'a'; c <= 'z'; ++c)
      token[c] = token[c - 'a' + 'A'] = true;
    for (const char* c = "!#$%&'*+-.^_`|~"; *c; ++c)
      token[static_cast<unsigned char>(*c)] = true;
    return token;
  }();
  auto isToken = [](char c) { return kToken[static_cast<unsigned char>(c)]; };
  auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
  // Whether [first, last) holds only target bytes, or only value bytes.
  // Without an early exit and on plain integers, so that the compiler
  // tests many bytes at once.
  auto allTarget = [](const char* first, const char* last) {
    const auto* u = reinterpret_cast<const unsigned char*>(first);
    std::size_t n = static_cast<std::size_t>(last - first);
    unsigned bad = 0;
    for (std::size_t i = 0; i < n; ++i)
      bad |= static_cast<unsigned>(u[i] <= 0x20) | static_cast<unsigned>(u[i] == 0x7f);
    return bad == 0;
  };
  auto allValue = [](const char* first, const char* last) {
    const auto* u = reinterpret_cast<const unsigned char*>(first);
    std::size_t n = static_cast<std::size_t>(last - first);
    unsigned bad = 0;
    for (std::size_t i = 0; i < n; ++i)
      bad |=
          static_cast<unsigned>(u[i] < 0x20 && u[i] != '\t') | static_cast<unsigned>(u[i] == 0x7f);
    return bad == 0;
  };
  auto equalsNoCase = [](std::string_view a, std::string_view lower) {
    if (a.size() != lower.size())
      return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      char c = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
      if (c != lower[i])
        return false;
    }
    return true;
  };

  // Strictly within the head limit: a head of that length exactly is
  // left to RequestParser.
  const char* p = data;
  const char* end = data + std::min<std::size_t>(size, RequestParser::kHeaderLimit - 1);
  const char* method = p;
  while (p < end && isToken(*p))
    ++p;
  if (p == method || p == end || *p != ' ')
    return 0;
  const char* methodEnd = p++;
  const char* target = p;
  p = static_cast<const char*>(std::memchr(p, ' ', static_cast<std::size_t>(end - p)));
  if (!p || p == target || static_cast<std::size_t>(p - target) > RequestParser::kTargetLimit ||
      !allTarget(target, p))
    return 0;
  const char* targetEnd = p++;
  if (end - p < 10 || std::memcmp(p, "HTTP/1.", 7) != 0 || (p[7] != '0' && p[7] != '1') ||
      p[8] != '\r' || p[9] != '\n')
    return 0;
  request.method.assign(method, static_cast<std::size_t>(methodEnd - method));
  request.target.assign(target, static_cast<std::size_t>(targetEnd - target));
  request.version = p[7] == '1' ? 11 : 10;
  p += 10;

  bool close = false;
  bool keepAlive = false;
  for (;;) {
    if (end - p < 2)
      return 0;
    if (p[0] == '\r') {
      if (p[1] != '\n')
        return 0;
      p += 2;
      break;
    }
    const char* name = p;
    while (p < end && isToken(*p))
      ++p;
    if (p == name || p == end || *p != ':')
      return 0;
    std::string_view fieldName(name, static_cast<std::size_t>(p - name));
    ++p;
    while (p < end && isBlank(*p))
      ++p;
    const char* value = p;
    p = static_cast<const char*>(std::memchr(p, '\r', static_cast<std::size_t>(end - p)));
    // CR LF, and a next line that does not begin with a blank (a fold).
    if (!p || end - p < 3 || p[1] != '\n' || isBlank(p[2]) || !allValue(value, p))
      return 0;
    const char* valueEnd = p;
    while (valueEnd != value && isBlank(valueEnd[-1]))
      --valueEnd;
    p += 2;
    std::string_view fieldValue(value, static_cast<std::size_t>(valueEnd - value));
    if (equalsNoCase(fieldName, "connection")) {
      if (equalsNoCase(fieldValue, "close"))
        close = true;
      else if (equalsNoCase(fieldValue, "keep-alive"))
        keepAlive = true;
      else
        return 0;
    } else if (equalsNoCase(fieldName, "content-length") ||
               equalsNoCase(fieldName, "transfer-encoding") ||
               equalsNoCase(fieldName, "proxy-connection") || equalsNoCase(fieldName, "upgrade")) {
      return 0;
    }
    if (request.headers.Size() >= RequestParser::kFieldLimit)
      return 0;
    request.headers.Add(fieldName, fieldValue);
  }
  request.keepAlive = request.version == 11 ? !close : keepAlive;
  return static_cast<std::size_t>(p - data);
}

}  // namespace kyrhost
