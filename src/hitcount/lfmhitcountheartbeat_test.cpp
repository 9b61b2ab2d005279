// The hit count heartbeat: its hour-aligned schedule on the test clock, the
// clock going back, the wait after a slow flush, a failing flush or
// publication, restart and stop.

#include "hitcount/lfmhitcountheartbeat.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/stderrcapture.h"
#include "tests/support/temproot.h"
#include "util/lfmclock.h"
#include "util/whexception.h"

namespace {

using Flushed = std::pair<time_t, time_t>;  // flush time, interval time

// Replaces the pool with recorders; the clock is the test clock.
class HitCountHeartBeatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lfmHitCountHeartBeat::SetFlushForTest([this](time_t f, time_t i) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        flushes_.emplace_back(f, i);
      }
      if (onFlush_)
        onFlush_();
    });
    lfmHitCountHeartBeat::SetPublishForTest([this](time_t h) {
      std::lock_guard<std::mutex> lock(mu_);
      published_.push_back(h);
    });
  }
  void TearDown() override {
    lfmHitCountHeartBeat::SetFlushForTest(nullptr);
    lfmHitCountHeartBeat::SetPublishForTest(nullptr);
    lfmHitCountHeartBeat::SetTimingForTest(0, 0);
    lfmClock::ReleaseForTest();
  }
  // Starts the schedule at `start` and lets the thread's waits run out
  // `ticks` times, the clock moving by each wait; returns the last time.
  time_t Run(time_t start, int ticks) {
    lfmClock::SetSecondsForTest(start);
    time_t now = start;
    int64_t wait = lfmHitCountHeartBeat::Synchronize(now);
    for (int i = 0; i < ticks; ++i) {
      now += wait;
      lfmClock::SetSecondsForTest(now);
      wait = lfmHitCountHeartBeat::Tick(now);
    }
    return now;
  }
  std::vector<Flushed> Flushes() {
    std::lock_guard<std::mutex> lock(mu_);
    return flushes_;
  }
  std::vector<time_t> Published() {
    std::lock_guard<std::mutex> lock(mu_);
    return published_;
  }

  std::mutex mu_;
  std::vector<Flushed> flushes_;
  std::vector<time_t> published_;
  std::function<void()> onFlush_;  // called inside the recorded flush; set before it runs
};

time_t At(int hour, int minute, int second = 0) {
  return UtcTime(2004, 5, 7, hour, minute, second);
}

// The first flush falls on the next minute that is a multiple of the rate.
TEST_F(HitCountHeartBeatTest, FlushesOnTheRateAndAdvancesTheHourAtTheFirstFlushAfterIt) {
  struct Case {
    const char* rate;
    time_t start;
    int ticks;
    std::vector<Flushed> flushes;
    std::vector<time_t> published;
  } cases[] = {
      {"20",
       At(10, 7, 30),
       5,
       {{At(10, 20, 30), At(10, 0)},
        {At(10, 40, 30), At(10, 0)},
        {At(11, 0, 30), At(10, 0)},
        {At(11, 20, 30), At(11, 0)},
        {At(11, 40, 30), At(11, 0)}},
       {At(10, 0), At(11, 0)}},
      {"30",
       At(10, 59, 59),
       2,
       {{At(11, 0, 59), At(10, 0)}, {At(11, 30, 59), At(11, 0)}},
       {At(10, 0), At(11, 0)}},
      {"12",
       At(23, 24),  // on a slot: the next one
       3,
       {{At(23, 36), At(23, 0)}, {At(23, 48), At(23, 0)}, {UtcTime(2004, 5, 8), At(23, 0)}},
       {At(23, 0), UtcTime(2004, 5, 8)}},
  };
  for (const Case& c : cases) {
    TempRoot root(std::string("[logserver]\ntrackhitcount = true\nhitcountflushrate = ") + c.rate +
                  "\n");
    flushes_.clear();
    published_.clear();
    Run(c.start, c.ticks);
    EXPECT_EQ(Flushes(), c.flushes) << c.rate;
    EXPECT_EQ(Published(), c.published) << c.rate;
  }
}

