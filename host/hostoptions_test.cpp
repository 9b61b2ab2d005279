#include "host/hostoptions.h"

#include <gtest/gtest.h>

namespace kyrhost {
namespace {

TEST(HostOptionsTest, ListenAddresses) {
  ListenAddress a;
  ASSERT_TRUE(ParseListenAddress("0.0.0.0:80", a));
  EXPECT_EQ(a.address, "0.0.0.0");
  EXPECT_EQ(a.port, 80);
  ASSERT_TRUE(ParseListenAddress("[::1]:0", a));
  EXPECT_EQ(a.address, "::1");
  EXPECT_EQ(a.port, 0);
  for (const char* bad : {"127.0.0.1", "127.0.0.1:", ":80", "127.0.0.1:65536", "::1:80", "[::1]80",
                          "[::1]:", "1.2.3.4:8x"})
    EXPECT_FALSE(ParseListenAddress(bad, a)) << bad;
}

TEST(HostOptionsTest, OptionsAndTheirRefusals) {
  HostOptions o;
  std::string error;
  ASSERT_TRUE(ParseOptions({"--listen", "127.0.0.1:9000", "--threads", "3", "--root", "r", "--www",
                            "w", "--filter", "f.so"},
                           o, error));
  EXPECT_EQ(o.server.listen.port, 9000);
  EXPECT_EQ(o.server.threads, 3);
  EXPECT_EQ(o.root, "r");
  EXPECT_EQ(o.www, "w");
  EXPECT_EQ(o.filter, "f.so");
  EXPECT_FALSE(o.server.tls);

  HostOptions tls;
  ASSERT_TRUE(ParseOptions(
      {"--tls-listen", "127.0.0.1:8443", "--tls-cert", "c.pem", "--tls-key", "k.pem"}, tls, error));
  EXPECT_TRUE(tls.server.tls);
  EXPECT_EQ(tls.server.tlsListen.port, 8443);

  const std::vector<std::vector<std::string>> bad = {{"--threads", "0"},
                                                     {"--threads", "x"},
                                                     {"--listen"},
                                                     {"--bogus", "1"},
                                                     {"--tls-listen", "1.2.3.4:1"},
                                                     {"--tls-cert", "c.pem"},
                                                     {"--listen", "nowhere"}};
  for (const auto& args : bad) {
    HostOptions o2;
    error.clear();
    EXPECT_FALSE(ParseOptions(args, o2, error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace kyrhost
