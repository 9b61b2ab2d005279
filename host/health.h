#pragma once
// The answer of kyrhost's health path, for a load balancer: 200 while the
// module can log hits, 503 when it cannot (no element map, a directory it
// writes to that cannot be written) and from the moment a stop begins, so
// that the balancer drains this instance before it closes. Each answer is
// one line of text, which names no path: anyone may ask.
//
// Threading: the directories are set before serving starts and only read
// afterwards; the stop flag is atomic. Any worker may call Answer().

#include <atomic>
#include <string>
#include <vector>

namespace kyrhost {

class Health {
 public:
  // The directories the module writes log and hit-count files to.
  void SetDirectories(std::vector<std::string> directories) {
    directories_ = std::move(directories);
  }
  // A fault that stays for the life of the process (the module cannot log
  // any hit); set before serving starts.
  void SetFault(std::string fault) { fault_ = std::move(fault); }
  void BeginStop() { stopping_.store(true, std::memory_order_release); }

  // 200 or 503, with the body's line (ending in "\n") in `body`.
  int Answer(std::string& body) const;

  // Whether files can be made in `directory`: it is a writable directory,
  // or it does not exist yet and its nearest existing ancestor is one (the
  // module creates missing directories). Otherwise a reason in `why`.
  static bool CanWriteIn(const std::string& directory, std::string& why);

 private:
  std::vector<std::string> directories_;
  std::string fault_;
  std::atomic<bool> stopping_{false};
};

}  // namespace kyrhost