TEST_F(HitCountHeartBeatTest, ClockChangesFlushWithTheOldTimesAndFollowTheClock) {
  TempRoot root("[logserver]\ntrackhitcount = true\nhitcountflushrate = 20\n");
  Run(At(10, 7, 30), 1);  // flushed at 10:20:30
  flushes_.clear();
  published_.clear();

  lfmClock::SetSecondsForTest(At(9, 25, 10));
  EXPECT_EQ(lfmHitCountHeartBeat::Tick(At(9, 25, 10)), 15 * 60);
  EXPECT_EQ(Flushes(), (std::vector<Flushed>{{At(10, 20, 30), At(10, 0)}}));
  EXPECT_EQ(Published(), (std::vector<time_t>{At(9, 0)}));
  EXPECT_EQ(lfmHitCountHeartBeat::LastFlush(), At(9, 25, 10));
  EXPECT_EQ(lfmHitCountHeartBeat::HourStart(), At(9, 0));

  // A wake-up before the slot by the wall clock waits out the rest only.
  EXPECT_EQ(lfmHitCountHeartBeat::Tick(At(9, 39, 0)), 70);
  EXPECT_EQ(Flushes().size(), 1u);
  lfmClock::SetSecondsForTest(At(9, 40, 10));
  EXPECT_EQ(lfmHitCountHeartBeat::Tick(At(9, 40, 10)), 20 * 60);
  EXPECT_EQ(Flushes().back(), Flushed(At(9, 40, 10), At(9, 0)));

  // A jump forward of hours publishes the hour the clock is in, not the next.
  lfmClock::SetSecondsForTest(At(12, 5));
  lfmHitCountHeartBeat::Tick(At(12, 5));
  EXPECT_EQ(Flushes().back(), Flushed(At(12, 5), At(9, 0)));
  EXPECT_EQ(Published().back(), At(12, 0));
}

TEST_F(HitCountHeartBeatTest, NextWaitIsInSecondsLessTheFlushTimeAndHeldToOneSecondToTheRate) {
  struct Case {
    int64_t flushTakes;  // seconds the test clock moves during the flush
    int64_t wait;
  } cases[] = {
      {0, 1200}, {5, 1195}, {1199, 1},
      {1200, 1}, {5000, 1}, {-300, 1200},  // the clock went back during the flush
  };
  TempRoot root("[logserver]\ntrackhitcount = true\nhitcountflushrate = 20\n");
  for (const Case& c : cases) {
    onFlush_ = [&] { lfmClock::AdvanceForTest(c.flushTakes * 1000000); };
    Run(At(10, 7, 30), 0);
    lfmClock::SetSecondsForTest(At(10, 20, 30));
    EXPECT_EQ(lfmHitCountHeartBeat::Tick(At(10, 20, 30)), c.wait) << c.flushTakes;
    EXPECT_EQ(lfmHitCountHeartBeat::LastFlush(), At(10, 20, 30)) << c.flushTakes;
  }
}

// A flush or publication that throws is reported and the schedule goes on:
// the next slot flushes, and a publication that failed is made again.
TEST_F(HitCountHeartBeatTest, AFailedFlushOrPublicationIsReportedAndTheScheduleGoesOn) {
  struct Case {
    const char* name;
    bool failFlush;  // else the publication fails
    bool whFault;    // a whException, else an unknown exception
    std::vector<Flushed> flushes;
    std::vector<time_t> published;
  } cases[] = {
      {"flush",
       true,
       true,
       {{At(10, 20, 30), At(10, 0)}, {At(10, 40, 30), At(10, 0)}},
       {At(10, 0)}},
      {"publication",
       false,
       false,
       {{At(10, 20, 30), At(10, 0)}, {At(10, 40, 30), At(10, 0)}},
       {At(10, 0), At(10, 0)}},
  };
  for (const Case& c : cases) {
    TempRoot root("[logserver]\ntrackhitcount = true\nhitcountflushrate = 20\n");
    StdErrCapture err;
    flushes_.clear();
    published_.clear();
    int throws = 1;
    auto fault = [&] {
      if (throws-- <= 0)
        return;
      if (c.whFault)
        throw whException("lfmX", "Run()", "./src/lfmx.cpp", 7, 1000, "flush fault");
      throw 42;
    };
    if (c.failFlush) {
      onFlush_ = fault;
    } else {
      lfmHitCountHeartBeat::SetPublishForTest([&](time_t h) {
        {
          std::lock_guard<std::mutex> lock(mu_);
          published_.push_back(h);
        }
        fault();
      });
    }
    lfmClock::SetSecondsForTest(At(10, 7, 30));
    EXPECT_EQ(lfmHitCountHeartBeat::Synchronize(At(10, 7, 30)), 13 * 60) << c.name;
    lfmClock::SetSecondsForTest(At(10, 20, 30));
    EXPECT_EQ(lfmHitCountHeartBeat::Tick(At(10, 20, 30)), 20 * 60) << c.name;
    lfmClock::SetSecondsForTest(At(10, 40, 30));
    EXPECT_EQ(lfmHitCountHeartBeat::Tick(At(10, 40, 30)), 20 * 60) << c.name;
    EXPECT_EQ(Flushes(), c.flushes) << c.name;
    EXPECT_EQ(Published(), c.published) << c.name;
    if (c.whFault)
      EXPECT_EQ(Count(root.Read("log/kyr.audit"),
                      "flush fault\nCurrent Method: lfmHitCountHeartBeat::HitCountHeartBeat()"),
                1u)
          << c.name;
    else
      EXPECT_EQ(err.Text(),
                "Caught unknown exception in lfmHitCountHeartBeat::HitCountHeartBeat()\n")
          << c.name;
    onFlush_ = nullptr;
    SetUp();
  }
}

