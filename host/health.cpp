#include "host/health.h"

namespace kyrhost {

int Health::Answer(std::string& body) const {
  if (stopping_.load(std::memory_order_acquire)) {
    body = "stopping\n";
    return 503;
  }
  std::string fault = probe_ ? probe_() : std::string();
  if (!fault.empty()) {
    body = fault + "\n";
    return 503;
  }
  body = "ok\n";
  return 200;
}

}  // namespace kyrhost
