#pragma once
// The one narrow interface through which the collector asks anything of the
// operating system. No other module includes an OS header.
//
// There is a process default (POSIX or Win32, chosen at build time). Tests may
// install a wrapper (lfmPlatformWrapper) that forwards to the default and
// overrides single calls to inject failures: a full disk, a short write, an
// open or rename that fails, an environment of their own.

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

// Error numbers are the C library's errno values (<cerrno>) on every platform.

// Open flags in the system's own vocabulary. The platform translates them.
enum : int {
  kOpenReadOnly = 0x0,
  kOpenWriteOnly = 0x1,
  kOpenReadWrite = 0x2,
  kOpenAppend = 0x8,
  kOpenCreate = 0x100,
  kOpenTruncate = 0x200,
  kOpenExclusive = 0x400,
  kOpenUntranslated = 0x8000,
};
// Permission for files the system creates (read and write for everybody the
// process umask allows).
constexpr int kOpenPermission = 0x1B6;

// Access modes for Access(): existence, write, read (the runtime library's).
enum : int { kAccessExists = 0, kAccessWrite = 2, kAccessRead = 4 };

// Attribute bits of a directory entry.
constexpr uint32_t kAttrReadOnly = 0x01;
constexpr uint32_t kAttrDirectory = 0x10;

// Mode bits of a file status (the subset the system reads).
constexpr uint32_t kModeOwnerWrite = 0x80;
constexpr uint32_t kModeDirectory = 0x4000;
constexpr uint32_t kModeRegular = 0x8000;

using lfmFileHandle = int64_t;
constexpr lfmFileHandle kInvalidFileHandle = -1;

struct lfmFileStatus {
  uint64_t size = 0;
  int64_t accessTime = 0;  // seconds since 1970
  int64_t modifyTime = 0;
  int64_t createTime = 0;
  uint32_t mode = 0;  // kMode* bits
};

struct lfmDirEntry {
  std::string name;  // entry name only, no directory
  uint64_t size = 0;
  int64_t accessTime = 0;
  int64_t modifyTime = 0;
  int64_t createTime = 0;
  uint32_t attributes = 0;  // kAttr* bits
};

// Levels of the system log, highest severity first.
enum class lfmSysLogLevel { kError = 0, kWarning = 1, kInformation = 2 };

// One entry of the system log. The Windows event log keeps the category,
// the identifier and the insertion strings and renders them itself; a system
// log without such fields writes the identifier and the category name in
// front of the rendered text.
struct lfmSystemEvent {
  lfmSysLogLevel level = lfmSysLogLevel::kError;
  uint16_t category = 0;
  std::string categoryName;
  uint32_t eventId = 0;
  std::vector<std::string> strings;  // insertion strings, at most five
  std::string text;                  // the message formatted with `strings`
};

class lfmPlatform {
 public:
  virtual ~lfmPlatform() = default;

  // The platform in force: the installed one, else the process default.
  // Never null. Thread-safe.
  static lfmPlatform* Current();
  // The process default (POSIX or Win32). Never null.
  static lfmPlatform* Default();
  // Installs `p` (not owned; null restores the default). For tests only: the
  // caller keeps `p` alive until it is uninstalled and installs it while no
  // other thread uses the platform.
  static void Install(lfmPlatform* p);
  // Runs, on the calling thread as it ends, the exit hooks of the process
  // default's thread-local slots that hold a value on it (each value is
  // cleared before its hook sees it). Windows has no such destructor of its
  // own, so the module's thread-detach callback calls this; POSIX runs the
  // hooks itself at thread exit and this does nothing there.
  static void ThreadExit();

  // ---- low-level files (paths may use "\" or "/") ----
  // Opens with kOpen* flags and a permission; returns the handle or
  // kInvalidFileHandle with *err set to the system's error number.
  virtual lfmFileHandle Open(const std::string& path, int flags, int permission, int* err) = 0;
  // Writes up to n bytes; returns the count written (may be short) or -1 with *err.
  virtual int64_t Write(lfmFileHandle h, const void* data, size_t n, int* err) = 0;
  // Reads up to n bytes; 0 at end of file, -1 with *err on failure.
  virtual int64_t Read(lfmFileHandle h, void* data, size_t n, int* err) = 0;
  // Moves the file position (origin 0 start, 1 current, 2 end); returns the
  // new position or -1 with *err.
  virtual int64_t Seek(lfmFileHandle h, int64_t offset, int origin, int* err) = 0;
  // Sets the file's length; false with *err on failure.
  virtual bool Truncate(lfmFileHandle h, uint64_t size, int* err) = 0;
  // Makes an open file at least `size` bytes long with its blocks reserved
  // on disk, so that later writes through a mapped view cannot fail for want
  // of space. False with *err (ENOSPC for a full disk) on failure.
  virtual bool Allocate(lfmFileHandle h, uint64_t size, int* err) = 0;
  // Size of an open file; -1 with *err on failure.
  virtual int64_t Size(lfmFileHandle h, int* err) = 0;
  virtual bool Sync(lfmFileHandle h, int* err) = 0;
  virtual bool Close(lfmFileHandle h, int* err) = 0;
  // Marks the file of `h` as being written for as long as `h` stays open:
  // a shared advisory lock that the system drops when the handle closes or
  // the process ends, however it ends. Waits while another process holds
  // the file for repair. False when the file system has no such locks.
  virtual bool MarkWriting(lfmFileHandle h) = 0;
  // Takes the file of `h` for repair, exclusively until `h` closes. False
  // with *inUse set when a live process has it marked as being written (or
  // holds it for repair); false with *inUse clear when the file system
  // cannot tell (no such locks). Never waits.
  virtual bool TakeForRepair(lfmFileHandle h, bool* inUse) = 0;

