#include "host/httpexchange.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cstring>

#include "util/lfmutility.h"

namespace kyrhost {

namespace {

// A header name's character as it stands in a server variable's name:
// upper case, "-" as "_".
char VariableChar(char c) {
  if (c == '-')
    return '_';
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// An HTTP token character (field names).
bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
    return true;
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

bool IsToken(std::string_view s) {
  if (s.empty())
    return false;
  for (char c : s)
    if (!IsTokenChar(c))
      return false;
  return true;
}

// A field value may not contain CR, LF or other control characters but tab.
bool IsFieldValue(std::string_view s) {
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7f)
      return false;
  }
  return true;
}

const char* Reason(DWORD status) {
  switch (status) {
    case 200:
      return "OK";
    case 301:
      return "Moved Permanently";
    case 303:
      return "See Other";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 413:
      return "Payload Too Large";
    case 414:
      return "URI Too Long";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Unknown";
  }
}

void AppendNumber(std::string& out, uint64_t n) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof digits, n);
  out.append(digits, static_cast<size_t>(result.ptr - digits));
}

// Copies `value` to an ISAPI caller's buffer with the published convention:
// too small (or no buffer) -> FALSE with the size needed, terminator included.
BOOL CopyOut(std::string_view value, LPVOID buffer, LPDWORD size) {
  if (!size)
    return FALSE;
  DWORD needed = static_cast<DWORD>(value.size() + 1);
  if (!buffer || *size < needed) {
    *size = needed;
    return FALSE;
  }
  std::memcpy(buffer, value.data(), value.size());
  static_cast<char*>(buffer)[value.size()] = '\0';
  *size = needed;
  return TRUE;
}

// Joins every field named `name` into `out` (", " between them, "; " for
// cookies, which is how browsers join them in one field); false when none.
bool JoinFields(const HeaderList& list, std::string_view name, std::string& out) {
  bool found = false;
  std::string_view separator = lfmUtility::EqualsNoCase(name, "Cookie") ? "; " : ", ";
  for (size_t i = 0; i < list.Size(); ++i) {
    if (!lfmUtility::EqualsNoCase(list[i].name, name))
      continue;
    if (found)
      out += separator;
    out += list[i].value;
    found = true;
  }
  return found;
}

std::string_view WithoutColon(const char* name) {
  std::string_view n = name ? name : "";
  if (!n.empty() && n.back() == ':')
    n.remove_suffix(1);
  return n;
}

// Takes the next "Name: value\r\n" line off `block`. kEnd at the end of
// the block or at an empty line; kBad for a line without CR LF, without a
// colon, with a name that is not a token or a value with control
// characters. The value comes without the blanks around it.
enum class FieldLine { kField, kEnd, kBad };
FieldLine NextField(std::string_view& block, std::string_view& name, std::string_view& value) {
  if (block.empty())
    return FieldLine::kEnd;
  size_t end = block.find("\r\n");
  if (end == std::string_view::npos)
    return FieldLine::kBad;
  std::string_view line = block.substr(0, end);
  block.remove_prefix(end + 2);
  if (line.empty())
    return FieldLine::kEnd;
  size_t colon = line.find(':');
  if (colon == std::string_view::npos)
    return FieldLine::kBad;
  name = line.substr(0, colon);
  value = line.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
    value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
    value.remove_suffix(1);
  return IsToken(name) && IsFieldValue(value) ? FieldLine::kField : FieldLine::kBad;
}

bool IsControl(char c) {
  auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7f;
}

// What a redirect's path keeps unencoded: unreserved characters, "/" and
// the sub-delimiters.
bool IsPlainPathChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
    return true;
  return c != '\0' && std::strchr("-._~/!$&'()*+,;=", c) != nullptr;
}

// Bytes a URI's query may not hold (its "%XX" escapes are kept as they are).
bool IsUnsafeQueryChar(char c) {
  auto u = static_cast<unsigned char>(c);
  return u <= 0x20 || u >= 0x7f || std::strchr("\"<>\\^`{|}", c) != nullptr;
}

