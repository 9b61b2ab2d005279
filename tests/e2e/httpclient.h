#pragma once
// A real HTTP client (libcurl) for the end-to-end tests, and a raw socket
// for requests no well-behaved client would send.

#include <curl/curl.h>

#include <string>
#include <vector>

namespace e2e {

struct Response {
  long status = 0;   // 0: no response (connection failed)
  std::string head;  // every response head received, in order
  std::string body;
  // The value of header `name` in the last head, or "" (letter case ignored).
  std::string Header(const std::string& name) const;
};

class HttpClient {
 public:
  HttpClient();
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Keeps cookies in memory across requests, as a browser would.
  void UseCookieJar();
  void FollowRedirects(bool follow);
  Response Get(const std::string& url, const std::vector<std::string>& headers = {},
               const std::string& method = "GET");
  CURL* Handle() { return curl_; }

 private:
  CURL* curl_;
};

// A connection to 127.0.0.1:`port` from the loopback address `source`
// (127.0.0.2 and on stand for other clients); -1 when it failed.
int ConnectFrom(const char* source, int port);
// True when the server has closed `fd` (end of stream or reset) within
// `ms` milliseconds; whatever else arrives is read and dropped.
bool ClosedWithin(int fd, int ms);

// Sends `bytes` to 127.0.0.1:`port` and returns everything received until
// the server closes (or 10 s pass).
std::string RawExchange(int port, const std::string& bytes);

}  // namespace e2e
