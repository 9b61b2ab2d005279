#include "hit/lfmcompactpolicy.h"

#include <cstdint>
#include <unordered_map>

#include "diag/lfmdebuglog.h"
#include "runtime/lfmmutex.h"
#include "util/lfmutility.h"

namespace {

// Group g owns tokens 32 * g .. 32 * g + 31; group 3 has four.
constexpr const char* kTokens[lfmCompactPolicy::kTokenCount] = {
    // group 0
    "ADM", "ADMa", "ADMi", "ADMo", "ALL", "BUS", "CAO", "CNT", "COM", "CON", "CONa", "CONi", "CONo",
    "COR", "CUR", "DEL", "DELa", "DELi", "DELo", "DEM", "DEV", "DEVa", "DEVi", "DEVo", "DSP", "FIN",
    "GOV", "HEA", "HIS", "HISa", "HISi", "HISo",
    // group 1
    "IDC", "IND", "INT", "IVA", "IVAa", "IVAi", "IVAo", "IVD", "IVDa", "IVDi", "IVDo", "LAW", "LEG",
    "LOC", "MON", "NAV", "NID", "NOI", "NON", "NOR", "ONL", "OTC", "OTI", "OTP", "OTPa", "OTPi",
    "OTPo", "OTR", "OTRa", "OTRi", "OTRo", "OUR",
    // group 2
    "PHY", "POL", "PRE", "PSA", "PSAa", "PSAi", "PSAo", "PSD", "PSDa", "PSDi", "PSDo", "PUB",
    "PUBa", "PUBi", "PUBo", "PUR", "SAM", "SAMa", "SAMi", "SAMo", "STA", "STP", "TAI", "TAIa",
    "TAIi", "TAIo", "TEL", "TELa", "TELi", "TELo", "TST", "UNI",
    // group 3
    "UNR", "UNRa", "UNRi", "UNRo"};

struct Cache {
  lfmMutex lock;
  std::unordered_map<std::string, std::string> entries LFM_GUARDED_BY(lock);
};

// Never destroyed: request threads may look up while the process ends.
Cache& TheCache() {
  static Cache* c = new Cache();
  return *c;
}

}  // namespace

const char* lfmCompactPolicy::Token(size_t k) {
  return k < kTokenCount ? kTokens[k] : nullptr;
}

bool lfmCompactPolicy::Lookup(const std::string& id, std::string* expansion) {
  Cache& c = TheCache();
  lfmScopedGuard guard(c.lock);
  auto it = c.entries.find(id);
  if (it == c.entries.end())
    return false;
  *expansion = it->second;
  return true;
}

bool lfmCompactPolicy::Expand(const std::string& id, std::string* expansion) {
  if (id.empty())
    return false;
  if (id.size() > kMaxIdentifierLength) {
    lfmDebugLog::Instance().LogValues(MESS_CP_ID_TOO_MANY_CHARS, {id});
    return false;
  }
  for (char c : id) {
    if (lfmUtility::HexValue(c) < 0) {
      lfmDebugLog::Instance().LogValues(MESS_CP_ID_PARAM_INVALID, {id});
      return false;
    }
  }
  // Chunks of 8 digits from the right: chunk j is the mask of group j.
  uint32_t masks[4] = {0, 0, 0, 0};
  size_t end = id.size();
  for (size_t group = 0; group < 4 && end > 0; ++group) {
    size_t begin = end > 8 ? end - 8 : 0;
    uint32_t mask = 0;
    for (size_t i = begin; i < end; ++i)
      mask = (mask << 4) | static_cast<uint32_t>(lfmUtility::HexValue(id[i]));
    masks[group] = mask;
    end = begin;
  }
  std::string out;
  for (size_t k = 0; k < kTokenCount; ++k) {
    if (masks[k / 32] & (uint32_t{1} << (k % 32))) {
      if (!out.empty())
        out += ' ';
      out += kTokens[k];
    }
  }
  *expansion = out;
  return true;
}

void lfmCompactPolicy::RejectUnsafe(std::string* text) {
  lfmDebugLog::Instance().LogValues(MESS_CP_ID_PARAM_INVALID, {*text});
  text->clear();
}

void lfmCompactPolicy::Insert(const std::string& id, const std::string& expansion) {
  Cache& c = TheCache();
  lfmScopedGuard guard(c.lock);
  if (c.entries.size() >= kCacheLimit)
    return;
  c.entries.emplace(id, expansion);
}

bool lfmCompactPolicy::Resolve(const std::string& id, std::string* expansion) {
  if (Lookup(id, expansion))
    return true;
  if (!Expand(id, expansion))
    return false;
  Insert(id, *expansion);
  return true;
}

size_t lfmCompactPolicy::CacheSize() {
  Cache& c = TheCache();
  lfmScopedGuard guard(c.lock);
  return c.entries.size();
}

void lfmCompactPolicy::ResetForTest() {
  Cache& c = TheCache();
  lfmScopedGuard guard(c.lock);
  c.entries.clear();
}