bool HasDotDotSegment(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos)
      end = path.size();
    if (path.substr(start, end - start) == "..")
      return true;
    start = end + 1;
  }
  return false;
}

// The last item of the last `name` field, blanks trimmed: what the nearest
// proxy appended or set. False when there is no such field.
bool LastForwardedItem(const HeaderList& headers, std::string_view name, std::string_view& out) {
  const HeaderField* last = nullptr;
  for (size_t i = 0; i < headers.Size(); ++i)
    if (lfmUtility::EqualsNoCase(headers[i].name, name))
      last = &headers[i];
  if (!last)
    return false;
  std::string_view v = last->value;
  size_t comma = v.rfind(',');
  if (comma != std::string_view::npos)
    v.remove_prefix(comma + 1);
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
    v.remove_prefix(1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t'))
    v.remove_suffix(1);
  out = v;
  return true;
}

// The address a trusted proxy appended last to X-Forwarded-For, when it is
// a numeric IPv4 or IPv6 address.
bool ForwardedClient(const HeaderList& headers, std::string& out) {
  std::string_view v;
  if (!LastForwardedItem(headers, "X-Forwarded-For", v))
    return false;
  char text[INET6_ADDRSTRLEN];
  if (v.empty() || v.size() >= sizeof text)
    return false;
  std::memcpy(text, v.data(), v.size());
  text[v.size()] = '\0';
  unsigned char binary[sizeof(in6_addr)];
  if (inet_pton(AF_INET, text, binary) != 1 && inet_pton(AF_INET6, text, binary) != 1)
    return false;
  out.assign(v.data(), v.size());
  return true;
}

// Whether a trusted proxy says the client came over HTTPS (the last
// X-Forwarded-Proto item is "https"): the proxy ended TLS, so a
// secure-only cookie may still be issued.
bool ForwardedHttps(const HeaderList& headers) {
  std::string_view v;
  return LastForwardedItem(headers, "X-Forwarded-Proto", v) && lfmUtility::EqualsNoCase(v, "https");
}

}  // namespace

// ---------------------------------------------------------------------------

void HeaderList::Add(std::string_view name, std::string_view value) {
  if (count_ == fields_.size())
    fields_.emplace_back();
  fields_[count_].name.assign(name.data(), name.size());
  fields_[count_].value.assign(value.data(), value.size());
  ++count_;
}

void HeaderList::Set(std::string_view name, std::string_view value) {
  for (size_t i = 0; i < count_; ++i) {
    if (lfmUtility::EqualsNoCase(fields_[i].name, name)) {
      fields_[i].value.assign(value.data(), value.size());
      for (size_t j = count_; j-- > i + 1;) {
        if (lfmUtility::EqualsNoCase(fields_[j].name, name)) {
          std::swap(fields_[j], fields_[count_ - 1]);
          --count_;
        }
      }
      return;
    }
  }
  Add(name, value);
}

void HeaderList::Remove(std::string_view name) {
  size_t kept = 0;
  for (size_t i = 0; i < count_; ++i) {
    if (lfmUtility::EqualsNoCase(fields_[i].name, name))
      continue;
    if (kept != i)
      std::swap(fields_[kept], fields_[i]);
    ++kept;
  }
  count_ = kept;
}

const HeaderField* HeaderList::Find(std::string_view name) const {
  for (size_t i = 0; i < count_; ++i)
    if (lfmUtility::EqualsNoCase(fields_[i].name, name))
      return &fields_[i];
  return nullptr;
}

// ---------------------------------------------------------------------------

