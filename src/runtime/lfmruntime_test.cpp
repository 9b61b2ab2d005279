// Tests of the threading toolkit: mutex, condition variable, thread object
// and thread-local slot and object.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "runtime/lfmcondition.h"
#include "runtime/lfmmutex.h"
#include "runtime/lfmthread.h"
#include "runtime/lfmthreadlocal.h"
#include "runtime/lfmthreadslot.h"
#include "tests/support/testplatform.h"

// These tests drive the mutex through holds the lock checker rejects by
// design (a second hold, a release by a thread that does not hold it).
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

namespace {

TEST(Mutex, RecursiveMutexCountsHolds) {
  lfmMutex m(lfmMutex::kRecursive);
  EXPECT_EQ(m.Lock(), lfmMutex::kOk);
  EXPECT_EQ(m.Lock(), lfmMutex::kOk);
  EXPECT_EQ(m.HoldCount(), 2);
  EXPECT_EQ(m.Unlock(), lfmMutex::kOk);
  EXPECT_TRUE(m.HeldByCurrentThread());
  EXPECT_EQ(m.Unlock(), lfmMutex::kOk);
  EXPECT_FALSE(m.HeldByCurrentThread());
}

TEST(Mutex, NonRecursiveMutexRefusesReentryWithBusy) {
  lfmMutex m(lfmMutex::kNonRecursive);
  EXPECT_EQ(m.Lock(), lfmMutex::kOk);
  EXPECT_EQ(m.Lock(), lfmMutex::kBusy);
  EXPECT_EQ(m.TryLock(), lfmMutex::kBusy);
  EXPECT_EQ(m.HoldCount(), 1);
  EXPECT_EQ(m.Unlock(), lfmMutex::kOk);
  // Released for real: another thread can take it now.
  std::thread([&] {
    EXPECT_EQ(m.TryLock(), lfmMutex::kOk);
    m.Unlock();
  }).join();
}

// A mutex that does not say otherwise is non-recursive: a guard that finds
// it held by its own thread does not hold it, and leaves the outer hold as
// it was.
TEST(Mutex, DefaultMutexIsNonRecursiveAndAGuardInsideItHoldsNothing) {
  lfmMutex m;
  EXPECT_EQ(m.GetKind(), lfmMutex::kNonRecursive);
  lfmScopedGuard outer(m);
  ASSERT_TRUE(outer.Locked());
  {
    lfmScopedGuard inner(m);
    EXPECT_FALSE(inner.Locked());
    EXPECT_EQ(m.HoldCount(), 1);
  }
  EXPECT_TRUE(m.HeldByCurrentThread());
  EXPECT_EQ(m.HoldCount(), 1);
}

// A guard adopting a hold taken by TryAcquire releases it at the end of its
// scope, exactly once.
TEST(Mutex, AdoptingGuardReleasesTheTriedHold) {
  for (lfmMutex::Kind kind : {lfmMutex::kRecursive, lfmMutex::kNonRecursive}) {
    lfmMutex m(kind);
    {
      ASSERT_TRUE(m.TryAcquire());
      lfmScopedGuard guard(m, lfmScopedGuard::Adopt());
      EXPECT_TRUE(guard.Locked());
      EXPECT_EQ(m.HoldCount(), 1);
    }
    EXPECT_FALSE(m.HeldByCurrentThread()) << "kind " << kind;
    std::thread([&] {
      EXPECT_TRUE(m.TryAcquire());
      m.Unlock();
    }).join();
  }
}

TEST(Mutex, TryLockAndUnlockFromAnotherThread) {
  lfmMutex m;
  m.Lock();
  std::thread([&] {
    EXPECT_EQ(m.TryLock(), lfmMutex::kBusy);
    EXPECT_EQ(m.Unlock(), lfmMutex::kNotOwner);  // not held here: refused
  }).join();
  EXPECT_EQ(m.HoldCount(), 1);
  m.Unlock();
}

TEST(Condition, WaitTimesOutWithMinusFive) {
  lfmMutex m;
  lfmCondition c;
  m.Lock();
  EXPECT_EQ(c.Wait(m, 20), lfmCondition::kTimedOut);
  EXPECT_TRUE(m.HeldByCurrentThread());  // taken again after the wait
  m.Unlock();
}

TEST(Condition, SignalUnderTheMutexIsNeverLost) {
  lfmMutex m;
  lfmCondition c;
  std::atomic<bool> waiting{false};
  int result = 1;
  m.Lock();
  std::thread waiter([&] {
    m.Lock();
    waiting = true;
    result = c.Wait(m, lfmCondition::kInfinite);
    m.Unlock();
  });
  m.Unlock();
  while (!waiting)
    std::this_thread::yield();
  // The waiter is queued before it released the mutex, so a signal given
  // while holding the mutex reaches it.
  m.Lock();
  c.Signal();
  m.Unlock();
  waiter.join();
  EXPECT_EQ(result, 0);
}

TEST(Condition, SignalWakesOneBroadcastWakesAll) {
  lfmMutex m;
  lfmCondition c;
  std::atomic<int> queued{0}, woken{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&] {
      m.Lock();
      ++queued;
      if (c.Wait(m, 10000) == 0)
        ++woken;
      m.Unlock();
    });
  }
  while (queued < 3)
    std::this_thread::yield();
  m.Lock();  // every waiter has released the mutex inside Wait
  c.Signal();
  m.Unlock();
  while (woken < 1)
    std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(woken.load(), 1);
  m.Lock();
  c.Broadcast();
  m.Unlock();
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(woken.load(), 3);
}

