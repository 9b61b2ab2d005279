#include "runtime/lfmthread.h"

#include <algorithm>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "platform/lfmplatform.h"
#include "runtime/lfmcondition.h"

namespace {
std::atomic<int32_t> g_liveObjects{0};

constexpr uint32_t kKillGraceMs = 3000;
constexpr uint32_t kKillSliceMs = 50;

int32_t ClampPriority(int32_t p) {
  return (p >= 0 && p <= 4) ? p : lfmThread::kNormal;
}
}  // namespace

lfmThread::lfmThread() {
  g_liveObjects.fetch_add(1);
}

lfmThread::~lfmThread() {
  {
    lfmScopedGuard guard(mu_);
    ReleaseThreadLocked();
  }
  g_liveObjects.fetch_sub(1);
}

int32_t lfmThread::LiveObjects() {
  return g_liveObjects.load();
}

int32_t lfmThread::LastError() const {
  lfmScopedGuard guard(mu_);
  return lastError_;
}

std::string lfmThread::LastErrorText() const {
  return lfmPlatform::Current()->ErrorText(LastError());
}

lfmThread::State lfmThread::GetState() const {
  lfmScopedGuard guard(mu_);
  return state_;
}

std::thread::id lfmThread::ThreadId() const {
  lfmScopedGuard guard(mu_);
  return id_;
}

