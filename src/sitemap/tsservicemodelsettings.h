#pragma once
// Section "servicemodel": the hosted service model (a collection server for
// many sites listed in the site map), the site map's reload, and where the
// log files of each latency class go and how often they rotate. Loaded once
// per process on first use; invalid values fall back to their defaults with
// a warning. The first access throws (code 1011 or 1012) while the
// configuration cannot be had, and the next one tries again.

#include <cstdint>
#include <string>
#include "diag/lfmpublishedsettings.h"

class lfmMessageBatch;
class zrConfig;

// Latency classes of a hit and of the log stream that receives it.
enum lfmLatencyClass : int32_t {
  kLatencyShortLag = 1,
  kLatencyStandardLag = 2,
  kLatencyRealTime = 3
};

class tsServiceModelSettings {
 public:
  static constexpr const char* kSection = "servicemodel";
  // Extension of a log file while it is being written in the hosted service
  // model; not configurable.
  static constexpr const char* kBusyExtension = "kyrbusy";

  struct Values {
    bool serviceModel = false;
    bool siteMapEnabled = false;
    bool siteMapReloadSame = false;
    bool siteMapCheckStatus = true;
    std::string siteMapFullPath;     // root-expanded
    std::string siteMapBackupDir;    // root-expanded
    int32_t siteMapReloadRate = 30;  // minutes, 1..1440
    int32_t siteMapSleepTime = 10;   // milliseconds, 0..120
    int32_t siteMapLockModel = 0;
    int32_t rotationRateStandardLag = 60;  // minutes, one of the day's divisors
    int32_t rotationRateShortLag = 5;
    std::string shortLagLogFileDir;  // root-expanded, ends in a separator
    int32_t rotationRateRealTime = 5;
    std::string realTimeLogFileDir;  // root-expanded, ends in a separator
    bool trackVisitors = true;
    std::string trackVisitorsSessionCookieName = "ZR_VT_S";
    std::string trackVisitorsDailyCookieName = "ZR_VT_D";
  };

  static bool ServiceModel() { return Get().serviceModel; }
  static bool SiteMapEnabled() { return Get().siteMapEnabled; }
  static bool SiteMapReloadSame() { return Get().siteMapReloadSame; }
  static bool SiteMapCheckStatus() { return Get().siteMapCheckStatus; }
  static const std::string& SiteMapFullPath() { return Get().siteMapFullPath; }
  static const std::string& SiteMapBackupDir() { return Get().siteMapBackupDir; }
  static int32_t SiteMapReloadRate() { return Get().siteMapReloadRate; }
  static int32_t SiteMapSleepTime() { return Get().siteMapSleepTime; }
  static int32_t SiteMapLockModel() { return Get().siteMapLockModel; }
  static int32_t RotationRateStandardLag() { return Get().rotationRateStandardLag; }
  static int32_t RotationRateShortLag() { return Get().rotationRateShortLag; }
  static const std::string& ShortLagLogFileDir() { return Get().shortLagLogFileDir; }
  static int32_t RotationRateRealTime() { return Get().rotationRateRealTime; }
  static const std::string& RealTimeLogFileDir() { return Get().realTimeLogFileDir; }
  static bool TrackVisitors() { return Get().trackVisitors; }
  static const std::string& TrackVisitorsSessionCookieName() {
    return Get().trackVisitorsSessionCookieName;
  }
  static const std::string& TrackVisitorsDailyCookieName() {
    return Get().trackVisitorsDailyCookieName;
  }
  static const char* BusyExtension() { return kBusyExtension; }

  // The rotation rate (minutes) of a latency class; any class other than
  // short lag and real time is standard lag.
  static int32_t RotationRate(int32_t latencyClass);

  // Whether `minutes` divides a day the way log rotation can cut it:
  // 1..6, 10, 12, 15, 20, 30, 60, 120, 240, 360, 480, 720, 1440.
  static bool IsRotationRate(int32_t minutes);

  // All values, loading them first when needed.
  static const Values& Get() {
    const Values* v = published_.Peek();
    return v ? *v : Load();
  }
  // Reads the section from `config`, adding a message for every value replaced.
  static Values Read(const zrConfig& config, lfmMessageBatch& messages);

  // For tests only.
  static void ResetForTest();

 private:
  static const Values& Load();
  static inline lfmPublishedSettings<Values> published_;
};
