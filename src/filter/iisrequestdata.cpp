#include "filter/iisrequestdata.h"

#include <cstring>
#include <new>

#include "diag/lfmdebuglog.h"
#include "hit/lfmthreadobjects.h"
#include "util/lfmclock.h"
#include "util/lfmutility.h"
#include "util/whexceptiontexts.h"

namespace {

const char kClass[] = "iisRequestData";
const char kModule[] = "./src/filter/iisrequestdata.cpp";

const char* NullIfEmpty(const char* text) {
  return (text && *text) ? text : nullptr;
}
const char* NullIfEmpty(const std::string& text) {
  return (text.empty() || text[0] == '\0') ? nullptr : text.c_str();
}

// The header name as IIS expects it: with its trailing ":".
std::string HeaderName(const char* name) {
  std::string n = name;
  if (n.empty() || n.back() != ':')
    n += ':';
  return n;
}

char* Reserve(std::string& text, size_t n) {
  text.assign(n, '\0');
  return &text[0];
}

}  // namespace

struct iisRequestData::Buffers {
  char uriStem[kFieldSize];
  char url[kFieldSize];
  char query[kFieldSize];
  char origQuery[kFieldSize];
  char userAgent[kFieldSize];
  char clientIp[kAddressSize];
  char protocol[kAddressSize];
  char lineMethod[kMethodSize];
  char lineProtocol[kAddressSize];
  char secure[kSecureFlagSize];
  char cookie[kFieldSize];
  bool uriStemFetched;
  bool urlFetched;
  bool queryFetched;
  bool queryAsReceived;  // `query` holds the server's QUERY_STRING, unchanged
  bool origQueryFetched;
  bool userAgentFetched;
  bool clientIpFetched;
  bool protocolFetched;
  bool secureFetched;

  void Clear() {
    uriStem[0] = url[0] = query[0] = origQuery[0] = userAgent[0] = '\0';
    clientIp[0] = protocol[0] = lineMethod[0] = lineProtocol[0] = secure[0] = '\0';
    uriStemFetched = urlFetched = queryFetched = queryAsReceived = origQueryFetched = false;
    userAgentFetched = clientIpFetched = protocolFetched = secureFetched = false;
  }
};

iisRequestData::iisRequestData() : b_(new Buffers()) {
  outCookie_.reserve(500);
  requestText_.reserve(1000);
  requestLine_.reserve(1000);
  referrer_.reserve(500);
  userName_.reserve(100);
  serverIp_.reserve(512);
  redirectHeader_.reserve(1000);
  headerParams_.reserve(1000);
  b_->Clear();
}

iisRequestData::~iisRequestData() = default;

void iisRequestData::SetFilterContext(HTTP_FILTER_CONTEXT* context) {
  context_ = context;
  SetLoaded(true);
}

HTTP_FILTER_CONTEXT* iisRequestData::GetContextSafe() const {
  if (!context_)
    throw whException(
        kClass, "GetContextSafe()", kModule, __LINE__, 1000,
        "The HTTP_FILTER_CONTEXT structure must be set prior to calling this method.");
  return context_;
}

bool iisRequestData::FetchInto(char* variable, char* buffer, size_t size) const {
  HTTP_FILTER_CONTEXT* pfc = GetContextSafe();
  buffer[0] = '\0';
  DWORD n = static_cast<DWORD>(size);
  if (pfc->GetServerVariable && pfc->GetServerVariable(pfc, variable, buffer, &n)) {
    buffer[size - 1] = '\0';  // a host that filled the buffer to the end
    return true;
  }
  buffer[0] = '\0';
  return false;
}

