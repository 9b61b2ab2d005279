#include "diag/lfmdebuglog.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "config/lfmenv.h"
#include "diag/lfmeventlog.h"
#include "platform/lfmplatform.h"
#include "runtime/lfmmutex.h"
#include "util/lfmclock.h"
#include "util/lfmlogfilename.h"
#include "util/lfmpathname.h"
#include "util/lfmquickstring.h"
#include "util/lfmstderr.h"
#include "util/lfmutility.h"

namespace {

// Constant-initialised, so a source installed while modules load is never
// overwritten by this one's initialisation.
std::atomic<lfmAuditRotationSource>& RotationSource() {
  static std::atomic<lfmAuditRotationSource> source{nullptr};
  return source;
}

constexpr const char* kSection = "auditlog";
constexpr int32_t kMaxSizeLowKB = 10;
constexpr int32_t kMaxSizeHighKB = 2000000;
constexpr int32_t kNoTrimKB = 2000001;
// Highest "(n)" tried when dated names are taken.
constexpr uint32_t kMaxCollisions = 1000;

lfmMutex& InitLock() {
  // Non-recursive: Initialize() reads the configuration and opens the file
  // without raising messages; the rotation source, which may, is asked only
  // after the lock is released.
  static lfmMutex* m = new lfmMutex(lfmMutex::kNonRecursive);
  return *m;
}

// A count written as a whole number of at least 0; `def` for anything else
// (absent, empty, signed, not a number). Large numbers saturate.
int32_t ReadCount(const zrConfig& config, const char* key, int32_t def) {
  std::string text = config.GetString(key, "", kSection);
  size_t begin = lfmUtility::FirstNonBlank(text);
  size_t end = lfmUtility::AfterLastNonBlank(text, text.size());
  if (begin >= end)
    return def;
  for (size_t i = begin; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9')
      return def;
  }
  return zrConfig::ToInt(text.c_str() + begin);
}

}  // namespace

lfmAuditLogSettings lfmAuditLogSettings::Read(const zrConfig& config,
                                              const std::string& debugLevelOverride) {
  lfmAuditLogSettings s;
  std::string type = config.GetString("type", "kyr", kSection);
  if (lfmUtility::EqualsNoCase(type, "system")) {
    s.toFile = false;
    s.toSystem = true;
  } else if (lfmUtility::EqualsNoCase(type, "both")) {
    s.toSystem = true;
  }
  s.debugLevel = config.GetInt("debuglevel", 1, kSection);
  if (!debugLevelOverride.empty())
    s.debugLevel = zrConfig::ToInt(debugLevelOverride.c_str());
  s.systemDebugLevel = config.GetInt("systemdebuglevel", 2, kSection);

  s.limitBySize = config.GetBool("auditlimitbysize", false, kSection);
  std::string method = config.GetString("auditlimitbysizemethod", "rotate", kSection);
  if (lfmUtility::EqualsNoCase(method, "truncate"))
    s.method = kTruncate;
  s.maxSizeKB = config.GetInt("auditmaxsize", 1000, kSection);
  s.trimSizeKB = config.GetInt("audittrimsize", 10, kSection);
  auto maxInRange = [&] {
    if (s.maxSizeKB < kMaxSizeLowKB || s.maxSizeKB > kMaxSizeHighKB)
      s.maxSizeKB = 1000;
  };
  if (s.method == kTruncate) {
    if (s.trimSizeKB < s.maxSizeKB) {
      maxInRange();
      if (s.trimSizeKB < 1 || s.trimSizeKB > 1000)
        s.trimSizeKB = 10;
    } else {
      s.maxSizeKB = 1000;
      s.trimSizeKB = 10;
    }
  } else {
    maxInRange();
    s.trimSizeKB = kNoTrimKB;
  }

  s.requestMessagesPerMinute =
      ReadCount(config, "requestmessagesperminute", lfmMessageLimiter::kDefaultPerMinute);

  // A full file name is split at the last dot of its final component.
  std::string name = config.GetString("auditfilename", "", kSection);
  size_t base = name.find_last_of("/\\");
  size_t dot = name.rfind('.');
  if (!name.empty() && dot != std::string::npos && (base == std::string::npos || dot > base)) {
    s.prefix = name.substr(0, dot);
    s.extension = name.substr(dot);
  } else {
    s.prefix = config.GetString("auditfilenameprefix", "kyr", kSection);
    s.extension = config.GetString("auditfilenameext", ".audit", kSection);
  }
  return s;
}