bool DecodeUrlPath(std::string_view raw, std::string& out) {
  out.clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '%') {
      if (i + 2 >= raw.size())
        return false;
      int hi = lfmUtility::HexValue(raw[i + 1]);
      int lo = lfmUtility::HexValue(raw[i + 2]);
      if (hi < 0 || lo < 0)
        return false;
      char decoded = static_cast<char>(hi * 16 + lo);
      if (decoded == '/' || decoded == '\\' || IsControl(decoded))
        return false;
      out += decoded;
      i += 2;
    } else if (c == '\\' || IsControl(c)) {
      return false;
    } else {
      out += c;
    }
  }
  return !HasDotDotSegment(out);
}

// ---------------------------------------------------------------------------

HttpExchange::HttpExchange(const HostSettings& host, const ConnectionInfo& connection,
                           FileCache& files)
    : host_(host), connection_(connection), files_(files) {
  context_.cbSize = sizeof context_;
  context_.Revision = HTTP_FILTER_REVISION;
  context_.ServerContext = this;
  context_.fIsSecurePort = connection.secure ? TRUE : FALSE;
  context_.GetServerVariable = &GetServerVariableCb;
  context_.AddResponseHeaders = &AddResponseHeadersCb;
  context_.WriteClient = &WriteClientCb;
  context_.AllocMem = &AllocMemCb;
  context_.ServerSupportFunction = &ServerSupportFunctionCb;
  preproc_.GetHeader = &GetRequestHeaderCb;
  preproc_.SetHeader = &SetRequestHeaderCb;
  preproc_.AddHeader = &AddRequestHeaderCb;
  send_.GetHeader = &GetResponseHeaderCb;
  send_.SetHeader = &SetResponseHeaderCb;
  send_.AddHeader = &AddResponseHeaderCb;
  head_.reserve(1024);
  url_.reserve(256);
  query_.reserve(1024);
}

HttpExchange* HttpExchange::From(HTTP_FILTER_CONTEXT* pfc) {
  return static_cast<HttpExchange*>(pfc->ServerContext);
}

int HttpExchange::SplitTarget() {
  // HTTP/1.1 requires exactly one Host field.
  if (request_.version == 11) {
    size_t hosts = 0;
    for (size_t i = 0; i < request_.headers.Size(); ++i)
      hosts += lfmUtility::EqualsNoCase(request_.headers[i].name, "Host") ? 1 : 0;
    if (hosts != 1)
      return 400;
  }
  // A fragment is the client's own; one sent anyway is neither path nor
  // query.
  std::string_view t = request_.target;
  t = t.substr(0, t.find('#'));
  bool absolute = false;
  for (std::string_view scheme : {"http://", "https://"}) {
    if (lfmUtility::StartsWithNoCase(t, scheme)) {
      // The authority ends at the path or the query.
      size_t end = t.find_first_of("/?", scheme.size());
      t = end == std::string_view::npos ? std::string_view() : t.substr(end);
      absolute = true;
      break;
    }
  }
  size_t q = t.find('?');
  std::string_view path = t.substr(0, q);
  if (absolute && path.empty())
    path = "/";
  if (path.empty() || path[0] != '/')
    return 400;
  if (q == std::string_view::npos)
    query_.clear();
  else
    query_.assign(t.substr(q + 1));
  if (path.size() > kMaxUrl)
    return 414;
  if (!DecodeUrlPath(path, url_))
    return 400;
  if (host_.webRoot.size() + url_.size() >= kPathBuffer)
    return 414;
  return 0;
}

bool HttpExchange::Deliver(DWORD notification, void* data) {
  const FilterModule& module = *host_.module;
  if (!module.Proc() || !module.Wants(notification, connection_.secure))
    return false;
  DWORD result = module.Proc()(&context_, notification, data);
  if (ownResponse_) {
    // The module answered the request itself; nothing else is shown to it.
    ended_ = true;
    if (result == SF_STATUS_REQ_FINISHED)
      closeAfter_ = true;
    return true;
  }
  switch (result) {
    case SF_STATUS_REQ_FINISHED:
    case SF_STATUS_REQ_FINISHED_KEEP_CONN:
      // Ended without a response (WriteClient is not offered): as IIS does,
      // the connection is closed.
      ended_ = true;
      silent_ = true;
      closeAfter_ = true;
      return true;
    case SF_STATUS_REQ_ERROR:
      ended_ = true;
      responseHeaders_.Clear();
      SetError(500);
      closeAfter_ = true;
      return true;
    default:
      return false;
  }
}

