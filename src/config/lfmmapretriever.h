#pragma once
// Reads the configured list of log elements: which query parameter carries
// each element and whether a hit without it is discarded. Entries are
// returned as written; checking them is the element map's task.

#include <string>
#include <vector>

class zrConfig;

class lfmMapRetriever {
 public:
  // Sections "logelementmap0" .. are read up to, not including, this count.
  static constexpr int32_t kMaxElements = 50;

  struct Entry {
    std::string element;    // "logelement", e.g. KYR_URI
    std::string parameter;  // "parameter"
    bool required = false;  // "required"
  };

  // Appends one entry per section "logelementmap<i>", i = 0 .. logelementcount
  // - 1 (from section "logserver"); a missing section gives an entry with
  // empty names. Throws code 1028 when the count is not in 0..49, leaving
  // `out` untouched. Returns true when the list was read.
  static bool Get(const zrConfig& config, std::vector<Entry>& out);
};
