#include "host/hostoptions.h"

#include <gtest/gtest.h>

#include <functional>

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
  EXPECT_EQ(o.healthPath, "/healthz");
  EXPECT_FALSE(o.check);

  // --check takes the options of a start; "" turns the health path off.
  HostOptions check;
  ASSERT_TRUE(ParseOptions({"--root", "r", "--check", "--health-path", ""}, check, error));
  EXPECT_TRUE(check.check);
  EXPECT_EQ(check.root, "r");
  EXPECT_EQ(check.healthPath, "");

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
                                                     {"--listen", "nowhere"},
                                                     {"--health-path", "healthz"},
                                                     {"--health-path", "/h?x"},
                                                     {"--check", "--health-path"}};
  for (const auto& args : bad) {
    HostOptions o2;
    error.clear();
    EXPECT_FALSE(ParseOptions(args, o2, error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
}

// Each limit at both ends of its range, and just outside them.
TEST(HostOptionsTest, LimitsTakeTheirRangeAndNothingElse) {
  struct Range {
    std::string option;
    long low;
    long high;
    std::function<long(const HostOptions&)> read;
  };
  const Range ranges[] = {
      {"--threads", 1, 1024, [](const HostOptions& o) { return long{o.server.threads}; }},
      {"--max-connections", 0, 1000000,
       [](const HostOptions& o) { return long{o.server.maxConnections}; }},
      {"--max-connections-per-client", 0, 1000000,
       [](const HostOptions& o) { return long{o.server.maxClientConnections}; }},
      {"--request-timeout", 1, 3600,
       [](const HostOptions& o) { return static_cast<long>(o.server.requestTimeout.count()); }},
      {"--idle-timeout", 1, 86400,
       [](const HostOptions& o) { return static_cast<long>(o.server.idleTimeout.count()); }},
      {"--stop-timeout", 0, 3600,
       [](const HostOptions& o) { return static_cast<long>(o.server.stopTimeout.count()); }},
      {"--drain", 0, 3600, [](const HostOptions& o) { return static_cast<long>(o.drain.count()); }},
  };
  for (const Range& r : ranges) {
    for (long v : {r.low, r.high}) {
      HostOptions o;
      std::string error;
      ASSERT_TRUE(ParseOptions({r.option, std::to_string(v)}, o, error)) << r.option << " " << v;
      EXPECT_EQ(r.read(o), v) << r.option;
    }
    for (const std::string& v : {std::to_string(r.low - 1), std::to_string(r.high + 1),
                                 std::string("1x"), std::string("")}) {
      HostOptions o;
      std::string error;
      EXPECT_FALSE(ParseOptions({r.option, v}, o, error)) << r.option << " " << v;
      EXPECT_NE(error.find(r.option), std::string::npos) << error;
    }
  }
  HostOptions defaults;
  std::string error;
  ASSERT_TRUE(ParseOptions({"--user", "nobody"}, defaults, error));
  EXPECT_EQ(defaults.user, "nobody");
  EXPECT_EQ(defaults.server.maxConnections, 10000);
  EXPECT_EQ(defaults.server.maxClientConnections, 128);
  EXPECT_EQ(defaults.server.requestTimeout.count(), 20);
  EXPECT_EQ(defaults.server.idleTimeout.count(), 60);
  EXPECT_EQ(defaults.server.stopTimeout.count(), 10);
}

}  // namespace
}  // namespace kyrhost
