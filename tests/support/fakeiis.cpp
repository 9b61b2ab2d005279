#include "tests/support/fakeiis.h"

#include <algorithm>
#include <cstring>

#include "tests/support/allocfailure.h"
#include "util/lfmutility.h"

namespace {

std::string WithoutColon(const char* name) {
  std::string n = name ? name : "";
  if (!n.empty() && n.back() == ':')
    n.pop_back();
  return n;
}

}  // namespace

FakeIIS::FakeIIS() {
  context.cbSize = sizeof context;
  context.Revision = 0x60000;
  context.ServerContext = this;
  context.GetServerVariable = &GetServerVariable;
  context.AddResponseHeaders = &AddResponseHeaders;
  context.WriteClient = &WriteClient;
  context.AllocMem = &AllocMem;
  context.ServerSupportFunction = &ServerSupportFunction;
  preproc_.GetHeader = &GetRequestHeader;
  preproc_.SetHeader = &NoHeaderChange;
  preproc_.AddHeader = &NoHeaderChange;
  send_.GetHeader = &GetResponseHeader;
  send_.SetHeader = &SetResponseHeader;
  send_.AddHeader = &AddResponseHeader;
}

std::unique_ptr<FakeIIS> FakeIIS::Get(const std::string& url, const std::string& query) {
  auto iis = std::make_unique<FakeIIS>();
  iis->Variable("URL", url)
      .Variable("QUERY_STRING", query)
      .Variable("REQUEST_METHOD", "GET")
      .Variable("REMOTE_ADDR", "192.0.2.7")
      .Variable("SERVER_PROTOCOL", "HTTP/1.1");
  return iis;
}

FakeIIS& FakeIIS::NextRequest(const std::string& url, const std::string& query) {
  Variable("URL", url).Variable("QUERY_STRING", query);
  status = 200;
  responseHeaders.clear();
  sentStatus.clear();
  sentHeaders.clear();
  return *this;
}

FakeIIS* FakeIIS::From(HTTP_FILTER_CONTEXT* pfc) {
  return static_cast<FakeIIS*>(pfc->ServerContext);
}

BOOL FakeIIS::CopyOut(const std::string& value, LPVOID buffer, LPDWORD size) {
  if (value.size() + 1 > *size) {
    *size = static_cast<DWORD>(value.size() + 1);
    return FALSE;
  }
  std::memcpy(buffer, value.c_str(), value.size() + 1);
  *size = static_cast<DWORD>(value.size() + 1);
  return TRUE;
}

BOOL WINAPI FakeIIS::GetServerVariable(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                       LPDWORD size) {
  AllocFailure::Pause pause;  // the server's memory, not the module's
  FakeIIS* self = From(pfc);
  if (!self->frozen_.empty()) {
    for (const auto& [n, v] : self->frozen_) {
      // The names are short: compared in place, terminators included.
      const char* a = n.c_str();
      const char* b = name;
      while (*a && *a == *b) {
        ++a;
        ++b;
      }
      if (*a == *b)
        return CopyOut(v, buffer, size);
    }
    return FALSE;
  }
  std::string_view wanted(name);
  if (self->countReads) {
    auto read = self->variableReads.find(wanted);
    if (read == self->variableReads.end())
      self->variableReads.emplace(wanted, 1);
    else
      read->second++;
  }
  auto it = self->variables.find(wanted);
  if (it == self->variables.end())
    return FALSE;
  return CopyOut(it->second, buffer, size);
}

BOOL WINAPI FakeIIS::AddResponseHeaders(HTTP_FILTER_CONTEXT*, LPSTR, DWORD) {
  return TRUE;
}
BOOL WINAPI FakeIIS::WriteClient(HTTP_FILTER_CONTEXT*, LPVOID, LPDWORD, DWORD) {
  return TRUE;
}

void* WINAPI FakeIIS::AllocMem(HTTP_FILTER_CONTEXT* pfc, DWORD size, DWORD) {
  AllocFailure::Pause pause;  // the server's memory, not the module's
  FakeIIS* self = From(pfc);
  self->allocations_.emplace_back(new char[size ? size : 1]);
  return self->allocations_.back().get();
}

