#pragma once
// Allocation failure on demand, for tests of what code does when memory runs
// out. allocfailure_new.cpp replaces the global operator new and delete of
// every test binary (plain malloc and free underneath); unarmed, they behave
// as the library's own. Arming is per thread: other threads, such as the module's
// heartbeats, are never affected.

#include <cstddef>

class AllocFailure {
 public:
  // Arms the calling thread: its next `allowed` allocations succeed, every
  // one after them throws std::bad_alloc (the nothrow forms return null)
  // until Disarm().
  static void Arm(size_t allowed) noexcept;
  // Disarms the calling thread. True when an allocation failed while armed.
  static bool Disarm() noexcept;
  // Whether the calling thread's next allocation is to fail (counting it
  // when armed). For the replaced operator new.
  static bool FailNow() noexcept;

  // Suspends the calling thread's injection for the object's life: for the
  // test's stand-ins of code outside the module (the fake IIS), whose memory
  // is not the module's to lose.
  class Pause {
   public:
    Pause() noexcept;
    ~Pause();
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;
  };
};
