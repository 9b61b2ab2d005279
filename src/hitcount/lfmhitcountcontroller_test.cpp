// A counter caught inside a bank by a swap: its count is taken exactly once,
// by the flush of the bank it ends up in.

#include "hitcount/lfmhitcountcontroller.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// Stops one counter at a chosen phase of Increment until released, and
// notes when the flusher waits for it.
struct Gate {
  std::mutex mu;
  std::condition_variable cv;
  int pausePhase = -1;
  bool paused = false;
  bool released = false;
  bool flusherWaiting = false;
  bool flushed = false;
};
Gate* gate = nullptr;

void Hook(int phase) {
  std::unique_lock<std::mutex> lock(gate->mu);
  if (phase == 2) {
    gate->flusherWaiting = true;
    gate->cv.notify_all();
    return;
  }
  if (phase != gate->pausePhase || gate->paused)
    return;
  gate->paused = true;
  gate->cv.notify_all();
  gate->cv.wait(lock, [] { return gate->released; });
}

TEST(HitCountController, ACountCaughtByASwapIsTakenOnceWithItsTime) {
  struct Case {
    int pausePhase;
    uint64_t takenFromOldBank;  // by the flush that swapped
    uint64_t leftInNewBank;
  } cases[] = {
      // Inside the old bank, the index not yet checked: it moves to the new bank.
      {0, 0, 1},
      // Past the check: the flusher waits for it and takes it.
      {1, 1, 0},
  };
  for (const Case& c : cases) {
    Gate g;
    g.pausePhase = c.pausePhase;
    gate = &g;
    lfmHitCountController::testHook.store(Hook);
    std::atomic<int> active{0};
    lfmHitCountController counter("k");
    std::thread counting([&] { counter.Increment(active, 100); });
    std::unique_lock<std::mutex> lock(g.mu);
    g.cv.wait(lock, [&] { return g.paused; });
    lock.unlock();

    active.store(1);
    lfmHitCountController::Counts taken;
    std::thread flushing([&] {
      taken = counter.Take(0);
      std::lock_guard<std::mutex> done(g.mu);
      g.flushed = true;
      g.cv.notify_all();
    });
    lock.lock();
    g.cv.wait(lock, [&] { return g.flusherWaiting || g.flushed; });
    g.released = true;
    g.cv.notify_all();
    lock.unlock();
    counting.join();
    flushing.join();
    lfmHitCountController::testHook.store(nullptr);

    lfmHitCountController::Counts left = counter.Take(1);
    EXPECT_EQ(taken.count, c.takenFromOldBank) << c.pausePhase;
    EXPECT_EQ(left.count, c.leftInNewBank) << c.pausePhase;
    const lfmHitCountController::Counts& counted = taken.count ? taken : left;
    EXPECT_EQ(counted.first, 100) << c.pausePhase;
    EXPECT_EQ(counted.last, 100) << c.pausePhase;
  }
}

}  // namespace
