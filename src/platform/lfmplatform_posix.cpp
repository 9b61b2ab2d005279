// POSIX implementation of the platform interface. Paths given with "\" are
// translated to "/" here, so configured Windows-style paths work unchanged.
#if !defined(_WIN32)

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/lfmplatform.h"

namespace {

std::string NativePath(const std::string& path) {
  std::string p = path;
  for (char& c : p) {
    if (c == '\\')
      c = '/';
  }
  return p;
}

int TranslateFlags(int flags) {
  int f = 0;
  if (flags & kOpenReadWrite) {
    f |= O_RDWR;
  } else if (flags & kOpenWriteOnly) {
    f |= O_WRONLY;
  } else {
    f |= O_RDONLY;
  }
  if (flags & kOpenAppend)
    f |= O_APPEND;
  if (flags & kOpenCreate)
    f |= O_CREAT;
  if (flags & kOpenTruncate)
    f |= O_TRUNC;
  if (flags & kOpenExclusive)
    f |= O_EXCL;
  // kOpenUntranslated (binary mode) has no meaning here.
  return f | O_CLOEXEC;
}

// Maps the Windows-style permission value (0x1B6 = rw for all) onto mode bits.
mode_t TranslatePermission(int permission) {
  return static_cast<mode_t>(permission & 0777);
}

int64_t ToSeconds(const struct timespec& ts) {
  return static_cast<int64_t>(ts.tv_sec);
}

uint32_t ModeBits(const struct stat& st) {
  uint32_t m = static_cast<uint32_t>(st.st_mode & 0777);
  if (S_ISDIR(st.st_mode))
    m |= kModeDirectory;
  if (S_ISREG(st.st_mode))
    m |= kModeRegular;
  return m;
}

// glibc 2.28 and later expose renameat2; older systems and file systems that
// do not support RENAME_NOREPLACE fall back to link + unlink, which also never
// replaces an existing target.
int RenameNoReplace(const std::string& from, const std::string& to) {
#if defined(SYS_renameat2)
  long r = syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 1u /*NOREPLACE*/);
  if (r == 0)
    return 0;
  if (errno != ENOSYS && errno != EINVAL)
    return errno;
#endif
  if (::link(from.c_str(), to.c_str()) != 0) {
    int e = errno;
    // Hard links may be unsupported (some file systems): fall back to a
    // checked rename, racy only against another writer of the same name.
    if (e == EPERM || e == EXDEV || e == ENOTSUP) {
      struct stat st;
      if (::lstat(to.c_str(), &st) == 0)
        return EEXIST;
      return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    }
    return e;
  }
  if (::unlink(from.c_str()) != 0)
    return errno;
  return 0;
}

class PosixPlatform : public lfmPlatform {
 public:
  lfmFileHandle Open(const std::string& path, int flags, int permission, int* err) override {
    int fd;
    do {
      fd = ::open(NativePath(path).c_str(), TranslateFlags(flags), TranslatePermission(permission));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      if (err)
        *err = errno;
      return kInvalidFileHandle;
    }
    return fd;
  }

  int64_t Write(lfmFileHandle h, const void* data, size_t n, int* err) override {
    ssize_t w;
    do {
      w = ::write(static_cast<int>(h), data, n);
    } while (w < 0 && errno == EINTR);
    if (w < 0 && err)
      *err = errno;
    return w;
  }

  int64_t Read(lfmFileHandle h, void* data, size_t n, int* err) override {
    ssize_t r;
    do {
      r = ::read(static_cast<int>(h), data, n);
    } while (r < 0 && errno == EINTR);
    if (r < 0 && err)
      *err = errno;
    return r;
  }

  int64_t Seek(lfmFileHandle h, int64_t offset, int origin, int* err) override {
    int whence = origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : SEEK_SET;
    off_t r = ::lseek(static_cast<int>(h), static_cast<off_t>(offset), whence);
    if (r < 0 && err)
      *err = errno;
    return r;
  }

  bool Truncate(lfmFileHandle h, uint64_t size, int* err) override {
    if (::ftruncate(static_cast<int>(h), static_cast<off_t>(size)) != 0) {
      if (err)
        *err = errno;
      return false;
    }
    return true;
  }

