#include "logout/lfmmemmapfile.h"

#include <cstring>

#include "diag/lfmexceptioncontroller.h"
#include "util/lfmclock.h"
#include "util/whexceptiontexts.h"

namespace {

const char kModule[] = "./src/logout/lfmmemmapfile.cpp";

// Platform open flags for the creation disposition in `flags` (create
// 0x100, truncate 0x200, exclusive 0x400): open existing, open always,
// truncate existing, create always or create new.
int MappedOpenFlags(int flags) {
  int result = kOpenReadWrite;
  switch (flags & 0x700) {
    case 0x100:
      result |= kOpenCreate;
      break;
    case 0x200:
    case 0x600:
      result |= kOpenTruncate;
      break;
    case 0x300:
      result |= kOpenCreate | kOpenTruncate;
      break;
    case 0x500:
    case 0x700:
      result |= kOpenCreate | kOpenExclusive;
      break;
    default:  // 0, 0x400: open existing
      break;
  }
  return result;
}

}  // namespace

uint32_t lfmMemMapFile::Granularity() {
  static const uint32_t granularity = lfmPlatform::Current()->AllocationGranularity();
  return granularity;
}

uint64_t lfmMemMapFile::RoundUp(uint64_t n) {
  uint64_t g = Granularity();
  return (n + g - 1) / g * g;
}

lfmMemMapFile::lfmMemMapFile(uint64_t maxSize) : lfmMemMapFile("lfmMemMapFile", maxSize) {}

lfmMemMapFile::lfmMemMapFile(const char* className, uint64_t maxSize) : lfmBaseFile(className) {
  Granularity();
  lfmMemMapFile::DoSetMaxSize(maxSize);
}

lfmMemMapFile::~lfmMemMapFile() {
  lfmScopedGuard guard(lock_);
  lfmMemMapFile::DoClose();
}

void lfmMemMapFile::DoSetBufferSize(uint32_t size) {
  uint64_t rounded = RoundUp(size);
  bufferSize_ = rounded > 0xFFFFFFFFull ? size : static_cast<uint32_t>(rounded);
}

void lfmMemMapFile::DoSetMaxSize(uint64_t size) {
  maxSize_ = RoundUp(size);
}

void lfmMemMapFile::DoReset() {
  lfmBaseFile::DoReset();
  handle_ = kInvalidFileHandle;
  view_ = nullptr;
  viewStart_ = 0;
  logicalSize_ = 0;
  offsetInView_ = 0;
  window_ = 0;
}

bool lfmMemMapFile::FailOpen() {
  Unmap();
  if (handle_ != kInvalidFileHandle) {
    int err = 0;
    lfmPlatform::Current()->Close(handle_, &err);
  }
  handle_ = kInvalidFileHandle;
  logicalSize_ = 0;
  offsetInView_ = 0;
  return false;
}

bool lfmMemMapFile::DoOpen(const std::string& name, int flags, int permission, time_t time) {
  logicalSize_ = 0;
  offsetInView_ = 0;
  ThrowIfOpen(name);
  lfmPlatform* platform = lfmPlatform::Current();
  int err = 0;
  handle_ = platform->Open(name, MappedOpenFlags(flags), permission, &err);
  if (handle_ == kInvalidFileHandle)
    return false;
  platform->MarkWriting(handle_);  // see lfmBaseFile::DoOpen
  window_ = maxSize_ < kDefaultWindow ? static_cast<uint32_t>(maxSize_) : kDefaultWindow;
  int64_t size = platform->Size(handle_, &err);
  if (size < 0 || static_cast<uint64_t>(size) > maxSize_)
    return FailOpen();
  // A block that cannot be read leaves the data end unknown: writing after a
  // guess would overwrite data, and the close would cut the file there.
  uint64_t dataEnd = 0;
  if (size > 0 && !FindDataEnd(static_cast<uint64_t>(size), &dataEnd))
    return FailOpen();
  if (window_ == 0)
    return FailOpen();
  // Reserve the whole maximum, so that no write into the view can meet a
  // full disk (which would kill the process instead of failing a write).
  // A failure from here on cuts the file back to what it held: the
  // reservation must never stay behind as zeros for the next open to find.
  uint64_t start = dataEnd / window_ * window_;
  if (!platform->Allocate(handle_, maxSize_, &err) || !MapWindow(start)) {
    platform->Truncate(handle_, static_cast<uint64_t>(size), &err);
    return FailOpen();
  }
  offsetInView_ = static_cast<uint32_t>(dataEnd - start);
  logicalSize_ = dataEnd;
  name_ = name;
  openFlags_ = flags;
  permission_ = permission;
  open_ = true;
  lastFlush_ = time ? time : lfmClock::Now();
  return true;
}

bool lfmMemMapFile::MapWindow(uint64_t start) {
  uint64_t length = kDefaultWindow < maxSize_ ? kDefaultWindow : maxSize_;
  if (start >= maxSize_)
    return false;
  if (start + length > maxSize_)
    length = maxSize_ - start;
  int err = 0;
  void* view = lfmPlatform::Current()->MapView(handle_, start, static_cast<size_t>(length), &err);
  if (!view)
    return false;
  view_ = static_cast<char*>(view);
  viewStart_ = start;
  window_ = static_cast<uint32_t>(length);
  return true;
}

