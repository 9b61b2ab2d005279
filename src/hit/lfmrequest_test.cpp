// KYR ID extraction and the three formats' checks.

#include "hit/lfmrequest.h"

#include <gtest/gtest.h>

#include "tests/support/temproot.h"

namespace {

TEST(KyrId, CheckCodesOfTheThreeFormats) {
  EXPECT_EQ(lfmRequest::CheckCode("kyr0123456789abcdefghijkl", 25, 'z'), "7k9d");
  EXPECT_EQ(lfmRequest::CheckCode("KYR0123456789ABCDEFGHIJKL", 25, 'Z'), "4Z3I");
  EXPECT_EQ(lfmRequest::CheckCode("KYR123456", 9, 'Z'), "6F3U");
}

TEST(KyrId, EachFormatStopsAtItsFirstFailedTest) {
  using R = lfmRequest;
  EXPECT_EQ(R::CheckKyrId("KYR0123456789ABCDEFGHIJKL_7K9D", R::kCurrentFormat), R::kKyrIdOk);
  EXPECT_EQ(R::CheckKyrId("kyr0123456789abcdefghijkl_7k9e", R::kCurrentFormat), R::kKyrIdTampered);
  EXPECT_EQ(R::CheckKyrId("KYR0123456789ABCDEFGHIJKL_4Z3I", R::kSecondFormat), R::kKyrIdOk);
  EXPECT_EQ(R::CheckKyrId("kyr0123456789ABCDEFGHIJKL_4Z3I", R::kSecondFormat), R::kKyrIdStart);
  EXPECT_EQ(R::CheckKyrId("KYR0123456789ABCDEFGHIJK-_4Z3I", R::kSecondFormat), R::kKyrIdBody);
  EXPECT_EQ(R::CheckKyrId("KYR0123456789ABCDEFGHIJKLM4Z3I", R::kSecondFormat), R::kKyrIdSeparator);
  EXPECT_EQ(R::CheckKyrId("KYR123456_6F3U", R::kFirstFormat), R::kKyrIdOk);
  EXPECT_EQ(R::CheckKyrId("KYR12345A_6F3U", R::kFirstFormat), R::kKyrIdBody);
  EXPECT_EQ(R::CheckKyrId("KYR123456_6F3U", R::kCurrentFormat), R::kKyrIdSize);
  EXPECT_EQ(R::CheckKyrId("", R::kFirstFormat), R::kKyrIdSize);
  // The bytes just outside the digit and letter ranges are no body.
  for (char c : {'/', ':', '@', '[', '`', '{'}) {
    std::string second = "KYR0123456789ABCDEFGHIJKL_4Z3I", first = "KYR123456_6F3U";
    second[24] = c;
    first[8] = c;
    EXPECT_EQ(R::CheckKyrId(second, R::kSecondFormat), R::kKyrIdBody) << c;
    EXPECT_EQ(R::CheckKyrId(first, R::kFirstFormat), R::kKyrIdBody) << c;
  }
}

TEST(KyrId, AcceptedFormatsFollowTheBackToVersion) {
  TempRoot root;
  std::string stored;
  EXPECT_TRUE(lfmRequest::ValidateKyrId("KYR0123456789ABCDEFGHIJKL_7K9D", 3, &stored));
  EXPECT_EQ(stored, "kyr0123456789abcdefghijkl_7k9d");
  EXPECT_FALSE(lfmRequest::ValidateKyrId("KYR0123456789ABCDEFGHIJKL_4Z3I", 3, &stored));
  EXPECT_TRUE(lfmRequest::ValidateKyrId("KYR0123456789ABCDEFGHIJKL_4Z3I", 2, &stored));
  EXPECT_EQ(stored, "KYR0123456789ABCDEFGHIJKL_4Z3I");
  EXPECT_FALSE(lfmRequest::ValidateKyrId("KYR123456_6F3U", 2, &stored));
  EXPECT_TRUE(lfmRequest::ValidateKyrId("KYR123456_6F3U", 1, &stored));
  EXPECT_FALSE(lfmRequest::ValidateKyrId("KYR123456_6F3U", 0, &stored));
  std::string audit = root.Read("log/kyr.audit");
  EXPECT_EQ(Count(audit, "Tampered KYR Id. KYR0123456789ABCDEFGHIJKL_4Z3I"), 1u);
  EXPECT_EQ(Count(audit, "Incorrect size. KYR123456_6F3U"), 1u);
}

TEST(KyrId, TakenFromTheFirstSegmentOfTheStem) {
  EXPECT_EQ(lfmRequest::ExtractKyrId("//KYR1/kyr.gif"), "KYR1");
  EXPECT_EQ(lfmRequest::ExtractKyrId(("/" + std::string(40, 'a') + "/kyr.gif").c_str()),
            std::string(30, 'a'));
  EXPECT_EQ(lfmRequest::ExtractKyrId("/KYR2"), "KYR2");
  EXPECT_EQ(lfmRequest::ExtractKyrId("///"), "");
  EXPECT_EQ(lfmRequest::ExtractKyrId(""), "-");
  EXPECT_EQ(lfmRequest::ExtractKyrId(nullptr), "-");
}

}  // namespace
