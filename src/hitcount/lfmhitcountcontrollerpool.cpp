#include "hitcount/lfmhitcountcontrollerpool.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "config/lfmenv.h"
#include "diag/lfmdebuglog.h"
#include "diag/lfmexceptioncontroller.h"
#include "diag/lfmmessages.h"
#include "hitcount/lfmhitcountcontroller.h"
#include "logout/lfmbufferedfile.h"
#include "logout/lfmlogfile.h"
#include "logout/lfmlogrecord.h"
#include "logout/lfmlogserversettings.h"
#include "logout/lfmlogstream.h"
#include "platform/lfmplatform.h"
#include "runtime/lfmthreadlocal.h"
#include "util/lfmclock.h"
#include "util/lfmfileinfo.h"
#include "util/lfmpathname.h"
#include "util/lfmstderr.h"
#include "util/whexceptiontexts.h"

const char* const lfmHitCountControllerPool::kHeader =
    "#entry,flush-time,interval-time,id,raw-count,proc-count,type,server,agent,firsthit-time,"
    "lasthit-time\r\n";

namespace {

const char kModule[] = "./src/hitcount/lfmhitcountcontrollerpool.cpp";
const char kClass[] = "lfmHitCountControllerPool";
const char kWithRotation[] = "FlushHitCountsWithRotation()";
const char kWithoutRotation[] = "FlushHitCountsWithoutRotation()";
const char kSummaryId[] = "0";
const char kGlobalId[] = "1000000";
const char kFinishedSuffix[] = "busy";
constexpr uint32_t kFileBufferSize = 65535;
constexpr int kCreateAttempts = 5;
constexpr int kCreateFlags =
    kOpenWriteOnly | kOpenAppend | kOpenCreate | kOpenExclusive | kOpenUntranslated;
constexpr int kAppendFlags = kOpenWriteOnly | kOpenAppend | kOpenUntranslated;

// Stripes of the counters that every request thread may count into.
constexpr int kSharedStripes = 8;

using Counts = lfmHitCountController::Counts;
using ControllerPtr = std::shared_ptr<lfmHitCountController>;

// The counts of one flush: per key in key order, and the global counter.
struct Interval {
  std::map<std::string, Counts> sites;
  Counts global;

  void Merge(const Interval& other) {
    for (const auto& s : other.sites)
      sites[s.first].Merge(s.second);
    global.Merge(other.global);
  }
  // The earliest first-hit time of anything counted (0: nothing).
  time_t Earliest() const {
    Counts all = global;
    for (const auto& s : sites)
      all.Merge(s.second);
    return all.count ? all.first : 0;
  }
};

// Thrown inside a flush when no file could be created or opened: the
// interval's counts are kept for the next flush.
struct OpenFailure {
  whException error;
};

struct Pool {
  // Guards the map, the flag and the generation's changes.
  lfmMutex lock;
  // Serialises flushes and shut-down; never taken by counting threads.
  lfmMutex flushLock LFM_ACQUIRED_BEFORE(lock);
  std::atomic<bool> initialized{false};
  // Changes at every Initialize and ShutDown, so that a thread's remembered
  // controllers are asked for again.
  std::atomic<uint64_t> generation{1};
  std::unordered_map<std::string, ControllerPtr> controllers LFM_GUARDED_BY(lock){100};
  lfmHitCountController global{kGlobalId, kSharedStripes};
  // The bank counting goes to; changed by the flusher only.
  std::atomic<int> active{0};

