// The filter module's three entry points and the dispatch of the filter
// notifications. This is the only place where exceptions meet the web
// server: no exception ever leaves these functions.

#include "filter/kyrfilter.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cookie/lfmcookieserver.h"
#include "diag/lfmdebuglog.h"
#include "diag/lfmexceptioncontroller.h"
#include "filter/iiscontenthandler.h"
#include "filter/iisrequestdata.h"
#include "filter/kyrhostapi.h"
#include "hit/lfmloghelper.h"
#include "hit/lfmpools.h"
#include "hit/lfmrequest.h"
#include "hitcount/lfmhitcountcontrollerpool.h"
#include "logout/lfmlogrecord.h"
#include "logout/lfmlogserversettings.h"
#include "platform/lfmplatform.h"
#include "runtime/lfmthreadlocal.h"
#include "sitemap/tssiteparams.h"
#include "util/lfmclock.h"
#include "util/lfmstderr.h"

#if defined(_WIN32)
#define KYR_EXPORT  // the DLL's exports come from its module definition
#else
#define KYR_EXPORT __attribute__((visibility("default")))
#endif

namespace {

constexpr size_t kHeaderBufferSize = 4096;

// The boundary handlers' identities and fixed lines. A handler may run
// because memory ran out, so nothing on its path allocates: the method ids
// are built when the module loads and the lines are literals.
const whMethodId kStartUpSite("", "GetFilterVersion(SendResponse)");
const whMethodId kResponseSite("", "HttpFilterProc(SendResponse)");
const whMethodId kUrlMapSite("", "HttpFilterProc(UrlMap)");
const whMethodId kHeadersSite("", "HttpFilterProc(PreprocHeaders)");
const whMethodId kShutDownSite("", "TerminateFilter");
constexpr const char kStartUpUnknown[] = "Unknown exception caught in GetFilterVersion";
constexpr const char kResponseUnknown[] =
    "Unknown exception caught in ::HttpFilterProc(SendResponse)";
constexpr const char kUrlMapUnknown[] = "Unknown exception caught in ::HttpFilterProc(UrlMap)";
constexpr const char kHeadersUnknown[] =
    "Unknown exception caught in ::HttpFilterProc(PreprocHeaders)";
constexpr const char kShutDownUnknown[] = "Unknown exception caught in TerminateFilter";
const whMethodId kCheckSite("", "KyrCheckFilter");
constexpr const char kCheckUnknown[] = "Unknown exception caught in KyrCheckFilter";

// Collects the configured request headers as "ZR.hdr." parameters into the
// record's header-parameter text.
void CaptureHeaderParams(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_PREPROC_HEADERS* headers,
                         iisRequestData& record) {
  std::vector<std::string> names = lfmLogServerSettings::HeaderParamsList();
  std::string params;
  char value[kHeaderBufferSize];
  for (const std::string& name : names) {
    std::string asked = name + ":";
    value[0] = '\0';
    DWORD size = kHeaderBufferSize;
    if (!headers->GetHeader || !headers->GetHeader(pfc, &asked[0], value, &size))
      continue;
    value[kHeaderBufferSize - 1] = '\0';
    if (!params.empty())
      params += '&';
    params += "ZR.hdr.";
    params += name;
    params += '=';
    lfmLogHelper::EncodeHeaderValue(value, params);
  }
  if (params.empty())
    return;
  record.CheckValidity();
  char* text = record.ReserveSrcHeaderParams(params.size() + 2);
  if (text)
    std::memcpy(text, params.c_str(), params.size() + 1);
}

DWORD OnPreprocHeaders(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_PREPROC_HEADERS* headers) {
  iisRequestData* record = iisRequestDataPool::GetRequestData();
  if (!record)
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  record->Reset();
  record->SetFilterContext(pfc);
  if (!lfmLogServerSettings::EnableHeaderParams() || !headers)
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  CaptureHeaderParams(pfc, headers, *record);
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

// Whether this thread is inside a response handler: the filter's own
// redirect passes back through SEND_RESPONSE from within it.
thread_local bool t_inResponse = false;

// Unbinds the request record when the response handler leaves.
class UnbindOnExit {
 public:
  explicit UnbindOnExit(iisRequestData& record) : record_(record) { t_inResponse = true; }
  ~UnbindOnExit() {
    t_inResponse = false;
    record_.Unbind();
  }
  UnbindOnExit(const UnbindOnExit&) = delete;
  UnbindOnExit& operator=(const UnbindOnExit&) = delete;

 private:
  iisRequestData& record_;
};

// The hit pipeline for one response. May throw; its caller reports.
DWORD HandleResponse(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE* response,
                     tsSiteParams& site) {
  iisRequestData* record = iisRequestDataPool::GetRequestData();
  if (!record)
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  if (record->GetFilterContext() != pfc) {
    // Not the request this thread bound at PREPROC_HEADERS (that one ran
    // on another thread): never read another request's data.
    record->Reset();
    record->SetFilterContext(pfc);
  }
  // IIS keeps one filter context for every request of a kept-alive
  // connection, so the binding ends with this response, however it ends:
  // a later response without its own PREPROC_HEADERS on this thread then
  // binds afresh instead of matching the context.
  UnbindOnExit unbind(*record);
  record->SetSendResponse(response);
  lfmLogHelper::Initialize(*record);
  lfmLogHelper::ValidateRequest(*record, site, true);
  if (lfmRequestPool::GetRequest()->valid)
    lfmCookieServer::ProcessCookie(*record, site);
  time_t hitTime = 0;
  if (!lfmLogHelper::PrepareHit(*record)) {
    // A request without a logged hit: a page, a refused hit.
    if (lfmLogServerSettings::TrackHitCount())
      lfmHitCountControllerPool::CountRequest(lfmClock::Now());
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
  if (lfmLogServerSettings::TrackFirstTimeCookies() &&
      !lfmLogHelper::HasCfgFlag(*record, lfmLogHelper::kCfgNoCookieTest) &&
      record->IsRedirectPending() && lfmCookieServer::BuildRedirect(*record)) {
    record->SetRedirectPending(false);
    if (pfc->ServerSupportFunction) {
      char status[] = "303 Object Moved";
      pfc->ServerSupportFunction(pfc, SF_REQ_SEND_RESPONSE_HEADER, status,
                                 reinterpret_cast<ULONG_PTR>(record->GetSrcRedirectHeader()), 0);
    }
    return SF_STATUS_REQ_FINISHED;
  }
  // Counted once its line is written, whatever the response headers meet;
  // a hit whose new log stream was refused is answered but not counted.
  lfmLogStream stream;
  if (lfmLogRecord::WriteLogRecord(*record, site, &hitTime, &stream) &&
      lfmLogServerSettings::TrackHitCount())
    lfmHitCountControllerPool::CountHit(stream, hitTime);
  lfmLogHelper::PerformFixup(*record);
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

DWORD OnSendResponse(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE* response) {
  if (!response)
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  if (response->HttpStatus == 303) {
    // The filter's own redirect passing back is left alone; a page's own 303
    // ends its request's binding like any other response.
    if (!t_inResponse) {
      try {
        iisRequestData* record = iisRequestDataPool::GetRequestData();
        if (record && record->GetFilterContext() == pfc)
          record->Unbind();
      } catch (...) {
        // No record to unbind.
      }
    }
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
  // A failure is reported and the request goes on.
  DWORD status = SF_STATUS_REQ_NEXT_NOTIFICATION;
  lfmExceptionController::RunAtBoundary(kResponseSite, kResponseUnknown, [&] {
    // One site record per worker thread, emptied when each response leaves
    // however it leaves: the next starts from an empty record, and a thread
    // that goes idle keeps no site map half swapped out meanwhile. Its
    // further-id list keeps its storage from hit to hit.
    static lfmThreadLocal<tsSiteParams> sites;
    std::optional<tsSiteParams> fallback;
    tsSiteParams& site = sites.Get(fallback);
    struct ResetOnExit {
      tsSiteParams& site;
      ~ResetOnExit() { site.Reset(); }
    } reset{site};
    status = HandleResponse(pfc, response, site);
  });
  return status;
}

}  // namespace

void ReleaseThreadObjects() {
  lfmRequestPool::Release();
  lfmCookiePool::Release();
  lfmParseMapPool::Release();
  iisRequestDataPool::Release();
}

#if defined(_WIN32)
namespace {

// Runs on every thread that ends while the module is loaded. Its place in
// .CRT$XLB puts it first among the image's TLS callbacks, ahead of the C++
// runtime's and the threads library's own per-thread clean-up. DllMain's
// thread detach comes after those, which is too late: a pool lock taken
// there asks for the thread's identity, and the threads library builds a
// new record (a handle and an event) for the ending thread that is never
// freed, two handles leaked per thread IIS retires.
// Releases the thread's pooled objects in the pools' order (request,
// cookie, parse map, request record), then any other slot's value. The
// loader lock is held: nothing here loads a library or waits for a thread.
void NTAPI OnThreadEvent(PVOID, DWORD reason, PVOID) {
  if (reason != DLL_THREAD_DETACH)
    return;
  try {
    ReleaseThreadObjects();
  } catch (...) {
  }
  lfmPlatform::ThreadExit();
}

}  // namespace

// The runtime's TLS directory calls every callback placed between its
// .CRT$XLA and .CRT$XLZ markers, in the order of the sections' names. Test
// programs that link the module's objects get the same callback.
extern "C" __attribute__((section(".CRT$XLB"), used)) const PIMAGE_TLS_CALLBACK kyr_thread_detach =
    OnThreadEvent;
#endif

extern "C" {

KYR_EXPORT BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* version) {
  if (!version)
    return FALSE;
  version->dwFlags = kFilterFlags;
  version->dwFilterVersion = kFilterRevision;
  std::strncpy(version->lpszFilterDesc, kFilterDescription, SF_MAX_FILTER_DESC_LEN - 1);
  version->lpszFilterDesc[SF_MAX_FILTER_DESC_LEN - 1] = '\0';
  // A start-up that fails leaves the filter unused.
  const bool started = lfmExceptionController::RunAtBoundary(kStartUpSite, kStartUpUnknown,
                                                             [] { lfmLogHelper::StartUp(true); });
  return started ? TRUE : FALSE;
}

KYR_EXPORT DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType,
                                       void* notification) {
  switch (notificationType) {
    case SF_NOTIFY_SEND_RESPONSE:
      return OnSendResponse(pfc, static_cast<HTTP_FILTER_SEND_RESPONSE*>(notification));
    case SF_NOTIFY_URL_MAP:
      // A failure is reported and the request goes on, unmapped.
      lfmExceptionController::RunAtBoundary(kUrlMapSite, kUrlMapUnknown, [&] {
        RemapURL(static_cast<HTTP_FILTER_URL_MAP*>(notification));
      });
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
    case SF_NOTIFY_PREPROC_HEADERS: {
      DWORD status = SF_STATUS_REQ_NEXT_NOTIFICATION;
      lfmExceptionController::RunAtBoundary(kHeadersSite, kHeadersUnknown, [&] {
        status = OnPreprocHeaders(pfc, static_cast<HTTP_FILTER_PREPROC_HEADERS*>(notification));
      });
      return status;
    }
    default:
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
}

KYR_EXPORT BOOL WINAPI TerminateFilter(DWORD) {
  lfmExceptionController::RunAtBoundary(kShutDownSite, kShutDownUnknown,
                                        [] { lfmLogHelper::ShutDown(true); });
  // The count of per-request messages dropped since the last summary is not
  // left to a heartbeat that no longer runs.
  lfmDebugLog::Instance().ReportSuppressed(lfmClock::Now(), true);
  return TRUE;
}

// kyrhost's own entry points (kyrhostapi.h); the module definition of the
// Windows DLL leaves them out.
KYR_EXPORT BOOL WINAPI KyrCheckFilter(void) {
  lfmDebugLog::Instance().ToConsoleOnly(stdout);
  bool usable = false;
  if (!lfmExceptionController::RunAtBoundary(kCheckSite, kCheckUnknown,
                                             [&] { usable = lfmLogHelper::Check(); }))
    usable = false;
  std::fflush(stdout);
  return usable ? TRUE : FALSE;
}

KYR_EXPORT DWORD WINAPI KyrFilterInfo(DWORD item, char* buffer, DWORD size) {
  std::string text;
  try {
    lfmDebugLog& log = lfmDebugLog::Instance();
    switch (item) {
      case KYR_INFO_CONTENT_FILE:
        text = lfmLogServerSettings::ContentFileName();
        break;
      case KYR_INFO_LOG_FAULT:
        text = lfmLogHelper::LogFault();
        break;
      case KYR_INFO_AUDIT_FILE:
        text = log.AuditFilePath();
        break;
      case KYR_INFO_ENTRIES_WRITTEN:
        text = std::to_string(log.EntriesWritten() + log.EntriesToStandardError());
        break;
      case KYR_INFO_ENTRIES_STDERR:
        text = std::to_string(log.EntriesToStandardError());
        break;
      default:
        break;
    }
  } catch (...) {
    text.clear();
  }
  if (buffer && size > 0) {
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<DWORD>(text.size());
}

}  // extern "C"
