#include "logout/lfmlogfilerepair.h"

#include <algorithm>
#include <vector>

#include "diag/lfmdebuglog.h"
#include "diag/lfmmessages.h"
#include "platform/lfmplatform.h"
#include "util/lfmpathname.h"
#include "util/lfmutility.h"

namespace {

constexpr int64_t kBlock = 64 * 1024;

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

// The last byte of the file; false when it cannot be read.
bool LastByte(lfmPlatform* p, lfmFileHandle h, int64_t size, char* last) {
  return size > 0 && ReadAt(p, h, size - 1, last, 1);
}

// 1 when the block at `from` (to `end` at most) holds only NUL bytes, 0
// when it holds another, -1 when it cannot be read.
int AllNul(lfmPlatform* p, lfmFileHandle h, int64_t from, int64_t end, std::vector<char>& block) {
  size_t n = static_cast<size_t>(std::min(kBlock, end - from));
  if (!ReadAt(p, h, from, block.data(), n))
    return -1;
  for (size_t i = 0; i < n; ++i)
    if (block[i] != '\0')
      return 0;
  return 1;
}

// Where the data of a file that ends in NUL padding ends; -1 when the file
// cannot be read. The padding is a mapped reservation that may be
// gigabytes long: the first block of it is found by halving (log lines
// hold no run of NULs a block long), and only the block before it is read
// through.
int64_t DataEnd(lfmPlatform* p, lfmFileHandle h, int64_t size) {
  std::vector<char> block(static_cast<size_t>(kBlock));
  int64_t lo = 0, hi = (size - 1) / kBlock;  // the last block ends in NUL
  while (lo < hi) {
    int64_t mid = lo + (hi - lo) / 2;
    int all = AllNul(p, h, mid * kBlock, size, block);
    if (all < 0)
      return -1;
    if (all)
      hi = mid;
    else
      lo = mid + 1;
  }
  // Block `lo` is the first that may be all padding; the data ends in it
  // or in the one before.
  for (int64_t b = lo; b >= 0 && b >= lo - 1; --b) {
    int64_t from = b * kBlock;
    int64_t n = std::min(kBlock, size - from);
    if (!ReadAt(p, h, from, block.data(), static_cast<size_t>(n)))
      return -1;
    for (int64_t i = n; i > 0; --i)
      if (block[static_cast<size_t>(i - 1)] != '\0')
        return from + i;
  }
  return 0;
}

// The offset just after the last "\n" before `end`, looking back at most
// `limit` bytes; `end - limit - 1` (below every answer) when none is within
// reach, -1 when the file cannot be read.
int64_t LineEnd(lfmPlatform* p, lfmFileHandle h, int64_t end, int64_t limit) {
  std::vector<char> block(static_cast<size_t>(kBlock));
  int64_t floor = end > limit ? end - limit : 0;
  while (end > floor) {
    int64_t from = std::max(floor, end - kBlock);
    size_t n = static_cast<size_t>(end - from);
    if (!ReadAt(p, h, from, block.data(), n))
      return -1;
    for (size_t i = n; i > 0; --i)
      if (block[i - 1] == '\n')
        return from + static_cast<int64_t>(i);
    end = from;
  }
  return floor == 0 ? 0 : floor - 1;
}

// True when the first `size` bytes hold only "#" lines and no "#Fields:"
// line: a header cut short, after which the next open would write no
// header of its own.
bool OnlyAnUnfinishedHeader(lfmPlatform* p, lfmFileHandle h, int64_t size) {
  if (size <= 0 || size > kBlock)
    return false;
  std::string text(static_cast<size_t>(size), '\0');
  if (!ReadAt(p, h, 0, &text[0], text.size()))
    return false;
  for (size_t at = 0; at < text.size();) {
    if (text[at] != '#' || text.compare(at, 8, "#Fields:") == 0)
      return false;
    size_t next = text.find('\n', at);
    if (next == std::string::npos)
      break;
    at = next + 1;
  }
  return true;
}

}  // namespace

lfmLogFileRepair::Result lfmLogFileRepair::Repair(const std::string& path, bool withoutLock) {
  Result result;
  lfmPlatform* p = lfmPlatform::Current();
  int err = 0;
  // A whole file (every file that is not being written, and most that are)
  // ends in a line end: it is only read.
  lfmFileHandle h = p->Open(path, kOpenReadOnly | kOpenUntranslated, 0, &err);
  if (h == kInvalidFileHandle)
    return result;
  int64_t size = p->Size(h, &err);
  char last = '\n';
  bool whole = size == 0 || (LastByte(p, h, size, &last) && last == '\n');
  p->Close(h, &err);
  if (size < 0)
    return result;
  if (whole) {
    result.state = kExamined;
    result.size = size;
    return result;
  }
  h = p->Open(path, kOpenReadWrite | kOpenUntranslated, 0, &err);
  if (h == kInvalidFileHandle)
    return result;
  bool inUse = false;
  if (!p->TakeForRepair(h, &inUse) && (inUse || !withoutLock)) {
    p->Close(h, &err);
    result.state = kInUse;
    return result;
  }
  result.state = kExamined;
  size = p->Size(h, &err);  // again, under the lock
  int64_t keep = size;
  if (LastByte(p, h, size, &last) && last != '\n') {
    int64_t dataEnd = last == '\0' ? DataEnd(p, h, size) : size;
    // The line end before a torn line of kMaxTornLine bytes is one further back.
    int64_t lineEnd = dataEnd < 0 ? -1 : LineEnd(p, h, dataEnd, kMaxTornLine + 1);
    if (lineEnd >= 0 && lineEnd < dataEnd - kMaxTornLine)
      lineEnd = dataEnd;  // no line of ours: only the padding goes
    else if (lineEnd > 0 && OnlyAnUnfinishedHeader(p, h, lineEnd))
      lineEnd = 0;
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

bool lfmLogFileRepair::IsLogFileName(const std::string& name, const std::string& prefix) {
  return name.compare(0, prefix.size(), prefix) == 0 ||
         name.find("_" + prefix) != std::string::npos || name.compare(0, 4, "kyr-") == 0 ||
         name.find("-kyr-") != std::string::npos;
}

void lfmLogFileRepair::ForEachFile(
    const std::string& directory, const std::string& extension,
    const std::function<void(const std::string&, const std::string&)>& visit) {
  std::vector<lfmDirEntry> entries;
  if (directory.empty() || !lfmPlatform::Current()->ListDirectory(directory, &entries))
    return;
  std::string dir = directory;
  if (!lfmUtility::EndsWithSeparator(dir))
    dir += lfmPathName::kNativeSeparator;
  for (const lfmDirEntry& e : entries)
    if (!(e.attributes & kAttrDirectory) &&
        lfmUtility::HasExtension(e.name.c_str(), extension.c_str()))
      visit(dir + e.name, e.name);
}

int lfmLogFileRepair::RepairDirectory(const std::string& directory, const std::string& extension,
                                      const std::function<bool(const std::string&)>& ours) {
  int repaired = 0;
  ForEachFile(directory, extension, [&](const std::string& path, const std::string& name) {
    if (ours && !ours(name))
      return;
    Result r = Repair(path);
    repaired += r.padding > 0 || r.torn > 0;
  });
  return repaired;
}
