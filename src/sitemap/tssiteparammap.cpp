#include "sitemap/tssiteparammap.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
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

// The decimal value of a stored column (its text ends in the arena's NUL).
int32_t Number(std::string_view column) {
  // Most columns are a few plain digits (every hit reads three).
  if (column.empty())
    return 0;
  long v = 0;
  if (lfmUtility::ReadShortDecimal(column, &v))
    return static_cast<int32_t>(v);
  return zrConfig::ToInt(column.data());
}

// Fills `site` from the record `view` of `half`: the texts are views into
// the half, which the record holds from here on.
void FillFrom(const tsSiteParamView& view, std::shared_ptr<tsSiteParamMap> half,
              tsSiteParams& site) {
  using R = tsSiteParamRecord;
  std::string_view c[R::kColumnCount];
  view.Columns(c);
  site.kyrId = c[R::kKyrId];
  site.tagId = c[R::kTagId];
  site.firstWeekDay = Number(c[R::kFirstWeekDay]);
  site.latencyClass = Number(c[R::kSchedulePriority]) > 0 ? kLatencyShortLag : kLatencyStandardLag;
  site.SetRealTimeIds(c[R::kRealTimeId]);
  site.dataCollection = c[R::kDataCollection];
  site.timeZone = c[R::kTimeZone];
  site.kyrEnabled = c[R::kKyrEnabled];
  site.fullyMigrated = c[R::kFullyMigrated];
  site.cookiesEnabled = c[R::kCookiesEnabled];
  // Minutes; a value that is no length of a visit (above a year) keeps the
  // default like a missing one.
  int32_t session = Number(c[R::kVisitorSessionLength]);
  if (session > 0 && session <= kMaxVisitorSessionLength)
    site.visitorSessionLength = session;
  site.half = std::move(half);
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

std::string_view tsSiteParamRecord::Normalize(int32_t column, std::string_view value) {
  if (value.size() == 4 && lfmUtility::EqualsNoCase(value, "null"))
    return std::string_view();
  if (column == kRealTimeId && value.size() > 2 && value.front() == '\'' && value.back() == '\'')
    return value.substr(1, value.size() - 2);
  return value;
}

int32_t tsSiteParamRecord::Set(int32_t column, std::string_view value) {
  if (column < 0 || column >= kColumnCount)
    return 0;
  value = Normalize(column, value);
  columns[column].assign(value.data(), value.size());
  return 0;
}

void tsSiteParamRecord::Views(std::string_view out[kColumnCount]) const {
  for (int32_t c = 0; c < kColumnCount; ++c)
    out[c] = columns[c].find('\0') == std::string::npos ? std::string_view(columns[c])
                                                        : std::string_view("", 0);
}

void tsSiteParamRecord::Clear() {
  for (std::string& c : columns)
    c.clear();
}

// ---- tsSiteParamView ----

namespace {

// A stored record is one length byte per column, then the columns in column
// order, each ended by a NUL. Its pointer is to the first column, with the
// length bytes just before it. A column of kLongColumn characters or more
// has kLongColumn for its length and is measured when read: every hit reads
// all columns of its site's record, and a few bytes per record spare it a
// scan of each.
constexpr unsigned char kLongColumn = 0xFF;
constexpr size_t kLengthBytes = tsSiteParamRecord::kColumnCount;

// The length of column `column` of `record`, which starts at `at`.
size_t StoredLength(const char* record, int32_t column, const char* at) {
  unsigned char n = static_cast<unsigned char>(*(record - kLengthBytes + column));
  return n == kLongColumn ? std::strlen(at) : n;
}

std::string_view ColumnView(const char* record, int32_t column) {
  const char* p = record;
  for (int32_t c = 0; c < column; ++c)
    p += StoredLength(record, c, p) + 1;
  return std::string_view(p, StoredLength(record, column, p));
}

}  // namespace

void tsSiteParamView::Columns(std::string_view out[tsSiteParamRecord::kColumnCount]) const {
  const char* p = packed_;
  for (int32_t c = 0; c < tsSiteParamRecord::kColumnCount; ++c) {
    size_t n = StoredLength(packed_, c, p);
    out[c] = std::string_view(p, n);
    p += n + 1;
  }
}

std::string_view tsSiteParamView::Get(int32_t column) const {
  return ColumnView(packed_, column);
}

// ---- tsSiteParamMap ----

namespace {

// Arena blocks; a record larger than this gets a block of its own.
constexpr size_t kBlockBytes = 1 << 20;

uint64_t HashKey(std::string_view key) {
  // Eight bytes a step, mixed by multiply and shift: ids of some 30
  // characters take four steps. Only ever compared within the process.
  const char* p = key.data();
  size_t n = key.size();
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ n;
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 31;
    p += 8;
    n -= 8;
  }
  uint64_t w = 0;
  if (n > 0)
    std::memcpy(&w, p, n);
  h = (h ^ w) * 0x94D049BB133111EBULL;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ULL;
  return h ^ (h >> 32);
}

// Whether `field`, a stored column, equals `key` (which, unlike a stored
// value, may hold a NUL: it then differs).
bool FieldEquals(std::string_view field, std::string_view key) {
  return field.size() == key.size() && std::memcmp(field.data(), key.data(), key.size()) == 0;
}

// A slot: the hash's upper half beside the record number + 1.
constexpr uint64_t kNumberMask = 0xFFFFFFFFULL;
uint64_t Slot(uint64_t hash, uint32_t record) {
  return (hash & ~kNumberMask) | (static_cast<uint64_t>(record) + 1);
}

}  // namespace

