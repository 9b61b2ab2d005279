#include "platform/lfmplatform.h"

#include <atomic>

namespace {
std::atomic<lfmPlatform*> g_installed{nullptr};
}

lfmPlatform* lfmPlatform::Current() {
  lfmPlatform* p = g_installed.load(std::memory_order_acquire);
  return p ? p : Default();
}

void lfmPlatform::Install(lfmPlatform* p) {
  g_installed.store(p, std::memory_order_release);
}
