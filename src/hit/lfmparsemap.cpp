#include "hit/lfmparsemap.h"

namespace {

// Decodes "%XY" escapes in place, except an escape of NUL, which would end
// the text early; returns the new length.
size_t DecodeKeepingNul(std::string& text) {
  size_t out = 0;
  for (size_t i = 0; i < text.size();) {
    int hi = -1, lo = -1;
    if (text[i] == '%' && i + 2 < text.size() && (hi = lfmUtility::HexValue(text[i + 1])) >= 0 &&
        (lo = lfmUtility::HexValue(text[i + 2])) >= 0 && (hi | lo) != 0) {
      text[out++] = static_cast<char>((hi << 4) | lo);
      i += 3;
    } else {
      text[out++] = text[i++];
    }
  }
  text.resize(out);
  return out;
}

}  // namespace

lfmParseMap::lfmParseMap(const std::vector<std::string>& names) {
  size_t buckets = 17;
  while (buckets < names.size() * 2)
    buckets = buckets * 2 + 1;
  buckets_.assign(buckets, -1);
  slots_.reserve(names.size());
  for (const std::string& n : names)
    if (Lookup(n) < 0)
      AddSlot(n);
}

uint32_t lfmParseMap::Hash(std::string_view name) {
  uint32_t h = 0;
  for (char c : name)
    h = h * 5 + static_cast<unsigned char>(lfmUtility::FoldCase(c));
  return h;
}

int32_t lfmParseMap::Lookup(std::string_view name) const {
  for (int32_t i = buckets_[Hash(name) % buckets_.size()]; i >= 0; i = slots_[i].next)
    if (lfmUtility::EqualsNoCase(slots_[i].name, name))
      return i;
  return -1;
}

int32_t lfmParseMap::AddSlot(std::string_view name) {
  size_t b = Hash(name) % buckets_.size();
  Slot s;
  s.name.assign(name.data(), name.size());
  s.next = buckets_[b];
  slots_.push_back(std::move(s));
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
  s.value.assign(value.data(), value.size());
  s.set = true;
  s.decoded = false;
  return true;
}

bool lfmParseMap::SetDecoded(std::string_view name, std::string_view value) {
  if (!Set(name, value, true, false))
    return false;
  slots_[Lookup(name)].decoded = true;
  return true;
}

bool lfmParseMap::Find(std::string_view name, const char** value) const {
  int32_t i = Lookup(name);
  if (i < 0 || !slots_[i].set)
    return false;
  if (value)
    *value = slots_[i].value.c_str();
  return true;
}

bool lfmParseMap::Contains(std::string_view name) const {
  int32_t i = Lookup(name);
  return i >= 0 && slots_[i].set;
}

bool lfmParseMap::DecodeOnce(std::string_view name, const char** value) {
  int32_t i = Lookup(name);
  if (i < 0 || !slots_[i].set)
    return false;
  Slot& s = slots_[i];
  if (!s.decoded) {
    DecodeKeepingNul(s.value);
    s.decoded = true;
  }
  if (value)
    *value = s.value.c_str();
  return true;
}

void lfmParseMap::Reset() {
  for (Slot& s : slots_) {
    s.set = false;
    s.decoded = false;
  }
}
