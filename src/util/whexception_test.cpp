#include "util/whexception.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "diag/lfmexceptioncontroller.h"
#include "tests/support/stderrcapture.h"
#include "util/lfmclock.h"

namespace {

const whExceptionText kPool(1026, "Failed to retrieve the following object type from the pool: %s");
const whExceptionText kWrite(1030, "A write to file (%s handle: %d) failed. %s");

TEST(ExceptionConstruction, FromTemplateCarriesCodeTextAndSite) {
  whException e("lfmParseMapPool", "GetParseMap()", "./src/lfmparsemappool.cpp", 42, kPool,
                "lfmParseMap");
  EXPECT_EQ(e.Code(), 1026);
  EXPECT_EQ(e.Message(), "Failed to retrieve the following object type from the pool: lfmParseMap");
  EXPECT_EQ(e.SourceClassName(), "lfmParseMapPool");
  EXPECT_EQ(e.SourceMethodName(), "GetParseMap()");
  EXPECT_EQ(e.SourceFile(), "./src/lfmparsemappool.cpp");
  EXPECT_EQ(e.Line(), 42);

  whException w("lfmBaseFile", "Write()", "./src/lfmbasefile.cpp", 7, kWrite, "x.log", 12,
                "No space left on device");
  EXPECT_EQ(w.Message(), "A write to file (x.log handle: 12) failed. No space left on device");
}

TEST(ExceptionConstruction, LongArgumentsAreCutTo2047Characters) {
  std::string big(5000, 'z');
  whException e("c", "m()", "f", 1, kPool, big.c_str());
  EXPECT_EQ(e.Message().size(), 2047u);
  whException lit("c", "m()", "f", 1, 1000, big.c_str());
  EXPECT_EQ(lit.Message().size(), 2047u);
}

TEST(ExceptionConstruction, MismatchedOrMissingArgumentsAreHarmless) {
  const whExceptionText swapped(1000, "%s and %d and %s");
  whException e("c", "m()", "f", 1, swapped, 5, "text");
  EXPECT_EQ(e.Message(), "5 and text and (null)");
  const char* none = nullptr;
  whException n("c", "m()", "f", 1, kPool, none);
  EXPECT_EQ(n.Message(), "Failed to retrieve the following object type from the pool: (null)");
  const whExceptionText odd(1000, "100%% done %q %");
  whException o("c", "m()", "f", 1, odd);
  EXPECT_EQ(o.Message(), "100% done %q %");
}

TEST(ExceptionReport, FiveLinesWithEmptyClassForFreeFunctions) {
  whException e("lfmParseMapPool", "GetParseMap()", "./src/lfmparsemappool.cpp", 88, kPool,
                "lfmParseMap");
  std::string r =
      lfmExceptionController::FormatReport(e, whMethodId("", "GetFilterVersion(SendResponse)"));
  EXPECT_EQ(r,
            "Failed to retrieve the following object type from the pool: lfmParseMap\n"
            "Current Method: ::GetFilterVersion(SendResponse)\n"
            "Source Method : lfmParseMapPool::GetParseMap()\n"
            "Source File   : ./src/lfmparsemappool.cpp\n"
            "Source Line   : 88");
}

TEST(ExceptionReport, ReportIsCutAt10000Characters) {
  whException e("c", "m()", "f", 1, 1000, "short");
  std::string longName(20000, 'm');
  std::string r = lfmExceptionController::FormatReport(e, whMethodId("C", longName.c_str()));
  EXPECT_EQ(r.size(), kExceptionReportMax);
}

TEST(ExceptionReport, GoesToStandardErrorWithTimeStampAndMarker) {
  StdErrCapture capture;
  lfmClock::SetSecondsForTest(1081343109);
  whException e("lfmEnv", "GetRoot()", "./src/lfmenv.cpp", 3, 1012,
                "The environment variable (ZR_ROOT) is not set.");
  lfmExceptionController::ProcessException(e, whMethodId("", "GetFilterVersion"));
  lfmClock::ReleaseForTest();
  std::string out = capture.Text();
  // "Mon-DD-YYYY HH:MM:SS: ####" then the report.
  ASSERT_GE(out.size(), 26u);
  EXPECT_EQ(out.substr(20, 6), ": ####");
  EXPECT_NE(out.find("####\nThe environment variable (ZR_ROOT) is not set.\nCurrent Method: "
                     "::GetFilterVersion\n"),
            std::string::npos);
  EXPECT_EQ(out.back(), '\n');
}

TEST(ExceptionReport, ConcurrentReportsNeverInterleave) {
  StdErrCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) {
        std::string text = "report-" + std::to_string(t) + "-" + std::to_string(i);
        whException e("c", "m()", "f", i, 1000, text.c_str());
        lfmExceptionController::ProcessException(e, whMethodId("T", "Run()"));
      }
    });
  }
  for (auto& th : threads)
    th.join();
  std::string out = capture.Text();
  // Every report is whole: its message line is followed directly by its own
  // Current Method line, and there are exactly 200 of them.
  size_t count = 0, pos = 0;
  while ((pos = out.find("####\nreport-", pos)) != std::string::npos) {
    size_t eol = out.find('\n', pos + 5);
    ASSERT_NE(eol, std::string::npos);
    EXPECT_EQ(out.compare(eol, 25, "\nCurrent Method: T::Run()"), 0);
    ++count;
    pos = eol;
  }
  EXPECT_EQ(count, 200u);
}

}  // namespace
