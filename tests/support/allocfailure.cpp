#include "tests/support/allocfailure.h"

namespace {

// Plain thread-locals without constructors: reading them never allocates.
thread_local bool t_armed = false;
thread_local bool t_failed = false;
thread_local size_t t_allowed = 0;
thread_local int t_paused = 0;

}  // namespace

bool AllocFailure::FailNow() noexcept {
  if (!t_armed || t_paused > 0)
    return false;
  if (t_allowed > 0) {
    --t_allowed;
    return false;
  }
  t_failed = true;
  return true;
}

void AllocFailure::Arm(size_t allowed) noexcept {
  t_allowed = allowed;
  t_failed = false;
  t_armed = true;
}

bool AllocFailure::Disarm() noexcept {
  t_armed = false;
  return t_failed;
}

AllocFailure::Pause::Pause() noexcept {
  ++t_paused;
}
AllocFailure::Pause::~Pause() {
  --t_paused;
}
