#include "sitemap/tssiteoverview.h"

#include <cerrno>
#include <vector>

#include "diag/lfmdebuglog.h"
#include "platform/lfmplatform.h"
#include "sitemap/tssiteparammap.h"
#include "util/lfmpathname.h"

namespace {

constexpr char kInitialWord[] = "InitialLoad";
constexpr size_t kCopyChunk = 1024 * 1024;

// Copies `from` to `to` (created or truncated): 0 or a system error number.
int32_t CopyFileContent(const std::string& from, const std::string& to) {
  lfmPlatform* p = lfmPlatform::Current();
  int err = 0;
  lfmFileHandle in = p->Open(from, kOpenReadOnly, 0, &err);
  if (in == kInvalidFileHandle)
    return err != 0 ? err : ENOENT;
  lfmFileHandle out =
      p->Open(to, kOpenWriteOnly | kOpenCreate | kOpenTruncate, kOpenPermission, &err);
  if (out == kInvalidFileHandle) {
    int ignored = 0;
    p->Close(in, &ignored);
    return err != 0 ? err : EIO;
  }
  std::vector<char> buffer(kCopyChunk);
  int32_t result = 0;
  for (;;) {
    int64_t n = p->Read(in, buffer.data(), buffer.size(), &err);
    if (n < 0) {
      result = err != 0 ? err : EIO;
      break;
    }
    if (n == 0)
      break;
    for (int64_t done = 0; done < n;) {
      int64_t w = p->Write(out, buffer.data() + done, static_cast<size_t>(n - done), &err);
      if (w <= 0) {
        result = err != 0 ? err : EIO;
        break;
      }
      done += w;
    }
    if (result != 0)
      break;
  }
  int ignored = 0;
  p->Close(in, &ignored);
  if (!p->Close(out, &err) && result == 0)
    result = err != 0 ? err : EIO;
  return result;
}

// A stated checksum in the case of the digests the map keeps.
std::string UpperCase(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  return text;
}

}  // namespace

tsSiteOverview::tsSiteOverview(tsSiteParamMapController& map) : map_(map) {}

tsSiteOverview& tsSiteOverview::Instance() {
  // Never destroyed: the reload thread may still be loading while the
  // process ends.
  static tsSiteOverview* instance = new tsSiteOverview(tsSiteParamMapController::Instance());
  return *instance;
}

void tsSiteOverview::Init(const std::string& fullPath, const std::string& backupDir,
                          bool checkStatus, bool reloadSame, int32_t sleepMs, int32_t lockModel) {
  lfmScopedGuard guard(loadLock_);
  fullPath_ = fullPath;
  backupDir_ = backupDir;
  checkStatus_ = checkStatus;
  reloadSame_ = reloadSame;
  sleepMs_ = sleepMs;
  lockModel_ = lockModel;
}

std::string tsSiteOverview::BackupName(int generation) const {
  std::string name = backupDir_ + lfmPathName::kNativeSeparator + "smap.lst";
  if (generation > 0)
    name += ".bak." + std::to_string(generation);
  return name;
}

int32_t tsSiteOverview::CheckDirectory(const std::string& dir) {
  lfmPlatform* p = lfmPlatform::Current();
  lfmFileStatus status;
  if (p->Stat(dir, &status))
    return (status.mode & kModeDirectory) != 0 ? 0 : ENOTDIR;
  int err = p->MakeDirectory(dir);
  // Another loader may have created it in the meantime.
  if (err == EEXIST && p->Stat(dir, &status) && (status.mode & kModeDirectory) != 0)
    return 0;
  return err;
}

int32_t tsSiteOverview::CopyCurrent(std::string* copy) {
  *copy = BackupName(0);
  return CopyFileContent(fullPath_, *copy);
}

int32_t tsSiteOverview::RotateBackups() {
  lfmPlatform* p = lfmPlatform::Current();
  const std::string oldest = BackupName(3);
  if (p->Access(oldest, kAccessExists)) {
    p->SetWritable(oldest, true);
    int err = p->Remove(oldest);
    if (err != 0 && err != ENOENT)
      return err;
  }
  // Older generations may be missing (the first reloads); the new copy
  // must be there.
  for (int g = 2; g >= 0; --g) {
    int err = p->Rename(BackupName(g), BackupName(g + 1), false);
    if (err != 0 && (g == 0 || err != ENOENT))
      return err;
  }
  return 0;
}

