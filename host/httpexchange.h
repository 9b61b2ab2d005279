#pragma once
// One connection's request/response exchange with the filter module, in the
// order IIS follows: PREPROC_HEADERS, URL_MAP, the response prepared from
// the (possibly remapped) physical path, SEND_RESPONSE, then the response
// is written. The exchange is the HTTP_FILTER_CONTEXT the module sees, and
// its callbacks work on this exchange's request and response.
//
// Threading: an exchange belongs to one connection, and a connection to one
// worker thread, so every notification of a request runs on one thread and
// nothing here takes a lock. Storage (header fields, the response head, the
// physical path buffer) is kept across the connection's requests, so a
// steady stream of requests allocates nothing.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "filter/isapi.h"
#include "host/filecache.h"
#include "host/filtermodule.h"
#include "host/health.h"

namespace kyrhost {

struct HeaderField {
  std::string name;
  std::string value;
};

// Header fields in arrival order; the strings keep their storage when the
// list is cleared and refilled.
class HeaderList {
 public:
  void Clear() { count_ = 0; }
  void Add(std::string_view name, std::string_view value);
  // Replaces the first field named `name` (letter case ignored) and removes
  // the others of that name, or adds it.
  void Set(std::string_view name, std::string_view value);
  void Remove(std::string_view name);
  const HeaderField* Find(std::string_view name) const;
  size_t Size() const { return count_; }
  const HeaderField& operator[](size_t i) const { return fields_[i]; }

 private:
  std::vector<HeaderField> fields_;
  size_t count_ = 0;
};

// A request as the parser left it.
struct HttpRequest {
  std::string method;
  std::string target;  // as received
  int version = 11;    // 10 or 11
  HeaderList headers;
  bool keepAlive = true;
  void Clear() {
    method.clear();
    target.clear();
    version = 11;
    headers.Clear();
    keepAlive = true;
  }
};

// What the server shares with every exchange; read-only while serving.
struct HostSettings {
  std::string webRoot;  // absolute, no trailing "/"
  const FilterModule* module = nullptr;
  // A GET or HEAD of this decoded path is answered from `health` and never
  // shown to the module; empty (or no `health`): no such path.
  std::string healthPath;
  const Health* health = nullptr;
};

// The connection's two ends, as the server variables give them.
struct ConnectionInfo {
  std::string remoteAddr;
  std::string remotePort;
  std::string localAddr;
  std::string localPort;
  bool secure = false;
  // The peer is a trusted proxy (a load balancer): the client's address is
  // the last one its X-Forwarded-For names.
  bool trustedProxy = false;
};

class HttpExchange {
 public:
  // The physical path buffer that URL_MAP hands the module, as IIS sizes it.
  static constexpr size_t kPathBuffer = 260;
  static constexpr size_t kMaxUrl = 4096;  // decoded path, bytes

  HttpExchange(const HostSettings& host, const ConnectionInfo& connection, FileCache& files);
  HttpExchange(const HttpExchange&) = delete;
  HttpExchange& operator=(const HttpExchange&) = delete;

  HttpRequest& Request() { return request_; }
  const ConnectionInfo& Connection() const { return connection_; }

  // Runs the parsed request through the module and prepares the response.
  // `date` is the Date header's value; `closing` asks for "Connection:
  // close" (the server is stopping).
  void Handle(std::string_view date, bool closing, FileCache::Clock::time_point now);

  // Prepares an error response for a request the parser refused (400, 413,
  // 414, 431); the module is not called, as IIS rejects such requests before
  // any filter sees them. The connection closes after it.
  void Refuse(int status, std::string_view date);

  // The response: its head, and the body held in memory (empty for HEAD,
  // for responses without one and for a streamed file). Valid until the
  // next Handle/Refuse.
  std::string_view Head() const { return head_; }
  std::string_view Body() const { return body_; }
  // A file too large to hold in memory, sent after the head: its
  // descriptor (-1 when there is none, as for HEAD), to be read from offset
  // 0 with pread, and the length the head announced. Open until the next
  // Handle/Refuse; the file may shrink meanwhile, and then the response
  // cannot be completed.
  int BodyFd() const { return file_.stream ? file_.stream->Get() : -1; }
  uint64_t BodyFileSize() const { return file_.stream ? file_.size : 0; }
  // Lets go of the response's file once it has been sent (a streamed
  // file's descriptor above all, which would otherwise stay open until the
  // connection's next request). Body() is empty afterwards.
  void ReleaseBody() {
    file_.Clear();
    body_ = {};
  }
  // False when the module ended the request without a response: nothing is
  // sent and the connection closes.
  bool HasResponse() const { return !head_.empty(); }
  bool CloseAfter() const { return closeAfter_; }
  int Status() const { return static_cast<int>(status_); }

