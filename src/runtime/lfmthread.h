#pragma once
// A thread object with a stop event, timed join and priorities. Forced
// termination does not exist on POSIX: Kill() leaves a thread that ignores
// its stop request detached.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "runtime/lfmmutex.h"

class lfmCondition;

class lfmThread {
 public:
  using Function = uint32_t (*)(void* arg);

  enum State : int32_t { kNotStarted = 0, kRunning = 1, kSuspended = 2, kDetached = 3 };
  enum Priority : int32_t {
    kLowest = 0,
    kBelowNormal = 1,
    kNormal = 2,
    kAboveNormal = 3,
    kHighest = 4
  };
  // Creation flags of Start().
  static constexpr uint32_t kStartSuspended = 4;
  static constexpr uint32_t kStartDetached = 8;
  // Results.
  static constexpr int32_t kError = -1;
  static constexpr int32_t kTimedOut = -5;
  static constexpr int32_t kStopSignalled = -6;
  static constexpr int32_t kWasDetached = 3;
  // Exit code given to a thread abandoned by Kill().
  static constexpr uint32_t kKilledExitCode = static_cast<uint32_t>(-6);
  static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

  lfmThread();
  // Detaches a thread that is still running (it is not stopped). A thread
  // started suspended and never resumed ends without running its function.
  virtual ~lfmThread();
  lfmThread(const lfmThread&) = delete;
  lfmThread& operator=(const lfmThread&) = delete;

  virtual int32_t LastError() const;
  virtual std::string LastErrorText() const;

  // Starts `fn(arg)` on a new thread with a fresh stop event. A thread started
  // earlier by this object is released first (joined if it has ended,
  // detached otherwise; one never resumed ends without running). `stackSize` is advisory. Returns
  // 0, or -1 with the error also in *err. Thread-safe.
  virtual int32_t Start(Function fn, void* arg, uint32_t stackSize, uint32_t flags, int32_t* err);
  // Notes the calling thread's identity as this object's thread.
  virtual void RecordCurrentThreadId();
  // Suspension of a running thread is not available on every platform; a
  // thread started suspended is released by Resume(). Both return 0 or -1.
  virtual int32_t Suspend();
  virtual int32_t Resume();
  // Lets the thread run on without this object waiting for it; a thread
  // started suspended and not resumed ends without running its function.
  virtual int32_t Detach();
  // Sets the stop event; the thread polls it with StopRequested() or waits
  // for it with WaitForStop().
  virtual void SignalStop();
  // Sets the stop event, allows a 3000 ms grace period and, if the thread is
  // still running, abandons it (detached; its exit code reads as -6).
  // Returns 0 when the thread ended, -1 when it had to be abandoned.
  virtual int32_t Kill();
  // Waits up to `timeoutMs` for the thread to end. 0 (3 for a detached
  // thread) when it ended, with its exit code in *exitCode; -5 on time-out;
  // -1 with *err when there is no thread.
  virtual int32_t Join(uint32_t* exitCode, int32_t* err, uint32_t timeoutMs);
  virtual bool StopRequested() const;
  virtual int32_t GetPriority() const;
  // Stores 0..4 (other values mean normal) and applies it to a running thread
  // where the platform allows. Returns 0.
  virtual int32_t SetPriority(int32_t priority);
  virtual bool IsAlive() const;

  // The stop of a heartbeat-like thread that holds `lock` except while it
  // waits on `wake`: sets the stop event and, every 100 ms for up to
  // `timeoutMs`, offers the wake-up under `lock` (only when `lock` is free,
  // so that it cannot fall between the thread's stop check and its wait; a
  // thread busy in its work holds `lock` and sees the stop when the work
  // returns) and waits for the thread. A thread that has not ended by then is
  // abandoned (Kill). True when it ended. Never blocks on `lock`.
  bool StopAndJoin(lfmMutex& lock, lfmCondition& wake, uint32_t timeoutMs) LFM_EXCLUDES(lock);
  // Waits up to `timeoutMs` for the stop event: -6 when it is set, 0 on
  // time-out, 3 for a detached object.
  virtual int32_t WaitForStop(int32_t* err, uint32_t timeoutMs);

  State GetState() const;
  std::thread::id ThreadId() const;
  // Live thread objects in the process.
  static int32_t LiveObjects();

 private:
  // Shared with the running thread, so that a detached thread never touches
  // a destroyed object.
  struct Shared {
    std::mutex mu;
    std::condition_variable cv;
    bool stop = false;
    bool released = true;    // false while started suspended
    bool cancelled = false;  // released without Resume(): the function never runs
    bool done = false;
    uint32_t exitCode = 0;
    std::atomic<int32_t> priority{kNormal};
  };
  static void Body(std::shared_ptr<Shared> shared, Function fn, void* arg);
  // The running thread's shared state (and the object's state), read under mu_.
  std::shared_ptr<Shared> CurrentShared(State* state = nullptr) const LFM_EXCLUDES(mu_);
  // Waits on `shared` until `pred` holds or `timeoutMs` ran out; false on time-out.
  template <typename Pred>
  static bool WaitFor(Shared& shared, uint32_t timeoutMs, Pred pred);
  void ReleaseThreadLocked() LFM_REQUIRES(mu_);

  mutable lfmMutex mu_;  // guards everything below
  int32_t lastError_ LFM_GUARDED_BY(mu_) = 0;
  State state_ LFM_GUARDED_BY(mu_) = kNotStarted;
  int32_t priority_ LFM_GUARDED_BY(mu_) = kNormal;
  std::thread thread_ LFM_GUARDED_BY(mu_);
  std::thread::id id_ LFM_GUARDED_BY(mu_);
  std::shared_ptr<Shared> shared_ LFM_GUARDED_BY(mu_);
};
