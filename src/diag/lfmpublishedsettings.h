#pragma once
// The loaded values of a settings section, as every hit reads them: the
// check is inline and the pointer constant-initialized, so a read costs one
// load instead of a call through two guarded function-local statics. The
// section publishes its values after a successful load (release) and
// withdraws them in ResetForTest.

#include <atomic>

template <class Values>
class lfmPublishedSettings {
 public:
  const Values* Peek() const { return values_.load(std::memory_order_acquire); }
  void Publish(const Values* v) { values_.store(v, std::memory_order_release); }

 private:
  std::atomic<const Values*> values_{nullptr};
};