  // ---- memory-mapped views of open files ----
  // Alignment that a view's file offset must have (the page size on POSIX,
  // 64 KiB on Windows). Never 0.
  virtual uint32_t AllocationGranularity() = 0;
  // Maps `length` bytes of an open file from `offset` (a multiple of the
  // allocation granularity) for writing; the file must already be that long.
  // Returns the view or null with *err.
  virtual void* MapView(lfmFileHandle h, uint64_t offset, size_t length, int* err) = 0;
  // Writes a view's dirty pages to the file (synchronously when `wait`).
  virtual bool FlushView(void* view, size_t length, bool wait, int* err) = 0;
  virtual bool UnmapView(void* view, size_t length, int* err) = 0;

  // A buffered C stream on a path (fopen modes). Null with *err on failure.
  virtual std::FILE* OpenStream(const std::string& path, const char* mode, int* err) = 0;

  // ---- paths ----
  virtual bool Stat(const std::string& path, lfmFileStatus* out) = 0;
  virtual bool Access(const std::string& path, int mode) = 0;
  // Renames; when `replace` is false an existing target makes it fail (EEXIST)
  // instead of being overwritten. With `replace` the target is replaced
  // atomically. Returns 0 or the system's error number.
  virtual int Rename(const std::string& from, const std::string& to, bool replace) = 0;
  // Deletes a file; returns 0 or the system's error number.
  virtual int Remove(const std::string& path) = 0;
  // Sets the owner-write permission on (or off); returns 0 or an error number.
  virtual int SetWritable(const std::string& path, bool writable) = 0;
  // Creates one directory; returns 0 or the system's error number.
  virtual int MakeDirectory(const std::string& path) = 0;
  // Lists a directory's entries (not "." and ".."); false when it cannot be read.
  virtual bool ListDirectory(const std::string& path, std::vector<lfmDirEntry>* out) = 0;
  // The process's current directory, with a trailing separator.
  virtual std::string CurrentDirectory() = 0;

  // ---- thread-local slots ----
  // Allocates a slot whose non-null value is passed to `onThreadExit` when a
  // thread that set it ends. Returns false when none is left.
  virtual bool TlsAllocate(void (*onThreadExit)(void*), uint32_t* index) = 0;
  virtual void TlsFree(uint32_t index) = 0;
  virtual bool TlsSet(uint32_t index, void* value) = 0;
  virtual void* TlsGet(uint32_t index) = 0;

  // ---- named values, system log, host, errors ----
  // Environment variable; false when not set.
  virtual bool GetEnvironment(const std::string& name, std::string* value) = 0;
  // A stored named value (the registry on Windows); false when absent.
  virtual bool GetNamedValue(const std::string& name, std::string* value) = 0;
  // Registers the event source `source` with the system log (a message file
  // and a category count on Windows). False when that failed; the caller
  // decides whether to try again.
  virtual bool SystemLogRegister(const std::string& source, const std::string& messageFile,
                                 uint32_t categoryCount) = 0;
  // Reports one event under `source`; false when it could not be written.
  virtual bool SystemLogReport(const std::string& source, const lfmSystemEvent& event) = 0;
  virtual std::string HostName() = 0;
  virtual std::string ErrorText(int err) = 0;

  // ---- time ----
  // Wall clock in microseconds since 1970. Only the clock seam (lfmClock)
  // calls this; everything else asks lfmClock.
  virtual int64_t WallClockMicros() = 0;
  // Monotonic milliseconds.
  virtual uint64_t TickCountMs() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
  // Calendar conversions; false when the time cannot be represented.
  virtual bool GmTime(time_t t, std::tm* out) = 0;
  virtual bool LocalTime(time_t t, std::tm* out) = 0;
  // Applies a thread priority (0 lowest .. 4 highest) to the calling thread.
  // Returns false where the platform refuses; callers keep the value anyway.
  virtual bool SetCurrentThreadPriority(int priority) = 0;
};

