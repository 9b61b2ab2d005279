#include "logout/lfmheartbeat.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>

#include "diag/lfmdebuglog.h"
#include "diag/lfmexceptioncontroller.h"
#include "logout/lfmlogfilecontrollerpool.h"
#include "logout/lfmlogserversettings.h"
#include "runtime/lfmcondition.h"
#include "runtime/lfmthread.h"
#include "util/lfmclock.h"
#include "util/lfmstderr.h"

namespace {

struct HeartBeatState {
  lfmThread thread;
  lfmMutex startedLock;
  bool started LFM_GUARDED_BY(startedLock) = false;
  // Held by the thread except while it waits. Start() and IsStarted() never
  // take it: a thread abandoned by Stop() may still hold it, hung in a flush.
  lfmMutex tick;
  lfmCondition wake;
  // Written by Tick() under the tick mutex and by Start() before the thread
  // exists; atomic so that Start() need not take the tick mutex.
  std::atomic<time_t> lastFlush{0};
  std::atomic<time_t> lastCheck{0};
  // Which start the running body belongs to. Start() advances it, so that a
  // body abandoned by Stop() ends when its flush returns instead of running
  // on beside its successor (the thread object's stop event is the
  // successor's by then).
  std::atomic<uintptr_t> run{0};
  std::atomic<int32_t> bodies{0};
  // Test seam (hookLock); copied out before it is called.
  std::mutex hookLock;
  lfmHeartBeat::StepHook stepHook;
};

HeartBeatState& State() {
  static HeartBeatState* s = new HeartBeatState;
  return *s;
}

lfmHeartBeat::StepHook StepHookForTest() {
  HeartBeatState& s = State();
  std::lock_guard<std::mutex> lock(s.hookLock);
  return s.stepHook;
}

// Runs one step of a tick where nothing may escape: a failure is reported
// in the thread body's name and ends the step, not the tick or the thread,
// so that the other steps and the later ticks still run. The step's schedule
// advances all the same: a persistent fault is retried (and reported) at the
// step's own rate, not on every wake-up.
template <typename Work>
bool RunStep(lfmHeartBeat::Step which, Work&& work) {
  return lfmExceptionController::RunAtBoundary(
      whMethodId("lfmHeartBeat", "HeartBeat()"),
      "Caught unknown exception in lfmHeartBeat::HeartBeat()", [&] {
        const lfmHeartBeat::StepHook hook = StepHookForTest();
        if (hook)
          hook(which);
        work();
      });
}

// One tick, with the tick mutex held (by the thread's body or by Tick()).
// Never throws, so the body's loop goes on to its next wait, which is the
// pause before a failed step is tried again.
void TickLocked(HeartBeatState& s, time_t now) LFM_REQUIRES(s.tick) {
  const lfmLogServerSettings::Values* settings = nullptr;
  if (!RunStep(lfmHeartBeat::Step::kSettings, [&] { settings = &lfmLogServerSettings::Get(); }))
    return;
  const lfmLogServerSettings::Values& v = *settings;
  const time_t lastFlush = s.lastFlush.load();
  if (now - lastFlush >= v.bufferFlushRate) {
    RunStep(lfmHeartBeat::Step::kFlush, [&] { lfmLogFileControllerPool::FlushControllers(now); });
    s.lastFlush = now;
  } else if (now < lastFlush) {
    s.lastFlush = now;
  }
  const time_t lastCheck = s.lastCheck.load();
  if (now - lastCheck >= v.fileCheckRate) {
    RunStep(lfmHeartBeat::Step::kRelease,
            [&] { lfmLogFileControllerPool::ReleaseInactiveFiles(now); });
    s.lastCheck = now;
  } else if (now < lastCheck) {
    s.lastCheck = now;
  }
  // Per-request messages dropped by their limit are summed up once their
  // minute is over, also when no further request comes to do it.
  RunStep(lfmHeartBeat::Step::kSummary, [&] { lfmDebugLog::Instance().ReportSuppressed(now); });
}

uint32_t Body(void* arg) {
  HeartBeatState& s = State();
  const uintptr_t run = reinterpret_cast<uintptr_t>(arg);
  ++s.bodies;
  lfmExceptionController::RunAtBoundary(
      whMethodId("lfmHeartBeat", "HeartBeat()"),
      "Caught unknown exception in lfmHeartBeat::HeartBeat()", [&] {
        // Held through the body; a wait releases it while it sleeps.
        lfmScopedGuard guard(s.tick);
        const uint32_t waitMs = lfmHeartBeat::TickIntervalMs();
        while (s.run.load() == run && !s.thread.StopRequested()) {
          if (s.wake.Wait(s.tick, waitMs) != lfmCondition::kTimedOut)
            continue;
          TickLocked(s, lfmClock::Now());
        }
      });
  --s.bodies;
  return 0;
}

}  // namespace

