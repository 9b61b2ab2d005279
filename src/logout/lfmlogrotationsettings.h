#pragma once
// Section "logrotation": how log files are cut into periods and by size.
// Loaded once per process on first use; invalid values fall back to their
// defaults with a warning. The first access throws (code 1011 or 1012)
// while the configuration cannot be had, and the next one tries again.

#include <cstdint>
#include <string>

#include "diag/lfmpublishedsettings.h"
#include "util/lfmlogfilename.h"

class lfmMessageBatch;
class zrConfig;

class lfmLogRotationSettings {
 public:
  static constexpr const char* kSection = "logrotation";
  static constexpr int32_t kDefaultMaxSizeKB = 2000000;

  struct Values {
    int32_t period = kRotateDaily;
    int32_t daysInterval = 1;  // days per file for period Daily, 1..30
    int32_t hoursInterval = 2;
    int32_t minutesInterval = 30;
    int32_t weekStart = 0;  // 0 = Sunday .. 6
    std::string prefix = "hlg";
    std::string directory;  // root-expanded, ends in a separator
    int64_t maxSizeKB = 0;  // 0: no size limit (limitbysize off)
    int64_t maxSizeBytes = 0;
    bool limitBySize = false;
    bool gmtRotation = false;
    bool numericMonth = false;
  };

  static int32_t RotationPeriod() { return Get().period; }
  static int32_t DaysInterval() { return Get().daysInterval; }
  static int32_t HoursInterval() { return Get().hoursInterval; }
  static int32_t MinutesInterval() { return Get().minutesInterval; }
  static int32_t WeekStart() { return Get().weekStart; }
  static const std::string& LogFilePrefix() { return Get().prefix; }
  static const std::string& LogFileDir() { return Get().directory; }
  static int64_t MaxLogFileSizeKB() { return Get().maxSizeKB; }
  static int64_t MaxLogFileSizeBytes() { return Get().maxSizeBytes; }
  static bool LimitBySize() { return Get().limitBySize; }
  static bool GmtRotation() { return Get().gmtRotation; }
  static bool UseNumericMonth() { return Get().numericMonth; }

  // All values, loading them first when needed.
  static const Values& Get() {
    const Values* v = published_.Peek();
    return v ? *v : Load();
  }

  // "Hourly" .. "None" (any case) to its period; any other text is Daily,
  // with `*days` the whole number 1..30 it spells, else 1.
  static int32_t ParsePeriod(const std::string& text, int32_t* days);
  static const char* PeriodName(int32_t period);

  // Reads the section from `config`, adding a message for every value
  // replaced. Paths are expanded against the root.
  static Values Read(const zrConfig& config, lfmMessageBatch& messages);

  // For tests only.
  static void ResetForTest();

 private:
  static const Values& Load();
  static inline lfmPublishedSettings<Values> published_;
};
