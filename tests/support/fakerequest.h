#pragma once
// A request record for tests: every text is a plain field that reads as
// null until it is set.

#include <map>
#include <optional>
#include <string>

#include "logout/lfmrequestdata.h"
#include "util/whexception.h"

class FakeRequest : public lfmRequestData {
 public:
  FakeRequest() { SetLoaded(true); }

  // Sets a text by getter name without the "GetSrc" prefix ("URIStem",
  // "UserAgent", "KYRId", ...).
  FakeRequest& Set(const std::string& field, const std::string& value) {
    texts_[field] = value;
    return *this;
  }
  std::map<std::string, std::string> outHeaders;

  const char* GetSrcRequestText() override { return Text("RequestText"); }
  const char* GetSrcURIStem() override { return Text("URIStem"); }
  const char* GetSrcOrigURIStem() override { return Text("OrigURIStem"); }
  const char* GetSrcURIQuery() override { return Text("URIQuery"); }
  const char* GetSrcOrigURIQuery() override { return Text("OrigURIQuery"); }
  const char* GetSrcMethod() override { return Text("Method"); }
  time_t GetSrcDate() override { return date_; }
  const char* GetSrcUserName() override { return Text("UserName"); }
  const char* GetSrcInCookie() override { return Text("InCookie"); }
  const char* GetSrcOutCookie() override { return Text("OutCookie"); }
  const char* GetSrcReferrer() override { return Text("Referrer"); }
  const char* GetSrcClientIP() override { return Text("ClientIP"); }
  const char* GetSrcProtocol() override { return Text("Protocol"); }
  const char* GetSrcServerIP() override { return Text("ServerIP"); }
  const char* GetSrcUserAgent() override { return Text("UserAgent"); }
  long GetSrcStatus() override { return status_; }
  bool IsSrcSecure() override { return false; }
  uint32_t GetSrcBytes() override { return bytes_; }
  const char* GetSrcRequestLine() override { return Text("RequestLine"); }
  const char* GetSrcKYRId() override {
    if (!texts_.count("KYRId"))
      throw whException("FakeRequest", "GetSrcKYRId", "test", 0, 1000,
                        "Attempted to retrieve uninitialized data.");
    return texts_["KYRId"].c_str();
  }
  bool HasSrcKYRId() const override { return texts_.count("KYRId") != 0; }
  const char* GetSrcOrigPath() override { return Text("OrigPath"); }

  void SetSrcRequest(const char* m, const char* u, const char* q, const char*) override {
    Put("Method", m);
    Put("URIStem", u);
    Put("URIQuery", q);
  }
  void SetSrcURIStem(const char* t) override { Put("URIStem", t); }
  void SetSrcURIQuery(const char* t) override { Put("URIQuery", t); }
  void SetSrcMethod(const char* t) override { Put("Method", t); }
  void SetSrcDate(time_t s) override { date_ = s; }
  void SetSrcUserName(const char* t) override { Put("UserName", t); }
  void SetSrcInCookie(const char* t) override { Put("InCookie", t); }
  void SetSrcOutCookie(const char* v) override { Put("OutCookie", v); }
  void SetSrcReferrer(const char* t) override { Put("Referrer", t); }
  void SetSrcClientIP(const char* t) override { Put("ClientIP", t); }
  void SetSrcProtocol(const char* t) override { Put("Protocol", t); }
  void SetSrcServerIP(const char* t) override { Put("ServerIP", t); }
  void SetSrcExpires(const char* t) override { Put("Expires", t); }
  void SetSrcStatus(long s) override { status_ = s; }
  void SetSrcBytes(uint32_t b) override { bytes_ = b; }
  void AddSrcOutHeader(const char* n, const char* v) override { outHeaders[n] = v; }
  void SetSrcOutHeader(const char* n, const char* v) override { outHeaders[n] = v; }
  void SetSrcKYRId(const char* t) override { Put("KYRId", t); }
  void SetSrcOrigPath(const char* t) override { Put("OrigPath", t); }
  bool GetSrcOutHeader(const char*, char*, uint32_t*) override { return false; }
  bool GetSrcInHeader(const char*, char*, uint32_t*) override { return false; }
  char* ReserveSrcOutCookie(size_t n) override { return Reserve(n); }
  char* ReserveSrcRedirectHeader(size_t n) override { return Reserve(n); }
  char* GetSrcRedirectHeader() override { return scratch_.data(); }
  size_t GetSrcRedirectHeaderCapacity() override { return scratch_.size(); }
  char* ReserveSrcHeaderParams(size_t n) override { return Reserve(n); }
  char* GetSrcHeaderParams() override { return scratch_.data(); }
  size_t GetSrcHeaderParamsCapacity() override { return scratch_.size(); }
  void SetRedirectPending(bool p) override { redirect_ = p; }
  bool IsRedirectPending() override { return redirect_; }
  void SetExpireResponse(bool e) override { expire_ = e; }
  bool IsExpireResponse() override { return expire_; }
  void Reset() override { texts_.clear(); }

 private:
  const char* Text(const std::string& f) {
    auto it = texts_.find(f);
    return it == texts_.end() ? nullptr : it->second.c_str();
  }
  void Put(const std::string& f, const char* t) {
    if (!t)
      ThrowNullString("FakeRequest", f.c_str());
    texts_[f] = t;
  }
  char* Reserve(size_t n) {
    scratch_.assign(n + 1, '\0');
    return scratch_.data();
  }
  std::map<std::string, std::string> texts_;
  std::string scratch_ = std::string(1, '\0');
  time_t date_ = 0;
  long status_ = 200;
  uint32_t bytes_ = 0;
  bool redirect_ = false;
  bool expire_ = false;
};
