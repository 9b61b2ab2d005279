#pragma once
// lfmHeartBeat: the background thread that flushes the log buffers every
// "bufferflushrate" seconds and releases log files whose period has ended
// every "filecheckrate" seconds, waking every "heartbeatrate" seconds; each
// wake-up also lets the debug log sum up the per-request messages it
// dropped.
//
// The thread holds its tick mutex at all times except while it waits, and
// Stop() delivers the wake-up under the same mutex, so a stop can never be
// lost between the thread's stop check and its wait; Stop(), Start() and
// IsStarted() never block on that mutex, so a thread hung in a flush cannot
// hang them (a thread started after one was abandoned waits for the mutex
// itself, and the abandoned one ends when its flush returns). The pool's
// locks are always taken after the tick mutex.

#include <cstdint>
#include <ctime>
#include <functional>

class lfmHeartBeat {
 public:
  // Starts the thread; a second Start while it runs only raises
  // MESS_HEARTBEAT_RESTART. Never throws.
  static void Start();
  // Wakes and joins the thread (heartbeatrate seconds at most); a thread that
  // does not end is abandoned with MESS_HEARTBEAT_BAD_SHUTDOWN. Never throws.
  static void Stop();
  static bool IsStarted();
  // Whether the thread still runs (also one that Stop() had to abandon).
  static bool ThreadAlive();
  // Threads inside the heartbeat's body, abandoned ones included; for tests.
  static int32_t BodiesRunning();
  // heartbeatrate in milliseconds: the wait between ticks and Stop()'s join
  // time-out, held to the longest finite wait. Throws what the settings throw.
  static uint32_t TickIntervalMs();

  // One tick of the thread body at `now`: flush and release by their rates,
  // resetting a last-action time that lies in the future (the clock went
  // back), and raise the summary of suppressed per-request messages when
  // their minute has ended. A step that fails is reported and ends alone:
  // the other steps run, and its own next turn comes at its rate. Never
  // throws. Exposed so that the schedule can be tested without waiting.
  static void Tick(time_t now);
  // The last-action times, for tests.
  static time_t LastFlush();
  static time_t LastCheck();
  // For tests only: sets both last-action times.
  static void SetLastActionsForTest(time_t t);

  // The steps of a tick. For tests only: while set, `hook` is called before
  // each step is done (with the tick mutex held) and may throw to make that
  // step fail; an empty function removes it.
  enum class Step { kSettings, kFlush, kRelease, kSummary };
  using StepHook = std::function<void(Step)>;
  static void SetStepHookForTest(StepHook hook);
};
