#include "diag/zrauditfile.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "platform/lfmplatform.h"
#include "runtime/lfmmutex.h"
#include "util/lfmpathname.h"
#include "util/lfmquickstring.h"
#include "util/lfmstderr.h"
#include "util/lfmutility.h"

namespace {

constexpr size_t kTrimBlock = 16384;

// Closes both handles of a trim, removing the temporary file unless `keep`.
void FinishTrim(lfmPlatform* p, lfmFileHandle in, lfmFileHandle out, const std::string& tmp,
                bool keep) {
  int err = 0;
  if (in != kInvalidFileHandle)
    p->Close(in, &err);
  if (out != kInvalidFileHandle)
    p->Close(out, &err);
  if (!keep)
    p->Remove(tmp);
}

bool WriteAll(lfmPlatform* p, lfmFileHandle h, const char* data, size_t n) {
  while (n > 0) {
    int err = 0;
    int64_t w = p->Write(h, data, n, &err);
    if (w <= 0)
      return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

lfmMutex& zrAuditFile::Lock() {
  // Never destroyed: messages may be raised while statics are torn down.
  // Recursive: the debug log holds it across a whole entry and calls the
  // file's own operations (open, write, rotate, trim), which take it again.
  static lfmMutex* m = new lfmMutex(lfmMutex::kRecursive);
  return *m;
}

zrAuditFile::~zrAuditFile() {
  Close();
}

void zrAuditFile::SetDirectory(const std::string& dir) {
  lfmScopedGuard guard(Lock());
  directory_ = dir;
}

std::string zrAuditFile::GetDirectory() const {
  lfmScopedGuard guard(Lock());
  return directory_;
}

std::string zrAuditFile::FullName(const char* name) const {
  std::string n = name ? name : "";
  if (n.find_first_of("/\\") != std::string::npos)
    return n;
  std::string dir = directory_;
  if (!lfmUtility::EndsWithSeparator(dir))
    dir += lfmPathName::kNativeSeparator;
  return dir + n;
}

bool zrAuditFile::Open(const char* name, const char* mode, int64_t maxKB, int64_t trimKB,
                       bool trimming, int attempts, bool quiet) {
  lfmScopedGuard guard(Lock());
  Close();
  if (directory_.empty())
    directory_ = lfmPlatform::Current()->CurrentDirectory();
  std::string full = FullName(name);
  if (full.size() > kMaxName || !name || !*name) {
    if (!quiet)
      Error(ENAMETOOLONG);
    return false;
  }
  if (trimming && maxKB != 0 && trimKB > 0 && maxKB >= trimKB)
    Trim(full, maxKB, trimKB);
  lfmPlatform* p = lfmPlatform::Current();
  int err = 0;
  for (int i = 0; i < attempts; ++i) {
    stream_ = p->OpenStream(full, mode, &err);
    if (stream_ || err == ENOENT)
      break;
    if (i + 1 < attempts)
      p->SleepMs(kRetryPauseMs);
  }
  if (!stream_) {
    if (!quiet)
      Error(err);
    return false;
  }
  fileName_ = full;
  return true;
}

void zrAuditFile::Close() {
  lfmScopedGuard guard(Lock());
  if (stream_) {
    std::fclose(stream_);
    stream_ = nullptr;
  }
}

std::string zrAuditFile::TimeStamp() const {
  return lfmStdErr::TimeStamp();
}

bool zrAuditFile::Write(const std::string& text, int level) {
  lfmScopedGuard guard(Lock());
  if (!stream_)
    return false;
  if (level > level_)
    return true;
  std::string line = TimeStamp();
  line += text;
  if (text.empty() || text.back() != '\n')
    line += '\n';
  errno = 0;
  bool ok = std::fwrite(line.data(), 1, line.size(), stream_) == line.size();
  ok = std::fflush(stream_) == 0 && ok;
  if (!ok)
    Error(errno ? errno : EIO);
  if (echo_) {
    std::fputs(text.c_str(), echo_);
    if (text.empty() || text.back() != '\n')
      std::fputc('\n', echo_);
    std::fflush(echo_);
  }
  return ok;
}

bool zrAuditFile::WriteFormatted(int level, const char* format, ...) {
  if (!format)
    return false;
  lfmString text;
  va_list ap;
  va_start(ap, format);
  text.AppendVFormat(format, ap);
  va_end(ap);
  return Write(std::string(text.View()), level);
}

void zrAuditFile::Error(int err) {
  std::string line = "zrAuditFile error: ";
  line += lfmPlatform::Current()->ErrorText(err);
  lfmStdErr::WriteLine(line.c_str());
  lfmScopedGuard guard(Lock());
  if (stream_)
    std::clearerr(stream_);
}

bool zrAuditFile::IsOpen() const {
  lfmScopedGuard guard(Lock());
  return stream_ != nullptr;
}

int64_t zrAuditFile::Size() const {
  lfmScopedGuard guard(Lock());
  if (!stream_)
    return -1;
  lfmFileStatus st;
  if (!lfmPlatform::Current()->Stat(fileName_, &st))
    return -1;
  return static_cast<int64_t>(st.size);
}

void zrAuditFile::AttachStream(std::FILE* stream) {
  lfmScopedGuard guard(Lock());
  Close();
  stream_ = stream;
}

void zrAuditFile::SetEcho(std::FILE* echo) {
  lfmScopedGuard guard(Lock());
  echo_ = echo;
}

void zrAuditFile::SetLevel(int level) {
  lfmScopedGuard guard(Lock());
  level_ = level;
}

std::string zrAuditFile::GetFileName() const {
  lfmScopedGuard guard(Lock());
  return fileName_;
}

bool zrAuditFile::Trim(const std::string& path, int64_t maxKB, int64_t trimKB) {
  if (maxKB < trimKB || trimKB < 0)
    return false;
  lfmPlatform* p = lfmPlatform::Current();
  lfmFileStatus st;
  if (!p->Stat(path, &st) || st.size <= static_cast<uint64_t>(maxKB) * 1024)
    return false;
  uint64_t keep = static_cast<uint64_t>(trimKB) * 1024;
  int64_t start = static_cast<int64_t>(st.size > keep ? st.size - keep : 0);

  int err = 0;
  lfmFileHandle in = p->Open(path, kOpenReadOnly | kOpenUntranslated, 0, &err);
  if (in == kInvalidFileHandle)
    return false;
  std::string tmp = path + ".tmp";
  lfmFileHandle out = p->Open(tmp, kOpenWriteOnly | kOpenCreate | kOpenTruncate | kOpenUntranslated,
                              kOpenPermission, &err);
  if (out == kInvalidFileHandle || p->Seek(in, start, 0, &err) < 0) {
    FinishTrim(p, in, out, tmp, out == kInvalidFileHandle);
    return false;
  }

  std::vector<char> block(kTrimBlock);
  bool first = true;
  bool skippingEnds = false;  // past the cut line, skipping the line ends after it
  for (;;) {
    int64_t n = p->Read(in, block.data(), block.size(), &err);
    if (n < 0) {
      FinishTrim(p, in, out, tmp, false);
      return false;
    }
    if (n == 0)
      break;
    const char* data = block.data();
    size_t len = static_cast<size_t>(n);
    size_t pos = 0;
    if (first) {
      first = false;
      const char* cut = static_cast<const char*>(std::memchr(data, '\n', len));
      if (!cut)
        cut = static_cast<const char*>(std::memchr(data, '\r', len));
      if (!cut) {
        FinishTrim(p, in, out, tmp, false);
        return false;
      }
      pos = static_cast<size_t>(cut - data);
      skippingEnds = true;
    }
    if (skippingEnds) {
      while (pos < len && (data[pos] == '\n' || data[pos] == '\r'))
        ++pos;
      if (pos < len)
        skippingEnds = false;
    }
    if (pos < len && !WriteAll(p, out, data + pos, len - pos)) {
      FinishTrim(p, in, out, tmp, false);
      return false;
    }
  }
  p->Close(in, &err);
  in = kInvalidFileHandle;
  if (!p->Close(out, &err)) {
    p->Remove(tmp);
    return false;
  }
  if (p->Rename(tmp, path, true) != 0) {
    p->Remove(tmp);
    return false;
  }
  return true;
}
