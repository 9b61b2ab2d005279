#pragma once
// The debug log: the process-wide owner of the audit file. It decides which
// raised catalogue messages reach the audit file and the system log, keeps
// the audit file within its size limit (trimming or rotating it to a dated
// name), and falls back to standard error whenever the file cannot be
// written. Nothing here ever throws to a caller.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "diag/lfmmessagelimiter.h"
#include "diag/lfmmessages.h"
#include "diag/zrauditfile.h"
#include "runtime/lfmthreadsafety.h"
#include "util/lfmlogfilename.h"

class zrConfig;

// The rotation that a rotated audit file's dated name follows: the log
// files' own, whose settings belong to the log output above this layer. The
// log output installs a source for them when its module loads
// (lfmDebugLog::SetRotationSource); without one the names are daily, in
// local time, with month names.
struct lfmAuditRotation {
  int32_t period = kRotateDaily;
  int32_t daysInterval = 1;
  int32_t hoursInterval = 2;
  int32_t minutesInterval = 30;
  int32_t weekStart = 0;
  bool gmtRotation = false;
  bool numericMonth = false;
};
// Fills `out` from the settings, loading them first; may throw as loading
// them does (no configuration yet).
using lfmAuditRotationSource = void (*)(lfmAuditRotation* out);

// Section "auditlog". Invalid values fall back silently.
struct lfmAuditLogSettings {
  enum Method : int32_t { kTruncate = 1, kRotate = 2 };

  bool toFile = true;     // "type": "kyr" (or anything else) or "both"
  bool toSystem = false;  // "type": "system" or "both"
  int32_t debugLevel = 1;
  int32_t systemDebugLevel = 2;
  bool limitBySize = false;
  int32_t method = kRotate;
  int32_t maxSizeKB = 1000;
  int32_t trimSizeKB = 10;
  std::string prefix = "kyr";
  std::string extension = ".audit";
  // "requestmessagesperminute": raises of one per-request message admitted
  // a minute (lfmMessageLimiter); 0 = unlimited. Anything but a whole
  // number of at least 0 gives the default.
  int32_t requestMessagesPerMinute = lfmMessageLimiter::kDefaultPerMinute;

  std::string FileName() const { return prefix + extension; }

  // Reads the section from `config`. A non-empty `debugLevelOverride` (the
  // ZR_DEBUG_LEVEL text) replaces debuglevel, converted as GetInt converts.
  static lfmAuditLogSettings Read(const zrConfig& config, const std::string& debugLevelOverride);
};

class lfmDebugLog {
 public:
  // Room reserved beyond a message's text when checking the size limit
  // (time stamp and "####" line).
  static constexpr int64_t kLineOverhead = 30;
  // After a failed rotation the file is kept in use; rotation is tried
  // again no sooner than this.
  static constexpr int64_t kRotateRetrySeconds = 60;

  // The process-wide debug log, created on first use; never destroyed, so
  // that messages raised while the process ends still have somewhere to go.
  static lfmDebugLog& Instance();
  // Installs where the audit file's rotated names take their rotation from.
  // Thread-safe; a later call replaces the source.
  static void SetRotationSource(lfmAuditRotationSource source);

  virtual ~lfmDebugLog() = default;

  // Raises `m` with up to five arguments (a null ends the list): to the
  // audit file when its level is within the debug level, to the system log
  // when that destination is on. Thread-safe; never throws.
  virtual void Log(const lfmMessage& m, const char* a1 = nullptr, const char* a2 = nullptr,
                   const char* a3 = nullptr, const char* a4 = nullptr,
                   const char* a5 = nullptr) noexcept;
  // Per-request messages, in two steps so that a dropped message costs no
  // arguments: Admit() is true when `m`, raised at `level`, would be output
  // and, for a limited message (lfmMessageLimiter::IsLimited), its minute
  // still has room; a raise past the limit is counted for the minute's
  // summary. Only after true does the caller build the arguments and raise
  // with LogAdmitted(), which does not ask the limit again. `level` is the
  // catalogue's level of `m` or a lesser importance (information at most).
  // Thread-safe; never throw.
  bool Admit(const lfmMessage& m, int level) noexcept;
  void LogAdmitted(const lfmMessage& m, int level, const char* a1 = nullptr,
                   const char* a2 = nullptr, const char* a3 = nullptr) noexcept;
  // Raises `m` with values taken from a request as its arguments (at most
  // five), each written as one safe text (lfmUtility::AppendForMessage).
  // Admitted first, at m's level. Thread-safe; never throws.
  void LogValues(const lfmMessage& m, std::initializer_list<std::string_view> values) noexcept;
  // Raises MESS_REQUEST_MESSAGES_SUPPRESSED with the counts of the raises
  // the limit dropped, when their minute has ended at `now`, or at once
  // with `force` (at shut-down). The heartbeat calls it, so the summary
  // comes out also after a flood has stopped. Never throws.
  void ReportSuppressed(time_t now, bool force = false) noexcept;