int64_t tsSiteParamMap::Index::Find(std::string_view key,
                                    const std::vector<const char*>& records) const {
  if (slots.empty())
    return -1;
  uint64_t hash = HashKey(key);
  size_t mask = slots.size() - 1;
  for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
    uint64_t slot = slots[i];
    if (slot == 0)
      return -1;
    if ((slot & ~kNumberMask) == (hash & ~kNumberMask)) {
      uint64_t n = (slot & kNumberMask) - 1;
      if (FieldEquals(ColumnView(records[n], column), key))
        return static_cast<int64_t>(n);
    }
  }
}

void tsSiteParamMap::Index::Grow(size_t capacity, const std::vector<const char*>& records) {
  size_t n = 16;
  while (n < capacity * 2)
    n *= 2;
  if (n <= slots.size())
    return;
  std::vector<uint64_t> old;
  old.swap(slots);
  slots.assign(n, 0);
  size_t mask = n - 1;
  for (uint64_t slot : old) {
    if (slot == 0)
      continue;
    const char* r = records[(slot & kNumberMask) - 1];
    size_t i = static_cast<size_t>(HashKey(ColumnView(r, column))) & mask;
    while (slots[i] != 0)
      i = (i + 1) & mask;
    slots[i] = slot;
  }
}

void tsSiteParamMap::Index::Put(std::string_view key, uint32_t record,
                                const std::vector<const char*>& records) {
  PutHashed(HashKey(key), record, records);
}

void tsSiteParamMap::Index::PutHashed(uint64_t hash, uint32_t record,
                                      const std::vector<const char*>& records) {
  if ((size + 1) * 2 > slots.size())
    Grow(std::max<size_t>(size + 1, size * 2), records);
  std::string_view key;  // read only when a slot's hash matches
  bool keyRead = false;
  size_t mask = slots.size() - 1;
  for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
    uint64_t slot = slots[i];
    if (slot == 0) {
      slots[i] = Slot(hash, record);
      ++size;
      return;
    }
    if ((slot & ~kNumberMask) != (hash & ~kNumberMask))
      continue;
    if (!keyRead) {
      key = ColumnView(records[record], column);
      keyRead = true;
    }
    if (FieldEquals(ColumnView(records[(slot & kNumberMask) - 1], column), key)) {
      slots[i] = Slot(hash, record);  // a later record replaces the earlier one
      return;
    }
  }
}

