// The hit description of operator messages: request values escaped and
// bounded, and nothing read from the request for a message that is not
// output or is over its per-minute limit.

#include "hit/lfmhitdescription.h"

#include <gtest/gtest.h>

#include "diag/lfmdebuglog.h"
#include "tests/support/fakerequest.h"
#include "tests/support/temproot.h"
#include "util/lfmclock.h"

namespace {

// Counts how often a message's description is built.
class CountingRequest : public FakeRequest {
 public:
  const char* GetSrcClientIP() override {
    ++reads;
    return FakeRequest::GetSrcClientIP();
  }
  int reads = 0;
};

TEST(HitDescription, ValuesAreEscapedAndBounded) {
  TempRoot root;
  FakeRequest request;
  request.Set("ClientIP", "192.0.2.7\n")
      .Set("URIStem", "/x\r\nDec-06-2026 10:00:00: ####\nFORGED")
      .Set("InCookie", "a=\x1b[31m; ZR_VT=1; b=" + std::string(3000, 'c'));
  EXPECT_EQ(lfmHitDescription::Of(request),
            "\nClient IP: 192.0.2.7\\x0a\nURI: /x\\x0d\\x0aDec-06-2026 10:00:00: ####\\x0aFORGED"
            "\nCookie: a=\\x1b[31m; b=" +
                std::string(1013, 'c') + "...(1987 more bytes)");
}

TEST(HitDescription, ReportBuildsNothingForADroppedMessage) {
  lfmClock::SetSecondsForTest(1083937510);
  TempRoot root("[auditlog]\nrequestmessagesperminute = 3\n");
  CountingRequest request;
  request.Set("URIStem", "/index.htm");
  for (int i = 0; i < 8; ++i)
    lfmHitDescription::Report(MESS_INVALID_URI_STEM, request);
  EXPECT_EQ(request.reads, 3);
  // Gated at information: not output at debug level 1, not read either.
  lfmHitDescription::Report(MESS_URL_TOO_LONG, request, kMessageInformation);
  EXPECT_EQ(request.reads, 3);
  EXPECT_EQ(Count(root.Read("log/kyr.audit"), "invalid uri-stem: \nClient IP: \nURI: /index.htm"),
            3u);
  lfmClock::ReleaseForTest();
}

}  // namespace