  // Under flushLock from here on.
  std::unique_ptr<lfmBufferedFile> file LFM_GUARDED_BY(flushLock);
  std::string directory LFM_GUARDED_BY(flushLock);
  std::string extension LFM_GUARDED_BY(flushLock);  // with "busy" appended when a rotation is on
  std::string finalExtension LFM_GUARDED_BY(flushLock);
  std::string header LFM_GUARDED_BY(flushLock);
  std::string host LFM_GUARDED_BY(flushLock);
  bool limitBySize LFM_GUARDED_BY(flushLock) = false;
  uint64_t maxBytes LFM_GUARDED_BY(flushLock) = 0;
  bool rotateByFlush LFM_GUARDED_BY(flushLock) = false;
  int32_t flushesPerRotation LFM_GUARDED_BY(flushLock) = 3;
  bool hosted LFM_GUARDED_BY(flushLock) = false;
  uint64_t entry LFM_GUARDED_BY(flushLock) = 1;
  int32_t flushCount LFM_GUARDED_BY(flushLock) = 0;
  uint64_t bytes LFM_GUARDED_BY(flushLock) = 0;
  std::atomic<time_t> intervalTime{0};
  // Counts of flushes that found no file, written with the next one.
  Interval carried LFM_GUARDED_BY(flushLock);
  // Lines that a failed write kept from the file (not even buffered), with
  // their entry numbers: they go first with the next flush.
  std::vector<std::string> unwritten LFM_GUARDED_BY(flushLock);
  // An open failure was reported and no flush has succeeded since.
  bool outageReported LFM_GUARDED_BY(flushLock) = false;
};

Pool& State() {
  // Never destroyed: threads may count while statics are torn down.
  static Pool* pool = new Pool;
  return *pool;
}

[[noreturn]] void ThrowNotInitialized(const char* method) {
  throw whException(kClass, method, kModule, __LINE__, whText::kIncorrectUsage,
                    "The hit count controller was not properly initialized.");
}

// The keys that gather the hits of many sites get a stripe per thread; a
// site's own key stays one bank pair (the site map may list many sites).
int StripesOf(const std::string& key) {
  return key.empty() || key == lfmLogRecord::kNonHostedKey || key == lfmLogRecord::kStandardLagKey
             ? kSharedStripes
             : 1;
}

std::vector<ControllerPtr> Snapshot(Pool& p) {
  lfmScopedGuard guard(p.lock);
  std::vector<ControllerPtr> all;
  all.reserve(p.controllers.size());
  for (auto& entry : p.controllers)
    all.push_back(entry.second);
  return all;
}

// Under flushLock: makes the other bank active and takes the one counted
// into until now. The snapshot is taken after the swap, so a controller
// created later was first counted into the new bank (see
// lfmHitCountController).
Interval SwapAndTake(Pool& p) LFM_REQUIRES(p.flushLock) {
  int old = p.active.load();
  p.active.store(1 - old);
  Interval taken;
  for (const ControllerPtr& c : Snapshot(p)) {
    Counts counts = c->Take(old);
    if (counts.count)
      taken.sites[c->Key()].Merge(counts);
  }
  taken.global = p.global.Take(old);
  return taken;
}

std::string FileName(const Pool& p, time_t earliest) LFM_REQUIRES(p.flushLock) {
  std::tm tm{};
  if (!lfmPlatform::Current()->GmTime(earliest, &tm))
    tm = std::tm{};
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "_%4d_%02d_%02d_%05d.", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec);
  return p.directory + p.host + stamp + p.extension;
}

std::string Line(const Pool& p, uint64_t entry, time_t flushTime, time_t intervalTime,
                 const char* id, const Counts& c) LFM_REQUIRES(p.flushLock) {
  std::string count = std::to_string(c.count);
  std::string line;
  line.reserve(128);
  line += std::to_string(entry);
  line += ',';
  line += std::to_string(static_cast<int64_t>(flushTime));
  line += ',';
  line += std::to_string(static_cast<int64_t>(intervalTime));
  line += ',';
  line += id;
  line += ',';
  line += count;
  line += ',';
  line += count;
  line += ",KYR,";
  line += p.host;
  line += ',';
  line += p.host;
  line += ',';
  line += std::to_string(static_cast<int64_t>(c.first));
  line += ',';
  line += std::to_string(static_cast<int64_t>(c.last));
  line += "\r\n";
  return line;
}

