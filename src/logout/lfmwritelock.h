#pragma once
// lfmWriteLock: the write lock of a log stream. Recursive, and held by a
// record for tens of nanoseconds, so it is built for that: taking it free
// and releasing it when nobody sleeps on it are one atomic operation each,
// in line (an lfmMutex's bookkeeping and the system mutex under it cost as
// much again as the record's copy). A thread that finds it held spins
// briefly, then sleeps until a release wakes it. Not fair: a spinning
// thread may take it ahead of a woken sleeper (sleepers are woken oldest
// first).

#include <atomic>
#include <cstdint>
#include <thread>

#include "runtime/lfmcondition.h"
#include "runtime/lfmmutex.h"
#include "runtime/lfmthreadsafety.h"

class LFM_CAPABILITY("mutex") lfmWriteLock {
 public:
  lfmWriteLock() = default;
  lfmWriteLock(const lfmWriteLock&) = delete;
  lfmWriteLock& operator=(const lfmWriteLock&) = delete;

  // Blocks until the calling thread holds the lock; a holder enters again.
  void Lock() LFM_ACQUIRE() {
    if (Reentered())
      return;
    if (!TakeFree())
      LockContended();
    Entered();
  }
  // As Lock(), but false at once when another thread holds it.
  bool TryAcquire() LFM_TRY_ACQUIRE(true) {
    if (Reentered())
      return true;
    if (!TakeFree())
      return false;
    Entered();
    return true;
  }
  // Releases one hold; only the holder may call it.
  void Unlock() LFM_RELEASE() {
    if (--holds_ > 0)
      return;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    if (state_.exchange(kFree, std::memory_order_release) == kHeldWithSleepers)
      WakeOne();
  }

 private:
  enum : int32_t { kFree = 0, kHeld = 1, kHeldWithSleepers = 2 };
  bool TakeFree() {
    int32_t expected = kFree;
    return state_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void LockContended();
  void WakeOne();
  // Only the holder ever finds its own id in `owner_`.
  bool Reentered() {
    if (owner_.load(std::memory_order_relaxed) != std::this_thread::get_id())
      return false;
    ++holds_;
    return true;
  }
  void Entered() {
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    holds_ = 1;
  }

  std::atomic<int32_t> state_{kFree};
  std::atomic<std::thread::id> owner_{};
  int32_t holds_ = 0;  // the holder's
  // Sleepers wait here; a release that finds one may be waiting wakes one.
  // Off the uncontended path, which touches only the atomics above.
  lfmMutex sleepLock_;
  lfmCondition woken_;
};

// Holds an lfmWriteLock for its lifetime.
class LFM_SCOPED_CAPABILITY lfmWriteLockGuard {
 public:
  explicit lfmWriteLockGuard(lfmWriteLock& m) LFM_ACQUIRE(m) : m_(m) { m.Lock(); }
  // Takes over a hold the caller already has (a TryAcquire() that succeeded).
  struct Adopt {};
  lfmWriteLockGuard(lfmWriteLock& m, Adopt) LFM_REQUIRES(m) : m_(m) {}
  ~lfmWriteLockGuard() LFM_RELEASE() { m_.Unlock(); }
  lfmWriteLockGuard(const lfmWriteLockGuard&) = delete;
  lfmWriteLockGuard& operator=(const lfmWriteLockGuard&) = delete;

 private:
  lfmWriteLock& m_;
};
