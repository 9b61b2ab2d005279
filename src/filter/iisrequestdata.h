#pragma once
// The IIS request adapter: the request record bound to one IIS request. It
// reads server variables and headers through the filter context and the
// send-response structure, caches what it read (each variable is fetched at
// most once per request), keeps the values the pipeline sets for logging in
// bounded buffers, and writes response headers through IIS.
//
// One instance per worker thread (iisRequestDataPool), reset and bound at
// every PREPROC_HEADERS; used by that thread only, so it takes no lock.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "filter/isapi.h"
#include "logout/lfmrequestdata.h"

class iisRequestData : public lfmRequestData {
 public:
  // Sizes of the fixed buffers, terminator included.
  static constexpr size_t kFieldSize = 4096;     // URI stem, URL, query, cookie, user agent
  static constexpr size_t kAddressSize = 96;     // client IP, protocol
  static constexpr size_t kMethodSize = 16;      // REQUEST_METHOD of the request line
  static constexpr size_t kSecureFlagSize = 10;  // HTTPS
  static constexpr size_t kMaxQueryLength = kFieldSize - 1;

  iisRequestData();
  ~iisRequestData() override;

  // Binds the record to a request (marks it loaded).
  void SetFilterContext(HTTP_FILTER_CONTEXT* context);
  HTTP_FILTER_CONTEXT* GetFilterContext() const { return context_; }
  void SetSendResponse(HTTP_FILTER_SEND_RESPONSE* response) { sendResponse_ = response; }
  // Ends the binding when the response has gone: nothing more is read from
  // or written to IIS until the record is bound again, and a later
  // notification on any context no longer matches this one, so it resets
  // the record instead of reading this request's cached values. Never
  // throws.
  void Unbind() noexcept {
    context_ = nullptr;
    sendResponse_ = nullptr;
  }
  // The bound filter context; throws 1000 when none is bound.
  HTTP_FILTER_CONTEXT* GetContextSafe() const;

  // Sets the query: `query` without leading blanks and one leading "?",
  // then "&" (unless it is empty or ends with one) and `added`. Throws 1025
  // when the result would not fit the 4095-character query.
  void FixupURIQuery(const char* query, const char* added);

  const char* GetSrcRequestText() override;
  const char* GetSrcURIStem() override;
  const char* GetSrcOrigURIStem() override;
  const char* GetSrcURIQuery() override;
  const char* GetSrcOrigURIQuery() override;
  const char* GetSrcMethod() override;
  time_t GetSrcDate() override;
  const char* GetSrcUserName() override;
  // The whole Cookie header, fetched at the size the server reports.
  const char* GetSrcInCookie() override;
  // The Cookie header as logged: cut to 4095 characters (reported once).
  const char* GetSrcLogCookie() override;
  const char* GetSrcOutCookie() override;
  const char* GetSrcReferrer() override;
  const char* GetSrcClientIP() override;
  const char* GetSrcProtocol() override;
  const char* GetSrcServerIP() override;
  const char* GetSrcUserAgent() override;
  long GetSrcStatus() override { return status_; }
  bool IsSrcSecure() override;
  uint32_t GetSrcBytes() override { return bytes_; }
  const char* GetSrcRequestLine() override;
  const char* GetSrcKYRId() override;
  bool HasSrcKYRId() const override { return kyrIdSet_; }
  const char* GetSrcOrigPath() override;

  void SetSrcRequest(const char* method, const char* uri, const char* query,
                     const char* added) override;
  void SetSrcURIStem(const char* text) override;
  void SetSrcURIQuery(const char* text) override;
  void SetSrcMethod(const char* text) override;
  void SetSrcDate(time_t seconds) override;
  void SetSrcUserName(const char* text) override;
  void SetSrcInCookie(const char* text) override;
  void SetSrcOutCookie(const char* value) override;
  void SetSrcReferrer(const char* text) override;
  void SetSrcClientIP(const char* text) override;
  void SetSrcProtocol(const char* text) override;
  void SetSrcServerIP(const char* text) override;
  void SetSrcExpires(const char* text) override;
  void SetSrcStatus(long status) override;
  void SetSrcBytes(uint32_t bytes) override;
  // Header names are given without or with the trailing ":"; IIS is always
  // asked with it.
  void AddSrcOutHeader(const char* name, const char* value) override;
  void SetSrcOutHeader(const char* name, const char* value) override;
  void SetSrcKYRId(const char* text) override;
  void SetSrcOrigPath(const char* text) override;
  bool GetSrcOutHeader(const char* name, char* buffer, uint32_t* size) override;
  bool GetSrcInHeader(const char* name, char* buffer, uint32_t* size) override;

