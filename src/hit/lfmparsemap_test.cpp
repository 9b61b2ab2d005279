// The parse map's own edges: decoding, which copies eight bytes at a time
// between escapes, and the hashed lookup of many names.

#include "hit/lfmparsemap.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// The decoding the map must agree with, one byte at a time.
std::string Reference(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    int hi = -1, lo = -1;
    if (text[i] == '%' && i + 2 < text.size() && (hi = lfmUtility::HexValue(text[i + 1])) >= 0 &&
        (lo = lfmUtility::HexValue(text[i + 2])) >= 0 && (hi | lo) != 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string Decoded(const std::string& raw) {
  lfmParseMap map({"v"});
  map.Set("v", raw, false, false);
  return map.DecodeAt(0);
}

TEST(ParseMap, DecodesLikeTheByteByByteDecoderWhereverEscapesFall) {
  // Each piece at every offset of a word, after plain runs of every length
  // up to two words, and at the very end of the value.
  const std::vector<std::string> pieces = {"%41", "%2f",  "%00",       "%zz", "%4",
                                           "%",   "%%41", "%e2%82%ac", "+"};
  for (const std::string& piece : pieces) {
    for (size_t before = 0; before <= 17; ++before) {
      for (size_t after = 0; after <= 9; ++after) {
        std::string raw = std::string(before, 'a') + piece + std::string(after, 'b') + piece;
        EXPECT_EQ(Decoded(raw), Reference(raw)) << raw;
      }
    }
  }
}

TEST(ParseMap, FindsEveryNameOfALargeMapWithoutRegardToCase) {
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i)
    names.push_back("Param" + std::to_string(i));
  lfmParseMap map(names);
  EXPECT_EQ(map.SlotCount(), names.size());
  for (int i = 0; i < 300; ++i) {
    std::string lower = "param" + std::to_string(i);
    ASSERT_TRUE(map.Set(lower, std::to_string(i), false, false)) << lower;
  }
  for (int i = 0; i < 300; ++i) {
    const char* value = nullptr;
    ASSERT_TRUE(map.Find("PARAM" + std::to_string(i), &value));
    EXPECT_EQ(std::string(value), std::to_string(i));
  }
  EXPECT_FALSE(map.Contains("param300"));
  // Names alike in length and in their first, middle and last characters
  // share a hash: only the comparison tells them apart.
  lfmParseMap alike({"aXcdez", "abXdez"});
  EXPECT_TRUE(alike.Set("aXcdez", "1", false, false));
  EXPECT_FALSE(alike.Contains("aYcdez"));
  EXPECT_FALSE(alike.Contains("abYdez"));
  EXPECT_TRUE(alike.Contains("AXCDEZ"));
  EXPECT_FALSE(map.Set("param300", "x", false, false));
  // A name added later is found like the others, and the values already
  // stored (short ones live inside their slot) survive the slots' move.
  map.NarrowAt(map.SlotOf(20, "param7"), 0, 0);
  EXPECT_TRUE(map.Set("extra", "y", false, true));
  EXPECT_TRUE(map.Contains("EXTRA"));
  const char* value = nullptr;
  ASSERT_TRUE(map.Find("param299", &value));
  EXPECT_STREQ(value, "299");
  ASSERT_TRUE(map.Find("param7", &value));
  EXPECT_STREQ(value, "");
}

TEST(ParseMap, ParsedValuesLiveInTheMapsOwnCopyOfTheQuery) {
  lfmParseMap map({"a", "b", "c", "d"});
  std::string query = "a=%41x&b=2&a=dup&c&d=";
  map.ParseQuery(query.c_str());
  query.assign(query.size(), '#');  // the caller's text may change at once
  const char* v = nullptr;
  ASSERT_TRUE(map.Find("a", &v));
  EXPECT_STREQ(v, "%41x");  // first occurrence, cut at its "&"
  EXPECT_STREQ(map.DecodeAt(map.SlotOf(1, "a")), "Ax");
  EXPECT_STREQ(map.DecodeAt(map.SlotOf(1, "a")), "Ax");  // decoded once
  ASSERT_TRUE(map.Find("b", &v));
  EXPECT_STREQ(v, "2");
  EXPECT_TRUE(map.Find("c", &v));  // no "=": an empty value
  EXPECT_STREQ(v, "");
  EXPECT_TRUE(map.Find("d", &v));
  EXPECT_STREQ(v, "");

  // A second query without a reset: values already set keep their text,
  // whether the new query fits the same storage or needs more.
  for (size_t length : {20, 10000}) {
    map.ParseQuery(("b=3&d=4&x=" + std::string(length, 'x')).c_str());
    ASSERT_TRUE(map.Find("a", &v));
    EXPECT_STREQ(map.DecodeAt(map.SlotOf(1, "a")), "Ax");
    ASSERT_TRUE(map.Find("b", &v));
    EXPECT_STREQ(v, "2");
  }
  map.Reset();
  map.ParseQuery("b=5");
  ASSERT_TRUE(map.Find("b", &v));
  EXPECT_STREQ(v, "5");
  EXPECT_FALSE(map.Contains("a"));
}

TEST(ParseMap, ParsedViewsAgreeWithOfferedCopies) {
  // Random queries of names, blanks, delimiters and escapes, and one with
  // an overlong value: the values ParseQuery keeps as views in its own
  // copy, terminated in place, must read as the copies that
  // lfmUtility::ParseString offers, raw and decoded.
  const std::vector<std::string> names = {"a", "Bb", "c d", "x"};
  const std::vector<std::string> pieces = {"a", "bb", "BB", "c d", "x",  " ", "\t",
                                           "=", "&",  "&&", "%41", "%2", "%", "v"};
  std::mt19937 random(7);
  std::vector<std::string> queries = {"a=" + std::string(5000, 'v') + "&x=1", "=&=&a"};
  for (int i = 0; i < 3000; ++i) {
    std::string q;
    for (int k = static_cast<int>(random() % 12); k >= 0; --k)
      q += pieces[random() % pieces.size()];
    queries.push_back(q);
  }
  for (const std::string& q : queries) {
    lfmParseMap own(names), generic(names);
    own.ParseQuery(q.c_str());
    if (!q.empty())
      lfmUtility::ParseString(q.c_str(), &generic, nullptr, '&', '=');
    for (size_t n = 0; n < names.size(); ++n) {
      const char* a = nullptr;
      const char* b = nullptr;
      ASSERT_EQ(own.Find(names[n], &a), generic.Find(names[n], &b)) << q << " " << names[n];
      if (!a)
        continue;
      ASSERT_STREQ(a, b) << q;
      int32_t id = static_cast<int32_t>(n);
      ASSERT_STREQ(own.DecodeAt(own.SlotOf(id, names[n].c_str())),
                   generic.DecodeAt(generic.SlotOf(id, names[n].c_str())))
          << q;
    }
  }
}

}  // namespace