void lfmHeartBeat::Tick(time_t now) {
  HeartBeatState& s = State();
  lfmScopedGuard guard(s.tick);
  TickLocked(s, now);
}

void lfmHeartBeat::Start() {
  HeartBeatState& s = State();
  lfmExceptionController::RunAtBoundary(
      whMethodId("lfmHeartBeat", "Start()"), "Caught unknown exception in lfmHeartBeat::Start()",
      [&] {
        lfmScopedGuard guard(s.startedLock);
        if (s.started) {
          lfmDebugLog::Instance().Log(MESS_HEARTBEAT_RESTART);
          return;
        }
        const time_t now = lfmClock::Now();
        s.lastFlush = now;
        s.lastCheck = now;
        lfmLogServerSettings::Get();  // settings errors surface here, not in the thread
        const uintptr_t run = s.run.load() + 1;
        s.run = run;
        int32_t err = 0;
        if (s.thread.Start(Body, reinterpret_cast<void*>(run), 0, 0, &err) == 0)
          s.started = true;
      });
}

void lfmHeartBeat::Stop() {
  HeartBeatState& s = State();
  lfmExceptionController::RunAtBoundary(
      whMethodId("lfmHeartBeat", "Stop()"), "Caught unknown exception in lfmHeartBeat::Stop()",
      [&] {
        if (s.thread.IsAlive()) {
          const uint32_t timeoutMs = TickIntervalMs();
          // The wake-up is offered under the tick mutex, never waited for: a
          // thread busy in its work sees the stop when the work returns.
          if (!s.thread.StopAndJoin(s.tick, s.wake, timeoutMs))
            lfmDebugLog::Instance().Log(MESS_HEARTBEAT_BAD_SHUTDOWN);
        }
        lfmScopedGuard guard(s.startedLock);
        s.started = false;
      });
}

bool lfmHeartBeat::IsStarted() {
  HeartBeatState& s = State();
  lfmScopedGuard guard(s.startedLock);
  return s.started;
}

uint32_t lfmHeartBeat::TickIntervalMs() {
  return lfmCondition::TimeoutFromSeconds(lfmLogServerSettings::HeartBeatRate());
}

bool lfmHeartBeat::ThreadAlive() {
  return State().thread.IsAlive();
}

int32_t lfmHeartBeat::BodiesRunning() {
  return State().bodies.load();
}

time_t lfmHeartBeat::LastFlush() {
  return State().lastFlush.load();
}

time_t lfmHeartBeat::LastCheck() {
  return State().lastCheck.load();
}

void lfmHeartBeat::SetLastActionsForTest(time_t t) {
  HeartBeatState& s = State();
  s.lastFlush = t;
  s.lastCheck = t;
}

void lfmHeartBeat::SetStepHookForTest(StepHook hook) {
  HeartBeatState& s = State();
  std::lock_guard<std::mutex> lock(s.hookLock);
  s.stepHook = std::move(hook);
}
