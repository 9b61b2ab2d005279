// Compact-policy identifiers: expansion, validation and the bounded cache.

#include "hit/lfmcompactpolicy.h"

#include <gtest/gtest.h>

#include "tests/support/temproot.h"

namespace {

std::string Expanded(const std::string& id) {
  std::string out;
  return lfmCompactPolicy::Expand(id, &out) ? out : "<invalid>";
}

TEST(CompactPolicy, SelectsTokensByBitAcrossChunks) {
  TempRoot root;
  EXPECT_EQ(Expanded("1"), "ADM");
  EXPECT_EQ(Expanded("3"), "ADM ADMa");
  EXPECT_EQ(Expanded("80000000"), "HISo");
  EXPECT_EQ(Expanded("100000000"), "IDC");
  EXPECT_EQ(Expanded("f00000001"), "ADM IDC IND INT IVA");
  EXPECT_EQ(Expanded("F000000000000000000000000"), "UNR UNRa UNRi UNRo");
  EXPECT_EQ(Expanded("FF000000000000000000000000"), "<invalid>");  // 26 characters
  EXPECT_EQ(Expanded("0"), "");
  EXPECT_EQ(Expanded(""), "<invalid>");
  EXPECT_EQ(Expanded("12G4"), "<invalid>");
  EXPECT_EQ(lfmCompactPolicy::Token(99), std::string("UNRo"));
}

TEST(CompactPolicy, MessagesCarryTheIdentifierEscaped) {
  TempRoot root;
  std::string out;
  EXPECT_FALSE(lfmCompactPolicy::Expand("1\r\n2\"%\x7f\xff", &out));
  EXPECT_FALSE(lfmCompactPolicy::Expand(std::string(25, 'a') + "\n", &out));
  std::string audit = root.Read("log/kyr.audit");
  EXPECT_EQ(Count(audit, "Contains illegal characters: 1\\x0d\\x0a2\"%\\x7f\xff\n"), 1u);
  EXPECT_EQ(Count(audit, "Too many characters: " + std::string(25, 'a') + "\\x0a\n"), 1u);
}

TEST(CompactPolicy, CachesValidIdentifiersOnlyAndWithinItsBound) {
  TempRoot root;
  std::string out;
  EXPECT_TRUE(lfmCompactPolicy::Resolve("3", &out));
  EXPECT_FALSE(lfmCompactPolicy::Resolve("12G4", &out));
  EXPECT_FALSE(lfmCompactPolicy::Resolve("12G4", &out));
  EXPECT_EQ(lfmCompactPolicy::CacheSize(), 1u);
  EXPECT_EQ(Count(root.Read("log/kyr.audit"), "Contains illegal characters: 12G4"), 2u);

  for (size_t i = 0; i < lfmCompactPolicy::kCacheLimit + 10; ++i)
    lfmCompactPolicy::Resolve(std::to_string(i + 100), &out);
  EXPECT_EQ(lfmCompactPolicy::CacheSize(), lfmCompactPolicy::kCacheLimit);
  std::string beyond = std::to_string(lfmCompactPolicy::kCacheLimit + 105);
  EXPECT_TRUE(lfmCompactPolicy::Resolve(beyond, &out));  // expanded, not kept
  EXPECT_FALSE(lfmCompactPolicy::Lookup(beyond, &out));
}

}  // namespace
