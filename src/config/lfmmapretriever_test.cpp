#include "config/lfmmapretriever.h"

#include <gtest/gtest.h>

#include "config/lfmenv.h"
#include "tests/support/temproot.h"
#include "util/whexception.h"

namespace {

TEST(MapRetriever, ReadsEveryCountedSectionInOrder) {
  std::string cfg = "[logserver]\nlogelementcount = 49\n";
  cfg += "[logelementmap0]\nlogelement = KYR_URI\nparameter = ZR.uri\n";
  cfg += "[logelementmap2]\nlogelement = KYR_STATUS\nparameter = ZR.st\nrequired = true\n";
  cfg += "[logelementmap49]\nlogelement = KYR_DATE\nparameter = d\n";
  TempRoot root(cfg);
  std::vector<lfmMapRetriever::Entry> out;
  ASSERT_TRUE(lfmMapRetriever::Get(lfmEnv::Instance(), out));
  ASSERT_EQ(out.size(), 49u);
  EXPECT_EQ(out[0].element, "KYR_URI");
  EXPECT_EQ(out[0].parameter, "ZR.uri");
  EXPECT_FALSE(out[0].required);
  EXPECT_TRUE(out[1].element.empty() && out[1].parameter.empty());
  EXPECT_TRUE(out[2].required);
  EXPECT_EQ(out[48].element, "");  // section 49 is beyond the count
}

TEST(MapRetriever, CountOutOfRangeIsRefused) {
  for (const char* count : {"50", "-1", "2147483648"}) {
    TempRoot root(std::string("[logserver]\nlogelementcount = ") + count + "\n");
    std::vector<lfmMapRetriever::Entry> out(1);
    try {
      lfmMapRetriever::Get(lfmEnv::Instance(), out);
      ADD_FAILURE() << count;
    } catch (const whException& e) {
      EXPECT_EQ(e.Code(), 1028);
      EXPECT_EQ(e.Message(),
                "In the configuration file, the logelementcount must be (>= 0) and (< 50).");
      EXPECT_EQ(e.SourceClassName(), "lfmMapRetriever");
      EXPECT_EQ(e.SourceMethodName(), "Get()");
    }
    EXPECT_EQ(out.size(), 1u);
  }
  TempRoot none;
  std::vector<lfmMapRetriever::Entry> out;
  EXPECT_TRUE(lfmMapRetriever::Get(lfmEnv::Instance(), out));
  EXPECT_TRUE(out.empty());
}

}  // namespace
