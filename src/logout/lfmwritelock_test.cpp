// The log stream's write lock: re-entry by its holder, and exclusion with
// the sleeping path taken when a holder keeps it long.

#include "logout/lfmwritelock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

TEST(WriteLock, AHolderEntersAgainAndOthersGetItOnlyAfterItsLastRelease) {
  lfmWriteLock lock;
  auto otherGets = [&] {
    bool got = false;
    std::thread other([&] {
      got = lock.TryAcquire();
      if (got)
        lock.Unlock();
    });
    other.join();
    return got;
  };
  lock.Lock();
  ASSERT_TRUE(lock.TryAcquire());
  lock.Lock();
  EXPECT_FALSE(otherGets());
  lock.Unlock();
  lock.Unlock();
  EXPECT_FALSE(otherGets());
  lock.Unlock();
  EXPECT_TRUE(otherGets());
}

TEST(WriteLock, ContendedHoldersExcludeEachOtherAndSleepersAreWoken) {
  struct Case {
    const char* what;
    int threads;
    int rounds;
    int longHoldEvery;  // every n-th hold lasts a millisecond (0: none)
  };
  const Case cases[] = {
      {"short holds: spinners", 4, 20000, 0},
      {"long holds: sleepers", 4, 400, 10},
      {"one long hold each", 8, 50, 50},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    lfmWriteLock lock;
    int64_t count = 0;  // guarded by the lock alone
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < c.threads; ++t) {
      threads.emplace_back([&] {
        for (int i = 1; i <= c.rounds; ++i) {
          lfmWriteLockGuard guard(lock);
          if (inside.fetch_add(1) != 0)
            ++overlaps;
          ++count;
          if (c.longHoldEvery && i % c.longHoldEvery == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          inside.fetch_sub(1);
        }
      });
    }
    for (std::thread& t : threads)
      t.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(count, static_cast<int64_t>(c.threads) * c.rounds);
    EXPECT_TRUE(lock.TryAcquire());
    lock.Unlock();
  }
}

}  // namespace
