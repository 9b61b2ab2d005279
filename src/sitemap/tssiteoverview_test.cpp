#include "sitemap/tssiteoverview.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>

#include "sitemap/tssiteparammap.h"
#include "sitemap/tssiteparams.h"
#include "tests/support/temproot.h"

namespace {

// One-line site maps; digests computed with an independent MD5.
struct OneLine {
  const char* kyrId;
  const char* line;
  const char* digest;
};
const OneLine kA{"kyrA", "kyrA,tA,1", "2B76BAC83EAF74E8AD430145628EE97D"};
const OneLine kB{"kyrB", "kyrB,tB,2", "93D19A7CB37299B0EC5984FC73383E03"};
const OneLine kC{"kyrC", "kyrC,tC,3", "954D10B03995982102DCF3EF83991A12"};
const OneLine kD{"kyrD", "kyrD,tD,4", "28B4501242B9BF581C07E78D154B0AE2"};
const OneLine kE{"kyrE", "kyrE,tE,5", "516D0DFB564C2777C58DA0878A658F9C"};
// "k0,t0,0" to "k149,t149,0".
// "kyrB,tB,2" then "kyrC,tC,3".
const char kBCDigest[] = "D29AE029B6211ABEA701811F7A46D2BE";
const char kManyDigest[] = "5E693E7E0FF4EB0AA80A8FC2FEFF30F9";

std::string SiteMap(const std::string& lines, int lineCount, const std::string& digest) {
  return "#Application: producer\r\n#Fields: kyrid,tagid,timezone\r\n#LineCount: " +
         std::to_string(lineCount) + "\r\n#CheckSum: " + digest + "\r\n" + lines;
}
std::string SiteMap(const OneLine& l) {
  return SiteMap(std::string(l.line) + "\r\n", 1, l.digest);
}

struct Fixture {
  explicit Fixture(bool reloadSame = false, bool checkStatus = true, const std::string& config = "")
      : root(config), overview(map) {
    overview.Init(root.File("smap.txt"), root.File("backup"), checkStatus, reloadSame, 0, 0);
  }
  void Write(const std::string& content) { root.Write("smap.txt", content); }
  bool Found(const char* kyrId) {
    tsSiteParams site;
    return map.Lookup(kyrId, site);
  }
  std::string Audit() { return root.Exists("log/kyr.audit") ? root.Read("log/kyr.audit") : ""; }
  std::string Backup(int n) {
    std::string name = "backup/smap.lst.bak." + std::to_string(n);
    return root.Exists(name) ? root.Read(name) : "";
  }