void HttpExchange::Handle(std::string_view date, bool closing, FileCache::Clock::time_point now) {
  status_ = 200;
  responseHeaders_.Clear();
  ownExtra_.Clear();
  file_.Clear();
  body_ = {};
  headOnly_ = false;
  ended_ = false;
  silent_ = false;
  ownResponse_ = false;
  inOwnPass_ = false;
  urlChanged_ = false;
  allocations_.clear();
  path_[0] = '\0';
  closeAfter_ = closing || !request_.keepAlive;

  if (int refused = SplitTarget()) {
    Refuse(refused, date);
    return;
  }
  if (host_.health && !host_.healthPath.empty() && url_ == host_.healthPath) {
    AnswerHealth();
    Serialize(date);
    return;
  }
  Run(now);
  if (ownResponse_) {
    SerializeOwn(date);
  } else if (silent_) {
    file_.Clear();
    body_ = {};
    head_.clear();
  } else {
    Serialize(date);
  }
}

void HttpExchange::AnswerHealth() {
  headOnly_ = request_.method == "HEAD";
  if (request_.method != "GET" && !headOnly_) {
    SetError(405);
    responseHeaders_.Set("Allow", "GET, HEAD");
    return;
  }
  status_ = static_cast<DWORD>(host_.health->Answer(healthBody_));
  body_ = healthBody_;
  responseHeaders_.Set("Content-Type", "text/plain; charset=utf-8");
  responseHeaders_.Set("Cache-Control", "no-store");
}

void HttpExchange::Run(FileCache::Clock::time_point now) {
  if (Deliver(SF_NOTIFY_PREPROC_HEADERS, &preproc_))
    return;
  if (urlChanged_) {
    if (int refused = SplitTarget()) {
      SetError(static_cast<DWORD>(refused));
      closeAfter_ = true;
      return;
    }
  }
  std::memcpy(path_, host_.webRoot.data(), host_.webRoot.size());
  std::memcpy(path_ + host_.webRoot.size(), url_.c_str(), url_.size() + 1);
  HTTP_FILTER_URL_MAP map{url_.c_str(), path_, static_cast<DWORD>(kPathBuffer)};
  if (Deliver(SF_NOTIFY_URL_MAP, &map))
    return;
  PrepareResponse(now);
  send_.HttpStatus = status_;
  Deliver(SF_NOTIFY_SEND_RESPONSE, &send_);
}

bool HttpExchange::PhysicalPathIsSafe() const {
  const void* end = std::memchr(path_, '\0', kPathBuffer);
  if (!end)
    return false;
  std::string_view p(path_, static_cast<size_t>(static_cast<const char*>(end) - path_));
  const std::string& root = host_.webRoot;
  if (p.size() < root.size() || p.compare(0, root.size(), root) != 0)
    return false;
  if (p.size() > root.size() && p[root.size()] != '/')
    return false;
  return !HasDotDotSegment(p.substr(root.size()));
}

void HttpExchange::PrepareResponse(FileCache::Clock::time_point now) {
  if (!PhysicalPathIsSafe()) {
    SetError(404);
    return;
  }
  bool get = request_.method == "GET";
  headOnly_ = request_.method == "HEAD";
  if (!get && !headOnly_) {
    SetError(405);
    responseHeaders_.Add("Allow", "GET, HEAD");
    return;
  }
  ServeFile(path_, now);
}