// The lines of `interval`, numbered from `entry` on: one per counted key
// (hosted model only), the summary of all keys and the global counter.
std::vector<std::string> Lines(const Pool& p, const Interval& interval, uint64_t entry,
                               time_t flushTime, time_t intervalTime) LFM_REQUIRES(p.flushLock) {
  std::vector<std::string> lines;
  Counts total;
  for (const auto& s : interval.sites) {
    if (s.second.count == 0)
      continue;
    if (p.hosted)
      lines.push_back(Line(p, entry++, flushTime, intervalTime, s.first.c_str(), s.second));
    total.Merge(s.second);
  }
  if (total.count)
    lines.push_back(Line(p, entry++, flushTime, intervalTime, kSummaryId, total));
  if (interval.global.count)
    lines.push_back(Line(p, entry++, flushTime, intervalTime, kGlobalId, interval.global));
  return lines;
}

uint64_t Measure(const std::vector<std::string>& lines) {
  uint64_t n = 0;
  for (const std::string& l : lines)
    n += l.size();
  return n;
}

void WriteLines(Pool& p, const std::vector<std::string>& lines) LFM_REQUIRES(p.flushLock) {
  std::vector<std::string> all;
  all.swap(p.unwritten);
  size_t fresh = all.size();  // where this flush's lines begin
  all.insert(all.end(), lines.begin(), lines.end());
  const uint64_t last = p.entry + lines.size();  // the entry after this flush's lines
  for (size_t i = 0; i < all.size(); ++i) {
    try {
      p.file->Write(all[i].data(), all[i].size());
    } catch (...) {
      // The disk is full: this line and those after it reached neither the
      // file nor its buffer. They keep their numbers and go out first with
      // the next flush.
      p.unwritten.assign(all.begin() + static_cast<std::ptrdiff_t>(i), all.end());
      p.entry = last;
      throw;
    }
    p.bytes += all[i].size();
    if (i >= fresh)
      ++p.entry;
  }
}

// Creates `name` exclusively (a few attempts) and writes the header.
bool Create(Pool& p, const std::string& name, time_t now) LFM_REQUIRES(p.flushLock) {
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    if (p.file->Open(name, kCreateFlags, kOpenPermission, now)) {
      p.file->Write(p.header.data(), p.header.size());
      p.bytes = p.header.size();
      p.flushCount = 0;
      return true;
    }
  }
  return false;
}

[[noreturn]] void ThrowOpenFailure(const char* method, const std::string& name) {
  throw OpenFailure{
      whException(kClass, method, kModule, __LINE__, whText::kOpenFile, name.c_str())};
}

void CloseAndFinish(Pool& p) LFM_REQUIRES(p.flushLock) {
  std::string name = p.file->GetName();
  bool wasOpen = p.file->IsOpen();
  p.flushCount = 0;
  p.bytes = 0;
  if (wasOpen)
    p.file->Close();
  if (p.limitBySize || p.rotateByFlush) {
    if (wasOpen && !name.empty())
      lfmLogFile::FinishBusyFile(name, p.finalExtension);
    p.file->Reset();
  }
}

bool RotationDue(const Pool& p) LFM_REQUIRES(p.flushLock) {
  return (p.limitBySize && p.bytes > p.maxBytes) ||
         (p.rotateByFlush && p.flushCount >= p.flushesPerRotation);
}

// A file whose close failed (a full disk) let go of its handle but kept its
// unwritten lines and its name: they belong to that file, not to the next
// one. Reopens it, writes them out and finishes it; a file that cannot be
// reopened throws an open failure, so the new interval waits too.
void FinishLeftover(Pool& p, time_t now) LFM_REQUIRES(p.flushLock) {
  std::string name = p.file->GetName();
  if (p.file->IsOpen() || p.file->PendingBytes() == 0 || name.empty())
    return;
  if (!p.file->Open(name, kAppendFlags, kOpenPermission, now))
    ThrowOpenFailure(kWithRotation, name);
  CloseAndFinish(p);
}