// Forwards every call to a target (the default unless given). Tests derive
// from it and override the calls they want to fail.
class lfmPlatformWrapper : public lfmPlatform {
 public:
  explicit lfmPlatformWrapper(lfmPlatform* target = lfmPlatform::Default()) : target_(target) {}
  lfmPlatform* target() const { return target_; }

  lfmFileHandle Open(const std::string& p, int f, int perm, int* e) override {
    return target_->Open(p, f, perm, e);
  }
  int64_t Write(lfmFileHandle h, const void* d, size_t n, int* e) override {
    return target_->Write(h, d, n, e);
  }
  int64_t Read(lfmFileHandle h, void* d, size_t n, int* e) override {
    return target_->Read(h, d, n, e);
  }
  int64_t Seek(lfmFileHandle h, int64_t o, int w, int* e) override {
    return target_->Seek(h, o, w, e);
  }
  bool Truncate(lfmFileHandle h, uint64_t s, int* e) override { return target_->Truncate(h, s, e); }
  bool Allocate(lfmFileHandle h, uint64_t s, int* e) override { return target_->Allocate(h, s, e); }
  int64_t Size(lfmFileHandle h, int* e) override { return target_->Size(h, e); }
  bool Sync(lfmFileHandle h, int* e) override { return target_->Sync(h, e); }
  bool Close(lfmFileHandle h, int* e) override { return target_->Close(h, e); }
  bool MarkWriting(lfmFileHandle h) override { return target_->MarkWriting(h); }
  bool TakeForRepair(lfmFileHandle h, bool* u) override { return target_->TakeForRepair(h, u); }
  uint32_t AllocationGranularity() override { return target_->AllocationGranularity(); }
  void* MapView(lfmFileHandle h, uint64_t o, size_t n, int* e) override {
    return target_->MapView(h, o, n, e);
  }
  bool FlushView(void* v, size_t n, bool w, int* e) override {
    return target_->FlushView(v, n, w, e);
  }
  bool UnmapView(void* v, size_t n, int* e) override { return target_->UnmapView(v, n, e); }
  std::FILE* OpenStream(const std::string& p, const char* m, int* e) override {
    return target_->OpenStream(p, m, e);
  }
  bool Stat(const std::string& p, lfmFileStatus* o) override { return target_->Stat(p, o); }
  bool Access(const std::string& p, int m) override { return target_->Access(p, m); }
  int Rename(const std::string& f, const std::string& t, bool r) override {
    return target_->Rename(f, t, r);
  }
  int Remove(const std::string& p) override { return target_->Remove(p); }
  int SetWritable(const std::string& p, bool w) override { return target_->SetWritable(p, w); }
  int MakeDirectory(const std::string& p) override { return target_->MakeDirectory(p); }
  bool ListDirectory(const std::string& p, std::vector<lfmDirEntry>* o) override {
    return target_->ListDirectory(p, o);
  }
  std::string CurrentDirectory() override { return target_->CurrentDirectory(); }
  bool TlsAllocate(void (*cb)(void*), uint32_t* i) override { return target_->TlsAllocate(cb, i); }
  void TlsFree(uint32_t i) override { target_->TlsFree(i); }
  bool TlsSet(uint32_t i, void* v) override { return target_->TlsSet(i, v); }
  void* TlsGet(uint32_t i) override { return target_->TlsGet(i); }
  bool GetEnvironment(const std::string& n, std::string* v) override {
    return target_->GetEnvironment(n, v);
  }
  bool GetNamedValue(const std::string& n, std::string* v) override {
    return target_->GetNamedValue(n, v);
  }
  bool SystemLogRegister(const std::string& s, const std::string& f, uint32_t n) override {
    return target_->SystemLogRegister(s, f, n);
  }
  bool SystemLogReport(const std::string& s, const lfmSystemEvent& e) override {
    return target_->SystemLogReport(s, e);
  }
  std::string HostName() override { return target_->HostName(); }
  std::string ErrorText(int e) override { return target_->ErrorText(e); }
  int64_t WallClockMicros() override { return target_->WallClockMicros(); }
  uint64_t TickCountMs() override { return target_->TickCountMs(); }
  void SleepMs(uint32_t ms) override { target_->SleepMs(ms); }
  bool GmTime(time_t t, std::tm* o) override { return target_->GmTime(t, o); }
  bool LocalTime(time_t t, std::tm* o) override { return target_->LocalTime(t, o); }
  bool SetCurrentThreadPriority(int p) override { return target_->SetCurrentThreadPriority(p); }

 private:
  lfmPlatform* target_;
};
