#include "tests/e2e/httpclient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "util/lfmutility.h"

namespace e2e {

namespace {

struct GlobalInit {
  GlobalInit() { curl_global_init(CURL_GLOBAL_ALL); }
};

size_t Append(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

}  // namespace

std::string Response::Header(const std::string& name) const {
  size_t last = head.rfind("HTTP/");
  std::string_view h =
      last == std::string::npos ? std::string_view(head) : std::string_view(head).substr(last);
  size_t pos = 0;
  while (pos < h.size()) {
    size_t end = h.find("\r\n", pos);
    if (end == std::string_view::npos)
      end = h.size();
    std::string_view line = h.substr(pos, end - pos);
    size_t colon = line.find(':');
    if (colon != std::string_view::npos && lfmUtility::EqualsNoCase(line.substr(0, colon), name)) {
      std::string_view v = line.substr(colon + 1);
      while (!v.empty() && v.front() == ' ')
        v.remove_prefix(1);
      return std::string(v);
    }
    pos = end + 2;
  }
  return "";
}

HttpClient::HttpClient() {
  static GlobalInit init;
  curl_ = curl_easy_init();
  curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 30L);
  curl_easy_setopt(curl_, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl_, CURLOPT_USERAGENT, "kyr-e2e/1.0 (test client)");
}

HttpClient::~HttpClient() {
  curl_easy_cleanup(curl_);
}

void HttpClient::UseCookieJar() {
  curl_easy_setopt(curl_, CURLOPT_COOKIEFILE, "");
}

void HttpClient::FollowRedirects(bool follow) {
  curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, follow ? 1L : 0L);
}

Response HttpClient::Get(const std::string& url, const std::vector<std::string>& headers,
                         const std::string& method) {
  Response r;
  curl_slist* list = nullptr;
  for (const std::string& h : headers)
    list = curl_slist_append(list, h.c_str());
  curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &Append);
  curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &r.head);
  curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &Append);
  curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &r.body);
  curl_easy_setopt(curl_, CURLOPT_NOBODY, method == "HEAD" ? 1L : 0L);
  curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST,
                   method == "GET" || method == "HEAD" ? nullptr : method.c_str());
  if (curl_easy_perform(curl_) == CURLE_OK)
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &r.status);
  curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, nullptr);
  curl_slist_free_all(list);
  return r;
}

int ConnectFrom(const char* source, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source, &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

namespace {

// Reads (into `received`, when given) until the peer closes or `ms` pass;
// true when it closed.
bool ReadUntilClosed(int fd, int ms, std::string* received) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0)
      continue;
    char buffer[4096];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0)
      return true;
    if (received)
      received->append(buffer, static_cast<size_t>(n));
  }
  return false;
}

}  // namespace

bool ClosedWithin(int fd, int ms) {
  return ReadUntilClosed(fd, ms, nullptr);
}

std::string RawExchange(int port, const std::string& bytes) {
  std::string received;
  int fd = ConnectFrom("127.0.0.1", port);
  if (fd < 0)
    return received;
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0)
      break;
    sent += static_cast<size_t>(n);
  }
  shutdown(fd, SHUT_WR);  // all sent: the server need not wait for more
  ReadUntilClosed(fd, 10000, &received);
  close(fd);
  return received;
}

}  // namespace e2e