bool iisRequestData::FetchCookie() {
  HTTP_FILTER_CONTEXT* pfc = GetContextSafe();
  char variable[] = "HTTP_COOKIE";
  inCookie_.clear();
  if (!pfc->GetServerVariable)
    return false;
  b_->cookie[0] = '\0';
  DWORD n = static_cast<DWORD>(kFieldSize);
  if (pfc->GetServerVariable(pfc, variable, b_->cookie, &n)) {
    inCookie_.assign(b_->cookie, strnlen(b_->cookie, kFieldSize));
    return true;
  }
  if (n <= kFieldSize)
    return false;
  // A longer Cookie header is fetched at the size the server reports, so
  // that it still carries the visitor cookie; only the logged copy is cut.
  size_t size = n;
  inCookie_.assign(size, '\0');
  n = static_cast<DWORD>(size);
  if (pfc->GetServerVariable(pfc, variable, &inCookie_[0], &n)) {
    inCookie_.resize(strnlen(inCookie_.data(), size));
    return true;
  }
  inCookie_.clear();
  return false;
}

bool iisRequestData::CopyFixed(char* buffer, size_t size, const char* text, const char* label,
                               size_t* copied) {
  size_t n = std::strlen(text);
  const bool cut = n >= size;
  if (cut) {
    n = size - 1;
    lfmDebugLog::Instance().LogValues(MESS_LOG_ELEMENT_TRUNCATED, {label, text});
  }
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
  if (copied)
    *copied = n;
  return cut;
}

// ---- getters ----

const char* iisRequestData::GetSrcRequestText() {
  BuildRequestText();
  return NullIfEmpty(requestText_);
}

const char* iisRequestData::GetSrcURIStem() {
  if (!b_->uriStemFetched)
    b_->uriStemFetched = Fetch("URL", b_->uriStem, kFieldSize);
  return NullIfEmpty(b_->uriStem);
}

const char* iisRequestData::GetSrcOrigURIStem() {
  if (!b_->urlFetched)
    b_->urlFetched = Fetch("URL", b_->url, kFieldSize);
  return NullIfEmpty(b_->url);
}

const char* iisRequestData::GetSrcURIQuery() {
  if (!b_->queryFetched)
    b_->queryFetched = b_->queryAsReceived = Fetch("QUERY_STRING", b_->query, kFieldSize);
  return NullIfEmpty(b_->query);
}

const char* iisRequestData::GetSrcOrigURIQuery() {
  if (!b_->origQueryFetched) {
    if (b_->queryAsReceived) {
      // The same variable, already read: a copy saves asking the server.
      std::memcpy(b_->origQuery, b_->query, std::strlen(b_->query) + 1);
      b_->origQueryFetched = true;
    } else {
      b_->origQueryFetched = Fetch("QUERY_STRING", b_->origQuery, kFieldSize);
    }
  }
  return NullIfEmpty(b_->origQuery);
}

const char* iisRequestData::GetSrcMethod() {
  return NullIfEmpty(method_);
}

time_t iisRequestData::GetSrcDate() {
  if (!dateSet_) {
    date_ = lfmClock::Now();
    dateSet_ = true;
  }
  return date_;
}

const char* iisRequestData::GetSrcUserName() {
  return NullIfEmpty(userName_);
}

const char* iisRequestData::GetSrcInCookie() {
  if (!cookieFetched_)
    cookieFetched_ = FetchCookie();
  return NullIfEmpty(inCookie_);
}

const char* iisRequestData::GetSrcLogCookie() {
  const char* cookie = GetSrcInCookie();
  if (!cookie || inCookie_.size() < kFieldSize)
    return cookie;
  if (!logCookieBuilt_) {
    logCookie_.assign(inCookie_, 0, kFieldSize - 1);
    lfmDebugLog::Instance().LogValues(MESS_LOG_ELEMENT_TRUNCATED, {"InCookie", inCookie_});
    logCookieBuilt_ = true;
  }
  return logCookie_.c_str();
}

const char* iisRequestData::GetSrcOutCookie() {
  return NullIfEmpty(outCookie_);
}
const char* iisRequestData::GetSrcReferrer() {
  return NullIfEmpty(referrer_);
}

const char* iisRequestData::GetSrcClientIP() {
  if (!b_->clientIpFetched)
    b_->clientIpFetched = Fetch("REMOTE_ADDR", b_->clientIp, kAddressSize);
  return b_->clientIp;
}

const char* iisRequestData::GetSrcProtocol() {
  if (!b_->protocolFetched)
    b_->protocolFetched = Fetch("SERVER_PROTOCOL", b_->protocol, kAddressSize);
  return b_->protocol;
}

