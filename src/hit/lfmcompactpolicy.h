#pragma once
// P3P compact policies: a hexadecimal identifier selects tokens of the P3P
// 1.0 compact-policy vocabulary (bit k of the identifier, read as one
// number, selects token k). Expansions of valid identifiers are cached for
// the life of the process, up to kCacheLimit identifiers; past the bound
// identifiers are still expanded, just not kept.
//
// Thread-safe: the token table is constant; the cache is guarded by one
// lock, held for each lookup or insert.

#include <cstddef>
#include <string>

class lfmCompactPolicy {
 public:
  static constexpr size_t kMaxIdentifierLength = 25;
  static constexpr size_t kCacheLimit = 4096;
  static constexpr size_t kTokenCount = 100;

  // Token `k` of the table (0..99), null past the end.
  static const char* Token(size_t k);

  // True with `*expansion` set when `id` is cached.
  static bool Lookup(const std::string& id, std::string* expansion);
  // Validates `id` and expands it into its tokens in table order, joined
  // by one blank. An empty identifier is invalid without a message; one
  // longer than 25 characters raises MESS_CP_ID_TOO_MANY_CHARS, one with a
  // non-hexadecimal character MESS_CP_ID_PARAM_INVALID.
  static bool Expand(const std::string& id, std::string* expansion);
  // Refuses a hit's identifier or policy reference that holds a character
  // that could split or rewrite a header (a control character or a double
  // quote): raises MESS_CP_ID_PARAM_INVALID with `*text`, and empties
  // `*text`. Every message of this class carries the hit's text as one safe
  // text (lfmDebugLog::LogValues), under the per-request limit.
  static void RejectUnsafe(std::string* text);
  // Caches an expansion (nothing when present or when the cache is full).
  static void Insert(const std::string& id, const std::string& expansion);
  // Lookup, else Expand and Insert: the expansion of `id`, false when it
  // is invalid.
  static bool Resolve(const std::string& id, std::string* expansion);

  static size_t CacheSize();
  // For tests only.
  static void ResetForTest();
};
