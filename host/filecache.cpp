#include "host/filecache.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "util/lfmutility.h"

namespace kyrhost {

namespace {

bool SameFile(const struct stat& st, int64_t sec, int64_t nsec, off_t size, ino_t ino, dev_t dev) {
  return st.st_mtim.tv_sec == sec && st.st_mtim.tv_nsec == nsec && st.st_size == size &&
         st.st_ino == ino && st.st_dev == dev;
}

// EXDEV (a path leaving the root) and EACCES are kForbidden.
FileCache::Kind KindOfError(int error) {
  return error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG || error == ELOOP
             ? FileCache::Kind::kMissing
             : FileCache::Kind::kForbidden;
}

bool IsBeneath(std::string_view path, std::string_view root) {
  if (path.size() < root.size() || path.compare(0, root.size(), root) != 0)
    return false;
  return path.size() == root.size() || path[root.size()] == '/' || root == "/";
}

constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;  // FIFOs do not block

}  // namespace

std::string_view FileCache::ContentType(std::string_view path) {
  struct Type {
    std::string_view extension;
    std::string_view type;
  };
  static const Type kTypes[] = {
      {"gif", "image/gif"},
      {"html", "text/html; charset=utf-8"},
      {"htm", "text/html; charset=utf-8"},
      {"js", "text/javascript; charset=utf-8"},
      {"css", "text/css; charset=utf-8"},
      {"png", "image/png"},
      {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},
      {"svg", "image/svg+xml"},
      {"ico", "image/x-icon"},
      {"webp", "image/webp"},
      {"txt", "text/plain; charset=utf-8"},
      {"json", "application/json"},
      {"xml", "application/xml"},
      {"pdf", "application/pdf"},
      {"woff2", "font/woff2"},
      {"woff", "font/woff"},
  };
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash)) {
    std::string_view ext = path.substr(dot + 1);
    for (const Type& t : kTypes) {
      if (lfmUtility::EqualsNoCase(ext, t.extension))
        return t.type;
    }
  }
  return "application/octet-stream";
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0)
    ::close(fd_);
}

FileCache::~FileCache() {
  CloseRoot();
}

void FileCache::CloseRoot() {
  if (rootFd_ >= 0)
    ::close(rootFd_);
  rootFd_ = -1;
}

bool FileCache::OpenRoot(std::string_view webRoot, Clock::time_point now) {
  bool same = rootFd_ >= 0 && root_ == webRoot;
  if (same && now - rootChecked_ < std::chrono::seconds(1))
    return true;
  struct stat st;
  if (same && ::stat(root_.c_str(), &st) == 0 && st.st_dev == rootDevice_ &&
      st.st_ino == rootInode_) {
    rootChecked_ = now;
    return true;
  }
  CloseRoot();
  if (root_ != webRoot) {
    root_.assign(webRoot.data(), webRoot.size());
    entries_.clear();
    bytes_ = 0;
  }
  // The configured root may itself be a link (a release directory swapped
  // in by a deployment); what lies beneath it is confined to it. The file
  // system's root is given as "" (URLs start with "/").
  const char* dir = root_.empty() ? "/" : root_.c_str();
  int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return false;
  char real[PATH_MAX];
  if (::fstat(fd, &st) != 0 || !::realpath(dir, real)) {
    int error = errno;
    ::close(fd);
    errno = error;
    return false;
  }
  rootFd_ = fd;
  realRoot_ = real;
  rootDevice_ = st.st_dev;
  rootInode_ = st.st_ino;
  rootChecked_ = now;
  return true;
}

int FileCache::OpenBeneath(const std::string& relative, Kind& failure) {
#ifdef SYS_openat2
  if (openat2_) {
    struct open_how how = {};
    how.flags = kOpenFlags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0;; ++attempt) {
      long fd = ::syscall(SYS_openat2, rootFd_, relative.c_str(), &how, sizeof how);
      if (fd >= 0)
        return static_cast<int>(fd);
      // EAGAIN: a rename or mount raced the resolution.
      if (errno == EINTR || (errno == EAGAIN && attempt < 3))
        continue;
      // EXDEV: the path leaves the root, or takes an absolute link, which
      // openat2 refuses even when it leads back inside; the real path
      // below tells the two apart.
      if (errno == EXDEV)
        break;
      if (errno != ENOSYS && errno != EPERM) {
        failure = KindOfError(errno);
        return -1;
      }
      // An older kernel, or a container's seccomp filter: the fallback
      // from now on.
      openat2_ = false;
      break;
    }
  }
