#include "logout/lfmlogfilecontrollerpool.h"

#include <atomic>
#include <cassert>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "diag/lfmdebuglog.h"
#include "diag/lfmexceptioncontroller.h"
#include "logout/lfmlogfilecontroller.h"
#include "logout/lfmlogstream.h"
#include "runtime/lfmmutex.h"
#include "runtime/lfmthreadlocal.h"
#include "util/lfmclock.h"
#include "util/lfmstderr.h"
#include "util/whexceptiontexts.h"

namespace {

const char kModule[] = "./src/logout/lfmlogfilecontrollerpool.cpp";

using ControllerPtr = std::shared_ptr<lfmLogFileController>;

struct Pool {
  lfmMutex lock;
  // Changes whenever the set of controllers may lose members (initialise,
  // shut down), so that a thread's remembered controller is asked for again.
  std::atomic<uint64_t> generation{1};
#ifndef NDEBUG
  // Open lfmLogFileControllerPool::Writing scopes.
  std::atomic<int> writing{0};
#endif
  bool initialized LFM_GUARDED_BY(lock) = false;
  int32_t maxHandleCount LFM_GUARDED_BY(lock) = 0;
  std::unordered_map<std::string, ControllerPtr> controllers LFM_GUARDED_BY(lock){100};
  std::deque<std::string> queue LFM_GUARDED_BY(lock);
};

Pool& State() {
  static Pool* pool = new Pool;
  return *pool;
}

void CheckInitialized(const Pool& p, const char* method) LFM_REQUIRES(p.lock) {
  if (!p.initialized)
    throw whException("lfmLogFileControllerPool", method, kModule, __LINE__,
                      whText::kIncorrectUsage,
                      "The log file controller was not properly initialized.");
}

// Under the pool lock. `fileKey` names the files of a controller created here.
ControllerPtr FindOrCreate(Pool& p, const std::string& key, const std::string& fileKey)
    LFM_REQUIRES(p.lock) {
  auto it = p.controllers.find(key);
  if (it != p.controllers.end())
    return it->second;
  ControllerPtr c = std::make_shared<lfmLogFileController>(fileKey, key);
  p.controllers.emplace(key, c);
  return c;
}

std::vector<ControllerPtr> Snapshot() {
  Pool& p = State();
  lfmScopedGuard guard(p.lock);
  std::vector<ControllerPtr> all;
  all.reserve(p.controllers.size());
  for (auto& entry : p.controllers)
    all.push_back(entry.second);
  return all;
}

template <class Step>
void Walk(const char* method, const char* unknownLine, Step step) {
  try {
    for (const ControllerPtr& c : Snapshot())
      step(*c);
  } catch (const whException& e) {
    lfmExceptionController::ProcessException(e, whMethodId("lfmLogFileControllerPool", method));
  } catch (...) {
    lfmStdErr::WriteLine(unknownLine);
  }
}

}  // namespace

void lfmLogFileControllerPool::Initialize(int32_t maxHandleCount, const char* header) {
  Pool& p = State();
  lfmScopedGuard guard(p.lock);
  if (p.initialized)
    return;
  p.maxHandleCount = maxHandleCount;
  if (maxHandleCount < 1)
    throw whException("lfmLogFileControllerPool", "Initialize", kModule, __LINE__,
                      whText::kIncorrectUsage,
                      ("An invalid MaxHandleCount (" + std::to_string(maxHandleCount) +
                       ").  Must be greater than zero.")
                          .c_str());
  lfmLogFileController::SetLogFileHeader(header);
  p.initialized = true;
  p.generation.fetch_add(1, std::memory_order_acq_rel);
}

lfmLogFileController* lfmLogFileControllerPool::GetLogFileController(const std::string& fileKey,
                                                                     int32_t latencyClass) {
  lfmLogStream stream;  // a local: see lfmLogStream on per-thread copies
  lfmLogStream::ForKey(fileKey, latencyClass, stream);
  return GetLogFileController(stream);
}

lfmLogFileController* lfmLogFileControllerPool::GetLogFileController(const lfmLogStream& stream) {
  const std::string& key = stream.poolKey;
  Pool& p = State();
  // Each thread remembers the controller of its last key: hits of one
  // stream then find their controller without the pool lock. Controllers
  // leave the pool only when it shuts down, which changes the generation.
  struct Remembered {
    uint64_t generation = 0;
    std::string key;
    lfmLogFileController* controller = nullptr;
  };
  static lfmThreadLocal<Remembered> remembered;
  std::optional<Remembered> fallback;
  Remembered& last = remembered.Get(fallback);
  if (last.controller && last.generation == p.generation.load(std::memory_order_acquire) &&
      last.key == key)
    return last.controller;
  lfmScopedGuard guard(p.lock);
  CheckInitialized(p, "GetLogFileController");
  lfmLogFileController* c = FindOrCreate(p, key, stream.fileKey).get();
  last.generation = p.generation.load(std::memory_order_relaxed);
  last.key = key;
  last.controller = c;
  return c;
}

