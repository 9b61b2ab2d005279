// The log heartbeat: its schedule, the clock going back, a failing step,
// restart and stop.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "logout/lfmheartbeat.h"
#include "logout/lfmlogfilecontroller.h"
#include "logout/lfmlogfilecontrollerpool.h"
#include "tests/support/stderrcapture.h"
#include "tests/support/temproot.h"
#include "util/lfmclock.h"
#include "util/whexception.h"

namespace {

// Hourly files, a flush a minute and a release check every 15 minutes; one
// line written at 13:50 and both last actions set to then.
const char kRates[] =
    "[logrotation]\ngmtrotation = true\nrotationperiod = hourly\nlogfiledir = "
    "%zr_root%\\weblog\\\n[logserver]\nheartbeatrate = 60\nbufferflushrate = 60\n"
    "filecheckrate = 900\n";
const char kFile[] = "weblog/hlg_hr14_may_07_2004.log";
const time_t kLineTime = UtcTime(2004, 5, 7, 13, 50);

lfmLogFileController* WriteOneLine() {
  lfmLogFileControllerPool::Initialize(10, "#H\r\n");
  lfmLogFileController* ctl = lfmLogFileControllerPool::GetLogFileController("NonHosted");
  ctl->Write(kLineTime, "a\r\n", 3, kLineTime, 2);
  lfmHeartBeat::SetLastActionsForTest(kLineTime);
  return ctl;
}

TEST(HeartBeat, FlushesAndReleasesByTheirRatesAndFollowsAClockThatGoesBack) {
  TempRoot root(kRates);
  const time_t t = kLineTime;
  lfmLogFileController* ctl = WriteOneLine();
  const std::string file = kFile;

  lfmHeartBeat::Tick(t + 30);  // within both rates: nothing
  EXPECT_EQ(lfmHeartBeat::LastFlush(), t);
  EXPECT_EQ(root.Read(file), "");

  lfmHeartBeat::Tick(t + 60);
  EXPECT_EQ(lfmHeartBeat::LastFlush(), t + 60);
  EXPECT_EQ(lfmHeartBeat::LastCheck(), t);
  EXPECT_EQ(root.Read(file), "#Remark: KYR-p\r\n#H\r\na\r\n");
  EXPECT_TRUE(ctl->IsFileOpen());

  lfmHeartBeat::Tick(t + 900);  // the check releases the file of the ended hour
  EXPECT_EQ(lfmHeartBeat::LastCheck(), t + 900);
  EXPECT_FALSE(ctl->IsFileOpen());

  lfmHeartBeat::Tick(t - 3600);  // clock set back: both times follow it
  EXPECT_EQ(lfmHeartBeat::LastFlush(), t - 3600);
  EXPECT_EQ(lfmHeartBeat::LastCheck(), t - 3600);
}

// A step that throws is reported and ends alone; the thread's body goes on,
// and the step's next turn does its work.
TEST(HeartBeat, AFailedStepIsReportedAndItsNextTurnDoesTheWork) {
  struct Case {
    lfmHeartBeat::Step step;
    bool whFault;         // a whException, else an unknown exception
    time_t failAt;        // the tick (after the line's time) whose step throws
    time_t nextAt;        // the step's next turn
    const char* written;  // the file's content after the failing tick
  } cases[] = {
      {lfmHeartBeat::Step::kFlush, true, 60, 120, ""},
      {lfmHeartBeat::Step::kRelease, false, 900, 1800, "#Remark: KYR-p\r\n#H\r\na\r\n"},
  };
  for (const Case& c : cases) {
    const int name = static_cast<int>(c.step);
    TempRoot root(kRates);
    const time_t t = kLineTime;
    lfmLogFileController* ctl = WriteOneLine();
    const std::string file = kFile;
    int throws = 1;
    lfmHeartBeat::SetStepHookForTest([&](lfmHeartBeat::Step step) {
      if (step != c.step || throws-- <= 0)
        return;
      if (c.whFault)
        throw whException("lfmX", "Run()", "./src/lfmx.cpp", 7, 1000, "step fault");
      throw 42;
    });
    StdErrCapture err;

    EXPECT_NO_THROW(lfmHeartBeat::Tick(t + c.failAt)) << name;
    EXPECT_EQ(root.Read(file), c.written) << name;
    EXPECT_TRUE(ctl->IsFileOpen()) << name;
    if (c.whFault)
      EXPECT_EQ(Count(root.Read("log/kyr.audit"),
                      "step fault\nCurrent Method: lfmHeartBeat::HeartBeat()"),
                1u)
          << name;
    else
      EXPECT_EQ(err.Text(), "Caught unknown exception in lfmHeartBeat::HeartBeat()\n") << name;

    lfmHeartBeat::Tick(t + c.nextAt);
    EXPECT_EQ(root.Read(file), "#Remark: KYR-p\r\n#H\r\na\r\n") << name;
    EXPECT_EQ(ctl->IsFileOpen(), c.step != lfmHeartBeat::Step::kRelease) << name;
    lfmHeartBeat::SetStepHookForTest(nullptr);
  }
}

TEST(HeartBeat, TickIntervalIsComputedWithoutWrappingAndStaysFinite) {
  struct Case {
    const char* rate;
    uint32_t ms;
  } cases[] = {
      {"1", 1000u},
      {"60", 60000u},
      {"4294967", 4294967000u},  // the last whole second below the cap
      {"4294968", 0xFFFFFFFEu},  // not 704 ms
      {"2147483647", 0xFFFFFFFEu},
  };
  for (const Case& c : cases) {
    TempRoot root(std::string("[logserver]\nheartbeatrate = ") + c.rate + "\n");
    EXPECT_EQ(lfmHeartBeat::TickIntervalMs(), c.ms) << c.rate;
  }
}

TEST(HeartBeat, SecondStartOnlyReportsAndStopEndsTheThread) {
  TempRoot root("[logserver]\nheartbeatrate = 60\n");
  lfmLogFileControllerPool::Initialize(10, "#H\r\n");
  lfmHeartBeat::Start();
  EXPECT_TRUE(lfmHeartBeat::IsStarted());
  lfmHeartBeat::Start();
  EXPECT_TRUE(lfmHeartBeat::IsStarted());
  lfmHeartBeat::Stop();  // wakes the waiting thread at once
  EXPECT_FALSE(lfmHeartBeat::IsStarted());
  std::string audit = root.Read("log/kyr.audit");
  EXPECT_EQ(Count(audit, "Attempted to restart the HeartBeat"), 1u);
  EXPECT_EQ(Count(audit, "not gracefully"), 0u);
  lfmHeartBeat::Start();  // a stopped heartbeat starts again
  EXPECT_TRUE(lfmHeartBeat::IsStarted());
  lfmHeartBeat::Stop();
}

// Polls `done` for up to a minute (a deadline for a broken build, not a
// timing: a working one passes at once).
bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 12000 && !done(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return done();
}

const char kHangConfig[] =
    "[logrotation]\nlogfiledir = %zr_root%\\weblog\\\n[logserver]\nheartbeatrate = 1\n"
    "bufferflushrate = 1\n";

// Starts the heartbeat over one buffered line and returns once its first
// tick's flush hangs in the write.
void StartWithAHungFlush(TempRoot& root) {
  lfmLogFileControllerPool::Initialize(10, "#H\r\n");
  lfmLogFileController* ctl = lfmLogFileControllerPool::GetLogFileController("NonHosted");
  const time_t now = lfmClock::Now();
  ctl->Write(now, "a\r\n", 3, now, 2);
  root.Platform().holdWrites = true;
  lfmHeartBeat::Start();
  ASSERT_TRUE(Eventually([&] { return root.Platform().heldWrites.load() > 0; }));
}

TEST(HeartBeat, StopAbandonsAThreadHungInAFlushWithinItsTimeOut) {
  TempRoot root(kHangConfig);
  StartWithAHungFlush(root);
  lfmHeartBeat::Stop();
  EXPECT_FALSE(lfmHeartBeat::IsStarted());
  EXPECT_EQ(Count(root.Read("log/kyr.audit"), "The heart beat thread was not gracefully shutdown."),
            1u);
  root.Platform().holdWrites = false;  // the abandoned thread finishes its flush and ends
  while (lfmHeartBeat::ThreadAlive())
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  lfmLogFileControllerPool::ShutDown();
  std::vector<std::string> files = ListDir(root.File("weblog"));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(Count(ReadFileText(root.File("weblog/" + files[0])), "a\r\n"), 1u);
}

TEST(HeartBeat, RestartAfterAnAbandonedThreadNeitherWaitsForItsFlushNorKeepsIt) {
  TempRoot root(kHangConfig);
  StartWithAHungFlush(root);
  lfmHeartBeat::Stop();  // abandons the thread, still hung in its flush

  auto restart = std::async(std::launch::async, [] {
    lfmHeartBeat::Start();
    return lfmHeartBeat::IsStarted();
  });
  const bool returned = restart.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  // Both bodies exist while the flush hangs: the new one waits its turn.
  const bool bothBodies = Eventually([] { return lfmHeartBeat::BodiesRunning() == 2; });
  root.Platform().holdWrites = false;
  EXPECT_TRUE(returned) << "Start() waited for the hung flush";
  EXPECT_TRUE(restart.get());
  EXPECT_TRUE(bothBodies);
  // The abandoned body ends once its flush returns; only the new one runs on.
  EXPECT_TRUE(Eventually([] { return lfmHeartBeat::BodiesRunning() == 1; }));
  lfmHeartBeat::Stop();
  EXPECT_EQ(lfmHeartBeat::BodiesRunning(), 0);
  EXPECT_EQ(Count(root.Read("log/kyr.audit"), "The heart beat thread was not gracefully shutdown."),
            1u);
  lfmLogFileControllerPool::ShutDown();
}

}  // namespace
