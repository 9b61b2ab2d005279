#include "logout/lfmlogstream.h"

#include <atomic>
#include <optional>
#include <unordered_set>

#include "diag/lfmdebuglog.h"
#include "logout/lfmlogserversettings.h"
#include "logout/lfmrequestdata.h"
#include "runtime/lfmmutex.h"
#include "runtime/lfmthreadlocal.h"
#include "sitemap/tssiteparams.h"
#include "util/lfmclock.h"

namespace {

constexpr time_t kRefusalReportSeconds = 60;

// The per-site keys admitted so far and the refusals not yet reported.
struct Admission {
  lfmMutex lock;
  // Changes when the keys are forgotten, so that a thread's remembered key
  // is asked for again.
  std::atomic<uint64_t> generation{1};
  std::unordered_set<std::string> keys LFM_GUARDED_BY(lock);
  uint64_t refused LFM_GUARDED_BY(lock) = 0;
  bool reported LFM_GUARDED_BY(lock) = false;
  time_t lastReport LFM_GUARDED_BY(lock) = 0;
};

Admission& Admitted() {
  static Admission* a = new Admission;
  return *a;
}

// Takes the refusals to report at `now` (0 when none are due): the first
// report at once, later ones a minute after the last (or when the clock
// went back).
uint64_t TakeDueRefusals(Admission& a, time_t now) LFM_REQUIRES(a.lock) {
  if (a.refused == 0)
    return 0;
  if (a.reported && now >= a.lastReport && now - a.lastReport < kRefusalReportSeconds)
    return 0;
  uint64_t n = a.refused;
  a.refused = 0;
  a.reported = true;
  a.lastReport = now;
  return n;
}

void RaiseRefusals(uint64_t count, int32_t bound) {
  if (count == 0)
    return;
  std::string n = std::to_string(count);
  std::string b = std::to_string(bound);
  lfmDebugLog::Instance().Log(MESS_LOG_STREAMS_REFUSED, n.c_str(), b.c_str());
}

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
    out.bounded = false;
    return;
  }
  out.bounded = false;
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
  out.bounded = !out.routed && !out.fileKey.empty();
  SetHostedPoolKey(service.serviceModel, server.splitLogs, out.fileKey, out.latencyClass,
                   out.poolKey);
}

void lfmLogStream::ForKey(const std::string& fileKey, int32_t latencyClass, lfmLogStream& out) {
  out.fileKey = fileKey;
  out.latencyClass = latencyClass;
  out.routed = false;
  out.bounded = false;
  const lfmLogServerSettings::Values& server = lfmLogServerSettings::Get();
  if (!server.hostedModel) {
    out.poolKey = fileKey;
    return;
  }
  SetHostedPoolKey(tsServiceModelSettings::Get().serviceModel, server.splitLogs, fileKey,
                   latencyClass, out.poolKey);
}

bool lfmLogStream::Admit(const lfmLogStream& stream) {
  if (!stream.bounded)
    return true;
  const int32_t bound = lfmLogServerSettings::MaxLogStreams();
  if (bound == 0)
    return true;
  Admission& a = Admitted();
  // The thread's last admitted key: hits of one site pass without the lock.
  struct Remembered {
    uint64_t generation = 0;
    std::string key;
  };
  static lfmThreadLocal<Remembered> remembered;
  std::optional<Remembered> fallback;
  Remembered& last = remembered.Get(fallback);
  const uint64_t generation = a.generation.load(std::memory_order_acquire);
  if (last.generation == generation && last.key == stream.fileKey)
    return true;
  uint64_t report = 0;
  {
    lfmScopedGuard guard(a.lock);
    if (a.keys.count(stream.fileKey) != 0 ||
        (a.keys.size() < static_cast<size_t>(bound) && a.keys.insert(stream.fileKey).second)) {
      last.generation = generation;
      last.key = stream.fileKey;
      return true;
    }
    ++a.refused;
    report = TakeDueRefusals(a, lfmClock::Now());
  }
  RaiseRefusals(report, bound);
  return false;
}

void lfmLogStream::ReportRefusals(time_t now) {
  Admission& a = Admitted();
  uint64_t report;
  {
    lfmScopedGuard guard(a.lock);
    report = TakeDueRefusals(a, now ? now : lfmClock::Now());
  }
  if (report != 0)
    RaiseRefusals(report, lfmLogServerSettings::MaxLogStreams());
}

void lfmLogStream::ForgetAdmitted() {
  Admission& a = Admitted();
  lfmScopedGuard guard(a.lock);
  a.keys.clear();
  a.refused = 0;
  a.reported = false;
  a.lastReport = 0;
  a.generation.fetch_add(1, std::memory_order_acq_rel);
}
