#include "sitemap/tssitemapreader.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>

#include "sitemap/tssiteparammap.h"
#include "sitemap/tssiteparams.h"
#include "tests/support/temproot.h"

namespace {

// Digests computed with an independent MD5 implementation.
const std::string kTwoLines = "FB91646E1430D1511E5EBDD97DD37806";    // lines 1 and 2
const std::string kThreeLines = "96003F61731842D1D4CF0D078076CAAC";  // lines 1 to 3
const std::string kBinaryLine = "877A7C212224B96FEBFC0AB4827B876F";  // "a\0b,t\xff"
const std::string kLine1 = "kyr000001,null,-5,1";
const std::string kLine2 = "kyr000002,tag7,0,0";
const std::string kLine3 = "kyr000003,tag8,1,1";

std::string Lower(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string WriteFile(TempRoot& root, const std::string& content) {
  std::string path = root.File("smap.lst");
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  return path;
}

TEST(SiteMapReader, ScanAndCheck) {
  const std::string head =
      "#Application: producer\r\n#Fields: kyrid,tagid,timezone,cookiesenabled\r\n";
  struct Case {
    const char* name;
    std::string content;
    int32_t scan;
    int32_t check;
    std::string digest;  // when scan succeeds
  } cases[] = {
      {"good",
       head + "#LineCount: 2\r\n#CheckSum: " + kTwoLines + "\r\n" + kLine1 + "\r\n" + kLine2 +
           "\r\n",
       0, 0, kTwoLines},
      {"lower-case checksum, LF ends, no final end",
       head + "#LineCount: 2\n#CheckSum: " + Lower(kTwoLines) + "\n" + kLine1 + "\n" + kLine2, 0, 0,
       kTwoLines},
      {"empty lines anywhere",
       "\r\n\n" + head + "\n#LineCount: 2\r\n\r\n#CheckSum: " + kTwoLines + "\n\n" + kLine1 +
           "\r\n\r\n\n" + kLine2 + "\n\n\r\n",
       0, 0, kTwoLines},
      {"one data line more than counted",
       head + "#LineCount: 2\r\n#CheckSum: " + kThreeLines + "\r\n" + kLine1 + "\r\n" + kLine2 +
           "\r\n" + kLine3 + "\r\n",
       0, tsSiteMapReader::kWrongLength, kThreeLines},
      {"checksum of other lines",
       head + "#LineCount: 2\r\n#CheckSum: " + kThreeLines + "\r\n" + kLine1 + "\r\n" + kLine2, 0,
       tsSiteMapReader::kInvalidCheckSum, kTwoLines},
      {"no checksum", head + "#LineCount: 2\r\n" + kLine1 + "\r\n" + kLine2, 0,
       tsSiteMapReader::kNoCheckSum, kTwoLines},
      {"headers only", head + "#LineCount: 0\r\n#CheckSum: " + kTwoLines + "\r\n", 0,
       tsSiteMapReader::kEmptyFile, "D41D8CD98F00B204E9800998ECF8427E"},
      {"data before the fields", "#LineCount: 2\r\n" + kLine1 + "\r\n" + head + kLine2, 4508, 0,
       ""},
      {"fields naming nothing", "#Fields:  \r\n" + kLine1, 4508, 0, ""},
      {"binary junk first", std::string("\0\xff\x01junk\r\n", 9) + head, 4508, 0, ""},
      {"NUL and high bytes in a data line",
       head + "#LineCount: 1\r\n#CheckSum: " + kBinaryLine + "\r\n" + std::string("a\0b,t\xff", 6),
       0, 0, kBinaryLine},
      {"over-long line", head + std::string(tsSiteMapReader::kMaxLineLength + 1, 'x') + "\r\n",
       tsSiteMapReader::kLineTooLong, 0, ""},
      {"longest line allowed, CR LF end",
       head + "#LineCount: 1\r\n#CheckSum: x\r\n" +
           std::string(tsSiteMapReader::kMaxLineLength, 'x') + "\r\n",
       0, tsSiteMapReader::kInvalidCheckSum, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempRoot root;
    tsSiteMapReader reader;
    ASSERT_EQ(reader.Open(WriteFile(root, c.content)), 0);
    EXPECT_EQ(reader.ScanFile(0, nullptr), c.scan);
    if (c.scan != 0)
      continue;
    EXPECT_EQ(reader.CheckFile(true), c.check);
    if (!c.digest.empty()) {
      EXPECT_EQ(reader.Digest(), c.digest);
    }
  }
}

TEST(SiteMapReader, HeaderValuesAndCodes) {
  TempRoot root;
  tsSiteMapReader reader;
  EXPECT_EQ(reader.Open(root.File("missing.lst")), tsSiteMapReader::kCannotOpen);
  ASSERT_EQ(reader.Open(WriteFile(root,
                                  "#Version: 1\n#DATE:2004-05-07 13:04:10\n# checksum :  ab  \n"
                                  "#Version: 2\n#Nothing\n#FileLength: 12\n")),
            0);
  ASSERT_EQ(reader.ScanFile(0, nullptr), 0);
  EXPECT_EQ(reader.Version(), "2");
  EXPECT_EQ(reader.Date(), "2004-05-07 13");
  EXPECT_EQ(reader.CheckSum(), "ab");
  EXPECT_EQ(reader.FileLength(), "12");
  EXPECT_EQ(reader.CheckFile(false), tsSiteMapReader::kEmptyFile);
  EXPECT_EQ(reader.Close(), 0);
  EXPECT_STREQ(tsSiteMapReader::ResultText(4505), "Wrong Length");
  EXPECT_STREQ(tsSiteMapReader::ResultText(4507), "Old Date");
  EXPECT_STREQ(tsSiteMapReader::ResultText(4508), "");
}

TEST(SiteMapReader, ReadFillsOnlyTheStandbyHalf) {
  TempRoot root;
  // The second "tagid" loses to the first; values beyond the columns are
  // ignored.
  std::string file =
      "#Fields: tagid,kyrid,tagid,realtimeid,timezone\n"
      "NULL,kyrA,x,'rt1:decouple',+2\nTag9,nUlL,y\nnull,kyrA,z,'',-3," +
      std::string(200, ',') + "\n";
  tsSiteParamMapController map;
  tsSiteMapReader reader;
  ASSERT_EQ(reader.Open(WriteFile(root, file)), 0);
  ASSERT_EQ(reader.Read(map, 0, nullptr), 0);
  EXPECT_EQ(reader.DataLines(), 3);
  EXPECT_EQ(map.StandbyCheckSum(), reader.Digest());
  tsSiteParams site;
  EXPECT_FALSE(map.Lookup("kyrA", site));  // not swapped in yet
  map.Swap(0);
  ASSERT_TRUE(map.Lookup("kyrA", site));
  EXPECT_EQ(site.timeZone, "-3");  // the later line wins
  EXPECT_EQ(site.realTimeIds, std::vector<std::string>{"''"});
  EXPECT_EQ(site.tagId, "");
  EXPECT_EQ(map.ActiveCheckSum(), reader.Digest());

  // 31 names: the 31st column (the KYR ID) is never read; with 30 it is.
  for (int names : {31, 30}) {
    std::string fields = "#Fields: ", values;
    for (int i = 1; i < names - 1; ++i) {
      fields += "f" + std::to_string(i) + ",";
      values += "x,";
    }
    ASSERT_EQ(reader.Open(WriteFile(root, fields + "tagid,kyrid\n" + values + "T1,K1\n")), 0);
    ASSERT_EQ(reader.Read(map, 0, nullptr), 0);
    map.Swap(0);
    EXPECT_EQ(map.Lookup("K1", site), names == 30) << names;
  }
}

TEST(SiteMapReader, StatedLineCountOnlySizesTheIndexes) {
  // A count far beyond what the file can hold sizes nothing beyond the
  // file; the read fills the map and the check reports the count. The
  // later "kyrA" replaces the earlier one, which its tag id still names.
  TempRoot root;
  tsSiteParamMapController map;
  tsSiteMapReader reader;
  ASSERT_EQ(reader.Open(WriteFile(root,
                                  "#Fields: kyrid,tagid,timezone\n#LineCount: 999999999999999999\n"
                                  "#CheckSum: x\nkyrA,tA,1\nkyrB,tB,2\nkyrA,tC,3\n")),
            0);
  ASSERT_EQ(reader.Read(map, 0, nullptr), 0);
  EXPECT_EQ(reader.CheckFile(false), tsSiteMapReader::kWrongLength);
  map.Swap(0);
  tsSiteParams a, b;
  ASSERT_TRUE(map.Lookup("kyrA", a));
  EXPECT_EQ(std::string(a.tagId) + std::string(a.timeZone), "tC3");
  ASSERT_TRUE(map.Lookup("kyrB", b));
  EXPECT_EQ(std::string(b.tagId) + std::string(b.timeZone), "tB2");
}

TEST(SiteMapReader, SleepsAndCancelsEveryHundred) {
  TempRoot root;
  std::string file = "#Fields: kyrid\n";
  for (int i = 0; i < 250; ++i)
    file += "k" + std::to_string(i) + "\n";
  tsSiteParamMapController map;
  tsSiteMapReader reader;
  ASSERT_EQ(reader.Open(WriteFile(root, file)), 0);
  root.Platform().sleptMs = 0;
  ASSERT_EQ(reader.Read(map, 7, [] { return false; }), 0);
  EXPECT_EQ(root.Platform().sleptMs, 14u);  // after records 100 and 200
  int asked = 0;
  EXPECT_EQ(reader.ScanFile(0, [&] { return ++asked == 2; }), tsSiteMapReader::kCancelled);
  EXPECT_EQ(asked, 2);
}

}  // namespace
