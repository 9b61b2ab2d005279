#include "hitcount/lfmhitcountheartbeat.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>

#include "diag/lfmdebuglog.h"
#include "diag/lfmexceptioncontroller.h"
#include "hitcount/lfmhitcountcontrollerpool.h"
#include "logout/lfmlogserversettings.h"
#include "runtime/lfmcondition.h"
#include "runtime/lfmthread.h"
#include "util/lfmclock.h"
#include "util/lfmstderr.h"

namespace {

constexpr int64_t kHour = 3600;

struct HitCountHeartBeatState {
  lfmThread thread;
  lfmMutex startedLock;
  bool started LFM_GUARDED_BY(startedLock) = false;
  // Held by the thread except while it waits. Start() and IsStarted() never
  // take it: a thread abandoned by Stop() may still hold it, hung in a flush.
  lfmMutex tick;
  lfmCondition wake;
  // The schedule: written under the tick mutex; atomic so that the test
  // accessors need not take it.
  std::atomic<time_t> lastFlush{0};
  std::atomic<time_t> hourStart{0};
  std::atomic<time_t> due{0};  // when the next flush is due
  std::atomic<int64_t> waitSeconds{0};
  // The hour start has yet to reach the pool: its publication failed.
  std::atomic<bool> publishPending{false};
  // Which start the running body belongs to. Start() advances it, so that a
  // body abandoned by Stop() ends when its flush returns instead of running
  // on beside its successor (the thread object's stop event is the
  // successor's by then).
  std::atomic<uintptr_t> run{0};
  std::atomic<int32_t> bodies{0};
  // Test seams (seamLock); copied out before they are called, so that a
  // flush that blocks holds nothing of this class but the tick mutex.
  std::mutex seamLock;
  lfmHitCountHeartBeat::FlushFunction flush;
  lfmHitCountHeartBeat::PublishFunction publish;
  std::atomic<uint32_t> stopTimeoutMs{0};  // 0: the flush rate
  std::atomic<uint32_t> longestWaitMs{0};  // 0: no limit but the schedule's
};

HitCountHeartBeatState& State() {
  static HitCountHeartBeatState* s = new HitCountHeartBeatState;
  return *s;
}

// Floor modulo: the second of the hour also for times before 1970.
int64_t SecondOfHour(time_t t) {
  int64_t r = static_cast<int64_t>(t) % kHour;
  return r < 0 ? r + kHour : r;
}

// The flush rate in seconds. The settings hold it to a divisor of the hour;
// anything below a minute is read as a minute.
int64_t RateSeconds() {
  return std::max<int64_t>(1, lfmLogServerSettings::HitCountFlushRate()) * 60;
}

// The pool's flush and publication run where nothing may escape: a failure
// is reported in the thread body's name and ends that step, and the schedule
// goes on, so the next slot (a rate later, the pause that keeps a lasting
// fault from spinning) tries again with what has been counted by then.
template <typename Work>
bool RunStep(Work&& work) {
  return lfmExceptionController::RunAtBoundary(
      whMethodId("lfmHitCountHeartBeat", "HitCountHeartBeat()"),
      "Caught unknown exception in lfmHitCountHeartBeat::HitCountHeartBeat()",
      std::forward<Work>(work));
}

void Flush(time_t flushTime, time_t intervalTime) {
  HitCountHeartBeatState& s = State();
  lfmHitCountHeartBeat::FlushFunction f;
  {
    std::lock_guard<std::mutex> lock(s.seamLock);
    f = s.flush;
  }
  RunStep([&] {
    if (f)
      f(flushTime, intervalTime);
    else
      lfmHitCountControllerPool::Flush(flushTime, intervalTime);
  });
}

// A failed publication is tried again at the next tick.
void Publish(time_t hourStart) {
  HitCountHeartBeatState& s = State();
  lfmHitCountHeartBeat::PublishFunction f;
  {
    std::lock_guard<std::mutex> lock(s.seamLock);
    f = s.publish;
  }
  s.publishPending = !RunStep([&] {
    if (f)
      f(hourStart);
    else
      lfmHitCountControllerPool::SetIntervalTime(hourStart);
  });
}

// Seconds from `now` to the next minute that is a multiple of the rate:
// 60 .. rate × 60.
int64_t FirstWaitSeconds(time_t now, int32_t rateMinutes) {
  const int64_t rate = std::max<int32_t>(1, rateMinutes);
  const int64_t minute = SecondOfHour(now) / 60;
  return (rate - minute % rate) * 60;
}

uint32_t WaitMs(int64_t seconds) {
  uint32_t ms = lfmCondition::TimeoutFromSeconds(seconds);
  const uint32_t cap = State().longestWaitMs.load();
  return cap != 0 ? std::min(ms, cap) : ms;
}

// Synchronize() and Tick() with the tick mutex held (by the thread's body
// or by the public functions).
int64_t SynchronizeLocked(HitCountHeartBeatState& s, time_t now) LFM_REQUIRES(s.tick) {
  const int64_t wait = FirstWaitSeconds(now, lfmLogServerSettings::HitCountFlushRate());
  s.lastFlush = now;
  s.hourStart = now - SecondOfHour(now);
  s.due = now + wait;
  s.waitSeconds = wait;
  Publish(s.hourStart.load());
  return wait;
}

int64_t TickLocked(HitCountHeartBeatState& s, time_t now) LFM_REQUIRES(s.tick) {
  const int64_t rate = RateSeconds();
  const time_t lastFlush = s.lastFlush.load();
  if (now < lastFlush) {
    // The clock went back: what was counted since the last flush is
    // written under that flush's times, and the schedule starts afresh.
    Flush(lastFlush, s.hourStart.load());
    return SynchronizeLocked(s, now);
  }
  const time_t due = s.due.load();
  if (now < due) {
    // Woken before the slot by the wall clock (a wait is measured on another
    // clock): wait for the rest, not a whole interval.
    const int64_t rest = std::min(rate, std::max<int64_t>(1, due - now));
    s.waitSeconds = rest;
    return rest;
  }
  Flush(now, s.hourStart.load());
  if (now - s.hourStart.load() >= kHour) {
    // Also after a jump forward of more than an hour, the hour published is
    // the one `now` lies in.
    s.hourStart = now - SecondOfHour(now);
    Publish(s.hourStart.load());
  } else if (s.publishPending.load()) {
    Publish(s.hourStart.load());
  }
  s.lastFlush = now;
  // The next slot is a rate after this one; the time the flush took comes
  // off the wait. Seconds throughout, held to 1 s .. the rate.
  s.due = now + rate;
  const int64_t next = std::min(rate, std::max<int64_t>(1, now + rate - lfmClock::Now()));
  s.waitSeconds = next;
  return next;
}

uint32_t Body(void* arg) {
  HitCountHeartBeatState& s = State();
  const uintptr_t run = reinterpret_cast<uintptr_t>(arg);
  ++s.bodies;
  lfmExceptionController::RunAtBoundary(
      whMethodId("lfmHitCountHeartBeat", "HitCountHeartBeat()"),
      "Caught unknown exception in lfmHitCountHeartBeat::HitCountHeartBeat()", [&] {
        // Held through the body; a wait releases it while it sleeps.
        lfmScopedGuard guard(s.tick);
        int64_t wait = SynchronizeLocked(s, lfmClock::Now());
        while (s.run.load() == run && !s.thread.StopRequested()) {
          if (s.wake.Wait(s.tick, WaitMs(wait)) != lfmCondition::kTimedOut)
            continue;
          wait = TickLocked(s, lfmClock::Now());
        }
      });
  --s.bodies;
  return 0;
}

}  // namespace