void lfmMemMapFile::Unmap() {
  if (!view_)
    return;
  int err = 0;
  lfmPlatform::Current()->FlushView(view_, window_, false, &err);
  lfmPlatform::Current()->UnmapView(view_, window_, &err);
  view_ = nullptr;
}

bool lfmMemMapFile::FindDataEnd(uint64_t size, uint64_t* dataEnd) {
  *dataEnd = 0;
  uint64_t g = Granularity();
  uint64_t limit = RoundUp(size < maxSize_ ? size : maxSize_);
  lfmPlatform* platform = lfmPlatform::Current();
  for (uint64_t block = limit; block >= g; block -= g) {
    uint64_t start = block - g;
    if (start >= size)
      continue;  // wholly past the end of the file: nothing there
    // Only what the file holds is mapped: Windows refuses a view that
    // reaches past the end of the file (the last block is partial whenever
    // the size is not a multiple of 64 KiB).
    size_t length = static_cast<size_t>(size - start < g ? size - start : g);
    int err = 0;
    void* view = platform->MapView(handle_, start, length, &err);
    if (!view)
      return false;
    const char* bytes = static_cast<const char*>(view);
    uint64_t end = 0;
    bool found = false;
    if (bytes[length - 1] != 0) {
      end = start + length;
      found = true;
    } else if (bytes[0] != 0) {
      const void* zero = std::memchr(bytes, 0, length);
      end = start + static_cast<uint64_t>(static_cast<const char*>(zero) - bytes);
      found = true;
    }
    platform->UnmapView(view, length, &err);
    if (found) {
      *dataEnd = end;
      return true;
    }
  }
  return true;
}

void lfmMemMapFile::ThrowPassedEof() const {
  throw whException(className_, "Write()", kModule, __LINE__, whText::kIncorrectUsage,
                    ("Attempted to write to passed eof, file: " + name_).c_str());
}

void lfmMemMapFile::MappedWrite(const char* data, size_t n, size_t* done) {
  *done = 0;
  if (!open_)
    ThrowUsage("Write()", "Attempted to write to unopen file: " + name_);
  if (logicalSize_ + n > maxSize_)
    ThrowPassedEof();
  while (*done < n) {
    if (offsetInView_ >= window_) {
      Unmap();
      if (!MapWindow(logicalSize_))
        ThrowPassedEof();
      offsetInView_ = 0;
    }
    size_t room = window_ - offsetInView_;
    size_t part = n - *done < room ? n - *done : room;
    std::memcpy(view_ + offsetInView_, data + *done, part);
    offsetInView_ += static_cast<uint32_t>(part);
    logicalSize_ += part;
    *done += part;
  }
}

void lfmMemMapFile::DoWrite(const char* data, size_t n) {
  size_t done = 0;
  MappedWrite(data, n, &done);
}

void lfmMemMapFile::DoClose() {
  if (open_) {
    Unmap();
    int err = 0;
    // Shrink from the reserved maximum to exactly the data.
    lfmPlatform::Current()->Truncate(handle_, logicalSize_, &err);
    lfmPlatform::Current()->Close(handle_, &err);
  }
  DoReset();
}

lfmBufferedMMFile::lfmBufferedMMFile(uint32_t bufferSize, uint64_t maxSize)
    : lfmMemMapFile("lfmBufferedMMFile", maxSize) {
  ownedBuffer_ = &buffer_;
  lfmBufferedMMFile::DoSetBufferSize(bufferSize);
}

lfmBufferedMMFile::~lfmBufferedMMFile() {
  lfmScopedGuard guard(lock_);
  try {
    lfmBufferedMMFile::DoClose();
  } catch (const whException& e) {
    lfmExceptionController::ProcessException(
        e, whMethodId("lfmBufferedMMFile", "~lfmBufferedMMFile()"));
  }
}

void lfmBufferedMMFile::DoSetBufferSize(uint32_t size) {
  lfmMemMapFile::DoSetBufferSize(size);
  buffer_.SetSize(size < 1 ? 0 : bufferSize_);
}

bool lfmBufferedMMFile::DoOpen(const std::string& name, int flags, int permission, time_t time) {
  if (!lfmMemMapFile::DoOpen(name, flags, permission, time))
    return false;
  if (buffer_.Enabled())
    buffer_.Create(className_);
  return true;
}

void lfmBufferedMMFile::DoWrite(const char* data, size_t n) {
  lfmBuffering::Write(
      buffer_, className_, open_, name_, data, n,
      [this](const char* d, size_t len, size_t* done) { MappedWrite(d, len, done); });
}

void lfmBufferedMMFile::DoFlush() {
  if (!open_)
    return;
  buffer_.Drain([this](const char* d, size_t len, size_t* done) { MappedWrite(d, len, done); });
}

void lfmBufferedMMFile::DoBufferWrite(const char* data, size_t n) {
  lfmBuffering::BufferWrite(buffer_, className_, name_, Handle(), data, n);
}

void lfmBufferedMMFile::DoClose() {
  if (open_) {
    try {
      DoFlush();
    } catch (...) {
      lfmMemMapFile::DoClose();
      throw;
    }
  }
  lfmMemMapFile::DoClose();
}