// ---------------------------------------------------------------------------

lfmDebugLog& lfmDebugLog::Instance() {
  static lfmDebugLog* log = new lfmDebugLog;
  return *log;
}

std::string lfmDebugLog::AuditDirectory() noexcept {
  if (!EnsureInitialized())
    return std::string();
  return directory_;
}

int32_t lfmDebugLog::DebugLevel() noexcept {
  EnsureInitialized();
  return level_.load(std::memory_order_relaxed);
}

void lfmDebugLog::SetRotationSource(lfmAuditRotationSource source) {
  RotationSource().store(source, std::memory_order_release);
}

bool lfmDebugLog::EnsureInitialized() noexcept {
  if (initialized_.load(std::memory_order_acquire))
    return true;
  bool touchRotation = false;
  try {
    lfmScopedGuard guard(InitLock());
    if (initialized_.load(std::memory_order_relaxed))
      return true;
    Initialize();
    initialized_.store(true, std::memory_order_release);
    touchRotation = settings_.limitBySize && settings_.method == lfmAuditLogSettings::kRotate;
  } catch (...) {
    // No configuration yet: this message goes to standard error, the next
    // one tries again.
    return false;
  }
  // Rotation names follow the log rotation settings; loading them now lets
  // their own messages reach the audit file instead of arriving while the
  // file is closed for a rotation.
  lfmAuditRotationSource source = RotationSource().load(std::memory_order_acquire);
  if (touchRotation && source) {
    try {
      lfmAuditRotation ignored;
      source(&ignored);
    } catch (...) {
    }
  }
  return true;
}

void lfmDebugLog::Initialize() {
  lfmEnv& env = lfmEnv::Instance();  // throws while there is no configuration
  lfmAuditLogSettings s = lfmAuditLogSettings::Read(env, lfmEnv::GetDebugLevelText());
  std::string dir = lfmEnv::GetRoot();
  if (!lfmUtility::EndsWithSeparator(dir))
    dir += lfmPathName::kNativeSeparator;
  dir += "log";
  dir = lfmPathName::Normalize(dir);

  lfmScopedGuard guard(zrAuditFile::Lock());
  settings_ = s;
  directory_ = dir;
  fileName_ = s.FileName();
  level_.store(s.debugLevel, std::memory_order_relaxed);
  limiter_.SetLimit(static_cast<uint32_t>(s.requestMessagesPerMinute));
  file_.Close();
  file_.SetDirectory(dir);
  currentSize_ = 0;
  limitBytes_ = 0;
  trimBytes_ = 0;
  openFailureReported_ = false;
  nextRotateAttempt_ = 0;
  if (!s.toFile || console_.load(std::memory_order_acquire))
    return;
  if (s.limitBySize) {
    lfmFileStatus st;
    std::string full = file_.GetDirectory() + lfmPathName::kNativeSeparator + fileName_;
    if (lfmPlatform::Current()->Stat(full, &st))
      currentSize_ = static_cast<int64_t>(st.size);
    limitBytes_ = static_cast<int64_t>(s.maxSizeKB) * 1024;
    trimBytes_ = static_cast<int64_t>(s.trimSizeKB) * 1024;
  }
  if (!file_.Open(fileName_.c_str(), "a+", s.limitBySize ? s.maxSizeKB : 0,
                  s.limitBySize ? s.trimSizeKB : 0, true)) {
    lfmStdErr::WriteFallback("lfmDebugLog::Initialize()\nFailed to open message log file (PATH: " +
                             directory_ + "    FILE: " + fileName_ + ")");
    openFailureReported_ = true;
  }
}

bool lfmDebugLog::Reopen(const char* site) {
  const lfmAuditLogSettings& s = settings_;
  if (file_.Open(fileName_.c_str(), "a+", s.limitBySize ? s.maxSizeKB : 0,
                 s.limitBySize ? s.trimSizeKB : 0, true, 1, openFailureReported_)) {
    openFailureReported_ = false;
    return true;
  }
  if (!openFailureReported_) {
    openFailureReported_ = true;
    lfmStdErr::WriteFallback(std::string(site) + "\nFailed to open message log file (PATH: " +
                             directory_ + "    FILE: " + fileName_ + ")");
  }
  return false;
}

