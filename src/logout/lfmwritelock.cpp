#include "logout/lfmwritelock.h"

void lfmWriteLock::LockContended() {
  // Bounded: a holder that waits for a write-out or opens a file keeps the
  // lock far longer than a spin is worth.
  constexpr int kSpins = 2000;
  for (int i = 0; i < kSpins; ++i) {
    if (state_.load(std::memory_order_relaxed) == kFree && TakeFree())
      return;
  }
  lfmScopedGuard sleep(sleepLock_);
  // Taken this way, the lock stays marked as slept on, since other
  // sleepers may remain: its release wakes the next.
  while (state_.exchange(kHeldWithSleepers, std::memory_order_acquire) != kFree)
    woken_.Wait(sleepLock_, lfmCondition::kInfinite);
}

void lfmWriteLock::WakeOne() {
  // Under the sleepers' mutex: a sleeper that has marked the lock but not
  // yet begun to wait holds it, so the wake-up cannot fall between the two.
  lfmScopedGuard sleep(sleepLock_);
  woken_.Signal();
}
