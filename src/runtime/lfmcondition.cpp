#include "runtime/lfmcondition.h"

#include <chrono>

#include "platform/lfmplatform.h"

lfmCondition::~lfmCondition() {
  for (int i = 0; i < 10; ++i) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (waiting_.empty())
        break;
    }
    lfmPlatform::Current()->SleepMs(50);
  }
}

uint32_t lfmCondition::TimeoutFromSeconds(int64_t seconds) {
  constexpr int64_t kLongestSeconds = kLongestTimeout / 1000;
  if (seconds <= 0)
    return 0;
  if (seconds > kLongestSeconds)
    return kLongestTimeout;
  return static_cast<uint32_t>(seconds * 1000);
}

int32_t lfmCondition::Wait(lfmMutex& m, uint32_t timeoutMs) {
  std::list<Record>::iterator rec;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // A signalled record stays kSignalled until its waiter has seen it, so
    // only records marked done may be reused.
    rec = free_.begin();
    while (rec != free_.end() && rec->state != State::kDone)
      ++rec;
    if (rec == free_.end())
      rec = free_.emplace(free_.end());
    rec->state = State::kWaiting;
    waiting_.splice(waiting_.end(), free_, rec);
  }
  m.Unlock();
  bool signalled;
  {
    std::unique_lock<std::mutex> lock(mu_);
    auto woken = [&] { return rec->state == State::kSignalled; };
    if (timeoutMs == kInfinite) {
      cv_.wait(lock, woken);
      signalled = true;
    } else {
      signalled = cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), woken);
    }
    // A signalled record was already moved to the free list by the signaller.
    if (!signalled)
      free_.splice(free_.end(), waiting_, rec);
    rec->state = State::kDone;
  }
  m.Lock();
  return signalled ? 0 : kTimedOut;
}

void lfmCondition::Signal() {
  std::lock_guard<std::mutex> lock(mu_);
  if (waiting_.empty())
    return;
  auto rec = waiting_.begin();
  rec->state = State::kSignalled;
  free_.splice(free_.end(), waiting_, rec);
  cv_.notify_all();
}

void lfmCondition::Broadcast() {
  std::lock_guard<std::mutex> lock(mu_);
  if (waiting_.empty())
    return;
  for (auto& r : waiting_)
    r.state = State::kSignalled;
  free_.splice(free_.end(), waiting_);
  cv_.notify_all();
}