void HttpExchange::ServeFile(std::string_view path, FileCache::Clock::time_point now) {
  auto serve = [this] {
    status_ = 200;
    responseHeaders_.Add("Content-Type", file_.contentType);
    body_ = file_.data ? std::string_view(*file_.data) : std::string_view();
  };
  switch (files_.Lookup(host_.webRoot, path, file_, now)) {
    case FileCache::Kind::kFile:
      serve();
      return;
    case FileCache::Kind::kDirectory:
      if (!url_.empty() && url_.back() == '/') {
        if (path.size() + 10 < kPathBuffer) {
          scratch_.assign(path.data(), path.size());
          if (scratch_.back() != '/')
            scratch_ += '/';
          scratch_ += "index.html";
          if (files_.Lookup(host_.webRoot, scratch_, file_, now) == FileCache::Kind::kFile) {
            serve();
            return;
          }
        }
        SetError(404);
        return;
      }
      // A directory named without its trailing "/": relative links in its
      // index resolve only from the "/" form. The location is built from
      // the decoded path, so it is this site's path whatever the target
      // held: one leading "/" ("//name" would name another host), every
      // other byte that could end or change it encoded.
      SetError(301);
      scratch_.assign(1, '/');
      for (char c : std::string_view(url_).substr(url_.find_first_not_of('/'))) {
        if (IsPlainPathChar(c))
          scratch_ += c;
        else
          lfmUtility::AppendPercentByte(scratch_, static_cast<unsigned char>(c));
      }
      scratch_ += '/';
      if (!query_.empty()) {
        scratch_ += '?';
        for (char c : query_) {
          if (IsUnsafeQueryChar(c))
            lfmUtility::AppendPercentByte(scratch_, static_cast<unsigned char>(c));
          else
            scratch_ += c;
        }
      }
      responseHeaders_.Add("Location", scratch_);
      return;
    case FileCache::Kind::kMissing:
      SetError(404);
      return;
    case FileCache::Kind::kForbidden:
      SetError(403);
      return;
  }
}

void HttpExchange::SetError(DWORD status) {
  static const std::string kBodies[] = {"Moved Permanently\n",
                                        "Bad Request\n",
                                        "Forbidden\n",
                                        "Not Found\n",
                                        "Method Not Allowed\n",
                                        "Payload Too Large\n",
                                        "URI Too Long\n",
                                        "Request Header Fields Too Large\n",
                                        "Internal Server Error\n"};
  status_ = status;
  file_.Clear();
  std::string_view reason = Reason(status);
  body_ = {};
  for (const std::string& b : kBodies) {
    if (std::string_view(b).substr(0, b.size() - 1) == reason) {
      body_ = b;
      break;
    }
  }
  responseHeaders_.Set("Content-Type", "text/plain; charset=utf-8");
}

void HttpExchange::Refuse(int status, std::string_view date) {
  responseHeaders_.Clear();
  ownResponse_ = false;
  silent_ = false;
  headOnly_ = request_.method == "HEAD";
  SetError(static_cast<DWORD>(status));
  closeAfter_ = true;
  Serialize(date);
}

void HttpExchange::Serialize(std::string_view date) {
  head_.clear();
  head_ += "HTTP/1.1 ";
  AppendNumber(head_, status_);
  head_ += ' ';
  head_ += Reason(status_);
  AppendHead(date, responseHeaders_, true);
  if (headOnly_) {
    body_ = {};
    file_.Clear();
  }
}

void HttpExchange::SerializeOwn(std::string_view date) {
  body_ = {};
  file_.Clear();
  head_.clear();
  head_ += "HTTP/1.1 ";
  head_ += ownStatus_;
  AppendHead(date, ownExtra_, !ownHasLength_);
}

void HttpExchange::AppendHead(std::string_view date, const HeaderList& fields, bool length) {
  head_ += "\r\nDate: ";
  head_ += date;
  head_ += "\r\nServer: kyrhost\r\n";
  if (ownResponse_)
    head_ += ownHeaders_;
  for (size_t i = 0; i < fields.Size(); ++i) {
    head_ += fields[i].name;
    head_ += ": ";
    head_ += fields[i].value;
    head_ += "\r\n";
  }
  if (length) {
    head_ += "Content-Length: ";
    AppendNumber(head_, BodyLength());
    head_ += "\r\n";
  }
  if (closeAfter_)
    head_ += "Connection: close\r\n";
  else if (request_.version == 10)
    head_ += "Connection: keep-alive\r\n";
  head_ += "\r\n";
}

