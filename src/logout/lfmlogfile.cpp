#include "logout/lfmlogfile.h"

#include "diag/lfmdebuglog.h"
#include "logout/lfmlogrotationsettings.h"
#include "logout/lfmlogserversettings.h"
#include "logout/lfmmemmapfile.h"
#include "sitemap/tsservicemodelsettings.h"
#include "util/lfmclock.h"
#include "util/lfmfileinfo.h"
#include "util/lfmpathname.h"
#include "util/whexceptiontexts.h"

namespace {

const char kModule[] = "./src/logout/lfmlogfile.cpp";

bool HostedServiceModel() {
  return lfmLogServerSettings::HostedModel() && tsServiceModelSettings::ServiceModel();
}

}  // namespace

lfmLogFile::lfmLogFile(uint32_t bufferSize, uint64_t maxSize)
    : bufferSize_(bufferSize),
      maxSize_(maxSize),
      kind_(lfmLogServerSettings::UseMemMappedFile() ? kMapped : kBuffered) {
  file_ = MakeFile(kind_);
  name_.reserve(260);
}

lfmLogFile::~lfmLogFile() = default;

std::unique_ptr<lfmBaseFile> lfmLogFile::MakeFile(Kind kind) const {
  if (kind == kMapped)
    return std::make_unique<lfmBufferedMMFile>(bufferSize_, maxSize_);
  return std::make_unique<lfmBufferedFile>(bufferSize_, maxSize_);
}

void lfmLogFile::Swap(Kind kind) {
  if (kind == kind_)
    return;
  std::unique_ptr<lfmBaseFile> next = MakeFile(kind);
  next->TakePendingFrom(*file_);
  if (file_->PendingBytes() > 0)
    return;  // the new buffer could not take everything: keep the old object
  file_ = std::move(next);
  kind_ = kind;
}

bool lfmLogFile::Open(const std::string& name, int flags, int permission, time_t time) {
  bool opened = file_->Open(name, flags, permission, time);
  if (!opened && kind_ == kMapped) {
    Swap(kBuffered);
    opened = kind_ == kBuffered && file_->Open(name, flags, permission, time);
  }
  // A file that already holds data has its header; a new one needs it.
  if (opened)
    headerWritten_ = file_->Size() > file_->PendingBytes();
  return opened;
}

void lfmLogFile::Close() {
  std::string closing = file_->GetName();
  bool wasOpen = file_->IsOpen();
  try {
    file_->Close();
  } catch (...) {
    headerWritten_ = false;
    throw;
  }
  if (wasOpen && HostedServiceModel())
    FinishBusyFile(closing);
  if (kind_ == kBuffered && !lazy_ && lfmLogServerSettings::UseMemMappedFile())
    Swap(kMapped);
  file_->Reset();
  headerWritten_ = false;
  lastWrite_ = 0;
}

void lfmLogFile::SetLazyClose(bool lazy) {
  lazy_ = lazy;
  if (lazy && kind_ == kMapped && !file_->IsOpen())
    Swap(kBuffered);
  if (lazy) {
    // A lazy file that already holds data has its header.
    lfmFileStatus st;
    headerWritten_ = !name_.empty() && lfmPlatform::Current()->Stat(name_, &st) && st.size > 0;
    headerBuffered_ = false;
  }
}

void lfmLogFile::Write(const char* data, size_t n, time_t time, lfmBaseFile::WriteOut* out) {
  // A mapped file refuses a record that would pass its reservation, and a
  // refused record stays in the buffer to be refused again at every flush.
  // The controller rotates before the size limit, so only a record longer
  // than the limit itself (which then starts a file of its own) gets here.
  if (kind_ == kMapped && !lazy_ && file_->IsOpen() && file_->Size() + n > file_->MaxSize())
    ContinueUnmapped(time);
  if (!lazy_ && file_->AppendOwned(data, n)) {
    // The common case: the owner's lock serialises every call on this file.
  } else if (!lazy_ && out) {
    file_->WriteDetaching(data, n, out);
  } else if (!lazy_ || file_->IsOpen()) {
    file_->Write(data, n);
  } else if (!file_->BufferFull(n)) {
    file_->BufferWrite(data, n);
  } else {
    LazyFlush(time, data, n);
  }
  lastWrite_ = time;
}

void lfmLogFile::Flush(time_t now) {
  if (!lazy_ && !file_->IsOpen())
    return;
  time_t last = lazy_ && !file_->IsOpen() ? lastLazyFlush_ : file_->LastFlushTime();
  if (now - last < lfmLogServerSettings::BufferFlushRate())
    return;
  if (lazy_ && !file_->IsOpen()) {
    if (file_->PendingBytes() > 0)
      LazyFlush(now);
    lastLazyFlush_ = now;
  } else {
    file_->Flush(now);
  }
}

