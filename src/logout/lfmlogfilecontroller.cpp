#include "logout/lfmlogfilecontroller.h"

#include "diag/lfmdebuglog.h"
#include "diag/lfmexceptioncontroller.h"
#include "logout/lfmlogfilecontrollerpool.h"
#include "logout/lfmlogrotationsettings.h"
#include "logout/lfmlogserversettings.h"
#include "sitemap/tsservicemodelsettings.h"
#include "util/lfmfileinfo.h"
#include "util/lfmlogfilename.h"
#include "util/lfmpathname.h"
#include "util/lfmstderr.h"
#include "util/whexceptiontexts.h"

namespace {

const char kModule[] = "./src/logout/lfmlogfilecontroller.cpp";
const char kRemark[] = "#Remark: KYR-p\r\n";

struct HeaderStore {
  lfmMutex lock;
  bool set LFM_GUARDED_BY(lock) = false;
  bool remarked LFM_GUARDED_BY(lock) = false;
  std::string text LFM_GUARDED_BY(lock);
  // The finished text, once asked for.
  std::shared_ptr<const std::string> shared LFM_GUARDED_BY(lock);
};

HeaderStore& Header() {
  static HeaderStore* store = new HeaderStore;
  return *store;
}

// The header text, with the remark line put in front on the first call;
// throws 1010 before a header is set.
std::string HeaderText(HeaderStore& h) LFM_REQUIRES(h.lock) {
  if (!h.set)
    throw whException("lfmLogFileController", "GetLogFileHeader", kModule, __LINE__,
                      whText::kIncorrectUsage, "The log file header is not properly initialized.");
  if (!h.remarked) {
    h.text.insert(0, kRemark);
    h.remarked = true;
  }
  return h.text;
}

// The finished header, one text shared by every log file; null before a
// header is set.
std::shared_ptr<const std::string> SharedHeader() {
  HeaderStore& h = Header();
  lfmScopedGuard guard(h.lock);
  if (!h.set)
    return nullptr;
  if (!h.shared)
    h.shared = std::make_shared<const std::string>(HeaderText(h));
  return h.shared;
}

bool HostedServiceModel() {
  return lfmLogServerSettings::HostedModel() && tsServiceModelSettings::ServiceModel();
}

bool SplitHosted() {
  return lfmLogServerSettings::HostedModel() && lfmLogServerSettings::SplitLogs();
}

std::tm Breakdown(time_t t) {
  std::tm tm{};
  lfmPlatform* platform = lfmPlatform::Current();
  bool ok = lfmLogRotationSettings::GmtRotation() ? platform->GmTime(t, &tm)
                                                  : platform->LocalTime(t, &tm);
  return ok ? tm : std::tm{};
}

bool IsLeap(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Whether `t` and `f` (the file's period start) fall into one period.
bool SamePeriod(const std::tm& t, const std::tm& f, int32_t period, int32_t days, int32_t weekStart,
                int32_t hours, int32_t minutes) {
  bool sameYear = t.tm_year == f.tm_year;
  int dayDiff = t.tm_yday - f.tm_yday;
  switch (period) {
    case kRotateHourly:
      return sameYear && t.tm_mon == f.tm_mon && t.tm_mday == f.tm_mday && t.tm_hour == f.tm_hour;
    case kRotateDaily:
      return sameYear && dayDiff >= 0 && dayDiff < days;
    case kRotateWeekly: {
      // Days from the file's day to the next week start (1..7).
      int n = f.tm_wday >= weekStart ? weekStart - f.tm_wday + 7 : weekStart - f.tm_wday;
      if (sameYear)
        return dayDiff >= 0 && dayDiff < n;
      if (t.tm_year == f.tm_year + 1 && n >= 2)
        return (IsLeap(f.tm_year + 1900) ? 366 : 365) + dayDiff < n;
      return false;
    }
    case kRotateMonthly:
      return sameYear && t.tm_mon == f.tm_mon;
    case kRotateQuarterly:
      return sameYear && t.tm_mon / 3 == f.tm_mon / 3;
    case kRotateYearly:
      return sameYear;
    case kRotateHours:
      return sameYear && dayDiff == 0 && t.tm_hour / hours == f.tm_hour / hours;
    case kRotateMinutes:
      return sameYear && dayDiff == 0 && t.tm_hour == f.tm_hour &&
             t.tm_min / minutes == f.tm_min / minutes;
    default:  // None
      return true;
  }
}

}  // namespace

lfmLogFileController::lfmLogFileController(const std::string& fileKey, const std::string& poolKey)
    : key_(poolKey.empty() ? fileKey : poolKey), fileKey_(fileKey) {
  uint32_t buffer = static_cast<uint32_t>(lfmLogServerSettings::WriteBufferSize());
  uint64_t max = static_cast<uint64_t>(lfmLogRotationSettings::MaxLogFileSizeBytes());
  current_ = std::make_unique<lfmLogFile>(buffer, max);
  if (lfmLogServerSettings::UseLazyFileClose())
    standby_ = std::make_unique<lfmLogFile>(buffer, max);
  // The pool sets the header before it makes a controller; one made without
  // one (a test's) only lacks the header a recreated lazy file would get.
  if (std::shared_ptr<const std::string> header = SharedHeader()) {
    current_->SetHeaderText(header);
    if (standby_)
      standby_->SetHeaderText(header);
  }
}

lfmLogFileController::~lfmLogFileController() {
  lfmWriteLockGuard write(writeLock_);
  lfmScopedGuard standby(standbyLock_);
  try {
    // The standby may still hold the current file's name: its lines are the
    // older ones and go first.
    CloseStandbyIfNamedLocked(current_->Name());
  } catch (const whException& e) {
    lfmExceptionController::ProcessException(
        e, whMethodId("lfmLogFileController", "~lfmLogFileController()"));
  }
  for (lfmLogFile* file : {current_.get(), standby_.get()}) {
    if (!file)
      continue;
    try {
      // A lazy file, or one whose close failed, may still hold lines: they
      // go out under its name, and its busy file is finished.
      if (file->IsOpen())
        file->Close();
      else if (file->LazyClose() || file->PendingBytes() > 0)
        file->Finish(0);
    } catch (const whException& e) {
      lfmExceptionController::ProcessException(
          e, whMethodId("lfmLogFileController", "~lfmLogFileController()"));
    } catch (...) {
      lfmStdErr::WriteLine(
          "Caught unknown exception in lfmLogFileController::~lfmLogFileController()");
    }
  }
}

void lfmLogFileController::SetLogFileHeader(const char* text) {
  HeaderStore& h = Header();
  lfmScopedGuard guard(h.lock);
  if (h.set)
    return;
  if (!text)
    throw whException("lfmLogFileController", "SetLogFileHeader", kModule, __LINE__,
                      whText::kIncorrectUsage, "An invalid value for the log file header.");
  h.text = text;
  h.set = true;
}

std::string lfmLogFileController::GetLogFileHeader() {
  HeaderStore& h = Header();
  lfmScopedGuard guard(h.lock);
  return HeaderText(h);
}

void lfmLogFileController::ResetHeaderForTest() {
  HeaderStore& h = Header();
  lfmScopedGuard guard(h.lock);
  h.set = false;
  h.remarked = false;
  h.text.clear();
  h.shared.reset();
}

bool lfmLogFileController::IsFileOpen() {
  lfmWriteLockGuard guard(writeLock_);
  return current_->IsOpen();
}

std::string lfmLogFileController::CurrentFileName() {
  lfmWriteLockGuard guard(writeLock_);
  return current_->Name();
}

bool lfmLogFileController::AppendInPeriod(time_t t, const char* data, size_t n, time_t writeTime) {
  // Exactly the case in which CheckLogFile() would leave everything as it
  // is: it must stay so when either changes.
  lfmLogFile& file = *current_;
  time_t p = file.PeriodTime();
  if (p == 0 || t < p || !file.StateInitialized() || !file.HeaderWritten() || !file.IsOpen())
    return false;
  if (t > p) {
    // Only the calendar's earlier answer (TimePeriodRotate's first test).
    bool known = p == samePeriodStart_ && latencyClass_ == samePeriodClass_ && t <= samePeriodUpTo_;
    if (!known || SizeExceeded(n))
      return false;
  }
  return file.TryAppend(data, n, writeTime);
}

void lfmLogFileController::Write(time_t hitTime, const char* data, size_t length, time_t writeTime,
                                 int32_t latencyClass) {
  // A full buffer is written out after the write lock is released, so that
  // other threads go on appending meanwhile; the file keeps the order.
  lfmBaseFile::WriteOut out;
  {
    lfmWriteLockGuard guard(writeLock_);
    latencyClass_ = latencyClass;
    if (AppendInPeriod(hitTime, data, length, writeTime))
      return;
    CheckLogFile(hitTime, length, writeTime);
    lfmLogFile& file = *current_;
    if (!file.HeaderWritten()) {
      std::string header = GetLogFileHeader();
      if (!header.empty())
        file.Write(header.data(), header.size(), writeTime);
      file.SetHeaderWritten(true);
    }
    file.Write(data, length, writeTime, &out);
    if (file.PeriodTime() == 0)
      file.SetPeriodTime(hitTime);
  }
  out.Complete();
}

bool lfmLogFileController::ReleaseHandle() {
  lfmWriteLockGuard guard(writeLock_);
  try {
    return ReleaseLocked();
  } catch (const whException& e) {
    lfmExceptionController::ReportAndRethrow(e,
                                             whMethodId("lfmLogFileController", "ReleaseHandle"));
  }
}

bool lfmLogFileController::TryReleaseHandle(bool* busy) {
  *busy = false;
  if (!writeLock_.TryAcquire()) {
    *busy = true;
    return false;
  }
  lfmWriteLockGuard guard(writeLock_, lfmWriteLockGuard::Adopt());
  try {
    return ReleaseLocked();
  } catch (const whException& e) {
    lfmExceptionController::ReportAndRethrow(e,
                                             whMethodId("lfmLogFileController", "ReleaseHandle"));
  }
}

bool lfmLogFileController::ReleaseLocked() {
  if (!current_->IsOpen())
    return false;
  lfmScopedGuard guard(standbyLock_);
  if (standby_) {
    if (standby_->IsOpen())
      standby_->Close();
    // The ended file stays open as the standby; the closed one takes over,
    // with the stream's state, so the sequence and period carry on.
    std::swap(current_, standby_);
    current_->SetStateInitialized(standby_->StateInitialized());
    current_->SetPeriodTime(standby_->PeriodTime());
    current_->Name() = standby_->Name();
  } else {
    current_->Close();
  }
  return true;
}

void lfmLogFileController::Flush(time_t now) {
  {
    lfmScopedGuard guard(standbyLock_);
    if (standby_ && standby_->IsOpen()) {
      lfmDebugLog& log = lfmDebugLog::Instance();
      log.LogFormat(4, "Try Lazy  close: %s : %lld : %lld", standby_->Name().c_str(),
                    static_cast<long long>(now), static_cast<long long>(standby_->PeriodTime()));
      if (standby_->PeriodTime() < now) {
        log.LogFormat(4, "Lazy close: %s", standby_->Name().c_str());
        standby_->Close();
      }
    }
  }
  lfmWriteLockGuard guard(writeLock_);
  current_->Flush(now);
}

void lfmLogFileController::CheckRotation(time_t now) {
  lfmWriteLockGuard guard(writeLock_);
  if (lfmLogServerSettings::ReplayInProgress())
    return;
  if (current_->PeriodTime() == 0 || current_->PeriodTime() >= now ||
      !(current_->IsOpen() || current_->LazyClose()) || !TimePeriodRotate(now))
    return;
  if (current_->IsOpen()) {
    ReleaseLocked();
  } else {
    // An idle lazy file whose period has ended is written out and finished
    // like a released one; the stream's next hit asks for a handle again.
    current_->Finish(now);
    current_->SetLazyClose(false);
  }
  // The period is over: the stream's next file, lazy or not, is the first of
  // its period.
  sequence_ = 0;
}

std::string lfmLogFileController::Directory() const {
  switch (latencyClass_) {
    case kLatencyShortLag:
      return tsServiceModelSettings::ShortLagLogFileDir();
    case kLatencyRealTime:
      return tsServiceModelSettings::RealTimeLogFileDir();
    default:
      return lfmLogRotationSettings::LogFileDir();
  }
}

void lfmLogFileController::BuildFileName(time_t t, std::string& out) const {
  const lfmLogRotationSettings::Values& r = lfmLogRotationSettings::Get();
  lfmLogNameStyle style;
  style.numericMonth = r.numericMonth;
  std::string prefix;
  if (HostedServiceModel()) {
    style.hostedService = true;
    style.hostName = lfmLogServerSettings::HostName();
    style.busyExtension = tsServiceModelSettings::BusyExtension();
    bool ownPrefix = latencyClass_ == kLatencyShortLag || latencyClass_ == kLatencyRealTime;
    prefix = ownPrefix ? fileKey_ + "-kyr" : "kyr";
  } else {
    prefix = SplitHosted() ? fileKey_ + "_" + r.prefix : r.prefix;
  }
  lfmLogFileName::Build(Directory(), prefix, Breakdown(t), r.period, r.daysInterval, r.weekStart,
                        r.hoursInterval, r.minutesInterval, out, sequence_, style);
}

void lfmLogFileController::InitializeStateInfo(time_t t) {
  sequence_ = 0;
  std::string& name = current_->Name();
  BuildFileName(t, name);
  if (name.size() < 4)
    throw whException("lfmLogFileController", "InitializeStateInfo()", kModule, __LINE__,
                      whText::kFreeText,
                      ("There was a failure when trying to initialize "
                       "the log file control status.  The following log file name "
                       "is invalid: " +
                       name)
                          .c_str());
  std::string dir = Directory();
  if (!dir.empty() && !lfmPathName::IsDirectory(dir)) {
    if (lfmFileUtil::MakePath(dir) == 0)
      lfmDebugLog::Instance().Log(MESS_LOG_DIR_CREATED, dir.c_str());
    else
      lfmDebugLog::Instance().Log(MESS_LOG_DIR_CREATE_FAILURE, dir.c_str());
  }
}

bool lfmLogFileController::TimePeriodRotate(time_t t) {
  lfmLogFile& file = *current_;
  if (file.PeriodTime() == samePeriodStart_ && latencyClass_ == samePeriodClass_ &&
      t >= samePeriodStart_ && t <= samePeriodUpTo_)
    return false;  // the calendar was already asked about a later time
  std::tm now = Breakdown(t);
  const std::tm& start = file.PeriodTm();
  const lfmLogRotationSettings::Values& r = lfmLogRotationSettings::Get();
  bool same;
  if (HostedServiceModel()) {
    int32_t rate = tsServiceModelSettings::RotationRate(latencyClass_);
    if (rate < 60)
      same = SamePeriod(now, start, kRotateMinutes, 1, 0, 1, rate);
    else if (rate == 60)
      same = SamePeriod(now, start, kRotateHourly, 1, 0, 1, 1);
    else
      same = SamePeriod(now, start, kRotateHours, 1, 0, rate / 60, 1);
  } else {
    same = SamePeriod(now, start, r.period, r.daysInterval, r.weekStart, r.hoursInterval,
                      r.minutesInterval);
  }
  lfmDebugLog& log = lfmDebugLog::Instance();
  if (log.DebugLevel() >= 6)
    log.LogFormat(6, "TimePeriodRotate %s, %lld, %lld: %d\n", file.Name().c_str(),
                  static_cast<long long>(t), static_cast<long long>(file.PeriodTime()), !same);
  if (same && t >= file.PeriodTime()) {
    if (samePeriodStart_ != file.PeriodTime() || samePeriodClass_ != latencyClass_)
      samePeriodUpTo_ = t;
    samePeriodStart_ = file.PeriodTime();
    samePeriodClass_ = latencyClass_;
    if (t > samePeriodUpTo_)
      samePeriodUpTo_ = t;
  }
  return !same;
}

bool lfmLogFileController::SizeExceeded(size_t n) const {
  const lfmLogRotationSettings::Values& r = lfmLogRotationSettings::Get();
  if (!r.limitBySize || r.maxSizeBytes == 0)
    return false;
  uint64_t size = current_->Size();
  if (current_->LazyClose() && !current_->IsOpen()) {
    // A closed lazy file: what is on disk plus what waits in the buffer.
    lfmFileStatus st;
    if (lfmPlatform::Current()->Stat(current_->Name(), &st))
      size += st.size;
  }
  return size + n > static_cast<uint64_t>(r.maxSizeBytes);
}

void lfmLogFileController::CheckLogFile(time_t t, size_t n, time_t writeTime) {
  lfmLogFile& file = *current_;
  if (!file.StateInitialized()) {
    InitializeStateInfo(t);
    file.SetStateInitialized(true);
  }
  // Cheapest tests first: an open file needs no handle.
  if (!file.IsOpen() && !file.LazyClose() && SplitHosted()) {
    if (!lfmLogFileControllerPool::ReserveHandle(key_, true)) {
      BuildFileName(t, file.Name());
      // An evicted file may still be open as the standby under this name:
      // it is closed first, so that its lines land before the lazy ones and
      // the lazy file sees the data on disk, never a mapped reservation.
      CloseStandbyIfNamed(file.Name());
      file.SetLazyClose(true);
      file.SetPeriodTime(t);
    }
  }
  bool checkSize = true;
  time_t p = current_->PeriodTime();
  if (p != 0) {
    if (t < p) {
      lfmDebugLog::Instance().LogFormat(3, "CheckLogFile: Is Less: %s, %lld, %lld\n",
                                        current_->Name().c_str(), static_cast<long long>(p),
                                        static_cast<long long>(t));
      checkSize = false;
    } else if (t == p) {
      checkSize = false;
    } else if (TimePeriodRotate(t)) {
      if (current_->LazyClose())
        current_->Finish(writeTime);
      sequence_ = 0;
      OpenFile(t);
      return;
    }
  }
  if (!current_->IsOpen() && !current_->LazyClose())
    OpenFile(t);
  if (checkSize && SizeExceeded(n)) {
    if (current_->LazyClose())
      current_->Finish(writeTime);
    ++sequence_;
    OpenFile(t);
  }
}

void lfmLogFileController::CloseStandbyIfNamed(const std::string& name) {
  lfmScopedGuard guard(standbyLock_);
  CloseStandbyIfNamedLocked(name);
}

void lfmLogFileController::CloseStandbyIfNamedLocked(const std::string& name) {
  // Two objects must never hold one file: a mapped pair would overwrite
  // each other's bytes.
  if (standby_ && standby_->IsOpen() && standby_->Name() == name)
    standby_->Close();
}

void lfmLogFileController::OpenFile(time_t t) {
  bool released = ReleaseLocked();
  if (!released && current_->LazyClose()) {
    if (SplitHosted())
      lfmLogFileControllerPool::ReserveHandle(key_, false);
    current_->SetLazyClose(false);
  }
  lfmLogFile& file = *current_;
  BuildFileName(t, file.Name());
  CloseStandbyIfNamed(file.Name());
  // The directory may have gone since the stream began: it is made again.
  if (!file.OpenMakingDirectory(t))
    throw whException("lfmLogFileController", "Open()", kModule, __LINE__, whText::kOpenFile,
                      file.Name().c_str());
  file.SetPeriodTime(t);
}
