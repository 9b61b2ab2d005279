#pragma once
// The system's mutex and its scoped guard.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "runtime/lfmthreadsafety.h"

// Non-recursive unless created as kRecursive: a mutex that must be entered
// again by its holder says why at its declaration.
class LFM_CAPABILITY("mutex") lfmMutex {
 public:
  enum Kind : int32_t { kRecursive = 0, kNonRecursive = 1 };
  // Result codes of Lock, TryLock and Unlock.
  enum Result : int32_t { kOk = 0, kNotOwner = 1, kBusy = 2 };

  explicit lfmMutex(Kind kind = kNonRecursive) : kind_(kind) {}
  virtual ~lfmMutex() = default;
  lfmMutex(const lfmMutex&) = delete;
  lfmMutex& operator=(const lfmMutex&) = delete;

  // Like Lock(), but returns kBusy at once when another thread holds it.
  // Held when the result is kOk (0).
  virtual int32_t TryLock() LFM_TRY_ACQUIRE(0);
  // TryLock() == kOk, in a form the lock checker follows.
  bool TryAcquire() LFM_TRY_ACQUIRE(true) { return TryLock() == kOk; }
  // Blocks until the calling thread holds the mutex. A non-recursive mutex
  // already held by the calling thread is not entered again: kBusy.
  virtual int32_t Lock() LFM_ACQUIRE();
  // Releases one hold. A thread that does not hold the mutex gets kNotOwner
  // and nothing changes.
  virtual int32_t Unlock() LFM_RELEASE();

  Kind GetKind() const { return kind_; }
  // Number of holds of the owning thread; meaningful to the owner only.
  int32_t HoldCount() const { return holds_; }
  bool HeldByCurrentThread() const {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

 private:
  // Called with mu_ newly entered: records the hold or, for a non-recursive
  // mutex entered twice, leaves again.
  int32_t Entered();

  Kind kind_;
  int32_t holds_ = 0;  // guarded by mu_
  std::atomic<std::thread::id> owner_{};
  std::recursive_mutex mu_;
};

// Holds a mutex for its lifetime, releasing it on every path out of a scope,
// exceptions included.
class LFM_SCOPED_CAPABILITY lfmScopedGuard {
 public:
  explicit lfmScopedGuard(lfmMutex& m) LFM_ACQUIRE(m) : m_(m), locked_(m.Lock() == lfmMutex::kOk) {}
  // Takes over a hold the caller already has (a TryAcquire() that succeeded).
  struct Adopt {};
  lfmScopedGuard(lfmMutex& m, Adopt) LFM_REQUIRES(m) : m_(m), locked_(true) {}
  ~lfmScopedGuard() LFM_RELEASE() {
    if (locked_)
      m_.Unlock();
  }
  lfmScopedGuard(const lfmScopedGuard&) = delete;
  lfmScopedGuard& operator=(const lfmScopedGuard&) = delete;
  // False when a non-recursive mutex was already held by this thread.
  bool Locked() const { return locked_; }

 private:
  lfmMutex& m_;
  bool locked_;
};
