#pragma once
// lfmLogFileController: one logical log stream. Every hit that shares a file
// key is appended through it to the current file of the stream; the
// controller ends the current file and begins the next one by time period
// and by size. Controllers are created, found and budgeted by the pool.
//
// Locks: the write lock (an lfmWriteLock) guards the current file and every
// rotation decision; the standby lock guards the exchange of current and
// standby file and the closing of the standby file. The write lock is always
// taken before the standby lock. A full buffer is written out after the
// write lock is released (the file keeps the order and makes everything else
// that writes to it wait for that write-out), so the stream's other writers
// are not held up by the system call unless the buffer fills again before it
// ends. A record that fits the buffer takes only the write lock (see
// lfmLogFile).

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "logout/lfmlogfile.h"
#include "logout/lfmwritelock.h"
#include "runtime/lfmmutex.h"

class lfmLogFileController {
 public:
  // `fileKey` goes into the file names; `poolKey` (default: the file key)
  // is the key the pool holds the stream and its handle grants under.
  explicit lfmLogFileController(const std::string& fileKey, const std::string& poolKey = "");
  // Writes out and closes the current and the standby file; failures are
  // reported, never thrown.
  virtual ~lfmLogFileController();
  lfmLogFileController(const lfmLogFileController&) = delete;
  lfmLogFileController& operator=(const lfmLogFileController&) = delete;

  // Appends one record of a hit at `hitTime`: rotates first when the period
  // has ended or the size limit would be passed, writes the header into a
  // new file. `writeTime` is the lazy file's last write time; `latencyClass`
  // selects directory and, in the hosted service model, the rotation rate.
  // Thread-safe (write lock). Throws whException (1029 open, 1030 write,
  // 1010 no header); the record is then not written, except for a failed
  // write-out of a full buffer, which throws 1030 with the record buffered
  // and every byte kept in order.
  void Write(time_t hitTime, const char* data, size_t length, time_t writeTime,
             int32_t latencyClass);
  // Closes the current file if open (with a standby file: the open file
  // becomes the standby, to be closed by the heartbeat). True when a file was
  // released. Thread-safe (write lock); failures are reported and thrown on.
  bool ReleaseHandle();
  // As ReleaseHandle, but gives up at once (false, *busy true) when another
  // thread holds the write lock. Used by the pool's eviction, which must
  // never wait for a controller while its caller holds its own write lock.
  bool TryReleaseHandle(bool* busy);
  // The heartbeat's flush: closes the standby file once its period lies in
  // the past, then flushes the current file by "bufferflushrate".
  void Flush(time_t now);
  // The heartbeat's rotation check: releases an open file whose period has
  // ended, so an idle stream does not keep it open.
  void CheckRotation(time_t now);

  const std::string& FileKey() const { return fileKey_; }
  // Whether the current file holds an open handle. Thread-safe.
  bool IsFileOpen();
  // The current file's name (empty before the first write). Thread-safe.
  std::string CurrentFileName();

  // The process-wide header. Only the first SetLogFileHeader has an effect
  // (throws 1010 for a null text). GetLogFileHeader throws 1010 until a
  // header is set; its first call puts the "#Remark: KYR-p" line in front.
  static void SetLogFileHeader(const char* text);
  static std::string GetLogFileHeader();
  // For tests only: forgets the header.
  static void ResetHeaderForTest();

 private:
  bool ReleaseLocked() LFM_REQUIRES(writeLock_) LFM_EXCLUDES(standbyLock_);
  // The common case of Write: a record for the open current file, which
  // has its header and whose period, as already asked, covers `t`, appended
  // at once. False, with nothing done, when any of that is not so.
  bool AppendInPeriod(time_t t, const char* data, size_t n, time_t writeTime)
      LFM_REQUIRES(writeLock_);
  void CheckLogFile(time_t t, size_t n, time_t writeTime) LFM_REQUIRES(writeLock_);
  void OpenFile(time_t t) LFM_REQUIRES(writeLock_);
  bool TimePeriodRotate(time_t t) LFM_REQUIRES(writeLock_);
  bool SizeExceeded(size_t n) const LFM_REQUIRES(writeLock_);
  void InitializeStateInfo(time_t t) LFM_REQUIRES(writeLock_);
  void BuildFileName(time_t t, std::string& out) const LFM_REQUIRES(writeLock_);
  std::string Directory() const LFM_REQUIRES(writeLock_);
  void CloseStandbyIfNamed(const std::string& name) LFM_EXCLUDES(standbyLock_);
  void CloseStandbyIfNamedLocked(const std::string& name) LFM_REQUIRES(standbyLock_);

  std::string key_;      // the pool's key of this stream (handle budget)
  std::string fileKey_;  // the key its file names carry
  // Recursive: a writer opening its next file holds it while it reserves a
  // handle, and the pool's eviction may pick this controller's own earlier
  // grant; TryReleaseHandle() must then enter again (a closed file: nothing
  // to release) rather than find the lock busy and requeue the grant.
  lfmWriteLock writeLock_;
  lfmMutex standbyLock_ LFM_ACQUIRED_AFTER(writeLock_);
  std::unique_ptr<lfmLogFile> current_ LFM_GUARDED_BY(writeLock_);
  // Both locks to swap; the standby lock to use.
  std::unique_ptr<lfmLogFile> standby_ LFM_GUARDED_BY(standbyLock_);
  uint32_t sequence_ LFM_GUARDED_BY(writeLock_) = 0;
  int32_t latencyClass_ LFM_GUARDED_BY(writeLock_) = 2;
  // Periods are contiguous: once a time is known to fall into the current
  // file's period, every time between the period start and it does too.
  // Valid for this period start and latency class.
  time_t samePeriodStart_ LFM_GUARDED_BY(writeLock_) = 0;
  time_t samePeriodUpTo_ LFM_GUARDED_BY(writeLock_) = 0;
  int32_t samePeriodClass_ LFM_GUARDED_BY(writeLock_) = 0;
};