// A file stays open across flushes until a rotation closes it.
void FlushWithRotation(Pool& p, const Interval& interval, time_t flushTime, time_t intervalTime)
    LFM_REQUIRES(p.flushLock) {
  FinishLeftover(p, flushTime);
  time_t earliest = interval.Earliest() != 0 ? interval.Earliest() : flushTime;
  std::vector<std::string> lines = Lines(p, interval, p.entry, flushTime, intervalTime);
  if (!p.file->IsOpen()) {
    if (lines.empty() && p.unwritten.empty())
      return;
    std::string name = FileName(p, earliest);
    if (!Create(p, name, flushTime))
      ThrowOpenFailure(kWithRotation, name);
  } else if (p.limitBySize && !lines.empty() && p.bytes + Measure(lines) > p.maxBytes) {
    CloseAndFinish(p);
    std::string name = FileName(p, earliest);
    if (!Create(p, name, flushTime))
      ThrowOpenFailure(kWithRotation, name);
  }
  ++p.flushCount;
  WriteLines(p, lines);
  if (RotationDue(p))
    CloseAndFinish(p);
  else
    p.file->Flush(flushTime);
}

// Every flush opens, appends and closes; all flushes of a process go to
// one file, named after the first interval that counted anything, as long
// as it can be opened.
void FlushWithoutRotation(Pool& p, const Interval& interval, time_t flushTime, time_t intervalTime)
    LFM_REQUIRES(p.flushLock) {
  std::vector<std::string> lines = Lines(p, interval, p.entry, flushTime, intervalTime);
  if (lines.empty() && p.unwritten.empty())
    return;
  time_t earliest = interval.Earliest() != 0 ? interval.Earliest() : flushTime;
  std::string name = p.file->GetName();
  if (name.empty()) {
    name = FileName(p, earliest);
    if (!Create(p, name, flushTime) &&
        !p.file->Open(name, kAppendFlags, kOpenPermission, flushTime))
      ThrowOpenFailure(kWithoutRotation, name);
  } else if (!p.file->Open(name, kAppendFlags, kOpenPermission, flushTime)) {
    // Lines a failed close left unwritten go to their own file only.
    if (p.file->PendingBytes() > 0)
      ThrowOpenFailure(kWithoutRotation, name);
    name = FileName(p, earliest);
    if (!Create(p, name, flushTime))
      ThrowOpenFailure(kWithoutRotation, name);
  }
  WriteLines(p, lines);
  p.file->Close();
}

// Under flushLock. Writes `interval` together with what earlier flushes
// could not write. Never throws.
void FlushLocked(Pool& p, Interval interval, time_t flushTime, time_t intervalTime)
    LFM_REQUIRES(p.flushLock) {
  bool rotation = p.limitBySize || p.rotateByFlush;
  const char* method = rotation ? kWithRotation : kWithoutRotation;
  interval.Merge(p.carried);
  p.carried = Interval();
  try {
    if (rotation)
      FlushWithRotation(p, interval, flushTime, intervalTime);
    else
      FlushWithoutRotation(p, interval, flushTime, intervalTime);
    p.outageReported = false;
  } catch (const OpenFailure& f) {
    // Nothing of the interval reached a file: it goes out with the next
    // flush. One report per outage.
    p.carried = std::move(interval);
    if (!p.outageReported)
      lfmExceptionController::ProcessException(f.error, whMethodId(kClass, method));
    else
      lfmDebugLog::Instance().LogFormat(3, "Hit counts kept for the next flush: %s",
                                        f.error.Message().c_str());
    p.outageReported = true;
  } catch (const whException& e) {
    // A failed write keeps its bytes buffered for the next open; without
    // rotation the next flush opens the file again, so it must be closed.
    lfmExceptionController::ProcessException(e, whMethodId(kClass, method));
    if (!rotation) {
      try {
        p.file->Close();
      } catch (...) {
        // Reported above; the bytes stay buffered.
      }
    }
  } catch (...) {
    lfmStdErr::WriteLine(rotation ? "Caught unknown exception in "
                                    "lfmHitCountControllerPool::FlushHitCountsWithRotation()"
                                  : "Caught unknown exception in "
                                    "lfmHitCountControllerPool::FlushHitCountsWithoutRotation()");
  }
}

