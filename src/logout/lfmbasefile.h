#pragma once
// The file classes through which every log file is written: an unbuffered
// file over the platform's low-level calls (lfmBaseFile), a buffered one
// (lfmBufferedFile), a memory-mapped one (lfmMemMapFile) and its buffered
// variant (lfmBufferedMMFile).
//
// Every public operation takes the object's own lock and calls a protected
// virtual implementation, so one file may be written by request threads and
// flushed by the heartbeat at once. Failures throw whException (1010 usage,
// 1030 write); a failed open is a false result, never an exception.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "platform/lfmplatform.h"
#include "runtime/lfmcondition.h"
#include "runtime/lfmmutex.h"
#include "util/whexception.h"

class lfmWriteBuffer;
class lfmBaseFile;

// Buffered bytes taken out of a file's buffer to be written without locks.
struct lfmWriteBlock {
  std::unique_ptr<char[]> data;
  uint32_t capacity = 0;
  uint32_t used = 0;
};

class lfmBaseFile {
 public:
  // A full buffer handed to the writer of a record, to be written out by
  // CompleteWriteOut() once the writer has let go of its own locks, so that
  // other threads can go on appending meanwhile. Must be completed exactly
  // once; the destructor completes (and reports) one that was not.
  class WriteOut {
   public:
    WriteOut() = default;
    ~WriteOut() {
      if (file)
        CompleteReporting();
    }
    WriteOut(const WriteOut&) = delete;
    WriteOut& operator=(const WriteOut&) = delete;
    bool Pending() const { return file != nullptr; }
    // CompleteWriteOut() of the file it came from, when pending.
    void Complete() {
      if (file)
        file->CompleteWriteOut(*this);
    }

   private:
    friend class lfmBaseFile;
    friend class lfmBufferedFile;
    // Complete(), with a failure reported rather than thrown.
    void CompleteReporting();
    lfmBaseFile* file = nullptr;
    lfmFileHandle descriptor = kInvalidFileHandle;
    lfmWriteBlock block;
  };

  lfmBaseFile();
  // Closes the file.
  virtual ~lfmBaseFile();
  lfmBaseFile(const lfmBaseFile&) = delete;
  lfmBaseFile& operator=(const lfmBaseFile&) = delete;

  // Opens `name` with kOpen* flags and a permission. `time` (0: now) becomes
  // the last flush time. False, with the object closed, when the system
  // refuses; throws 1010 when another file is already open.
  bool Open(const std::string& name, int flags, int permission, time_t time);
  // Writes `n` bytes (through the buffer where there is one). Throws 1010
  // when closed, 1030 when the system refuses; on a bad descriptor the object
  // is closed first. Bytes not yet handed to the system stay buffered.
  void Write(const char* data, size_t n);
  // As Write, except that when the record does not fit the buffer, the
  // held bytes may be handed to `out` instead of being written here; the
  // record is buffered behind them. The caller completes `out` after
  // releasing its locks. True when `out` holds a write-out. When the buffer
  // is full again while an earlier write-out is still in flight, waits for
  // that one first (it needs only this object's lock), so that records
  // handed in this way never grow the buffer past its size.
  bool WriteDetaching(const char* data, size_t n, WriteOut* out);
  // Writes out's bytes to the file without the object's lock, then settles
  // them: bytes that could not be written go back in front of the buffer,
  // in order, and the failure throws as Write would (1030; on a bad
  // descriptor the object is closed first). Until it returns, everything
  // else that writes to the file waits and appends go to the buffer.
  void CompleteWriteOut(WriteOut& out);

  // Writes `n` bytes to the open file ahead of whatever the buffer holds
  // (which stays buffered). Throws as Write does.
  void WriteAhead(const char* data, size_t n);
  // Appends to the buffer only; the file may be closed. Throws 1010 without
  // a buffer, 1030 when the record does not fit.
  void BufferWrite(const char* data, size_t n);
  // Appends the record to the buffer without taking the object's lock, when
  // the file is open, the record fits the buffer and no write-out is in
  // flight; false, with nothing done, otherwise (the caller then writes as
  // usual). Only for an owner that makes every call on this object under one
  // lock of its own and holds it here: a write-out is the one thing that
  // touches the buffer outside the owner's lock, and none can begin while
  // the owner's lock is held.
  bool AppendOwned(const char* data, size_t n);
  // Hands buffered bytes to the system; `time` (0: now) becomes the last
  // flush time.
  void Flush(time_t time);
  // Writes out the buffer (when open) and closes. Buffered bytes that could
  // not be written stay in the buffer for the next open.
  void Close();