// ---------------------------------------------------------------------------
// Server variables

bool HttpExchange::ServerVariable(std::string_view name, std::string& out) const {
  out.clear();
  if (name == "URL" || name == "PATH_INFO" || name == "SCRIPT_NAME") {
    out = url_;
  } else if (name == "QUERY_STRING") {
    out = query_;
  } else if (name == "REQUEST_METHOD") {
    out = request_.method;
  } else if (name == "SERVER_PROTOCOL") {
    out = request_.version == 10 ? "HTTP/1.0" : "HTTP/1.1";
  } else if (name == "REMOTE_ADDR" || name == "REMOTE_HOST") {
    if (!connection_.trustedProxy || !ForwardedClient(request_.headers, out))
      out = connection_.remoteAddr;
  } else if (name == "REMOTE_PORT") {
    out = connection_.remotePort;
  } else if (name == "LOCAL_ADDR") {
    out = connection_.localAddr;
  } else if (name == "SERVER_PORT") {
    out = connection_.localPort;
  } else if (name == "SERVER_PORT_SECURE" || name == "HTTPS") {
    const bool secure =
        connection_.secure || (connection_.trustedProxy && ForwardedHttps(request_.headers));
    if (name == "HTTPS")
      out = secure ? "on" : "off";
    else
      out = secure ? "1" : "0";
  } else if (name == "SERVER_SOFTWARE") {
    out = "kyrhost";
  } else if (name == "PATH_TRANSLATED") {
    out.assign(path_, strnlen(path_, kPathBuffer));  // the module may have left it unterminated
  } else if (name == "UNENCODED_URL") {
    out = request_.target;
  } else if (name == "SERVER_NAME") {
    const HeaderField* host = request_.headers.Find("Host");
    std::string_view h = host ? std::string_view(host->value) : std::string_view();
    if (!h.empty() && h[0] == '[') {
      size_t close = h.find(']');
      h = close == std::string_view::npos ? std::string_view() : h.substr(0, close + 1);
    } else {
      h = h.substr(0, h.find(':'));
    }
    if (h.empty())
      out = connection_.localAddr;
    else
      out.assign(h.data(), h.size());
  } else if (name == "CONTENT_LENGTH") {
    return JoinFields(request_.headers, "Content-Length", out);
  } else if (name == "CONTENT_TYPE") {
    return JoinFields(request_.headers, "Content-Type", out);
  } else if (name == "ALL_HTTP") {
    for (size_t i = 0; i < request_.headers.Size(); ++i) {
      out += "HTTP_";
      for (char c : request_.headers[i].name)
        out += VariableChar(c);
      out += ':';
      out += request_.headers[i].value;
      out += '\n';
    }
  } else if (name.size() > 5 && name.substr(0, 5) == "HTTP_") {
    // "HTTP_" + the header's name in upper case with "-" as "_".
    std::string_view wanted = name.substr(5);
    bool found = false;
    bool cookie = wanted == "COOKIE";
    for (size_t i = 0; i < request_.headers.Size(); ++i) {
      const std::string& n = request_.headers[i].name;
      if (n.size() != wanted.size())
        continue;
      bool same = true;
      for (size_t k = 0; k < n.size() && same; ++k)
        same = VariableChar(n[k]) == wanted[k];
      if (!same)
        continue;
      if (found)
        out += cookie ? "; " : ", ";
      out += request_.headers[i].value;
      found = true;
    }
    return found;
  } else {
    return false;
  }
  return true;
}

BOOL WINAPI HttpExchange::GetServerVariableCb(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                              LPDWORD size) {
  HttpExchange* self = From(pfc);
  if (!name || !self->ServerVariable(name, self->scratch_))
    return FALSE;
  return CopyOut(self->scratch_, buffer, size);
}

