#pragma once
// A one-shot message digest: bytes go in through Update(), the digest comes
// out once as 16 bytes or as 32 upper-case hexadecimal digits. It is the
// code of version-2 visitor cookies and the site map file's checksum.
// Open until Final() (or the first HexDigest()), finalized for ever after.
// One thread at a time; not copyable.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/lfmmd5.h"

class lfmMAC {
 public:
  static constexpr size_t kHexSize = 33;  // 32 digits and the terminator

  lfmMAC() = default;
  explicit lfmMAC(std::string_view text) { Update(text.data(), text.size()); }
  lfmMAC(const lfmMAC&) = delete;
  lfmMAC& operator=(const lfmMAC&) = delete;

  // Feed bytes. Throws whException 1018 once finalized.
  void Update(const void* data, size_t length);
  void Update(const char* text);
  void Update(const std::string& text) { Update(text.data(), text.size()); }

  // Finishes the digest. Throws whException 1018 when called twice.
  void Final();
  // The digest as 32 upper-case hexadecimal digits, finalizing first when
  // still open. Never throws; the text lives as long as the object.
  const char* HexDigest();

  const uint8_t* Digest() const { return digest_; }
  bool Finalized() const { return finalized_; }

 private:
  lfmMD5 context_;
  uint8_t digest_[lfmMD5::kDigestSize] = {};
  char hex_[kHexSize] = {};
  bool finalized_ = false;
};
