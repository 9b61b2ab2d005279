#include "host/health.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kyrhost {

bool Health::CanWriteIn(const std::string& directory, std::string& why) {
  std::string dir = directory;
  while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\'))
    dir.pop_back();
  if (dir.empty())
    dir = ".";
  struct stat st;
  while (stat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      why = "cannot reach " + dir;
      return false;
    }
    size_t cut = dir.find_last_of('/');
    if (cut == std::string::npos) {
      dir = ".";
    } else {
      dir.erase(cut == 0 ? 1 : cut);
    }
    if (dir == "." || dir == "/") {
      if (stat(dir.c_str(), &st) != 0) {
        why = "cannot reach " + directory;
        return false;
      }
      break;
    }
  }
  if (!S_ISDIR(st.st_mode)) {
    why = dir + " is not a directory";
    return false;
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    why = "cannot write " + dir;
    return false;
  }
  return true;
}

int Health::Answer(std::string& body) const {
  if (stopping_.load(std::memory_order_acquire)) {
    body = "stopping\n";
    return 503;
  }
  if (!fault_.empty()) {
    body = fault_ + "\n";
    return 503;
  }
  for (const std::string& d : directories_) {
    std::string why;
    if (!CanWriteIn(d, why)) {
      body = "a log directory cannot be written (kyrhost --check names it)\n";
      return 503;
    }
  }
  body = "ok\n";
  return 200;
}

}  // namespace kyrhost