std::string PickDirectory(const std::string& configured) {
  std::string dir = configured;
  if (!dir.empty() && !lfmPathName::IsDirectory(dir)) {
    if (lfmFileUtil::MakePath(dir) == 0) {
      lfmDebugLog::Instance().Log(MESS_LOG_DIR_CREATED, dir.c_str());
    } else {
      lfmDebugLog::Instance().Log(MESS_LOG_DIR_CREATE_FAILURE, dir.c_str());
      dir = lfmEnv::GetRoot();
      if (dir.empty() || (dir.back() != '/' && dir.back() != '\\'))
        dir += lfmPathName::kNativeSeparator;
      dir += "log";
      dir += lfmPathName::kNativeSeparator;
    }
  }
  return dir;
}

}  // namespace

void lfmHitCountControllerPool::Initialize() {
  Pool& p = State();
  lfmScopedGuard flushGuard(p.flushLock);
  if (p.initialized.load())
    return;
  const lfmLogServerSettings::Values& v = lfmLogServerSettings::Get();
  p.file = std::make_unique<lfmBufferedFile>(kFileBufferSize, 0);
  p.directory = PickDirectory(v.hitCountLogFileDir);
  p.limitBySize = v.hitCountLimitBySize;
  p.maxBytes = static_cast<uint64_t>(v.hitCountSizeBytes < 0 ? 0 : v.hitCountSizeBytes);
  p.rotateByFlush = v.hitCountRotateByFlush;
  p.flushesPerRotation = v.hitCountFlushesPerRotation;
  p.finalExtension = v.hitCountLogFileExt;
  p.extension = p.finalExtension + (p.limitBySize || p.rotateByFlush ? kFinishedSuffix : "");
  p.header = kHeader;
  p.host = v.hostName;
  p.hosted = v.hostedModel;
  p.entry = 1;
  p.flushCount = 0;
  p.bytes = 0;
  p.carried = Interval();
  p.outageReported = false;
  p.intervalTime.store(lfmClock::Now());
  // Counts left from before (none unless counted across a shut-down).
  for (int b = 0; b < 2; ++b)
    p.global.Take(b);
  lfmScopedGuard guard(p.lock);
  p.controllers.clear();
  p.initialized.store(true);
  p.generation.fetch_add(1);
}

void lfmHitCountControllerPool::ShutDown() {
  Pool& p = State();
  lfmScopedGuard flushGuard(p.flushLock);
  {
    lfmScopedGuard guard(p.lock);
    if (!p.initialized.load())
      return;
    p.initialized.store(false);
    p.generation.fetch_add(1);
  }
  try {
    // Both banks: a thread that passed its check before the flag fell may
    // still have counted into the bank that the swap makes active.
    Interval last = SwapAndTake(p);
    last.Merge(SwapAndTake(p));
    FlushLocked(p, std::move(last), lfmClock::Now(), p.intervalTime.load());
    if (p.file->IsOpen())
      CloseAndFinish(p);
  } catch (const whException& e) {
    lfmExceptionController::ProcessException(e, whMethodId(kClass, "ShutDown()"));
  } catch (...) {
    lfmStdErr::WriteLine("Caught unknown exception in lfmHitCountControllerPool::ShutDown()");
  }
  p.file.reset();
  p.carried = Interval();
  lfmScopedGuard guard(p.lock);
  p.controllers.clear();
}

std::string lfmHitCountControllerPool::Directory() {
  Pool& p = State();
  lfmScopedGuard flushGuard(p.flushLock);
  return p.directory;
}

bool lfmHitCountControllerPool::IsInitialized() {
  return State().initialized.load();
}

void lfmHitCountControllerPool::CountHit(lfmRequestData& request, const tsSiteParams& site,
                                         time_t hitTime) {
  lfmLogStream stream;  // a local: see lfmLogStream on per-thread copies
  lfmLogStream::ForHit(request, site, stream);
  CountHit(stream, hitTime);
}

