#pragma once
// The site map in memory: the parameter record of one site map line, one
// half of the double-buffered map (KYR ID and tag id indexes, the checksum
// of the file it came from), and the controller that request threads look
// sites up in while the reload thread fills the standby half and swaps it in.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/lfmmutex.h"

struct tsSiteParams;

// The text columns of one site map line. "null" (any case) and a missing
// value are both empty.
struct tsSiteParamRecord {
  enum Column : int32_t {
    kKyrId = 0,
    kTagId,
    kFirstWeekDay,
    kSchedulePriority,
    kRealTimeId,
    kDataCollection,
    kTimeZone,
    kKyrEnabled,
    kFullyMigrated,
    kCookiesEnabled,
    kVisitorSessionLength,
    kColumnCount
  };

  std::string columns[kColumnCount];

  // The column named `name` in the "Fields" header (ignoring case), or -1.
  static int32_t ColumnIndex(std::string_view name);
  static const char* ColumnName(int32_t column);

  // Stores `value` as column `column` with the file's conventions: "null"
  // in any case becomes empty, and a realtimeid of more than two characters
  // enclosed in single quotes loses them. Returns 0, or 4509 for a value a
  // column rejects (none of the present columns rejects one).
  int32_t Set(int32_t column, std::string_view value);
  // `value` as stored in `column` by Set (a view into `value`).
  static std::string_view Normalize(int32_t column, std::string_view value);
  // The columns as views (one holding a NUL as empty); valid while the
  // record is unchanged.
  void Views(std::string_view out[kColumnCount]) const;
  const std::string& Get(Column column) const { return columns[column]; }
  void Clear();
};

// One stored record of a half: its columns in column order, each ended by
// a NUL byte and with its length stored before the record, in the half's
// arena. Valid while the half lives.
class tsSiteParamView {
 public:
  explicit tsSiteParamView(const char* packed) : packed_(packed) {}
  // All columns at once (each view ends before its NUL).
  void Columns(std::string_view out[tsSiteParamRecord::kColumnCount]) const;
  std::string_view Get(int32_t column) const;

 private:
  const char* packed_;
};

// One half of the map: the records packed one after another into an arena
// of large blocks (about the size of the data lines), and two open-address
// indexes of record numbers, by KYR ID and by tag id. The indexes are
// written only while the half is being filled (standby, under the
// controller lock) and only read after it has been swapped in. The half's
// own lock guards lookups and inserts in lock model 0.
class tsSiteParamMap {
 public:
  // Insert() result for a record with neither KYR ID nor tag id.
  static constexpr int32_t kSkipped = 6001;
  // Insert() result for a record that cannot be stored (the reader's code
  // for a rejected value).
  static constexpr int32_t kRejected = 4509;

  tsSiteParamMap() = default;
  tsSiteParamMap(const tsSiteParamMap&) = delete;
  tsSiteParamMap& operator=(const tsSiteParamMap&) = delete;

  // Indexes a copy of `record` under its KYR ID and its tag id (whichever
  // are non-empty); a later record replaces an earlier one with the same
  // key in that index. kSkipped when both keys are empty, else 0.
  int32_t Insert(const tsSiteParamRecord& record);
  // The same for the columns as views, which hold no NUL.
  int32_t Insert(const std::string_view columns[tsSiteParamRecord::kColumnCount]);
  // Makes room for `records` records in the KYR ID index, so that filling
  // it does not rehash; only a hint.
  void Reserve(size_t records);
  // Applies the inserts still queued; the half is ready for Find() after
  // it. Insert() callers call it once they are done.
  void FinishInserts();
  // The record listed under `kyrId` (or `tagId`); false when there is none.
  // The caller holds the half (its lock in lock model 0) while it uses the
  // result.
  bool Find(std::string_view kyrId, tsSiteParamView* out) const;
  bool FindTag(std::string_view tagId, tsSiteParamView* out) const;
  size_t Size() const { return byKyrId_.size; }

  const std::string& CheckSum() const { return checkSum_; }
  void SetCheckSum(const std::string& digest) { checkSum_ = digest; }
  lfmMutex& Lock() LFM_RETURN_CAPABILITY(lock_) { return lock_; }

 private:
  // Open addressing with linear probing over a power-of-two table, kept at
  // most half full. A slot holds the upper half of the key's hash and the
  // record's number + 1 (0: free), so that a probe rarely has to read a
  // record; the key is the record's column `column`.
  struct Index {
    int32_t column = 0;
    std::vector<uint64_t> slots;
    size_t size = 0;

    // The number of the record under `key`, or -1.
    int64_t Find(std::string_view key, const std::vector<const char*>& records) const;
    void Put(std::string_view key, uint32_t record, const std::vector<const char*>& records);
    // Put with the key's hash already known.
    void PutHashed(uint64_t hash, uint32_t record, const std::vector<const char*>& records);
    // Room for `capacity` keys without passing half full.
    void Grow(size_t capacity, const std::vector<const char*>& records);
  };
  // Inserts into the KYR ID index wait in a short queue while their slots
  // are fetched into the cache, so that filling a large index does not
  // stall on every slot; they are applied in order.
  static constexpr size_t kPipeline = 16;
  void QueueKyrId(uint64_t hash, uint32_t record);
  // Room for `n` bytes in the arena.
  char* Allocate(size_t n);

