#include "logout/lfmbufferedfile.h"

#include <cstring>

#include "diag/lfmexceptioncontroller.h"
#include "util/whexceptiontexts.h"

namespace {
const char kModule[] = "./src/logout/lfmbufferedfile.cpp";
}

void lfmWriteBuffer::SetSize(uint32_t size) {
  if (size < 1) {
    enabled_ = false;
    size_ = 0;
    return;
  }
  size_ = size;
  enabled_ = true;
}

void lfmWriteBuffer::Create(const char* className) {
  if (size_ < 1)
    throw whException(className, "CreateBuffer()", kModule, __LINE__, whText::kIncorrectUsage,
                      "The buffer size must be greater than 0. ");
  // Never smaller than what is held: buffered bytes are never cut.
  uint32_t capacity = used_ > size_ ? used_ : size_;
  if (capacity_ == capacity && data_)
    return;
  std::unique_ptr<char[]> block(new char[capacity]);
  if (used_)
    std::memcpy(block.get(), data_.get(), used_);
  data_ = std::move(block);
  capacity_ = capacity;
}

void lfmWriteBuffer::Clear() {
  used_ = 0;
}

void lfmWriteBuffer::Drain(const std::function<void(const char*, size_t, size_t*)>& write) {
  if (used_ == 0)
    return;
  size_t done = 0;
  try {
    write(data_.get(), used_, &done);
  } catch (...) {
    if (done > 0 && done < used_)
      std::memmove(data_.get(), data_.get() + done, used_ - done);
    used_ -= static_cast<uint32_t>(done < used_ ? done : used_);
    throw;
  }
  used_ = 0;
}

void lfmWriteBuffer::TakeFrom(lfmWriteBuffer& other, const char* className) {
  if (other.used_ == 0 || !enabled_ || used_ >= size_)
    return;
  Create(className);
  uint32_t room = size_ - used_;
  uint32_t n = other.used_ < room ? other.used_ : room;
  Append(other.data_.get(), n);
  std::memmove(other.data_.get(), other.data_.get() + n, other.used_ - n);
  other.used_ -= n;
}

void lfmWriteBuffer::Reserve(uint32_t capacity) {
  if (capacity_ >= capacity && data_)
    return;
  std::unique_ptr<char[]> block(new char[capacity]);
  if (used_)
    std::memcpy(block.get(), data_.get(), used_);
  data_ = std::move(block);
  capacity_ = capacity;
}

void lfmWriteBuffer::Detach(Block& out) {
  out.data = std::move(data_);
  out.capacity = capacity_;
  out.used = used_;
  data_ = std::move(spare_);
  capacity_ = data_ ? spareCapacity_ : 0;
  spareCapacity_ = 0;
  used_ = 0;
  Reserve(size_ > 0 ? size_ : 1);
}

void lfmWriteBuffer::Reattach(Block& block, size_t done) {
  uint32_t rest = done < block.used ? block.used - static_cast<uint32_t>(done) : 0;
  if (rest > 0) {
    // The unwritten bytes precede everything held since.
    Reserve(used_ + rest);
    std::memmove(data_.get() + rest, data_.get(), used_);
    std::memcpy(data_.get(), block.data.get() + done, rest);
    used_ += rest;
  }
  if (!spare_ || block.capacity > spareCapacity_) {
    spare_ = std::move(block.data);
    spareCapacity_ = block.capacity;
  }
  block = Block();
}

void lfmWriteBuffer::AppendGrowing(const char* data, size_t n) {
  if (n > capacity_ - used_ || !data_) {
    uint32_t need = used_ + static_cast<uint32_t>(n);
    Reserve(need > capacity_ * 2 ? need : capacity_ * 2);
  }
  Append(data, n);
}

