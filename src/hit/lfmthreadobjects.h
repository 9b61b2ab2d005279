#pragma once
// Per-thread ownership of one object of type T: the arrangement behind the
// object pools. Each worker thread gets its own object on its first get and
// keeps it for every request it serves; the object is destroyed when the
// thread ends (the slot's exit hook) or by an explicit Release() on that
// thread. Gets take no lock (the slot is the thread's own); releases are
// serialised on the pool's lock. One pool per type T.

#include <atomic>
#include <new>

#include "runtime/lfmmutex.h"
#include "runtime/lfmthreadslot.h"
#include "util/whexception.h"
#include "util/whexceptiontexts.h"

template <typename T>
class lfmThreadObjects {
 public:
  // `className`, `getMethod`, `typeLabel` and `module` name the pool in the
  // exception thrown when an object cannot be had.
  lfmThreadObjects(const char* className, const char* getMethod, const char* typeLabel,
                   const char* module)
      : className_(className),
        getMethod_(getMethod),
        typeLabel_(typeLabel),
        module_(module),
        slot_(&OnThreadExit) {
    instance_ = this;
  }
  ~lfmThreadObjects() { instance_ = nullptr; }

  // The calling thread's object, created by `make()` (which may return null)
  // on first use. Throws 1026 when no object can be had; the next get tries
  // again.
  template <typename Make>
  T* Get(Make&& make) {
    T* p = static_cast<T*>(slot_.GetValue());
    if (p)
      return p;
    p = make();
    if (p && !slot_.SetValue(p)) {
      delete p;
      p = nullptr;
    }
    if (!p)
      throw whException(className_, getMethod_, module_, __LINE__, whText::kPoolObject, typeLabel_);
    live_.fetch_add(1, std::memory_order_relaxed);
    return p;
  }
  T* Get() {
    return Get([] { return new (std::nothrow) T(); });
  }

  // The calling thread's object, or null when it has none.
  T* Peek() const { return static_cast<T*>(slot_.GetValue()); }

  // Destroys the calling thread's object, if any. Takes the pool lock.
  void Release() {
    T* p = static_cast<T*>(slot_.GetValue());
    if (!p)
      return;
    slot_.SetValue(nullptr);
    Destroy(p);
  }

  // Objects created and not yet released, over all threads.
  int Live() const { return live_.load(std::memory_order_relaxed); }

 private:
  void Destroy(T* p) {
    lfmScopedGuard guard(lock_);
    delete p;
    live_.fetch_sub(1, std::memory_order_relaxed);
  }
  // Runs on an ending thread with its object (the slot already cleared).
  static void OnThreadExit(void* p) {
    if (instance_ && p)
      instance_->Destroy(static_cast<T*>(p));
  }

  static inline lfmThreadObjects* instance_ = nullptr;
  const char* className_;
  const char* getMethod_;
  const char* typeLabel_;
  const char* module_;
  lfmThreadSlot slot_;
  lfmMutex lock_;
  std::atomic<int> live_{0};
};
