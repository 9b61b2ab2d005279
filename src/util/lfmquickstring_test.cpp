#include "util/lfmquickstring.h"

#include <gtest/gtest.h>

#include <string>

#include "util/whexception.h"

namespace {

TEST(QuickStringCapacity, TerminatorNeedsItsOwnByte) {
  char buf[10];
  lfmQuickString s(buf, sizeof buf);
  s.Append("123456789");
  EXPECT_STREQ(s.c_str(), "123456789");

  lfmQuickString t(buf, sizeof buf);
  try {
    t.Append("1234567890");
    FAIL() << "ten characters fitted into ten bytes";
  } catch (const whException& e) {
    EXPECT_EQ(e.Code(), 1000);
    EXPECT_EQ(e.SourceClassName(), "lfmQuickString");
    EXPECT_EQ(e.SourceMethodName(), "Resize()");
    EXPECT_EQ(e.Message(), "Exceeded an internal buffer size");
  }
}

TEST(QuickStringCapacity, FailedAppendOrAssignLeavesTextAsItWas) {
  char buf[8];
  lfmQuickString s(buf, sizeof buf);
  s.Append("abc");
  EXPECT_THROW(s.Append("defgh"), whException);
  EXPECT_STREQ(s.c_str(), "abc");
  EXPECT_EQ(s.Length(), 3u);
  EXPECT_THROW(s.Assign("0123456789"), whException);
  EXPECT_STREQ(s.c_str(), "abc");
  EXPECT_THROW(s.AppendFormat("%s", "0123456789"), whException);
  EXPECT_STREQ(s.c_str(), "abc");
}

TEST(QuickStringCapacity, ZeroCapacityTakesNothingButStaysReadable) {
  lfmQuickString s(nullptr, 0);
  EXPECT_STREQ(s.c_str(), "");
  s.Append("", 0);
  EXPECT_THROW(s.Append('x'), whException);
  s.RemoveLast(3);
  s.Erase(0, 2);
  EXPECT_STREQ(s.c_str(), "");
}

TEST(StringGrowth, GrowsByLengthPlusSlackAndKeepsContent) {
  lfmString s;
  s.Append("abc");
  EXPECT_EQ(s.Capacity(), 3u + 1u + 64u);
  std::string big(100, 'x');
  s.Append(big.c_str());
  EXPECT_EQ(s.Capacity(), 103u + 1u + 64u);
  EXPECT_EQ(std::string(s.c_str()), "abc" + big);
}

TEST(StringGrowth, AppendingItsOwnTextAcrossAResizeIsSafe) {
  lfmString s("abcdefgh");
  for (int i = 0; i < 6; ++i)
    s.Append(s.c_str());
  EXPECT_EQ(s.Length(), 8u * 64u);
  EXPECT_EQ(std::string(s.c_str(), 16), "abcdefghabcdefgh");
  s.Assign(s.c_str() + 8 * 63);
  EXPECT_STREQ(s.c_str(), "abcdefgh");
}

TEST(StringEditing, AppendRangeBounds) {
  lfmString src("0123456789");
  lfmString s;
  s.AppendRange(src, 2, 4);
  EXPECT_STREQ(s.c_str(), "234");
  s.Clear();
  s.AppendRange(src, 7, lfmString::kEnd);
  EXPECT_STREQ(s.c_str(), "789");
  s.Clear();
  s.AppendRange(src, 8, 500);
  EXPECT_STREQ(s.c_str(), "89");
  s.Clear();
  s.AppendRange(src, 5, 3);    // a past b
  s.AppendRange(src, 10, 12);  // a past the end
  s.AppendRange(src, -3, 2);
  EXPECT_STREQ(s.c_str(), "");
}

TEST(StringEditing, RemoveLastAndErase) {
  lfmString s("0123456789");
  s.RemoveLast(3);
  EXPECT_STREQ(s.c_str(), "0123456");
  s.Erase(1, 2);
  EXPECT_STREQ(s.c_str(), "03456");
  s.Erase(3, 1);  // a > b: nothing
  EXPECT_STREQ(s.c_str(), "03456");
  s.Erase(2, lfmString::kEnd);
  EXPECT_STREQ(s.c_str(), "03");
  s.Append("xyz");
  s.Erase(1, 400);  // b beyond the end keeps the first a
  EXPECT_STREQ(s.c_str(), "0");
  s.RemoveLast(10);
  EXPECT_STREQ(s.c_str(), "");
  EXPECT_EQ(s.Length(), 0u);
}

TEST(StringEditing, FormatIsCutAt8191Characters) {
  lfmString s;
  std::string big(10000, 'q');
  s.Format("%s", big.c_str());
  EXPECT_EQ(s.Length(), 8191u);
  s.Format("%d-%s", 7, "x");
  EXPECT_STREQ(s.c_str(), "7-x");
  s.AppendFormat("%05d", 42);
  EXPECT_STREQ(s.c_str(), "7-x00042");
}

}  // namespace
