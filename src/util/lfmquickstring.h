#pragma once
// The string builder. lfmString owns a growable heap buffer; lfmQuickString
// writes into a buffer supplied by its caller and never allocates: an append
// that does not fit (text plus terminator) throws code 1000 and leaves the
// buffer as it was. The text is always terminated.

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

class lfmString {
 public:
  // Length argument meaning "up to the terminator" / index meaning "to the end".
  static constexpr int32_t kEnd = -1;
  // Longest text produced by one formatted assign or append.
  static constexpr size_t kFormatMax = 8191;

  lfmString();
  explicit lfmString(const char* text);
  lfmString(const lfmString& other);
  lfmString& operator=(const lfmString& other);
  virtual ~lfmString();

  // Makes room for `capacity` bytes (terminator included), keeping the text
  // when `keep` is set. Throws code 1000 when the size cannot be had.
  virtual void Resize(uint32_t capacity, bool keep);
  virtual void Assign(char c);
  virtual void Assign(const char* text);
  virtual void Assign(const lfmString& s);

  void Append(const lfmString& s);
  void Append(const char* text);
  // Appends `length` bytes; a length of 0 or kEnd appends nothing.
  void Append(const char* text, int32_t length);
  void Append(std::string_view text);
  void Append(char c);
  // Appends the number formatted as "%ld".
  void AppendNumber(long value);
  // Appends s[a..b] inclusive; b = kEnd or past the end means to its end;
  // nothing when a lies past b or past the end.
  void AppendRange(const lfmString& s, int32_t a, int32_t b);
  // Removes the last n characters (all when n is at least the length).
  void RemoveLast(uint32_t n);
  // Erases [a..b] inclusive; b = kEnd or b >= length - 1 keeps only the
  // first a characters; nothing when a > b.
  void Erase(int32_t a, int32_t b);
  // printf-style assign / append; the formatted text is cut to 8191 characters.
  void Format(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;
  void AppendFormat(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;
  // AppendFormat for a caller's argument list.
  void AppendVFormat(const char* format, va_list args);
  void Clear();

  const char* c_str() const {
    return text_;
  }
  uint32_t Length() const {
    return length_;
  }
  uint32_t Capacity() const {
    return capacity_;
  }
  bool Empty() const {
    return length_ == 0;
  }
  std::string_view View() const {
    return std::string_view(text_, length_);
  }
  char operator[](uint32_t i) const {
    return text_[i];
  }
  bool operator==(const lfmString& o) const {
    return View() == o.View();
  }
  bool operator!=(const lfmString& o) const {
    return !(*this == o);
  }

 protected:
  // For lfmQuickString: a caller's buffer, never owned.
  lfmString(char* buffer, uint32_t capacity);
  // Appends raw bytes after checking the room; the only writer of the text.
  void AppendBytes(const char* data, size_t n);
  // Replaces the text; checks the room first and tolerates `data` pointing
  // into the text itself.
  void AssignBytes(const char* data, size_t n);
  // True when `p` points into this string's buffer.
  bool Contains(const char* p) const;
  // Capacity for `needed` bytes plus the growth slack; throws code 1000 past
  // the 32-bit range.
  static uint32_t GrownCapacity(uint64_t needed);

  char* text_;
  uint32_t length_ = 0;
  uint32_t capacity_ = 0;
  bool owned_ = false;
};

class lfmQuickString : public lfmString {
 public:
  // Builds over `buffer` of `capacity` bytes; the buffer is emptied. A null
  // buffer or a capacity of 0 gives a string into which nothing fits.
  lfmQuickString(char* buffer, uint32_t capacity);
  lfmQuickString(const lfmQuickString&) = delete;
  lfmQuickString& operator=(const lfmQuickString&) = delete;
  using lfmString::Assign;

  // Always throws ("lfmQuickString", "Resize()", code 1000,
  // "Exceeded an internal buffer size").
  void Resize(uint32_t capacity, bool keep) override;
};
