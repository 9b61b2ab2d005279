#pragma once
// Section "logserver": the settings of the hit pipeline, the output files,
// the heartbeats and hit counting. Loaded once per process on the first
// access; invalid values are replaced by their defaults with a warning.
// While the configuration cannot be had the first access throws (code 1011
// or 1012) and the next one tries again. Afterwards every accessor reads
// without locking.

#include <cstdint>
#include <string>
#include <vector>
#include "diag/lfmpublishedsettings.h"

class lfmMessageBatch;
class zrConfig;

class lfmLogServerSettings {
 public:
  static constexpr const char* kSection = "logserver";
  // Name of the visitor-tracking parameter; not configurable.
  static constexpr const char* kVisitorTrackingParam = "ZR_VT";
  // Unit of hitcountmaxsize.
  static constexpr int64_t kHitCountSizeUnit = 1024000;

  // Where a hit's P3P compact policy comes from.
  enum P3PFrom : int32_t { kP3PGlobal = 1, kP3PHit = 2, kP3PHitOrGlobal = 3 };

  struct Values {
    std::string loggingFileName = "/kyr.gif";
    std::string noScriptFileName = "/njs.gif";
    std::string contentFileName = "/zr_kyr.gif";
    bool statsEnabled = true;
    bool logInvalidHits = false;
    bool logTruncatedHits = false;
    bool issueP3P = false;
    std::string p3p = "INVALID";
    bool hostedModel = false;
    bool logInvalidKyrId = false;
    bool useMemMappedFile = false;
    bool useLazyFileClose = false;
    int32_t maxHandleCount = 2000;
    int32_t writeBufferSize = 65536;
    int32_t heartBeatRate = 60;
    int32_t bufferFlushRate = 60;
    int32_t fileCheckRate = 900;
    // Most per-site keys (KYR IDs the site map does not route) given a log
    // stream and a hit counter; hits for further keys are refused. 0: no
    // bound.
    int32_t maxLogStreams = 2000;
    bool trackHitCount = false;
    int32_t hitCountFlushRate = 20;
    std::string hitCountLogFileDir = "%zr_root%\\log\\";
    std::string hitCountLogFileExt = "hclf";
    bool hitCountLimitBySize = false;
    int32_t hitCountMaxSize = 1;
    bool hitCountRotateByFlush = false;
    int32_t hitCountFlushesPerRotation = 3;
    bool splitLogs = false;
    bool replayInProgress = false;
    int32_t p3pFrom = kP3PGlobal;
    bool cfgByHit = false;
    int32_t kyrIdBackToVersion = 1;
    bool trackFirstTimeCookies = true;
    bool enableHeaderParams = false;
    std::vector<std::string> headerParams{"Accept", "Host"};
    // Derived.
    std::string hostName = "localhost";
    int64_t hitCountSizeBytes = kHitCountSizeUnit;
  };

  static const std::string& LoggingFileName() { return Get().loggingFileName; }
  static const std::string& NoScriptFileName() { return Get().noScriptFileName; }
  static const std::string& ContentFileName() { return Get().contentFileName; }
  static bool StatsEnabled() { return Get().statsEnabled; }
  static bool LogInvalidHits() { return Get().logInvalidHits; }
  static bool LogTruncatedHits() { return Get().logTruncatedHits; }
  static bool IssueP3P() { return Get().issueP3P; }
  static const std::string& P3P() { return Get().p3p; }
  static bool HostedModel() { return Get().hostedModel; }
  static bool LogInvalidKyrId() { return Get().logInvalidKyrId; }
  static bool UseMemMappedFile() { return Get().useMemMappedFile; }
  static bool UseLazyFileClose() { return Get().useLazyFileClose; }
  static int32_t MaxHandleCount() { return Get().maxHandleCount; }
  static int32_t WriteBufferSize() { return Get().writeBufferSize; }
  static int32_t HeartBeatRate() { return Get().heartBeatRate; }
  static int32_t BufferFlushRate() { return Get().bufferFlushRate; }
  static int32_t FileCheckRate() { return Get().fileCheckRate; }
  static int32_t MaxLogStreams() { return Get().maxLogStreams; }
  static bool TrackHitCount() { return Get().trackHitCount; }
  static int32_t HitCountFlushRate() { return Get().hitCountFlushRate; }
  static const std::string& HitCountLogFileDir() { return Get().hitCountLogFileDir; }
  static const std::string& HitCountLogFileExt() { return Get().hitCountLogFileExt; }
  static bool HitCountLimitBySize() { return Get().hitCountLimitBySize; }
  static int32_t HitCountMaxSize() { return Get().hitCountMaxSize; }
  static bool HitCountRotateByFlush() { return Get().hitCountRotateByFlush; }
  static int32_t HitCountFlushesPerRotation() { return Get().hitCountFlushesPerRotation; }
  static bool SplitLogs() { return Get().splitLogs; }
  static bool ReplayInProgress() { return Get().replayInProgress; }
  static int32_t P3PFromChoice() { return Get().p3pFrom; }
  static bool CfgByHit() { return Get().cfgByHit; }
  static int32_t KyrIdBackToVersion() { return Get().kyrIdBackToVersion; }
  static bool TrackFirstTimeCookies() { return Get().trackFirstTimeCookies; }
  static bool EnableHeaderParams() { return Get().enableHeaderParams; }
  static const std::vector<std::string>& HeaderParamsList() { return Get().headerParams; }
  static const std::string& HostName() { return Get().hostName; }
  static int64_t HitCountSizeBytes() { return Get().hitCountSizeBytes; }
  static const char* VisitorTrackingParam() { return kVisitorTrackingParam; }

  // All values, loading them first when needed.
  static const Values& Get() {
    const Values* v = published_.Peek();
    return v ? *v : Load();
  }

  // Reads the section from `config` in the order of its keys, adding a
  // message for every value replaced, then derives the host name. Does not
  // add the settings report.
  static Values Read(const zrConfig& config, lfmMessageBatch& messages);
  // The thirteen "\nkey=value" lines of the settings report.
  static std::string Report(const Values& v);

  // For tests only.
  static void ResetForTest();

 private:
  static const Values& Load();
  static inline lfmPublishedSettings<Values> published_;
};
