#pragma once
// The one clock of the system. Every read of "now" goes through here, so that
// tests can set the time and rotation, cookies, hit counting and heartbeats
// can be tested without sleeping.

#include <cstdint>
#include <ctime>

class lfmClock {
 public:
  // Seconds since 1970 (UTC). Thread-safe.
  static time_t Now();
  // Microseconds since 1970. Thread-safe.
  static int64_t NowMicros();
  // Now as an operating-system file time: 100-nanosecond units since 1601 (UTC).
  static uint64_t NowFileTime();

  // For tests: fixes the clock at `micros` (microseconds since 1970) until
  // Release(). Advance() moves a fixed clock forward (or back, when negative).
  static void SetForTest(int64_t micros);
  static void SetSecondsForTest(time_t seconds) {
    SetForTest(static_cast<int64_t>(seconds) * 1000000);
  }
  static void AdvanceForTest(int64_t micros);
  static void ReleaseForTest();
};

// Offset between 1601-01-01 and 1970-01-01 in 100-nanosecond units.
constexpr uint64_t kFileTimeEpochOffset = 116444736000000000ULL;
