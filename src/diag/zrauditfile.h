#pragma once
// The audit file: one append-only text file of time-stamped lines.
//
// Locking: every operation takes the process-wide audit-file lock
// (recursive), so lines written by concurrent threads never interleave.
// The exception-report lock, when held, is always taken before it.

#include <cstdint>
#include <cstdio>
#include <string>

class lfmMutex;

class zrAuditFile {
 public:
  static constexpr size_t kMaxName = 259;
  // Pause between open attempts.
  static constexpr uint32_t kRetryPauseMs = 1000;

  zrAuditFile() = default;
  virtual ~zrAuditFile();
  zrAuditFile(const zrAuditFile&) = delete;
  zrAuditFile& operator=(const zrAuditFile&) = delete;

  // The directory in which a bare file name is opened.
  void SetDirectory(const std::string& dir);
  std::string GetDirectory() const;

  // Closes the current file, trims `name` when `trimming` is on and
  // 0 < `trimKB` <= `maxKB` (see Trim), then opens it with the fopen `mode`,
  // making up to `attempts` attempts `kRetryPauseMs` apart; the last
  // failure is reported through Error(). A name without a separator is
  // taken in the directory (the process's current directory when none was
  // set). Names longer than kMaxName are refused. A missing directory is
  // not retried. A failure is reported through Error() unless `quiet`.
  // True when the file is open.
  virtual bool Open(const char* name, const char* mode, int64_t maxKB, int64_t trimKB,
                    bool trimming, int attempts = 3, bool quiet = false);
  virtual void Close();
  // Writes the time stamp, `text` and a line feed unless `text` ends in one,
  // then flushes; copies the text to the echo stream. Dropped (true) when
  // `level` is above the file's level. False when the file is not open or
  // the write failed (the failure is reported through Error()).
  virtual bool Write(const std::string& text, int level = 1);
  // printf-style Write with a level; output beyond 8191 characters is cut.
  virtual bool WriteFormatted(int level, const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 3, 4)))
#endif
      ;
  // Writes "zrAuditFile error: <system text>" to standard error and clears
  // the stream's error state.
  virtual void Error(int err);
  virtual std::string TimeStamp() const;
  virtual bool IsOpen() const;
  // Size in bytes of the open file; -1 when none is open.
  virtual int64_t Size() const;
  // Replaces the stream by `stream` (taking ownership), closing the current one.
  virtual void AttachStream(std::FILE* stream);

  // A second stream (not owned) that receives every line without time stamp.
  void SetEcho(std::FILE* echo);
  void SetLevel(int level);
  // The full name of the open (or last opened) file.
  std::string GetFileName() const;

  // Cuts `path` down to its last complete lines within the final `trimKB`
  // KB once it is longer than `maxKB` KB, through a temporary "<path>.tmp"
  // that then replaces it. Any failure leaves the file as it was. Does
  // nothing when `maxKB` < `trimKB`. Returns true when the file was cut.
  static bool Trim(const std::string& path, int64_t maxKB, int64_t trimKB);

  // The process-wide audit-file lock.
  static lfmMutex& Lock();

 private:
  std::string FullName(const char* name) const;

  std::string directory_;
  std::string fileName_;
  std::FILE* stream_ = nullptr;
  std::FILE* echo_ = nullptr;
  int level_ = 1;
};
