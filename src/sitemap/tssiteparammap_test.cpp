#include "sitemap/tssiteparammap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "sitemap/tssiteparams.h"
#include "tests/support/temproot.h"

namespace {

using R = tsSiteParamRecord;

R Record(std::initializer_list<std::pair<R::Column, std::string>> values) {
  R r;
  for (const auto& v : values)
    EXPECT_EQ(r.Set(v.first, v.second), 0);
  return r;
}

// Enough records to grow both indexes several times; keys that are
// prefixes of each other; later records replacing earlier ones in one
// index but not the other; a record known by its tag id only.
TEST(SiteParamMap, HalfFindsEveryKeyAcrossGrowthAndReplacement) {
  tsSiteParamMap half;
  const int kSites = 5000;
  for (int i = 0; i < kSites; ++i)
    ASSERT_EQ(half.Insert(Record({{R::kKyrId, "k" + std::to_string(i)},
                                  {R::kTagId, "t" + std::to_string(i)},
                                  {R::kTimeZone, std::to_string(i % 24)}})),
              0);
  // k7 moves to a new tag; t8 moves to a new KYR ID.
  ASSERT_EQ(half.Insert(Record({{R::kKyrId, "k7"}, {R::kTagId, "t7b"}, {R::kTimeZone, "x"}})), 0);
  ASSERT_EQ(half.Insert(Record({{R::kKyrId, "k8b"}, {R::kTagId, "t8"}})), 0);
  ASSERT_EQ(half.Insert(Record({{R::kTagId, "tagonly"}})), 0);
  // A damaged value holding a NUL stands for no site, not for "k1".
  ASSERT_EQ(half.Insert(Record({{R::kKyrId, std::string("k1\0x", 4)}, {R::kTagId, "tnul"}})), 0);
  half.FinishInserts();
  EXPECT_EQ(half.Size(), static_cast<size_t>(kSites + 1));
  tsSiteParamView nul(nullptr);
  ASSERT_TRUE(half.FindTag("tnul", &nul));
  EXPECT_EQ(nul.Get(R::kKyrId), "");
  tsSiteParamView v(nullptr);
  for (int i = 0; i < kSites; ++i) {
    ASSERT_TRUE(half.Find("k" + std::to_string(i), &v)) << i;
    EXPECT_EQ(v.Get(R::kTimeZone), i == 7 ? "x" : std::to_string(i % 24)) << i;
    ASSERT_TRUE(half.FindTag("t" + std::to_string(i), &v)) << i;
    if (i != 7 && i != 8) {
      EXPECT_EQ(v.Get(R::kKyrId), "k" + std::to_string(i)) << i;
    }
  }
  EXPECT_TRUE(half.FindTag("t8", &v));
  EXPECT_EQ(v.Get(R::kKyrId), "k8b");
  EXPECT_TRUE(half.FindTag("t7b", &v));
  EXPECT_EQ(v.Get(R::kKyrId), "k7");
  EXPECT_TRUE(half.FindTag("tagonly", &v));
  EXPECT_EQ(v.Get(R::kKyrId), "");
  for (std::string_view missing : {"", "k", "k5000", "k00", "t", "tagonl", "tagonlyx"}) {
    EXPECT_FALSE(half.Find(missing, &v)) << missing;
    if (missing.substr(0, 1) == "t") {
      EXPECT_FALSE(half.FindTag(missing, &v)) << missing;
    }
  }
}

// Columns about as long as a stored length byte can tell, and beyond: each
// one, and the short column after it, reads back whole.
TEST(SiteParamMap, LongColumnsReadBackWhole) {
  tsSiteParamMap half;
  const size_t kLong[] = {254, 255, 256, 1000};
  for (size_t n : kLong)
    ASSERT_EQ(half.Insert(Record({{R::kKyrId, std::string(n, 'K')},
                                  {R::kTagId, std::string(n + 1, 'T')},
                                  {R::kTimeZone, std::to_string(n)}})),
              0);
  half.FinishInserts();
  for (size_t n : kLong) {
    tsSiteParamView found(nullptr);
    ASSERT_TRUE(half.Find(std::string(n, 'K'), &found)) << n;
    std::string_view columns[R::kColumnCount];
    found.Columns(columns);
    EXPECT_EQ(columns[R::kTagId], std::string(n + 1, 'T')) << n;
    EXPECT_EQ(columns[R::kTimeZone], std::to_string(n)) << n;
    EXPECT_EQ(found.Get(R::kTimeZone), std::to_string(n)) << n;
    EXPECT_FALSE(half.Find(std::string(n - 1, 'K') + 'L', &found)) << n;
  }
}

TEST(SiteParamMap, InsertRulesAndLookupFields) {
  TempRoot root;
  tsSiteParamMapController map;
  tsSiteParams site;
  EXPECT_FALSE(map.Lookup("kyr1", site));  // before the first load
  {
    tsSiteParamMapController::Fill fill(map);
    EXPECT_EQ(fill.Insert(Record({{R::kKyrId, "kyr1"}, {R::kTimeZone, "1"}})), 0);
    EXPECT_EQ(fill.Insert(Record({{R::kKyrId, "kyr1"},
                                  {R::kTagId, "NuLL"},
                                  {R::kFirstWeekDay, "3"},
                                  {R::kSchedulePriority, "5"},
                                  {R::kRealTimeId, "'rt1:decouple'"},
                                  {R::kTimeZone, "-5"},
                                  {R::kCookiesEnabled, "1"},
                                  {R::kVisitorSessionLength, "45"}})),
              0);
    EXPECT_EQ(fill.Insert(Record({{R::kKyrId, "null"}, {R::kTagId, "NULL"}})), 0);  // skipped
    EXPECT_EQ(fill.Insert(Record({{R::kKyrId, "kyr2"},
                                  {R::kFirstWeekDay, "Mon"},
                                  {R::kSchedulePriority, "0"},
                                  {R::kRealTimeId, "''"},
                                  {R::kVisitorSessionLength, "0"}})),
              0);
    fill.SetCheckSum("ABC");
  }
  EXPECT_FALSE(map.Lookup("kyr1", site));  // still standby
  EXPECT_EQ(map.StandbyCheckSum(), "ABC");
  EXPECT_TRUE(map.Swap(0));
  EXPECT_TRUE(map.IsSameCheckSum("ABC"));
  EXPECT_FALSE(map.IsSameCheckSum("abc"));
  EXPECT_FALSE(map.IsSameCheckSum("AB"));

  ASSERT_TRUE(map.Lookup("kyr1", site));
  EXPECT_TRUE(site.found);
  EXPECT_EQ(site.tagId, "");
  EXPECT_EQ(site.firstWeekDay, 3);
  EXPECT_EQ(site.latencyClass, kLatencyShortLag);
  EXPECT_EQ(site.realTimeIds, std::vector<std::string>{"rt1"});
  EXPECT_TRUE(site.decouple);
  EXPECT_EQ(site.timeZone, "-5");
  EXPECT_EQ(site.cookiesEnabled, "1");
  EXPECT_EQ(site.visitorSessionLength, 45);

  tsSiteParams other;
  ASSERT_TRUE(map.Lookup("kyr2", other));
  EXPECT_EQ(other.firstWeekDay, 0);
  EXPECT_EQ(other.latencyClass, kLatencyStandardLag);
  EXPECT_EQ(other.realTimeIds, std::vector<std::string>{"''"});
  EXPECT_EQ(other.visitorSessionLength, 30);
  EXPECT_FALSE(map.Lookup("KYR2", other));  // keys are exact
}

TEST(SiteParamMap, MembershipTest) {
  TempRoot root;
  tsSiteParamMapController map, empty;
  {
    tsSiteParamMapController::Fill fill(map);
    fill.Insert(Record({{R::kKyrId, "kyr1"}, {R::kTimeZone, "2"}}));
  }
  map.Swap(0);
  tsSiteParams site;
  EXPECT_FALSE(site.IsListed("kyr9", map));
  EXPECT_FALSE(site.found);
  EXPECT_TRUE(site.IsListed("kyr1", map));
  EXPECT_EQ(site.timeZone, "2");
  EXPECT_TRUE(site.IsListed("kyr1", empty));  // answered by the filled record
  site.kyrId = {};
  EXPECT_FALSE(site.IsListed("kyr1", map));
}

// Lookups run while generation after generation is filled and swapped in:
// each lookup sees one whole generation, never older than one it saw
// before, and never a half being filled or emptied.
void LookupsDuringReloads(int32_t lockModel) {
  TempRoot root;
  tsSiteParamMapController map;
  constexpr int kSites = 20;
  constexpr int kGenerations = 1000;
  auto fillGeneration = [&](int g) {
    tsSiteParamMapController::Fill fill(map);
    for (int s = 0; s < kSites; ++s)
      fill.Insert(Record({{R::kKyrId, "kyr" + std::to_string(s)},
                          {R::kTagId, "t" + std::to_string(g)},
                          {R::kTimeZone, std::to_string(g)}}));
    fill.SetCheckSum(std::to_string(g));
  };
  fillGeneration(0);
  map.Swap(lockModel);
  EXPECT_EQ(map.LockFree(), lockModel != 0);

  std::atomic<bool> done{false};
  std::atomic<int> faults{0};
  std::atomic<int> lookups{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t)
    readers.emplace_back([&, t] {
      int seen = 0;
      // A record's texts stay readable after its half was swapped out (the
      // record holds it): the previous lookup's is checked again.
      tsSiteParams previous;
      auto whole = [](const tsSiteParams& site) {
        return std::string(site.tagId) == "t" + std::string(site.timeZone);
      };
      for (int i = t; !done.load(); ++i) {
        tsSiteParams site;
        bool found = map.Lookup("kyr" + std::to_string(i % kSites), site);
        ++lookups;
        if (!found) {
          ++faults;
          continue;
        }
        int g = std::stoi(std::string(site.timeZone));
        if (!whole(site) || g < seen || (previous.found && !whole(previous)))
          ++faults;
        seen = g;
        previous = std::move(site);
      }
    });
  for (int g = 1; g <= kGenerations; ++g) {
    // Let the readers through every few swaps, but mostly swap as fast as
    // possible so that fills overlap lookups still on the half before.
    if (g % 50 == 1)
      for (int before = lookups.load(); lookups.load() < before + 20;)
        std::this_thread::yield();
    fillGeneration(g);
    map.Swap(lockModel);
  }
  done = true;
  for (std::thread& r : readers)
    r.join();
  EXPECT_EQ(faults.load(), 0);
  tsSiteParams site;
  ASSERT_TRUE(map.Lookup("kyr3", site));
  EXPECT_EQ(site.timeZone, std::to_string(kGenerations));
  EXPECT_EQ(map.ActiveCheckSum(), std::to_string(kGenerations));
}

TEST(SiteParamMap, LookupsDuringReloadLocked) {
  LookupsDuringReloads(0);
}
TEST(SiteParamMap, LookupsDuringReloadLockFree) {
  LookupsDuringReloads(1);
}

}  // namespace
