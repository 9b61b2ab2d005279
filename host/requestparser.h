#pragma once
// The HTTP/1.1 request parser: Beast's parser, storing the request line and
// the header fields into a connection's reused HttpRequest instead of a
// message object, and discarding any body (kyrhost serves files only).
// One parser per request; it lives in place inside the connection.

#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>

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
  void on_field_impl(boost::beast::http::field, string_view name, string_view value,
                     error_code& ec) override {
    if (request_.headers.Size() >= kFieldLimit) {
      tooManyFields_ = true;
      ec = boost::beast::http::error::header_limit;
      return;
    }
    request_.headers.Add({name.data(), name.size()}, {value.data(), value.size()});
  }
  void on_header_impl(error_code&) override {}
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
};

}  // namespace kyrhost
