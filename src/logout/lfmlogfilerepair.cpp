#include "logout/lfmlogfilerepair.h"

#include <vector>

#include "diag/lfmdebuglog.h"
#include "diag/lfmmessages.h"
#include "platform/lfmplatform.h"
#include "util/lfmpathname.h"
#include "util/lfmutility.h"

namespace {

constexpr size_t kBlock = 64 * 1024;

// Reads `n` bytes at `at` whole; false on a short read or a failure.
bool ReadAt(lfmPlatform* p, lfmFileHandle h, int64_t at, char* into, size_t n) {
  int err = 0;
  if (p->Seek(h, at, 0, &err) != at)
    return false;
  size_t got = 0;
  while (got < n) {
    int64_t r = p->Read(h, into + got, n - got, &err);
    if (r <= 0)
      return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

// Walks back from `end` over bytes for which `skip` holds; the offset just
// after the last byte for which it does not (0 when none), or -1 when the
// file could not be read.
template <typename Skip>
int64_t BackOver(lfmPlatform* p, lfmFileHandle h, int64_t end, Skip skip) {
  std::vector<char> block(kBlock);
  while (end > 0) {
    int64_t from = end > static_cast<int64_t>(kBlock) ? end - static_cast<int64_t>(kBlock) : 0;
    size_t n = static_cast<size_t>(end - from);
    if (!ReadAt(p, h, from, block.data(), n))
      return -1;
    size_t i = n;
    while (i > 0 && skip(block[i - 1]))
      --i;
    if (i > 0)
      return from + static_cast<int64_t>(i);
    end = from;
  }
  return 0;
}

}  // namespace

lfmLogFileRepair::Result lfmLogFileRepair::Repair(const std::string& path) {
  Result result;
  lfmPlatform* p = lfmPlatform::Current();
  int err = 0;
  lfmFileHandle h = p->Open(path, kOpenReadWrite | kOpenUntranslated, 0, &err);
  if (h == kInvalidFileHandle)
    return result;
  if (!p->TakeForRepair(h)) {
    p->Close(h, &err);
    return result;
  }
  result.taken = true;
  int64_t size = p->Size(h, &err);
  char last = '\n';
  int64_t keep = size;
  if (size > 0 && ReadAt(p, h, size - 1, &last, 1) && last != '\n') {
    int64_t dataEnd = BackOver(p, h, size, [](char c) { return c == '\0'; });
    int64_t lineEnd = dataEnd < 0 ? -1 : BackOver(p, h, dataEnd, [](char c) { return c != '\n'; });
    if (lineEnd >= 0 && (lineEnd == size || p->Truncate(h, static_cast<uint64_t>(lineEnd), &err))) {
      keep = lineEnd;
      result.padding = static_cast<uint64_t>(size - dataEnd);
      result.torn = static_cast<uint64_t>(dataEnd - lineEnd);
    }
  }
  result.size = keep;
  p->Close(h, &err);
  if (result.padding > 0 || result.torn > 0) {
    std::string padding = std::to_string(result.padding), torn = std::to_string(result.torn);
    lfmDebugLog::Instance().Log(MESS_LOG_FILE_REPAIRED, path.c_str(), padding.c_str(),
                                torn.c_str());
  }
  return result;
}

int lfmLogFileRepair::RepairDirectory(const std::string& directory,
                                      const std::vector<std::string>& extensions) {
  lfmPlatform* platform = lfmPlatform::Current();
  std::vector<lfmDirEntry> entries;
  if (directory.empty() || !platform->ListDirectory(directory, &entries))
    return 0;
  std::string dir = directory;
  if (!lfmUtility::EndsWithSeparator(dir))
    dir += lfmPathName::kNativeSeparator;
  int repaired = 0;
  for (const lfmDirEntry& e : entries) {
    if ((e.attributes & kAttrDirectory) || e.size == 0)
      continue;
    for (const std::string& ext : extensions) {
      if (!lfmUtility::HasExtension(e.name.c_str(), ext.c_str()))
        continue;
      Result r = Repair(dir + e.name);
      repaired += r.padding > 0 || r.torn > 0;
      break;
    }
  }
  return repaired;
}
