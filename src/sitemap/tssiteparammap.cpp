#include "sitemap/tssiteparammap.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <vector>

#include "config/zrconfig.h"
#include "diag/lfmdebuglog.h"
#include "platform/lfmplatform.h"
#include "sitemap/tssiteparams.h"
#include "util/lfmutility.h"

namespace {

const char* const kColumnNames[tsSiteParamRecord::kColumnCount] = {"kyrid",
                                                                   "tagid",
                                                                   "firstweekday",
                                                                   "schedulepriority",
                                                                   "realtimeid",
                                                                   "datacollection",
                                                                   "timezone",
                                                                   "kyrenabled",
                                                                   "fullymigrated",
                                                                   "cookiesenabled",
                                                                   "visitorsessionlength"};

constexpr int32_t kMaxVisitorSessionLength = 366 * 24 * 60;

void CopyInto(const tsSiteParamRecord& r, tsSiteParams& site) {
  using R = tsSiteParamRecord;
  site.kyrId = r.Get(R::kKyrId);
  site.tagId = r.Get(R::kTagId);
  site.firstWeekDay = zrConfig::ToInt(r.Get(R::kFirstWeekDay).c_str());
  site.latencyClass = zrConfig::ToInt(r.Get(R::kSchedulePriority).c_str()) > 0
                          ? kLatencyShortLag
                          : kLatencyStandardLag;
  site.SetRealTimeIds(r.Get(R::kRealTimeId));
  site.dataCollection = r.Get(R::kDataCollection);
  site.timeZone = r.Get(R::kTimeZone);
  site.kyrEnabled = r.Get(R::kKyrEnabled);
  site.fullyMigrated = r.Get(R::kFullyMigrated);
  site.cookiesEnabled = r.Get(R::kCookiesEnabled);
  // Minutes; a value that is no length of a visit (above a year) keeps the
  // default like a missing one.
  int32_t session = zrConfig::ToInt(r.Get(R::kVisitorSessionLength).c_str());
  if (session > 0 && session <= kMaxVisitorSessionLength)
    site.visitorSessionLength = session;
  site.found = true;
}

}  // namespace

// ---- tsSiteParamRecord ----

int32_t tsSiteParamRecord::ColumnIndex(std::string_view name) {
  for (int32_t i = 0; i < kColumnCount; ++i)
    if (lfmUtility::EqualsNoCase(name, kColumnNames[i]))
      return i;
  return -1;
}

const char* tsSiteParamRecord::ColumnName(int32_t column) {
  return column >= 0 && column < kColumnCount ? kColumnNames[column] : "";
}

int32_t tsSiteParamRecord::Set(int32_t column, std::string_view value) {
  if (column < 0 || column >= kColumnCount)
    return 0;
  if (lfmUtility::EqualsNoCase(value, "null"))
    value = std::string_view();
  if (column == kRealTimeId && value.size() > 2 && value.front() == '\'' && value.back() == '\'')
    value = value.substr(1, value.size() - 2);
  columns[column].assign(value.data(), value.size());
  return 0;
}

void tsSiteParamRecord::Clear() {
  for (std::string& c : columns)
    c.clear();
}

// ---- tsSiteParamMap ----

int32_t tsSiteParamMap::Insert(const tsSiteParamRecord& record) {
  const std::string& kyrId = record.Get(tsSiteParamRecord::kKyrId);
  const std::string& tagId = record.Get(tsSiteParamRecord::kTagId);
  if (kyrId.empty() && tagId.empty())
    return kSkipped;
  auto copy = std::make_shared<const tsSiteParamRecord>(record);
  lfmScopedGuard guard(lock_);
  if (!kyrId.empty())
    Put(byKyrId_, copy->Get(tsSiteParamRecord::kKyrId), copy);
  if (!tagId.empty())
    Put(byTagId_, copy->Get(tsSiteParamRecord::kTagId), copy);
  return 0;
}