// Caller holds mu_.
void lfmThread::ReleaseThreadLocked() {
  bool done = false;
  if (shared_) {
    std::lock_guard<std::mutex> lock(shared_->mu);
    // A thread started suspended and never resumed would wait forever; it
    // is let go without running its function, whose argument may belong to
    // an owner that is going away.
    if (!shared_->released) {
      shared_->cancelled = true;
      shared_->released = true;
      shared_->cv.notify_all();
    }
    done = shared_->done || shared_->cancelled;
  }
  if (!thread_.joinable())
    return;
  if (done) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

void lfmThread::Body(std::shared_ptr<Shared> shared, Function fn, void* arg) {
  {
    std::unique_lock<std::mutex> lock(shared->mu);
    shared->cv.wait(lock, [&] { return shared->released; });
    if (shared->cancelled) {
      shared->done = true;
      shared->cv.notify_all();
      return;
    }
  }
  lfmPlatform::Current()->SetCurrentThreadPriority(shared->priority.load());
  uint32_t code = fn(arg);
  std::lock_guard<std::mutex> lock(shared->mu);
  shared->done = true;
  shared->exitCode = code;
  shared->cv.notify_all();
}

int32_t lfmThread::Start(Function fn, void* arg, uint32_t /*stackSize*/, uint32_t flags,
                         int32_t* err) {
  lfmScopedGuard guard(mu_);
  ReleaseThreadLocked();
  auto shared = std::make_shared<Shared>();
  shared->released = (flags & kStartSuspended) == 0;
  shared->priority.store(priority_);
  try {
    thread_ = std::thread(&lfmThread::Body, shared, fn, arg);
  } catch (const std::system_error& e) {
    lastError_ = e.code().value();
    if (err)
      *err = lastError_;
    return kError;
  }
  shared_ = shared;
  id_ = thread_.get_id();
  if (flags & kStartDetached) {
    thread_.detach();
    state_ = kDetached;
  } else if (flags & kStartSuspended) {
    state_ = kSuspended;
  } else {
    state_ = kRunning;
  }
  return 0;
}

void lfmThread::RecordCurrentThreadId() {
  lfmScopedGuard guard(mu_);
  id_ = std::this_thread::get_id();
}

int32_t lfmThread::Suspend() {
  lfmScopedGuard guard(mu_);
  lastError_ = state_ == kRunning ? ENOTSUP : EINVAL;
  return kError;
}

int32_t lfmThread::Resume() {
  lfmScopedGuard guard(mu_);
  if (state_ != kSuspended || !shared_) {
    lastError_ = EINVAL;
    return kError;
  }
  {
    std::lock_guard<std::mutex> lock(shared_->mu);
    shared_->released = true;
    shared_->cv.notify_all();
  }
  state_ = kRunning;
  return 0;
}

int32_t lfmThread::Detach() {
  lfmScopedGuard guard(mu_);
  ReleaseThreadLocked();
  state_ = kDetached;
  return 0;
}

std::shared_ptr<lfmThread::Shared> lfmThread::CurrentShared(State* state) const {
  lfmScopedGuard guard(mu_);
  if (state)
    *state = state_;
  return shared_;
}

template <typename Pred>
bool lfmThread::WaitFor(Shared& shared, uint32_t timeoutMs, Pred pred) {
  std::unique_lock<std::mutex> lock(shared.mu);
  if (timeoutMs == kInfinite) {
    shared.cv.wait(lock, pred);
    return true;
  }
  return shared.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

void lfmThread::SignalStop() {
  std::shared_ptr<Shared> shared = CurrentShared();
  if (!shared)
    return;
  std::lock_guard<std::mutex> lock(shared->mu);
  shared->stop = true;
  shared->cv.notify_all();
}

bool lfmThread::StopRequested() const {
  std::shared_ptr<Shared> shared = CurrentShared();
  if (!shared)
    return false;
  std::lock_guard<std::mutex> lock(shared->mu);
  return shared->stop;
}

int32_t lfmThread::WaitForStop(int32_t* err, uint32_t timeoutMs) {
  State state;
  std::shared_ptr<Shared> shared = CurrentShared(&state);
  if (state == kDetached)
    return kWasDetached;
  if (!shared) {
    if (err)
      *err = EINVAL;
    return kError;
  }
  return WaitFor(*shared, timeoutMs, [&] { return shared->stop; }) ? kStopSignalled : 0;
}

bool lfmThread::StopAndJoin(lfmMutex& lock, lfmCondition& wake, uint32_t timeoutMs) {
  constexpr uint32_t kSliceMs = 100;
  SignalStop();
  uint32_t waited = 0;
  uint32_t exitCode = 0;
  int32_t err = 0;
  int32_t joined = kTimedOut;
  do {
    if (lock.TryAcquire()) {
      wake.Signal();
      lock.Unlock();
    }
    const uint32_t slice = std::min(kSliceMs, timeoutMs - waited);
    joined = Join(&exitCode, &err, slice);
    waited += slice;
  } while (joined == kTimedOut && waited < timeoutMs);
  if (joined == 0)
    return true;
  Kill();
  return false;
}

bool lfmThread::IsAlive() const {
  std::shared_ptr<Shared> shared = CurrentShared();
  if (!shared)
    return false;
  std::lock_guard<std::mutex> lock(shared->mu);
  return !shared->done;
}

int32_t lfmThread::Join(uint32_t* exitCode, int32_t* err, uint32_t timeoutMs) {
  State state;
  std::shared_ptr<Shared> shared = CurrentShared(&state);
  if (!shared) {
    if (err)
      *err = EINVAL;
    return kError;
  }
  if (!WaitFor(*shared, timeoutMs, [&] { return shared->done; }))
    return kTimedOut;
  if (exitCode) {
    std::lock_guard<std::mutex> lock(shared->mu);
    *exitCode = shared->exitCode;
  }
  lfmScopedGuard guard(mu_);
  if (shared_ == shared && thread_.joinable())
    thread_.join();
  return state == kDetached ? kWasDetached : 0;
}

int32_t lfmThread::Kill() {
  SignalStop();
  // The grace period is slept in slices so that a thread that heeds the stop
  // is not waited for any longer than it needs.
  for (uint32_t slept = 0; slept < kKillGraceMs && IsAlive(); slept += kKillSliceMs) {
    lfmPlatform::Current()->SleepMs(kKillSliceMs);
  }
  if (!IsAlive())
    return 0;
  lfmScopedGuard guard(mu_);
  if (shared_) {
    std::lock_guard<std::mutex> lock(shared_->mu);
    shared_->exitCode = kKilledExitCode;
  }
  ReleaseThreadLocked();
  state_ = kDetached;
  lastError_ = ENOTSUP;
  return kError;
}

int32_t lfmThread::GetPriority() const {
  lfmScopedGuard guard(mu_);
  return priority_;
}

int32_t lfmThread::SetPriority(int32_t priority) {
  lfmScopedGuard guard(mu_);
  priority_ = ClampPriority(priority);
  if (shared_)
    shared_->priority.store(priority_);
  if (thread_.joinable() && std::this_thread::get_id() == id_) {
    lfmPlatform::Current()->SetCurrentThreadPriority(priority_);
  }
  return 0;
}