void lfmHitCountControllerPool::CountHit(const lfmLogStream& stream, time_t hitTime) {
  Pool& p = State();
  // Each thread remembers the controllers of the keys it counted; a key
  // needs the pool lock only the first time a thread counts it. The map
  // holds shared pointers, so a controller stays valid for a thread that
  // counts while the pool shuts down.
  struct Remembered {
    uint64_t generation = 0;
    std::unordered_map<std::string, ControllerPtr> controllers;
    // The last key counted and its controller (held by the map): hits of
    // one stream find it without hashing.
    std::string lastKey;
    lfmHitCountController* last = nullptr;
  };
  static lfmThreadLocal<Remembered> perThread;
  std::optional<Remembered> fallback;
  Remembered& remembered = perThread.Get(fallback);
  if (!p.initialized.load(std::memory_order_acquire))
    ThrowNotInitialized("GetHitCountController");
  // The stream the log record wrote the hit's line to; its file key is
  // the counter's key.
  const std::string& key = stream.fileKey;
  uint64_t generation = p.generation.load(std::memory_order_acquire);
  if (remembered.generation != generation) {
    remembered.controllers.clear();
    remembered.last = nullptr;
    remembered.generation = 0;
  } else if (remembered.last && remembered.lastKey == key) {
    remembered.last->Increment(p.active, hitTime);
    return;
  } else {
    auto it = remembered.controllers.find(key);
    if (it != remembered.controllers.end()) {
      remembered.lastKey = key;
      remembered.last = it->second.get();
      it->second->Increment(p.active, hitTime);
      return;
    }
  }
  // A key new to this thread: counted only when its stream is admitted
  // (the log record has admitted the stream of a written hit; the filter
  // counts no hit whose line was refused). An admitted key stays admitted,
  // so remembered keys need not ask.
  if (!lfmLogStream::Admit(stream))
    return;
  ControllerPtr c;
  {
    lfmScopedGuard guard(p.lock);
    if (!p.initialized.load())
      ThrowNotInitialized("GetHitCountController");
    ControllerPtr& slot = p.controllers[key];
    if (!slot)
      slot = std::make_shared<lfmHitCountController>(key, StripesOf(key));
    c = slot;
    generation = p.generation.load();
  }
  // Bounds a thread's memory when the keys are many. Controllers
  // remembered from before a shut-down and a new start (the generation
  // moved on while this thread waited for the lock) are no longer the
  // pool's: they are forgotten, never stamped with the new generation.
  if (remembered.controllers.size() >= 4096 || remembered.generation != generation)
    remembered.controllers.clear();
  remembered.generation = generation;
  remembered.controllers.emplace(key, c);
  remembered.lastKey = key;
  remembered.last = c.get();
  c->Increment(p.active, hitTime);
}

void lfmHitCountControllerPool::CountRequest(time_t t) {
  Pool& p = State();
  if (!p.initialized.load(std::memory_order_acquire))
    ThrowNotInitialized("CountRequest");
  p.global.Increment(p.active, t);
}

void lfmHitCountControllerPool::Flush(time_t flushTime, time_t intervalTime) {
  Pool& p = State();
  lfmScopedGuard flushGuard(p.flushLock);
  if (!p.initialized.load())
    return;
  FlushLocked(p, SwapAndTake(p), flushTime, intervalTime);
}

void lfmHitCountControllerPool::SetIntervalTime(time_t intervalTime) {
  State().intervalTime.store(intervalTime);
}

uint64_t lfmHitCountControllerPool::NextEntryForTest() {
  Pool& p = State();
  lfmScopedGuard flushGuard(p.flushLock);
  return p.entry;
}

void lfmHitCountControllerPool::SetMaxBytesForTest(uint64_t bytes) {
  Pool& p = State();
  lfmScopedGuard flushGuard(p.flushLock);
  p.maxBytes = bytes;
}
