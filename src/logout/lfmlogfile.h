#pragma once
// lfmLogFile: the current (or standby) file of a log file controller. It owns
// one object of the file classes and picks its class: memory-mapped and
// buffered when "usememmappedfile" is on, plain buffered otherwise, falling
// back to plain buffered when a mapped open fails and whenever lazy closing
// is on. Swapping the class never loses buffered bytes.
//
// Lazy mode (a controller refused a handle by the pool): records are
// gathered in the buffer while the file is closed. A lazy flush opens the
// file, writes the buffer out and closes it again at once, so a lazily
// handled file holds an OS handle only for the duration of a flush and
// never between flushes: the pool's handle budget bounds every file that
// stays open.
//
// Not locked: the owning controller serialises every call under its write
// lock; the owned file object has its own lock for the heartbeat's flush
// and for a write-out completed after the controller's lock is released.
// A record that fits the buffer while no write-out is in flight is
// appended without that lock (lfmBaseFile::AppendOwned), which relies on
// the controller's serialisation.

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "logout/lfmbasefile.h"
#include "platform/lfmplatform.h"

class lfmLogFile {
 public:
  enum Kind : int32_t { kMapped = 1, kBuffered = 2 };
  // Flags and permission of every log file open: write-only, append, create,
  // untranslated.
  static constexpr int kOpenFlags = kOpenWriteOnly | kOpenAppend | kOpenCreate | kOpenUntranslated;
  static constexpr int kPermission = kOpenPermission;

  lfmLogFile(uint32_t bufferSize, uint64_t maxSize);
  ~lfmLogFile();
  lfmLogFile(const lfmLogFile&) = delete;
  lfmLogFile& operator=(const lfmLogFile&) = delete;

  // Opens `name`; a failed mapped open is retried once as a plain buffered
  // file. A file that already holds data counts as having its header.
  bool Open(const std::string& name, int flags, int permission, time_t time);
  // Writes out and closes the file; in the hosted service model the busy
  // file is then finished (moved to its ".log" name). Swaps back to the
  // mapped class when that is configured. Keeps the name, the period and
  // the state flag; clears the header flag. Throws what the write-out
  // throws, after closing.
  void Close();
  // Lazy mode on (swaps to the plain buffered class) or off.
  void SetLazyClose(bool lazy);
  bool LazyClose() const { return lazy_; }
  // Appends one record. Lazy: into the buffer, or, when it does not fit,
  // through a lazy flush that writes buffer and record out. `time` becomes
  // the last write time. With `out`, an open plain buffered file may hand
  // its full buffer to the caller instead of writing it here (see
  // lfmBaseFile::WriteDetaching). An open mapped file that cannot take the
  // record within its reserved maximum goes on as a plain file first.
  void Write(const char* data, size_t n, time_t time, lfmBaseFile::WriteOut* out = nullptr);
  // Write's common case, taken in line: a plain buffered file, open and not
  // lazy, whose buffer takes the record at once (lfmBaseFile::AppendOwned).
  // False, with nothing done, otherwise.
  bool TryAppend(const char* data, size_t n, time_t time) {
    if (kind_ != kBuffered || lazy_ || !file_->AppendOwned(data, n))
      return false;
    lastWrite_ = time;
    return true;
  }
  // The heartbeat's flush: once "bufferflushrate" seconds have passed since
  // the last one, writes the buffer out (a lazy flush in lazy mode).
  void Flush(time_t now);
  // Opens the closed file, writes the buffer (and `extra`, when given) out
  // and closes it again. Outside lazy mode it only raises
  // MESS_LOG_FILE_NO_FLUSH. A failed open throws 1029; the buffer is kept.
  void LazyFlush(time_t time, const char* extra = nullptr, size_t n = 0);
  // Opens the closed file under its name, writes the buffered bytes (and
  // `extra`) out and closes it again; an open file is just flushed. Throws
  // 1029 when the open fails (the bytes stay buffered).
  void WriteOutPending(time_t time, const char* extra = nullptr, size_t n = 0);
  // Ends a closed file that the stream is done with (a lazy file whose
  // period or size ended, or any closed file at shut-down): writes out what
  // is buffered under its name (nothing is opened when nothing is buffered)
  // and, in the hosted service model, finishes its busy file, after which a
  // later write to the same name starts a new file with its own header.
  // Throws 1029 when the write-out's open fails (the bytes stay buffered
  // and the busy file stays where it is).
  void Finish(time_t time);
  // Opens `name_` as every log file is opened; when that fails because its
  // directory has gone, makes the directory again (MESS_LOG_DIR_CREATED or
  // MESS_LOG_DIR_CREATE_FAILURE) and tries once more.
  bool OpenMakingDirectory(time_t time);

  bool IsOpen() const { return file_->IsOpen(); }
  uint64_t Size() const { return file_->Size(); }
  uint32_t PendingBytes() const { return file_->PendingBytes(); }
  Kind GetKind() const { return kind_; }
  std::string& Name() { return name_; }
  const std::string& Name() const { return name_; }

  // The log file header, put in front of the buffered bytes when a lazy
  // write-out finds its file gone (removed with its directory, say) although
  // the header had gone out with earlier lines.
  void SetHeaderText(std::shared_ptr<const std::string> header) { header_ = std::move(header); }
  bool HeaderWritten() const { return headerWritten_; }
  // Called after the header was handed to Write: it may wait in the buffer
  // until the next write-out.
  void SetHeaderWritten(bool written) {
    headerWritten_ = written;
    headerBuffered_ = written;
  }
  bool StateInitialized() const { return stateInitialized_; }
  void SetStateInitialized(bool initialized) { stateInitialized_ = initialized; }
  time_t PeriodTime() const { return periodTime_; }
  // Also stores the calendar breakdown (UTC with "gmtrotation", else local).
  void SetPeriodTime(time_t t);
  const std::tm& PeriodTm() const { return periodTm_; }
  time_t LastWriteTime() const { return lastWrite_; }

  // Moves a finished busy file to its name with `finalExtension` (the next
  // free "(n)" before the extension when that name holds data; an empty one
  // is replaced) or deletes it when empty. True when it was moved.
  static bool FinishBusyFile(const std::string& busyName,
                             const std::string& finalExtension = "log");

 private:
  std::unique_ptr<lfmBaseFile> MakeFile(Kind kind) const;
  // Replaces the (closed) file object by one of `kind`, carrying buffered
  // bytes over.
  void Swap(Kind kind);
  // Writes the header to the open, empty file ahead of the buffered bytes.
  void PutHeaderInFront();
  // Closes the open mapped file (its buffer written out, the file cut to its
  // data) and opens the same file again as a plain buffered one. Throws
  // 1004 when it cannot be opened again.
  void ContinueUnmapped(time_t time);

  uint32_t bufferSize_;
  uint64_t maxSize_;
  std::unique_ptr<lfmBaseFile> file_;
  Kind kind_;
  bool stateInitialized_ = false;
  bool lazy_ = false;
  bool headerWritten_ = false;
  bool headerBuffered_ = false;  // the header has not yet gone out with a write-out
  time_t lastWrite_ = 0;
  time_t lastLazyFlush_ = 0;
  time_t periodTime_ = 0;
  std::tm periodTm_{};
  std::string name_;
  std::shared_ptr<const std::string> header_;
};