uint32_t ReturnArg(void* arg) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
}

struct StopWaiter {
  lfmThread* self;
  std::atomic<int> result{0};
};
uint32_t WaitUntilStopped(void* arg) {
  auto* w = static_cast<StopWaiter*>(arg);
  w->result = w->self->WaitForStop(nullptr, lfmThread::kInfinite);
  return 7;
}

std::atomic<bool> g_release{false};
std::atomic<bool> g_ignoredStop{false};
uint32_t IgnoreStop(void*) {
  while (!g_release)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  g_ignoredStop = true;
  return 0;
}

TEST(Thread, StartJoinDeliversExitCode) {
  lfmThread t;
  ASSERT_EQ(t.Start(&ReturnArg, reinterpret_cast<void*>(uintptr_t{42}), 0, 0, nullptr), 0);
  EXPECT_EQ(t.GetState(), lfmThread::kRunning);
  uint32_t code = 0;
  EXPECT_EQ(t.Join(&code, nullptr, lfmThread::kInfinite), 0);
  EXPECT_EQ(code, 42u);
  EXPECT_FALSE(t.IsAlive());
}

TEST(Thread, StopEventWakesTheThreadAndJoinTimesOutBefore) {
  lfmThread t;
  StopWaiter w{&t};
  ASSERT_EQ(t.Start(&WaitUntilStopped, &w, 0, 0, nullptr), 0);
  EXPECT_EQ(t.Join(nullptr, nullptr, 20), lfmThread::kTimedOut);
  EXPECT_TRUE(t.IsAlive());
  EXPECT_FALSE(t.StopRequested());
  t.SignalStop();
  uint32_t code = 0;
  EXPECT_EQ(t.Join(&code, nullptr, lfmThread::kInfinite), 0);
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(w.result.load(), lfmThread::kStopSignalled);
  EXPECT_TRUE(t.StopRequested());
  EXPECT_EQ(t.WaitForStop(nullptr, 0), lfmThread::kStopSignalled);
}

TEST(Thread, RestartGivesAFreshStopEvent) {
  lfmThread t;
  StopWaiter w{&t};
  ASSERT_EQ(t.Start(&WaitUntilStopped, &w, 0, 0, nullptr), 0);
  t.SignalStop();
  t.Join(nullptr, nullptr, lfmThread::kInfinite);
  ASSERT_EQ(t.Start(&ReturnArg, nullptr, 0, 0, nullptr), 0);
  EXPECT_FALSE(t.StopRequested());
  EXPECT_EQ(t.Join(nullptr, nullptr, lfmThread::kInfinite), 0);
}

TEST(Thread, SuspendedStartRunsOnlyAfterResume) {
  lfmThread t;
  ASSERT_EQ(t.Start(&ReturnArg, reinterpret_cast<void*>(uintptr_t{5}), 0,
                    lfmThread::kStartSuspended, nullptr),
            0);
  EXPECT_EQ(t.GetState(), lfmThread::kSuspended);
  EXPECT_EQ(t.Join(nullptr, nullptr, 30), lfmThread::kTimedOut);
  EXPECT_EQ(t.Resume(), 0);
  EXPECT_EQ(t.Resume(), -1);  // only a suspended thread resumes
  uint32_t code = 0;
  EXPECT_EQ(t.Join(&code, nullptr, lfmThread::kInfinite), 0);
  EXPECT_EQ(code, 5u);
}

std::atomic<int> g_ran{0};
uint32_t CountRun(void*) {
  ++g_ran;
  return 0;
}

