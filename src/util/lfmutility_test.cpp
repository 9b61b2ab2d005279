#include "util/lfmutility.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "util/lfmquickstring.h"
#include "util/whexception.h"

namespace {

// Records every offered pair and takes only the names it is told to.
class Recorder : public lfmParamTarget {
 public:
  explicit Recorder(std::set<std::string> take = {}, bool takeAll = false)
      : take_(std::move(take)), takeAll_(takeAll) {}
  bool Offer(std::string_view name, std::string_view value) override {
    pairs.emplace_back(std::string(name), std::string(value));
    return takeAll_ || take_.count(std::string(name)) > 0;
  }
  std::vector<std::pair<std::string, std::string>> pairs;

 private:
  std::set<std::string> take_;
  bool takeAll_;
};

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(ParseString, SplitsPairsAndKeepsUntakenSegments) {
  Recorder r({"a"});
  lfmString left;
  lfmUtility::ParseString("a=1&b=&c", &r, &left, '&', '=');
  EXPECT_EQ(r.pairs, (Pairs{{"a", "1"}, {"b", ""}, {"c", ""}}));
  EXPECT_STREQ(left.c_str(), "b=&c");
}

TEST(ParseString, NameIsTrimmedValueIsNotAndOnlyFirstDelimiterSplits) {
  Recorder r({}, true);
  lfmUtility::ParseString(" id =  x=y ;\tz\t=1;;", &r, nullptr, ';', '=');
  EXPECT_EQ(r.pairs, (Pairs{{"id", "  x=y "}, {"z", "1"}}));
}

TEST(ParseString, CutsNamesAndValuesTo4095Characters) {
  Recorder r({}, true);
  std::string text = std::string(5000, 'n') + "=" + std::string(6000, 'v');
  lfmUtility::ParseString(text.c_str(), &r, nullptr, '&', '=');
  ASSERT_EQ(r.pairs.size(), 1u);
  EXPECT_EQ(r.pairs[0].first.size(), 4095u);
  EXPECT_EQ(r.pairs[0].second.size(), 4095u);
}

TEST(ParseString, RejectsEmptyTextAndEqualDelimiters) {
  Recorder r;
  for (const char* text : {static_cast<const char*>(nullptr), ""}) {
    try {
      lfmUtility::ParseString(text, &r, nullptr, '&', '=');
      FAIL();
    } catch (const whException& e) {
      EXPECT_EQ(e.Code(), 1010);
      EXPECT_EQ(e.Message(), "Invalid usage: String to parse is empty.");
    }
  }
  try {
    lfmUtility::ParseString("a=b", &r, nullptr, '=', '=');
    FAIL();
  } catch (const whException& e) {
    EXPECT_EQ(e.Message(), "Invalid usage: Outer and Inner delimiter can not be the same string.");
  }
}

TEST(TailMatch, ComparesBytesExactly) {
  EXPECT_TRUE(lfmUtility::TailMatch(".gif", -1, "/img/kyr.gif", -1));
  EXPECT_FALSE(lfmUtility::TailMatch(".gif", -1, "/img/kyr.GIF", -1));
  EXPECT_FALSE(lfmUtility::TailMatch("long-tail", -1, "tail", -1));
  EXPECT_FALSE(lfmUtility::TailMatch(nullptr, -1, "x", -1));
  EXPECT_FALSE(lfmUtility::TailMatch("x", -1, nullptr, -1));
  // Explicit lengths limit both texts.
  EXPECT_TRUE(lfmUtility::TailMatch(".gifXX", 4, "kyr.gifYY", 7));
  EXPECT_THROW(lfmUtility::TailMatch("", -1, "abc", -1), whException);
}

TEST(ExtensionTest, CaseInsensitiveAndNeedsADot) {
  EXPECT_TRUE(lfmUtility::HasExtension("/kyr.GIF", "gif"));
  EXPECT_TRUE(lfmUtility::HasExtension("/kyr.gif", ".GIF"));
  EXPECT_FALSE(lfmUtility::HasExtension("/kyrgif", "gif"));
  EXPECT_FALSE(lfmUtility::HasExtension("gif", "gif"));  // must be shorter than the text
  EXPECT_FALSE(lfmUtility::HasExtension("/kyr.gif", ""));
}

TEST(PercentDecode, DecodesOnlyCompleteEscapes) {
  char text[] = "a%2Fb%zz%41%4+%";
  lfmUtility::PercentDecode(text);
  EXPECT_STREQ(text, "a/b%zzA%4+%");
  char lower[] = "%2f%7E";
  EXPECT_EQ(lfmUtility::PercentDecode(lower), 2u);
  EXPECT_STREQ(lower, "/~");
}

TEST(Blanks, PositionsAndTests) {
  EXPECT_EQ(lfmUtility::FirstNonBlank(" \t x", 0), 3u);
  EXPECT_EQ(lfmUtility::FirstNonBlank("   ", 0), 3u);
  EXPECT_EQ(lfmUtility::AfterLastNonBlank("ab \t ", 5), 2u);
  EXPECT_EQ(lfmUtility::AfterLastNonBlank("   ", 3), 0u);
  char text[] = "a b\tc";
  lfmUtility::ReplaceBlanks(text, '+');
  EXPECT_STREQ(text, "a+b+c");
  EXPECT_FALSE(lfmUtility::HasNonBlank(" \t "));
  EXPECT_TRUE(lfmUtility::HasNonBlank(" x "));
  EXPECT_TRUE(lfmUtility::HasBlankOrLineEnd("a\rb"));
  EXPECT_TRUE(lfmUtility::HasBlankOrLineEnd("a\nb"));
  EXPECT_FALSE(lfmUtility::HasBlankOrLineEnd("a%20b"));
  // Scanned a word at a time: each of the four at every place up to three
  // words, beside other control bytes that do not count.
  for (size_t length = 1; length <= 24; ++length) {
    std::string text(length, 'x');
    text[0] = '\x01';
    EXPECT_FALSE(lfmUtility::HasBlankOrLineEnd(text)) << length;
    for (size_t at = 0; at < length; ++at) {
      for (char c : {' ', '\t', '\r', '\n'}) {
        std::string with = text;
        with[at] = c;
        EXPECT_TRUE(lfmUtility::HasBlankOrLineEnd(with)) << length << " " << at;
      }
    }
  }
}

TEST(Blanks, EncodedBlanksAreNotContent) {
  EXPECT_FALSE(lfmUtility::HasContent("%20%09 \t%20"));
  EXPECT_TRUE(lfmUtility::HasContent("%20%41"));
  EXPECT_TRUE(lfmUtility::HasContent("%"));
  EXPECT_TRUE(lfmUtility::HasContent("%2"));
  EXPECT_FALSE(lfmUtility::HasContent(""));
}

TEST(ForMessage, ControlBytesAndBackslashAreEscapedAndLongValuesCut) {
  const struct {
    std::string value;
    size_t max;
    std::string expected;
  } cases[] = {
      {"/x\r\nDec-06-2026 10:00:00: ####", 1024, "/x\\x0d\\x0aDec-06-2026 10:00:00: ####"},
      {"\x1b[2J\x7f\t", 1024, "\\x1b[2J\\x7f\\x09"},
      // The backslash is doubled, so an escape in the value cannot pass
      // for one of ours.
      {"a\\x0d", 1024, "a\\\\x0d"},
      {std::string("n\0l", 3), 1024, "n\\x00l"},
      {"caf\xc3\xa9 \"q\" %41", 1024, "caf\xc3\xa9 \"q\" %41"},
      {"abcdef", 6, "abcdef"},
      {"abcdefgh", 6, "abcdef...(2 more bytes)"},
      {"\n\n\n", 2, "\\x0a\\x0a...(1 more bytes)"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(lfmUtility::ForMessage(c.value, c.max), c.expected) << c.value;
  std::string huge(1 << 20, 'x');
  EXPECT_EQ(lfmUtility::ForMessage(huge),
            std::string(lfmUtility::kMaxMessageValue, 'x') + "...(1047552 more bytes)");
  std::string out = "kept:";
  lfmUtility::AppendForMessage(out, "\r");
  EXPECT_EQ(out, "kept:\\x0d");
}

}  // namespace

TEST(ShortDecimal, ReadsWhatStrtolReadsOrDeclines) {
  for (const char* text : {"0", "7", "-5", "-0", "007", "999999999", "-999999999"}) {
    long v = 12345;
    ASSERT_TRUE(lfmUtility::ReadShortDecimal(text, &v)) << text;
    EXPECT_EQ(v, std::strtol(text, nullptr, 10)) << text;
  }
  for (const char* text : {"", "-", "+1", " 1", "1 ", "1x", "/", ":", "--1", "1000000000"}) {
    long v = 12345;
    EXPECT_FALSE(lfmUtility::ReadShortDecimal(text, &v)) << text;
    EXPECT_EQ(v, 12345) << text;
  }
}
