#include "host/filecache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "util/lfmutility.h"

namespace kyrhost {

namespace {

bool SameFile(const struct stat& st, int64_t sec, int64_t nsec, off_t size, ino_t ino, dev_t dev) {
  return st.st_mtim.tv_sec == sec && st.st_mtim.tv_nsec == nsec && st.st_size == size &&
         st.st_ino == ino && st.st_dev == dev;
}

FileCache::Kind KindOfError(int error) {
  return error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG || error == ELOOP
             ? FileCache::Kind::kMissing
             : FileCache::Kind::kForbidden;
}

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

FileCache::Kind FileCache::Lookup(std::string_view path, File& out, Clock::time_point now) {
  key_.assign(path.data(), path.size());
  auto it = entries_.find(key_);
  if (it != entries_.end()) {
    Entry& e = it->second;
    if (now - e.checked < std::chrono::seconds(1)) {
      out.data = e.data;
      out.contentType = e.contentType;
      return Kind::kFile;
    }
    struct stat st;
    if (::stat(key_.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        SameFile(st, e.mtimeSec, e.mtimeNsec, e.size, e.inode, e.device)) {
      e.checked = now;
      out.data = e.data;
      out.contentType = e.contentType;
      return Kind::kFile;
    }
    bytes_ -= e.data->size();
    entries_.erase(it);
  }
  return Load(key_, out, now);
}

FileCache::Kind FileCache::Load(const std::string& path, File& out, Clock::time_point now) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return KindOfError(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int error = errno;
    ::close(fd);
    return KindOfError(error);
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return Kind::kDirectory;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return Kind::kForbidden;
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxServedFile) {
    ::close(fd);
    return Kind::kTooLarge;
  }
  auto data = std::make_shared<std::string>();
  data->resize(static_cast<size_t>(st.st_size));
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
  out.contentType = ContentType(path);
  if (done <= kMaxCachedFile && bytes_ + done <= kMaxCachedTotal) {
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
  }
  return Kind::kFile;
}

}  // namespace kyrhost
