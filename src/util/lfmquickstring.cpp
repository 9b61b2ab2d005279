#include "util/lfmquickstring.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "util/whexception.h"

namespace {
const char kModule[] = "./src/util/lfmquickstring.cpp";
char g_empty[1] = {0};
// Growth slack added to every reallocation.
constexpr uint64_t kGrowth = 64;
}  // namespace

lfmString::lfmString() : text_(g_empty) {}

lfmString::lfmString(const char* text) : lfmString() {
  Append(text);
}

lfmString::lfmString(char* buffer, uint32_t capacity) : text_(g_empty) {
  if (buffer && capacity > 0) {
    text_ = buffer;
    capacity_ = capacity;
    text_[0] = '\0';
  }
}

lfmString::lfmString(const lfmString& other) : lfmString() {
  Append(other);
}

lfmString& lfmString::operator=(const lfmString& other) {
  if (this != &other)
    Assign(other);
  return *this;
}

lfmString::~lfmString() {
  if (owned_)
    std::free(text_);
}

void lfmString::Resize(uint32_t capacity, bool keep) {
  if (capacity == 0)
    capacity = 1;
  char* p = static_cast<char*>(std::malloc(capacity));
  if (!p) {
    throw whException("lfmString", "Resize()", kModule, __LINE__, 1000,
                      "Exceeded an internal buffer size");
  }
  uint32_t len = 0;
  if (keep) {
    len = length_ < capacity ? length_ : capacity - 1;
    std::memcpy(p, text_, len);
  }
  p[len] = '\0';
  if (owned_)
    std::free(text_);
  text_ = p;
  owned_ = true;
  capacity_ = capacity;
  length_ = len;
}

bool lfmString::Contains(const char* p) const {
  std::less<const char*> before;
  return capacity_ > 0 && !before(p, text_) && before(p, text_ + capacity_);
}

uint32_t lfmString::GrownCapacity(uint64_t needed) {
  uint64_t grown = needed + kGrowth;
  if (grown > UINT32_MAX) {
    throw whException("lfmString", "Resize()", kModule, __LINE__, 1000,
                      "Exceeded an internal buffer size");
  }
  return static_cast<uint32_t>(grown);
}

void lfmString::AppendBytes(const char* data, size_t n) {
  if (n == 0)
    return;
  uint64_t need = static_cast<uint64_t>(length_) + n + 1;
  if (need > capacity_) {
    if (Contains(data)) {  // our own text moves with the resize
      std::string copy(data, n);
      AppendBytes(copy.data(), n);
      return;
    }
    Resize(GrownCapacity(need), true);
  }
  std::memmove(text_ + length_, data, n);
  length_ += static_cast<uint32_t>(n);
  text_[length_] = '\0';
}

void lfmString::AssignBytes(const char* data, size_t n) {
  if (Contains(data)) {  // a part of our own text: it fits where it is
    std::memmove(text_, data, n);
  } else {
    // Make room before touching the text, so a failure leaves it unchanged.
    if (static_cast<uint64_t>(n) + 1 > capacity_)
      Resize(GrownCapacity(static_cast<uint64_t>(n) + 1), false);
    if (n > 0)
      std::memcpy(text_, data, n);
  }
  length_ = static_cast<uint32_t>(n);
  if (capacity_ > 0)
    text_[length_] = '\0';
}

void lfmString::Assign(char c) {
  AssignBytes(&c, 1);
}

void lfmString::Assign(const char* text) {
  AssignBytes(text ? text : "", text ? std::strlen(text) : 0);
}

void lfmString::Assign(const lfmString& s) {
  if (&s != this)
    AssignBytes(s.text_, s.length_);
}

void lfmString::Append(const lfmString& s) {
  AppendBytes(s.text_, s.length_);
}

void lfmString::Append(const char* text) {
  if (text)
    AppendBytes(text, std::strlen(text));
}

void lfmString::Append(const char* text, int32_t length) {
  if (!text || length == 0 || length == kEnd)
    return;
  if (length < 0)
    return;
  AppendBytes(text, static_cast<size_t>(length));
}

void lfmString::Append(std::string_view text) {
  AppendBytes(text.data(), text.size());
}

void lfmString::Append(char c) {
  AppendBytes(&c, 1);
}

void lfmString::AppendNumber(long value) {
  char buf[32];
  int n = std::snprintf(buf, sizeof buf, "%ld", value);
  AppendBytes(buf, static_cast<size_t>(n));
}

void lfmString::AppendRange(const lfmString& s, int32_t a, int32_t b) {
  if (a < 0 || static_cast<uint32_t>(a) >= s.length_)
    return;
  uint32_t last =
      (b < 0 || static_cast<uint32_t>(b) >= s.length_) ? s.length_ - 1 : static_cast<uint32_t>(b);
  if (static_cast<uint32_t>(a) > last)
    return;
  AppendBytes(s.text_ + a, last - static_cast<uint32_t>(a) + 1);
}

void lfmString::RemoveLast(uint32_t n) {
  if (capacity_ == 0)
    return;
  length_ = n >= length_ ? 0 : length_ - n;
  text_[length_] = '\0';
}

void lfmString::Erase(int32_t a, int32_t b) {
  if (a < 0 || capacity_ == 0)
    return;
  uint32_t ua = static_cast<uint32_t>(a);
  if (b != kEnd && (b < 0 || a > b))
    return;
  if (ua >= length_)
    return;
  if (b == kEnd || static_cast<uint32_t>(b) >= length_ - 1) {
    length_ = ua;
  } else {
    uint32_t ub = static_cast<uint32_t>(b);
    std::memmove(text_ + ua, text_ + ub + 1, length_ - ub - 1);
    length_ -= ub - ua + 1;
  }
  text_[length_] = '\0';
}

void lfmString::AppendVFormat(const char* format, va_list args) {
  char buf[kFormatMax + 1];
  int n = std::vsnprintf(buf, sizeof buf, format ? format : "", args);
  if (n < 0)
    return;
  size_t len = static_cast<size_t>(n) > kFormatMax ? kFormatMax : static_cast<size_t>(n);
  AppendBytes(buf, len);
}

void lfmString::Format(const char* format, ...) {
  if (!format) {
    Clear();
    return;
  }
  char buf[kFormatMax + 1];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n < 0)
    n = 0;
  size_t len = static_cast<size_t>(n) > kFormatMax ? kFormatMax : static_cast<size_t>(n);
  AssignBytes(buf, len);
}

void lfmString::AppendFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  AppendVFormat(format, args);
  va_end(args);
}

void lfmString::Clear() {
  length_ = 0;
  if (capacity_ > 0)
    text_[0] = '\0';
}

lfmQuickString::lfmQuickString(char* buffer, uint32_t capacity) : lfmString(buffer, capacity) {}

void lfmQuickString::Resize(uint32_t, bool) {
  throw whException("lfmQuickString", "Resize()", kModule, __LINE__, 1000,
                    "Exceeded an internal buffer size");
}
