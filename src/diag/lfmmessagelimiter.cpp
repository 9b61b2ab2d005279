#include "diag/lfmmessagelimiter.h"

#include <utility>

bool lfmMessageLimiter::IsLimited(const lfmMessage& m) {
  const lfmMessageCategory* c = m.category;
  if (c == &MESS_CATEGORY_COOKIE || c == &MESS_CATEGORY_KYR_ID || c == &MESS_CATEGORY_BAD_HIT)
    return true;
  // Raised per hit with the hit's own values, although their category is
  // the configuration's.
  return &m == &MESS_LOG_ELEMENT_TRUNCATED || &m == &MESS_CP_ID_PARAM_INVALID ||
         &m == &MESS_CP_ID_TOO_MANY_CHARS;
}

bool lfmMessageLimiter::Admit(const lfmMessage& m, time_t now, std::string* summary) {
  const uint32_t limit = Limit();
  const size_t index = m.eventId - lfmMessageCatalogue::kFirstEventId;
  if (limit == 0 || index >= kSlots)
    return true;
  const int64_t at = static_cast<int64_t>(now);
  int64_t start = windowStart_.load(std::memory_order_acquire);
  if (start != kNoWindow && (at < start || at - start >= kWindowSeconds)) {
    std::string closed = Close(now, false);
    if (summary)
      *summary = std::move(closed);
    start = windowStart_.load(std::memory_order_acquire);
  }
  if (start == kNoWindow) {
    // The first raise of a minute begins it; a racing one that lost the
    // exchange counts in the minute the winner began.
    windowStart_.compare_exchange_strong(start, at, std::memory_order_acq_rel);
  }
  Slot& slot = slots_[index];
  // Checked before counting, so that `admitted` cannot run round however
  // long a flood lasts.
  if (slot.admitted.load(std::memory_order_relaxed) < limit &&
      slot.admitted.fetch_add(1, std::memory_order_relaxed) < limit)
    return true;
  slot.suppressed.fetch_add(1, std::memory_order_relaxed);
  return false;
}

std::string lfmMessageLimiter::Close(time_t now, bool force) {
  lfmScopedGuard guard(closeLock_);
  const int64_t at = static_cast<int64_t>(now);
  const int64_t start = windowStart_.load(std::memory_order_acquire);
  if (!force && (start == kNoWindow || (at >= start && at - start < kWindowSeconds)))
    return std::string();
  windowStart_.store(kNoWindow, std::memory_order_release);
  std::string list;
  for (size_t i = 0; i < kSlots; ++i) {
    slots_[i].admitted.store(0, std::memory_order_relaxed);
    const uint64_t n = slots_[i].suppressed.exchange(0, std::memory_order_relaxed);
    if (n == 0)
      continue;
    const lfmMessage* m =
        lfmMessageCatalogue::Find(static_cast<uint32_t>(i) + lfmMessageCatalogue::kFirstEventId);
    list += '\n';
    list += m ? m->key : "?";
    list += " (";
    list += std::to_string(i + lfmMessageCatalogue::kFirstEventId);
    list += "): ";
    list += std::to_string(n);
  }
  return list;
}

void lfmMessageLimiter::Reset() {
  lfmScopedGuard guard(closeLock_);
  windowStart_.store(kNoWindow, std::memory_order_release);
  for (Slot& s : slots_) {
    s.admitted.store(0, std::memory_order_relaxed);
    s.suppressed.store(0, std::memory_order_relaxed);
  }
}