int32_t tsSiteOverview::ReadFile(const char* mode, const std::string& path, const CancelFn& cancel,
                                 bool* same) {
  lfmDebugLog& log = lfmDebugLog::Instance();
  *same = false;
  tsSiteMapReader reader;
  // Structure and line count before reading; with the checksum after.
  auto checkFile = [&](bool verify) {
    int32_t result = reader.CheckFile(verify);
    if (result != 0)
      log.LogFormat(1, "Error: tsSiteOverview::Load %s reader.CheckFile Failed: %s: %s", mode,
                    path.c_str(), tsSiteMapReader::ResultText(result));
    return result;
  };
  int32_t rc = reader.Open(path);
  if (rc != 0) {
    log.LogFormat(1, "Error: tsSiteOverview::Load %s reader.Open Failed: %s", mode, path.c_str());
    return rc;
  }
  if (checkStatus_) {
    // The scan checks the structure and counts the lines; the data lines
    // are digested once, while they are read, so that the digest checked
    // is that of the very lines that were loaded.
    rc = reader.ScanFile(sleepMs_, cancel, false);
    if (rc == tsSiteMapReader::kCancelled)
      return rc;
    if (rc != 0) {
      log.LogFormat(1, "Error: tsSiteOverview::Load %s reader.ScanFile Failed: %s", mode,
                    path.c_str());
      return rc;
    }
    rc = checkFile(false);
    if (rc != 0)
      return rc;
    // A file stating the checksum of the map in force is that map again,
    // or a file that would fail its check: either way there is nothing to
    // load.
    if (!reloadSame_ && map_.IsSameCheckSum(UpperCase(reader.CheckSum()))) {
      log.LogFormat(1,
                    "Info: tsSiteOverview::Load %s IsSameCheckSum: File is the same checksum as "
                    "the current one %s",
                    mode, path.c_str());
      *same = true;
      return 0;
    }
  }
  rc = reader.Reset();
  if (rc != 0) {
    log.LogFormat(1, "Error: tsSiteOverview::Load %s Reset Failed:  %s: %s", mode, path.c_str(),
                  tsSiteMapReader::ResultText(rc));
    return rc;
  }
  // A failed or cancelled read leaves a partly filled standby half; the
  // caller only swaps after a clean read, and the next fill starts afresh.
  rc = reader.Read(map_, sleepMs_, cancel);
  if (rc == tsSiteMapReader::kCancelled)
    return rc;
  if (rc != 0) {
    log.LogFormat(1, "Error: tsSiteOverview::Load %s Read Failed:  %s: %s", mode, path.c_str(),
                  tsSiteMapReader::ResultText(rc));
    return rc;
  }
  // What was read is checked whether or not the file was checked before:
  // a file that fails its checks is never swapped in.
  rc = checkFile(true);
  if (rc != 0)
    return rc;
  rc = reader.Close();
  if (rc != 0) {
    log.LogFormat(1, "Error: tsSiteOverview::Load %s Close Failed:  %s: %s", mode, path.c_str(),
                  tsSiteMapReader::ResultText(rc));
    return rc;
  }
  return 0;
}

int32_t tsSiteOverview::Load(bool initial, const CancelFn& cancel) {
  lfmScopedGuard guard(loadLock_);
  lfmDebugLog& log = lfmDebugLog::Instance();
  const char* mode = initial ? kInitialWord : "";
  log.LogFormat(2, "Info: tsSiteOverview::Load %s Started: %s", mode, fullPath_.c_str());

  int32_t rc = CheckDirectory(backupDir_);
  if (rc != 0) {
    log.LogFormat(1, "Error: tsSiteOverview::Load %s CheckDirectory Failed: %s", mode,
                  backupDir_.c_str());
    return rc;
  }
  std::string copy;
  rc = CopyCurrent(&copy);
  if (rc != 0) {
    log.LogFormat(1, "Error: tsSiteOverview::Load %s CopyCurrent Failed: %s", mode,
                  fullPath_.c_str());
    return rc;
  }
  bool same = false;
  rc = ReadFile(mode, copy, cancel, &same);
  if (rc != 0 || same)
    return rc;
  // The start-up load rotates too, so that ".bak.1" always holds the last
  // file that loaded and the next start can fall back to it. A good file is
  // not refused at start-up because it could not be kept as a backup.
  rc = RotateBackups();
  if (rc != 0) {
    log.LogFormat(1, "Error: tsSiteOverview::Load %s Unable to Backup File:  %s: %s", "",
                  fullPath_.c_str(), lfmPlatform::Current()->ErrorText(rc).c_str());
    if (!initial)
      return rc;
  }
  map_.Swap(lockModel_);
  return 0;
}

int32_t tsSiteOverview::Verify(bool backup) {
  lfmScopedGuard guard(loadLock_);
  bool same = false;
  return ReadFile(kInitialWord, backup ? BackupName(1) : fullPath_, nullptr, &same);
}

int32_t tsSiteOverview::LoadBackup() {
  lfmScopedGuard guard(loadLock_);
  bool same = false;
  int32_t rc = ReadFile(kInitialWord, BackupName(1), nullptr, &same);
  if (rc != 0 || same)
    return rc;
  map_.Swap(lockModel_);
  return 0;
}
