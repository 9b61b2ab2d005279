#pragma once
// The per-minute limit of the messages raised per request. Such messages
// carry the request's values and come as fast as requests do, so a flood of
// bad hits would otherwise flood the audit file and the system log. Within
// one minute at most Limit() raises of each message id are admitted; the
// rest are only counted, and the counts come out as one summary
// (MESS_REQUEST_MESSAGES_SUPPRESSED) once the minute has ended.
//
// Thread-safe. Admitting is lock-free (atomic counters per message id);
// only the end of a minute takes the limiter's own lock, and no message is
// raised while it is held: the summary text is handed back to the caller.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>

#include "diag/lfmmessages.h"
#include "runtime/lfmmutex.h"

class lfmMessageLimiter {
 public:
  static constexpr int64_t kWindowSeconds = 60;
  static constexpr int32_t kDefaultPerMinute = 10;

  // Whether `m` is one of the messages raised per request with request
  // values: the categories Cookie, KYR ID and Bad Hit, the truncated log
  // element and the compact-policy identifier of a hit. Messages about
  // settings, files, heartbeats and exceptions are never limited.
  static bool IsLimited(const lfmMessage& m);

  explicit lfmMessageLimiter(uint32_t perMinute = kDefaultPerMinute) : limit_(perMinute) {}
  lfmMessageLimiter(const lfmMessageLimiter&) = delete;
  lfmMessageLimiter& operator=(const lfmMessageLimiter&) = delete;

  // Raises of one message id admitted per minute; 0 admits every one.
  void SetLimit(uint32_t perMinute) { limit_.store(perMinute, std::memory_order_relaxed); }
  uint32_t Limit() const { return limit_.load(std::memory_order_relaxed); }

  // Admits one raise of `m` at `now`: true while the minute has room for
  // it, otherwise the raise is counted and false. A minute that has ended
  // (or lies in the future: the clock went back) is closed first, and its
  // summary lands in `*summary` (left empty when nothing was suppressed).
  // A minute begins with the first raise after the last one closed.
  bool Admit(const lfmMessage& m, time_t now, std::string* summary);

  // Closes the current minute when it has ended at `now`, or at once with
  // `force`: admissions start afresh and the suppressed counts are returned
  // as the summary's list, a line per message id in event id order
  // ("\nMESS_COOKIE_BAD (1000): 9990"); empty when nothing was suppressed.
  std::string Close(time_t now, bool force);

  // Forgets every count and the current minute.
  void Reset();

 private:
  static constexpr int64_t kNoWindow = INT64_MIN;
  static constexpr size_t kSlots =
      lfmMessageCatalogue::kLastEventId - lfmMessageCatalogue::kFirstEventId + 1;

  struct Slot {
    std::atomic<uint32_t> admitted{0};    // this minute; stays near the limit
    std::atomic<uint64_t> suppressed{0};  // since the last close
  };

  std::atomic<uint32_t> limit_;
  std::atomic<int64_t> windowStart_{kNoWindow};
  Slot slots_[kSlots];
  lfmMutex closeLock_;  // serialises Close(); never held while raising
};
