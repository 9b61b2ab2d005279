#pragma once
// The files of the web root as one worker thread serves them. Small files
// (the content image above all) are kept in memory and checked against the
// file system at most once a second (modification time, size, inode), so an
// edited file is served within a second and an unchanged one costs no
// system call. Larger files are read for each request.
//
// One instance per worker thread: no locks. The data handed out is shared
// and immutable, so a response being written keeps its bytes even when the
// entry is replaced meanwhile.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kyrhost {

class FileCache {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kMaxCachedFile = 1 << 20;     // bytes per cached file
  static constexpr size_t kMaxCachedTotal = 64u << 20;  // bytes per worker
  static constexpr size_t kMaxServedFile = 64u << 20;   // larger files are refused

  enum class Kind { kFile, kDirectory, kMissing, kForbidden, kTooLarge };
  struct File {
    std::shared_ptr<const std::string> data;
    std::string_view contentType;
  };

  // Looks `path` (an absolute path inside the web root) up; fills `out` for
  // kFile. Never throws but std::bad_alloc.
  Kind Lookup(std::string_view path, File& out, Clock::time_point now);

  // The Content-Type for a file name, by its extension.
  static std::string_view ContentType(std::string_view path);

  size_t CachedBytes() const { return bytes_; }

 private:
  struct Entry {
    std::shared_ptr<const std::string> data;
    std::string_view contentType;
    int64_t mtimeSec = 0;
    int64_t mtimeNsec = 0;
    off_t size = 0;
    ino_t inode = 0;
    dev_t device = 0;
    Clock::time_point checked;
  };
  Kind Load(const std::string& path, File& out, Clock::time_point now);

  std::unordered_map<std::string, Entry> entries_;
  std::string key_;  // reused for lookups
  size_t bytes_ = 0;
};

}  // namespace kyrhost