TEST(Thread, ASuspendedThreadNeverResumedNeverRuns) {
  g_ran = 0;
  {
    lfmThread t;  // destroyed
    ASSERT_EQ(t.Start(&CountRun, nullptr, 0, lfmThread::kStartSuspended, nullptr), 0);
  }
  {
    lfmThread t;  // started again
    ASSERT_EQ(t.Start(&CountRun, nullptr, 0, lfmThread::kStartSuspended, nullptr), 0);
    ASSERT_EQ(t.Start(&ReturnArg, nullptr, 0, 0, nullptr), 0);
    EXPECT_EQ(t.Join(nullptr, nullptr, lfmThread::kInfinite), 0);
  }
  {
    lfmThread t;  // detached
    ASSERT_EQ(t.Start(&CountRun, nullptr, 0, lfmThread::kStartSuspended, nullptr), 0);
    EXPECT_EQ(t.Detach(), 0);
    EXPECT_FALSE(t.IsAlive());
  }
  // A thread wrongly let go would have run by now; the released ones were
  // joined before their objects returned.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(g_ran.load(), 0);
}

TEST(Thread, KillAbandonsAThreadThatIgnoresStop) {
  TestPlatform os;  // the grace period is not really slept
  g_release = false;
  g_ignoredStop = false;
  {
    lfmThread t;
    ASSERT_EQ(t.Start(&IgnoreStop, nullptr, 0, 0, nullptr), 0);
    EXPECT_EQ(t.Kill(), -1);
    EXPECT_EQ(os.sleptMs.load(), 3000u);
    EXPECT_EQ(t.GetState(), lfmThread::kDetached);
    EXPECT_TRUE(t.StopRequested());
  }  // destroying the object leaves the detached thread unharmed
  g_release = true;
  // The abandoned thread ends on its own; it must be past its use of this
  // test's platform before the next test installs another.
  while (!g_ignoredStop)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(Thread, KillOfACooperativeThreadJustStopsIt) {
  TestPlatform os;
  lfmThread t;
  StopWaiter w{&t};
  ASSERT_EQ(t.Start(&WaitUntilStopped, &w, 0, 0, nullptr), 0);
  // The stop is noticed within the grace period.
  os.realSleep = true;
  EXPECT_EQ(t.Kill(), 0);
  EXPECT_EQ(t.Join(nullptr, nullptr, 1000), 0);
}

std::atomic<int> g_released{0};
void CountRelease(void* v) {
  delete static_cast<int*>(v);
  ++g_released;
}

TEST(ThreadSlot, ValuesArePerThreadAndReleasedAtThreadExit) {
  lfmThreadSlot slot(&CountRelease);
  ASSERT_TRUE(slot.Allocated());
  g_released = 0;
  int mine = 1;
  slot.SetValue(&mine);
  std::thread([&] {
    EXPECT_EQ(slot.GetValue(), nullptr);
    slot.SetValue(new int(2));
  }).join();
  std::thread([&] { EXPECT_EQ(slot.GetValue(), nullptr); }).join();
  EXPECT_EQ(g_released.load(), 1);
  EXPECT_EQ(slot.GetValue(), &mine);
  slot.SetValue(nullptr);
}

// Records, as it is destroyed, whether its own bytes were still whole: a
// destructor run on freed storage sees what the next owner wrote there.
struct Canary {
  static constexpr uint64_t kWhole = 0x5EEDC0DE5EEDC0DEull;
  static std::atomic<int> whole, broken;
  uint64_t mark = kWhole;
  std::vector<int> held{1, 2, 3};
  ~Canary() {
    // Reuse any freed block of this size before looking.
    std::vector<std::unique_ptr<char[]>> churn;
    for (int i = 0; i < 8; ++i) {
      churn.emplace_back(new char[sizeof(Canary)]);
      std::memset(churn.back().get(), 0, sizeof(Canary));
    }
    ++(mark == kWhole && held.size() == 3 ? whole : broken);
  }
};
std::atomic<int> Canary::whole{0}, Canary::broken{0};

TEST(ThreadLocal, EachThreadKeepsItsOwnObjectUntilItEndsAndItIsDestroyedWhole) {
  static lfmThreadLocal<Canary> objects;
  std::optional<Canary> fallback;
  Canary* mine = &objects.Get(fallback);
  EXPECT_EQ(&objects.Get(fallback), mine);
  Canary::whole = 0;
  Canary::broken = 0;
  const int kThreads = 3;
  std::vector<std::thread> threads;
  std::atomic<int> distinct{0};
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      std::optional<Canary> local;
      Canary& c = objects.Get(local);
      distinct += &c != mine && &objects.Get(local) == &c && !local;
      c.held.resize(3);
    });
  for (std::thread& t : threads)
    t.join();
  EXPECT_EQ(distinct.load(), kThreads);
  EXPECT_EQ(Canary::broken.load(), 0);
  EXPECT_EQ(Canary::whole.load(), kThreads);
  EXPECT_FALSE(fallback.has_value());
}

}  // namespace
