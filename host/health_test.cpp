#include "host/health.h"

#include <gtest/gtest.h>

#include <string>

namespace kyrhost {
namespace {

TEST(HealthTest, AnswersOkUntilTheModuleSaysItCannotLogOrAStopBegins) {
  std::string fault;
  Health health;
  health.SetProbe([&fault] { return fault; });
  std::string body;
  EXPECT_EQ(health.Answer(body), 200);
  EXPECT_EQ(body, "ok\n");

  fault = "a log directory cannot be written";
  EXPECT_EQ(health.Answer(body), 503);
  EXPECT_EQ(body, "a log directory cannot be written\n");
  fault.clear();
  EXPECT_EQ(health.Answer(body), 200) << "a mended directory brings it back";

  health.BeginStop();
  EXPECT_EQ(health.Answer(body), 503);
  EXPECT_EQ(body, "stopping\n");
}

}  // namespace
}  // namespace kyrhost