#else
  openat2_ = false;
#endif
  // The fallback: the file's real path must lie beneath the root's. A link
  // swapped between the check and the open is not followed at the last
  // step (O_NOFOLLOW); the directories above it are the operator's.
  std::string full = root_;
  full += '/';
  full += relative;
  char real[PATH_MAX];
  if (!::realpath(full.c_str(), real)) {
    failure = KindOfError(errno);
    return -1;
  }
  if (!IsBeneath(real, realRoot_)) {
    failure = Kind::kForbidden;
    return -1;
  }
  int fd = ::open(real, kOpenFlags | O_NOFOLLOW);
  if (fd < 0)
    failure = KindOfError(errno);
  return fd;
}

FileCache::Kind FileCache::Lookup(std::string_view webRoot, std::string_view path, File& out,
                                  Clock::time_point now) {
  out.Clear();
  if (!IsBeneath(path, webRoot))
    return Kind::kForbidden;
  if (!OpenRoot(webRoot, now))
    return KindOfError(errno);
  key_.assign(path.data(), path.size());
  auto it = entries_.find(key_);
  if (it != entries_.end() && now - it->second.checked < std::chrono::seconds(1)) {
    out.data = it->second.data;
    out.size = out.data->size();
    out.contentType = it->second.contentType;
    return Kind::kFile;
  }
  // A cached file too is revalidated through the confined open: a link
  // changed to point out of the root ends its entry.
  std::string_view rest = path.substr(webRoot.size());
  while (!rest.empty() && rest.front() == '/')
    rest.remove_prefix(1);
  relative_.assign(rest.empty() ? std::string_view(".") : rest);
  Kind failure = Kind::kMissing;
  int fd = OpenBeneath(relative_, failure);
  struct stat st;
  if (fd >= 0 && ::fstat(fd, &st) != 0) {
    failure = KindOfError(errno);
    ::close(fd);
    fd = -1;
  }
  if (it != entries_.end()) {
    Entry& e = it->second;
    if (fd >= 0 && S_ISREG(st.st_mode) &&
        SameFile(st, e.mtimeSec, e.mtimeNsec, e.size, e.inode, e.device)) {
      ::close(fd);
      e.checked = now;
      out.data = e.data;
      out.size = out.data->size();
      out.contentType = e.contentType;
      return Kind::kFile;
    }
    bytes_ -= e.data->size();
    entries_.erase(it);
  }
  if (fd < 0)
    return failure;
  return Load(fd, st, key_, out, now);
}

FileCache::Kind FileCache::Load(int fd, const struct stat& st, const std::string& path, File& out,
                                Clock::time_point now) {
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return Kind::kDirectory;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return Kind::kForbidden;
  }
  out.contentType = ContentType(path);
  auto size = static_cast<uint64_t>(st.st_size);
  if (size > kMaxCachedFile || bytes_ + size > kMaxCachedTotal) {
    // Streamed by the server; the descriptor lives as long as a response
    // being written holds it.
    try {
      out.stream = std::make_shared<const FileDescriptor>(fd);
    } catch (...) {
      ::close(fd);
      throw;
    }
    out.size = size;
    return Kind::kFile;
  }
  auto data = std::make_shared<std::string>();
  try {
    data->resize(static_cast<size_t>(size));
  } catch (...) {
    ::close(fd);
    throw;
  }
  size_t done = 0;
  while (done < data->size()) {
    ssize_t n = ::pread(fd, &(*data)[done], data->size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;  // shrunk meanwhile: serve what is there
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  data->resize(done);
  out.data = data;
  out.size = done;
  Entry e;
  e.data = std::move(data);
  e.contentType = out.contentType;
  e.mtimeSec = st.st_mtim.tv_sec;
  e.mtimeNsec = st.st_mtim.tv_nsec;
  e.size = st.st_size;
  e.inode = st.st_ino;
  e.device = st.st_dev;
  e.checked = now;
  bytes_ += done;
  entries_.emplace(path, std::move(e));
  return Kind::kFile;
}

}  // namespace kyrhost
