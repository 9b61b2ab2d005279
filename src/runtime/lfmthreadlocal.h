#pragma once
// lfmThreadLocal<T>: one T per thread, made on the thread's first use and
// destroyed when the thread ends, through a thread slot.
//
// The module keeps no `thread_local` object with a destructor (a check in
// the build refuses one): mingw-w64's emulated thread-local storage frees
// such an object's storage at thread exit before the C++ runtime runs its
// destructor, which then reads and frees through memory another thread may
// already own. Slots run their exit hooks while the object is still whole,
// on POSIX and on Windows alike.
//
// Instances are function-local statics. When one is destroyed (at exit, or
// when the module is unloaded) the calling thread's object goes with it and
// the slot is freed; a thread that ends later keeps its object rather than
// run a hook in code that may be gone.

#include <new>
#include <optional>

#include "runtime/lfmthreadslot.h"

template <typename T>
class lfmThreadLocal {
 public:
  lfmThreadLocal() : slot_(&Destroy) {}
  ~lfmThreadLocal() {
    T* mine = static_cast<T*>(slot_.GetValue());
    slot_.SetValue(nullptr);
    delete mine;
  }
  lfmThreadLocal(const lfmThreadLocal&) = delete;
  lfmThreadLocal& operator=(const lfmThreadLocal&) = delete;

  // The calling thread's T, default-made on first use. When no slot or no
  // memory can be had, a T made in `fallback` is returned instead: callers
  // keep working, only without what the thread would keep between calls.
  T& Get(std::optional<T>& fallback) {
    if (T* p = static_cast<T*>(slot_.GetValue()))
      return *p;
    T* p = new (std::nothrow) T();
    if (p && slot_.SetValue(p))
      return *p;
    delete p;
    return fallback.emplace();
  }

 private:
  // Runs on the ending thread, with its value (the slot already cleared).
  static void Destroy(void* p) { delete static_cast<T*>(p); }

  lfmThreadSlot slot_;
};
