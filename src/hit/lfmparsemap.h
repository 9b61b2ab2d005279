#pragma once
// The parse map: one worker thread's table of the current hit's query
// parameters, keyed by the parameter names of the log element map. Names
// are compared without regard to ASCII letter case. The slots are created
// once (one per configured parameter name); a request only sets and clears
// values, so the per-request path does not allocate beyond growing a value.
// A query parsed by ParseQuery is copied once into the map's own text, and
// its values stay there as views, terminated and decoded in place.
//
// A map belongs to one thread and takes no lock.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util/lfmutility.h"

class lfmParseMap : public lfmParamTarget {
 public:
  // One slot for every name of `names` (duplicates share one slot).
  explicit lfmParseMap(const std::vector<std::string>& names);

  // Stores `value` under `name`. A name without a slot gets one when `add`
  // is set, else false. A slot already set keeps its first value unless
  // `overwrite` is set (false).
  bool Set(std::string_view name, std::string_view value, bool overwrite, bool add);
  // The stored value when the slot exists and is set; it stays valid until
  // the slot is set again or the map is reset.
  bool Find(std::string_view name, const char** value) const;
  bool Contains(std::string_view name) const;
  // Clears every set flag; the slots stay.
  void Reset();

  // Splits `query` at "&" and "=" as lfmUtility::ParseString does into the slots
  // that exist, first occurrence winning. The map copies the text once and
  // keeps the values in that copy; `query` need not outlive the call.
  void ParseQuery(const char* query);

  // lfmUtility::ParseString offers every pair here: a copy is stored only
  // when a slot exists, first occurrence wins.
  bool Offer(std::string_view name, std::string_view value) override;

  size_t SlotCount() const { return slots_.size(); }

  // Access by slot for the element map, which reads the same few
  // parameters on every hit: the slot of element `id`'s parameter `name`
  // (-1 when the map has none), looked up once per map and kept.
  int32_t SlotOf(int32_t id, const char* name) {
    if (id >= 0 && id < kIdSlots && idSlots_[id] != kUnknownSlot)
      return idSlots_[id];
    return FindSlotOf(id, name);
  }
  bool IsSet(int32_t slot) const { return slot >= 0 && slots_[slot].set; }
  const char* ValueAt(int32_t slot) const { return slots_[slot].value; }
  size_t LengthAt(int32_t slot) const { return slots_[slot].length; }
  // Percent-decodes a slot's value, once: a second call leaves it as it
  // is, so "%2541" becomes "%41" and stays so; ValueAt reads the decoded
  // text from then on. A "%00" is kept as it stands. The slot must be valid
  // and set.
  const char* DecodeAt(int32_t slot);
  // Keeps only the `length` bytes from `from` of a set slot's value (a part
  // of it), where they stand.
  void NarrowAt(int32_t slot, size_t from, size_t length);
  // Stores a value that is final: it is never decoded again.
  void SetDecodedAt(int32_t slot, std::string_view value);

  // The hash of `name`: its length and its first, middle and last
  // characters, case-folded. Every query parameter is looked up, so the
  // hash reads four bytes, not the name; the configured names differ there,
  // and equal hashes are told apart by the full comparison. Query parsing
  // never adds slots, so a hostile query cannot lengthen a chain.
  static uint32_t Hash(std::string_view name);

 private:
  static constexpr int32_t kIdSlots = 16;
  static constexpr int32_t kUnknownSlot = -2;

  struct Slot {
    std::string name;
    uint32_t hash = 0;
    // The value while set: a terminated view into `buffer_`, or else the
    // start of `owned`.
    char* value = nullptr;
    size_t length = 0;
    std::string owned;
    bool set = false;
    bool decoded = false;
    bool inText = false;  // `value` points into `buffer_`
    int32_t next = -1;    // next slot of the same bucket
  };
  int32_t Lookup(std::string_view name) const;
  // SlotOf's first lookup of an id (and every lookup of an id past kIdSlots).
  int32_t FindSlotOf(int32_t id, const char* name);
  // A power-of-two table indexed by the top bits of a multiplicative hash
  // of `h`: no division on the lookup of every query parameter.
  size_t Bucket(uint32_t h) const { return (h * 2654435769u) >> bucketShift_; }
  int32_t AddSlot(std::string_view name);
  // Stores the `length` bytes at `value`, in `buffer_`, under `name` as the
  // first occurrence (false when there is no slot or it is set already),
  // terminating them in place; `value` is unused when `length` is 0.
  bool Take(std::string_view name, char* value, size_t length);
  // Stores a copy of `value` in the slot's own text.
  static void Own(Slot& s, std::string_view value);

  // The text of the last ParseQuery, cut into terminated values in place,
  // in the first `capacity_` bytes; the decoded values at the same offsets
  // in the second. Kept from request to request.
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  bool textInUse_ = false;  // some set slot views `buffer_`

  std::vector<Slot> slots_;
  std::vector<int32_t> buckets_;
  uint32_t bucketShift_ = 27;
  int32_t idSlots_[kIdSlots];
};
