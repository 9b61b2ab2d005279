#include "tests/support/allocfailure.h"

#include <cstdlib>
#include <new>

namespace {

// Plain thread-locals without constructors: reading them never allocates.
thread_local bool t_armed = false;
thread_local bool t_failed = false;
thread_local size_t t_allowed = 0;
thread_local int t_paused = 0;

bool FailNow() noexcept {
  if (!t_armed || t_paused > 0)
    return false;
  if (t_allowed > 0) {
    --t_allowed;
    return false;
  }
  t_failed = true;
  return true;
}

void* Allocate(std::size_t size) {
  if (FailNow())
    throw std::bad_alloc();
  if (size == 0)
    size = 1;
  for (;;) {
    if (void* p = std::malloc(size))
      return p;
    std::new_handler handler = std::get_new_handler();
    if (!handler)
      throw std::bad_alloc();
    handler();
  }
}

void* AllocateNoThrow(std::size_t size) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

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

// The replaceable global allocation functions. The aligned forms are left to
// the library: they allocate and free on their own, apart from these.
void* operator new(std::size_t size) {
  return Allocate(size);
}
void* operator new[](std::size_t size) {
  return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateNoThrow(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateNoThrow(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
