#pragma once
// Query-string splitting and character-level helpers on 8-bit text.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

class lfmString;

// What ParseString offers its pairs to (the parse map, a cookie table, ...).
class lfmParamTarget {
 public:
  virtual ~lfmParamTarget() = default;
  // Offers one name/value pair; returns true when the target took it.
  virtual bool Offer(std::string_view name, std::string_view value) = 0;
};

// The value of every byte as a hexadecimal digit, -1 for none.
struct lfmHexDigits {
  int8_t value[256];
  constexpr lfmHexDigits() : value() {
    for (int c = 0; c < 256; ++c)
      value[c] = static_cast<int8_t>(c >= '0' && c <= '9'   ? c - '0'
                                     : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                     : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                            : -1);
  }
  static const lfmHexDigits kTable;
};
inline constexpr lfmHexDigits lfmHexDigits::kTable{};

class lfmUtility {
 public:
  // Longest name or value that ParseString passes on; longer ones are cut.
  static constexpr size_t kMaxPartLength = 4095;

  // Splits `text` at `outer` into segments and each segment at its first
  // `inner` into a name (blanks and tabs around it stripped) and a value
  // (unchanged); a segment without `inner` is a name with an empty value.
  // Each pair goes to `target`; every non-empty segment the target does not
  // take is appended unchanged to `leftover` (if given), joined by `outer`.
  // Throws code 1010 for an absent or empty text and for equal delimiters.
  static void ParseString(const char* text, lfmParamTarget* target, lfmString* leftover, char outer,
                          char inner);
  // The splitting of ParseString without its checks: `take(segment, name,
  // value)` for every non-empty segment, name and value cut to
  // kMaxPartLength; the views point into `text`. Inline: the hit path
  // splits every tag query through here.
  template <typename Take>
  static void ForEachPair(std::string_view text, char outer, char inner, Take take) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
      const char* stop = static_cast<const char*>(std::memchr(p, outer, size_t(end - p)));
      const char* segmentEnd = stop ? stop : end;
      if (segmentEnd > p) {
        const char* eq = static_cast<const char*>(std::memchr(p, inner, size_t(segmentEnd - p)));
        const char* nameStart = p;
        const char* nameEnd = eq ? eq : segmentEnd;
        while (nameStart < nameEnd && IsBlank(*nameStart))
          ++nameStart;
        while (nameEnd > nameStart && IsBlank(nameEnd[-1]))
          --nameEnd;
        std::string_view name(nameStart, std::min(size_t(nameEnd - nameStart), kMaxPartLength));
        std::string_view value =
            eq ? std::string_view(eq + 1, std::min(size_t(segmentEnd - eq - 1), kMaxPartLength))
               : std::string_view();
        take(std::string_view(p, size_t(segmentEnd - p)), name, value);
      }
      if (!stop)
        break;
      p = stop + 1;
    }
  }

  // True when `text` ends with `tail`, byte for byte. Lengths of -1 mean "up
  // to the terminator". False when either is null or the tail is longer;
  // throws code 1010 for an empty tail.
  static bool TailMatch(const char* tail, int32_t tailLength, const char* text, int32_t textLength);

  // True when `ext` is shorter than `text`, `text` ends with it (ASCII case
  // ignored), and `ext` starts with "." or is preceded by "." in `text`.
  static bool HasExtension(const char* text, const char* ext);

  static bool IsSeparator(char c) { return c == '/' || c == '\\'; }
  static bool EndsWithSeparator(std::string_view text) {
    return !text.empty() && IsSeparator(text.back());
  }
  static bool BeginsWithSeparator(std::string_view text) {
    return !text.empty() && IsSeparator(text.front());
  }
  // Index just after the last separator (0 when there is none).
  static size_t AfterLastSeparator(std::string_view path);

  // Percent-decodes in place: "%" and two hex digits become that byte;
  // everything else stays, "+" included, and so does "%00" (a NUL would cut
  // the text). Returns the new length.
  static size_t PercentDecode(char* text);

  // Tests of eight bytes at once (a word loaded with memcpy). Each is zero
  // exactly when no byte qualifies; otherwise the lowest qualifying byte
  // has its high bit set (higher ones may be flagged falsely).
  static constexpr uint64_t kWordOnes = 0x0101010101010101ULL;
  static constexpr uint64_t kWordHighs = 0x8080808080808080ULL;
  // Bytes below `n`, for `n` at most 0x80.
  static uint64_t WordBytesBelow(uint64_t w, unsigned n) {
    return (w - kWordOnes * n) & ~w & kWordHighs;
  }
  static uint64_t WordBytesEqual(uint64_t w, unsigned char c) {
    return WordBytesBelow(w ^ (kWordOnes * c), 1);
  }

  static bool IsBlank(char c) { return c == ' ' || c == '\t'; }
  // First index at or after `from` that is not a blank (the length if none).
  static size_t FirstNonBlank(std::string_view text, size_t from = 0) {
    size_t i = from;
    while (i < text.size() && IsBlank(text[i]))
      ++i;
    return i < text.size() ? i : text.size();
  }
  // Index after the last non-blank before `before` (0 if none).
  static size_t AfterLastNonBlank(std::string_view text, size_t before) {
    size_t i = before < text.size() ? before : text.size();
    while (i > 0 && IsBlank(text[i - 1]))
      --i;
    return i;
  }
  // Replaces every blank of a terminated text by `with`.
  static void ReplaceBlanks(char* text, char with);
  static bool HasNonBlank(std::string_view text);
  // True when the text holds a blank, a carriage return or a line feed.
  static bool HasBlankOrLineEnd(std::string_view text);
  // True when the text holds anything but blanks; an encoded blank or tab
  // ("%20", "%09") counts as blank, any other "%" as content.
  static bool HasContent(std::string_view text);

  // ASCII letter case folding, independent of the C locale.
  static char FoldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  static bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
      return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (FoldCase(a[i]) != FoldCase(b[i]))
        return false;
    return true;
  }
  static bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
  }
  static bool EndsWithNoCase(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && EqualsNoCase(text.substr(text.size() - tail.size()), tail);
  }

  // Longest piece of one value that goes into an operator message.
  static constexpr size_t kMaxMessageValue = 1024;
  // Appends `value` to `out` as one safe text for an operator message (the
  // audit file and the system log): a byte below 0x20 or 0x7F becomes "\x"
  // and two lower-case hexadecimal digits ("\x0d"), a backslash "\\", so
  // that no value can start a line or write a terminal escape, and the text
  // reads back unambiguously. At most `max` bytes of `value` are taken; the
  // rest is counted as "...(N more bytes)". Throws nothing but bad_alloc.
  static void AppendForMessage(std::string& out, std::string_view value,
                               size_t max = kMaxMessageValue);
  static std::string ForMessage(std::string_view value, size_t max = kMaxMessageValue) {
    std::string out;
    AppendForMessage(out, value, max);
    return out;
  }

  // Appends `c` percent-encoded: "%" and two upper-case hexadecimal digits.
  static void AppendPercentByte(std::string& out, unsigned char c) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
  }

  // Value of a hexadecimal digit, -1 for other characters. A table: query
  // decoding reads two digits per escape on every hit.
  static int HexValue(char c) { return lfmHexDigits::kTable.value[static_cast<unsigned char>(c)]; }

  // Reads `text` when it is an optional "-" and one to nine decimal digits,
  // nothing else: the common case of a stored number, read without a copy
  // and strtol (whose result it equals). False, `*value` untouched, for any
  // other text, which callers hand to their full parser.
  static bool ReadShortDecimal(std::string_view text, long* value) {
    const bool minus = !text.empty() && text[0] == '-';
    const std::string_view digits = text.substr(minus ? 1 : 0);
    if (digits.empty() || digits.size() > 9)
      return false;
    long v = 0;
    for (char c : digits) {
      if (c < '0' || c > '9')
        return false;
      v = v * 10 + (c - '0');
    }
    *value = minus ? -v : v;
    return true;
  }

  // Writes `v` in decimal with at least `digits` digits (zero-padded; a
  // sign before them) at `out`, which has room for 22 characters; returns
  // the length. "%.*lld" without the format parsing.
  static size_t FormatDecimal(char* out, long long v, int digits = 1) {
    char text[24];
    char* end = text + sizeof text;
    char* p = end;
    unsigned long long u =
        v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    do {
      *--p = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u != 0);
    while (end - p < digits && p > text + 1)
      *--p = '0';
    if (v < 0)
      *--p = '-';
    size_t n = static_cast<size_t>(end - p);
    std::memcpy(out, p, n);
    return n;
  }
};
