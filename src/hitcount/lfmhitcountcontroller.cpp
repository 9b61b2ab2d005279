#include "hitcount/lfmhitcountcontroller.h"

#include <thread>

std::atomic<void (*)(int)> lfmHitCountController::testHook{nullptr};

namespace {

// A number per thread, handed out in order, picking its stripe.
unsigned ThreadNumber() {
  static std::atomic<unsigned> next{0};
  static thread_local unsigned number = next.fetch_add(1, std::memory_order_relaxed);
  return number;
}

inline void TestHook(int phase) {
  if (auto hook = lfmHitCountController::testHook.load(std::memory_order_relaxed))
    hook(phase);
}

}  // namespace

void lfmHitCountController::Counts::Merge(const Counts& other) {
  if (other.count == 0)
    return;
  count += other.count;
  if (other.first != 0 && (first == 0 || other.first < first))
    first = other.first;
  if (other.last > last)
    last = other.last;
}

lfmHitCountController::lfmHitCountController(std::string key, int stripes)
    : key_(std::move(key)),
      stripeCount_(stripes > 1 ? static_cast<unsigned>(stripes) : 1u),
      stripes_(new Stripe[stripeCount_]) {}

void lfmHitCountController::Increment(const std::atomic<int>& activeBank, time_t t) {
  Stripe& stripe = stripes_[stripeCount_ == 1 ? 0 : ThreadNumber() % stripeCount_];
  for (;;) {
    int b = activeBank.load();
    Bank& bank = stripe.banks[b];
    bank.inFlight.fetch_add(1);
    TestHook(0);
    if (activeBank.load() != b) {
      // A swap came between: the flusher may already be reading b.
      bank.inFlight.fetch_sub(1);
      continue;
    }
    TestHook(1);
    int64_t when = static_cast<int64_t>(t);
    int64_t first = bank.first.load(std::memory_order_relaxed);
    while ((first == 0 || when < first) &&
           !bank.first.compare_exchange_weak(first, when, std::memory_order_relaxed))
      ;
    int64_t last = bank.last.load(std::memory_order_relaxed);
    while (when > last && !bank.last.compare_exchange_weak(last, when, std::memory_order_relaxed))
      ;
    bank.count.fetch_add(1, std::memory_order_relaxed);
    // Publishes the updates above to the flusher that sees the bank empty.
    bank.inFlight.fetch_sub(1);
    return;
  }
}

lfmHitCountController::Counts lfmHitCountController::Take(int bank) {
  Counts all;
  for (unsigned i = 0; i < stripeCount_; ++i) {
    Bank& b = stripes_[i].banks[bank];
    // A counter is inside for a few instructions only.
    while (b.inFlight.load() != 0) {
      TestHook(2);
      std::this_thread::yield();
    }
    Counts c;
    c.count = b.count.exchange(0, std::memory_order_relaxed);
    c.first = static_cast<time_t>(b.first.exchange(0, std::memory_order_relaxed));
    c.last = static_cast<time_t>(b.last.exchange(0, std::memory_order_relaxed));
    all.Merge(c);
  }
  return all;
}
