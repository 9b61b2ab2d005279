// The two catch-site shapes: a stage that reports and throws on, and a
// boundary that reports and lets nothing out.

#include "diag/lfmexceptioncontroller.h"

#include <gtest/gtest.h>

#include "tests/support/stderrcapture.h"
#include "tests/support/temproot.h"

namespace {

whException Fault(const char* text) {
  return whException("lfmX", "Run()", "./src/lfmx.cpp", 7, 1000, text);
}

TEST(ExceptionController, ReportAndRethrowReportsAndThrowsOnTheCaughtObject) {
  TempRoot root;
  const whException* caught = nullptr;
  const whException* rethrown = nullptr;
  try {
    try {
      throw Fault("stage fault");
    } catch (const whException& e) {
      caught = &e;
      lfmExceptionController::ReportAndRethrow(e, whMethodId("lfmStage", "Step()"));
    }
  } catch (const whException& e) {
    rethrown = &e;
    EXPECT_EQ(e.Message(), "stage fault");
  }
  ASSERT_NE(rethrown, nullptr);
  EXPECT_EQ(rethrown, caught);  // thrown on, not copied
  EXPECT_NE(root.Read("log/kyr.audit")
                .find("stage fault\nCurrent Method: lfmStage::Step()\nSource Method : lfmX::Run()"),
            std::string::npos);
}

TEST(ExceptionController, RunAtBoundaryReportsEveryFailureAndLetsNothingOut) {
  const whMethodId site("", "TerminateFilter");
  const char unknown[] = "Unknown exception caught in TerminateFilter";
  struct Case {
    const char* name;
    void (*body)();
    bool returned;
    const char* audit;    // expected in the audit file, or null for nothing
    const char* errLine;  // expected on standard error, or null for nothing
  } cases[] = {
      {"returns", [] {}, true, nullptr, nullptr},
      {"whException", [] { throw Fault("boundary fault"); }, false,
       "boundary fault\nCurrent Method: ::TerminateFilter\n", nullptr},
      {"other", [] { throw 42; }, false, nullptr, "Unknown exception caught in TerminateFilter\n"},
  };
  for (const Case& c : cases) {
    TempRoot root;
    StdErrCapture err;
    EXPECT_EQ(lfmExceptionController::RunAtBoundary(site, unknown, c.body), c.returned) << c.name;
    const std::string audit = root.Read("log/kyr.audit");
    if (c.audit)
      EXPECT_NE(audit.find(c.audit), std::string::npos) << c.name << audit;
    else
      EXPECT_EQ(audit.find("Current Method"), std::string::npos) << c.name << audit;
    if (c.errLine)
      EXPECT_EQ(err.Text(), c.errLine) << c.name;
    else
      EXPECT_EQ(err.Text(), "") << c.name;
  }
}

}  // namespace
