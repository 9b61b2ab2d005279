// Win32 implementation of the platform interface. Files are the runtime
// library's descriptors (_open/_write/_close), whose flag values are the
// system's own kOpen* values; mappings, renames, directories, the registry,
// the event log and thread-local storage are the Win32 calls. Paths given
// with "/" are translated to "\" here.
#if defined(_WIN32)

#include <winsock2.h>
// winsock2.h before windows.h
#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/lfmplatform.h"

namespace {

// Where named values live: the installation's registry key (HKLM), one value
// per name.
constexpr const char kNamedValueKey[] = "SOFTWARE\\Vantorell Corporation\\Tallyserver";
constexpr DWORD kNamedValueBuffer = 4096;
// The event log's registry: sources of the "Application" log.
constexpr const char kEventLogBase[] = "SYSTEM\\CurrentControlSet\\Services\\Eventlog";
constexpr const char kEventLogName[] = "Application";
constexpr DWORD kEventTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// 100-nanosecond units between 1601-01-01 and 1970-01-01.
constexpr uint64_t kEpochOffset = 116444736000000000ULL;

std::string NativePath(const std::string& path) {
  std::string p = path;
  std::replace(p.begin(), p.end(), '/', '\\');
  return p;
}

// The C library's error number for a Win32 error code.
int ErrnoOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_COMMITMENT_LIMIT:
      return ENOMEM;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
      return EINVAL;
    default:
      return EIO;
  }
}

int LastErrno() {
  return ErrnoOf(::GetLastError());
}

void SetErr(int* err, int value) {
  if (err)
    *err = value;
}

int64_t SecondsOf(const FILETIME& ft) {
  uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  if (t < kEpochOffset)
    return 0;
  return static_cast<int64_t>((t - kEpochOffset) / 10000000u);
}

// A handle is the runtime's descriptor; one opened for appending carries
// kAppendTag above it, so that Write knows to serialise its appends.
constexpr lfmFileHandle kAppendTag = lfmFileHandle(1) << 32;

int Fd(lfmFileHandle h) {
  return h < 0 ? -1 : static_cast<int>(h & INT_MAX);
}

bool Appends(lfmFileHandle h) {
  return h >= 0 && (h & kAppendTag) != 0;
}

HANDLE OsHandle(lfmFileHandle h) {
  if (h < 0)
    return INVALID_HANDLE_VALUE;
  return reinterpret_cast<HANDLE>(::_get_osfhandle(Fd(h)));
}

// The runtime appends by moving to the end and then writing: two writers of
// one file (two worker processes while IIS recycles a pool) could write over
// each other's records. An exclusive lock on one byte far beyond any data
// makes the two steps one for every writer of the file, in any process.
class AppendLock {
 public:
  explicit AppendLock(HANDLE fh) : fh_(fh) {
    at_.Offset = 0xFFFFFFFEu;
    at_.OffsetHigh = 0x7FFFFFFFu;
    // A file system without byte-range locks still gets the write.
    locked_ = fh_ != INVALID_HANDLE_VALUE &&
              ::LockFileEx(fh_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at_) != 0;
  }
  ~AppendLock() {
    if (locked_)
      ::UnlockFileEx(fh_, 0, 1, 0, &at_);
  }
  AppendLock(const AppendLock&) = delete;
  AppendLock& operator=(const AppendLock&) = delete;

 private:
  HANDLE fh_;
  OVERLAPPED at_{};
  bool locked_ = false;
};

// Where the mark that a file is being written is held (see MarkWriting).
OVERLAPPED WritingMarkOffset() {
  OVERLAPPED at{};
  at.Offset = 0xFFFFFFFDu;
  at.OffsetHigh = 0x7FFFFFFFu;
  return at;
}

// Reads a text value of an open key whole, however long; false when it is
// absent or not text.
bool ReadTextValue(HKEY key, const char* name, std::string* value, DWORD* typeOut) {
  std::vector<char> buf(256);
  for (int attempt = 0; attempt < 8; ++attempt) {
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(buf.size());
    LONG rc =
        ::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size);
    if (rc == ERROR_MORE_DATA) {
      buf.resize(static_cast<size_t>(size) + 2);
      continue;
    }
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
      return false;
    // A stored text need not end in a NUL; it ends at the first one.
    size_t n = std::min<size_t>(size, buf.size());
    *value = std::string(buf.data(), strnlen(buf.data(), n));
    *typeOut = type;
    return true;
  }
  return false;
}