// Polls `done` for up to a minute (a deadline for a broken build, not a
// timing: a working one passes at once).
bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 12000 && !done(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return done();
}

TEST_F(HitCountHeartBeatTest, SecondStartOnlyReportsAndStopEndsTheWaitingThread) {
  TempRoot root("[logserver]\ntrackhitcount = true\nhitcountflushrate = 20\n");
  lfmHitCountHeartBeat::Start();
  EXPECT_TRUE(lfmHitCountHeartBeat::IsStarted());
  lfmHitCountHeartBeat::Start();
  EXPECT_TRUE(lfmHitCountHeartBeat::IsStarted());
  ASSERT_TRUE(Eventually([&] { return !Published().empty(); }));
  lfmHitCountHeartBeat::Stop();  // wakes the thread in its 20-minute wait
  EXPECT_FALSE(lfmHitCountHeartBeat::IsStarted());
  EXPECT_FALSE(lfmHitCountHeartBeat::ThreadAlive());
  const std::string audit = root.Read("log/kyr.audit");
  EXPECT_EQ(Count(audit, "Attempted to restart the HitCountHeartBeat"), 1u);
  EXPECT_EQ(Count(audit, "not gracefully"), 0u);
  EXPECT_EQ(Published().size(), 1u);
  EXPECT_TRUE(Flushes().empty());
}

TEST_F(HitCountHeartBeatTest, StopAbandonsAThreadHungInAFlushAndReportsIt) {
  TempRoot root("[logserver]\ntrackhitcount = true\nhitcountflushrate = 20\n");
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> inFlush{false};
  onFlush_ = [&] {
    inFlush = true;
    released.wait();
  };
  lfmHitCountHeartBeat::SetTimingForTest(50, 5);
  lfmClock::SetSecondsForTest(At(10, 7, 30));
  lfmHitCountHeartBeat::Start();
  ASSERT_TRUE(Eventually([&] { return !Published().empty(); }));
  lfmClock::SetSecondsForTest(At(10, 20, 30));  // the thread's next look flushes
  ASSERT_TRUE(Eventually([&] { return inFlush.load(); }));

  auto stop = std::async(std::launch::async, [] { lfmHitCountHeartBeat::Stop(); });
  const bool returned = stop.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  release.set_value();
  EXPECT_TRUE(returned) << "Stop() waited for the hung flush";
  stop.get();
  EXPECT_FALSE(lfmHitCountHeartBeat::IsStarted());
  EXPECT_EQ(Count(root.Read("log/kyr.audit"),
                  "The hit count heart beat thread was not gracefully shutdown."),
            1u);
  // The abandoned thread ends once its flush returns.
  EXPECT_TRUE(Eventually([] { return lfmHitCountHeartBeat::BodiesRunning() == 0; }));
  EXPECT_EQ(Flushes(), (std::vector<Flushed>{{At(10, 20, 30), At(10, 0)}}));
}

}  // namespace
