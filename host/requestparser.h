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

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>
#include <cstddef>

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
    for (; i + 2 < n; ++i) {
      if (p[i] != '\r' || p[i + 1] != '\n')
        continue;
      if (p[i + 2] == ' ' || p[i + 2] == '\t')
        return true;
      if (p[i + 2] == '\r') {
        if (i + 3 == n)
          break;  // undecided until the next byte
        if (p[i + 3] == '\n')
          return false;  // the head ends here
      }
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

}  // namespace kyrhost