  TempRoot root;
  tsSiteParamMapController map;
  tsSiteOverview overview;
};

TEST(SiteOverview, LoadsThenRotatesThreeGenerationsNewestFirst) {
  Fixture f(false, true, "[auditlog]\ndebuglevel = 2\n");
  f.Write(SiteMap(kA));
  ASSERT_EQ(f.overview.Load(true, nullptr), 0);
  EXPECT_EQ(Count(f.Audit(), ": Info: tsSiteOverview::Load InitialLoad Started: " +
                                 f.root.File("smap.txt") + "\n"),
            1u);
  tsSiteParams site;
  ASSERT_TRUE(f.map.Lookup("kyrA", site));
  EXPECT_EQ(site.timeZone, "1");
  EXPECT_EQ(f.Backup(1), SiteMap(kA));  // kept for the next start to fall back to

  const OneLine* reloads[] = {&kB, &kC, &kD, &kE};
  for (const OneLine* l : reloads) {
    f.Write(SiteMap(*l));
    ASSERT_EQ(f.overview.Load(false, nullptr), 0) << l->kyrId;
    EXPECT_TRUE(f.Found(l->kyrId));
    EXPECT_FALSE(f.Found("kyrA"));
  }
  EXPECT_EQ(Count(f.Audit(), ": Info: tsSiteOverview::Load  Started: "), 4u);
  EXPECT_EQ(f.Backup(1), SiteMap(kE));
  EXPECT_EQ(f.Backup(2), SiteMap(kD));
  EXPECT_EQ(f.Backup(3), SiteMap(kC));
  EXPECT_FALSE(f.root.Exists("backup/smap.lst"));
}

TEST(SiteOverview, AFileFailingItsChecksOrItsBackupIsNeverSwappedIn) {
  struct Case {
    const char* name;
    std::string content;
    int renameError;
    int32_t result;
    std::string logged;
    bool checkStatus = true;
    int writeError = 0;
  } cases[] = {
      {"one line more than counted",
       SiteMap(std::string(kB.line) + "\r\n" + kC.line + "\r\n", 1, kBCDigest), 0,
       tsSiteMapReader::kWrongLength, "reader.CheckFile Failed: %COPY%: Wrong Length"},
      {"checksum of another file", SiteMap(std::string(kB.line) + "\r\n", 1, kC.digest), 0,
       tsSiteMapReader::kInvalidCheckSum, "reader.CheckFile Failed: %COPY%: Invalid Checksum"},
      {"data before the fields", std::string(kB.line) + "\r\n" + SiteMap(kB), 0,
       tsSiteMapReader::kNoFields, "reader.ScanFile Failed: %COPY%"},
      {"backup rename fails", SiteMap(kB), EACCES, EACCES, "Unable to Backup File:  %FULL%: "},
      {"wrong count, not checked before reading",
       SiteMap(std::string(kB.line) + "\r\n" + kC.line + "\r\n", 1, kBCDigest), 0,
       tsSiteMapReader::kWrongLength, "reader.CheckFile Failed: %COPY%: Wrong Length", false},
      {"copy meets a full disk", SiteMap(kB), 0, ENOSPC, "CopyCurrent Failed: %FULL%", true,
       ENOSPC},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f(false, c.checkStatus);
    f.Write(SiteMap(kA));
    ASSERT_EQ(f.overview.Load(true, nullptr), 0);
    f.Write(c.content);
    f.root.Platform().renameError = c.renameError;
    f.root.Platform().writeError = c.writeError;
    EXPECT_EQ(f.overview.Load(false, nullptr), c.result);
    f.root.Platform().renameError = 0;
    f.root.Platform().writeError = 0;
    EXPECT_TRUE(f.Found("kyrA"));
    EXPECT_FALSE(f.Found("kyrB"));
    EXPECT_EQ(f.Backup(1), SiteMap(kA));
    std::string logged = "Error: tsSiteOverview::Load  " + c.logged;
    for (auto [key, value] :
         {std::pair<std::string, std::string>{"%COPY%", f.root.File("backup/smap.lst")},
          {"%FULL%", f.root.File("smap.txt")}}) {
      size_t at = logged.find(key);
      if (at != std::string::npos)
        logged.replace(at, key.size(), value);
    }
    EXPECT_NE(f.Audit().find(logged), std::string::npos) << f.Audit();
  }
}

TEST(SiteOverview, UnchangedFileIsSwappedAgainOnlyWithReloadSame) {
  for (bool reloadSame : {false, true}) {
    SCOPED_TRACE(reloadSame);
    Fixture f(reloadSame);
    f.Write(SiteMap(kA));
    ASSERT_EQ(f.overview.Load(true, nullptr), 0);
    ASSERT_EQ(f.overview.Load(false, nullptr), 0);
    // The same file stating its checksum in lower case is the same map.
    std::string lower = kA.digest;
    for (char& c : lower)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    f.Write(SiteMap(std::string(kA.line) + "\r\n", 1, lower));
    ASSERT_EQ(f.overview.Load(false, nullptr), 0);
    EXPECT_TRUE(f.Found("kyrA"));
    std::string audit = f.Audit();
    EXPECT_EQ(Count(audit,
                    "Info: tsSiteOverview::Load  IsSameCheckSum: File is the same "
                    "checksum as the current one " +
                        f.root.File("backup/smap.lst")),
              reloadSame ? 0u : 2u);
    EXPECT_EQ(Count(audit, "tsSiteParamMapController::Swap switching"), reloadSame ? 3u : 1u);
    EXPECT_EQ(f.Backup(2) == SiteMap(kA), reloadSame);
  }
}

TEST(SiteOverview, StartUpLoadsAGoodFileThatCannotBeKeptAsBackup) {
  Fixture f;
  f.Write(SiteMap(kA));
  f.root.Platform().renameError = EACCES;
  EXPECT_EQ(f.overview.Load(true, nullptr), 0);
  f.root.Platform().renameError = 0;
  EXPECT_TRUE(f.Found("kyrA"));
  EXPECT_NE(f.Audit().find("Unable to Backup File:  " + f.root.File("smap.txt")),
            std::string::npos);
}

TEST(SiteOverview, MissingSiteMapFailsAndTheNewestBackupLoads) {
  Fixture f;
  EXPECT_EQ(f.overview.Load(true, nullptr), ENOENT);
  f.root.Write("backup/smap.lst.bak.1", SiteMap(kB));
  EXPECT_NE(f.Audit().find("Error: tsSiteOverview::Load InitialLoad CopyCurrent Failed: " +
                           f.root.File("smap.txt")),
            std::string::npos);
  EXPECT_FALSE(f.Found("kyrB"));
  ASSERT_EQ(f.overview.LoadBackup(), 0);
  EXPECT_TRUE(f.Found("kyrB"));
}

TEST(SiteOverview, CancelledLoadLogsAndSwapsNothing) {
  std::string lines;
  for (int i = 0; i < 150; ++i)
    lines += "k" + std::to_string(i) + ",t" + std::to_string(i) + ",0\r\n";
  // With the check off the cancel comes during the read into the standby
  // half, which must not be swapped in half full.
  for (bool checkStatus : {true, false}) {
    SCOPED_TRACE(checkStatus);
    Fixture f(false, checkStatus);
    f.Write(SiteMap(kA));
    ASSERT_EQ(f.overview.Load(true, nullptr), 0);
    f.Write(SiteMap(lines, 150, kManyDigest));
    std::string before = f.Audit();
    EXPECT_EQ(f.overview.Load(false, [] { return true; }), tsSiteMapReader::kCancelled);
    EXPECT_EQ(f.Audit(), before);
    EXPECT_TRUE(f.Found("kyrA"));
    EXPECT_FALSE(f.Found("k0"));
    EXPECT_EQ(f.overview.Load(false, [] { return false; }), 0);
    EXPECT_TRUE(f.Found("k149"));
  }
}

}  // namespace