// Adds `source` to the log key's multi-string "Sources" unless it is there
// (exact comparison). The list is read and written in UTF-16, so that other
// sources' names survive whatever the code page, and its entries are kept as
// they are, empty ones included. Nothing is written unless the list was read
// whole (or is absent). False when it could not be read or written.
bool AddToSources(HKEY key, const std::string& source) {
  std::wstring wanted(source.begin(), source.end());  // the source name is ASCII
  std::vector<wchar_t> list;
  bool read = false;
  for (int attempt = 0; attempt < 8 && !read; ++attempt) {
    DWORD type = 0, size = 0;
    LONG rc = ::RegQueryValueExW(key, L"Sources", nullptr, &type, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND) {
      list.clear();
      read = true;
      break;
    }
    if (rc != ERROR_SUCCESS || type != REG_MULTI_SZ)
      return false;
    list.assign(size / sizeof(wchar_t) + 2, L'\0');
    DWORD got = static_cast<DWORD>(list.size() * sizeof(wchar_t));
    rc = ::RegQueryValueExW(key, L"Sources", nullptr, &type, reinterpret_cast<BYTE*>(list.data()),
                            &got);
    if (rc == ERROR_MORE_DATA)
      continue;  // it grew between the two reads
    if (rc != ERROR_SUCCESS || type != REG_MULTI_SZ)
      return false;
    list.resize(got / sizeof(wchar_t));
    read = true;
  }
  if (!read)
    return false;
  // The entries end at the list's final double NUL; trailing NULs go.
  while (!list.empty() && list.back() == L'\0')
    list.pop_back();
  for (size_t at = 0; at <= list.size();) {
    size_t end = at;
    while (end < list.size() && list[end] != L'\0')
      ++end;
    if (std::wstring(list.data() + at, end - at) == wanted)
      return true;
    at = end + 1;
  }
  if (!list.empty())
    list.push_back(L'\0');
  list.insert(list.end(), wanted.begin(), wanted.end());
  list.push_back(L'\0');
  list.push_back(L'\0');
  return ::RegSetValueExW(key, L"Sources", 0, REG_MULTI_SZ,
                          reinterpret_cast<const BYTE*>(list.data()),
                          static_cast<DWORD>(list.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
}

// Thread-local slots with exit hooks. Win32 TLS has no destructor of its
// own: the hooks run when the ending thread calls lfmPlatform::ThreadExit()
// (the DLL's thread-detach notification), in the order the slots were
// allocated.
struct SlotHook {
  DWORD index;
  void (*onThreadExit)(void*);
};
std::mutex& SlotLock() {
  static std::mutex* m = new std::mutex;
  return *m;
}
std::vector<SlotHook>& SlotHooks() {
  static std::vector<SlotHook>* hooks = new std::vector<SlotHook>;
  return *hooks;
}

class Win32Platform : public lfmPlatform {
 public:
  lfmFileHandle Open(const std::string& path, int flags, int permission, int* err) override {
    // Always binary: the system writes its own "\r\n" and reads files whose
    // bytes it checksums. Handles are not inherited by child processes.
    int f = (flags & (kOpenWriteOnly | kOpenReadWrite | kOpenAppend | kOpenCreate | kOpenTruncate |
                      kOpenExclusive)) |
            _O_BINARY | _O_NOINHERIT;
    int pmode = 0;
    if (permission & 0444)
      pmode |= _S_IREAD;
    if (permission & 0222)
      pmode |= _S_IWRITE;
    int fd = -1;
    errno_t e = ::_sopen_s(&fd, NativePath(path).c_str(), f, _SH_DENYNO, pmode);
    if (e != 0 || fd < 0) {
      SetErr(err, e != 0 ? e : EIO);
      return kInvalidFileHandle;
    }
    // Descriptor 0 stays untagged: callers refuse it as a failure.
    if (fd > 0 && (flags & kOpenAppend))
      return fd | kAppendTag;
    return fd;
  }

  int64_t Write(lfmFileHandle h, const void* data, size_t n, int* err) override {
    unsigned chunk = static_cast<unsigned>(std::min<size_t>(n, INT_MAX));
    int w;
    if (Appends(h)) {
      AppendLock lock(OsHandle(h));
      w = ::_write(Fd(h), data, chunk);
    } else {
      w = ::_write(Fd(h), data, chunk);
    }
    if (w < 0)
      SetErr(err, errno);
    return w;
  }

  int64_t Read(lfmFileHandle h, void* data, size_t n, int* err) override {
    unsigned chunk = static_cast<unsigned>(std::min<size_t>(n, INT_MAX));
    int r = ::_read(Fd(h), data, chunk);
    if (r < 0)
      SetErr(err, errno);
    return r;
  }

  int64_t Seek(lfmFileHandle h, int64_t offset, int origin, int* err) override {
    int whence = origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : SEEK_SET;
    int64_t r = ::_lseeki64(Fd(h), offset, whence);
    if (r < 0)
      SetErr(err, errno);
    return r;
  }

  // SetEndOfFile at `size`; the descriptor's position is kept.
  bool Truncate(lfmFileHandle h, uint64_t size, int* err) override {
    HANDLE fh = OsHandle(h);
    if (fh == INVALID_HANDLE_VALUE) {
      SetErr(err, EBADF);
      return false;
    }
    LARGE_INTEGER zero{}, here{}, target{};
    target.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFilePointerEx(fh, zero, &here, FILE_CURRENT) ||
        !::SetFilePointerEx(fh, target, nullptr, FILE_BEGIN)) {
      SetErr(err, LastErrno());
      return false;
    }
    bool ok = ::SetEndOfFile(fh) != 0;
    int e = ok ? 0 : LastErrno();
    ::SetFilePointerEx(fh, here, nullptr, FILE_BEGIN);
    if (!ok)
      SetErr(err, e);
    return ok;
  }

  // Extending a file with SetEndOfFile allocates its clusters, so a full
  // disk shows here and not later through a mapped view.
  bool Allocate(lfmFileHandle h, uint64_t size, int* err) override {
    int64_t now = Size(h, err);
    if (now < 0)
      return false;
    if (static_cast<uint64_t>(now) >= size)
      return true;
    return Truncate(h, size, err);
  }

  int64_t Size(lfmFileHandle h, int* err) override {
    int64_t s = ::_filelengthi64(Fd(h));
    if (s < 0)
      SetErr(err, errno);
    return s;
  }

  bool Sync(lfmFileHandle h, int* err) override {
    if (::_commit(Fd(h)) != 0) {
      SetErr(err, errno);
      return false;
    }
    return true;
  }

  bool Close(lfmFileHandle h, int* err) override {
    if (::_close(Fd(h)) != 0) {
      SetErr(err, errno);
      return false;
    }
    return true;
  }

  // A lock on one byte far beyond any data (and apart from the append
  // lock's): the system drops it when the handle closes or the process ends.
  bool MarkWriting(lfmFileHandle h) override {
    OVERLAPPED at = WritingMarkOffset();
    HANDLE fh = OsHandle(h);
    return fh != INVALID_HANDLE_VALUE && ::LockFileEx(fh, 0, 0, 1, 0, &at) != 0;
  }
  bool TakeForRepair(lfmFileHandle h, bool* inUse) override {
    OVERLAPPED at = WritingMarkOffset();
    HANDLE fh = OsHandle(h);
    *inUse = false;
    if (fh == INVALID_HANDLE_VALUE)
      return false;
    if (::LockFileEx(fh, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
      return true;
    DWORD e = ::GetLastError();
    *inUse = e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING;
    return false;
  }

  uint32_t AllocationGranularity() override {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return info.dwAllocationGranularity ? info.dwAllocationGranularity : 65536u;
  }

  // One file mapping per view; the view keeps the mapping object alive, so
  // its handle is closed at once.
  void* MapView(lfmFileHandle h, uint64_t offset, size_t length, int* err) override {
    HANDLE fh = OsHandle(h);
    if (fh == INVALID_HANDLE_VALUE) {
      SetErr(err, EBADF);
      return nullptr;
    }
    HANDLE mapping = ::CreateFileMappingA(fh, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    if (!mapping) {
      SetErr(err, LastErrno());
      return nullptr;
    }
    void* view = ::MapViewOfFile(mapping, FILE_MAP_WRITE, static_cast<DWORD>(offset >> 32),
                                 static_cast<DWORD>(offset & 0xFFFFFFFFu), length);
    int e = view ? 0 : LastErrno();
    ::CloseHandle(mapping);
    if (!view)
      SetErr(err, e);
    return view;
  }

  bool FlushView(void* view, size_t length, bool, int* err) override {
    if (!::FlushViewOfFile(view, length)) {
      SetErr(err, LastErrno());
      return false;
    }
    return true;
  }

  bool UnmapView(void* view, size_t, int* err) override {
    if (!::UnmapViewOfFile(view)) {
      SetErr(err, LastErrno());
      return false;
    }
    return true;
  }

  // Streams are binary as well ("b" is added), so that a file holds the same
  // bytes on every platform; "N" keeps the handle from child processes.
  std::FILE* OpenStream(const std::string& path, const char* mode, int* err) override {
    std::string m = mode ? mode : "r";
    if (m.find('b') == std::string::npos)
      m += 'b';
    m += 'N';
    std::FILE* f = ::_fsopen(NativePath(path).c_str(), m.c_str(), _SH_DENYNO);
    if (!f)
      SetErr(err, errno);
    return f;
  }

  bool Stat(const std::string& path, lfmFileStatus* out) override {
    struct _stat64 st;
    std::string p = NativePath(path);
    // The runtime refuses a directory named with a trailing separator.
    while (p.size() > 1 && p.back() == '\\' && p[p.size() - 2] != ':')
      p.pop_back();
    if (::_stat64(p.c_str(), &st) != 0)
      return false;
    if (out) {
      out->size = static_cast<uint64_t>(st.st_size);
      out->accessTime = static_cast<int64_t>(st.st_atime);
      out->modifyTime = static_cast<int64_t>(st.st_mtime);
      out->createTime = static_cast<int64_t>(st.st_ctime);
      uint32_t m = 0;
      if (st.st_mode & _S_IWRITE)
        m |= kModeOwnerWrite;
      if (st.st_mode & _S_IFDIR)
        m |= kModeDirectory;
      if (st.st_mode & _S_IFREG)
        m |= kModeRegular;
      out->mode = m;
    }
    return true;
  }

  bool Access(const std::string& path, int mode) override {
    int m = 0;
    if (mode & kAccessWrite)
      m |= 2;
    if (mode & kAccessRead)
      m |= 4;
    return ::_access(NativePath(path).c_str(), m) == 0;
  }

  int Rename(const std::string& from, const std::string& to, bool replace) override {
    DWORD flags = replace ? MOVEFILE_REPLACE_EXISTING : 0;
    if (::MoveFileExA(NativePath(from).c_str(), NativePath(to).c_str(), flags))
      return 0;
    return LastErrno();
  }

  int Remove(const std::string& path) override {
    return ::_unlink(NativePath(path).c_str()) == 0 ? 0 : errno;
  }

  int SetWritable(const std::string& path, bool writable) override {
    int mode = writable ? (_S_IREAD | _S_IWRITE) : _S_IREAD;
    return ::_chmod(NativePath(path).c_str(), mode) == 0 ? 0 : errno;
  }

  int MakeDirectory(const std::string& path) override {
    return ::_mkdir(NativePath(path).c_str()) == 0 ? 0 : errno;
  }

  bool ListDirectory(const std::string& path, std::vector<lfmDirEntry>* out) override {
    std::string pattern = NativePath(path);
    if (!pattern.empty() && pattern.back() != '\\')
      pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAA data;
    HANDLE find = ::FindFirstFileA(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
      return ::GetLastError() == ERROR_FILE_NOT_FOUND;  // an empty drive root
    do {
      if (std::strcmp(data.cFileName, ".") == 0 || std::strcmp(data.cFileName, "..") == 0)
        continue;
      lfmDirEntry entry;
      entry.name = data.cFileName;
      entry.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
      entry.accessTime = SecondsOf(data.ftLastAccessTime);
      entry.modifyTime = SecondsOf(data.ftLastWriteTime);
      entry.createTime = SecondsOf(data.ftCreationTime);
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        entry.attributes |= kAttrDirectory;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
        entry.attributes |= kAttrReadOnly;
      out->push_back(std::move(entry));
    } while (::FindNextFileA(find, &data));
    ::FindClose(find);
    return true;
  }

  std::string CurrentDirectory() override {
    char buf[MAX_PATH + 1] = {};
    DWORD n = ::GetCurrentDirectoryA(sizeof buf, buf);
    if (n == 0 || n >= sizeof buf)
      return ".\\";
    std::string s(buf, n);
    if (s.back() != '\\')
      s += '\\';
    return s;
  }

  bool TlsAllocate(void (*onThreadExit)(void*), uint32_t* index) override {
    DWORD i = ::TlsAlloc();
    if (i == TLS_OUT_OF_INDEXES)
      return false;
    if (onThreadExit) {
      try {
        std::lock_guard<std::mutex> guard(SlotLock());
        SlotHooks().push_back({i, onThreadExit});
      } catch (...) {
        ::TlsFree(i);
        return false;
      }
    }
    *index = i;
    return true;
  }
  void TlsFree(uint32_t index) override {
    {
      std::lock_guard<std::mutex> guard(SlotLock());
      auto& hooks = SlotHooks();
      hooks.erase(std::remove_if(hooks.begin(), hooks.end(),
                                 [&](const SlotHook& s) { return s.index == index; }),
                  hooks.end());
    }
    ::TlsFree(index);
  }
  bool TlsSet(uint32_t index, void* value) override { return ::TlsSetValue(index, value) != 0; }
  void* TlsGet(uint32_t index) override { return ::TlsGetValue(index); }

  bool GetEnvironment(const std::string& name, std::string* value) override {
    std::string buf(256, '\0');
    for (;;) {
      ::SetLastError(ERROR_SUCCESS);
      DWORD n = ::GetEnvironmentVariableA(name.c_str(), &buf[0], static_cast<DWORD>(buf.size()));
      if (n == 0) {
        if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND)
          return false;
        value->clear();
        return true;
      }
      if (n < buf.size()) {
        buf.resize(n);
        *value = std::move(buf);
        return true;
      }
      buf.assign(n, '\0');  // n counts the terminating NUL here
    }
  }

  // A value longer than the system's 4095 characters is cut, as an
  // environment value is; an expandable text has its %variables% expanded.
  bool GetNamedValue(const std::string& name, std::string* value) override {
    HKEY key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kNamedValueKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
      return false;
    std::string text;
    DWORD type = 0;
    bool found = ReadTextValue(key, name.c_str(), &text, &type);
    ::RegCloseKey(key);
    if (!found)
      return false;
    if (type == REG_EXPAND_SZ) {
      DWORD need = ::ExpandEnvironmentStringsA(text.c_str(), nullptr, 0);
      std::string expanded(need, '\0');
      if (need > 0 && ::ExpandEnvironmentStringsA(text.c_str(), &expanded[0], need) == need) {
        expanded.resize(need - 1);
        text = std::move(expanded);
      }
    }
    if (text.size() >= kNamedValueBuffer)
      text.resize(kNamedValueBuffer - 1);
    *value = std::move(text);
    return true;
  }

  // Creates the source's key under the Application log with the message
  // file, the category count and the event types, then makes sure the
  // source is among the log's "Sources". Each step goes on after a failure
  // of the one before; the result says whether all of them worked.
  bool SystemLogRegister(const std::string& source, const std::string& messageFile,
                         uint32_t categoryCount) override {
    bool ok = true;
    std::string sourceKey = std::string(kEventLogBase) + "\\" + kEventLogName + "\\" + source;
    HKEY key;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, sourceKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                          nullptr, &key, nullptr) == ERROR_SUCCESS) {
      const BYTE* file = reinterpret_cast<const BYTE*>(messageFile.c_str());
      DWORD fileSize = static_cast<DWORD>(messageFile.size() + 1);
      DWORD count = categoryCount, types = kEventTypesSupported;
      ok &= ::RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, file, fileSize) ==
            ERROR_SUCCESS;
      ok &= ::RegSetValueExA(key, "CategoryMessageFile", 0, REG_EXPAND_SZ, file, fileSize) ==
            ERROR_SUCCESS;
      ok &= ::RegSetValueExA(key, "CategoryCount", 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&count), sizeof count) == ERROR_SUCCESS;
      ok &= ::RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&types), sizeof types) == ERROR_SUCCESS;
      ::RegCloseKey(key);
    } else {
      ok = false;
    }
    std::string logKey = std::string(kEventLogBase) + "\\" + kEventLogName;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, logKey.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                        &key) != ERROR_SUCCESS)
      return false;
    ok &= AddToSources(key, source);
    ::RegCloseKey(key);
    return ok;
  }

  bool SystemLogReport(const std::string& source, const lfmSystemEvent& event) override {
    HANDLE h = ::RegisterEventSourceA(nullptr, source.c_str());
    if (!h)
      return false;
    WORD type = event.level == lfmSysLogLevel::kWarning       ? EVENTLOG_WARNING_TYPE
                : event.level == lfmSysLogLevel::kInformation ? EVENTLOG_INFORMATION_TYPE
                                                              : EVENTLOG_ERROR_TYPE;
    const char* strings[5] = {};
    WORD count = 0;
    for (const std::string& s : event.strings) {
      if (count == 5)
        break;
      strings[count++] = s.c_str();
    }
    BOOL ok = ::ReportEventA(h, type, event.category, event.eventId, nullptr, count, 0,
                             count ? strings : nullptr, nullptr);
    ::DeregisterEventSource(h);
    return ok != 0;
  }

  // Winsock is started once, on the first call (never from DllMain).
  std::string HostName() override {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
      WSADATA data;
      started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    if (!started)
      return std::string();
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0)
      return std::string();
    return buf;
  }

  std::string ErrorText(int err) override {
    char buf[256] = {};
    if (::strerror_s(buf, sizeof buf, err) != 0)
      return "Unknown error " + std::to_string(err);
    return buf;
  }

  int64_t WallClockMicros() override {
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<int64_t>((t - kEpochOffset) / 10u);
  }

  uint64_t TickCountMs() override { return ::GetTickCount64(); }

  void SleepMs(uint32_t ms) override { ::Sleep(ms); }

  bool GmTime(time_t t, std::tm* out) override { return ::gmtime_s(out, &t) == 0; }
  bool LocalTime(time_t t, std::tm* out) override { return ::localtime_s(out, &t) == 0; }

  // 0 lowest .. 2 normal .. 4 highest.
  bool SetCurrentThreadPriority(int priority) override {
    static const int kPriorities[] = {THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_BELOW_NORMAL,
                                      THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_ABOVE_NORMAL,
                                      THREAD_PRIORITY_HIGHEST};
    if (priority < 0 || priority > 4)
      return false;
    return ::SetThreadPriority(::GetCurrentThread(), kPriorities[priority]) != 0;
  }
};

}  // namespace

lfmPlatform* lfmPlatform::Default() {
  static Win32Platform platform;
  return &platform;
}

void lfmPlatform::ThreadExit() {
  std::vector<SlotHook> hooks;
  try {
    std::lock_guard<std::mutex> guard(SlotLock());
    hooks = SlotHooks();
  } catch (...) {
    return;
  }
  for (const SlotHook& s : hooks) {
    void* value = ::TlsGetValue(s.index);
    if (!value)
      continue;
    ::TlsSetValue(s.index, nullptr);
    s.onThreadExit(value);
  }
}

#endif  // _WIN32