void tsSiteParamMap::QueueKyrId(uint64_t hash, uint32_t record) {
  if (queued_ == kPipeline) {
    byKyrId_.PutHashed(queuedHash_[queueHead_], queuedRecord_[queueHead_], records_);
    queueHead_ = (queueHead_ + 1) % kPipeline;
    --queued_;
  }
  // Room for what is queued, so that the slot fetched now is the one used.
  byKyrId_.Grow(byKyrId_.size + queued_ + 1, records_);
#if defined(__GNUC__)
  __builtin_prefetch(&byKyrId_.slots[static_cast<size_t>(hash) & (byKyrId_.slots.size() - 1)], 1);
#endif
  size_t tail = (queueHead_ + queued_) % kPipeline;
  queuedHash_[tail] = hash;
  queuedRecord_[tail] = record;
  ++queued_;
}

void tsSiteParamMap::FinishInserts() {
  lfmScopedGuard guard(lock_);
  while (queued_ > 0) {
    byKyrId_.PutHashed(queuedHash_[queueHead_], queuedRecord_[queueHead_], records_);
    queueHead_ = (queueHead_ + 1) % kPipeline;
    --queued_;
  }
}

char* tsSiteParamMap::Allocate(size_t n) {
  if (n > freeBytes_) {
    size_t bytes = std::max(n, kBlockBytes);
    blocks_.emplace_back(new char[bytes]);
    free_ = blocks_.back().get();
    freeBytes_ = bytes;
  }
  char* p = free_;
  free_ += n;
  freeBytes_ -= n;
  return p;
}

int32_t tsSiteParamMap::Insert(const tsSiteParamRecord& record) {
  std::string_view columns[tsSiteParamRecord::kColumnCount];
  record.Views(columns);
  return Insert(columns);
}

int32_t tsSiteParamMap::Insert(const std::string_view columns[tsSiteParamRecord::kColumnCount]) {
  size_t lengths[tsSiteParamRecord::kColumnCount];
  size_t bytes = 0;
  for (int32_t c = 0; c < tsSiteParamRecord::kColumnCount; ++c) {
    lengths[c] = columns[c].size();
    bytes += lengths[c] + 1;
  }
  if (lengths[tsSiteParamRecord::kKyrId] == 0 && lengths[tsSiteParamRecord::kTagId] == 0)
    return kSkipped;
  lfmScopedGuard guard(lock_);
  if (records_.size() >= kNumberMask)
    return kRejected;  // no file has that many lines
  char* packed = Allocate(kLengthBytes + bytes) + kLengthBytes;
  char* p = packed;
  for (int32_t c = 0; c < tsSiteParamRecord::kColumnCount; ++c) {
    *(packed - kLengthBytes + c) =
        static_cast<char>(lengths[c] < kLongColumn ? lengths[c] : kLongColumn);
    if (lengths[c] > 0)  // an empty view may have no data at all
      std::memcpy(p, columns[c].data(), lengths[c]);
    p[lengths[c]] = '\0';
    p += lengths[c] + 1;
  }
  uint32_t number = static_cast<uint32_t>(records_.size());
  records_.push_back(packed);
  if (lengths[tsSiteParamRecord::kKyrId] > 0)
    QueueKyrId(HashKey(std::string_view(packed, lengths[tsSiteParamRecord::kKyrId])), number);
  return 0;
}

void tsSiteParamMap::Reserve(size_t records) {
  lfmScopedGuard guard(lock_);
  records_.reserve(records);
  byKyrId_.Grow(records, records_);
}

bool tsSiteParamMap::Find(std::string_view kyrId, tsSiteParamView* out) const {
  int64_t n = byKyrId_.Find(kyrId, records_);
  if (n < 0)
    return false;
  *out = tsSiteParamView(records_[static_cast<size_t>(n)]);
  return true;
}

