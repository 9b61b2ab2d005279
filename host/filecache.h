#pragma once
// The files of the web root as one worker thread serves them. Small files
// (the content image above all) are kept in memory and checked against the
// file system at most once a second (modification time, size, inode), so an
// edited file is served within a second and an unchanged one costs no
// system call. Other files are handed out as an open descriptor for the
// server to stream, so no request holds more than a small file in memory.
//
// Nothing outside the web root is ever opened: every path is resolved
// beneath the root's directory by the kernel (openat2 with RESOLVE_BENEATH),
// or, where that call is unavailable, by comparing the file's real path
// with the root's. A symbolic link that stays inside the root is followed.
//
// One instance per worker thread: no locks. What is handed out is shared
// and immutable, so a response being written keeps its bytes (or its
// descriptor) even when the entry is replaced meanwhile.

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kyrhost {

// An open file descriptor, closed with its owner.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor();
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

class FileCache {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kMaxCachedFile = 1 << 20;     // bytes per cached file
  static constexpr size_t kMaxCachedTotal = 64u << 20;  // bytes per worker

  enum class Kind { kFile, kDirectory, kMissing, kForbidden };
  // A file to serve: its bytes in `data`, or, for one not kept in memory,
  // `stream` open for reading from offset 0 (the server reads it with
  // pread). `size` is the length to send either way.
  struct File {
    std::shared_ptr<const std::string> data;
    std::shared_ptr<const FileDescriptor> stream;
    uint64_t size = 0;
    std::string_view contentType;
    void Clear() { *this = File(); }
  };

  FileCache() = default;
  ~FileCache();
  FileCache(const FileCache&) = delete;
  FileCache& operator=(const FileCache&) = delete;

  // Looks `path` up: `webRoot` itself (absolute, no trailing "/") or a path
  // beneath it; fills `out` for kFile. A path not beneath `webRoot`, or one
  // that leaves it through a link, is kForbidden. The root's directory is
  // opened once and reopened when `webRoot` names another one (checked at
  // most once a second, so a root replaced by a link swap is followed).
  // Never throws but std::bad_alloc.
  Kind Lookup(std::string_view webRoot, std::string_view path, File& out, Clock::time_point now);

  // The Content-Type for a file name, by its extension.
  static std::string_view ContentType(std::string_view path);

  size_t CachedBytes() const { return bytes_; }

  // Resolves through the real-path comparison, as where openat2 is missing.
  void UseRealPathCheckForTest() { openat2_ = false; }

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
  // Opens the root's directory when needed; false (with errno) when it
  // cannot be opened.
  bool OpenRoot(std::string_view webRoot, Clock::time_point now);
  void CloseRoot();
  // Opens `relative` (beneath the root, no leading "/") read-only; the
  // descriptor, or -1 with the Kind to answer in `failure`.
  int OpenBeneath(const std::string& relative, Kind& failure);
  // Serves the file open as `fd` (described by `st`), keeping it when it
  // fits the cache. Takes `fd` over.
  Kind Load(int fd, const struct stat& st, const std::string& path, File& out,
            Clock::time_point now);

  std::unordered_map<std::string, Entry> entries_;
  std::string key_;       // reused for lookups
  std::string relative_;  // the same, relative to the root
  size_t bytes_ = 0;

  std::string root_;      // the root as given
  std::string realRoot_;  // its real path, for the fallback check
  int rootFd_ = -1;
  dev_t rootDevice_ = 0;
  ino_t rootInode_ = 0;
  Clock::time_point rootChecked_;
  bool openat2_ = true;  // cleared when the kernel (or a filter) refuses it
};

}  // namespace kyrhost
