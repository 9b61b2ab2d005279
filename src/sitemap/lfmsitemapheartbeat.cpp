#include "sitemap/lfmsitemapheartbeat.h"

#include <algorithm>
#include <atomic>
#include <exception>

#include "diag/lfmdebuglog.h"
#include "diag/lfmexceptioncontroller.h"
#include "platform/lfmplatform.h"
#include "runtime/lfmcondition.h"
#include "runtime/lfmthread.h"
#include "sitemap/tsservicemodelsettings.h"
#include "sitemap/tssiteoverview.h"
#include "util/lfmstderr.h"

namespace {

const char kClass[] = "lfmSiteMapHeartBeat";

struct SiteMapHeartBeatState {
  lfmThread thread;
  lfmMutex stateLock;
  bool started LFM_GUARDED_BY(stateLock) = false;
  // Read by the loader's cancel callback from the reload thread.
  std::atomic<bool> stopping{false};
  // Held by the thread except while it waits; Stop() only try-locks it.
  lfmMutex wake;
  lfmCondition wakeUp;
  // Which start the running body belongs to. Start() advances it, so that a
  // body abandoned by Stop() ends when its load returns instead of running
  // on beside its successor (the thread object's stop event is the
  // successor's by then).
  std::atomic<uintptr_t> run{0};
  std::atomic<uint32_t> periodMs{0};  // of the running body, set by Start()
  std::atomic<uint32_t> testPeriodMs{0};
  std::atomic<int64_t> reloads{0};
};

SiteMapHeartBeatState& State() {
  // Never destroyed: an abandoned thread may still run while the process ends.
  static SiteMapHeartBeatState* s = new SiteMapHeartBeatState;
  return *s;
}

uint32_t PeriodMs() {
  uint32_t test = State().testPeriodMs.load();
  if (test != 0)
    return test;
  return static_cast<uint32_t>(tsServiceModelSettings::SiteMapReloadRate()) * 60000u;
}

// One reload. A failure of any kind ends this reload, not the thread: the
// map in force stays, and the next period tries again.
void Reload() {
  lfmDebugLog& log = lfmDebugLog::Instance();
  lfmPlatform* platform = lfmPlatform::Current();
  // Besides a whException, running out of memory for a second copy of a
  // large map is the likeliest failure.
  lfmExceptionController::RunAtBoundary(
      whMethodId(kClass, "HeartBeat()"),
      "Caught unknown exception in lfmSiteMapHeartBeat::HeartBeat()", [&] {
        log.Log(2, "SiteMapLoad(0) Start");
        uint64_t started = platform->TickCountMs();
        // The result is not acted on: a failed reload keeps the map in force.
        tsSiteOverview::Instance().Load(false, [] { return lfmSiteMapHeartBeat::Stopping(); });
        uint64_t elapsed = platform->TickCountMs() - started;
        log.LogFormat(2, "SiteMapLoad(0) time (sec): %4.4f\n",
                      static_cast<double>(elapsed) * 0.001);
      });
}

uint32_t Body(void* arg) {
  SiteMapHeartBeatState& s = State();
  const uintptr_t run = reinterpret_cast<uintptr_t>(arg);
  const uint32_t periodMs = s.periodMs.load();
  lfmExceptionController::RunAtBoundary(
      whMethodId(kClass, "HeartBeat()"),
      "Caught unknown exception in lfmSiteMapHeartBeat::HeartBeat()", [&] {
        // Held through the body; a wait releases it while it sleeps.
        lfmScopedGuard guard(s.wake);
        lfmPlatform* platform = lfmPlatform::Current();
        // A wake-up that is not a stop (a spurious one) waits out the rest of
        // the period rather than starting it afresh.
        uint64_t due = platform->TickCountMs() + periodMs;
        while (s.run.load() == run && !s.thread.StopRequested()) {
          uint64_t now = platform->TickCountMs();
          if (now < due) {
            s.wakeUp.Wait(s.wake, static_cast<uint32_t>(due - now));
            continue;
          }
          Reload();
          ++s.reloads;
          due = platform->TickCountMs() + periodMs;
        }
      });
  return 0;
}

}  // namespace

void lfmSiteMapHeartBeat::Start() {
  SiteMapHeartBeatState& s = State();
  lfmExceptionController::RunAtBoundary(
      whMethodId(kClass, "Start()"), "Caught unknown exception in lfmSiteMapHeartBeat::Start()",
      [&] {
        lfmScopedGuard guard(s.stateLock);
        if (s.started) {
          lfmDebugLog::Instance().Log(MESS_SITEMAP_HEARBEAT_RESTART);
          return;
        }
        // Settings errors surface here, not in the thread.
        s.periodMs = PeriodMs();
        s.stopping = false;
        const uintptr_t run = s.run.load() + 1;
        s.run = run;
        int32_t err = 0;
        if (s.thread.Start(Body, reinterpret_cast<void*>(run), 0, 0, &err) == 0)
          s.started = true;
      });
}

void lfmSiteMapHeartBeat::Stop() {
  SiteMapHeartBeatState& s = State();
  lfmExceptionController::RunAtBoundary(
      whMethodId(kClass, "Stop()"), "Caught unknown exception in lfmSiteMapHeartBeat::Stop()", [&] {
        {
          lfmScopedGuard guard(s.stateLock);
          s.stopping = true;
        }
        if (s.thread.IsAlive()) {
          // The configured period, not a test's shortened one.
          const uint32_t timeoutMs =
              std::min(static_cast<uint32_t>(tsServiceModelSettings::SiteMapReloadRate()) * 60000u,
                       kMaxStopWaitMs);
          // The wake-up is offered under the wake mutex, never waited for: a
          // reload in progress sees the stop through its cancel callback.
          if (!s.thread.StopAndJoin(s.wake, s.wakeUp, timeoutMs))
            lfmDebugLog::Instance().Log(MESS_SITEMAP_HEARBEAT_BAD_SHUTDOWN);
        }
        lfmScopedGuard guard(s.stateLock);
        s.started = false;
      });
}

bool lfmSiteMapHeartBeat::IsStarted() {
  SiteMapHeartBeatState& s = State();
  lfmScopedGuard guard(s.stateLock);
  return s.started;
}

bool lfmSiteMapHeartBeat::Stopping() {
  return State().stopping.load();
}

int64_t lfmSiteMapHeartBeat::Reloads() {
  return State().reloads.load();
}

void lfmSiteMapHeartBeat::SetPeriodForTest(uint32_t periodMs) {
  State().testPeriodMs = periodMs;
}
