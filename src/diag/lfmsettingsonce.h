#pragma once
// The once-only lazy load shared by the settings sections.
//
// The first caller runs the load under the section's mutex; the values it
// writes are published by a release store of the loaded flag and read by
// every later caller after an acquire load, without locking. Messages the
// load raises are gathered and raised after the mutex is released, so a
// settings mutex is never held while the audit file's lock is taken.
// A load that throws leaves the flag clear: the next caller tries again.

#include <atomic>

#include "diag/lfmdebuglog.h"
#include "runtime/lfmmutex.h"

class lfmSettingsOnce {
 public:
  bool Loaded() const { return loaded_.load(std::memory_order_acquire); }

  // `load(lfmMessageBatch&)` runs at most once per successful load; it must
  // not call back into accessors of its own section.
  template <class Load>
  void Ensure(Load&& load) {
    if (loaded_.load(std::memory_order_acquire))
      return;
    lfmMessageBatch batch;
    {
      lfmScopedGuard guard(mutex_);
      if (loaded_.load(std::memory_order_relaxed))
        return;
      load(batch);
      loaded_.store(true, std::memory_order_release);
    }
    batch.Raise();
  }

  // For tests only, while no other thread reads the section.
  void ResetForTest() { loaded_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> loaded_{false};
  // Non-recursive: a load never calls back into its own section.
  lfmMutex mutex_{lfmMutex::kNonRecursive};
};
