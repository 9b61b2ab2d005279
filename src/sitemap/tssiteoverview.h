#pragma once
// Loads the site map file into the site parameter map: copies the file into
// a private backup directory, checks the copy (structure, line count,
// checksum), fills the map's standby half from it and swaps it in, then
// keeps the last three files that loaded as "smap.lst.bak.1" (newest) to
// "smap.lst.bak.3". A file that fails any check is never swapped in, so
// request threads keep the last good map.
//
// Every failure is written to the debug log and returned as a result code
// (the reader's codes, or a system error number for the directory, copy and
// backup steps); nothing is thrown. A cancelled load (kCancelled) logs
// nothing.

#include <cstdint>
#include <string>

#include "runtime/lfmmutex.h"
#include "sitemap/tssitemapreader.h"

class tsSiteParamMapController;

class tsSiteOverview {
 public:
  using CancelFn = tsSiteMapReader::CancelFn;

  // Loads into `map` (not owned; it outlives this object).
  explicit tsSiteOverview(tsSiteParamMapController& map);
  tsSiteOverview(const tsSiteOverview&) = delete;
  tsSiteOverview& operator=(const tsSiteOverview&) = delete;

  // The process-wide loader over the process-wide map.
  static tsSiteOverview& Instance();

  // Stores the settings under the load lock. `checkStatus` verifies the
  // file before it is loaded; `reloadSame` loads a file whose checksum
  // equals the active map's; `sleepMs` is slept after every batch of lines
  // (0 = none); `lockModel` is passed to the map's Swap.
  void Init(const std::string& fullPath, const std::string& backupDir, bool checkStatus,
            bool reloadSame, int32_t sleepMs, int32_t lockModel) LFM_EXCLUDES(loadLock_);

  // Copies, checks, loads and swaps in the site map file and rotates the
  // backups; a reload (not `initial`) whose backups cannot be rotated is not
  // swapped in. `cancel` (may be empty) is asked between batches of lines.
  // 0 when loaded or when the file is unchanged.
  int32_t Load(bool initial, const CancelFn& cancel) LFM_EXCLUDES(loadLock_);
  // Loads the newest backup ("smap.lst.bak.1") without copying or
  // rotating; for start-up when Load failed.
  int32_t LoadBackup() LFM_EXCLUDES(loadLock_);

  // The configuration check: reads and checks the site map file (or, with
  // `backup`, the newest backup) into the standby half without copying,
  // rotating or swapping anything in. 0 when a load would take it.
  int32_t Verify(bool backup) LFM_EXCLUDES(loadLock_);

  // Makes sure `dir` exists, creating it (its parent must exist) if not:
  // 0 or a system error number.
  static int32_t CheckDirectory(const std::string& dir);
  // Copies the site map file to "smap.lst" in the backup directory and
  // stores that path in *copy: 0 or a system error number.
  int32_t CopyCurrent(std::string* copy) LFM_REQUIRES(loadLock_);

  // Backup file names in the backup directory.
  // 0: "smap.lst", 1-3: ".bak.n".
  std::string BackupName(int generation) const LFM_REQUIRES(loadLock_);

 private:
  // Steps shared by Load and LoadBackup on the file `path`: open, check,
  // read into the standby half, check again, close. Returns 0 with the
  // standby half ready to swap, or the first error (logged unless
  // cancelled). *same is set when the file matches the active map and
  // nothing was read.
  int32_t ReadFile(const char* mode, const std::string& path, const CancelFn& cancel, bool* same)
      LFM_REQUIRES(loadLock_);
  // Deletes ".bak.3", moves ".bak.2" and ".bak.1" one generation older and
  // makes "smap.lst" the new ".bak.1": 0 or a system error number.
  int32_t RotateBackups() LFM_REQUIRES(loadLock_);

  tsSiteParamMapController& map_;
  lfmMutex loadLock_;  // serialises loads and guards the settings below
  std::string fullPath_ LFM_GUARDED_BY(loadLock_);
  std::string backupDir_ LFM_GUARDED_BY(loadLock_);
  bool checkStatus_ LFM_GUARDED_BY(loadLock_) = true;
  bool reloadSame_ LFM_GUARDED_BY(loadLock_) = false;
  int32_t sleepMs_ LFM_GUARDED_BY(loadLock_) = 0;
  int32_t lockModel_ LFM_GUARDED_BY(loadLock_) = 0;
};
