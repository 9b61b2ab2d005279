#include "util/lfmclock.h"

#include <atomic>

#include "platform/lfmplatform.h"

namespace {
std::atomic<bool> g_fixed{false};
std::atomic<int64_t> g_fixedMicros{0};
}  // namespace

int64_t lfmClock::NowMicros() {
  if (g_fixed.load(std::memory_order_acquire))
    return g_fixedMicros.load(std::memory_order_relaxed);
  return lfmPlatform::Current()->WallClockMicros();
}

time_t lfmClock::Now() {
  int64_t us = NowMicros();
  // Floor division, so that times before 1970 do not round towards it.
  int64_t s = us / 1000000;
  if (us % 1000000 < 0)
    --s;
  return static_cast<time_t>(s);
}

uint64_t lfmClock::NowFileTime() {
  int64_t us = NowMicros();
  int64_t ticks = us * 10;
  if (ticks < 0 && static_cast<uint64_t>(-ticks) > kFileTimeEpochOffset)
    return 0;
  return kFileTimeEpochOffset + static_cast<uint64_t>(ticks);
}

void lfmClock::SetForTest(int64_t micros) {
  g_fixedMicros.store(micros, std::memory_order_relaxed);
  g_fixed.store(true, std::memory_order_release);
}

void lfmClock::AdvanceForTest(int64_t micros) {
  g_fixedMicros.fetch_add(micros, std::memory_order_relaxed);
}

void lfmClock::ReleaseForTest() {
  g_fixed.store(false, std::memory_order_release);
}
