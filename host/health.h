#pragma once
// The answer of kyrhost's health path, for a load balancer: 200 while the
// module can log hits, 503 when it says it cannot (no element map, a
// directory it writes to that cannot be written) and from the moment a stop
// begins, so that the balancer drains this instance before it closes. Each
// answer is one line of text.
//
// Threading: the probe is set before serving starts and must be safe to
// call from any worker; the stop flag is atomic. Any worker may call
// Answer().

#include <atomic>
#include <functional>
#include <string>

namespace kyrhost {

class Health {
 public:
  // Why hits cannot be logged now, one line; empty when they can.
  using Probe = std::function<std::string()>;
  void SetProbe(Probe probe) { probe_ = std::move(probe); }
  void BeginStop() { stopping_.store(true, std::memory_order_release); }

  // 200 or 503, with the body's line (ending in "\n") in `body`.
  int Answer(std::string& body) const;

 private:
  Probe probe_;
  std::atomic<bool> stopping_{false};
};

}  // namespace kyrhost
