#pragma once
// lfmLogFileControllerPool: the process-wide registry of log file
// controllers. It finds or creates the controller of a file key, bounds the
// number of log files holding an open handle (first-in first-out eviction
// over grants), and runs the heartbeat's flush and idle-file checks.
//
// Locks: the pool lock guards the map, the handle queue and the flag. It is
// never held while a controller works: eviction takes the oldest key out of
// the queue under the pool lock and asks its controller to release only
// after giving the lock up, and the heartbeat walks a snapshot of the
// controllers. A controller whose write lock is busy is not waited for
// (its holder may be reserving a handle itself): it goes back to the end of
// the queue and the next oldest is asked.
//
// Lifetime: a controller handed out by GetLogFileController() stays valid
// until ShutDown(), which destroys every controller. So no hit may be
// between fetching a controller and the end of its writes while ShutDown()
// runs: the filter shuts the pool down from its termination, which the
// server calls once no request is in flight, and tests stop their writers
// first. A hit marks that span with a Writing; debug builds count them and
// ShutDown() asserts that none is open. (The heartbeat's walks and the
// eviction share ownership of the controllers they work on, so they need no
// such rule.) Each thread also keeps the controller of its last stream, to
// find it without the pool lock; that pointer is never used across a
// restart, because Initialize() and ShutDown() change the pool's generation
// and a thread holding a pointer of another generation asks the pool again.

#include <cstdint>
#include <ctime>
#include <string>

class lfmLogFileController;
struct lfmLogStream;

class lfmLogFileControllerPool {
 public:
  // Stores the handle budget and hands the header to the controller class;
  // only the first call has an effect. Throws 1010 for a budget below 1.
  static void Initialize(int32_t maxHandleCount, const char* header);
  // The controller of `stream`, registered under its pool key and created
  // on first use with its file key. The pool keeps ownership until
  // ShutDown(). Throws 1010 when not initialised.
  static lfmLogFileController* GetLogFileController(const lfmLogStream& stream);
  // The same for the stream lfmLogStream::ForKey makes of `fileKey` and
  // `latencyClass` (0 when the caller does not know it).
  static lfmLogFileController* GetLogFileController(const std::string& fileKey,
                                                    int32_t latencyClass = 0);
  // Grants `fileKey` a handle when the budget allows; otherwise refuses
  // (`withoutEviction`) or evicts the oldest grant first. Throws 1010 when
  // not initialised; an eviction failure is reported and thrown on.
  static bool ReserveHandle(const std::string& fileKey, bool withoutEviction);
  // The heartbeat's walks (0: now). Never throw: failures are reported and
  // end the walk for this tick. The flush also reports the refusals of new
  // log streams that are due (lfmLogStream::ReportRefusals).
  static void FlushControllers(time_t now = 0);
  static void ReleaseInactiveFiles(time_t now = 0);
  // Writes out and closes every file and forgets every controller and the
  // admitted log streams. No Writing may be open (asserted in debug builds).
  static void ShutDown();

  // Marks a hit's use of controllers, from fetching them to the end of its
  // writes. Counted in debug builds only; nothing in release builds.
  class Writing {
   public:
#ifdef NDEBUG
    Writing() {}
    ~Writing() {}
#else
    Writing();
    ~Writing();
#endif
    Writing(const Writing&) = delete;
    Writing& operator=(const Writing&) = delete;
  };

  static bool IsInitialized();
  // Entries of the handle queue (for tests and diagnostics).
  static size_t QueuedHandles();
};