  Index byKyrId_{tsSiteParamRecord::kKyrId, {}, 0};
  // Hits are looked up by KYR ID only: the tag id index is built on its
  // first use, from the records in file order, so a load does not pay for
  // it.
  mutable std::once_flag tagIndexBuilt_;
  mutable Index byTagId_{tsSiteParamRecord::kTagId, {}, 0};
  std::vector<const char*> records_;  // in the arena, by number
  uint64_t queuedHash_[kPipeline] = {};
  uint32_t queuedRecord_[kPipeline] = {};
  size_t queueHead_ = 0;
  size_t queued_ = 0;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* free_ = nullptr;  // in the last block
  size_t freeBytes_ = 0;
  std::string checkSum_;
  lfmMutex lock_;
};

// The double-buffered site map. Request threads call Lookup() concurrently;
// one loader at a time fills the standby half through a Fill and swaps it in.
//
// Ownership: both halves are held by shared_ptr. The active pointer is read
// and replaced only with the atomic shared_ptr operations, and a lookup
// keeps its own reference to the half it reads. A fill never empties a
// half: it builds a fresh one. A swap lets go of the half it swapped out,
// which is freed when the last lookup still reading it lets go too. So a
// lookup on the old half is never disturbed by a swap or the next load,
// with or without a lock, and only one map is held between loads.
//
// Lock models: 0 takes the half's lock around lookups, inserts and the
// swap; any other model makes lookups lock-free from its first swap on.
// Locks: the controller lock serialises fills and swaps; it is taken
// before a half's lock.
class tsSiteParamMapController {
 public:
  tsSiteParamMapController();
  tsSiteParamMapController(const tsSiteParamMapController&) = delete;
  tsSiteParamMapController& operator=(const tsSiteParamMapController&) = delete;

  // The process-wide map, created on first use.
  static tsSiteParamMapController& Instance();

  // Checks a further KYR ID of a site (the "realtimeid" list); true with
  // the id in the form it is kept (and names files) in *kept.
  using FurtherIdCheck = bool (*)(const std::string& id, std::string* kept);

  // Loader side: holds the controller lock for its lifetime over a fresh,
  // empty standby half. Insert() the records, SetCheckSum() the digest,
  // then leave the scope and Swap().
  class Fill {
   public:
    // Individually reported invalid further KYR IDs per fill; the rest are
    // counted in one debug line.
    static constexpr int32_t kReportedInvalidIds = 10;

    explicit Fill(tsSiteParamMapController& controller);
    ~Fill();
    Fill(const Fill&) = delete;
    Fill& operator=(const Fill&) = delete;
    // 0, or the map's rejection code (4509). A record with neither key is
    // skipped and counts as success. A KYR ID that passes the check is
    // stored in its kept form; further KYR IDs that fail it, name the site
    // itself or repeat one are left out of the stored record.
    int32_t Insert(const tsSiteParamRecord& record);
    // The same for the columns as views (values as Set stores them, no
    // NUL in them); the views may be changed.
    int32_t Insert(std::string_view columns[tsSiteParamRecord::kColumnCount]);
    // Room for `records` records (a hint; see tsSiteParamMap::Reserve).
    void Reserve(size_t records);
    void SetCheckSum(const std::string& digest);

   private:
    // The further-KYR-ID list `raw` of the site `ownRaw` in the form the ids
    // are kept in, without entries that fail the check, name the site itself
    // (`own`, its kept form) or repeat an earlier one; false when the list
    // is unchanged.
    bool CleanFurtherIds(std::string_view raw, std::string_view ownRaw, const std::string& own,
                         std::string* list);

    lfmScopedGuard guard_;
    tsSiteParamMap& standby_;
    FurtherIdCheck check_;
    int32_t invalidIds_ = 0;
  };

  // Sets the check applied to further KYR IDs by later fills (none: every
  // non-empty entry is kept, but never the site's own KYR ID).
  void SetFurtherIdCheck(FurtherIdCheck check) LFM_EXCLUDES(lock_);

  // Fills `site` from the active half's record of `kyrId` and sets its
  // found flag; false, leaving `site` untouched, when the KYR ID is not
  // listed. Thread-safe.
  bool Lookup(std::string_view kyrId, tsSiteParams& site) const;
  // Whether `digest` equals the active half's checksum (length and bytes).
  bool IsSameCheckSum(const std::string& digest) const;
  std::string ActiveCheckSum() const;
  std::string StandbyCheckSum() const LFM_EXCLUDES(lock_);
  // Makes the standby half active and lets go of the active one (freed by
  // the last lookup still reading it; only its checksum text stays, as the
  // standby checksum). A non-zero `lockModel` makes every later lookup
  // lock-free. Returns true.
  bool Swap(int32_t lockModel) LFM_EXCLUDES(lock_);
  bool LockFree() const { return lockFree_.load(std::memory_order_acquire); }

  // For tests only: both halves empty, lookups locked again.
  void ResetForTest() LFM_EXCLUDES(lock_);

 private:
  std::shared_ptr<tsSiteParamMap> Active() const;

  mutable lfmMutex lock_;                   // the controller lock
  std::shared_ptr<tsSiteParamMap> active_;  // atomic shared_ptr operations only
  std::shared_ptr<tsSiteParamMap> standby_ LFM_GUARDED_BY(lock_);
  std::atomic<bool> lockFree_{false};
  FurtherIdCheck furtherIdCheck_ LFM_GUARDED_BY(lock_) = nullptr;
};