bool lfmDebugLog::IsLogged(int level) noexcept {
  if (level == kMessageAlways)
    return true;
  const bool initialized = EnsureInitialized();
  if (console_.load(std::memory_order_acquire))
    return level <= std::max<int32_t>(kMessageInformation, level_.load());
  if (!initialized)
    return level <= level_.load(std::memory_order_relaxed);
  return (settings_.toFile && level <= level_.load(std::memory_order_relaxed)) ||
         (settings_.toSystem && level <= settings_.systemDebugLevel);
}

void lfmDebugLog::Log(const lfmMessage& m, const char* a1, const char* a2, const char* a3,
                      const char* a4, const char* a5) noexcept {
  if (lfmMessageLimiter::IsLimited(m) && !Admit(m, m.level))
    return;
  const char* args[lfmEventLog::kMaxArgs] = {a1, a2, a3, a4, a5};
  Raise(m, m.level, args);
}

bool lfmDebugLog::Admit(const lfmMessage& m, int level) noexcept {
  try {
    if (!IsLogged(level))
      return false;
    if (!lfmMessageLimiter::IsLimited(m))
      return true;
    std::string summary;
    bool admitted = limiter_.Admit(m, lfmClock::Now(), &summary);
    if (!summary.empty())
      RaiseSummary(summary);
    return admitted;
  } catch (...) {
    return false;
  }
}

void lfmDebugLog::LogAdmitted(const lfmMessage& m, int level, const char* a1, const char* a2,
                              const char* a3) noexcept {
  const char* args[lfmEventLog::kMaxArgs] = {a1, a2, a3, nullptr, nullptr};
  Raise(m, level, args);
}

void lfmDebugLog::LogValues(const lfmMessage& m,
                            std::initializer_list<std::string_view> values) noexcept {
  try {
    if (!Admit(m, m.level))
      return;
    std::string safe[lfmEventLog::kMaxArgs];
    const char* args[lfmEventLog::kMaxArgs] = {};
    size_t n = 0;
    for (std::string_view v : values) {
      if (n == lfmEventLog::kMaxArgs)
        break;
      lfmUtility::AppendForMessage(safe[n], v);
      args[n] = safe[n].c_str();
      ++n;
    }
    Raise(m, m.level, args);
  } catch (...) {
  }
}

void lfmDebugLog::ReportSuppressed(time_t now, bool force) noexcept {
  try {
    std::string list = limiter_.Close(now, force);
    if (!list.empty())
      RaiseSummary(list);
  } catch (...) {
  }
}

void lfmDebugLog::RaiseSummary(const std::string& list) noexcept {
  try {
    std::string limit = std::to_string(limiter_.Limit());
    const char* args[lfmEventLog::kMaxArgs] = {limit.c_str(), list.c_str()};
    Raise(MESS_REQUEST_MESSAGES_SUPPRESSED, MESS_REQUEST_MESSAGES_SUPPRESSED.level, args);
  } catch (...) {
  }
}

void lfmDebugLog::Raise(const lfmMessage& record, int level, const char* const* args) noexcept {
  try {
    // A message raised at a lesser importance than its catalogue level goes
    // everywhere as one of that level, the system log's event type included.
    lfmMessage m = record;
    if (level > record.level && level <= kMessageInformation)
      m.level = static_cast<uint16_t>(level);
    const bool always = m.level == kMessageAlways;
    if (console_.load(std::memory_order_acquire)) {
      // The check shows what the start would report, information included.
      EnsureInitialized();
      if (always || m.level <= std::max<int32_t>(kMessageInformation, level_.load()))
        WriteConsole(m.level, lfmMessageCatalogue::Format(m, args, lfmEventLog::kMaxArgs));
      return;
    }
    if (!EnsureInitialized()) {
      if (always || m.level <= level_.load(std::memory_order_relaxed))
        FallBack(lfmMessageCatalogue::Format(m, args, lfmEventLog::kMaxArgs));
      return;
    }
    if (settings_.toFile && (always || m.level <= level_.load(std::memory_order_relaxed))) {
      std::string text = lfmMessageCatalogue::Format(m, args, lfmEventLog::kMaxArgs);
      WriteEntry("####\n" + text, text, static_cast<int64_t>(text.size()) + kLineOverhead);
    }
    if (settings_.toSystem)
      lfmEventLog::Report(m, args, lfmEventLog::kMaxArgs, settings_.systemDebugLevel);
  } catch (...) {
  }
}

