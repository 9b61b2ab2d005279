#pragma once
// lfmLogStream: where a line of a hit is written. This is the only code that
// reads the switches that choose a stream (hostedmodel, splitlogs,
// servicemodel, sitemapenabled) to decide it; the log record, the controller
// pool and the hit counters take its result and never decide again.

#include <cstdint>
#include <ctime>
#include <string>

#include "sitemap/tsservicemodelsettings.h"

class lfmRequestData;
struct tsSiteParams;

// Callers keep a stream in a local: its strings fit the small-string buffer
// for every key but a 30-character KYR ID, so a per-thread copy (an
// lfmThreadLocal, never a thread_local) would save next to nothing.
struct lfmLogStream {
  // The file key outside the hosted model, and the file key of the shared
  // standard-lag stream of the hosted service model.
  static constexpr const char* kNonHostedKey = "NonHosted";
  static constexpr const char* kStandardLagKey = "StandardLag";

  // The key of the hit: the hit counters count under it, and file names
  // that carry a key carry this one. "NonHosted", "StandardLag", the KYR ID
  // (30 or 14 characters) or empty.
  std::string fileKey;
  // The key the pool registers the stream's controller and handle grants
  // under. Streams whose file names coincide have one pool key, so every
  // file has one writer: without split logs every hosted key, and in the
  // hosted service model every standard-lag line. A site's short-lag stream
  // and the real-time stream of copies to it have different keys.
  std::string poolKey;
  // Selects directory and, in the hosted service model, the rotation rate.
  int32_t latencyClass = kLatencyStandardLag;
  // The hosted service model with the site map on and the site listed: the
  // site's latency class applies and its real-time copies are written.
  bool routed = false;
  // The file key is a per-site key anyone can make up: a KYR ID in the
  // hosted model that the site map does not route. Such keys are admitted
  // up to "maxlogstreams" (Admit). The fixed keys, the empty key and the
  // streams of listed sites are bounded by the configuration and the site
  // map, and always admitted.
  bool bounded = false;

  // The stream of the line of `request` for `site`: decides file key,
  // latency class and routing, then the pool key as ForKey does. Reuses the
  // strings' storage.
  static void ForHit(lfmRequestData& request, const tsSiteParams& site, lfmLogStream& out);
  // The stream of lines whose file key and latency class are fixed (the
  // real-time copies of a routed hit: the KYR ID with class 3). `latencyClass`
  // 0 stands for a caller that does not know it (standard lag).
  static void ForKey(const std::string& fileKey, int32_t latencyClass, lfmLogStream& out);

  // Whether a hit of `stream` may be written and counted: an unbounded
  // stream always; a bounded one when its file key was admitted before or
  // fewer than "maxlogstreams" keys are (it is then admitted for the rest of
  // the run). A refused hit is counted; the count is raised as
  // MESS_LOG_STREAMS_REFUSED at most once a minute, by a refusal or by
  // ReportRefusals. Admitted keys are never retired. Thread-safe; a thread
  // that hits the same key again takes no lock.
  static bool Admit(const lfmLogStream& stream);
  // Raises the refusals counted since the last report, if any and a minute
  // has passed since it (the heartbeat's tick; 0: now).
  static void ReportRefusals(time_t now = 0);
  // Forgets the admitted keys and the refusals not yet reported (the log
  // output shuts down).
  static void ForgetAdmitted();
};
