// The installer's conf/kyr.cfg states every default: read section by
// section, it gives what an empty configuration gives; it names only keys
// the collector reads, and carries the fifteen-entry log element map.

#include <gtest/gtest.h>

#include <tuple>

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

TEST_F(ShippedConfig, EveryKeyIsOneTheCollectorReads) {
  // A key misspelt in the installer's file would silently mean its default.
  std::string text = ReadFileText(KYR_SHIPPED_CONFIG);
  const std::string known =
      " loggingfilename noscriptfilename contentfilename statsenabled loginvalidhits "
      "logtruncatedhits issuep3p p3p p3pfrom hostedmodel loginvalidkyrid usememmappedfile "
      "uselazyfileclose maxhandlecount maxlogstreams writebuffersize heartbeatrate bufferflushrate "
      "filecheckrate splitlogs replayinprogress cfgbyhit kyridbacktoversion "
      "trackfirsttimecookies enableheaderparams headerparamslist trackhitcount "
      "hitcountflushrate hitcountlogfiledir hitcountlogfileext hitcountlimitbysize "
      "hitcountmaxsize hitcountrotatebyflush hitcountflushesperrotation logelementcount "
      "logelement parameter required rotationperiod hoursinterval minutesinterval weekstart "
      "logfileprefix logfiledir usenumericmonth gmtrotation limitbysize maxlogfilesize logdate "
      "logtime logclientip logusername logserverip logmethod loguristem loguriquery "
      "loghttpstatus logbytessent logprotocolversion loguseragent logcookie logreferer "
      "logkyrid servicemodel sitemapenabled sitemapreloadsame sitemapcheckstatus "
      "sitemapfullpath sitemapbackupdir sitemapreloadrate sitemapsleeptime sitemaplockmodel "
      "rotationratestandardlag rotationrateshortlag rotationraterealtime shortlaglogfiledir "
      "realtimelogfiledir trackvisitors trackvisitorssessioncookiename "
      "trackvisitorsdailycookiename type debuglevel systemdebuglevel auditlimitbysize "
      "auditlimitbysizemethod auditmaxsize audittrimsize auditfilename auditfilenameprefix "
      "auditfilenameext requestmessagesperminute enabled cookiename path domain includepath "
      "expirationtype "
      "expirationseconds expirationdate cookieversion magiccode validatecookie "
      "validateoldcookie reissuebadcookie secure useoptoutcookie optoutcookiename samesite "
      "httponly ";
  size_t keys = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || line[0] == '[' || eq == std::string::npos)
      continue;
    std::string key = line.substr(0, line.find_last_not_of(' ', eq - 1) + 1);
    EXPECT_NE(known.find(" " + key + " "), std::string::npos) << key;
    ++keys;
  }
  EXPECT_GT(keys, 120u);
}

}  // namespace
