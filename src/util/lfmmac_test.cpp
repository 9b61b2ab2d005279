// MD5 against the RFC 1321 test suite, fed whole and in pieces across block
// boundaries, and the one-shot rules of the digest object.

#include "util/lfmmac.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/temproot.h"
#include "util/whexception.h"

namespace {

std::string Hex(const std::string& message) {
  lfmMAC mac(message);
  return mac.HexDigest();
}

TEST(MD5, RfcTestSuite) {
  EXPECT_EQ(Hex(""), "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(Hex("a"), "0CC175B9C0F1B6A831C399E269772661");
  EXPECT_EQ(Hex("abc"), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(Hex("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
  EXPECT_EQ(Hex("abcdefghijklmnopqrstuvwxyz"), "C3FCD3D76192E4007DFB496CCA67E13B");
  EXPECT_EQ(Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "D174AB98D277D9F5A5611C2C9F419D9F");
  EXPECT_EQ(Hex("1234567890123456789012345678901234567890123456789012345678901234567890123456789"
                "0"),
            "57EDF4A22BE3C955AC49DA2E2107B67A");
}

TEST(MD5, PiecesGiveTheDigestOfTheWhole) {
  // Lengths around the padding boundary (55, 56, 63, 64, 65) and a long
  // message fed in uneven pieces.
  std::string text;
  for (int i = 0; i < 1000; ++i)
    text += static_cast<char>('!' + (i * 7) % 90);
  for (size_t length : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 1000u}) {
    std::string message = text.substr(0, length);
    for (size_t piece : {1u, 3u, 17u, 64u}) {
      lfmMAC mac;
      for (size_t at = 0; at < message.size(); at += piece)
        mac.Update(message.data() + at, std::min(piece, message.size() - at));
      EXPECT_EQ(std::string(mac.HexDigest()), Hex(message)) << length << "/" << piece;
    }
  }
  EXPECT_EQ(Hex(std::string(1000000, 'a')), "7707D6AE4E027C70EEA2A935C2296F21");
}

TEST(MAC, OneShot) {
  lfmMAC mac("abc");
  mac.Final();
  EXPECT_EQ(ThrownText([&] { mac.Update("d"); }), "1018 lfmMAC Invalid sequence of operations.");
  EXPECT_EQ(ThrownText([&] { mac.Final(); }), "1018 lfmMAC Invalid sequence of operations.");
  // The digest is still there, the same on every read.
  EXPECT_STREQ(mac.HexDigest(), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_STREQ(mac.HexDigest(), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(mac.Digest()[0], 0x90);

  lfmMAC text;
  text.Update("ab");
  text.Update(std::string("c"));
  text.Update(static_cast<const char*>(nullptr));
  EXPECT_STREQ(text.HexDigest(), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_THROW(text.Update("x"), whException);
}

}  // namespace
