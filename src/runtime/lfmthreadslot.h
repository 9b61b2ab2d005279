#pragma once
// A thread-local slot: one pointer per thread, with a hook that receives a
// thread's non-null value when that thread ends (so per-thread objects are
// released with their thread).

#include <cstdint>

class lfmPlatform;

class lfmThreadSlot {
 public:
  using ExitHook = void (*)(void* value);

  // Allocates the slot. `onThreadExit` (may be null) runs on the ending
  // thread for its non-null value. Check Allocated() afterwards.
  explicit lfmThreadSlot(ExitHook onThreadExit = nullptr);
  // Frees the slot. Values still set are not passed to the hook.
  virtual ~lfmThreadSlot();
  lfmThreadSlot(const lfmThreadSlot&) = delete;
  lfmThreadSlot& operator=(const lfmThreadSlot&) = delete;

  bool Allocated() const { return allocated_; }
  int32_t LastError() const { return lastError_; }
  // The calling thread's value; false / null when the slot is not allocated.
  bool SetValue(void* value);
  void* GetValue() const;

 private:
  lfmPlatform* platform_;  // the process default, which outlives every slot
  int32_t lastError_ = 0;
  uint32_t index_ = 0;
  bool allocated_ = false;
};
