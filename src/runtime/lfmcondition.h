#pragma once
// A condition variable used with an lfmMutex. Waiters are queued in arrival
// order; Signal wakes the oldest, Broadcast all of them.

#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>

#include "runtime/lfmmutex.h"

class lfmCondition {
 public:
  // Result of Wait when the time-out ran out first.
  static constexpr int32_t kTimedOut = -5;
  // Timeout meaning "wait without limit".
  static constexpr uint32_t kInfinite = 0xFFFFFFFFu;
  // Longest finite timeout (about 49.7 days).
  static constexpr uint32_t kLongestTimeout = kInfinite - 1;

  // A wait of `seconds` in milliseconds, computed in 64 bits and held to
  // 0..kLongestTimeout, so that a large configured rate can neither wrap
  // round to a short wait nor turn into kInfinite.
  static uint32_t TimeoutFromSeconds(int64_t seconds);

  lfmCondition() = default;
  // Gives waiters still queued up to half a second to leave before the
  // records are freed.
  virtual ~lfmCondition();
  lfmCondition(const lfmCondition&) = delete;
  lfmCondition& operator=(const lfmCondition&) = delete;

  // Releases `m` (which the caller holds exactly once), waits up to
  // `timeoutMs` for a signal, and takes `m` again before returning.
  // Returns 0 when signalled, kTimedOut otherwise. A signal given by a thread
  // holding `m` after the caller queued itself is never lost.
  int32_t Wait(lfmMutex& m, uint32_t timeoutMs) LFM_REQUIRES(m);
  // Wakes the oldest waiter, if any.
  void Signal();
  // Wakes every waiter.
  void Broadcast();

 private:
  enum class State { kWaiting, kSignalled, kDone };
  struct Record {
    State state = State::kDone;
  };

  std::mutex mu_;  // guards the lists
  std::condition_variable cv_;
  std::list<Record> waiting_;
  std::list<Record> free_;  // recycled records
};
