#include "runtime/lfmheartbeat.h"

#include <algorithm>

#include "config/lfmlogserversettings.h"
#include "diag/lfmdebuglog.h"
#include "diag/lfmexceptioncontroller.h"
#include "diag/lfmstderr.h"
#include "logout/lfmlogfilecontrollerpool.h"
#include "runtime/lfmcondition.h"
#include "runtime/lfmthread.h"
#include "util/lfmclock.h"

namespace {

// Stop() re-offers the wake-up at this interval while it waits for the thread.
constexpr uint32_t kStopSliceMs = 100;

struct HeartBeatState {
  lfmThread thread;
  lfmMutex startedLock;
  bool started = false;  // startedLock
  lfmMutex tick;
  lfmCondition wake;
  // Written by the thread under the tick mutex (and by Start before the
  // thread exists).
  time_t lastFlush = 0;
  time_t lastCheck = 0;
};

HeartBeatState& State() {
  static HeartBeatState* s = new HeartBeatState;
  return *s;
}

uint32_t Body(void*) {
  HeartBeatState& s = State();
  lfmScopedGuard guard(s.tick);
  try {
    const uint32_t waitMs = lfmHeartBeat::TickIntervalMs();
    while (!s.thread.StopRequested()) {
      if (s.wake.Wait(s.tick, waitMs) != lfmCondition::kTimedOut)
        continue;
      lfmHeartBeat::Tick(lfmClock::Now());
    }
  } catch (const whException& e) {
    lfmExceptionController::ProcessException(e, whMethodId("lfmHeartBeat", "HeartBeat()"));
  } catch (...) {
    lfmStdErr::WriteLine("Caught unknown exception in lfmHeartBeat::HeartBeat()");
  }
  return 0;
}

}  // namespace

void lfmHeartBeat::Tick(time_t now) {
  HeartBeatState& s = State();
  lfmScopedGuard guard(s.tick);
  const lfmLogServerSettings::Values& v = lfmLogServerSettings::Get();
  if (now - s.lastFlush >= v.bufferFlushRate) {
    lfmLogFileControllerPool::FlushControllers(now);
    s.lastFlush = now;
  } else if (now < s.lastFlush) {
    s.lastFlush = now;
  }
  if (now - s.lastCheck >= v.fileCheckRate) {
    lfmLogFileControllerPool::ReleaseInactiveFiles(now);
    s.lastCheck = now;
  } else if (now < s.lastCheck) {
    s.lastCheck = now;
  }
}

void lfmHeartBeat::Start() {
  HeartBeatState& s = State();
  try {
    lfmScopedGuard guard(s.startedLock);
    if (s.started) {
      lfmDebugLog::Instance().Log(MESS_HEARTBEAT_RESTART);
      return;
    }
    {
      lfmScopedGuard tick(s.tick);
      s.lastFlush = s.lastCheck = lfmClock::Now();
    }
    lfmLogServerSettings::Get();  // settings errors surface here, not in the thread
    int32_t err = 0;
    if (s.thread.Start(Body, nullptr, 0, 0, &err) == 0)
      s.started = true;
  } catch (const whException& e) {
    lfmExceptionController::ProcessException(e, whMethodId("lfmHeartBeat", "Start()"));
  } catch (...) {
    lfmStdErr::WriteLine("Caught unknown exception in lfmHeartBeat::Start()");
  }
}

void lfmHeartBeat::Stop() {
  HeartBeatState& s = State();
  try {
    if (s.thread.IsAlive()) {
      s.thread.SignalStop();
      const uint32_t timeoutMs = TickIntervalMs();
      uint32_t waited = 0;
      uint32_t exitCode = 0;
      int32_t err = 0;
      int32_t joined = lfmThread::kTimedOut;
      do {
        // The wake-up is given under the tick mutex, so it cannot fall
        // between the thread's stop check and its wait. A thread stuck in a
        // flush holds the mutex; it is not waited for here (it sees the stop
        // when the flush returns), so Stop() ends within its time-out.
        if (s.tick.TryLock() == lfmMutex::kOk) {
          s.wake.Signal();
          s.tick.Unlock();
        }
        uint32_t slice = std::min(kStopSliceMs, timeoutMs - waited);
        joined = s.thread.Join(&exitCode, &err, slice);
        waited += slice;
      } while (joined == lfmThread::kTimedOut && waited < timeoutMs);
      if (joined != 0) {
        s.thread.Kill();
        lfmDebugLog::Instance().Log(MESS_HEARTBEAT_BAD_SHUTDOWN);
      }
    }
    lfmScopedGuard guard(s.startedLock);
    s.started = false;
  } catch (const whException& e) {
    lfmExceptionController::ProcessException(e, whMethodId("lfmHeartBeat", "Stop()"));
  } catch (...) {
    lfmStdErr::WriteLine("Caught unknown exception in lfmHeartBeat::Stop()");
  }
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

time_t lfmHeartBeat::LastFlush() {
  HeartBeatState& s = State();
  lfmScopedGuard guard(s.tick);
  return s.lastFlush;
}

time_t lfmHeartBeat::LastCheck() {
  HeartBeatState& s = State();
  lfmScopedGuard guard(s.tick);
  return s.lastCheck;
}

void lfmHeartBeat::SetLastActionsForTest(time_t t) {
  HeartBeatState& s = State();
  lfmScopedGuard guard(s.tick);
  s.lastFlush = s.lastCheck = t;
}
