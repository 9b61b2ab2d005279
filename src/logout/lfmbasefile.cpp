#include "logout/lfmbasefile.h"

#include <cerrno>
#include <thread>

#include "diag/lfmexceptioncontroller.h"
#include "logout/lfmbufferedfile.h"
#include "util/lfmclock.h"
#include "util/whexceptiontexts.h"

namespace {
const char kModule[] = "./src/logout/lfmbasefile.cpp";
}

lfmBaseFile::lfmBaseFile() : lfmBaseFile("lfmBaseFile") {}

lfmBaseFile::lfmBaseFile(const char* className) : className_(className) {}

lfmBaseFile::~lfmBaseFile() {
  WaitForWriteOut();
  {
    // A write-out that has just ended may still be broadcasting its end
    // (WaitForWriteOut returns as soon as it sees the flag cleared): the
    // object is not freed under it.
    lfmScopedGuard ended(writeOutEndLock_);
  }
  lfmScopedGuard guard(lock_);
  lfmBaseFile::DoClose();
}

bool lfmBaseFile::Open(const std::string& name, int flags, int permission, time_t time) {
  WaitForWriteOut();
  lfmScopedGuard guard(lock_);
  return DoOpen(name, flags, permission, time);
}

void lfmBaseFile::Write(const char* data, size_t n) {
  lfmScopedGuard guard(lock_);
  DoWrite(data, n);
}

void lfmBaseFile::WriteAhead(const char* data, size_t n) {
  WaitForWriteOut();
  lfmScopedGuard guard(lock_);
  DoWriteAhead(data, n);
}

bool lfmBaseFile::WriteDetaching(const char* data, size_t n, WriteOut* out) {
  if (!out || out->Pending())
    ThrowUsage("Write()", "A write-out must be completed before the next one is taken.");
  for (;;) {
    {
      lfmScopedGuard guard(lock_);
      if (!DoFullDuringWriteOut(n))
        return DoWriteDetaching(data, n, out);
    }
    // Growing the buffer instead would let it grow without bound whenever
    // the writers outpace the file.
    WaitForWriteOut();
  }
}

void lfmBaseFile::BeginWriteOut(WriteOut* out) {
  out->file = this;
  out->descriptor = descriptor_;
  writeOutBytes_ = out->block.used;
  writingOut_.store(true, std::memory_order_release);
}

void lfmBaseFile::WaitForWriteOut() const {
  // A write-out is one low-level write of a buffer: yield a while first,
  // then sleep until it ends (a yield may hand the processor straight back
  // while the writer waits for it).
  for (int i = 0; i < 100; ++i) {
    if (!writingOut_.load(std::memory_order_acquire))
      return;
    std::this_thread::yield();
  }
  lfmScopedGuard wait(writeOutEndLock_);
  // The flag is cleared and the end broadcast under the same lock: no end
  // falls between the test and the wait; a wake-up for an earlier end is
  // tested again.
  while (writingOut_.load(std::memory_order_acquire))
    writeOutEnded_.Wait(writeOutEndLock_, lfmCondition::kInfinite);
}

void lfmBaseFile::CompleteWriteOut(WriteOut& out) {
  if (out.file != this)
    return;
  // Only this thread touches the block and the descriptor until the flag
  // is cleared: everything else that writes to the file waits for it.
  lfmPlatform* platform = lfmPlatform::Current();
  const char* data = out.block.data.get();
  size_t n = out.block.used;
  size_t done = 0;
  int err = 0;
  while (done < n) {
    int64_t w = platform->Write(out.descriptor, data + done, n - done, &err);
    if (w <= 0) {
      if (w == 0)
        err = EIO;  // no progress and no error: do not spin
      break;
    }
    done += static_cast<size_t>(w);
  }
  bool failed = done < n;
  std::unique_ptr<whException> failure;
  {
    lfmScopedGuard guard(lock_);
    writtenSize_ += done;
    writeOutBytes_ = 0;
    if (lfmWriteBuffer* b = Buffer())
      b->Reattach(out.block, done);
    if (failed)
      failure = std::make_unique<whException>(WriteFailure("Write()", err));
  }
  out.file = nullptr;
  out.descriptor = kInvalidFileHandle;
  {
    // The last touch of this object: a waiter may free it once this lock is
    // released (see ~lfmBaseFile).
    lfmScopedGuard ended(writeOutEndLock_);
    writingOut_.store(false, std::memory_order_release);
    writeOutEnded_.Broadcast();
  }
  if (failure)
    throw *failure;
}

