// Counts hits under KYR IDs taken from the input the way the request check
// takes them from a tag's path (forged ones included: the check code is
// public), flushes one to three intervals into a scratch directory and shuts
// the pool down, then reads every hit-count file back. Every line must be a
// whole record: the header first, then lines of eleven fields with no CR, LF
// or NUL inside one, entry numbers 1, 2, ... without gap, and summary and
// global counts that add up to the hits and requests counted.
//
// Input: byte 0 picks the number of flushes and whether IDs are forged;
// then one hit per line, its first byte an offset of the hit time, the rest
// the tag path's stem.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzzroot.h"
#include "hit/lfmrequest.h"
#include "hitcount/lfmhitcountcontrollerpool.h"
#include "sitemap/tssiteparams.h"
#include "tests/support/fakerequest.h"
#include "util/lfmutility.h"

namespace {

constexpr time_t kBase = 1100000000;  // a Tuesday in November 2004
constexpr size_t kMaxHits = 512;

// A per-process root whose configuration counts hits per KYR ID in the
// hosted model, without a bound on the keys, and rotates the file every
// second flush.
const std::string& ScratchDir() {
  return ScratchRoot("kyrfuzz-hitcount",
                     "[logserver]\nhostedmodel = true\ntrackhitcount = true\n"
                     "hitcountlogfiledir = %zr_root%/hc/\nhitcountrotatebyflush = true\n"
                     "hitcountflushesperrotation = 2\n"
                     // No bound on the per-site streams: the harness counts
                     // without writing log lines, so no stream is ever
                     // admitted by a write.
                     "maxlogstreams = 0\n",
                     {"hc"});
}

// Replaces the check code of a well-sized ID with the one its body gives, as
// anyone who read the algorithm can.
std::string Forge(std::string id) {
  if (id.size() != 30 && id.size() != 14)
    return id;
  const size_t bodyEnd = id.size() == 30 ? 25 : 9;
  const bool current = id.size() == 30 && id[0] != 'K';
  std::string body = id.substr(0, bodyEnd);
  if (current)
    for (char& c : body)
      c = lfmUtility::FoldCase(c);
  id.replace(bodyEnd + 1, 4, lfmRequest::CheckCode(body.data(), bodyEnd, current ? 'z' : 'Z'));
  return id;
}

std::vector<std::string> Fields(std::string_view line) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    size_t comma = line.find(',', start);
    fields.emplace_back(line.substr(start, comma - start));
    if (comma == std::string_view::npos)
      return fields;
    start = comma + 1;
  }
}

bool IsNumber(const std::string& s) {
  size_t i = !s.empty() && s[0] == '-' ? 1 : 0;
  return i < s.size() && std::all_of(s.begin() + static_cast<std::ptrdiff_t>(i), s.end(),
                                     [](char c) { return c >= '0' && c <= '9'; });
}

bool IsIdText(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  });
}

// Checks every file in the directory and removes it. Adds up the summary
// and global counts and collects the entry numbers.
void CheckFiles(const std::string& dir, uint64_t* summary, uint64_t* global,
                std::vector<uint64_t>* entries) {
  for (const auto& f : std::filesystem::directory_iterator(dir)) {
    const std::string name = f.path().filename().string();
    if (name.size() < 5 || name.compare(name.size() - 5, 5, ".hclf") != 0)
      __builtin_trap();  // a busy or foreign file left after the shut-down
    std::ifstream in(f.path(), std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    const std::string header = lfmHitCountControllerPool::kHeader;
    if (text.compare(0, header.size(), header) != 0)
      __builtin_trap();  // the header comes first
    if (text.back() != '\n')
      __builtin_trap();  // a torn last line
    size_t start = header.size();
    while (start < text.size()) {
      size_t end = text.find("\r\n", start);
      if (end == std::string::npos)
        __builtin_trap();  // a line without its CR LF
      std::string_view line(text.data() + start, end - start);
      start = end + 2;
      if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
        __builtin_trap();  // a raw line break or NUL inside a field
      const std::vector<std::string> fields = Fields(line);
      if (fields.size() != 11)
        __builtin_trap();  // a key or name that split or joined fields
      for (int i : {0, 1, 2, 4, 5, 9, 10})
        if (!IsNumber(fields[i]))
          __builtin_trap();
      if (fields[4] != fields[5] || fields[6] != "KYR" || !IsIdText(fields[3]) ||
          std::stoll(fields[9]) > std::stoll(fields[10]))
        __builtin_trap();
      entries->push_back(std::stoull(fields[0]));
      if (fields[3] == "0")
        *summary += std::stoull(fields[4]);
      else if (fields[3] == "1000000")
        *global += std::stoull(fields[4]);
    }
    std::filesystem::remove(f.path());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ScratchDir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  const int flushes = 1 + data[0] % 3;
  const bool forge = (data[0] & 4) != 0;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);

  lfmHitCountControllerPool::Initialize();
  uint64_t hits = 0, requests = 0;
  size_t counted = 0;
  int flushed = 0;
  const size_t perFlush = 1 + std::count(rest.begin(), rest.end(), '\n') / flushes;
  tsSiteParams site;
  while (!rest.empty() && counted < kMaxHits) {
    size_t end = rest.find('\n');
    std::string_view entry = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    ++counted;
    const time_t t = kBase + (entry.empty() ? 0 : static_cast<signed char>(entry[0])) * 601;
    if (!entry.empty())
      entry.remove_prefix(1);
    lfmHitCountControllerPool::CountRequest(t);
    ++requests;
    std::string id = lfmRequest::ExtractKyrId(std::string(entry).c_str());
    if (forge)
      id = Forge(id);
    std::string stored;
    if (lfmRequest::MatchKyrId(id, 1, &stored) == lfmRequest::kKyrIdOk) {
      FakeRequest r;
      r.Set("KYRId", stored);
      lfmHitCountControllerPool::CountHit(r, site, t);
      ++hits;
    }
    if (counted % perFlush == 0 && flushed + 1 < flushes) {
      lfmHitCountControllerPool::Flush(kBase + 3600 * (flushed + 1), kBase + 3600 * flushed);
      ++flushed;
    }
  }
  lfmHitCountControllerPool::Flush(kBase + 3600 * (flushed + 1), kBase + 3600 * flushed);
  lfmHitCountControllerPool::ShutDown();

  uint64_t summary = 0, global = 0;
  std::vector<uint64_t> entries;
  CheckFiles(lfmHitCountControllerPool::Directory(), &summary, &global, &entries);
  if (summary != hits || global != requests)
    __builtin_trap();  // a hit counted twice or lost
  std::sort(entries.begin(), entries.end());
  for (size_t i = 0; i < entries.size(); ++i)
    if (entries[i] != i + 1)
      __builtin_trap();  // entry numbers repeat or skip
  return 0;
}
