#pragma once
// A fake IIS for driving the filter through its exported entry points: one
// request's server variables and request headers, a response-header store
// with add/set/get, ServerSupportFunction for the filter's own response
// (passed back through SEND_RESPONSE with status 303, as IIS does) and
// AllocMem. It records what the module did. Its callbacks never fail for
// lack of memory (AllocFailure is paused in them), as IIS's do not throw.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "filter/isapi.h"

class FakeIIS {
 public:
  using FilterProc = DWORD (*)(HTTP_FILTER_CONTEXT*, DWORD, void*);

  FakeIIS();
  FakeIIS(const FakeIIS&) = delete;
  FakeIIS& operator=(const FakeIIS&) = delete;

  // A GET of `url` with `query` (no "?") from 192.0.2.7 over HTTP/1.1.
  static std::unique_ptr<FakeIIS> Get(const std::string& url, const std::string& query = "");

  // ---- the request ----
  std::map<std::string, std::string, std::less<>> variables;  // server variables by name
  std::vector<std::pair<std::string, std::string>> requestHeaders;
  std::string webRoot = "/srv/www";  // the physical path is webRoot + URL
  DWORD status = 200;                // HttpStatus of SEND_RESPONSE

  FakeIIS& Variable(const std::string& name, const std::string& value) {
    variables[name] = value;
    return *this;
  }
  FakeIIS& Header(const std::string& name, const std::string& value) {
    requestHeaders.emplace_back(name, value);
    return *this;
  }

  // The next request on the same kept-alive connection: the same filter
  // context, a GET of `url` with `query` replacing the request's URL and
  // query, the response state of the previous request cleared.
  FakeIIS& NextRequest(const std::string& url, const std::string& query = "");

  // ---- driving the module ----
  // PREPROC_HEADERS, URL_MAP and SEND_RESPONSE in order; returns the status
  // of SEND_RESPONSE.
  DWORD Run(FilterProc proc = nullptr);
  DWORD PreprocHeaders(FilterProc proc = nullptr);
  DWORD UrlMap(FilterProc proc = nullptr);
  DWORD SendResponse(FilterProc proc = nullptr);

  // ---- what the module did ----
  std::vector<std::pair<std::string, std::string>> responseHeaders;  // names without ":"
  // The value of response header `name` (first), or "" when absent.
  std::string ResponseHeader(const std::string& name) const;
  bool HasResponseHeader(const std::string& name) const;
  std::string physicalPath;  // after URL_MAP
  std::string sentStatus;    // ServerSupportFunction's status text
  std::string sentHeaders;   // and header block
  int supportCalls = 0;
  DWORD passBackResult = 0;                               // result of the 303 SEND_RESPONSE pass
  std::vector<std::string> headersAsked;                  // GetHeader names of PREPROC_HEADERS
  std::map<std::string, int, std::less<>> variableReads;  // GetServerVariable calls by name
  bool countReads = true;
  // For benchmarks: takes a snapshot of `variables` that GetServerVariable
  // and URL_MAP search instead (later changes to `variables` are not seen).
  void Freeze();

  HTTP_FILTER_CONTEXT context{};

 private:
  static FakeIIS* From(HTTP_FILTER_CONTEXT* pfc);
  static BOOL WINAPI GetServerVariable(HTTP_FILTER_CONTEXT*, LPSTR, LPVOID, LPDWORD);
  static BOOL WINAPI AddResponseHeaders(HTTP_FILTER_CONTEXT*, LPSTR, DWORD);
  static BOOL WINAPI WriteClient(HTTP_FILTER_CONTEXT*, LPVOID, LPDWORD, DWORD);
  static void* WINAPI AllocMem(HTTP_FILTER_CONTEXT*, DWORD, DWORD);
  static BOOL WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT*, enum SF_REQ_TYPE, PVOID, ULONG_PTR,
                                           ULONG_PTR);
  static BOOL WINAPI GetRequestHeader(HTTP_FILTER_CONTEXT*, LPSTR, LPVOID, LPDWORD);
  static BOOL WINAPI GetResponseHeader(HTTP_FILTER_CONTEXT*, LPSTR, LPVOID, LPDWORD);
  static BOOL WINAPI SetResponseHeader(HTTP_FILTER_CONTEXT*, LPSTR, LPSTR);
  static BOOL WINAPI AddResponseHeader(HTTP_FILTER_CONTEXT*, LPSTR, LPSTR);
  static BOOL WINAPI NoHeaderChange(HTTP_FILTER_CONTEXT*, LPSTR, LPSTR);
  static BOOL CopyOut(const std::string& value, LPVOID buffer, LPDWORD size);
  FilterProc Proc(FilterProc proc) const;

  HTTP_FILTER_PREPROC_HEADERS preproc_{};
  HTTP_FILTER_SEND_RESPONSE send_{};
  FilterProc lastProc_ = nullptr;
  char path_[260] = {};  // the physical path buffer of URL_MAP
  std::vector<std::pair<std::string, std::string>> frozen_;
  const std::string* frozenUrl_ = nullptr;  // the snapshot's URL, if any
  std::vector<std::unique_ptr<char[]>> allocations_;
};