void lfmBaseFile::WriteOut::CompleteReporting() {
  try {
    file->CompleteWriteOut(*this);
  } catch (const whException& e) {
    lfmExceptionController::ProcessException(e, whMethodId("lfmBaseFile", "CompleteWriteOut()"));
  }
}

void lfmBaseFile::BufferWrite(const char* data, size_t n) {
  WaitForWriteOut();
  lfmScopedGuard guard(lock_);
  DoBufferWrite(data, n);
}

bool lfmBaseFile::AppendOwned(const char* data, size_t n) {
  // The acquire pairs with the release that ends a write-out: its settling
  // of the buffer is seen here.
  if (WritingOut() || !open_.load(std::memory_order_relaxed))
    return false;
  lfmWriteBuffer* b = ownedBuffer_;
  if (!b || !b->Fits(n))
    return false;
  b->Append(data, n);
  return true;
}

void lfmBaseFile::Flush(time_t time) {
  WaitForWriteOut();
  lfmScopedGuard guard(lock_);
  DoFlush();
  lastFlush_ = time ? time : lfmClock::Now();
}

void lfmBaseFile::Close() {
  WaitForWriteOut();
  lfmScopedGuard guard(lock_);
  DoClose();
}

std::string lfmBaseFile::GetName() const {
  lfmScopedGuard guard(lock_);
  return name_;
}

uint64_t lfmBaseFile::Size() const {
  lfmScopedGuard guard(lock_);
  return DoSize();
}

uint32_t lfmBaseFile::BufferSize() const {
  lfmScopedGuard guard(lock_);
  return bufferSize_;
}

uint64_t lfmBaseFile::MaxSize() const {
  lfmScopedGuard guard(lock_);
  return maxSize_;
}

void lfmBaseFile::SetBufferSize(uint32_t size) {
  WaitForWriteOut();
  lfmScopedGuard guard(lock_);
  DoSetBufferSize(size);
}

void lfmBaseFile::SetMaxSize(uint64_t size) {
  lfmScopedGuard guard(lock_);
  DoSetMaxSize(size);
}

bool lfmBaseFile::BufferFull(size_t n) const {
  lfmScopedGuard guard(lock_);
  return DoBufferFull(n);
}

uint32_t lfmBaseFile::PendingBytes() const {
  lfmScopedGuard guard(lock_);
  const lfmWriteBuffer* b = Buffer();
  return (b ? b->Used() : 0) + static_cast<uint32_t>(writeOutBytes_);
}

time_t lfmBaseFile::LastFlushTime() const {
  lfmScopedGuard guard(lock_);
  return lastFlush_;
}

lfmFileHandle lfmBaseFile::Descriptor() const {
  lfmScopedGuard guard(lock_);
  return descriptor_;
}

void lfmBaseFile::Reset() {
  WaitForWriteOut();
  lfmScopedGuard guard(lock_);
  DoReset();
}

void lfmBaseFile::TakePendingFrom(lfmBaseFile& from) {
  if (&from == this)
    return;
  WaitForWriteOut();
  from.WaitForWriteOut();
  lfmScopedGuard guard(lock_);
  lfmScopedGuard other(from.lock_);
  lfmWriteBuffer* mine = Buffer();
  lfmWriteBuffer* theirs = from.Buffer();
  if (mine && theirs)
    mine->TakeFrom(*theirs, className_);
}