void lfmBuffering::Write(lfmWriteBuffer& buffer, const char* className, bool open,
                         const std::string& name, const char* data, size_t n,
                         const std::function<void(const char*, size_t, size_t*)>& writeThrough) {
  if (!open)
    throw whException(className, "Write()", kModule, __LINE__, whText::kIncorrectUsage,
                      ("Attempted to write to unopen file: " + name).c_str());
  if (!buffer.Enabled()) {
    size_t done = 0;
    writeThrough(data, n, &done);
    return;
  }
  if (buffer.Full(n))
    buffer.Drain(writeThrough);
  if (n <= buffer.Size()) {
    buffer.Create(className);
    buffer.Append(data, n);
  } else {
    // Larger than the whole buffer: straight through, never dropped.
    size_t done = 0;
    writeThrough(data, n, &done);
  }
}

void lfmBuffering::BufferWrite(lfmWriteBuffer& buffer, const char* className,
                               const std::string& name, lfmFileHandle descriptor, const char* data,
                               size_t n) {
  if (!buffer.Enabled())
    throw whException(className, "BufferWrite()", kModule, __LINE__, whText::kIncorrectUsage,
                      "Attempted a buffered write when the object does not have a buffer.");
  if (buffer.Full(n))
    throw whException(className, "InternalBufferWrite()", kModule, __LINE__, whText::kWriteFile,
                      name.c_str(), descriptor,
                      "The attempted buffer write is too large for the internal buffer");
  buffer.Create(className);
  buffer.Append(data, n);
}

lfmBufferedFile::lfmBufferedFile(uint32_t bufferSize, uint64_t maxSize)
    : lfmBaseFile("lfmBufferedFile") {
  ownedBuffer_ = &buffer_;
  lfmBufferedFile::DoSetBufferSize(bufferSize);
  maxSize_ = maxSize;
}

lfmBufferedFile::~lfmBufferedFile() {
  WaitForWriteOut();
  lfmScopedGuard guard(lock_);
  try {
    lfmBufferedFile::DoClose();
  } catch (const whException& e) {
    lfmExceptionController::ProcessException(e,
                                             whMethodId("lfmBufferedFile", "~lfmBufferedFile()"));
  }
}

void lfmBufferedFile::DoSetBufferSize(uint32_t size) {
  bufferSize_ = size;
  buffer_.SetSize(size);
}

bool lfmBufferedFile::DoOpen(const std::string& name, int flags, int permission, time_t time) {
  if (!lfmBaseFile::DoOpen(name, flags, permission, time))
    return false;
  if (buffer_.Enabled())
    buffer_.Create(className_);
  return true;
}

void lfmBufferedFile::DoWrite(const char* data, size_t n) {
  if (WritingOut() && open_ && buffer_.Enabled()) {
    // A detached block is on its way to the file: nothing may overtake it.
    buffer_.AppendGrowing(data, n);
    return;
  }
  lfmBuffering::Write(buffer_, className_, open_, name_, data, n,
                      [this](const char* d, size_t len, size_t* done) { WriteAll(d, len, done); });
}

bool lfmBufferedFile::DoWriteDetaching(const char* data, size_t n, WriteOut* out) {
  if (WritingOut() || !open_ || !buffer_.Enabled() || !buffer_.Full(n) || buffer_.Used() == 0 ||
      n > buffer_.Size()) {
    DoWrite(data, n);
    return false;
  }
  buffer_.Detach(out->block);
  BeginWriteOut(out);
  buffer_.Append(data, n);
  return true;
}

void lfmBufferedFile::DoFlush() {
  if (!open_)
    return;
  buffer_.Drain([this](const char* d, size_t len, size_t* done) { WriteAll(d, len, done); });
}

void lfmBufferedFile::DoBufferWrite(const char* data, size_t n) {
  lfmBuffering::BufferWrite(buffer_, className_, name_, descriptor_, data, n);
}

void lfmBufferedFile::DoClose() {
  if (open_) {
    try {
      DoFlush();
    } catch (...) {
      // The bytes stay buffered for the next open; the handle is released.
      lfmBaseFile::DoClose();
      throw;
    }
  }
  lfmBaseFile::DoClose();
}
