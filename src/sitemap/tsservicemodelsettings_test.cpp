#include "sitemap/tsservicemodelsettings.h"

#include <gtest/gtest.h>

#include "sitemap/tssiteparams.h"
#include "tests/support/temproot.h"

namespace {

TEST(ServiceModelSettings, DefaultsAndFallBacks) {
  {
    TempRoot root;
    const tsServiceModelSettings::Values& v = tsServiceModelSettings::Get();
    EXPECT_FALSE(v.serviceModel);
    EXPECT_TRUE(v.trackVisitors);
    EXPECT_EQ(v.rotationRateStandardLag, 60);
    EXPECT_EQ(v.shortLagLogFileDir, root.Path() + "/shortlag/");
    EXPECT_EQ(v.siteMapFullPath, root.Path() + "/cfg/vantorellsites.lst");
  }
  TempRoot root(
      "[servicemodel]\nsitemapreloadrate = 0\nsitemapsleeptime = 500\n"
      "rotationratestandardlag = 45\nrotationrateshortlag = 15\nrotationraterealtime = 1441\n");
  const tsServiceModelSettings::Values& v = tsServiceModelSettings::Get();
  EXPECT_EQ(v.siteMapReloadRate, 30);
  EXPECT_EQ(v.siteMapSleepTime, 10);
  EXPECT_EQ(v.rotationRateStandardLag, 60);
  EXPECT_EQ(v.rotationRateShortLag, 15);
  EXPECT_EQ(v.rotationRateRealTime, 5);
  std::string audit = root.Read("log/kyr.audit");
  EXPECT_EQ(Count(audit,
                  "The sitemap reload rate setting (sitemapreloadrate) is invalid.  It has "
                  "been set to 30."),
            1u);
  EXPECT_EQ(Count(audit, "(rotationratestandardlag) is invalid.  It has been set to 60."), 1u);
  EXPECT_EQ(Count(audit, "rotationrateshortlag"), 0u);
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