void tsSiteParamMap::Put(Index& index, std::string_view key,
                         const std::shared_ptr<const tsSiteParamRecord>& record) {
  auto placed = index.try_emplace(key, record);
  if (placed.second)
    return;
  // The old key views the record being dropped: replace the entry whole.
  index.erase(placed.first);
  index.emplace(key, record);
}

void tsSiteParamMap::Reserve(size_t records) {
  lfmScopedGuard guard(lock_);
  byKyrId_.reserve(records);
  byTagId_.reserve(records);
}

const tsSiteParamRecord* tsSiteParamMap::Find(const std::string& kyrId) const {
  auto it = byKyrId_.find(kyrId);
  return it == byKyrId_.end() ? nullptr : it->second.get();
}

const tsSiteParamRecord* tsSiteParamMap::FindTag(const std::string& tagId) const {
  auto it = byTagId_.find(tagId);
  return it == byTagId_.end() ? nullptr : it->second.get();
}

// ---- tsSiteParamMapController ----

tsSiteParamMapController::tsSiteParamMapController()
    : active_(std::make_shared<tsSiteParamMap>()), standby_(std::make_shared<tsSiteParamMap>()) {}

tsSiteParamMapController& tsSiteParamMapController::Instance() {
  static tsSiteParamMapController* instance = new tsSiteParamMapController();
  return *instance;
}

std::shared_ptr<tsSiteParamMap> tsSiteParamMapController::Active() const {
  return std::atomic_load(&active_);
}

tsSiteParamMapController::Fill::Fill(tsSiteParamMapController& controller)
    : guard_(controller.lock_),
      standby_(*(controller.standby_ = std::make_shared<tsSiteParamMap>())),
      check_(controller.furtherIdCheck_) {}

tsSiteParamMapController::Fill::~Fill() {
  if (invalidIds_ > kReportedInvalidIds)
    lfmDebugLog::Instance().LogFormat(
        1, "Warning: tsSiteParamMapController: %d further invalid KYR IDs were skipped\n",
        static_cast<int>(invalidIds_ - kReportedInvalidIds));
}

bool tsSiteParamMapController::Fill::CleanFurtherIds(const tsSiteParamRecord& record,
                                                     const std::string& own, std::string* list) {
  const std::string& raw = record.Get(tsSiteParamRecord::kRealTimeId);
  bool changed = false;
  std::vector<std::string> kept;
  size_t start = 0;
  while (start <= raw.size()) {
    size_t colon = raw.find(':', start);
    if (colon == std::string::npos)
      colon = raw.size();
    std::string part = raw.substr(start, colon - start);
    start = colon + 1;
    std::string id = part;
    if (part.empty() || part == "decouple") {
      // kept as written
    } else if (check_ && !check_(part, &id)) {
      changed = true;
      if (++invalidIds_ <= kReportedInvalidIds)
        lfmDebugLog::Instance().Log(
            MESS_SITEMAP_INVALID_REALTIME_ID,
            lfmUtility::ForMessage(record.Get(tsSiteParamRecord::kKyrId)).c_str(),
            lfmUtility::ForMessage(part).c_str());
      continue;
    } else if (id == own || std::find(kept.begin(), kept.end(), id) != kept.end()) {
      // A site's hits are in its own file already, and one copy per
      // further KYR ID is enough, however its id is spelt.
      changed = true;
      continue;
    }
    if (id != part)
      changed = true;
    kept.push_back(id);
  }
  list->clear();
  for (const std::string& id : kept) {
    if (!list->empty())
      *list += ':';
    *list += id;
  }
  return changed;
}

