#include "runtime/lfmmutex.h"

int32_t lfmMutex::Entered() {
  if (kind_ == kNonRecursive && holds_ > 0) {
    mu_.unlock();
    return kBusy;
  }
  ++holds_;
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  return kOk;
}

int32_t lfmMutex::Lock() {
  mu_.lock();
  return Entered();
}

int32_t lfmMutex::TryLock() {
  if (!mu_.try_lock())
    return kBusy;
  return Entered();
}

int32_t lfmMutex::Unlock() {
  if (!HeldByCurrentThread())
    return kNotOwner;
  if (--holds_ == 0)
    owner_.store(std::thread::id(), std::memory_order_relaxed);
  mu_.unlock();
  return kOk;
}