bool lfmLogFileControllerPool::ReserveHandle(const std::string& fileKey, bool withoutEviction) {
  Pool& p = State();
  size_t rounds;
  {
    lfmScopedGuard guard(p.lock);
    CheckInitialized(p, "ReserveHandle(int)");
    if (p.queue.size() < static_cast<size_t>(p.maxHandleCount)) {
      p.queue.push_back(fileKey);
      return true;
    }
    if (withoutEviction)
      return false;
    rounds = p.queue.size();
  }
  // Evict the oldest grants, never holding the pool lock while a controller
  // releases, never waiting for a controller that is busy.
  bool released = false;
  bool emptied = false;
  bool skippedClosed = false;  // a queued key whose file was already closed
  std::vector<std::string> busyKeys;
  // Busy controllers keep their handle: they go back into the queue, also
  // when an eviction fails.
  auto requeueBusy = [&p, &busyKeys]() LFM_REQUIRES(p.lock) {
    for (std::string& k : busyKeys)
      p.queue.push_back(std::move(k));
    busyKeys.clear();
  };
  try {
    while (!released && rounds-- > 0) {
      ControllerPtr victim;
      std::string victimKey;
      {
        lfmScopedGuard guard(p.lock);
        if (p.queue.empty()) {
          emptied = true;
          break;
        }
        victimKey = p.queue.front();
        p.queue.pop_front();
        victim = FindOrCreate(p, victimKey, victimKey);
      }
      bool busy = false;
      released = victim->TryReleaseHandle(&busy);
      if (busy)
        busyKeys.push_back(victimKey);
      else if (!released)
        skippedClosed = true;
    }
  } catch (...) {
    lfmScopedGuard guard(p.lock);
    requeueBusy();
    throw;
  }
  int32_t budget;
  size_t holders;
  {
    lfmScopedGuard guard(p.lock);
    if (!released && p.queue.empty())
      emptied = true;
    requeueBusy();
    p.queue.push_back(fileKey);
    budget = p.maxHandleCount;
    holders = p.queue.size();
  }
  if (!released && emptied && skippedClosed)
    lfmDebugLog::Instance().Log(MESS_LOG_FILE_UNRELEASED_HANDLE);
  // Not waiting for a busy controller is deliberate (it may be waiting for
  // this caller); the handle is granted all the same, so when that puts the
  // grants past the budget the operator is told.
  if (!released && holders > static_cast<size_t>(budget)) {
    std::string count = std::to_string(budget);
    lfmDebugLog::Instance().Log(MESS_LOG_FILE_HANDLE_OVER_BUDGET, count.c_str());
  }
  return true;
}

void lfmLogFileControllerPool::FlushControllers(time_t now) {
  if (now == 0)
    now = lfmClock::Now();
  Walk("FlushControllers()",
       "Caught unknown exception in lfmLogFileControllerPool::FlushControllers()",
       [now](lfmLogFileController& c) { c.Flush(now); });
  // Refusals of new streams that no later refusal has reported yet.
  lfmLogStream::ReportRefusals(now);
}

void lfmLogFileControllerPool::ReleaseInactiveFiles(time_t now) {
  if (now == 0)
    now = lfmClock::Now();
  Walk("ReleaseInactiveFiles()",
       "Caught unknown exception in lfmLogFileControllerPool::ReleaseInactiveFiles()",
       [now](lfmLogFileController& c) { c.CheckRotation(now); });
}

void lfmLogFileControllerPool::ShutDown() {
  std::unordered_map<std::string, ControllerPtr> closing;
  {
    Pool& p = State();
    lfmScopedGuard guard(p.lock);
    if (!p.initialized)
      return;
#ifndef NDEBUG
    assert(p.writing.load() == 0 && "log file controllers shut down under a hit in flight");
#endif
    p.initialized = false;
    p.generation.fetch_add(1, std::memory_order_acq_rel);
    closing.swap(p.controllers);
    p.queue.clear();
  }
  // Destroyed outside the pool lock: each writes out and closes its files.
  closing.clear();
  // The next start admits streams afresh.
  lfmLogStream::ForgetAdmitted();
}

#ifndef NDEBUG
lfmLogFileControllerPool::Writing::Writing() {
  State().writing.fetch_add(1, std::memory_order_relaxed);
}

lfmLogFileControllerPool::Writing::~Writing() {
  State().writing.fetch_sub(1, std::memory_order_relaxed);
}
#endif

bool lfmLogFileControllerPool::IsInitialized() {
  Pool& p = State();
  lfmScopedGuard guard(p.lock);
  return p.initialized;
}

size_t lfmLogFileControllerPool::QueuedHandles() {
  Pool& p = State();
  lfmScopedGuard guard(p.lock);
  return p.queue.size();
}
