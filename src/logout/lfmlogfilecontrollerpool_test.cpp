// The controller pool: initialisation, the handle budget with first-in
// first-out eviction, lazy files for refused controllers, shared files.

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <thread>

#include "logout/lfmlogfilecontroller.h"
#include "logout/lfmlogfilecontrollerpool.h"
#include "tests/support/temproot.h"

namespace {

const char kSplit[] =
    "[logrotation]\ngmtrotation = true\nlogfiledir = %zr_root%\\weblog\\\n"
    "[logserver]\nhostedmodel = true\nsplitlogs = true\n";

TEST(LogFileControllerPool, RefusesUseBeforeInitialisationAndABudgetBelowOne) {
  TempRoot root;
  EXPECT_EQ(ThrownText([] { lfmLogFileControllerPool::GetLogFileController("k"); }),
            "1010 lfmLogFileControllerPool Incorrect usage: The log file controller was not "
            "properly initialized.");
  EXPECT_EQ(ThrownText([] { lfmLogFileControllerPool::Initialize(0, "h"); }),
            "1010 lfmLogFileControllerPool Incorrect usage: An invalid MaxHandleCount (0).  Must "
            "be greater than zero.");
  lfmLogFileControllerPool::Initialize(1, "h");
  lfmLogFileControllerPool::ShutDown();
  EXPECT_NE(ThrownText([] { lfmLogFileControllerPool::ReserveHandle("k", true); }), "no exception");
}

TEST(LogFileControllerPool, BudgetOfTwoEvictsTheOldestGrantAndTheThirdSiteWritesLazily) {
  TempRoot root(kSplit);
  lfmLogFileControllerPool::Initialize(2, "#H\r\n");
  const time_t t = UtcTime(2004, 5, 7, 13);
  auto* a = lfmLogFileControllerPool::GetLogFileController("A");
  auto* b = lfmLogFileControllerPool::GetLogFileController("B");
  auto* c = lfmLogFileControllerPool::GetLogFileController("C");
  a->Write(t, "a1\r\n", 4, t, 2);
  b->Write(t, "b1\r\n", 4, t, 2);
  c->Write(t, "c1\r\n", 4, t, 2);
  // C was refused a handle: it gathers its lines without holding a file.
  EXPECT_TRUE(a->IsFileOpen());
  EXPECT_TRUE(b->IsFileOpen());
  EXPECT_FALSE(c->IsFileOpen());
  EXPECT_EQ(lfmLogFileControllerPool::QueuedHandles(), 2u);

  // An open that may evict closes the oldest grant: A, then B.
  EXPECT_TRUE(lfmLogFileControllerPool::ReserveHandle("C", false));
  EXPECT_FALSE(a->IsFileOpen());
  EXPECT_TRUE(b->IsFileOpen());
  EXPECT_TRUE(lfmLogFileControllerPool::ReserveHandle("A", false));
  EXPECT_FALSE(b->IsFileOpen());
  EXPECT_EQ(lfmLogFileControllerPool::QueuedHandles(), 2u);

  a->Write(t + 1, "a2\r\n", 4, t + 1, 2);
  c->Write(t + 1, "c2\r\n", 4, t + 1, 2);
  lfmLogFileControllerPool::ShutDown();
  EXPECT_EQ(root.Read("weblog/A_hlg_may_07_2004.log"), "#Remark: KYR-p\r\n#H\r\na1\r\na2\r\n");
  EXPECT_EQ(root.Read("weblog/B_hlg_may_07_2004.log"), "#Remark: KYR-p\r\n#H\r\nb1\r\n");
  EXPECT_EQ(root.Read("weblog/C_hlg_may_07_2004.log"), "#Remark: KYR-p\r\n#H\r\nc1\r\nc2\r\n");
}

TEST(LogFileControllerPool, QueueOfClosedFilesIsReportedAndTheHandleGrantedAnyway) {
  TempRoot root(std::string(kSplit) + "[auditlog]\ndebuglevel = 2\n");
  lfmLogFileControllerPool::Initialize(2, "#H\r\n");
  const time_t t = UtcTime(2004, 5, 7, 13);
  for (const char* key : {"A", "B"}) {
    auto* ctl = lfmLogFileControllerPool::GetLogFileController(key);
    ctl->Write(t, "x\r\n", 3, t, 2);
    EXPECT_TRUE(ctl->ReleaseHandle());
  }
  EXPECT_TRUE(lfmLogFileControllerPool::ReserveHandle("C", false));
  EXPECT_EQ(lfmLogFileControllerPool::QueuedHandles(), 1u);
  EXPECT_EQ(Count(root.Read("log/kyr.audit"),
                  "Attempted to release a handle.  No handle was released before the file "
                  "handle queue emptied."),
            1u);
}

TEST(LogFileControllerPool, EvictionNeverWaitsForABusyControllerAndKeepsItQueued) {
  const std::string overBudget = "A handle was granted beyond the maximum handle count";
  const std::string unreleased = "No handle was released before the file handle queue emptied.";
  struct Case {
    const char* what;
    int32_t budget;
    bool closedKey;  // A, queued after B, has already closed its file
    size_t queued;   // after C's grant
    size_t overBudgetMessages;
    size_t unreleasedMessages;
  } cases[] = {
      {"only a busy holder", 1, false, 2, 1, 0},
      {"a busy holder and a closed one", 2, true, 2, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempRoot root(std::string(kSplit) + "[auditlog]\ndebuglevel = 2\n");
    lfmLogFileControllerPool::Initialize(c.budget, "#H\r\n");
    const time_t t = UtcTime(2004, 5, 7, 13);
    auto* b = lfmLogFileControllerPool::GetLogFileController("B");
    b->Write(t, "b1\r\n", 4, t, 2);
    if (c.closedKey) {
      auto* a = lfmLogFileControllerPool::GetLogFileController("A");
      a->Write(t, "a1\r\n", 4, t, 2);
      ASSERT_TRUE(a->ReleaseHandle());
    }
    ASSERT_TRUE(b->IsFileOpen());
    // Another thread holds B's write lock, stuck in a write.
    root.Platform().holdWrites = true;
    const std::string big(70000, 'x');  // larger than the write buffer
    std::thread writer([&] { b->Write(t, big.data(), big.size(), t, 2); });
    while (root.Platform().heldWrites.load() == 0)
      std::this_thread::yield();
    EXPECT_TRUE(lfmLogFileControllerPool::ReserveHandle("C", false));
    EXPECT_EQ(lfmLogFileControllerPool::QueuedHandles(), c.queued);  // B keeps its handle
    std::string audit = root.Read("log/kyr.audit");
    EXPECT_EQ(Count(audit, overBudget), c.overBudgetMessages);
    EXPECT_EQ(Count(audit, unreleased), c.unreleasedMessages);
    root.Platform().holdWrites = false;
    writer.join();
    EXPECT_TRUE(b->IsFileOpen());
  }
}

TEST(LogFileControllerPool, LinesLeftByAFailedCloseAreWrittenAtShutDown) {
  TempRoot root(kSplit);
  lfmLogFileControllerPool::Initialize(2, "#H\r\n");
  const time_t t = UtcTime(2004, 5, 7, 13);
  auto* a = lfmLogFileControllerPool::GetLogFileController("A");
  a->Write(t, "a1\r\n", 4, t, 2);
  root.Platform().writeError = ENOSPC;
  EXPECT_NE(ThrownText([&] { a->ReleaseHandle(); }).find("Out of disk space"), std::string::npos);
  EXPECT_FALSE(a->IsFileOpen());
  root.Platform().writeError = 0;
  lfmLogFileControllerPool::ShutDown();
  EXPECT_EQ(root.Read("weblog/A_hlg_may_07_2004.log"), "#Remark: KYR-p\r\n#H\r\na1\r\n");
}

TEST(LogFileControllerPool, ConcurrentLookupsOfOneKeyMeetOneController) {
  TempRoot root(kSplit);
  lfmLogFileControllerPool::Initialize(5, "#H\r\n");
  std::vector<lfmLogFileController*> found(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < found.size(); ++i)
    threads.emplace_back(
        [&found, i] { found[i] = lfmLogFileControllerPool::GetLogFileController("same"); });
  for (std::thread& th : threads)
    th.join();
  EXPECT_EQ(std::set<lfmLogFileController*>(found.begin(), found.end()).size(), 1u);
}

TEST(LogFileControllerPool, KeysSharingAFileNameShareOneWriterAndOneHeader) {
  TempRoot root(
      "[logrotation]\ngmtrotation = true\nlogfiledir = %zr_root%\\weblog\\\n"
      "[logserver]\nhostedmodel = true\n");
  lfmLogFileControllerPool::Initialize(5, "#H\r\n");
  const time_t t = UtcTime(2004, 5, 7, 13);
  auto* a = lfmLogFileControllerPool::GetLogFileController("AAAAAAAAAAAAAA");
  auto* b = lfmLogFileControllerPool::GetLogFileController("BBBBBBBBBBBBBB");
  EXPECT_EQ(a, b);
  a->Write(t, "a\r\n", 3, t, 2);
  b->Write(t, "b\r\n", 3, t, 2);
  lfmLogFileControllerPool::ShutDown();
  EXPECT_EQ(root.Read("weblog/hlg_may_07_2004.log"), "#Remark: KYR-p\r\n#H\r\na\r\nb\r\n");
}

// Each thread keeps the controller of its last stream. A restart destroys
// that controller: the thread must ask the pool again, not write through it.
TEST(LogFileControllerPool, AThreadAsksForItsStreamAgainAfterARestart) {
  TempRoot root(kSplit);
  const time_t t = UtcTime(2004, 5, 7, 13);
  lfmLogFileControllerPool::Initialize(2, "#H\r\n");
  lfmLogFileControllerPool::GetLogFileController("A")->Write(t, "a1\r\n", 4, t, 2);
  lfmLogFileControllerPool::ShutDown();
  EXPECT_NE(ThrownText([] { lfmLogFileControllerPool::GetLogFileController("A"); }),
            "no exception");
  lfmLogFileControllerPool::Initialize(2, "#H\r\n");
  lfmLogFileControllerPool::GetLogFileController("A")->Write(t, "a2\r\n", 4, t, 2);
  lfmLogFileControllerPool::ShutDown();
  EXPECT_EQ(root.Read("weblog/A_hlg_may_07_2004.log"), "#Remark: KYR-p\r\n#H\r\na1\r\na2\r\n");
}

#ifndef NDEBUG
TEST(LogFileControllerPoolDeathTest, ShutDownUnderAHitInFlightIsCaughtInDebugBuilds) {
  EXPECT_DEATH(
      {
        TempRoot root(kSplit);
        lfmLogFileControllerPool::Initialize(2, "#H\r\n");
        lfmLogFileControllerPool::Writing writing;
        lfmLogFileControllerPool::ShutDown();
      },
      "hit in flight");
}
#endif

}  // namespace