  // ---- what the callbacks see (also used by tests) ----
  // GetServerVariable's value of `name`; false when there is none.
  bool ServerVariable(std::string_view name, std::string& out) const;
  const std::string& Url() const { return url_; }
  std::string_view PhysicalPath() const { return path_; }

 private:
  // Splits and decodes the target into url_ and query_; 0, or the status to
  // refuse the request with.
  int SplitTarget();
  // Answers the health path: 200 or 503 from host_.health, 405 for a
  // method other than GET and HEAD.
  void AnswerHealth();
  // Shows the module one notification; true when the request has ended.
  bool Deliver(DWORD notification, void* data);
  void Run(FileCache::Clock::time_point now);
  void PrepareResponse(FileCache::Clock::time_point now);
  void ServeFile(std::string_view path, FileCache::Clock::time_point now);
  void SetError(DWORD status);
  void Serialize(std::string_view date);
  void SerializeOwn(std::string_view date);
  // The head after its status line: Date, Server, the module's own header
  // block (for its own response), `fields`, Content-Length of the body when
  // `length`, Connection, and the empty line.
  void AppendHead(std::string_view date, const HeaderList& fields, bool length);
  bool PhysicalPathIsSafe() const;
  // The length of the body, in memory or streamed.
  uint64_t BodyLength() const { return file_.stream ? file_.size : body_.size(); }

  static HttpExchange* From(HTTP_FILTER_CONTEXT* pfc);
  static BOOL WINAPI GetServerVariableCb(HTTP_FILTER_CONTEXT*, LPSTR, LPVOID, LPDWORD);
  static BOOL WINAPI AddResponseHeadersCb(HTTP_FILTER_CONTEXT*, LPSTR, DWORD);
  static BOOL WINAPI WriteClientCb(HTTP_FILTER_CONTEXT*, LPVOID, LPDWORD, DWORD);
  static void* WINAPI AllocMemCb(HTTP_FILTER_CONTEXT*, DWORD, DWORD);
  static BOOL WINAPI ServerSupportFunctionCb(HTTP_FILTER_CONTEXT*, enum SF_REQ_TYPE, PVOID,
                                             ULONG_PTR, ULONG_PTR);
  static BOOL WINAPI GetRequestHeaderCb(HTTP_FILTER_CONTEXT*, LPSTR, LPVOID, LPDWORD);
  static BOOL WINAPI SetRequestHeaderCb(HTTP_FILTER_CONTEXT*, LPSTR, LPSTR);
  static BOOL WINAPI AddRequestHeaderCb(HTTP_FILTER_CONTEXT*, LPSTR, LPSTR);
  static BOOL WINAPI GetResponseHeaderCb(HTTP_FILTER_CONTEXT*, LPSTR, LPVOID, LPDWORD);
  static BOOL WINAPI SetResponseHeaderCb(HTTP_FILTER_CONTEXT*, LPSTR, LPSTR);
  static BOOL WINAPI AddResponseHeaderCb(HTTP_FILTER_CONTEXT*, LPSTR, LPSTR);
  static BOOL WINAPI OwnResponseHeaderCb(HTTP_FILTER_CONTEXT*, LPSTR, LPSTR);
  BOOL SendOwnResponse(const char* status, const char* headers);
  BOOL ChangeResponseHeader(std::string_view name, std::string_view value, bool add);

  const HostSettings& host_;
  const ConnectionInfo& connection_;
  FileCache& files_;

  HttpRequest request_;
  std::string url_;      // decoded path: the URL server variable
  std::string query_;    // as received, without "?" and any "#" fragment
  std::string scratch_;  // callback values, index paths, locations
  std::string healthBody_;
  bool urlChanged_ = false;

  HTTP_FILTER_CONTEXT context_{};
  HTTP_FILTER_PREPROC_HEADERS preproc_{};
  HTTP_FILTER_SEND_RESPONSE send_{};
  char path_[kPathBuffer] = {};
  std::vector<std::unique_ptr<char[]>> allocations_;  // AllocMem, freed per request

  DWORD status_ = 200;
  HeaderList responseHeaders_;
  FileCache::File file_;
  std::string_view body_;
  bool headOnly_ = false;
  bool ended_ = false;        // the module ended the request
  bool silent_ = false;       // ended without any response
  bool ownResponse_ = false;  // the module sent its own response
  bool inOwnPass_ = false;    // its own response is passing SEND_RESPONSE
  bool ownHasLength_ = false;
  std::string ownStatus_;
  std::string ownHeaders_;
  HeaderList ownExtra_;  // added while the own response passes SEND_RESPONSE
  bool closeAfter_ = false;
  std::string head_;
};

// "%XX" decoding of a URL path. Refuses (false) a bad escape, a control
// byte (below 0x20, or 0x7F) raw or decoded, an encoded "/" or "\", a raw
// "\", and a ".." segment.
bool DecodeUrlPath(std::string_view raw, std::string& out);

}  // namespace kyrhost
