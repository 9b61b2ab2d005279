#pragma once
// MD5 message digest (RFC 1321): 64-byte blocks, 16-byte digest. A plain
// value type without heap storage; one object digests one message.

#include <cstddef>
#include <cstdint>

class lfmMD5 {
 public:
  static constexpr size_t kDigestSize = 16;

  lfmMD5() { Init(); }

  // Starts a new message.
  void Init();
  // Adds `length` bytes of the message.
  void Update(const void* data, size_t length);
  // Pads the message and writes its digest. The object must be Init()ed
  // again before it digests another message.
  void Final(uint8_t digest[kDigestSize]);

 private:
  void Transform(const uint8_t* block);

  uint32_t state_[4];
  uint64_t length_;  // bytes digested so far
  uint8_t buffer_[64];
};