bool tsSiteParamMap::FindTag(std::string_view tagId, tsSiteParamView* out) const {
  // Records are only added before the half is read.
  std::call_once(tagIndexBuilt_, [this] {
    for (size_t n = 0; n < records_.size(); ++n) {
      std::string_view tag = ColumnView(records_[n], tsSiteParamRecord::kTagId);
      if (!tag.empty())
        byTagId_.Put(tag, static_cast<uint32_t>(n), records_);
    }
  });
  int64_t n = byTagId_.Find(tagId, records_);
  if (n < 0)
    return false;
  *out = tsSiteParamView(records_[static_cast<size_t>(n)]);
  return true;
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
  standby_.FinishInserts();
  if (invalidIds_ > kReportedInvalidIds)
    lfmDebugLog::Instance().LogFormat(
        1, "Warning: tsSiteParamMapController: %d further invalid KYR IDs were skipped\n",
        static_cast<int>(invalidIds_ - kReportedInvalidIds));
}

bool tsSiteParamMapController::Fill::CleanFurtherIds(std::string_view raw, std::string_view ownRaw,
                                                     const std::string& own, std::string* list) {
  bool changed = false;
  std::vector<std::string> kept;
  size_t start = 0;
  while (start <= raw.size()) {
    size_t colon = raw.find(':', start);
    if (colon == std::string_view::npos)
      colon = raw.size();
    std::string part(raw.substr(start, colon - start));
    start = colon + 1;
    std::string id = part;
    if (part.empty() || part == "decouple") {
      // kept as written
    } else if (check_ && !check_(part, &id)) {
      changed = true;
      if (++invalidIds_ <= kReportedInvalidIds)
        lfmDebugLog::Instance().Log(MESS_SITEMAP_INVALID_REALTIME_ID,
                                    lfmUtility::ForMessage(ownRaw).c_str(),
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
  std::string_view columns[tsSiteParamRecord::kColumnCount];
  record.Views(columns);
  return Insert(columns);
}

int32_t tsSiteParamMapController::Fill::Insert(
    std::string_view columns[tsSiteParamRecord::kColumnCount]) {
  // A site is listed under its KYR ID in the form a request's id is kept
  // in (current-form ids in lower case), so that its hits find it. An id
  // without capitals is kept as it is in every form.
  std::string_view ownRaw = columns[tsSiteParamRecord::kKyrId];
  bool capitals =
      std::any_of(ownRaw.begin(), ownRaw.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
  std::string own;
  if (check_ && capitals && check_(std::string(ownRaw), &own))
    columns[tsSiteParamRecord::kKyrId] = own;
  std::string list;
  std::string_view& further = columns[tsSiteParamRecord::kRealTimeId];
  if (!further.empty() &&
      CleanFurtherIds(further, ownRaw, std::string(columns[tsSiteParamRecord::kKyrId]), &list))
    further = list;
  int32_t rc = standby_.Insert(columns);
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

bool tsSiteParamMapController::Lookup(std::string_view kyrId, tsSiteParams& site) const {
  std::shared_ptr<tsSiteParamMap> half = Active();
  tsSiteParamView r(nullptr);
  if (LockFree()) {
    if (!half->Find(kyrId, &r))
      return false;
  } else {
    lfmScopedGuard guard(half->Lock());
    if (!half->Find(kyrId, &r))
      return false;
  }
  // Reading the record needs no lock: a half is not changed once it has
  // been swapped in, and the record keeps it.
  FillFrom(r, std::move(half), site);
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
  std::string to;
  {
    lfmScopedGuard half(standby_->Lock());
    to = standby_->CheckSum();
  }
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
  // The half swapped out is not read again by anything but lookups still
  // holding it: its records go with the last of them. Only its checksum
  // text is kept.
  auto released = std::make_shared<tsSiteParamMap>();
  released->SetCheckSum(standby_->CheckSum());
  standby_ = std::move(released);
  uint64_t elapsed = lfmPlatform::Current()->TickCountMs() - started;
  log.Log(1,
          "Info: tsSiteParamMapController::Swap switching from '" + from + "' to '" + to + "'\n");
  log.LogFormat(2, "tsSiteParamMapController::Swap time (sec): %4.4f\n",
                static_cast<double>(elapsed) / 1000.0);
  return true;
}
