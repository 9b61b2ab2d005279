#pragma once
// A trusted proxy as kyrhost is told of it: one address ("10.0.3.7",
// "2001:db8::5") or a block of them ("10.0.0.0/16", "2001:db8::/48"), as a
// managed load balancer connects from whichever of its subnet's addresses
// it has at the moment.

#include <boost/asio/ip/address.hpp>

#include <array>
#include <cstdint>
#include <string>

namespace kyrhost {

class ProxyRange {
 public:
  // Reads "ADDR" or "ADDR/PREFIX" (PREFIX 1 to 32 for IPv4, 1 to 128 for
  // IPv6, with no address bit set past it). An IPv4-mapped IPv6 address
  // ("::ffff:10.0.0.1") is read as the IPv4 address it stands for. False,
  // with `out` untouched, for anything else.
  static bool Parse(const std::string& text, ProxyRange* out);

  // Whether `address` is in the block. A peer's IPv4-mapped IPv6 address
  // (a dual-stack listener's IPv4 client) is matched as IPv4.
  bool Contains(const boost::asio::ip::address& address) const;

 private:
  bool v4_ = true;
  unsigned prefix_ = 32;
  std::array<uint8_t, 16> bytes_{};
};

}  // namespace kyrhost
