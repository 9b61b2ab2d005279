#include "logout/lfmlogstream.h"

#include "logout/lfmlogserversettings.h"
#include "logout/lfmrequestdata.h"
#include "sitemap/tssiteparams.h"

namespace {

// Appended to a KYR ID for the pool key of its real-time stream; a KYR ID
// never holds "|".
const char kRealTimeKeySuffix[] = "|realtime";

// The pool key of `fileKey` at `latencyClass` in the hosted model. Standard-
// lag names of the hosted service model carry no key; without split logs no
// name does.
void SetHostedPoolKey(bool serviceModel, bool splitLogs, const std::string& fileKey,
                      int32_t latencyClass, std::string& poolKey) {
  if (serviceModel) {
    if (latencyClass == kLatencyShortLag) {
      poolKey = fileKey;
    } else if (latencyClass == kLatencyRealTime) {
      poolKey = fileKey;
      poolKey += kRealTimeKeySuffix;
    } else {
      poolKey = lfmLogStream::kStandardLagKey;
    }
  } else if (splitLogs) {
    poolKey = fileKey;
  } else {
    poolKey.clear();
  }
}

}  // namespace

void lfmLogStream::ForHit(lfmRequestData& request, const tsSiteParams& site, lfmLogStream& out) {
  const lfmLogServerSettings::Values& server = lfmLogServerSettings::Get();
  if (!server.hostedModel) {
    out.fileKey = kNonHostedKey;
    out.poolKey = kNonHostedKey;
    out.latencyClass = kLatencyStandardLag;
    out.routed = false;
    return;
  }
  const tsServiceModelSettings::Values& service = tsServiceModelSettings::Get();
  out.routed = service.serviceModel && service.siteMapEnabled && site.found;
  out.latencyClass = out.routed ? site.latencyClass : kLatencyStandardLag;
  if (service.serviceModel &&
      (!service.siteMapEnabled || (site.found && site.latencyClass == kLatencyStandardLag))) {
    out.fileKey = kStandardLagKey;
    out.poolKey = kStandardLagKey;
    return;
  }
  // No KYR ID: the empty key.
  const char* id = request.HasSrcKYRId() ? request.GetSrcKYRId() : nullptr;
  size_t n = id ? std::char_traits<char>::length(id) : 0;
  if (n == 30 || n == 14)
    out.fileKey.assign(id, n);
  else
    out.fileKey.clear();
  SetHostedPoolKey(service.serviceModel, server.splitLogs, out.fileKey, out.latencyClass,
                   out.poolKey);
}

void lfmLogStream::ForKey(const std::string& fileKey, int32_t latencyClass, lfmLogStream& out) {
  out.fileKey = fileKey;
  out.latencyClass = latencyClass;
  out.routed = false;
  const lfmLogServerSettings::Values& server = lfmLogServerSettings::Get();
  if (!server.hostedModel) {
    out.poolKey = fileKey;
    return;
  }
  SetHostedPoolKey(tsServiceModelSettings::Get().serviceModel, server.splitLogs, fileKey,
                   latencyClass, out.poolKey);
}