int64_t lfmHitCountHeartBeat::Synchronize(time_t now) {
  HitCountHeartBeatState& s = State();
  lfmScopedGuard guard(s.tick);
  return SynchronizeLocked(s, now);
}

int64_t lfmHitCountHeartBeat::Tick(time_t now) {
  HitCountHeartBeatState& s = State();
  lfmScopedGuard guard(s.tick);
  return TickLocked(s, now);
}

void lfmHitCountHeartBeat::Start() {
  HitCountHeartBeatState& s = State();
  lfmExceptionController::RunAtBoundary(
      whMethodId("lfmHitCountHeartBeat", "Start()"),
      "Caught unknown exception in lfmHitCountHeartBeat::Start()", [&] {
        lfmScopedGuard guard(s.startedLock);
        if (s.started) {
          lfmDebugLog::Instance().Log(MESS_HIT_COUNT_HEARBEAT_RESTART);
          return;
        }
        lfmLogServerSettings::Get();  // settings errors surface here, not in the thread
        const uintptr_t run = s.run.load() + 1;
        s.run = run;
        int32_t err = 0;
        if (s.thread.Start(Body, reinterpret_cast<void*>(run), 0, 0, &err) == 0)
          s.started = true;
      });
}

void lfmHitCountHeartBeat::Stop() {
  HitCountHeartBeatState& s = State();
  lfmExceptionController::RunAtBoundary(
      whMethodId("lfmHitCountHeartBeat", "Stop()"),
      "Caught unknown exception in lfmHitCountHeartBeat::Stop()", [&] {
        if (s.thread.IsAlive()) {
          const uint32_t forTest = s.stopTimeoutMs.load();
          const uint32_t timeoutMs =
              forTest != 0 ? forTest : lfmCondition::TimeoutFromSeconds(RateSeconds());
          // The wake-up is offered under the tick mutex, never waited for: a
          // thread busy in its work sees the stop when the work returns.
          if (!s.thread.StopAndJoin(s.tick, s.wake, timeoutMs))
            lfmDebugLog::Instance().Log(MESS_HIT_COUNT_HEARBEAT_BAD_SHUTDOWN);
        }
        lfmScopedGuard guard(s.startedLock);
        s.started = false;
      });
}

bool lfmHitCountHeartBeat::IsStarted() {
  HitCountHeartBeatState& s = State();
  lfmScopedGuard guard(s.startedLock);
  return s.started;
}

bool lfmHitCountHeartBeat::ThreadAlive() {
  return State().thread.IsAlive();
}

int32_t lfmHitCountHeartBeat::BodiesRunning() {
  return State().bodies.load();
}

time_t lfmHitCountHeartBeat::LastFlush() {
  return State().lastFlush.load();
}

time_t lfmHitCountHeartBeat::HourStart() {
  return State().hourStart.load();
}

int64_t lfmHitCountHeartBeat::WaitSeconds() {
  return State().waitSeconds.load();
}

void lfmHitCountHeartBeat::SetFlushForTest(FlushFunction flush) {
  HitCountHeartBeatState& s = State();
  std::lock_guard<std::mutex> lock(s.seamLock);
  s.flush = std::move(flush);
}

void lfmHitCountHeartBeat::SetPublishForTest(PublishFunction publish) {
  HitCountHeartBeatState& s = State();
  std::lock_guard<std::mutex> lock(s.seamLock);
  s.publish = std::move(publish);
}

void lfmHitCountHeartBeat::SetTimingForTest(uint32_t stopTimeoutMs, uint32_t longestWaitMs) {
  HitCountHeartBeatState& s = State();
  s.stopTimeoutMs = stopTimeoutMs;
  s.longestWaitMs = longestWaitMs;
}
