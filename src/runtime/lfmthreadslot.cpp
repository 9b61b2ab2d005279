#include "runtime/lfmthreadslot.h"

#include <cerrno>

#include "platform/lfmplatform.h"

lfmThreadSlot::lfmThreadSlot(ExitHook onThreadExit) {
  allocated_ = lfmPlatform::Default()->TlsAllocate(onThreadExit, &index_);
  if (!allocated_)
    lastError_ = EAGAIN;
}

lfmThreadSlot::~lfmThreadSlot() {
  if (allocated_)
    lfmPlatform::Default()->TlsFree(index_);
}

bool lfmThreadSlot::SetValue(void* value) {
  if (!allocated_)
    return false;
  return lfmPlatform::Default()->TlsSet(index_, value);
}

void* lfmThreadSlot::GetValue() const {
  return allocated_ ? lfmPlatform::Default()->TlsGet(index_) : nullptr;
}
