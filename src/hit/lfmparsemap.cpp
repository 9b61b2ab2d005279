#include "hit/lfmparsemap.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the decoder reads the first byte of a word from its lowest bits");

namespace {

// Decodes "%XY" escapes of the `n` bytes at `from` into `to`, except an
// escape of NUL, which would end the text early; returns the decoded
// length. `to` has room for `n` bytes and does not overlap `from`; the first
// "%" is at `first`. One pass: the values are short and often hold several
// escapes.
size_t DecodeKeepingNul(const char* from, size_t n, size_t first, char* to) {
  std::memcpy(to, from, first);
  size_t i = first;
  size_t out = first;
  while (i < n) {
    if (from[i] == '%') {
      // Escapes often come in runs ("%2F%2F"): each is decoded here
      // without a look at the word.
      if (i + 2 < n) {
        int hi = lfmUtility::HexValue(from[i + 1]);
        int lo = lfmUtility::HexValue(from[i + 2]);
        // Both digits valid (neither -1), and not "%00".
        if ((hi | lo) > 0) {
          to[out++] = static_cast<char>((hi << 4) | lo);
          i += 3;
          continue;
        }
      }
      to[out++] = '%';  // no escape: the "%" stands
      ++i;
      continue;
    }
    if (n - i >= 8) {
      // Eight bytes at a time up to the next "%". The word is stored whole:
      // the output trails the input, so out + 8 <= i + 8 <= n, and the
      // bytes from the "%" on are written over.
      uint64_t w;
      std::memcpy(&w, from + i, 8);
      std::memcpy(to + out, &w, 8);
      uint64_t percents = lfmUtility::WordBytesEqual(w, '%');
      // The lowest flag marks the first "%" exactly (little-endian load);
      // it is not the first byte, which was tested above.
      size_t k = percents == 0 ? 8 : static_cast<size_t>(__builtin_ctzll(percents)) >> 3;
      out += k;
      i += k;
      continue;
    }
    to[out++] = from[i++];
  }
  return out;
}

// The names compared without regard to ASCII letter case; the usual query
// spells a name exactly as configured, so the exact test goes first.
bool SameName(const std::string& stored, std::string_view name) {
  size_t n = name.size();
  if (stored.size() != n)
    return false;
  const char* a = stored.data();
  const char* b = name.data();
  bool same;
  if (n >= 4 && n <= 8) {
    // Names are short: two overlapping four-byte words, no call.
    uint32_t a0, a1, b0, b1;
    std::memcpy(&a0, a, 4);
    std::memcpy(&b0, b, 4);
    std::memcpy(&a1, a + n - 4, 4);
    std::memcpy(&b1, b + n - 4, 4);
    same = a0 == b0 && a1 == b1;
  } else {
    same = std::memcmp(a, b, n) == 0;
  }
  return same || lfmUtility::EqualsNoCase(stored, name);
}

}  // namespace

lfmParseMap::lfmParseMap(const std::vector<std::string>& names) {
  for (int32_t& slot : idSlots_)
    slot = kUnknownSlot;
  uint32_t bits = 5;
  while ((size_t{1} << bits) < names.size() * 2 && bits < 24)
    ++bits;
  bucketShift_ = 32 - bits;
  buckets_.assign(size_t{1} << bits, -1);
  slots_.reserve(names.size());
  for (const std::string& n : names)
    if (Lookup(n) < 0)
      AddSlot(n);
}

uint32_t lfmParseMap::Hash(std::string_view name) {
  size_t n = name.size();
  if (n == 0)
    return 0;
  auto folded = [](char c) {
    return static_cast<uint32_t>(static_cast<unsigned char>(lfmUtility::FoldCase(c)));
  };
  return (static_cast<uint32_t>(n) << 24) ^ (folded(name[0]) << 16) ^ (folded(name[n / 2]) << 8) ^
         folded(name[n - 1]);
}

int32_t lfmParseMap::Lookup(std::string_view name) const {
  uint32_t h = Hash(name);
  for (int32_t i = buckets_[Bucket(h)]; i >= 0; i = slots_[i].next)
    if (slots_[i].hash == h && SameName(slots_[i].name, name))
      return i;
  return -1;
}

int32_t lfmParseMap::FindSlotOf(int32_t id, const char* name) {
  if (id < 0 || id >= kIdSlots)
    return name ? Lookup(name) : -1;
  if (idSlots_[id] == kUnknownSlot)
    idSlots_[id] = name ? Lookup(name) : -1;
  return idSlots_[id];
}