  char* ReserveSrcOutCookie(size_t capacity) override;
  char* ReserveSrcRedirectHeader(size_t capacity) override;
  char* GetSrcRedirectHeader() override;
  size_t GetSrcRedirectHeaderCapacity() override;
  char* ReserveSrcHeaderParams(size_t capacity) override;
  char* GetSrcHeaderParams() override;
  size_t GetSrcHeaderParamsCapacity() override;

  void SetRedirectPending(bool pending) override { redirectPending_ = pending; }
  bool IsRedirectPending() override { return redirectPending_; }
  void SetExpireResponse(bool expire) override { expireResponse_ = expire; }
  bool IsExpireResponse() override { return expireResponse_; }

  // Empties every text and buffer, status 200, byte count 0, no structure
  // bound, every flag cleared. The record stays loaded.
  void Reset() override;

 private:
  struct Buffers;
  // Fetches server variable `name` into `buffer` of `size` bytes; on
  // failure the buffer is emptied and false returned. The server takes a
  // writable name: the literal is copied whole, at a size known here.
  template <size_t N>
  bool Fetch(const char (&name)[N], char* buffer, size_t size) const {
    char variable[N];
    std::memcpy(variable, name, N);
    return FetchInto(variable, buffer, size);
  }
  bool FetchInto(char* variable, char* buffer, size_t size) const;
  bool FetchCookie();
  // Copies `text` into a fixed buffer, cutting (and reporting under
  // `label`) what does not fit; returns whether it cut.
  // `*copied`, when asked for, receives the length copied.
  static bool CopyFixed(char* buffer, size_t size, const char* text, const char* label,
                        size_t* copied = nullptr);
  // Sets the URI stem (not null); true when it was cut.
  bool SetStem(const char* text);
  // Builds the request text SetSrcRequest left pending.
  void BuildRequestText();
  HTTP_FILTER_SEND_RESPONSE* RequireSendResponse(const char* method) const;
  bool CallSetHeader(bool add, const char* method, const char* name, const char* value);
  bool CallGetHeader(const char* method, const char* name, char* buffer, uint32_t* size);

  HTTP_FILTER_CONTEXT* context_ = nullptr;
  HTTP_FILTER_SEND_RESPONSE* sendResponse_ = nullptr;
  std::unique_ptr<Buffers> b_;

  std::string outCookie_;
  std::string requestText_;
  std::string requestLine_;
  std::string referrer_;
  std::string userName_;
  std::string method_;
  std::string kyrId_;
  std::string origPath_;
  std::string serverIp_;
  std::string redirectHeader_;
  std::string headerParams_;
  std::string inCookie_;
  std::string logCookie_;

  long status_ = 200;
  uint32_t bytes_ = 0;
  time_t date_ = 0;
  bool statusSet_ = false;
  bool bytesSet_ = false;
  bool dateSet_ = false;
  bool kyrIdSet_ = false;
  bool requestLineBuilt_ = false;
  bool requestTextPending_ = false;
  size_t addedAt_ = kFieldSize;  // where the added parameters begin in the query
  bool cookieFetched_ = false;
  bool logCookieBuilt_ = false;
  bool redirectPending_ = false;
  bool expireResponse_ = false;
};

// The per-thread request records.
class iisRequestDataPool {
 public:
  // The calling thread's record, created on first use; null when none can
  // be had.
  static iisRequestData* GetRequestData();
  static void Release();
  static int Live();
};