  // Without the lock: while another thread opens or closes the file, either
  // answer may come back.
  bool IsOpen() const { return open_.load(std::memory_order_acquire); }
  std::string GetName() const;
  // Bytes in the file plus bytes still buffered.
  uint64_t Size() const;
  uint32_t BufferSize() const;
  uint64_t MaxSize() const;
  void SetBufferSize(uint32_t size);
  void SetMaxSize(uint64_t size);
  // True when `n` more bytes would not fit the buffer (always without one).
  bool BufferFull(size_t n) const;
  // Bytes held in the buffer and not yet written.
  uint32_t PendingBytes() const;
  time_t LastFlushTime() const;
  lfmFileHandle Descriptor() const;
  // Forgets name, descriptor and counters (a closed object only).
  void Reset();
  // Moves the bytes buffered in `from` (which must be closed) into this
  // object's buffer, so that swapping the file class loses nothing. Both must
  // have a buffer; otherwise nothing moves.
  void TakePendingFrom(lfmBaseFile& from);

 protected:
  explicit lfmBaseFile(const char* className);

  virtual uint64_t DoSize() const { return writtenSize_; }
  virtual void DoSetBufferSize(uint32_t size) { bufferSize_ = size; }
  virtual void DoSetMaxSize(uint64_t size) { maxSize_ = size; }
  virtual void DoReset();
  virtual bool DoOpen(const std::string& name, int flags, int permission, time_t time);
  virtual void DoWrite(const char* data, size_t n);
  // Default: the unbuffered write of the low-level file.
  virtual void DoWriteAhead(const char* data, size_t n) { lfmBaseFile::DoWrite(data, n); }
  // Default: an ordinary write, nothing handed out.
  virtual bool DoWriteDetaching(const char* data, size_t n, WriteOut*) LFM_REQUIRES(lock_) {
    DoWrite(data, n);
    return false;
  }
  // True when a write-out is in flight and the record does not fit the
  // buffer beside it: WriteDetaching then waits for the write-out.
  virtual bool DoFullDuringWriteOut(size_t) const LFM_REQUIRES(lock_) { return false; }
  virtual bool DoBufferFull(size_t) const { return false; }
  virtual void DoFlush() {}
  virtual void DoBufferWrite(const char* data, size_t n);
  virtual void DoClose();
  // The write buffer, or null for the unbuffered classes.
  virtual lfmWriteBuffer* Buffer() { return nullptr; }
  const lfmWriteBuffer* Buffer() const { return const_cast<lfmBaseFile*>(this)->Buffer(); }

  // Writes all `n` bytes to the descriptor, looping over short writes; only
  // a real error ends it, with 1030. `*done` counts the bytes written before
  // an error.
  void WriteAll(const char* data, size_t n, size_t* done);
  // Under the lock: marks `out` (whose block the caller filled) as this
  // file's write-out in flight.
  void BeginWriteOut(WriteOut* out) LFM_REQUIRES(lock_);
  bool WritingOut() const { return writingOut_.load(std::memory_order_acquire); }
  // Waits, without the lock, until no write-out is in flight. Called first
  // by every operation that writes to the descriptor or closes it; such
  // operations run under the owner's lock, which a write-out never needs.
  void WaitForWriteOut() const;
  // The 1030 exception of a failed low-level write with error `err`; on a
  // bad descriptor the object is closed (forgotten) first.
  whException WriteFailure(const char* method, int err);

  [[noreturn]] void ThrowUsage(const char* method, const std::string& text) const;
  void ThrowIfOpen(const std::string& newName) const;

  const char* className_;
  mutable lfmMutex lock_;
  std::string name_;
  int openFlags_ = 0;
  int permission_ = 0;
  lfmFileHandle descriptor_ = kInvalidFileHandle;
  uint32_t bufferSize_ = 0;
  uint64_t maxSize_ = 0;
  uint64_t writtenSize_ = 0;
  // Written under the lock; read without it by IsOpen().
  std::atomic<bool> open_{false};
  time_t lastFlush_ = 0;
  // Bytes of the write-out in flight (counted in the size until settled).
  uint64_t writeOutBytes_ = 0;
  // Buffer() of the buffered classes, set by their constructors, for
  // AppendOwned's path without a virtual call.
  lfmWriteBuffer* ownedBuffer_ = nullptr;

 private:
  std::atomic<bool> writingOut_{false};
  // Where WaitForWriteOut() sleeps until the end of a write-out. The end is
  // broadcast under writeOutEndLock_, which is the write-out's last touch
  // of this object: the destructor takes it once, so that a waiter that saw
  // the end without sleeping cannot free the object under the broadcast.
  mutable lfmMutex writeOutEndLock_;
  mutable lfmCondition writeOutEnded_;
};