// ---------------------------------------------------------------------------
// Other context callbacks

BOOL WINAPI HttpExchange::AddResponseHeadersCb(HTTP_FILTER_CONTEXT* pfc, LPSTR headers, DWORD) {
  // "Name: value\r\n" lines added to the response.
  HttpExchange* self = From(pfc);
  std::string_view block = headers ? headers : "";
  std::string_view name;
  std::string_view value;
  for (;;) {
    switch (NextField(block, name, value)) {
      case FieldLine::kEnd:
        return TRUE;
      case FieldLine::kBad:
        return FALSE;
      case FieldLine::kField:
        if (!self->ChangeResponseHeader(name, value, true))
          return FALSE;
    }
  }
}

BOOL WINAPI HttpExchange::WriteClientCb(HTTP_FILTER_CONTEXT*, LPVOID, LPDWORD, DWORD) {
  // Raw writes would bypass the response framing kyrhost owns.
  return FALSE;
}

void* WINAPI HttpExchange::AllocMemCb(HTTP_FILTER_CONTEXT* pfc, DWORD size, DWORD) {
  HttpExchange* self = From(pfc);
  self->allocations_.emplace_back(new char[size ? size : 1]);
  return self->allocations_.back().get();
}

BOOL WINAPI HttpExchange::ServerSupportFunctionCb(HTTP_FILTER_CONTEXT* pfc,
                                                  enum SF_REQ_TYPE request, PVOID data,
                                                  ULONG_PTR ul1, ULONG_PTR) {
  if (request != SF_REQ_SEND_RESPONSE_HEADER)
    return FALSE;
  return From(pfc)->SendOwnResponse(static_cast<const char*>(data),
                                    reinterpret_cast<const char*>(ul1));
}

BOOL HttpExchange::SendOwnResponse(const char* status, const char* headers) {
  if (ownResponse_ || inOwnPass_)
    return FALSE;
  // "NNN reason", printable.
  std::string_view s = status ? status : "200 OK";
  if (s.size() < 3 || !IsFieldValue(s) || s[0] < '1' || s[0] > '5' ||
      lfmUtility::HexValue(s[1]) < 0 || lfmUtility::HexValue(s[1]) > 9 ||
      lfmUtility::HexValue(s[2]) < 0 || lfmUtility::HexValue(s[2]) > 9 ||
      (s.size() > 3 && s[3] != ' '))
    return FALSE;
  // "Name: value\r\n" lines, optionally ended by an empty line.
  std::string_view block = headers ? headers : "";
  std::string checked;
  bool hasLength = false;
  bool closeAfter = false;
  std::string_view name;
  std::string_view value;
  for (FieldLine line; (line = NextField(block, name, value)) != FieldLine::kEnd;) {
    if (line == FieldLine::kBad || lfmUtility::EqualsNoCase(name, "Transfer-Encoding") ||
        lfmUtility::EqualsNoCase(name, "Connection"))
      return FALSE;
    if (lfmUtility::EqualsNoCase(name, "Content-Length")) {
      // No body follows, so a length other than 0 cannot frame the next
      // response on this connection.
      if (value != "0")
        closeAfter = true;
      hasLength = true;
    }
    checked.append(name.data(), name.size());
    checked += ": ";
    checked.append(value.data(), value.size());
    checked += "\r\n";
  }
  ownResponse_ = true;
  ownStatus_.assign(s.data(), s.size());
  ownHeaders_.swap(checked);
  ownHasLength_ = hasLength;
  if (closeAfter)
    closeAfter_ = true;
  // As IIS does, the response goes through SEND_RESPONSE once more, on this
  // thread, with its own status.
  const FilterModule& module = *host_.module;
  if (module.Proc() && module.Wants(SF_NOTIFY_SEND_RESPONSE, connection_.secure)) {
    HTTP_FILTER_SEND_RESPONSE again{};
    again.GetHeader = &GetResponseHeaderCb;
    again.SetHeader = &SetResponseHeaderCb;
    again.AddHeader = &AddResponseHeaderCb;
    again.HttpStatus = static_cast<DWORD>((s[0] - '0') * 100 + (s[1] - '0') * 10 + (s[2] - '0'));
    inOwnPass_ = true;
    module.Proc()(&context_, SF_NOTIFY_SEND_RESPONSE, &again);
    inOwnPass_ = false;
  }
  return TRUE;
}