const char* iisRequestData::GetSrcServerIP() {
  return NullIfEmpty(serverIp_);
}

const char* iisRequestData::GetSrcUserAgent() {
  if (!b_->userAgentFetched)
    b_->userAgentFetched = Fetch("HTTP_USER_AGENT", b_->userAgent, kFieldSize);
  return NullIfEmpty(b_->userAgent);
}

bool iisRequestData::IsSrcSecure() {
  if (!b_->secureFetched)
    b_->secureFetched = Fetch("HTTPS", b_->secure, kSecureFlagSize);
  return lfmUtility::EqualsNoCase(b_->secure, "on");
}

const char* iisRequestData::GetSrcRequestLine() {
  if (!requestLineBuilt_) {
    Fetch("REQUEST_METHOD", b_->lineMethod, kMethodSize);
    Fetch("SERVER_PROTOCOL", b_->lineProtocol, kAddressSize);
    const char* url = GetSrcOrigURIStem();
    const char* query = GetSrcOrigURIQuery();
    requestLine_ = b_->lineMethod;
    requestLine_ += ' ';
    requestLine_ += url ? url : "";
    if (query) {
      requestLine_ += '?';
      requestLine_ += query;
    }
    requestLine_ += ' ';
    requestLine_ += b_->lineProtocol;
    requestLineBuilt_ = true;
  }
  return requestLine_.c_str();
}

const char* iisRequestData::GetSrcKYRId() {
  if (!kyrIdSet_)
    throw whException(kClass, "GetSrcKYRId()", kModule, __LINE__, 1000,
                      "Attempted to retrieve uninitialized data.");
  return kyrId_.c_str();
}

const char* iisRequestData::GetSrcOrigPath() {
  return NullIfEmpty(origPath_);
}

// ---- setters ----

void iisRequestData::SetSrcRequest(const char* method, const char* uri, const char* query,
                                   const char* added) {
  if (!method || !uri)
    ThrowNullString(kClass, "SetSrcRequest()");
  SetSrcMethod(method);
  const bool uriCut = SetStem(uri);
  FixupURIQuery(query, added);
  // No stage reads the request text: it is built when asked for, from the
  // method, stem and query as this call leaves them (a setter that changes
  // one builds it first). A stem that was cut does not hold the URI whole.
  requestTextPending_ = true;
  if (uriCut) {
    requestTextPending_ = false;
    requestText_ = method;
    requestText_ += ' ';
    requestText_ += uri;
    requestText_ += '?';
    if (added)
      requestText_ += added;
  }
}

void iisRequestData::BuildRequestText() {
  if (!requestTextPending_)
    return;
  requestTextPending_ = false;
  requestText_ = method_;
  requestText_ += ' ';
  requestText_ += b_->uriStem;
  requestText_ += '?';
  if (addedAt_ < kFieldSize)
    requestText_ += b_->query + addedAt_;
}

void iisRequestData::FixupURIQuery(const char* query, const char* added) {
  BuildRequestText();
  addedAt_ = kFieldSize;
  size_t length = 0;
  if (!query || !*query) {
    b_->query[0] = '\0';
  } else {
    const char* q = query;
    while (lfmUtility::IsBlank(*q))
      ++q;
    if (*q == '?')
      ++q;
    CopyFixed(b_->query, kFieldSize, q, "URIQuery", &length);
  }
  b_->queryFetched = true;
  b_->queryAsReceived = false;
  if (!added || !*added)
    return;
  size_t extra = std::strlen(added);
  if (length + extra + 1 > kMaxQueryLength)
    throw whException(kClass, "FixupURIQuery()", kModule, __LINE__, whText::kExtendString,
                      "m_pURIQuery");
  if (length > 0 && b_->query[length - 1] != '&')
    b_->query[length++] = '&';
  std::memcpy(b_->query + length, added, extra + 1);
  addedAt_ = length;
}

void iisRequestData::SetSrcURIStem(const char* text) {
  if (!text)
    ThrowNullString(kClass, "SetSrcURIStem()");
  SetStem(text);
}