void lfmBaseFile::DoReset() {
  name_.clear();
  descriptor_ = kInvalidFileHandle;
  openFlags_ = 0;
  permission_ = 0;
  writtenSize_ = 0;
  open_ = false;
  lastFlush_ = 0;
}

void lfmBaseFile::ThrowIfOpen(const std::string& newName) const {
  if (open_)
    ThrowUsage("Open()",
               "Attempted to open file: " + newName + ".  Another file is already open: " + name_);
}

bool lfmBaseFile::DoOpen(const std::string& name, int flags, int permission, time_t time) {
  ThrowIfOpen(name);
  lfmPlatform* platform = lfmPlatform::Current();
  int err = 0;
  lfmFileHandle fd = platform->Open(name, flags, permission, &err);
  if (fd < 1) {
    // 0 is standard input, never a file of ours: refuse it like a failure.
    if (fd == 0)
      platform->Close(fd, &err);
    return false;
  }
  // Marked while open, so that another process's start-up repair leaves
  // the file alone; a file system without locks just goes unmarked.
  platform->MarkWriting(fd);
  descriptor_ = fd;
  openFlags_ = flags;
  permission_ = permission;
  name_ = name;
  open_ = true;
  // An append reopens a file that may already hold data; the size limit
  // counts what the file holds, not what this open added.
  int64_t existing = platform->Size(fd, &err);
  writtenSize_ = existing > 0 ? static_cast<uint64_t>(existing) : 0;
  lastFlush_ = time ? time : lfmClock::Now();
  return true;
}

whException lfmBaseFile::WriteFailure(const char* method, int err) {
  if (err == ENOSPC)
    return whException(className_, method, kModule, __LINE__, whText::kWriteFile, name_.c_str(),
                       descriptor_, "Out of disk space");
  if (err == EBADF) {
    // The descriptor is gone: forget it, so the next open starts clean.
    whException e(className_, method, kModule, __LINE__, whText::kWriteFile, name_.c_str(),
                  descriptor_, "Bad file handle. Resetting the internal controller.");
    open_ = false;
    descriptor_ = kInvalidFileHandle;
    return e;
  }
  return whException(className_, method, kModule, __LINE__, whText::kWriteFile, name_.c_str(),
                     descriptor_, ("Errno: " + std::to_string(err)).c_str());
}

void lfmBaseFile::WriteAll(const char* data, size_t n, size_t* done) {
  *done = 0;
  lfmPlatform* platform = lfmPlatform::Current();
  while (*done < n) {
    int err = 0;
    int64_t w = platform->Write(descriptor_, data + *done, n - *done, &err);
    if (w <= 0) {
      if (w == 0)
        err = EIO;  // no progress and no error: do not spin
      throw WriteFailure("Write()", err);
    }
    *done += static_cast<size_t>(w);
    writtenSize_ += static_cast<uint64_t>(w);
  }
}

void lfmBaseFile::DoWrite(const char* data, size_t n) {
  if (!open_)
    ThrowUsage("Write()", "Attempted to write to unopen file: " + name_);
  size_t done = 0;
  WriteAll(data, n, &done);
}

void lfmBaseFile::DoBufferWrite(const char*, size_t) {
  ThrowUsage("BufferWrite()", "Attempted a buffered write when the object does not have a buffer.");
}

void lfmBaseFile::DoClose() {
  if (open_ && descriptor_ > 0) {
    int err = 0;
    lfmPlatform::Current()->Close(descriptor_, &err);
  }
  open_ = false;
  descriptor_ = kInvalidFileHandle;
  writtenSize_ = 0;
  lastFlush_ = 0;
}

void lfmBaseFile::ThrowUsage(const char* method, const std::string& text) const {
  throw whException(className_, method, kModule, __LINE__, whText::kIncorrectUsage, text.c_str());
}
