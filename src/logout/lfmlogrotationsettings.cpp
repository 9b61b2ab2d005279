#include "logout/lfmlogrotationsettings.h"

#include "config/lfmenv.h"
#include "diag/lfmdebuglog.h"
#include "diag/lfmsettingsonce.h"
#include "util/lfmtimefuncs.h"
#include "util/lfmutility.h"

namespace {

// The audit file's rotated names follow the log files' rotation.
void AuditRotation(lfmAuditRotation* out) {
  const lfmLogRotationSettings::Values& v = lfmLogRotationSettings::Get();
  out->period = v.period;
  out->daysInterval = v.daysInterval;
  out->hoursInterval = v.hoursInterval;
  out->minutesInterval = v.minutesInterval;
  out->weekStart = v.weekStart;
  out->gmtRotation = v.gmtRotation;
  out->numericMonth = v.numericMonth;
}

[[maybe_unused]] const bool kAuditRotationInstalled =
    (lfmDebugLog::SetRotationSource(&AuditRotation), true);

const char* const kPeriodNames[] = {"Hourly", "Daily", "Weekly",  "Monthly", "Quarterly",
                                    "Yearly", "Hours", "Minutes", "None"};

lfmSettingsOnce& Once() {
  static lfmSettingsOnce* once = new lfmSettingsOnce;
  return *once;
}

lfmLogRotationSettings::Values& Stored() {
  static lfmLogRotationSettings::Values* v = new lfmLogRotationSettings::Values;
  return *v;
}

}  // namespace

const char* lfmLogRotationSettings::PeriodName(int32_t period) {
  if (period < kRotateHourly || period > kRotateNone)
    return "";
  return kPeriodNames[period];
}

int32_t lfmLogRotationSettings::ParsePeriod(const std::string& text, int32_t* days) {
  *days = 1;
  for (int32_t p = kRotateHourly; p <= kRotateNone; ++p) {
    if (lfmUtility::EqualsNoCase(text, kPeriodNames[p]))
      return p;
  }
  // A whole number of days: digits only, 1..30.
  if (!text.empty() && text.size() <= 9 &&
      text.find_first_not_of("0123456789") == std::string::npos) {
    int32_t n = std::stoi(text);
    if (n >= 1 && n <= 30)
      *days = n;
  }
  return kRotateDaily;
}

lfmLogRotationSettings::Values lfmLogRotationSettings::Read(const zrConfig& config,
                                                            lfmMessageBatch& messages) {
  Values v;
  v.period = ParsePeriod(config.GetString("rotationperiod", "daily", kSection), &v.daysInterval);

  v.hoursInterval = config.GetInt("hoursinterval", 2, kSection);
  if (!lfmLogFileName::IsHoursInterval(v.hoursInterval)) {
    v.hoursInterval = 2;
    if (v.period == kRotateHours)
      messages.Add(MESS_LOG_ROTATION_HOURS_INTERVAL, {"2"});
  }
  v.minutesInterval = config.GetInt("minutesinterval", 30, kSection);
  if (!lfmLogFileName::IsMinutesInterval(v.minutesInterval)) {
    v.minutesInterval = 30;
    if (v.period == kRotateMinutes)
      messages.Add(MESS_LOG_ROTATION_MINUTES_INTERVAL, {"30"});
  }

  std::string week = config.GetString("weekstart", "sunday", kSection);
  v.weekStart = lfmTimeFuncs::GetDayNumber(week.c_str());
  if (v.weekStart < 0 || v.weekStart > 6) {
    v.weekStart = 0;
    messages.Add(MESS_LOG_ROTATION_WEEK_START, {"weekstart", "sunday"});
  }

  v.prefix = config.GetString("logfileprefix", "hlg", kSection);
  v.directory =
      lfmEnv::ExpandDirectory(config.GetString("logfiledir", "%zr_root%\\weblog\\", kSection));

  int64_t maxKB = config.GetInt("maxlogfilesize", kDefaultMaxSizeKB, kSection);
  if (maxKB < 0) {
    maxKB = kDefaultMaxSizeKB;
    messages.Add(MESS_LOG_ROTATION_MAX_UNDER_ZERO, {"maxlogfilesize", "2000000"});
  }
  v.limitBySize = config.GetBool("limitbysize", false, kSection);
  v.maxSizeKB = v.limitBySize ? maxKB : 0;
  v.maxSizeBytes = v.maxSizeKB * 1024;
  v.gmtRotation = config.GetBool("gmtrotation", false, kSection);
  v.numericMonth = config.GetBool("usenumericmonth", false, kSection);
  return v;
}

const lfmLogRotationSettings::Values& lfmLogRotationSettings::Load() {
  Once().Ensure([](lfmMessageBatch& messages) { Stored() = Read(lfmEnv::Instance(), messages); });
  published_.Publish(&Stored());
  return Stored();
}

void lfmLogRotationSettings::ResetForTest() {
  published_.Publish(nullptr);
  Once().ResetForTest();
  Stored() = Values();
}