const char* lfmParseMap::DecodeAt(int32_t slot) {
  Slot& s = slots_[slot];
  if (s.decoded)
    return s.value;
  s.decoded = true;
  const void* percent = std::memchr(s.value, '%', s.length);
  if (!percent)
    return s.value;
  const size_t first = static_cast<size_t>(static_cast<const char*>(percent) - s.value);
  if (s.inText) {
    // Into the decoding half of the buffer, at the value's own offset: the
    // decoded text is never longer, so values never meet there.
    char* to = buffer_.get() + capacity_ + (s.value - buffer_.get());
    s.length = DecodeKeepingNul(s.value, s.length, first, to);
    s.value = to;
  } else {
    std::string decoded(s.length, '\0');
    decoded.resize(DecodeKeepingNul(s.value, s.length, first, &decoded[0]));
    s.owned.swap(decoded);
    s.value = &s.owned[0];
    s.length = s.owned.size();
  }
  s.value[s.length] = '\0';
  return s.value;
}

void lfmParseMap::NarrowAt(int32_t slot, size_t from, size_t length) {
  Slot& s = slots_[slot];
  if (from > s.length)
    from = s.length;
  if (length > s.length - from)
    length = s.length - from;
  if (length == s.length)
    return;
  if (!s.inText) {
    Own(s, std::string_view(s.value + from, length));
    return;
  }
  s.value += from;
  s.length = length;
  s.value[length] = '\0';
}

void lfmParseMap::Own(Slot& s, std::string_view value) {
  s.owned.assign(value.data(), value.size());
  s.value = &s.owned[0];
  s.length = s.owned.size();
  s.inText = false;
}

void lfmParseMap::SetDecodedAt(int32_t slot, std::string_view value) {
  Slot& s = slots_[slot];
  Own(s, value);
  s.set = true;
  s.decoded = true;
}

int32_t lfmParseMap::AddSlot(std::string_view name) {
  uint32_t h = Hash(name);
  size_t b = Bucket(h);
  Slot s;
  s.name.assign(name.data(), name.size());
  s.hash = h;
  s.next = buckets_[b];
  const bool moves = slots_.size() == slots_.capacity();
  slots_.push_back(std::move(s));
  // A value in a slot's own text moved with its slot (a short text lives
  // inside the string object).
  if (moves)
    for (Slot& slot : slots_)
      if (!slot.inText && slot.value)
        slot.value = &slot.owned[0];
  buckets_[b] = static_cast<int32_t>(slots_.size() - 1);
  return buckets_[b];
}

bool lfmParseMap::Set(std::string_view name, std::string_view value, bool overwrite, bool add) {
  int32_t i = Lookup(name);
  if (i < 0) {
    if (!add)
      return false;
    i = AddSlot(name);
  }
  Slot& s = slots_[i];
  if (s.set && !overwrite)
    return false;
  Own(s, value);
  s.set = true;
  s.decoded = false;
  return true;
}

bool lfmParseMap::Offer(std::string_view name, std::string_view value) {
  return Set(name, value, false, false);
}

bool lfmParseMap::Take(std::string_view name, char* value, size_t length) {
  int32_t i = Lookup(name);
  if (i < 0)
    return false;
  Slot& s = slots_[i];
  if (s.set)
    return false;
  if (length == 0) {
    Own(s, std::string_view());
  } else {
    value[length] = '\0';
    s.value = value;
    s.length = length;
    s.inText = true;
    textInUse_ = true;
  }
  s.set = true;
  s.decoded = false;
  return true;
}

void lfmParseMap::ParseQuery(const char* query) {
  // Values still viewing the text of an earlier query move out of it first.
  if (textInUse_)
    for (Slot& s : slots_)
      if (s.set && s.inText)
        Own(s, std::string_view(s.value, s.length));
  textInUse_ = false;
  size_t n = query ? std::strlen(query) : 0;
  if (n == 0)
    return;
  if (n + 1 > capacity_) {
    size_t capacity = std::max(n + 1, size_t{4096});
    buffer_.reset(new char[2 * capacity]);
    capacity_ = capacity;
  }
  char* text = buffer_.get();
  std::memcpy(text, query, n + 1);
  // The byte after a value taken becomes its terminator: it is the "&"
  // the splitter has passed, or part of a value cut to its longest.
  lfmUtility::ForEachPair(
      std::string_view(text, n), '&', '=',
      [this, text](std::string_view, std::string_view name, std::string_view value) {
        // An empty value may have no place in the text.
        char* at = value.empty() ? nullptr : text + (value.data() - text);
        Take(name, at, value.size());
      });
}

bool lfmParseMap::Find(std::string_view name, const char** value) const {
  int32_t i = Lookup(name);
  if (i < 0 || !slots_[i].set)
    return false;
  if (value)
    *value = slots_[i].value;
  return true;
}

bool lfmParseMap::Contains(std::string_view name) const {
  int32_t i = Lookup(name);
  return i >= 0 && slots_[i].set;
}

void lfmParseMap::Reset() {
  // Every way of setting a slot sets its decoded flag too.
  for (Slot& s : slots_)
    s.set = false;
  textInUse_ = false;
}
