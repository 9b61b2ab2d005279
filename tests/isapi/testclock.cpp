// Linked only into the test variant of the filter module, never into
// kyrfilter: when the module is loaded, KYR_TEST_CLOCK (seconds since 1970)
// pins the module's clock for the life of the process, so that two runs of
// the same requests write the same names, times and cookies. The production
// module has no way to set its clock from outside.

#include <cstdlib>

#include "util/lfmclock.h"

namespace {

struct PinnedClock {
  PinnedClock() {
    const char* text = std::getenv("KYR_TEST_CLOCK");
    if (!text || !*text)
      return;
    char* end = nullptr;
    long long seconds = std::strtoll(text, &end, 10);
    if (*end == '\0')
      lfmClock::SetSecondsForTest(static_cast<time_t>(seconds));
  }
};

const PinnedClock g_pinnedClock;

}  // namespace
