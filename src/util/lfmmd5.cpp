#include "util/lfmmd5.h"

#include <cstring>

namespace {

inline uint32_t Rotl(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

inline uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void Store32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// The four rounds' auxiliary functions, in the forms that need the fewest
// operations.
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) {
  return z ^ (x & (y ^ z));
}
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) {
  return y ^ (z & (x ^ y));
}
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) {
  return x ^ y ^ z;
}
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) {
  return y ^ (x | ~z);
}

#define LFM_MD5_STEP(f, a, b, c, d, x, s, t) \
  do {                                       \
    (a) += f((b), (c), (d)) + (x) + (t);     \
    (a) = Rotl((a), (s)) + (b);              \
  } while (0)

}  // namespace

void lfmMD5::Init() {
  state_[0] = 0x67452301u;
  state_[1] = 0xefcdab89u;
  state_[2] = 0x98badcfeu;
  state_[3] = 0x10325476u;
  length_ = 0;
}

void lfmMD5::Update(const void* data, size_t length) {
  if (length == 0)
    return;  // `data` may then be null
  const uint8_t* in = static_cast<const uint8_t*>(data);
  size_t used = static_cast<size_t>(length_ & 63);
  length_ += length;
  if (used) {
    size_t take = 64 - used;
    if (length < take) {
      std::memcpy(buffer_ + used, in, length);
      return;
    }
    std::memcpy(buffer_ + used, in, take);
    Transform(buffer_);
    in += take;
    length -= take;
  }
  while (length >= 64) {
    Transform(in);
    in += 64;
    length -= 64;
  }
  if (length)
    std::memcpy(buffer_, in, length);
}

void lfmMD5::Final(uint8_t digest[kDigestSize]) {
  uint64_t bits = length_ * 8;
  size_t used = static_cast<size_t>(length_ & 63);
  buffer_[used++] = 0x80;
  if (used > 56) {
    std::memset(buffer_ + used, 0, 64 - used);
    Transform(buffer_);
    used = 0;
  }
  std::memset(buffer_ + used, 0, 56 - used);
  for (int i = 0; i < 8; ++i)
    buffer_[56 + i] = static_cast<uint8_t>(bits >> (8 * i));
  Transform(buffer_);
  for (int i = 0; i < 4; ++i)
    Store32(digest + 4 * i, state_[i]);
}