void lfmDebugLog::Log(int level, const char* text, size_t length) noexcept {
  try {
    if (!text)
      return;
    std::string entry(text, length);
    const bool initialized = EnsureInitialized();
    if (console_.load(std::memory_order_acquire)) {
      if (level == kMessageAlways || level <= level_.load(std::memory_order_relaxed))
        WriteConsole(level, entry);
      return;
    }
    if (!initialized) {
      if (level == kMessageAlways || level <= level_.load(std::memory_order_relaxed))
        FallBack(entry);
      return;
    }
    if (settings_.toFile &&
        (level == kMessageAlways || level <= level_.load(std::memory_order_relaxed)))
      WriteEntry(entry, entry, static_cast<int64_t>(length));
  } catch (...) {
  }
}

void lfmDebugLog::LogFormat(int level, const char* format, ...) noexcept {
  if (!format || !IsLogged(level))
    return;
  try {
    lfmString text;
    va_list ap;
    va_start(ap, format);
    text.AppendVFormat(format, ap);
    va_end(ap);
    Log(level, text.c_str(), text.Length());
  } catch (...) {
  }
}

void lfmDebugLog::WriteEntry(const std::string& entry, const std::string& fallback,
                             int64_t projected) {
  bool written = false;
  {
    lfmScopedGuard guard(zrAuditFile::Lock());
    if (!file_.IsOpen() && !rotating_)
      Reopen("lfmDebugLog::Log()");
    if (file_.IsOpen() && settings_.limitBySize && currentSize_ + projected > limitBytes_)
      MakeRoom();
    if (file_.IsOpen()) {
      written = file_.Write(entry);
      if (settings_.limitBySize)
        RefreshSize();
    }
  }
  if (written)
    written_.fetch_add(1, std::memory_order_relaxed);
  else
    FallBack(fallback);
}

void lfmDebugLog::FallBack(const std::string& text) noexcept {
  fellBack_.fetch_add(1, std::memory_order_relaxed);
  lfmStdErr::WriteFallback(text);
}

void lfmDebugLog::WriteConsole(int level, const std::string& text) noexcept try {
  std::FILE* out = console_.load(std::memory_order_acquire);
  const char* lead = level == kMessageError     ? "error: "
                     : level == kMessageWarning ? "warning: "
                                                : "info: ";
  // One line per message: the text's own line breaks are indented beneath.
  std::string line = lead;
  for (char c : text) {
    if (c == '\r')
      continue;
    line += c;
    if (c == '\n')
      line += "    ";
  }
  while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
    line.pop_back();
  line += '\n';
  lfmScopedGuard guard(zrAuditFile::Lock());
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
  written_.fetch_add(1, std::memory_order_relaxed);
} catch (...) {
}

void lfmDebugLog::ToConsoleOnly(std::FILE* out) noexcept {
  console_.store(out, std::memory_order_release);
}

std::string lfmDebugLog::AuditFilePath() noexcept {
  try {
    if (!EnsureInitialized() || !settings_.toFile || console_.load(std::memory_order_acquire))
      return "";
    lfmScopedGuard guard(zrAuditFile::Lock());
    return file_.GetDirectory() + lfmPathName::kNativeSeparator + fileName_;
  } catch (...) {
    return "";
  }
}

void lfmDebugLog::RefreshSize() {
  int64_t size = file_.Size();
  currentSize_ = size > 0 ? size : 0;
}

// Called with the audit-file lock held and the file open.
void lfmDebugLog::MakeRoom() {
  if (settings_.method == lfmAuditLogSettings::kTruncate) {
    // Opening again trims the file down to its last lines.
    Reopen("lfmDebugLog::Log()");
    RefreshSize();
    return;
  }
  int64_t now = lfmClock::Now();
  if (now < nextRotateAttempt_)
    return;
  Rotate();
}

