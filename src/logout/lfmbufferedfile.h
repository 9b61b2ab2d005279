#pragma once
// lfmBufferedFile: an lfmBaseFile that gathers records in memory and hands
// them to the system only when the buffer would overflow, at flush and at
// close. Through WriteDetaching a full buffer can instead be handed to the
// writer, who writes it out without the lock while others keep appending
// (on a spare block, until that is full too). lfmWriteBuffer is the buffer
// both buffered classes share.

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>

#include "logout/lfmbasefile.h"

// A write buffer. Not locked: its owner's lock covers it.
class lfmWriteBuffer {
 public:
  // Below 1: no buffering.
  void SetSize(uint32_t size);
  uint32_t Size() const { return size_; }
  bool Enabled() const { return enabled_; }
  uint32_t Used() const { return used_; }
  // True when `n` more bytes would not fit (always when buffering is off).
  bool Full(size_t n) const { return !enabled_ || used_ >= size_ || n > size_ - used_; }
  // True when `n` more bytes fit both the buffer size and the block as
  // allocated now, so that Append may take them without Create.
  bool Fits(size_t n) const { return !Full(n) && data_ && n <= capacity_ - used_; }
  // Allocates the block; throws 1010 "The buffer size must be greater than
  // 0. " for a size below 1. Bytes already held are kept.
  void Create(const char* className);
  void Clear();
  // Appends; the caller has made sure the bytes fit.
  void Append(const char* data, size_t n) {
    std::memcpy(data_.get() + used_, data, n);
    used_ += static_cast<uint32_t>(n);
  }
  // Hands the held bytes to `write` (which reports how many it wrote before
  // throwing). What was written leaves the buffer even when `write` throws;
  // the rest stays, in order, for the next attempt.
  void Drain(const std::function<void(const char*, size_t, size_t*)>& write);
  // Moves `other`'s held bytes behind this buffer's (creating the block when
  // needed); bytes that do not fit stay in `other`.
  void TakeFrom(lfmWriteBuffer& other, const char* className);

  using Block = lfmWriteBlock;
  // Moves the held bytes into `out` and leaves the buffer empty, on its
  // spare block (allocated on first use).
  void Detach(Block& out);
  // Settles a detached block of which `done` bytes reached the file: the
  // rest goes in front of the bytes held now, in order; the block becomes
  // the spare again.
  void Reattach(Block& block, size_t done);
  // Appends, growing the block past the buffer size when needed (used while
  // a detached block is being written: nothing may be written before it).
  void AppendGrowing(const char* data, size_t n);

 private:
  // Makes the block hold at least `capacity` bytes, keeping what it holds.
  void Reserve(uint32_t capacity);

  std::unique_ptr<char[]> data_;
  uint32_t size_ = 0;
  uint32_t capacity_ = 0;  // of data_
  uint32_t used_ = 0;
  bool enabled_ = false;
  std::unique_ptr<char[]> spare_;
  uint32_t spareCapacity_ = 0;
};

class lfmBufferedFile : public lfmBaseFile {
 public:
  lfmBufferedFile(uint32_t bufferSize, uint64_t maxSize);
  // Writes out the buffer and closes; a failure is reported, not thrown.
  ~lfmBufferedFile() override;

 protected:
  uint64_t DoSize() const override { return writtenSize_ + writeOutBytes_ + buffer_.Used(); }
  void DoSetBufferSize(uint32_t size) override;
  bool DoOpen(const std::string& name, int flags, int permission, time_t time) override;
  void DoWrite(const char* data, size_t n) override;
  bool DoWriteDetaching(const char* data, size_t n, WriteOut* out) override LFM_REQUIRES(lock_);
  bool DoFullDuringWriteOut(size_t n) const override LFM_REQUIRES(lock_) {
    return WritingOut() && open_ && buffer_.Enabled() && buffer_.Full(n) && n <= buffer_.Size();
  }
  bool DoBufferFull(size_t n) const override { return buffer_.Full(n); }
  void DoFlush() override;
  void DoBufferWrite(const char* data, size_t n) override;
  void DoClose() override;
  lfmWriteBuffer* Buffer() override { return &buffer_; }

 private:
  lfmWriteBuffer buffer_;
};

// The buffered operations shared by both buffered classes, over the
// owner's own unbuffered write (`writeThrough`). Callers hold the owner's lock.
namespace lfmBuffering {
// Not open: 1010. Buffer off: straight through. Otherwise the held bytes go
// out first when the record would overflow, then the record is buffered, or
// written straight through when it is larger than the whole buffer.
void Write(lfmWriteBuffer& buffer, const char* className, bool open, const std::string& name,
           const char* data, size_t n,
           const std::function<void(const char*, size_t, size_t*)>& writeThrough);
// Buffer off: 1010. Fits: appended. Otherwise 1030 and nothing appended.
void BufferWrite(lfmWriteBuffer& buffer, const char* className, const std::string& name,
                 lfmFileHandle descriptor, const char* data, size_t n);
}  // namespace lfmBuffering