void lfmMD5::Transform(const uint8_t* block) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i)
    x[i] = Load32(block + 4 * i);
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];

  LFM_MD5_STEP(F, a, b, c, d, x[0], 7, 0xd76aa478u);
  LFM_MD5_STEP(F, d, a, b, c, x[1], 12, 0xe8c7b756u);
  LFM_MD5_STEP(F, c, d, a, b, x[2], 17, 0x242070dbu);
  LFM_MD5_STEP(F, b, c, d, a, x[3], 22, 0xc1bdceeeu);
  LFM_MD5_STEP(F, a, b, c, d, x[4], 7, 0xf57c0fafu);
  LFM_MD5_STEP(F, d, a, b, c, x[5], 12, 0x4787c62au);
  LFM_MD5_STEP(F, c, d, a, b, x[6], 17, 0xa8304613u);
  LFM_MD5_STEP(F, b, c, d, a, x[7], 22, 0xfd469501u);
  LFM_MD5_STEP(F, a, b, c, d, x[8], 7, 0x698098d8u);
  LFM_MD5_STEP(F, d, a, b, c, x[9], 12, 0x8b44f7afu);
  LFM_MD5_STEP(F, c, d, a, b, x[10], 17, 0xffff5bb1u);
  LFM_MD5_STEP(F, b, c, d, a, x[11], 22, 0x895cd7beu);
  LFM_MD5_STEP(F, a, b, c, d, x[12], 7, 0x6b901122u);
  LFM_MD5_STEP(F, d, a, b, c, x[13], 12, 0xfd987193u);
  LFM_MD5_STEP(F, c, d, a, b, x[14], 17, 0xa679438eu);
  LFM_MD5_STEP(F, b, c, d, a, x[15], 22, 0x49b40821u);

  LFM_MD5_STEP(G, a, b, c, d, x[1], 5, 0xf61e2562u);
  LFM_MD5_STEP(G, d, a, b, c, x[6], 9, 0xc040b340u);
  LFM_MD5_STEP(G, c, d, a, b, x[11], 14, 0x265e5a51u);
  LFM_MD5_STEP(G, b, c, d, a, x[0], 20, 0xe9b6c7aau);
  LFM_MD5_STEP(G, a, b, c, d, x[5], 5, 0xd62f105du);
  LFM_MD5_STEP(G, d, a, b, c, x[10], 9, 0x02441453u);
  LFM_MD5_STEP(G, c, d, a, b, x[15], 14, 0xd8a1e681u);
  LFM_MD5_STEP(G, b, c, d, a, x[4], 20, 0xe7d3fbc8u);
  LFM_MD5_STEP(G, a, b, c, d, x[9], 5, 0x21e1cde6u);
  LFM_MD5_STEP(G, d, a, b, c, x[14], 9, 0xc33707d6u);
  LFM_MD5_STEP(G, c, d, a, b, x[3], 14, 0xf4d50d87u);
  LFM_MD5_STEP(G, b, c, d, a, x[8], 20, 0x455a14edu);
  LFM_MD5_STEP(G, a, b, c, d, x[13], 5, 0xa9e3e905u);
  LFM_MD5_STEP(G, d, a, b, c, x[2], 9, 0xfcefa3f8u);
  LFM_MD5_STEP(G, c, d, a, b, x[7], 14, 0x676f02d9u);
  LFM_MD5_STEP(G, b, c, d, a, x[12], 20, 0x8d2a4c8au);

  LFM_MD5_STEP(H, a, b, c, d, x[5], 4, 0xfffa3942u);
  LFM_MD5_STEP(H, d, a, b, c, x[8], 11, 0x8771f681u);
  LFM_MD5_STEP(H, c, d, a, b, x[11], 16, 0x6d9d6122u);
  LFM_MD5_STEP(H, b, c, d, a, x[14], 23, 0xfde5380cu);
  LFM_MD5_STEP(H, a, b, c, d, x[1], 4, 0xa4beea44u);
  LFM_MD5_STEP(H, d, a, b, c, x[4], 11, 0x4bdecfa9u);
  LFM_MD5_STEP(H, c, d, a, b, x[7], 16, 0xf6bb4b60u);
  LFM_MD5_STEP(H, b, c, d, a, x[10], 23, 0xbebfbc70u);
  LFM_MD5_STEP(H, a, b, c, d, x[13], 4, 0x289b7ec6u);
  LFM_MD5_STEP(H, d, a, b, c, x[0], 11, 0xeaa127fau);
  LFM_MD5_STEP(H, c, d, a, b, x[3], 16, 0xd4ef3085u);
  LFM_MD5_STEP(H, b, c, d, a, x[6], 23, 0x04881d05u);
  LFM_MD5_STEP(H, a, b, c, d, x[9], 4, 0xd9d4d039u);
  LFM_MD5_STEP(H, d, a, b, c, x[12], 11, 0xe6db99e5u);
  LFM_MD5_STEP(H, c, d, a, b, x[15], 16, 0x1fa27cf8u);
  LFM_MD5_STEP(H, b, c, d, a, x[2], 23, 0xc4ac5665u);

  LFM_MD5_STEP(I, a, b, c, d, x[0], 6, 0xf4292244u);
  LFM_MD5_STEP(I, d, a, b, c, x[7], 10, 0x432aff97u);
  LFM_MD5_STEP(I, c, d, a, b, x[14], 15, 0xab9423a7u);
  LFM_MD5_STEP(I, b, c, d, a, x[5], 21, 0xfc93a039u);
  LFM_MD5_STEP(I, a, b, c, d, x[12], 6, 0x655b59c3u);
  LFM_MD5_STEP(I, d, a, b, c, x[3], 10, 0x8f0ccc92u);
  LFM_MD5_STEP(I, c, d, a, b, x[10], 15, 0xffeff47du);
  LFM_MD5_STEP(I, b, c, d, a, x[1], 21, 0x85845dd1u);
  LFM_MD5_STEP(I, a, b, c, d, x[8], 6, 0x6fa87e4fu);
  LFM_MD5_STEP(I, d, a, b, c, x[15], 10, 0xfe2ce6e0u);
  LFM_MD5_STEP(I, c, d, a, b, x[6], 15, 0xa3014314u);
  LFM_MD5_STEP(I, b, c, d, a, x[13], 21, 0x4e0811a1u);
  LFM_MD5_STEP(I, a, b, c, d, x[4], 6, 0xf7537e82u);
  LFM_MD5_STEP(I, d, a, b, c, x[11], 10, 0xbd3af235u);
  LFM_MD5_STEP(I, c, d, a, b, x[2], 15, 0x2ad7d2bbu);
  LFM_MD5_STEP(I, b, c, d, a, x[9], 21, 0xeb86d391u);

  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}
