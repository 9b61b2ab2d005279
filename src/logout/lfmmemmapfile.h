#pragma once
// lfmMemMapFile: a log file written through a mapped view. While open the
// file is extended (with its blocks reserved) to the maximum size and
// records are copied into windows of at most 100 MiB; at close it shrinks to
// exactly its data. A reopened file appends after its last non-zero byte, so
// the data must never contain a zero byte (log text never does).
// lfmBufferedMMFile adds the write buffer.

#include <cstdint>

#include "logout/lfmbufferedfile.h"

class lfmMemMapFile : public lfmBaseFile {
 public:
  static constexpr uint32_t kDefaultWindow = 104857600;  // 100 MiB

  explicit lfmMemMapFile(uint64_t maxSize);
  ~lfmMemMapFile() override;

  // The operating system's allocation granularity, read once per process.
  static uint32_t Granularity();
  // `n` raised to the next multiple of the allocation granularity.
  static uint64_t RoundUp(uint64_t n);

 protected:
  explicit lfmMemMapFile(const char* className, uint64_t maxSize);

  uint64_t DoSize() const override { return logicalSize_; }
  void DoSetBufferSize(uint32_t size) override;
  void DoSetMaxSize(uint64_t size) override;
  void DoReset() override;
  bool DoOpen(const std::string& name, int flags, int permission, time_t time) override;
  void DoWrite(const char* data, size_t n) override;
  void DoWriteAhead(const char* data, size_t n) override { lfmMemMapFile::DoWrite(data, n); }
  void DoClose() override;

  // Copies `n` bytes into the view, moving the window on as it fills.
  // Throws 1010 "passed eof" when the record would pass the maximum size
  // (nothing copied) or the next window cannot be mapped; `*done` counts the
  // bytes copied before that.
  void MappedWrite(const char* data, size_t n, size_t* done);
  // Sets *dataEnd to the offset after the file's last data byte, scanning
  // granularity-sized blocks from the end; `size` is the file's length.
  // False when a block cannot be mapped (the data end is then unknown).
  bool FindDataEnd(uint64_t size, uint64_t* dataEnd);
  lfmFileHandle Handle() const { return handle_; }

 private:
  [[noreturn]] void ThrowPassedEof() const;
  bool MapWindow(uint64_t start);
  void Unmap();
  // Releases everything of a failed open; returns false.
  bool FailOpen();

  lfmFileHandle handle_ = kInvalidFileHandle;
  char* view_ = nullptr;
  uint64_t viewStart_ = 0;
  uint64_t logicalSize_ = 0;
  uint32_t offsetInView_ = 0;
  uint32_t window_ = 0;
};

class lfmBufferedMMFile : public lfmMemMapFile {
 public:
  lfmBufferedMMFile(uint32_t bufferSize, uint64_t maxSize);
  // Writes out the buffer and closes; a failure is reported, not thrown.
  ~lfmBufferedMMFile() override;

 protected:
  uint64_t DoSize() const override { return lfmMemMapFile::DoSize() + buffer_.Used(); }
  void DoSetBufferSize(uint32_t size) override;
  bool DoOpen(const std::string& name, int flags, int permission, time_t time) override;
  void DoWrite(const char* data, size_t n) override;
  bool DoBufferFull(size_t n) const override { return buffer_.Full(n); }
  void DoFlush() override;
  void DoBufferWrite(const char* data, size_t n) override;
  void DoClose() override;
  lfmWriteBuffer* Buffer() override { return &buffer_; }

 private:
  lfmWriteBuffer buffer_;
};
