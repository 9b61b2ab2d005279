#include "util/lfmutility.h"

#include <cstring>

#include "util/lfmquickstring.h"
#include "util/whexceptiontexts.h"

namespace {
const char kModule[] = "./src/util/lfmutility.cpp";
using whText::kInvalidUsage;
}  // namespace

void lfmUtility::ParseString(const char* text, lfmParamTarget* target, lfmString* leftover,
                             char outer, char inner) {
  if (!text || !*text) {
    throw whException("lfmUtility", "ParseString", kModule, __LINE__, kInvalidUsage,
                      "String to parse is empty.");
  }
  if (outer == inner) {
    throw whException("lfmUtility", "ParseString", kModule, __LINE__, kInvalidUsage,
                      "Outer and Inner delimiter can not be the same string.");
  }
  bool firstLeftover = leftover == nullptr || leftover->Empty();
  ForEachPair(text, outer, inner,
              [&](std::string_view segment, std::string_view name, std::string_view value) {
                bool taken = target && target->Offer(name, value);
                if (!taken && leftover) {
                  if (!firstLeftover)
                    leftover->Append(outer);
                  leftover->Append(segment);
                  firstLeftover = false;
                }
              });
}

bool lfmUtility::TailMatch(const char* tail, int32_t tailLength, const char* text,
                           int32_t textLength) {
  if (!tail || !text)
    return false;
  size_t tl = tailLength < 0 ? std::strlen(tail) : static_cast<size_t>(tailLength);
  if (tl == 0) {
    throw whException("lfmUtility", "TailMatch", kModule, __LINE__, kInvalidUsage,
                      "The tail to be matched must not be a zero length string.");
  }
  size_t xl = textLength < 0 ? std::strlen(text) : static_cast<size_t>(textLength);
  if (tl > xl)
    return false;
  return std::memcmp(text + xl - tl, tail, tl) == 0;
}

bool lfmUtility::HasExtension(const char* text, const char* ext) {
  if (!text || !ext)
    return false;
  std::string_view t(text), e(ext);
  if (e.empty() || e.size() >= t.size() || !EndsWithNoCase(t, e))
    return false;
  return e[0] == '.' || t[t.size() - e.size() - 1] == '.';
}

size_t lfmUtility::AfterLastSeparator(std::string_view path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (IsSeparator(path[i - 1]))
      return i;
  }
  return 0;
}

size_t lfmUtility::PercentDecode(char* text) {
  if (!text)
    return 0;
  char* out = text;
  for (const char* p = text; *p;) {
    int hi, lo;
    if (p[0] == '%' && (hi = HexValue(p[1])) >= 0 && (lo = HexValue(p[2])) >= 0 && (hi | lo) != 0) {
      *out++ = static_cast<char>((hi << 4) | lo);
      p += 3;
    } else {
      *out++ = *p++;
    }
  }
  *out = '\0';
  return static_cast<size_t>(out - text);
}

void lfmUtility::ReplaceBlanks(char* text, char with) {
  if (!text)
    return;
  for (char* p = text; *p; ++p) {
    if (IsBlank(*p))
      *p = with;
  }
}

bool lfmUtility::HasNonBlank(std::string_view text) {
  for (char c : text) {
    if (!IsBlank(c))
      return true;
  }
  return false;
}

bool lfmUtility::HasBlankOrLineEnd(std::string_view text) {
  auto found = [](char c) { return IsBlank(c) || c == '\r' || c == '\n'; };
  // Most texts hold no byte below 0x21 at all: eight bytes at a time for
  // that, and bytes only in a word that has one.
  const char* p = text.data();
  size_t n = text.size();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (WordBytesBelow(w, 0x21) == 0)
      continue;
    for (size_t k = i; k < i + 8; ++k)
      if (found(p[k]))
        return true;
  }
  for (; i < n; ++i)
    if (found(p[i]))
      return true;
  return false;
}

bool lfmUtility::HasContent(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (IsBlank(c))
      continue;
    if (c == '%' && i + 2 < text.size() && text[i + 1] == '2' && text[i + 2] == '0') {
      i += 2;
      continue;
    }
    if (c == '%' && i + 2 < text.size() && text[i + 1] == '0' && text[i + 2] == '9') {
      i += 2;
      continue;
    }
    return true;
  }
  return false;
}

void lfmUtility::AppendForMessage(std::string& out, std::string_view value, size_t max) {
  static constexpr char kHex[] = "0123456789abcdef";
  const size_t taken = value.size() < max ? value.size() : max;
  out.reserve(out.size() + taken + 32);
  for (size_t i = 0; i < taken; ++i) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (taken < value.size()) {
    out += "...(";
    out += std::to_string(value.size() - taken);
    out += " more bytes)";
  }
}