void lfmLogFile::LazyFlush(time_t time, const char* extra, size_t n) {
  if (!lazy_) {
    lfmDebugLog::Instance().Log(MESS_LOG_FILE_NO_FLUSH, name_.c_str());
    return;
  }
  lfmDebugLog::Instance().LogFormat(3, "Buffered Mode: %s\n", name_.c_str());
  WriteOutPending(time, extra, n);
}

void lfmLogFile::ContinueUnmapped(time_t time) {
  const std::string name = file_->GetName();
  file_->Close();
  Swap(kBuffered);
  if (kind_ != kBuffered || !file_->Open(name, kOpenFlags, kPermission, time))
    throw whException("lfmLogFileController", "Open()", kModule, __LINE__, whText::kOpenFile,
                      name.c_str());
}

bool lfmLogFile::OpenMakingDirectory(time_t time) {
  if (Open(name_, kOpenFlags, kPermission, time))
    return true;
  size_t sep = name_.find_last_of("/\\");
  if (sep == std::string::npos)
    return false;
  std::string dir = name_.substr(0, sep + 1);
  if (lfmPathName::IsDirectory(dir))
    return false;
  if (lfmFileUtil::MakePath(dir) != 0) {
    lfmDebugLog::Instance().Log(MESS_LOG_DIR_CREATE_FAILURE, dir.c_str());
    return false;
  }
  lfmDebugLog::Instance().Log(MESS_LOG_DIR_CREATED, dir.c_str());
  return Open(name_, kOpenFlags, kPermission, time);
}

void lfmLogFile::Finish(time_t time) {
  if (file_->IsOpen()) {
    Close();
    return;
  }
  if (file_->PendingBytes() > 0 && !name_.empty()) {
    if (lazy_)
      LazyFlush(time);
    else
      WriteOutPending(time);
  }
  if (HostedServiceModel() && !name_.empty()) {
    FinishBusyFile(name_);
    headerWritten_ = false;
  }
}

void lfmLogFile::WriteOutPending(time_t time, const char* extra, size_t n) {
  bool wasOpen = file_->IsOpen();
  bool opened = wasOpen;
  if (!wasOpen) {
    // The buffer may hold the header: the open must not judge it again.
    bool header = headerWritten_;
    opened = OpenMakingDirectory(lastWrite_ ? lastWrite_ : lfmClock::Now());
    headerWritten_ = header;
  }
  if (!opened)
    throw whException("lfmLogFileController", "Open()", kModule, __LINE__, whText::kOpenFile,
                      name_.c_str());
  try {
    if (!wasOpen && headerWritten_ && !headerBuffered_ && file_->Size() == file_->PendingBytes())
      PutHeaderInFront();
    if (extra)
      file_->Write(extra, n);
    file_->Flush(time);
  } catch (...) {
    if (!wasOpen) {
      try {
        file_->Close();
      } catch (...) {
        // The unwritten bytes stay buffered; the first failure is reported.
      }
    }
    throw;
  }
  if (!wasOpen)
    file_->Close();
  headerBuffered_ = false;
  lastLazyFlush_ = time ? time : lfmClock::Now();
}

void lfmLogFile::PutHeaderInFront() {
  if (header_ && !header_->empty())
    file_->WriteAhead(header_->data(), header_->size());
}

void lfmLogFile::SetPeriodTime(time_t t) {
  periodTime_ = t;
  std::tm tm{};
  lfmPlatform* platform = lfmPlatform::Current();
  bool ok = lfmLogRotationSettings::GmtRotation() ? platform->GmTime(t, &tm)
                                                  : platform->LocalTime(t, &tm);
  periodTm_ = ok ? tm : std::tm{};
}

bool lfmLogFile::FinishBusyFile(const std::string& busyName, const std::string& finalExtension) {
  lfmPlatform* platform = lfmPlatform::Current();
  lfmFileStatus busy;
  if (!platform->Stat(busyName, &busy))
    return false;
  size_t dot = busyName.find_last_of('.');
  size_t sep = busyName.find_last_of("/\\");
  std::string stem = (dot != std::string::npos && (sep == std::string::npos || dot > sep))
                         ? busyName.substr(0, dot)
                         : busyName;
  if (busy.size == 0) {
    lfmDebugLog::Instance().LogFormat(3, "Zero Length Busy file : %s", busyName.c_str());
    lfmFileUtil::RemoveFile(busyName);
    return false;
  }
  std::string target = stem + "." + finalExtension;
  for (int n = 2;; ++n) {
    lfmFileStatus existing;
    if (platform->Stat(target, &existing) && existing.size == 0) {
      lfmDebugLog::Instance().LogFormat(3, "Zero Length Log file : %s", target.c_str());
      lfmFileUtil::RemoveFile(target);
    }
    int err = lfmFileUtil::Rename(busyName, target);
    if (err == 0)
      return true;
    if (!platform->Stat(target, &existing) || n > 1000) {
      lfmDebugLog::Instance().Log(MESS_LOG_FILE_RENAME_FAILURE, busyName.c_str(), target.c_str());
      return false;
    }
    target = stem + "(" + std::to_string(n) + ")." + finalExtension;
  }
}
