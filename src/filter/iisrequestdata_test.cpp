// The IIS adapter on its own: what it fetches from IIS and when, its bounded
// buffers, the query fix-up and its refusals.

#include "filter/iisrequestdata.h"

#include <gtest/gtest.h>

#include "tests/support/fakeiis.h"
#include "tests/support/temproot.h"

namespace {

class RequestDataTest : public ::testing::Test {
 protected:
  RequestDataTest() : iis_(FakeIIS::Get("/kyr.gif", "a=1")) { r_.SetFilterContext(&iis_->context); }
  TempRoot root_;
  std::unique_ptr<FakeIIS> iis_;
  iisRequestData r_;
};

TEST_F(RequestDataTest, ServerVariablesAreFetchedOncePerRequest) {
  EXPECT_STREQ(r_.GetSrcURIStem(), "/kyr.gif");
  EXPECT_STREQ(r_.GetSrcURIStem(), "/kyr.gif");
  EXPECT_EQ(iis_->variableReads["URL"], 1);
  EXPECT_EQ(r_.GetSrcUserAgent(), nullptr);  // absent: asked again next time
  EXPECT_EQ(r_.GetSrcUserAgent(), nullptr);
  EXPECT_EQ(iis_->variableReads["HTTP_USER_AGENT"], 2);
  EXPECT_STREQ(r_.GetSrcRequestLine(), "GET /kyr.gif?a=1 HTTP/1.1");
  EXPECT_FALSE(r_.IsSrcSecure());
  iis_->Variable("HTTPS", "ON");
  r_.Reset();
  r_.SetFilterContext(&iis_->context);
  EXPECT_TRUE(r_.IsSrcSecure());
  EXPECT_EQ(r_.GetSrcStatus(), 200);
  EXPECT_EQ(r_.GetSrcBytes(), 0u);
  // The original query is the query as read, unless it was changed first.
  int reads = iis_->variableReads["QUERY_STRING"];
  EXPECT_STREQ(r_.GetSrcURIQuery(), "a=1");
  EXPECT_STREQ(r_.GetSrcOrigURIQuery(), "a=1");
  EXPECT_EQ(iis_->variableReads["QUERY_STRING"], reads + 1);
  r_.Reset();
  r_.SetFilterContext(&iis_->context);
  EXPECT_STREQ(r_.GetSrcURIQuery(), "a=1");
  r_.FixupURIQuery("b=2", "c=3");
  EXPECT_STREQ(r_.GetSrcOrigURIQuery(), "a=1");
  EXPECT_STREQ(r_.GetSrcURIQuery(), "b=2&c=3");
  EXPECT_EQ(iis_->variableReads["QUERY_STRING"], reads + 3);
}

TEST_F(RequestDataTest, FixedBuffersCutOverlongValuesAndReportThem) {
  r_.SetSrcURIStem(std::string(5000, 'u').c_str());
  EXPECT_EQ(std::string(r_.GetSrcURIStem()), std::string(4095, 'u'));
  r_.SetSrcClientIP(std::string(96, '1').c_str());
  EXPECT_EQ(std::string(r_.GetSrcClientIP()), std::string(95, '1'));
  r_.SetSrcClientIP(std::string(95, '2').c_str());
  EXPECT_EQ(std::string(r_.GetSrcClientIP()), std::string(95, '2'));
  std::string audit = root_.Read("log/kyr.audit");
  EXPECT_EQ(Count(audit, "szURIStem: "), 1u);
  EXPECT_EQ(Count(audit, "szClientIP: "), 1u);
}

TEST_F(RequestDataTest, QueryFixupJoinsAddedParameters) {
  r_.FixupURIQuery("a=1", "ZR.co=Yes");
  EXPECT_STREQ(r_.GetSrcURIQuery(), "a=1&ZR.co=Yes");
  r_.FixupURIQuery("a=1&", "ZR.co=Yes");
  EXPECT_STREQ(r_.GetSrcURIQuery(), "a=1&ZR.co=Yes");
  r_.FixupURIQuery("", "ZR.co=Yes");
  EXPECT_STREQ(r_.GetSrcURIQuery(), "ZR.co=Yes");
  r_.FixupURIQuery(" \t?a=1", nullptr);
  EXPECT_STREQ(r_.GetSrcURIQuery(), "a=1");
  EXPECT_STREQ(r_.GetSrcOrigURIQuery(), "a=1");
  std::string added(4000, 'p');
  EXPECT_EQ(ThrownText([&] { r_.FixupURIQuery(std::string(95, 'q').c_str(), added.c_str()); }),
            "1025 iisRequestData Insufficient buffer to extend the string (m_pURIQuery)");
}

TEST_F(RequestDataTest, RequestTextHoldsWhatSetSrcRequestWasGiven) {
  // The text is built only when read: setters that run after SetSrcRequest
  // must not show in it, and a URI the stem cut stays whole in it.
  EXPECT_EQ(iisRequestData().GetSrcRequestText(), nullptr);
  struct Case {
    const char* added;
    const char* expected;
  } cases[] = {{"ZR.co=Yes", "POST /p?ZR.co=Yes"}, {"", "POST /p?"}, {nullptr, "POST /p?"}};
  for (const Case& c : cases) {
    r_.Reset();
    r_.SetSrcRequest("POST", "/p", "q=1", c.added);
    r_.SetSrcMethod("PUT");
    r_.SetSrcURIStem("/other");
    r_.SetSrcURIQuery("z=9");
    EXPECT_STREQ(r_.GetSrcRequestText(), c.expected);
  }
  r_.SetSrcRequest("GET", "/x", "", "k=v");
  r_.FixupURIQuery("a=1", "other=1");
  EXPECT_STREQ(r_.GetSrcRequestText(), "GET /x?k=v");
  std::string uri = "/" + std::string(5000, 'u');
  r_.SetSrcRequest("GET", uri.c_str(), "", "k=v");
  EXPECT_EQ(std::string(r_.GetSrcRequestText()), "GET " + uri + "?k=v");
  r_.Reset();
  EXPECT_EQ(r_.GetSrcRequestText(), nullptr);
}

TEST_F(RequestDataTest, RefusesUseWithoutItsStructures) {
  iisRequestData unbound;
  EXPECT_EQ(ThrownText([&] { unbound.GetSrcURIStem(); }),
            "1000 iisRequestData The HTTP_FILTER_CONTEXT structure must be set prior to "
            "calling this method.");
  EXPECT_EQ(ThrownText([&] { r_.SetSrcExpires("x"); }),
            "1000 iisRequestData The SendResponse structure must be set prior to calling this "
            "method.");
  EXPECT_EQ(ThrownText([&] { r_.SetSrcOutCookie("x"); }),
            "1000 iisRequestData The SendResponse/RawData structure must be set prior to "
            "calling this method.");
  EXPECT_EQ(ThrownText([&] { r_.GetSrcKYRId(); }),
            "1000 iisRequestData Attempted to retrieve uninitialized data.");
  EXPECT_EQ(ThrownText([&] { r_.SetSrcReferrer(nullptr); }),
            "1010 iisRequestData Incorrect usage: Invalid null string.");
}

TEST_F(RequestDataTest, KyrIdIsPresentExactlyWhenItCanBeRead) {
  EXPECT_FALSE(r_.HasSrcKYRId());
  r_.SetSrcKYRId("");  // set, if empty
  EXPECT_TRUE(r_.HasSrcKYRId());
  EXPECT_STREQ(r_.GetSrcKYRId(), "");
  r_.Reset();
  EXPECT_FALSE(r_.HasSrcKYRId());
  EXPECT_EQ(ThrownText([&] { r_.GetSrcKYRId(); }),
            "1000 iisRequestData Attempted to retrieve uninitialized data.");
}

}  // namespace
