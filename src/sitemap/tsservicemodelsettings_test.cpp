#include "sitemap/tsservicemodelsettings.h"

#include <gtest/gtest.h>

#include "sitemap/tssiteparams.h"
#include "tests/support/temproot.h"

namespace {

TEST(ServiceModelSettings, Defaults) {
  TempRoot root;
  const tsServiceModelSettings::Values& v = tsServiceModelSettings::Get();
  EXPECT_FALSE(v.serviceModel);
  EXPECT_FALSE(v.siteMapEnabled);
  EXPECT_TRUE(v.siteMapCheckStatus);
  EXPECT_TRUE(v.trackVisitors);
  EXPECT_EQ(v.siteMapReloadRate, 30);
  EXPECT_EQ(v.siteMapSleepTime, 10);
  EXPECT_EQ(v.rotationRateStandardLag, 60);
  EXPECT_EQ(v.rotationRateShortLag, 5);
  EXPECT_EQ(v.rotationRateRealTime, 5);
  EXPECT_EQ(v.shortLagLogFileDir, root.File("shortlag/"));
  EXPECT_EQ(v.realTimeLogFileDir, root.File("realtime/"));
  EXPECT_EQ(v.siteMapFullPath, root.File("cfg/vantorellsites.lst"));
  EXPECT_EQ(v.siteMapBackupDir, root.File("log"));
}

// Both ends of every range, just outside them, and a value between two
// allowed rotation periods; each refused value is reported once with the
// value now in force.
TEST(ServiceModelSettings, RangesAndTheirWarnings) {
  struct Case {
    const char* key;
    int32_t value;
    int32_t inForce;
    const char* warning;  // "" when accepted
  };
  const char* reload =
      "The sitemap reload rate setting (sitemapreloadrate) is invalid.  It has "
      "been set to 30.";
  const char* sleep =
      "The sitemap sleep time setting (sitemapsleeptime) is invalid.  It has been "
      "set to 10.";
  const char* standard =
      "The standard lag rotation rate setting (rotationratestandardlag) is "
      "invalid.  It has been set to 60.";
  const char* shortLag =
      "The short lag rotation rate setting (rotationrateshortlag) is invalid.  "
      "It has been set to 5.";
  const char* realTime =
      "The realtime rotation rate setting (rotationraterealtime) is invalid.  "
      "It has been set to 5.";
  const Case cases[] = {
      {"sitemapreloadrate", 1, 1, ""},
      {"sitemapreloadrate", 1440, 1440, ""},
      {"sitemapreloadrate", 0, 30, reload},
      {"sitemapreloadrate", 1441, 30, reload},
      {"sitemapsleeptime", 0, 0, ""},
      {"sitemapsleeptime", 120, 120, ""},
      {"sitemapsleeptime", -1, 10, sleep},
      {"sitemapsleeptime", 121, 10, sleep},
      {"rotationratestandardlag", 1, 1, ""},
      {"rotationratestandardlag", 1440, 1440, ""},
      {"rotationratestandardlag", 45, 60, standard},
      {"rotationratestandardlag", 0, 60, standard},
      {"rotationrateshortlag", 15, 15, ""},
      {"rotationrateshortlag", 7, 5, shortLag},
      {"rotationraterealtime", 720, 720, ""},
      {"rotationraterealtime", 1441, 5, realTime},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " = " + std::to_string(c.value));
    TempRoot root("[servicemodel]\n" + std::string(c.key) + " = " + std::to_string(c.value) + "\n");
    const tsServiceModelSettings::Values& v = tsServiceModelSettings::Get();
    int32_t got = std::string(c.key) == "sitemapreloadrate"      ? v.siteMapReloadRate
                  : std::string(c.key) == "sitemapsleeptime"     ? v.siteMapSleepTime
                  : std::string(c.key) == "rotationrateshortlag" ? v.rotationRateShortLag
                  : std::string(c.key) == "rotationraterealtime" ? v.rotationRateRealTime
                                                                 : v.rotationRateStandardLag;
    EXPECT_EQ(got, c.inForce);
    std::string audit = root.Exists("log/kyr.audit") ? root.Read("log/kyr.audit") : "";
    EXPECT_EQ(Count(audit, "is invalid"), *c.warning ? 1u : 0u) << audit;
    if (*c.warning) {
      EXPECT_EQ(Count(audit, c.warning), 1u) << audit;
    }
  }
  for (int32_t rate : {1, 2, 3, 4, 5, 6, 10, 12, 15, 20, 30, 60, 120, 240, 360, 480, 720, 1440})
    EXPECT_TRUE(tsServiceModelSettings::IsRotationRate(rate)) << rate;
  for (int32_t rate : {-60, 0, 7, 8, 9, 11, 25, 40, 90, 180, 1439, 2880})
    EXPECT_FALSE(tsServiceModelSettings::IsRotationRate(rate)) << rate;
}

TEST(SiteParams, RealTimeListAndDecoupleFlag) {
  tsSiteParams site;
  site.SetRealTimeIds("A:decouple:B");
  EXPECT_EQ(site.realTimeIds, (std::vector<std::string>{"A", "B"}));
  EXPECT_TRUE(site.decouple);
  site.SetRealTimeIds("decouple");  // nothing to copy to: not decoupled
  EXPECT_TRUE(site.realTimeIds.empty());
  EXPECT_FALSE(site.decouple);
  site.SetRealTimeIds("Decouple");
  EXPECT_EQ(site.realTimeIds, std::vector<std::string>{"Decouple"});
}

}  // namespace
