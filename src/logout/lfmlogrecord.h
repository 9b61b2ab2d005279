#pragma once
// The log line: the W3C extended log format of every accepted hit, the
// header block that opens every log file, the "logfields" section that
// selects the columns, the file key that selects the controller, and
// lfmLogRecord::WriteLogRecord, called once per hit.

#include <cstdint>
#include <ctime>
#include <string>

#include "diag/lfmpublishedsettings.h"
#include "logout/lfmlogstream.h"

class lfmMessageBatch;
class lfmRequestData;
class zrConfig;
struct tsSiteParams;

// Section "logfields": one switch per column, all on by default.
class lfmLogFieldSettings {
 public:
  static constexpr const char* kSection = "logfields";

  struct Values {
    bool date = true;
    bool time = true;
    bool clientIp = true;
    bool userName = true;
    bool serverIp = true;
    bool method = true;
    bool uriStem = true;
    bool uriQuery = true;
    bool httpStatus = true;
    bool bytesSent = true;
    bool protocolVersion = true;
    bool userAgent = true;
    bool cookie = true;
    bool referer = true;
    bool kyrId = true;  // written only in the hosted model
  };

  // All values, loading them first when needed (throws 1011/1012 while the
  // configuration cannot be had; the next call tries again).
  static const Values& Get() {
    const Values* v = published_.Peek();
    return v ? *v : Load();
  }
  static Values Read(const zrConfig& config);
  // For tests only.
  static void ResetForTest();

 private:
  static const Values& Load();
  static inline lfmPublishedSettings<Values> published_;
};

class lfmLogRecord {
 public:
  // Name of the file key outside the hosted model, and of the shared
  // standard-lag stream of the hosted service model.
  static constexpr const char* kNonHostedKey = lfmLogStream::kNonHostedKey;
  static constexpr const char* kStandardLagKey = lfmLogStream::kStandardLagKey;

  // Formats one hit and writes it through the controller of its file key;
  // a routed hit of a site with further KYR IDs is copied to each of them
  // as a real-time line. `hitTime` (optional) receives the time written,
  // and `written` (optional) the stream of the site's own line, for the
  // hit counter. False, with nothing written, when the hit's stream is
  // refused (lfmLogStream::Admit): its key is new and "maxlogstreams" are in
  // use. Any whException is reported (lfmLogRecord / WriteLogRecord) and
  // thrown on. Thread-safe.
  static bool WriteLogRecord(lfmRequestData& request, const tsSiteParams& site,
                             time_t* hitTime = nullptr, lfmLogStream* written = nullptr);

  // The header block (without the remark line the controller class adds):
  // software, version, the build time (now, UTC) and the "#Fields:" line.
  static std::string BuildLogHeader();

  // Appends the data line of `request` at `t` (UTC) to `line`, with "\r\n"
  // when `lineEnd`. Blanks and control characters inside a field become
  // "+", so no value can add a column or a line.
  static void FormatLine(std::string& line, time_t t, lfmRequestData& request, bool lineEnd);

  // Sets `key` to the file key of the hit: "NonHosted", "StandardLag", the
  // KYR ID (30 or 14 characters) or empty (lfmLogStream::ForHit decides it).
  static void BuildFileKey(lfmRequestData& request, std::string& key, const tsSiteParams& site);

  // `cookie` without the three tracking cookies ("ZR_VT" and the session
  // and daily cookie names); pairs are separated by ";", the rest of the
  // text is kept as it stands.
  static std::string RemoveTrackingCookies(const std::string& cookie);
};