int32_t tsSiteParamMapController::Fill::Insert(const tsSiteParamRecord& record) {
  // A site is listed under its KYR ID in the form a request's id is kept
  // in (current-form ids in lower case), so that its hits find it.
  const std::string& ownRaw = record.Get(tsSiteParamRecord::kKyrId);
  std::string own = ownRaw;
  if (!check_ || ownRaw.empty() || !check_(ownRaw, &own))
    own = ownRaw;
  std::string list;
  bool cleanList =
      !record.Get(tsSiteParamRecord::kRealTimeId).empty() && CleanFurtherIds(record, own, &list);
  int32_t rc;
  if (cleanList || own != ownRaw) {
    tsSiteParamRecord cleaned = record;
    cleaned.columns[tsSiteParamRecord::kKyrId] = own;
    if (cleanList)
      cleaned.columns[tsSiteParamRecord::kRealTimeId] = list;
    rc = standby_.Insert(cleaned);
  } else {
    rc = standby_.Insert(record);
  }
  return rc == tsSiteParamMap::kSkipped ? 0 : rc;
}

void tsSiteParamMapController::ResetForTest() {
  lfmScopedGuard guard(lock_);
  standby_ = std::make_shared<tsSiteParamMap>();
  std::atomic_store(&active_, std::make_shared<tsSiteParamMap>());
  lockFree_.store(false, std::memory_order_release);
}

void tsSiteParamMapController::SetFurtherIdCheck(FurtherIdCheck check) {
  lfmScopedGuard guard(lock_);
  furtherIdCheck_ = check;
}

void tsSiteParamMapController::Fill::Reserve(size_t records) {
  standby_.Reserve(records);
}

void tsSiteParamMapController::Fill::SetCheckSum(const std::string& digest) {
  lfmScopedGuard guard(standby_.Lock());
  standby_.SetCheckSum(digest);
}

bool tsSiteParamMapController::Lookup(const std::string& kyrId, tsSiteParams& site) const {
  std::shared_ptr<tsSiteParamMap> half = Active();
  if (LockFree()) {
    const tsSiteParamRecord* r = half->Find(kyrId);
    if (r == nullptr)
      return false;
    CopyInto(*r, site);
    return true;
  }
  lfmScopedGuard guard(half->Lock());
  const tsSiteParamRecord* r = half->Find(kyrId);
  if (r == nullptr)
    return false;
  CopyInto(*r, site);
  return true;
}

bool tsSiteParamMapController::IsSameCheckSum(const std::string& digest) const {
  std::shared_ptr<tsSiteParamMap> half = Active();
  lfmScopedGuard guard(half->Lock());
  const std::string& mine = half->CheckSum();
  return mine.size() == digest.size() && mine.compare(digest) == 0;
}

std::string tsSiteParamMapController::ActiveCheckSum() const {
  std::shared_ptr<tsSiteParamMap> half = Active();
  lfmScopedGuard guard(half->Lock());
  return half->CheckSum();
}

std::string tsSiteParamMapController::StandbyCheckSum() const {
  lfmScopedGuard guard(lock_);
  lfmScopedGuard half(standby_->Lock());
  return standby_->CheckSum();
}

bool tsSiteParamMapController::Swap(int32_t lockModel) {
  lfmScopedGuard guard(lock_);
  lfmDebugLog& log = lfmDebugLog::Instance();
  std::string from = ActiveCheckSum();
  std::string to = StandbyCheckSum();
  log.Log(2, "Info: tsSiteParamMapController::Swap trying to switch from '" + from + "' to '" + to +
                 "'\n");
  uint64_t started = lfmPlatform::Current()->TickCountMs();
  if (lockModel == 0) {
    std::shared_ptr<tsSiteParamMap> old = Active();
    lfmScopedGuard half(old->Lock());
    std::atomic_store(&active_, standby_);
    standby_ = old;
  } else {
    standby_ = std::atomic_exchange(&active_, standby_);
    lockFree_.store(true, std::memory_order_release);
  }
  uint64_t elapsed = lfmPlatform::Current()->TickCountMs() - started;
  log.Log(1,
          "Info: tsSiteParamMapController::Swap switching from '" + from + "' to '" + to + "'\n");
  log.LogFormat(2, "tsSiteParamMapController::Swap time (sec): %4.4f\n",
                static_cast<double>(elapsed) / 1000.0);
  return true;
}
