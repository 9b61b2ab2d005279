#pragma once
// lfmHitCountHeartBeat: the background thread that writes the hit counters
// every "hitcountflushrate" minutes, on fixed minutes of the hour (the
// first flush falls on the next minute that is a multiple of the rate), and
// publishes the start of the current hour to the hit-count pool as the
// interval time of what it writes.
//
// The thread holds its tick mutex at all times except while it waits, and
// Stop() delivers the wake-up under the same mutex (try-lock only), so a
// stop can never be lost between the thread's stop check and its wait, and
// a thread hung in a flush cannot hang Stop(), Start() or IsStarted(). The
// pool's locks are always taken after the tick mutex.
//
// Process-wide, static operations only.

#include <cstdint>
#include <ctime>
#include <functional>

class lfmHitCountHeartBeat {
 public:
  // Starts the thread; a second Start while it runs only raises
  // MESS_HIT_COUNT_HEARBEAT_RESTART. Never throws.
  static void Start();
  // Wakes and joins the thread (hitcountflushrate minutes at most); a thread
  // that does not end is abandoned with MESS_HIT_COUNT_HEARBEAT_BAD_SHUTDOWN.
  // Never throws.
  static void Stop();
  static bool IsStarted();
  // Whether the thread still runs (also one that Stop() had to abandon).
  static bool ThreadAlive();
  // Threads inside the heartbeat's body, abandoned ones included; for tests.
  static int32_t BodiesRunning();

  // The thread's schedule, exposed so that it can be tested without waiting.
  // Both take the tick mutex and call the flush and publish functions with
  // it held. A flush or publication that fails is reported and the schedule
  // goes on as if it had been done (a failed publication is repeated at the
  // next tick), so the thread lives on and tries again at the next slot;
  // they throw only what the settings throw.
  //
  // (Re)starts the schedule at `now`: notes it as the last flush, publishes
  // the start of its hour and returns the first wait in seconds, which ends
  // on the next minute that is a multiple of the rate (seconds within the
  // minute ignored).
  static int64_t Synchronize(time_t now);
  // The thread's wake-up after a wait ran out, at `now`; returns the next
  // wait in seconds (1 .. rate × 60).
  // - `now` before the last flush (the clock went back): flushes with the
  //   last flush time and hour start, then synchronises at `now`;
  // - the wait not yet over by the clock: waits for the rest of it;
  // - else flushes with (now, hour start), advances and publishes the hour
  //   start once `now` lies beyond its hour, and waits for the next slot,
  //   reading the clock again so that the flush's own duration does not
  //   shift the schedule.
  static int64_t Tick(time_t now);
  // The schedule's state, for tests.
  static time_t LastFlush();
  static time_t HourStart();
  static int64_t WaitSeconds();

  // For tests only. The pool's Flush(flushTime, intervalTime) and
  // SetIntervalTime(hourStart) are replaced by these while they are set;
  // an empty function restores the pool's. Called with the tick mutex held
  // and no lock of this class besides.
  using FlushFunction = std::function<void(time_t flushTime, time_t intervalTime)>;
  using PublishFunction = std::function<void(time_t hourStart)>;
  static void SetFlushForTest(FlushFunction flush);
  static void SetPublishForTest(PublishFunction publish);
  // For tests only: Stop()'s join time-out and the longest single wait of
  // the thread in milliseconds (0 restores the configured ones), so that a
  // test can have the thread run its schedule on a test clock and be
  // abandoned quickly.
  static void SetTimingForTest(uint32_t stopTimeoutMs, uint32_t longestWaitMs);
};
