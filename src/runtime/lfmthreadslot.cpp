#include "runtime/lfmthreadslot.h"

#include <cerrno>

#include "platform/lfmplatform.h"

// Slots go to the process default, not to the platform in force: a slot
// (the pools' per-thread objects) lives for the process and outlasts any
// test wrapper, its index means something only to the implementation that
// allocated it, and its exit hook runs on threads ending after the wrapper
// is gone. There is no failure here worth injecting.
// The default is kept: every hit reads several slots.
lfmThreadSlot::lfmThreadSlot(ExitHook onThreadExit) : platform_(lfmPlatform::Default()) {
  allocated_ = platform_->TlsAllocate(onThreadExit, &index_);
  if (!allocated_)
    lastError_ = EAGAIN;
}

lfmThreadSlot::~lfmThreadSlot() {
  if (allocated_)
    platform_->TlsFree(index_);
}

bool lfmThreadSlot::SetValue(void* value) {
  if (!allocated_)
    return false;
  return platform_->TlsSet(index_, value);
}

void* lfmThreadSlot::GetValue() const {
  return allocated_ ? platform_->TlsGet(index_) : nullptr;
}
