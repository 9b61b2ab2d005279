// The log line and header byte for byte, the file key, and the routing of
// WriteLogRecord.

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "logout/lfmlogfilecontrollerpool.h"
#include "logout/lfmlogrecord.h"
#include "sitemap/tssiteparams.h"
#include "tests/support/fakerequest.h"
#include "tests/support/temproot.h"
#include "util/lfmclock.h"

namespace {

const std::string kId30 = "123456789012345678901234567890";

const char kFieldsAll[] =
    "#Fields: date time c-ip cs-username cs-host cs-method cs-uri-stem cs-uri-query sc-status "
    "sc-bytes cs-version cs(User-Agent) cs(Cookie) cs(Referer)";

void FillExample(FakeRequest& r, bool withKyrId = true) {
  r.Set("ClientIP", "192.0.2.7")
      .Set("UserName", "-")
      .Set("ServerIP", "192.0.2.1")
      .Set("Method", "GET")
      .Set("URIStem", "/kyr.gif")
      .Set("URIQuery", "a=1")
      .Set("Protocol", "HTTP/1.1")
      .Set("UserAgent", "Mozilla/4.0 (compatible; MSIE 6.0)")
      .Set("Referrer", "-");
  if (withKyrId)
    r.Set("KYRId", kId30);
  r.SetSrcDate(UtcTime(2004, 5, 7, 13, 45, 10));
}

// Counts the reads of a KYR ID that is not there, each of which throws.
class KyrIdReadCounter : public FakeRequest {
 public:
  const char* GetSrcKYRId() override {
    if (!HasSrcKYRId())
      ++absentReads;
    return FakeRequest::GetSrcKYRId();
  }
  int absentReads = 0;
};

std::string Line(FakeRequest& r) {
  std::string line;
  lfmLogRecord::FormatLine(line, r.GetSrcDate(), r, true);
  return line;
}

class LogRecordTest : public ::testing::Test {
 protected:
  ~LogRecordTest() override { lfmClock::ReleaseForTest(); }
};

TEST_F(LogRecordTest, HeaderAndLineOfTheWorkedExample) {
  TempRoot root("[logserver]\nhostedmodel = true\n");
  lfmClock::SetSecondsForTest(UtcTime(2004, 5, 7, 9, 0, 2));
  EXPECT_EQ(lfmLogRecord::BuildLogHeader(),
            std::string("#Software: Vantorell Tallyspring Data Collector V7.0\r\n#Version: 1.0\r\n"
                        "#Date: 2004-05-07 09:00:02\r\n") +
                kFieldsAll + " kyr-id \r\n");
  FakeRequest r;
  FillExample(r);
  EXPECT_EQ(Line(r),
            "2004-05-07 13:45:10 192.0.2.7 - 192.0.2.1 GET /kyr.gif a=1 200 - HTTP/1.1 "
            "Mozilla/4.0+(compatible;+MSIE+6.0) - - " +
                kId30 + "\r\n");
}

TEST_F(LogRecordTest, EveryValueStandsUnderItsOwnColumnName) {
  TempRoot root("[logserver]\nhostedmodel = true\n");
  FakeRequest r;
  r.Set("ClientIP", "ip")
      .Set("UserName", "user")
      .Set("ServerIP", "host")
      .Set("Method", "method")
      .Set("URIStem", "stem")
      .Set("URIQuery", "query")
      .Set("Protocol", "version")
      .Set("UserAgent", "agent")
      .Set("InCookie", "cookie")
      .Set("Referrer", "referer")
      .Set("KYRId", kId30);
  r.SetSrcStatus(404);
  r.SetSrcBytes(77);
  r.SetSrcDate(UtcTime(2004, 5, 7, 13, 45, 10));
  std::string header = lfmLogRecord::BuildLogHeader();
  size_t fields = header.find("#Fields: ") + 9;
  std::istringstream names(header.substr(fields, header.find("\r\n", fields) - fields));
  std::istringstream values(Line(r));
  std::map<std::string, std::string> line;
  std::string name, value;
  while (names >> name && values >> value)
    line[name] = value;
  EXPECT_EQ(line, (std::map<std::string, std::string>{{"date", "2004-05-07"},
                                                      {"time", "13:45:10"},
                                                      {"c-ip", "ip"},
                                                      {"cs-username", "user"},
                                                      {"cs-host", "host"},
                                                      {"cs-method", "method"},
                                                      {"cs-uri-stem", "stem"},
                                                      {"cs-uri-query", "query"},
                                                      {"sc-status", "404"},
                                                      {"sc-bytes", "77"},
                                                      {"cs-version", "version"},
                                                      {"cs(User-Agent)", "agent"},
                                                      {"cs(Cookie)", "cookie"},
                                                      {"cs(Referer)", "referer"},
                                                      {"kyr-id", kId30}}));
}

TEST_F(LogRecordTest, ColumnsFollowTheirSwitchesAndNoKyrIdOutsideTheHostedModel) {
  {
    TempRoot root;
    EXPECT_NE(lfmLogRecord::BuildLogHeader().find(std::string(kFieldsAll) + " \r\n"),
              std::string::npos);
    FakeRequest r;
    FillExample(r);
    EXPECT_EQ(Line(r).find(kId30), std::string::npos);
  }
  {
    TempRoot root(
        "[logfields]\nlogdate = false\nlogtime = false\nlogclientip = false\nlogusername = "
        "false\nlogserverip = false\nlogmethod = false\nloguristem = false\nloguriquery = "
        "false\nloghttpstatus = false\nlogBytessent = false\nlogprotocolversion = false\n"
        "loguseragent = false\nlogcookie = false\nlogreferer = false\n");
    EXPECT_NE(lfmLogRecord::BuildLogHeader().find("#Fields: \r\n"), std::string::npos);
    FakeRequest r;
    FillExample(r);
    EXPECT_EQ(Line(r), "\r\n");
  }
  {
    TempRoot root("[logfields]\nlogdate = false\nloguristem = false\nlogBytessent = false\n");
    FakeRequest r;
    FillExample(r);
    EXPECT_EQ(Line(r).substr(0, 40), "13:45:10 192.0.2.7 - 192.0.2.1 GET a=1 2");
  }
}

TEST_F(LogRecordTest, FieldValuesNeverBreakTheLine) {
  TempRoot root(
      "[logfields]\nlogdate = false\nlogtime = false\nlogclientip = false\nlogusername = false\n"
      "logserverip = false\nlogmethod = false\nloguristem = false\nloguriquery = false\n"
      "logprotocolversion = false\nlogreferer = false\n");
  struct Case {
    const char* agent;
    const char* cookie;  // null: no cookie header
    long status;
    uint32_t bytes;
    const char* expected;
  } cases[] = {
      {"   ", nullptr, 200, 0, "200 - - -\r\n"},
      {"\t a b", "-", 0, 512, "0 512 ++a+b -\r\n"},
      {"x", "ZR_VT=1; ZR_VT_S=2; ZR_VT_D=3", -1, 7, "-1 7 x -\r\n"},
      {"x", "a=1; ZR_VT=2; b=3", 200, 0, "200 - x a=1;+b=3\r\n"},
      {"x", "a=1; ZR_VT_D=3", 200, 0, "200 - x a=1\r\n"},
      {"x", "ZR_VT_S=2;a=1", 200, 0, "200 - x a=1\r\n"},
      {"x", "MYZR_VT=1; ZR_VTX=2", 200, 0, "200 - x MYZR_VT=1;+ZR_VTX=2\r\n"},
      // A name that first occurs inside another name or a value, and then
      // as a pair's whole name (blanks around it, no value, no blank).
      {"x", "ZR_VTX=1;ZR_VT=2", 200, 0, "200 - x ZR_VTX=1\r\n"},
      {"x", "v=ZR_VT; ZR_VT =2; b=3", 200, 0, "200 - x v=ZR_VT;+b=3\r\n"},
      {"x", "ZR_VT_S=1;\tZR_VT", 200, 0, "200 - x -\r\n"},
      // Several pairs removed, a name twice, blanks before the last pair's
      // ";": no ";" is left behind.
      {"x", "a=1;  ZR_VT_S=1; ZR_VT_S=2", 200, 0, "200 - x a=1\r\n"},
      {"x", "a=1 ; ZR_VT_S=1; ZR_VT_D=2", 200, 0, "200 - x a=1\r\n"},
      {"x", "ZR_VT_D=1; a=1;  ZR_VT=2; b=2", 200, 0, "200 - x a=1;++b=2\r\n"},
      {"x", "a=ZR_VT_D;ZR_VT_Dx=1; ZR_VT_D", 200, 0, "200 - x a=ZR_VT_D;ZR_VT_Dx=1\r\n"},
      {"evil\r\nline", "c=\r\n", 200, 0, "200 - evil++line c=++\r\n"},
      // Long values are scanned in words: a stop in any byte position of a
      // word is found; bytes above 0x7F are kept.
      {"abcdefg\x7f"
       "abcdefgh\x01"
       "abcdef\xc3\xa9"
       "12345678\x1f",
       nullptr, 200, 0,
       "200 - abcdefg+abcdefgh+abcdef\xc3\xa9"
       "12345678+ -\r\n"},
      {"01234567 89abcdef\t", nullptr, 200, 0, "200 - 01234567+89abcdef+ -\r\n"},
  };
  for (const Case& c : cases) {
    FakeRequest r;
    r.Set("UserAgent", c.agent);
    if (c.cookie)
      r.Set("InCookie", c.cookie);
    r.SetSrcStatus(c.status);
    r.SetSrcBytes(c.bytes);
    EXPECT_EQ(Line(r), c.expected) << c.agent;
  }
  // Absent values read "-", never an empty column.
  FakeRequest empty;
  EXPECT_EQ(Line(empty), "200 - - -\r\n");
  // Every length up to two vectors and a word, with stops (two at once, a
  // DEL) at every position, the last vector included, beside the bytes
  // next to the stops' ranges ("!", "~", 0x80 and above), which stay.
  auto reference = [](const std::string& v) {
    std::string out;
    for (char ch : v) {
      unsigned char u = static_cast<unsigned char>(ch);
      out += (u <= 0x20 || u == 0x7F) ? '+' : ch;
    }
    return out;
  };
  const char kNeighbours[] = {'\xC3', '!', '~', '\x80'};
  for (size_t length = 1; length <= 40; ++length) {
    for (size_t at = 0; at < length; ++at) {
      std::string agent(length, 'a');
      for (size_t k = 0; k < length; ++k)
        agent[k] = k % 3 == 0 ? kNeighbours[k / 3 % 4] : static_cast<char>('a' + k % 26);
      agent[0] = 'x';  // not all blanks
      agent[at] = at % 2 ? ' ' : '\x7f';
      if (at + 3 < length)
        agent[at + 3] = '\x01';
      FakeRequest r;
      r.Set("UserAgent", agent.c_str());
      EXPECT_EQ(Line(r), "200 - " + reference(agent) + " -\r\n") << length << " " << at;
    }
  }
}

TEST_F(LogRecordTest, ConfiguredTrackingCookieNamesAreRemovedToo) {
  TempRoot root(
      "[logfields]\nlogdate = false\nlogtime = false\nlogclientip = false\nlogusername = false\n"
      "logserverip = false\nlogmethod = false\nloguristem = false\nloguriquery = false\n"
      "logprotocolversion = false\nlogreferer = false\nloguseragent = false\n"
      "[servicemodel]\ntrackvisitorssessioncookiename = SESS\n");
  FakeRequest r;
  r.Set("InCookie", "a=1; SESS=2; b=3");
  EXPECT_EQ(Line(r), "200 - a=1;+b=3\r\n");
}

TEST_F(LogRecordTest, FileKeyByModel) {
  struct Case {
    const char* config;
    const char* id;  // null: no KYR ID set
    bool found;
    int32_t latency;
    const char* key;
  } cases[] = {
      {"", "abc", false, 2, "NonHosted"},
      {"[logserver]\nhostedmodel = true\n", "12345678901234", false, 2, "12345678901234"},
      {"[logserver]\nhostedmodel = true\n", "1234567890123", false, 2, ""},
      {"[logserver]\nhostedmodel = true\n", nullptr, false, 2, ""},
      {"[logserver]\nhostedmodel = true\n[servicemodel]\nservicemodel = true\n", "12345678901234",
       false, 1, "StandardLag"},
      {"[logserver]\nhostedmodel = true\n[servicemodel]\nservicemodel = true\nsitemapenabled = "
       "true\n",
       "12345678901234", true, 2, "StandardLag"},
      {"[logserver]\nhostedmodel = true\n[servicemodel]\nservicemodel = true\nsitemapenabled = "
       "true\n",
       "12345678901234", true, 1, "12345678901234"},
  };
  for (const Case& c : cases) {
    TempRoot root(c.config);
    FakeRequest r;
    if (c.id)
      r.Set("KYRId", c.id);
    tsSiteParams site;
    site.found = c.found;
    site.latencyClass = c.latency;
    std::string key = "stale";
    lfmLogRecord::BuildFileKey(r, key, site);
    EXPECT_EQ(key, c.key) << c.config << c.id;
  }
}

TEST_F(LogRecordTest, RoutedHitsGoToTheirLatencyStreamsAndRealTimeCopies) {
  TempRoot root(
      "[logrotation]\ngmtrotation = true\n[logserver]\nhostedmodel = true\n"
      "[servicemodel]\nservicemodel = true\nsitemapenabled = true\n");
  const time_t t = UtcTime(2004, 5, 7, 13, 45, 10);
  lfmClock::SetSecondsForTest(t);
  lfmLogFileControllerPool::Initialize(10, "#H\r\n");
  FakeRequest r;
  FillExample(r);
  tsSiteParams site;
  site.found = true;
  site.latencyClass = 1;
  site.SetRealTimeIds("decouple:RT1:RT2");
  time_t written = 0;
  EXPECT_TRUE(lfmLogRecord::WriteLogRecord(r, site, &written));
  EXPECT_EQ(written, t);
  lfmLogFileControllerPool::ShutDown();
  // Decoupled: nothing in the site's own short-lag stream.
  EXPECT_TRUE(ListDir(root.File("shortlag")).empty());
  std::vector<std::string> rt = ListDir(root.File("realtime"));
  ASSERT_EQ(rt, (std::vector<std::string>{"RT1-kyr-2004-05-07-13-04510-testhost.log",
                                          "RT2-kyr-2004-05-07-13-04510-testhost.log"}));
  std::string text = root.Read("realtime/" + rt[0]);
  EXPECT_EQ(text, "#Remark: KYR-p\r\n#H\r\n" + Line(r));

  // Without "decouple" the site's own stream gets the line as well.
  lfmLogFileControllerPool::Initialize(10, "#H\r\n");
  site.SetRealTimeIds("RT1");
  lfmLogRecord::WriteLogRecord(r, site);
  lfmLogFileControllerPool::ShutDown();
  EXPECT_EQ(ListDir(root.File("shortlag")),
            std::vector<std::string>{kId30 + "-kyr-2004-05-07-13-04510-testhost.log"});
}

TEST_F(LogRecordTest, StandardLagWritesOfTheServiceModelShareOneFile) {
  TempRoot root(
      "[logrotation]\ngmtrotation = true\nlogfiledir = %zr_root%\\weblog\\\n"
      "[logserver]\nhostedmodel = true\n"
      "[servicemodel]\nservicemodel = true\nsitemapenabled = true\n");
  lfmClock::SetSecondsForTest(UtcTime(2004, 5, 7, 13, 45, 10));
  lfmLogFileControllerPool::Initialize(10, "#H\r\n");
  tsSiteParams listed;
  listed.found = true;    // standard lag: key "StandardLag"
  tsSiteParams unlisted;  // key: its KYR ID, but the same file name
  for (const char* id : {"AAAAAAAAAAAAAA", "BBBBBBBBBBBBBB"}) {
    FakeRequest r;
    FillExample(r);
    r.Set("KYRId", id);
    lfmLogRecord::WriteLogRecord(r, listed);
    lfmLogRecord::WriteLogRecord(r, unlisted);
  }
  lfmLogFileControllerPool::ShutDown();
  std::vector<std::string> files = ListDir(root.File("weblog"));
  ASSERT_EQ(files, std::vector<std::string>{"kyr-2004-05-07-13-04510-testhost.log"});
  std::string text = root.Read("weblog/" + files[0]);
  EXPECT_EQ(Count(text, "#Remark"), 1u);
  EXPECT_EQ(Count(text, "AAAAAAAAAAAAAA\r\n"), 2u);
  EXPECT_EQ(Count(text, "BBBBBBBBBBBBBB\r\n"), 2u);
}

TEST_F(LogRecordTest, HitWithoutKyrIdIsLoggedWithoutAnExceptionOnItsWay) {
  TempRoot root(
      "[logrotation]\nlogfiledir = %zr_root%\\weblog\\\n[logserver]\nhostedmodel = true\n");
  lfmClock::SetSecondsForTest(UtcTime(2004, 5, 7, 13, 45, 10));
  lfmLogFileControllerPool::Initialize(10, "#H\r\n");
  KyrIdReadCounter r;
  FillExample(r, false);
  EXPECT_TRUE(lfmLogRecord::WriteLogRecord(r, tsSiteParams()));
  lfmLogFileControllerPool::ShutDown();
  // The kyr-id column reads "-"; the empty file key still selects a file.
  const std::string line =
      "2004-05-07 13:45:10 192.0.2.7 - 192.0.2.1 GET /kyr.gif a=1 200 - HTTP/1.1 "
      "Mozilla/4.0+(compatible;+MSIE+6.0) - - -\r\n";
  EXPECT_EQ(Line(r), line);
  std::vector<std::string> files = ListDir(root.File("weblog"));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(Count(root.Read("weblog/" + files[0]), line), 1u);
  EXPECT_EQ(r.absentReads, 0);
}

TEST_F(LogRecordTest, LongLineIsWrittenWholeAndFailuresAreReportedAndThrown) {
  TempRoot root("[logrotation]\nlogfiledir = %zr_root%\\weblog\\\n");
  lfmLogFileControllerPool::Initialize(10, "#H\r\n");
  FakeRequest r;
  FillExample(r);
  std::string query(20000, 'q');
  r.Set("URIQuery", query);
  EXPECT_TRUE(lfmLogRecord::WriteLogRecord(r, tsSiteParams()));
  lfmLogFileControllerPool::ShutDown();
  std::vector<std::string> files = ListDir(root.File("weblog"));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(Count(root.Read("weblog/" + files[0]), " " + query + " 200 "), 1u);

  // Not initialised: the failure is reported under WriteLogRecord and thrown on.
  EXPECT_NE(ThrownText([&] { lfmLogRecord::WriteLogRecord(r, tsSiteParams()); }), "no exception");
  EXPECT_NE(root.Read("log/kyr.audit").find("WriteLogRecord"), std::string::npos);
}

}  // namespace