BOOL WINAPI HttpExchange::GetRequestHeaderCb(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                             LPDWORD size) {
  HttpExchange* self = From(pfc);
  std::string_view n = WithoutColon(name);
  std::string& value = self->scratch_;
  value.clear();
  if (n == "method") {
    value = self->request_.method;
  } else if (n == "url") {
    value = self->request_.target;
  } else if (n == "version") {
    value = self->request_.version == 10 ? "HTTP/1.0" : "HTTP/1.1";
  } else if (!JoinFields(self->request_.headers, n, value)) {
    return FALSE;
  }
  return CopyOut(value, buffer, size);
}

BOOL WINAPI HttpExchange::SetRequestHeaderCb(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  HttpExchange* self = From(pfc);
  std::string_view n = WithoutColon(name);
  std::string_view v = value ? value : "";
  if (!IsFieldValue(v))
    return FALSE;
  if (n == "url") {
    if (v.empty())
      return FALSE;
    self->request_.target.assign(v.data(), v.size());
    self->urlChanged_ = true;
    return TRUE;
  }
  if (!IsToken(n))
    return FALSE;
  if (v.empty())
    self->request_.headers.Remove(n);
  else
    self->request_.headers.Set(n, v);
  return TRUE;
}

BOOL WINAPI HttpExchange::AddRequestHeaderCb(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  HttpExchange* self = From(pfc);
  std::string_view n = WithoutColon(name);
  std::string_view v = value ? value : "";
  if (!IsToken(n) || !IsFieldValue(v))
    return FALSE;
  self->request_.headers.Add(n, v);
  return TRUE;
}

BOOL WINAPI HttpExchange::GetResponseHeaderCb(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                              LPDWORD size) {
  HttpExchange* self = From(pfc);
  std::string_view n = WithoutColon(name);
  std::string& value = self->scratch_;
  value.clear();
  if (self->inOwnPass_) {
    if (!JoinFields(self->ownExtra_, n, value))
      return FALSE;
  } else if (lfmUtility::EqualsNoCase(n, "Content-Length")) {
    AppendNumber(value, self->BodyLength());
  } else if (!JoinFields(self->responseHeaders_, n, value)) {
    return FALSE;
  }
  return CopyOut(value, buffer, size);
}

BOOL WINAPI HttpExchange::SetResponseHeaderCb(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  return From(pfc)->ChangeResponseHeader(WithoutColon(name), value ? value : "", false);
}

BOOL WINAPI HttpExchange::AddResponseHeaderCb(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  return From(pfc)->ChangeResponseHeader(WithoutColon(name), value ? value : "", true);
}

BOOL HttpExchange::ChangeResponseHeader(std::string_view n, std::string_view v, bool add) {
  // kyrhost frames the response itself; a header that would change the
  // framing, or one that could split the head, is refused.
  if (!IsToken(n) || !IsFieldValue(v) || lfmUtility::EqualsNoCase(n, "Content-Length") ||
      lfmUtility::EqualsNoCase(n, "Transfer-Encoding") || lfmUtility::EqualsNoCase(n, "Connection"))
    return FALSE;
  HeaderList& list = inOwnPass_ ? ownExtra_ : responseHeaders_;
  if (add)
    list.Add(n, v);
  else if (v.empty())
    list.Remove(n);  // as published: an empty value deletes the header
  else
    list.Set(n, v);
  return TRUE;
}

}  // namespace kyrhost
