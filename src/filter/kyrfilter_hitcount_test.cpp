// Hit counting driven through the exported entry points: which requests the
// filter counts as logged hits (per site, by the key its line went to) and
// which as requests only, and that the last interval is written when the
// filter ends.

#include <map>

#include "tests/support/filterfixture.h"

namespace {

const std::string kA = "kyraaaaaaaaaaaaaaaaaaaaaa_7k8y";
const std::string kB = "kyrbbbbbbbbbbbbbbbbbbbbbb_8p4c";
// A standard lag, B short lag; checksum computed with an independent MD5.
const std::string kSiteMap =
    "#Fields: kyrid,tagid,schedulepriority\r\n#LineCount: 2\r\n"
    "#CheckSum: 5B895E056399842C85F279ABA4A6E722\r\n" +
    kA + ",tA,0\r\n" + kB + ",tB,1\r\n";

// Raw counts by id over every data line of every hit-count file in `dir`.
std::map<std::string, long> CountsById(const std::string& dir, size_t* files) {
  std::map<std::string, long> counts;
  *files = 0;
  for (const std::string& f : ListDir(dir)) {
    if (f.size() < 5 || f.substr(f.size() - 5) != ".hclf")
      continue;
    ++*files;
    std::string text = ReadFileText(dir + "/" + f);
    EXPECT_EQ(text.rfind("#entry,flush-time,interval-time,id,raw-count,", 0), 0u) << f;
    for (const std::string& line : DataLines(text)) {
      std::vector<std::string> cells;
      size_t start = 0;
      for (size_t comma; (comma = line.find(',', start)) != std::string::npos; start = comma + 1)
        cells.push_back(line.substr(start, comma - start));
      cells.push_back(line.substr(start));
      EXPECT_EQ(cells.size(), 11u) << line;
      if (cells.size() == 11)
        counts[cells[3]] += std::stol(cells[4]);
    }
  }
  return counts;
}

TEST_F(FilterTest, CountsLoggedHitsBySiteAndOtherRequestsAndWritesThemAtTheEnd) {
  struct Case {
    const char* what;
    std::string logserver;
    std::string more;
    bool siteMap;
    std::map<std::string, long> expected;
  };
  const std::string count = "trackhitcount = true\ntrackfirsttimecookies = false\n";
  const Case cases[] = {
      {"not hosted", count, "", false, {{"0", 5}, {"1000000", 7}}},
      {"hosted",
       count + "hostedmodel = true\n",
       "",
       false,
       {{kA, 3}, {kB, 2}, {"0", 5}, {"1000000", 7}}},
      // A routed hit counts under the key its line went to: the shared
      // standard-lag stream for A, B's own short-lag stream.
      {"hosted service model with a site map",
       count + "hostedmodel = true\n",
       "[servicemodel]\nservicemodel = true\nsitemapenabled = true\n",
       true,
       {{"StandardLag", 3}, {kB, 2}, {"0", 5}, {"1000000", 7}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    lfmClock::SetSecondsForTest(UtcTime(2004, 5, 7, 13, 45, 10));
    NewRoot(FilterConfig(c.logserver, c.more));
    if (c.siteMap)
      root_->Write("cfg/vantorellsites.lst", kSiteMap);
    HTTP_FILTER_VERSION v{};
    ASSERT_EQ(GetFilterVersion(&v), TRUE);
    started_ = true;
    for (int i = 0; i < 5; ++i) {
      const std::string& id = i < 3 ? kA : kB;
      FakeIIS::Get("/" + id + "/kyr.gif", "kyruri=/p" + std::to_string(i))->Run();
    }
    for (int i = 0; i < 5; ++i)
      FakeIIS::Get("/page" + std::to_string(i) + ".htm")->Run();
    // Tag requests refused: no page URI, a truncated URL.
    FakeIIS::Get("/" + kA + "/kyr.gif", "kyrqry=no-uri")->Run();
    FakeIIS::Get("/" + kA + "/kyr.gif", "kyruri=/p&ZR.tu=1")->Run();
    TerminateFilter(0);
    started_ = false;
    size_t files = 0;
    EXPECT_EQ(CountsById(root_->File("log"), &files), c.expected);
    EXPECT_EQ(files, 1u);
  }
}

}  // namespace
