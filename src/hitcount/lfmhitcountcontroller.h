#pragma once
// lfmHitCountController: the hit counter of one file key (or the global
// request counter), in two banks. Request threads count into the bank the
// pool's active index names; the flusher swaps the index and takes the other
// bank once no counting thread is still inside it.
//
// Lock-free on the counting side: a count is a handful of atomic operations
// on this controller's own cache lines plus one load of the shared index.
// The protocol below holds for every stripe's banks on their own.
//
// How no count is lost or taken twice across a swap (every operation on
// `inFlight` and the index is sequentially consistent):
//   counter: inFlight[b] += 1, then reads the index; if it no longer names
//            b it leaves (inFlight[b] -= 1) and starts again on the new bank;
//            otherwise it updates bank b and leaves.
//   flusher: stores the new index, then waits until inFlight[b] is 0, then
//            reads and resets bank b.
// In the single order of these operations either the counter's read of the
// index comes after the flusher's store (it sees the new bank and moves on,
// touching nothing in b) or the counter's increment of inFlight[b] comes
// before the flusher's wait reads it (the flusher waits for the counter to
// leave, and takes its count). So once the wait ends nobody writes bank b
// until the index names it again, and the taken bank holds exactly the
// counts that entered it, each once, with their hit times.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

class lfmHitCountController {
 public:
  // What one bank held: the number of counts and the earliest and latest
  // hit time (0: none).
  struct Counts {
    uint64_t count = 0;
    time_t first = 0;
    time_t last = 0;
    // Adds `other` in: counts summed, the earliest first, the latest last.
    void Merge(const Counts& other);
  };

  // `stripes` above 1 for keys that every request thread counts into: each
  // thread then counts into a stripe of its own (by its thread number), so
  // that threads do not take turns at one cache line.
  explicit lfmHitCountController(std::string key, int stripes = 1);
  lfmHitCountController(const lfmHitCountController&) = delete;
  lfmHitCountController& operator=(const lfmHitCountController&) = delete;

  const std::string& Key() const { return key_; }

  // Counts one hit at `t` in the bank `activeBank` names. Any thread.
  void Increment(const std::atomic<int>& activeBank, time_t t);
  // The flusher, after it stored the index that no longer names `bank`:
  // waits for counting threads still inside `bank`, then returns its counts
  // and clears it. One flusher at a time.
  Counts Take(int bank);

  // For tests: called by Increment when inside a bank before (phase 0) and
  // after (phase 1) it checked the index, and by Take while it waits for a
  // counter to leave (phase 2). Null: nothing is called.
  static std::atomic<void (*)(int phase)> testHook;

 private:
  struct alignas(64) Bank {
    std::atomic<uint32_t> inFlight{0};
    std::atomic<uint64_t> count{0};
    std::atomic<int64_t> first{0};
    std::atomic<int64_t> last{0};
  };

  struct Stripe {
    Bank banks[2];
  };

  const std::string key_;
  const unsigned stripeCount_;
  std::unique_ptr<Stripe[]> stripes_;
};