  // Text form: `length` bytes of `text` as one audit entry (no "####" line)
  // when `level` is within the debug level. Never goes to the system log.
  virtual void Log(int level, const char* text, size_t length) noexcept;
  void Log(int level, const std::string& text) noexcept { Log(level, text.data(), text.size()); }
  // Text form with printf formatting; nothing is formatted when the level
  // is not logged.
  void LogFormat(int level, const char* format, ...) noexcept
#if defined(__GNUC__)
      __attribute__((format(printf, 3, 4)))
#endif
      ;

  // True when a message of `level` would be output anywhere. Callers use it
  // to skip building expensive arguments. While the settings cannot be read
  // the default debug level (1) decides; such messages go to standard error.
  virtual bool IsLogged(int level) noexcept;

  // Closes the audit file, moves it to its dated name and opens a new one.
  // False when there was nothing to move or the move failed.
  virtual bool Rotate() noexcept;

  // The effective debug level (ZR_DEBUG_LEVEL or "debuglevel"); 1 while the
  // settings cannot be read.
  int32_t DebugLevel() noexcept;
  // The audit directory: root, separator, "log".
  std::string AuditDirectory() noexcept;

  // The configuration check: from now on every message (information
  // included, whatever the debug level) goes to `out` as one line per
  // message, led by its severity ("error: ", "warning: ", "info: "),
  // instead of the audit file and the system log; the audit file is never
  // opened. Call it before the first message. Not undone (tests reset).
  void ToConsoleOnly(std::FILE* out) noexcept;
  // Entries written since the process loaded the module: to the audit file
  // (or the console of the check), and to standard error because the audit
  // file could not be had.
  uint64_t EntriesWritten() const noexcept {
    return written_.load(std::memory_order_relaxed);
  }
  uint64_t EntriesToStandardError() const noexcept {
    return fellBack_.load(std::memory_order_relaxed);
  }
  // The audit file's path; empty while the settings cannot be read, when
  // messages go to the system log only, and in the configuration check.
  std::string AuditFilePath() noexcept;

  // For tests only: closes the file and forgets the settings, so that the
  // next message initialises again.
  static void ResetForTest();

 protected:
  lfmDebugLog() = default;

 private:
  // Reads the settings and opens the audit file once. False while the
  // configuration cannot be had; a later call tries again.
  bool EnsureInitialized() noexcept;
  void Initialize();
  // Routes `m` as a message of `level`: to the audit file, the system log,
  // or standard error while the settings cannot be read. No limit applies.
  void Raise(const lfmMessage& m, int level, const char* const* args) noexcept;
  void RaiseSummary(const std::string& list) noexcept;
  // Writes one entry under the audit-file lock: reopens a closed file,
  // makes room when the limit would be passed, falls back to standard
  // error. `fallback` is what standard error gets.
  void WriteEntry(const std::string& entry, const std::string& fallback, int64_t projected);
  void MakeRoom() LFM_REQUIRES(zrAuditFile::Lock());
  // The open file's size as the current size (0 when none is open).
  void RefreshSize() LFM_REQUIRES(zrAuditFile::Lock());
  // Opens the audit file once (no retries); reports a failure once until
  // an open succeeds again.
  bool Reopen(const char* site) LFM_REQUIRES(zrAuditFile::Lock());
  // Moves `from` (closed) to its dated name `*to`, taking the next free
  // "(n)" when the name is in use. False with *err 0 when there is no file to
  // move, with the rename's error otherwise.
  bool RenameToDated(const std::string& from, std::string* to, int* err);

  // Writes `text` to the standard-error fallback and counts it.
  void FallBack(const std::string& text) noexcept;
  // One line of the configuration check's console.
  void WriteConsole(int level, const std::string& text) noexcept;

  std::atomic<bool> initialized_{false};
  std::atomic<std::FILE*> console_{nullptr};
  std::atomic<uint64_t> written_{0};
  std::atomic<uint64_t> fellBack_{0};
  lfmAuditLogSettings settings_;  // written once before initialized_
  std::atomic<int32_t> level_{1};
  lfmMessageLimiter limiter_;  // thread-safe itself
  std::string directory_;
  std::string fileName_;

  // Guarded by the audit-file lock.
  zrAuditFile file_ LFM_GUARDED_BY(zrAuditFile::Lock());
  int64_t currentSize_ LFM_GUARDED_BY(zrAuditFile::Lock()) = 0;
  int64_t limitBytes_ LFM_GUARDED_BY(zrAuditFile::Lock()) = 0;
  int64_t trimBytes_ LFM_GUARDED_BY(zrAuditFile::Lock()) = 0;
  bool rotating_ LFM_GUARDED_BY(zrAuditFile::Lock()) = false;
  bool openFailureReported_ LFM_GUARDED_BY(zrAuditFile::Lock()) = false;
  int64_t nextRotateAttempt_ LFM_GUARDED_BY(zrAuditFile::Lock()) = 0;
};

// Messages gathered while a lock is held, raised after it is released, so
// that no settings lock is ever held while the audit-file lock is taken.
class lfmMessageBatch {
 public:
  void Add(const lfmMessage& m, std::vector<std::string> args = {});
  // Raises every message in order and empties the batch. Never throws.
  void Raise() noexcept;

 private:
  struct Item {
    const lfmMessage* message;
    std::vector<std::string> args;
  };
  std::vector<Item> items_;
};
