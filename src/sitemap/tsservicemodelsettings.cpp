#include "sitemap/tsservicemodelsettings.h"

#include <algorithm>
#include <iterator>

#include "config/lfmenv.h"
#include "diag/lfmdebuglog.h"
#include "diag/lfmsettingsonce.h"
#include "util/lfmpathname.h"

namespace {

constexpr int32_t kRotationRates[] = {1,  2,  3,  4,   5,   6,   10,  12,  15,
                                      20, 30, 60, 120, 240, 360, 480, 720, 1440};

lfmSettingsOnce& Once() {
  static lfmSettingsOnce* once = new lfmSettingsOnce;
  return *once;
}

tsServiceModelSettings::Values& Stored() {
  static tsServiceModelSettings::Values* v = new tsServiceModelSettings::Values;
  return *v;
}

// Reads a number; when `valid` refuses it, `def` is used and `message` is
// raised with the key and the default.
int32_t ReadChecked(const zrConfig& config, const char* key, int32_t def, bool (*valid)(int32_t),
                    const lfmMessage& message, lfmMessageBatch& messages) {
  int32_t v = config.GetInt(key, def, tsServiceModelSettings::kSection);
  if (valid(v))
    return v;
  messages.Add(message, {key, std::to_string(def)});
  return def;
}

// A file path setting: root-expanded, native separators.
std::string ExpandFile(const std::string& path) {
  return lfmPathName::Normalize(lfmEnv::ExpandRoot(path));
}

}  // namespace

bool tsServiceModelSettings::IsRotationRate(int32_t minutes) {
  return std::find(std::begin(kRotationRates), std::end(kRotationRates), minutes) !=
         std::end(kRotationRates);
}

int32_t tsServiceModelSettings::RotationRate(int32_t latencyClass) {
  switch (latencyClass) {
    case kLatencyShortLag:
      return RotationRateShortLag();
    case kLatencyRealTime:
      return RotationRateRealTime();
    default:
      return RotationRateStandardLag();
  }
}

tsServiceModelSettings::Values tsServiceModelSettings::Read(const zrConfig& config,
                                                            lfmMessageBatch& messages) {
  Values v;
  v.serviceModel = config.GetBool("servicemodel", false, kSection);
  v.siteMapEnabled = config.GetBool("sitemapenabled", false, kSection);
  v.siteMapReloadSame = config.GetBool("sitemapreloadsame", false, kSection);
  v.siteMapCheckStatus = config.GetBool("sitemapcheckstatus", true, kSection);
  v.siteMapFullPath = ExpandFile(
      config.GetString("sitemapfullpath", "%zr_root%\\cfg\\vantorellsites.lst", kSection));
  v.siteMapBackupDir = ExpandFile(config.GetString("sitemapbackupdir", "%zr_root%\\log", kSection));
  v.siteMapReloadRate = ReadChecked(
      config, "sitemapreloadrate", 30, [](int32_t m) { return m >= 1 && m <= 1440; },
      MESS_INVALID_SITEMAP_RELOAD_RATE_SETTING, messages);
  v.siteMapSleepTime = ReadChecked(
      config, "sitemapsleeptime", 10, [](int32_t ms) { return ms >= 0 && ms <= 120; },
      MESS_INVALID_SLEEP_TIME_RATE_SETTING, messages);
  v.siteMapLockModel = config.GetInt("sitemaplockmodel", 0, kSection);
  v.rotationRateStandardLag =
      ReadChecked(config, "rotationratestandardlag", 60, IsRotationRate,
                  MESS_INVALID_ROTATION_RATE_STANDARD_LAG_SETTING, messages);
  v.rotationRateShortLag = ReadChecked(config, "rotationrateshortlag", 5, IsRotationRate,
                                       MESS_INVALID_ROTATION_RATE_SHORT_LAG_SETTING, messages);
  v.shortLagLogFileDir = lfmEnv::ExpandDirectory(
      config.GetString("shortlaglogfiledir", "%zr_root%\\shortlag\\", kSection));
  v.rotationRateRealTime = ReadChecked(config, "rotationraterealtime", 5, IsRotationRate,
                                       MESS_INVALID_ROTATION_RATE_REALTIME_SETTING, messages);
  v.realTimeLogFileDir = lfmEnv::ExpandDirectory(
      config.GetString("realtimelogfiledir", "%zr_root%\\realtime\\", kSection));
  v.trackVisitors = config.GetBool("trackvisitors", true, kSection);
  v.trackVisitorsSessionCookieName =
      config.GetString("trackvisitorssessioncookiename", "ZR_VT_S", kSection);
  v.trackVisitorsDailyCookieName =
      config.GetString("trackvisitorsdailycookiename", "ZR_VT_D", kSection);
  return v;
}

const tsServiceModelSettings::Values& tsServiceModelSettings::Load() {
  Once().Ensure([](lfmMessageBatch& messages) { Stored() = Read(lfmEnv::Instance(), messages); });
  published_.Publish(&Stored());
  return Stored();
}

void tsServiceModelSettings::ResetForTest() {
  published_.Publish(nullptr);
  Once().ResetForTest();
  Stored() = Values();
}