  bool Allocate(lfmFileHandle h, uint64_t size, int* err) override {
    int fd = static_cast<int>(h);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      if (err)
        *err = errno;
      return false;
    }
    if (static_cast<uint64_t>(st.st_size) >= size)
      return true;
    int rc;
    do {
      rc = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
    } while (rc == EINTR);
    if (rc == 0)
      return true;
    // File systems without block reservation: a plain extension at least
    // keeps the mapping within the file.
    if ((rc == EOPNOTSUPP || rc == EINVAL) && ::ftruncate(fd, static_cast<off_t>(size)) == 0)
      return true;
    if (err)
      *err = rc == EOPNOTSUPP || rc == EINVAL ? errno : rc;
    return false;
  }

  int64_t Size(lfmFileHandle h, int* err) override {
    struct stat st;
    if (::fstat(static_cast<int>(h), &st) != 0) {
      if (err)
        *err = errno;
      return -1;
    }
    return st.st_size;
  }

  bool Sync(lfmFileHandle h, int* err) override {
    if (::fsync(static_cast<int>(h)) != 0) {
      if (err)
        *err = errno;
      return false;
    }
    return true;
  }

  bool Close(lfmFileHandle h, int* err) override {
    // A close interrupted by a signal has still released the descriptor on
    // Linux; retrying could close another thread's descriptor.
    if (::close(static_cast<int>(h)) != 0 && errno != EINTR) {
      if (err)
        *err = errno;
      return false;
    }
    return true;
  }

  // flock() locks belong to the open file description: they end with the
  // last descriptor on it, or with the process.
  bool MarkWriting(lfmFileHandle h) override {
    int rc;
    do {
      rc = ::flock(static_cast<int>(h), LOCK_SH);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
  }
  bool TakeForRepair(lfmFileHandle h, bool* inUse) override {
    int rc;
    do {
      rc = ::flock(static_cast<int>(h), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    *inUse = rc != 0 && errno == EWOULDBLOCK;
    return rc == 0;
  }

  uint32_t AllocationGranularity() override {
    long page = ::sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<uint32_t>(page) : 4096u;
  }

  void* MapView(lfmFileHandle h, uint64_t offset, size_t length, int* err) override {
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, static_cast<int>(h),
                     static_cast<off_t>(offset));
    if (p == MAP_FAILED) {
      if (err)
        *err = errno;
      return nullptr;
    }
    return p;
  }

  bool FlushView(void* view, size_t length, bool wait, int* err) override {
    if (::msync(view, length, wait ? MS_SYNC : MS_ASYNC) != 0) {
      if (err)
        *err = errno;
      return false;
    }
    return true;
  }

  bool UnmapView(void* view, size_t length, int* err) override {
    if (::munmap(view, length) != 0) {
      if (err)
        *err = errno;
      return false;
    }
    return true;
  }

  std::FILE* OpenStream(const std::string& path, const char* mode, int* err) override {
    std::FILE* f = std::fopen(NativePath(path).c_str(), mode);
    if (!f) {
      if (err)
        *err = errno;
      return nullptr;
    }
    ::fcntl(fileno(f), F_SETFD, FD_CLOEXEC);
    return f;
  }

  bool Stat(const std::string& path, lfmFileStatus* out) override {
    struct stat st;
    if (::stat(NativePath(path).c_str(), &st) != 0)
      return false;
    if (out) {
      out->size = static_cast<uint64_t>(st.st_size);
      out->accessTime = ToSeconds(st.st_atim);
      out->modifyTime = ToSeconds(st.st_mtim);
      out->createTime = ToSeconds(st.st_ctim);
      out->mode = ModeBits(st);
    }
    return true;
  }

  bool Access(const std::string& path, int mode) override {
    int m = F_OK;
    if (mode & kAccessWrite)
      m |= W_OK;
    if (mode & kAccessRead)
      m |= R_OK;
    return ::access(NativePath(path).c_str(), m) == 0;
  }

  int Rename(const std::string& from, const std::string& to, bool replace) override {
    std::string f = NativePath(from), t = NativePath(to);
    if (replace)
      return ::rename(f.c_str(), t.c_str()) == 0 ? 0 : errno;
    return RenameNoReplace(f, t);
  }

  int Remove(const std::string& path) override {
    return ::unlink(NativePath(path).c_str()) == 0 ? 0 : errno;
  }

  int SetWritable(const std::string& path, bool writable) override {
    std::string p = NativePath(path);
    struct stat st;
    if (::stat(p.c_str(), &st) != 0)
      return errno;
    mode_t m = st.st_mode & 07777;
    m = writable ? (m | S_IWUSR) : (m & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH));
    return ::chmod(p.c_str(), m) == 0 ? 0 : errno;
  }

  int MakeDirectory(const std::string& path) override {
    return ::mkdir(NativePath(path).c_str(), 0777) == 0 ? 0 : errno;
  }

  bool ListDirectory(const std::string& path, std::vector<lfmDirEntry>* out) override {
    std::string dir = NativePath(path);
    DIR* d = ::opendir(dir.c_str());
    if (!d)
      return false;
    if (!dir.empty() && dir.back() != '/')
      dir += '/';
    while (struct dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
        continue;
      lfmDirEntry entry;
      entry.name = e->d_name;
      struct stat st;
      if (::stat((dir + e->d_name).c_str(), &st) == 0) {
        entry.size = static_cast<uint64_t>(st.st_size);
        entry.accessTime = ToSeconds(st.st_atim);
        entry.modifyTime = ToSeconds(st.st_mtim);
        entry.createTime = ToSeconds(st.st_ctim);
        if (S_ISDIR(st.st_mode))
          entry.attributes |= kAttrDirectory;
        if (!(st.st_mode & S_IWUSR))
          entry.attributes |= kAttrReadOnly;
      } else if (e->d_type == DT_DIR) {
        entry.attributes |= kAttrDirectory;
      }
      out->push_back(std::move(entry));
    }
    ::closedir(d);
    return true;
  }

  std::string CurrentDirectory() override {
    char buf[4096];
    if (!::getcwd(buf, sizeof buf))
      return "./";
    std::string s = buf;
    if (s.empty() || s.back() != '/')
      s += '/';
    return s;
  }

  bool TlsAllocate(void (*onThreadExit)(void*), uint32_t* index) override {
    pthread_key_t key;
    if (::pthread_key_create(&key, onThreadExit) != 0)
      return false;
    *index = static_cast<uint32_t>(key);
    return true;
  }
  void TlsFree(uint32_t index) override { ::pthread_key_delete(static_cast<pthread_key_t>(index)); }
  bool TlsSet(uint32_t index, void* value) override {
    return ::pthread_setspecific(static_cast<pthread_key_t>(index), value) == 0;
  }
  void* TlsGet(uint32_t index) override {
    return ::pthread_getspecific(static_cast<pthread_key_t>(index));
  }

  bool GetEnvironment(const std::string& name, std::string* value) override {
    const char* v = std::getenv(name.c_str());
    if (!v)
      return false;
    *value = v;
    return true;
  }

  // POSIX has no store of named values: a value is always absent.
  bool GetNamedValue(const std::string&, std::string*) override { return false; }

  // syslog keeps the ident pointer, so the first source name is copied into
  // storage that lives as long as the process. There is nothing to register
  // beyond that; the message file and category count have no syslog meaning.
  bool SystemLogRegister(const std::string& source, const std::string&, uint32_t) override {
    OpenSystemLog(source);
    return true;
  }

  bool SystemLogReport(const std::string& source, const lfmSystemEvent& event) override {
    OpenSystemLog(source);
    int prio = event.level == lfmSysLogLevel::kError     ? LOG_ERR
               : event.level == lfmSysLogLevel::kWarning ? LOG_WARNING
                                                         : LOG_INFO;
    ::syslog(prio, "[%u %s] %s", static_cast<unsigned>(event.eventId), event.categoryName.c_str(),
             event.text.c_str());
    return true;
  }

  static void OpenSystemLog(const std::string& source) {
    static std::once_flag once;
    static char ident[64];
    std::call_once(once, [&] {
      std::snprintf(ident, sizeof ident, "%s", source.c_str());
      ::openlog(ident, LOG_PID | LOG_NDELAY, LOG_DAEMON);
    });
  }

  std::string HostName() override {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0)
      return std::string();
    return buf;
  }

  std::string ErrorText(int err) override {
    char buf[256] = {};
    // GNU strerror_r may return a static string instead of filling buf.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    const char* s = ::strerror_r(err, buf, sizeof buf);
    return s ? s : "";
#else
    if (::strerror_r(err, buf, sizeof buf) != 0)
      return "Unknown error " + std::to_string(err);
    return buf;
#endif
  }

  int64_t WallClockMicros() override {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
  }

  uint64_t TickCountMs() override {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  }

  void SleepMs(uint32_t ms) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }

  bool GmTime(time_t t, std::tm* out) override {
    return ::gmtime_r(&t, out) != nullptr;
  }
  bool LocalTime(time_t t, std::tm* out) override {
    return ::localtime_r(&t, out) != nullptr;
  }

  // Ordinary threads under the default scheduler have one priority; the
  // value is kept by the caller and reported back unchanged.
  bool SetCurrentThreadPriority(int) override {
    return true;
  }
};

}  // namespace

lfmPlatform* lfmPlatform::Default() {
  static PosixPlatform platform;
  return &platform;
}

// pthread keys run their destructors themselves.
void lfmPlatform::ThreadExit() {}

#endif  // !_WIN32
