// The element map built from the configuration, and how values are read
// from and stored in a parse map.

#include "hit/lfmlogelementmap.h"

#include <gtest/gtest.h>

#include "hit/lfmparsemap.h"
#include "tests/support/filtertest.h"
#include "tests/support/temproot.h"

namespace {

std::string Entry(int i, const std::string& element, const std::string& parameter, bool required) {
  return "[logelementmap" + std::to_string(i) + "]\nlogelement = " + element +
         "\nparameter = " + parameter + "\nrequired = " + (required ? "true" : "false") + "\n";
}

TEST(LogElementMap, DiscardsBadEntriesAndForcesTheUriRequired) {
  TempRoot root("[logserver]\nlogelementcount = 6\n" + Entry(0, "", "x", false) +
                Entry(1, "KYR_QUERY", "", false) + Entry(2, "KYR_NOPE", "n", false) +
                Entry(3, "KYR_CLIENTIP", "cip", false) + Entry(4, "KYR_URI", "u", false) +
                Entry(5, "KYR_REFERRER", "r", true));
  EXPECT_STREQ(lfmLogElementMap::ParameterName(KYR_URI), "u");
  EXPECT_TRUE(lfmLogElementMap::IsRequired(KYR_URI));
  EXPECT_EQ(lfmLogElementMap::ParameterName(KYR_QUERY), nullptr);
  EXPECT_EQ(lfmLogElementMap::ParameterName(KYR_CLIENTIP), nullptr);  // no replay
  EXPECT_EQ(lfmLogElementMap::RequiredNames(), (std::vector<std::string>{"u", "r"}));
  EXPECT_EQ(lfmLogElementMap::ParameterNames(), (std::vector<std::string>{"u", "r"}));
  std::string audit = root.Read("log/kyr.audit");
  EXPECT_EQ(Count(audit, "Discarding logelement (1)"), 1u);
  EXPECT_EQ(Count(audit, "Discarding logelement (KYR_QUERY)"), 1u);
  EXPECT_EQ(Count(audit, "not supported. KYR_NOPE"), 1u);
  EXPECT_EQ(Count(audit, "KYR_URI is a required parameter."), 1u);
  EXPECT_EQ(Count(audit, "cip"), 0u);
}

TEST(LogElementMap, ClientAddressEntryCountsOnlyInReplay) {
  TempRoot root(FilterConfig("replayinprogress = true"));
  EXPECT_STREQ(lfmLogElementMap::ParameterName(KYR_CLIENTIP), "kyrcip");
}

TEST(LogElementMap, WithoutAUriEntryEveryUseFails) {
  TempRoot root("[logserver]\nlogelementcount = 1\n" + Entry(0, "KYR_QUERY", "q", false));
  const std::string expected =
      "1027 lfmLogElementMap Failed to retrieve a required paramater: KYR_URI";
  EXPECT_EQ(ThrownText([] { lfmLogElementMap::ParameterName(KYR_QUERY); }), expected);
  EXPECT_EQ(ThrownText([] { lfmLogElementMap::ParameterName(KYR_QUERY); }), expected);
}

class ParseMapTest : public ::testing::Test {
 protected:
  ParseMapTest() : root_(FilterConfig()), map_(lfmLogElementMap::ParameterNames()) {}
  void Parse(const char* query) { map_.ParseQuery(query); }
  std::string Value(int32_t id, bool decode, bool allowBlank) {
    const char* v = nullptr;
    return lfmLogElementMap::GetValue(map_, id, &v, decode, allowBlank) ? v : "<absent>";
  }
  TempRoot root_;
  lfmParseMap map_;
};

TEST_F(ParseMapTest, KeepsTheFirstOccurrenceOfKnownParametersOnly) {
  Parse("KyrUri=1&kyruri=2&unknown=3&kyrqry");
  EXPECT_EQ(Value(KYR_URI, false, true), "1");
  EXPECT_FALSE(map_.Contains("unknown"));
  EXPECT_EQ(Value(KYR_QUERY, false, true), "");
  map_.Reset();
  EXPECT_FALSE(map_.Contains("kyruri"));
  EXPECT_EQ(map_.SlotCount(), 14u);  // no client address outside replay
}

TEST_F(ParseMapTest, DecodesOnceAndKeepsNul) {
  Parse("kyruri=a%41%zz&kyrqry=%2541&kyrref=x%00y%0d");
  EXPECT_EQ(Value(KYR_URI, true, false), "aA%zz");
  EXPECT_EQ(Value(KYR_QUERY, true, false), "%41");
  EXPECT_EQ(Value(KYR_QUERY, true, false), "%41");  // never "A"
  EXPECT_EQ(Value(KYR_REFERRER, true, false), "x%00y\r");
}

TEST_F(ParseMapTest, BlankValuesCountAsAbsentUnlessAllowed) {
  Parse("kyruri=%20%09&kyrqry=+&kyrref=%20");
  EXPECT_EQ(Value(KYR_URI, true, false), "<absent>");
  EXPECT_EQ(Value(KYR_URI, true, true), " \t");
  EXPECT_EQ(Value(KYR_QUERY, true, false), "+");
  EXPECT_EQ(Value(KYR_REFERRER, false, false), "<absent>");
  EXPECT_EQ(Value(KYR_STATUS, true, true), "<absent>");
}

TEST_F(ParseMapTest, SetValueEncodesBlanksAndLineEnds) {
  const char* v = "a b\r\nc\rd\ne\tf";
  EXPECT_TRUE(lfmLogElementMap::SetValue(map_, KYR_URI, &v, true));
  EXPECT_STREQ(v, "a%20b%20c%20d%20e%20f");
  EXPECT_EQ(Value(KYR_URI, true, false), "a%20b%20c%20d%20e%20f");  // not decoded again
  std::string longText(5000, ' ');
  EXPECT_EQ(lfmLogElementMap::Encode(longText.c_str()).size(), 4095u);
  const char* null = nullptr;
  EXPECT_EQ(ThrownText([&] { lfmLogElementMap::SetValue(map_, KYR_URI, &null, true); }),
            "1010 lfmLogElementMap Invalid usage: Invalid character buffer parameter.");
}

}  // namespace
