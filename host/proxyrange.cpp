#include "host/proxyrange.h"

#include <algorithm>

namespace kyrhost {
namespace {

// The address's bytes, an IPv4-mapped IPv6 address as its IPv4 bytes;
// `v4` tells which. Unused trailing bytes are zero.
std::array<uint8_t, 16> Bytes(const boost::asio::ip::address& a, bool* v4) {
  std::array<uint8_t, 16> out{};
  if (a.is_v6() && a.to_v6().is_v4_mapped()) {
    auto b = a.to_v6().to_v4().to_bytes();
    std::copy(b.begin(), b.end(), out.begin());
    *v4 = true;
  } else if (a.is_v4()) {
    auto b = a.to_v4().to_bytes();
    std::copy(b.begin(), b.end(), out.begin());
    *v4 = true;
  } else {
    auto b = a.to_v6().to_bytes();
    std::copy(b.begin(), b.end(), out.begin());
    *v4 = false;
  }
  return out;
}

}  // namespace

bool ProxyRange::Parse(const std::string& text, ProxyRange* out) {
  const size_t slash = text.find('/');
  boost::system::error_code ec;
  const boost::asio::ip::address a = boost::asio::ip::make_address(text.substr(0, slash), ec);
  if (ec)
    return false;
  ProxyRange r;
  r.bytes_ = Bytes(a, &r.v4_);
  const bool mapped = a.is_v6() && r.v4_;
  r.prefix_ = r.v4_ ? 32 : 128;
  if (slash != std::string::npos) {
    const std::string digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
      return false;
    unsigned prefix = static_cast<unsigned>(std::stoul(digits));
    // A mapped address's prefix counts the 96 bits of its IPv6 form.
    if (mapped) {
      if (prefix < 96 || prefix > 128)
        return false;
      prefix -= 96;
    }
    // No block may trust every address (any client could then name
    // itself in X-Forwarded-For), and an address with bits set past its
    // prefix is a typing error more often than a block.
    if (prefix == 0 || prefix > r.prefix_)
      return false;
    for (unsigned bit = prefix; bit < r.prefix_; ++bit) {
      if (r.bytes_[bit / 8] & (0x80u >> (bit % 8)))
        return false;
    }
    r.prefix_ = prefix;
  }
  *out = r;
  return true;
}

bool ProxyRange::Contains(const boost::asio::ip::address& address) const {
  bool v4 = false;
  const std::array<uint8_t, 16> b = Bytes(address, &v4);
  if (v4 != v4_)
    return false;
  const unsigned whole = prefix_ / 8;
  if (!std::equal(b.begin(), b.begin() + whole, bytes_.begin()))
    return false;
  const unsigned rest = prefix_ % 8;
  if (rest == 0)
    return true;
  const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return (b[whole] & mask) == (bytes_[whole] & mask);
}

}  // namespace kyrhost
