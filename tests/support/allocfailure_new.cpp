// The test binaries' replacement of the global operator new and delete
// (plain malloc and free underneath), failing where AllocFailure says. Kept
// apart from allocfailure.cpp so that programs that only need the fake IIS
// (benchmarks, fuzzers) keep the library's allocator.

#include <cstdlib>
#include <new>

#include "tests/support/allocfailure.h"

namespace {

void* Allocate(std::size_t size) {
  if (AllocFailure::FailNow())
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