bool iisRequestData::SetStem(const char* text) {
  BuildRequestText();
  bool cut = CopyFixed(b_->uriStem, kFieldSize, text, "URIStem");
  b_->uriStemFetched = true;
  return cut;
}

void iisRequestData::SetSrcURIQuery(const char* text) {
  if (!text)
    ThrowNullString(kClass, "SetSrcURIQuery()");
  BuildRequestText();
  CopyFixed(b_->query, kFieldSize, text, "URIQuery");
  b_->queryFetched = true;
  b_->queryAsReceived = false;
}

void iisRequestData::SetSrcMethod(const char* text) {
  if (!text)
    ThrowNullString(kClass, "SetSrcMethod()");
  BuildRequestText();
  method_ = text;
}

void iisRequestData::SetSrcDate(time_t seconds) {
  date_ = seconds;
  dateSet_ = true;
}

void iisRequestData::SetSrcUserName(const char* text) {
  if (!text)
    ThrowNullString(kClass, "SetSrcUserName()");
  userName_ = text;
}

void iisRequestData::SetSrcInCookie(const char* text) {
  if (!text)
    ThrowNullString(kClass, "SetSrcInCookie()");
  size_t n = std::strlen(text);
  if (n >= kFieldSize) {
    lfmDebugLog::Instance().LogValues(MESS_LOG_ELEMENT_TRUNCATED, {"InCookie", text});
    n = kFieldSize - 1;
  }
  inCookie_.assign(text, n);
  cookieFetched_ = true;
  logCookieBuilt_ = false;
}

void iisRequestData::SetSrcOutCookie(const char* value) {
  if (!sendResponse_)
    throw whException(
        kClass, "SetSrcOutCookie()", kModule, __LINE__, 1000,
        "The SendResponse/RawData structure must be set prior to calling this method.");
  if (!value)
    ThrowNullString(kClass, "SetSrcOutCookie()");
  CallSetHeader(true, "SetSrcOutCookie()", "Set-Cookie:", value);
}

void iisRequestData::SetSrcReferrer(const char* text) {
  if (!text)
    ThrowNullString(kClass, "SetSrcReferrer()");
  referrer_ = text;
}

void iisRequestData::SetSrcClientIP(const char* text) {
  if (!text)
    ThrowNullString(kClass, "SetSrcClientIP()");
  CopyFixed(b_->clientIp, kAddressSize, text, "ClientIP");
  b_->clientIpFetched = true;
}

void iisRequestData::SetSrcProtocol(const char* text) {
  if (!text)
    ThrowNullString(kClass, "SetSrcProtocol()");
  CopyFixed(b_->protocol, kAddressSize, text, "Protocol");
  b_->protocolFetched = true;
}

void iisRequestData::SetSrcServerIP(const char* text) {
  if (!text)
    ThrowNullString(kClass, "SetSrcServerIP()");
  serverIp_ = text;
}

void iisRequestData::SetSrcExpires(const char* text) {
  SetSrcOutHeader("Expires", text);
}

void iisRequestData::SetSrcStatus(long status) {
  status_ = status;
  statusSet_ = true;
}

void iisRequestData::SetSrcBytes(uint32_t bytes) {
  bytes_ = bytes;
  bytesSet_ = true;
}

HTTP_FILTER_SEND_RESPONSE* iisRequestData::RequireSendResponse(const char* method) const {
  if (!sendResponse_)
    throw whException(kClass, method, kModule, __LINE__, 1000,
                      "The SendResponse structure must be set prior to calling this method.");
  return sendResponse_;
}

bool iisRequestData::CallSetHeader(bool add, const char* method, const char* name,
                                   const char* value) {
  HTTP_FILTER_SEND_RESPONSE* sr = RequireSendResponse(method);
  if (!name || !value)
    ThrowNullString(kClass, method);
  HTTP_FILTER_CONTEXT* pfc = GetContextSafe();
  // IIS takes writable texts; hand it copies, on the stack when they fit
  // (a cookie header is set on most hits).
  std::string n = HeaderName(name);
  size_t length = std::strlen(value);
  char small[1024];
  std::string large;
  char* v = small;
  if (length < sizeof small) {
    std::memcpy(small, value, length + 1);
  } else {
    large.assign(value, length);
    v = &large[0];
  }
  auto call = add ? sr->AddHeader : sr->SetHeader;
  return call && call(pfc, &n[0], v);
}

