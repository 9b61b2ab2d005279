// Where a hit's line goes: file key, pool key, latency class and routing by
// model, and the agreement of a hit's stream with the stream of its key.

#include <gtest/gtest.h>

#include "logout/lfmlogstream.h"
#include "sitemap/tssiteparams.h"
#include "tests/support/fakerequest.h"
#include "tests/support/temproot.h"

namespace {

const char kId[] = "12345678901234";

TEST(LogStream, ByModelAndSite) {
  const std::string hosted = "[logserver]\nhostedmodel = true\n";
  const std::string service = hosted + "[servicemodel]\nservicemodel = true\n";
  const std::string routing = service + "sitemapenabled = true\n";
  struct Case {
    std::string config;
    bool found;
    int32_t siteClass;
    const char* fileKey;
    const char* poolKey;
    int32_t latencyClass;
    bool routed;
  } cases[] = {
      {"", false, 2, "NonHosted", "NonHosted", 2, false},
      {"[servicemodel]\nservicemodel = true\nsitemapenabled = true\n", true, 1, "NonHosted",
       "NonHosted", 2, false},
      {hosted, false, 2, kId, "", 2, false},
      {"[logserver]\nhostedmodel = true\nsplitlogs = true\n", true, 1, kId, kId, 2, false},
      {service, true, 1, "StandardLag", "StandardLag", 2, false},
      {routing, false, 1, kId, "StandardLag", 2, false},
      {routing, true, 2, "StandardLag", "StandardLag", 2, true},
      {routing, true, 1, kId, kId, 1, true},
      {routing, true, 3, kId, "12345678901234|realtime", 3, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config + " class " + std::to_string(c.siteClass));
    TempRoot root(c.config);
    FakeRequest r;
    r.Set("KYRId", kId);
    tsSiteParams site;
    site.found = c.found;
    site.latencyClass = c.siteClass;
    lfmLogStream s;
    lfmLogStream::ForHit(r, site, s);
    EXPECT_EQ(s.fileKey, c.fileKey);
    EXPECT_EQ(s.poolKey, c.poolKey);
    EXPECT_EQ(s.latencyClass, c.latencyClass);
    EXPECT_EQ(s.routed, c.routed);
    // Callers that name a key and a class (the real-time copies, tests and
    // benchmarks through the pool) meet the controller of the hit.
    lfmLogStream named;
    lfmLogStream::ForKey(s.fileKey, s.latencyClass, named);
    EXPECT_EQ(named.poolKey, s.poolKey);
  }
}

}  // namespace
