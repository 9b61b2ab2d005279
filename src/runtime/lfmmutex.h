#pragma once
// The system's mutex and its scoped guard.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

class lfmMutex {
 public:
  enum Kind : int32_t { kRecursive = 0, kNonRecursive = 1 };
  // Result codes of Lock, TryLock and Unlock.
  enum Result : int32_t { kOk = 0, kNotOwner = 1, kBusy = 2 };

  explicit lfmMutex(Kind kind = kRecursive) : kind_(kind) {}
  virtual ~lfmMutex() = default;
  lfmMutex(const lfmMutex&) = delete;
  lfmMutex& operator=(const lfmMutex&) = delete;

  // Like Lock(), but returns kBusy at once when another thread holds it.
  virtual int32_t TryLock();
  // Blocks until the calling thread holds the mutex. A non-recursive mutex
  // already held by the calling thread is not entered again: kBusy.
  virtual int32_t Lock();
  // Releases one hold. A thread that does not hold the mutex gets kNotOwner
  // and nothing changes.
  virtual int32_t Unlock();

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
class lfmScopedGuard {
 public:
  explicit lfmScopedGuard(lfmMutex& m) : m_(m), locked_(m.Lock() == lfmMutex::kOk) {}
  ~lfmScopedGuard() {
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