void iisRequestData::AddSrcOutHeader(const char* name, const char* value) {
  CallSetHeader(true, "AddSrcOutHeader()", name, value);
}

void iisRequestData::SetSrcOutHeader(const char* name, const char* value) {
  CallSetHeader(false, "SetSrcOutHeader()", name, value);
}

void iisRequestData::SetSrcKYRId(const char* text) {
  if (!text)
    ThrowNullString(kClass, "SetSrcKYRId()");
  kyrId_ = text;
  kyrIdSet_ = true;
}

void iisRequestData::SetSrcOrigPath(const char* text) {
  if (!text)
    ThrowNullString(kClass, "SetSrcOrigPath()");
  origPath_ = text;
}

bool iisRequestData::CallGetHeader(const char* method, const char* name, char* buffer,
                                   uint32_t* size) {
  HTTP_FILTER_SEND_RESPONSE* sr = RequireSendResponse(method);
  if (!name || !buffer || !size)
    ThrowNullString(kClass, method);
  std::string n = HeaderName(name);
  DWORD s = *size;
  bool ok = sr->GetHeader && sr->GetHeader(GetContextSafe(), &n[0], buffer, &s);
  *size = s;
  return ok;
}

bool iisRequestData::GetSrcOutHeader(const char* name, char* buffer, uint32_t* size) {
  return CallGetHeader("GetSrcOutHeader()", name, buffer, size);
}

bool iisRequestData::GetSrcInHeader(const char* name, char* buffer, uint32_t* size) {
  return CallGetHeader("GetSrcInHeader()", name, buffer, size);
}

// ---- reserved texts ----

char* iisRequestData::ReserveSrcOutCookie(size_t capacity) {
  return Reserve(outCookie_, capacity);
}
char* iisRequestData::ReserveSrcRedirectHeader(size_t capacity) {
  return Reserve(redirectHeader_, capacity);
}
char* iisRequestData::GetSrcRedirectHeader() {
  return &redirectHeader_[0];
}
size_t iisRequestData::GetSrcRedirectHeaderCapacity() {
  return redirectHeader_.size();
}
char* iisRequestData::ReserveSrcHeaderParams(size_t capacity) {
  return Reserve(headerParams_, capacity);
}
char* iisRequestData::GetSrcHeaderParams() {
  return &headerParams_[0];
}
size_t iisRequestData::GetSrcHeaderParamsCapacity() {
  return headerParams_.size();
}

void iisRequestData::Reset() {
  outCookie_.clear();
  requestText_.clear();
  requestTextPending_ = false;
  requestLine_.clear();
  referrer_.clear();
  userName_.clear();
  method_.clear();
  kyrId_.clear();
  origPath_.clear();
  serverIp_.clear();
  redirectHeader_.clear();
  headerParams_.clear();
  inCookie_.clear();
  logCookie_.clear();
  status_ = 200;
  bytes_ = 0;
  date_ = 0;
  context_ = nullptr;
  sendResponse_ = nullptr;
  b_->Clear();
  statusSet_ = bytesSet_ = dateSet_ = kyrIdSet_ = false;
  requestLineBuilt_ = cookieFetched_ = logCookieBuilt_ = false;
  redirectPending_ = expireResponse_ = false;
}

// ---- the per-thread pool ----

namespace {

lfmThreadObjects<iisRequestData>& Records() {
  static lfmThreadObjects<iisRequestData> pool("iisRequestDataPool", "GetRequestData()",
                                               "iisRequestData", "./src/filter/iisrequestdata.cpp");
  return pool;
}

}  // namespace

iisRequestData* iisRequestDataPool::GetRequestData() {
  try {
    return Records().Get();
  } catch (const whException&) {
    return nullptr;  // the caller lets the request pass
  }
}

void iisRequestDataPool::Release() {
  Records().Release();
}
int iisRequestDataPool::Live() {
  return Records().Live();
}
