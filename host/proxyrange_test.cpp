#include "host/proxyrange.h"

#include <gtest/gtest.h>

namespace kyrhost {
namespace {

boost::asio::ip::address Addr(const char* text) {
  return boost::asio::ip::make_address(text);
}

TEST(ProxyRangeTest, MatchesTheAddressesOfItsBlockOnly) {
  struct Case {
    const char* range;
    const char* address;
    bool in;
  } cases[] = {
      {"10.0.3.7", "10.0.3.7", true},
      {"10.0.3.7", "10.0.3.8", false},
      {"10.0.0.0/16", "10.0.255.255", true},
      {"10.0.0.0/16", "10.1.0.0", false},
      {"192.168.4.0/22", "192.168.7.255", true},
      {"192.168.4.0/22", "192.168.8.0", false},
      {"192.168.4.0/22", "192.168.3.255", false},
      {"172.16.0.0/31", "172.16.0.1", true},
      {"172.16.0.0/31", "172.16.0.2", false},
      {"128.0.0.0/1", "203.0.113.9", true},
      {"128.0.0.0/1", "2001:db8::1", false},        // an IPv4 block holds no IPv6 peer
      {"10.0.0.0/8", "::ffff:10.9.9.9", true},      // a dual-stack listener's IPv4 peer
      {"::ffff:10.0.0.0/104", "10.200.0.1", true},  // the mapped form of 10.0.0.0/8
      {"::ffff:10.0.0.0/104", "11.0.0.1", false},
      {"2001:db8::/48", "2001:db8:0:ffff::1", true},
      {"2001:db8::/48", "2001:db8:1::1", false},
      {"2001:db8::5", "2001:db8::5", true},
      {"2001:db8::/33", "2001:db8:7fff::1", true},
      {"2001:db8::/33", "2001:db8:8000::1", false},
      {"::/1", "10.0.0.1", false},  // nor an IPv6 block an IPv4 one
  };
  for (const Case& c : cases) {
    ProxyRange r;
    ASSERT_TRUE(ProxyRange::Parse(c.range, &r)) << c.range;
    EXPECT_EQ(r.Contains(Addr(c.address)), c.in) << c.range << " " << c.address;
  }
}

TEST(ProxyRangeTest, RefusesWhatIsNotAnAddressOrABlock) {
  for (const char* text :
       {"", "lb.example.com", "10.0.0.0/", "/8", "10.0.0.0/33", "10.0.0.0/-1", "10.0.0.0/8/8",
        "10.0.0.0/ 8", "10.0.0.0/0x8", "2001:db8::/129", "10.0.0.0/0008", "::ffff:10.0.0.0/95",
        "::ffff:10.0.0.0/129", "10.0.0.256",
        // every address, and bits set past the prefix (a typing error)
        "0.0.0.0/0", "::/0", "::ffff:0.0.0.0/96", "10.0.3.7/16", "172.16.0.1/31", "2001:db8::1/64",
        "::ffff:10.0.0.1/104"}) {
    ProxyRange r;
    EXPECT_FALSE(ProxyRange::Parse(text, &r)) << text;
  }
}

}  // namespace
}  // namespace kyrhost