bool lfmDebugLog::Rotate() noexcept {
  try {
    if (!EnsureInitialized())
      return false;
    lfmScopedGuard guard(zrAuditFile::Lock());
    if (rotating_)
      return false;
    std::string from = file_.GetFileName();
    file_.Close();
    rotating_ = true;
    std::string to;
    int err = 0;
    bool moved = RenameToDated(from, &to, &err);
    rotating_ = false;
    if (!moved && err != 0) {
      // Keep using the full file rather than losing messages to standard
      // error, and leave the next attempt for a while.
      nextRotateAttempt_ = lfmClock::Now() + kRotateRetrySeconds;
    }
    Reopen("lfmDebugLog::Log()");
    RefreshSize();
    if (!moved && err != 0)
      Log(MESS_AUDIT_FILE_RENAME_FAILURE, from.c_str(), to.c_str());
    return moved;
  } catch (...) {
    rotating_ = false;
    return false;
  }
}

// Called with the audit-file lock held and the file closed. False with
// *err 0 when there is no file to move.
bool lfmDebugLog::RenameToDated(const std::string& from, std::string* to, int* err) {
  *err = 0;
  lfmPlatform* p = lfmPlatform::Current();
  lfmFileStatus st;
  if (from.empty() || !p->Stat(from, &st))
    return false;

  lfmAuditRotation rotation;
  if (lfmAuditRotationSource source = RotationSource().load(std::memory_order_acquire)) {
    try {
      source(&rotation);
    } catch (...) {
      rotation = lfmAuditRotation();  // defaults: daily names in local time
    }
  }
  std::tm tm{};
  time_t now = lfmClock::Now();
  bool ok = rotation.gmtRotation ? p->GmTime(now, &tm) : p->LocalTime(now, &tm);
  if (!ok)
    p->GmTime(0, &tm);

  // The dated name sits beside the current file.
  size_t cut = from.find_last_of("/\\");
  std::string dir = cut == std::string::npos ? std::string() : from.substr(0, cut + 1);
  std::string prefix = settings_.prefix;
  size_t prefixCut = prefix.find_last_of("/\\");
  if (prefixCut != std::string::npos)
    prefix.erase(0, prefixCut + 1);
  lfmLogNameStyle style;
  style.numericMonth = rotation.numericMonth;
  style.extension = settings_.extension;
  if (!style.extension.empty() && style.extension[0] == '.')
    style.extension.erase(0, 1);

  for (uint32_t seq = 0; seq < kMaxCollisions; ++seq) {
    lfmLogFileName::Build(dir, prefix, tm, rotation.period, rotation.daysInterval,
                          rotation.weekStart, rotation.hoursInterval, rotation.minutesInterval, *to,
                          seq, style);
    *err = p->Rename(from, *to, false);
    if (*err == 0)
      return true;
    if (*err != EEXIST)
      return false;
  }
  return false;
}

void lfmDebugLog::ResetForTest() {
  lfmDebugLog& log = Instance();
  lfmScopedGuard init(InitLock());
  lfmScopedGuard guard(zrAuditFile::Lock());
  log.file_.Close();
  log.console_.store(nullptr, std::memory_order_release);
  log.written_.store(0, std::memory_order_relaxed);
  log.fellBack_.store(0, std::memory_order_relaxed);
  log.initialized_.store(false, std::memory_order_release);
  log.settings_ = lfmAuditLogSettings();
  log.level_.store(1, std::memory_order_relaxed);
  log.rotating_ = false;
  log.limiter_.Reset();
  log.limiter_.SetLimit(lfmMessageLimiter::kDefaultPerMinute);
}

// ---------------------------------------------------------------------------

void lfmMessageBatch::Add(const lfmMessage& m, std::vector<std::string> args) {
  items_.push_back(Item{&m, std::move(args)});
}

void lfmMessageBatch::Raise() noexcept {
  try {
    for (const Item& item : items_) {
      const char* a[lfmEventLog::kMaxArgs] = {};
      for (size_t i = 0; i < item.args.size() && i < lfmEventLog::kMaxArgs; ++i)
        a[i] = item.args[i].c_str();
      lfmDebugLog::Instance().Log(*item.message, a[0], a[1], a[2], a[3], a[4]);
    }
    items_.clear();
  } catch (...) {
  }
}
