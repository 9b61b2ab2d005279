// The installer's conf/kyr.cfg states every default: read section by
// section, it gives what an empty configuration gives; it names only keys
// the collector reads, and carries the fifteen-entry log element map.

#include <gtest/gtest.h>

#include <tuple>

#include "config/lfmknownsettings.h"
#include "config/lfmmapretriever.h"
#include "config/zrconfig.h"
#include "cookie/lfmcookiesettings.h"
#include "diag/lfmdebuglog.h"
#include "logout/lfmlogrecord.h"
#include "logout/lfmlogrotationsettings.h"
#include "logout/lfmlogserversettings.h"
#include "sitemap/tsservicemodelsettings.h"
#include "tests/support/temproot.h"

namespace {

class ShippedConfig : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(shipped_.Load(KYR_SHIPPED_CONFIG, zrConfig::kReadOnly)); }
  TempRoot root_;  // for %zr_root% expansion
  zrConfig shipped_;
  zrConfig empty_;
};

TEST_F(ShippedConfig, EverySectionStatesItsDefaults) {
  lfmMessageBatch shippedMessages;
  lfmMessageBatch defaultMessages;

  auto server = lfmLogServerSettings::Read(shipped_, shippedMessages);
  auto serverDefaults = lfmLogServerSettings::Read(empty_, defaultMessages);
  EXPECT_EQ(lfmLogServerSettings::Report(server), lfmLogServerSettings::Report(serverDefaults));
  auto serverTail = [](const lfmLogServerSettings::Values& v) {
    return std::tie(v.p3p, v.logInvalidKyrId, v.useMemMappedFile, v.useLazyFileClose,
                    v.replayInProgress, v.p3pFrom, v.cfgByHit, v.kyrIdBackToVersion,
                    v.trackFirstTimeCookies, v.enableHeaderParams, v.issueP3P, v.trackHitCount,
                    v.maxLogStreams);
  };
  EXPECT_EQ(serverTail(server), serverTail(serverDefaults));

  auto rotation = lfmLogRotationSettings::Read(shipped_, shippedMessages);
  auto rotationDefaults = lfmLogRotationSettings::Read(empty_, defaultMessages);
  auto rotationFields = [](const lfmLogRotationSettings::Values& v) {
    return std::tie(v.period, v.daysInterval, v.hoursInterval, v.minutesInterval, v.weekStart,
                    v.prefix, v.directory, v.maxSizeKB, v.maxSizeBytes, v.limitBySize,
                    v.gmtRotation, v.numericMonth);
  };
  EXPECT_EQ(rotationFields(rotation), rotationFields(rotationDefaults));

  auto service = tsServiceModelSettings::Read(shipped_, shippedMessages);
  auto serviceDefaults = tsServiceModelSettings::Read(empty_, defaultMessages);
  auto serviceFields = [](const tsServiceModelSettings::Values& v) {
    return std::tie(v.serviceModel, v.siteMapEnabled, v.siteMapReloadSame, v.siteMapCheckStatus,
                    v.siteMapFullPath, v.siteMapBackupDir, v.siteMapReloadRate, v.siteMapSleepTime,
                    v.siteMapLockModel, v.rotationRateStandardLag, v.rotationRateShortLag,
                    v.shortLagLogFileDir, v.rotationRateRealTime, v.realTimeLogFileDir,
                    v.trackVisitors, v.trackVisitorsSessionCookieName,
                    v.trackVisitorsDailyCookieName);
  };
  EXPECT_EQ(serviceFields(service), serviceFields(serviceDefaults));

  auto fields = lfmLogFieldSettings::Read(shipped_);
  auto fieldDefaults = lfmLogFieldSettings::Read(empty_);
  auto fieldFlags = [](const lfmLogFieldSettings::Values& v) {
    return std::tie(v.date, v.time, v.clientIp, v.userName, v.serverIp, v.method, v.uriStem,
                    v.uriQuery, v.httpStatus, v.bytesSent, v.protocolVersion, v.userAgent, v.cookie,
                    v.referer, v.kyrId);
  };
  EXPECT_EQ(fieldFlags(fields), fieldFlags(fieldDefaults));

  auto audit = lfmAuditLogSettings::Read(shipped_, "");
  auto auditDefaults = lfmAuditLogSettings::Read(empty_, "");
  auto auditFields = [](const lfmAuditLogSettings& s) {
    return std::tie(s.toFile, s.toSystem, s.debugLevel, s.systemDebugLevel, s.limitBySize, s.method,
                    s.maxSizeKB, s.trimSizeKB, s.prefix, s.extension, s.requestMessagesPerMinute);
  };
  EXPECT_EQ(auditFields(audit), auditFields(auditDefaults));

  auto cookie = lfmCookieSettings::Read(shipped_, shippedMessages);
  auto cookieDefaults = lfmCookieSettings::Read(empty_, defaultMessages);
  EXPECT_EQ(lfmCookieSettings::Report(cookie), lfmCookieSettings::Report(cookieDefaults));
}

TEST_F(ShippedConfig, CarriesTheLogElementMap) {
  std::vector<lfmMapRetriever::Entry> entries;
  ASSERT_TRUE(lfmMapRetriever::Get(shipped_, entries));
  const char* const expected[][2] = {
      {"KYR_URI", "kyruri"},      {"KYR_QUERY", "kyrqry"},         {"KYR_REFERRER", "kyrref"},
      {"KYR_METHOD", "kyrmet"},   {"KYR_AUTHUSER", "kyraut"},      {"KYR_STATUS", "kyrsta"},
      {"KYR_SERVERIP", "kyrsip"}, {"KYR_PROTOCOL", "kyrpro"},      {"KYR_BYTES", "kyrbyt"},
      {"KYR_DATE", "kyrdat"},     {"KYR_CLIENTIP", "kyrcip"},      {"KYR_P3P", "kyrp3p"},
      {"KYR_CFG", "kyrcfg"},      {"KYR_REDIRECT", "kyrredirect"}, {"KYR_REPLAYDATE", "kyrrdt"}};
  ASSERT_EQ(entries.size(), 15u);
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].element, expected[i][0]) << i;
    EXPECT_EQ(entries[i].parameter, expected[i][1]) << i;
    EXPECT_EQ(entries[i].required, i == 0) << i;
  }
}

TEST_F(ShippedConfig, EveryKeyIsOneTheCollectorReadsInTheFormItReads) {
  // A key misspelt in the installer's file would silently mean its default.
  for (const lfmKnownSettings::Finding& f : lfmKnownSettings::Check(shipped_))
    ADD_FAILURE() << "[" << f.section << "] " << f.key << " = " << f.value;
  EXPECT_GT(shipped_.AllSettings().size(), 120u);
}

}  // namespace