BOOL WINAPI FakeIIS::ServerSupportFunction(HTTP_FILTER_CONTEXT* pfc, enum SF_REQ_TYPE request,
                                           PVOID data, ULONG_PTR ul1, ULONG_PTR) {
  AllocFailure::Pause pause;  // the server's memory, not the module's
  FakeIIS* self = From(pfc);
  self->supportCalls++;
  if (request != SF_REQ_SEND_RESPONSE_HEADER)
    return FALSE;
  self->sentStatus = data ? static_cast<const char*>(data) : "";
  self->sentHeaders = ul1 ? reinterpret_cast<const char*>(ul1) : "";
  // IIS passes the filter's own response through SEND_RESPONSE once more.
  HTTP_FILTER_SEND_RESPONSE again = self->send_;
  again.HttpStatus = 303;
  self->passBackResult = self->lastProc_(pfc, SF_NOTIFY_SEND_RESPONSE, &again);
  return TRUE;
}

BOOL WINAPI FakeIIS::GetRequestHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                      LPDWORD size) {
  AllocFailure::Pause pause;  // the server's memory, not the module's
  FakeIIS* self = From(pfc);
  self->headersAsked.push_back(name);
  std::string wanted = WithoutColon(name);
  for (const auto& [n, v] : self->requestHeaders)
    if (lfmUtility::EqualsNoCase(n, wanted))
      return CopyOut(v, buffer, size);
  return FALSE;
}

BOOL WINAPI FakeIIS::GetResponseHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                       LPDWORD size) {
  AllocFailure::Pause pause;  // the server's memory, not the module's
  FakeIIS* self = From(pfc);
  std::string wanted = WithoutColon(name);
  for (const auto& [n, v] : self->responseHeaders)
    if (lfmUtility::EqualsNoCase(n, wanted))
      return CopyOut(v, buffer, size);
  return FALSE;
}

BOOL WINAPI FakeIIS::SetResponseHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  AllocFailure::Pause pause;  // the server's memory, not the module's
  FakeIIS* self = From(pfc);
  std::string n = WithoutColon(name);
  for (auto& h : self->responseHeaders)
    if (lfmUtility::EqualsNoCase(h.first, n)) {
      h.second = value;
      return TRUE;
    }
  self->responseHeaders.emplace_back(n, value);
  return TRUE;
}

BOOL WINAPI FakeIIS::AddResponseHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  AllocFailure::Pause pause;  // the server's memory, not the module's
  From(pfc)->responseHeaders.emplace_back(WithoutColon(name), value);
  return TRUE;
}

BOOL WINAPI FakeIIS::NoHeaderChange(HTTP_FILTER_CONTEXT*, LPSTR, LPSTR) {
  return FALSE;
}

std::string FakeIIS::ResponseHeader(const std::string& name) const {
  for (const auto& [n, v] : responseHeaders)
    if (lfmUtility::EqualsNoCase(n, name))
      return v;
  return "";
}

bool FakeIIS::HasResponseHeader(const std::string& name) const {
  for (const auto& h : responseHeaders)
    if (lfmUtility::EqualsNoCase(h.first, name))
      return true;
  return false;
}

void FakeIIS::Freeze() {
  frozen_.assign(variables.begin(), variables.end());
  frozenUrl_ = nullptr;
  for (const auto& [n, v] : frozen_)
    if (n == "URL")
      frozenUrl_ = &v;
  countReads = false;
}

FakeIIS::FilterProc FakeIIS::Proc(FilterProc proc) const {
  return proc ? proc : &HttpFilterProc;
}

DWORD FakeIIS::PreprocHeaders(FilterProc proc) {
  lastProc_ = Proc(proc);
  return lastProc_(&context, SF_NOTIFY_PREPROC_HEADERS, &preproc_);
}

DWORD FakeIIS::UrlMap(FilterProc proc) {
  lastProc_ = Proc(proc);
  const char* u = "/";
  if (frozenUrl_) {
    u = frozenUrl_->c_str();
  } else {
    auto url = variables.find("URL");
    if (url != variables.end())
      u = url->second.c_str();
  }
  size_t rootLength = std::min(webRoot.size(), sizeof path_ - 1);
  std::memcpy(path_, webRoot.data(), rootLength);
  size_t urlLength = std::min(std::strlen(u), sizeof path_ - 1 - rootLength);
  std::memcpy(path_ + rootLength, u, urlLength);
  path_[rootLength + urlLength] = '\0';
  HTTP_FILTER_URL_MAP map{u, path_, static_cast<DWORD>(sizeof path_)};
  DWORD result = lastProc_(&context, SF_NOTIFY_URL_MAP, &map);
  physicalPath = path_;
  return result;
}

DWORD FakeIIS::SendResponse(FilterProc proc) {
  lastProc_ = Proc(proc);
  send_.HttpStatus = status;
  return lastProc_(&context, SF_NOTIFY_SEND_RESPONSE, &send_);
}

DWORD FakeIIS::Run(FilterProc proc) {
  PreprocHeaders(proc);
  UrlMap(proc);
  return SendResponse(proc);
}
