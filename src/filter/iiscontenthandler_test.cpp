// Remapping of the physical path at URL_MAP.

#include "filter/iiscontenthandler.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/temproot.h"

namespace {

// Remaps `url` mapped to `path` in a buffer of `size` bytes; returns the
// path afterwards, or the exception text.
std::string Remap(const std::string& url, const std::string& path, size_t size = 260) {
  std::vector<char> buffer(size, '\0');
  std::strncpy(buffer.data(), path.c_str(), size - 1);
  HTTP_FILTER_URL_MAP map{url.c_str(), buffer.data(), static_cast<DWORD>(size)};
  std::string thrown = ThrownText([&] { RemapURL(&map); });
  return thrown == "no exception" ? std::string(buffer.data()) : thrown;
}

TEST(RemapURL, NotHostedOnlyTagImagesChangeName) {
  TempRoot root;
  EXPECT_EQ(Remap("/a/kyr.gif", "C:\\www\\a\\kyr.gif"), "C:\\www\\a\\zr_kyr.gif");
  EXPECT_EQ(Remap("/a/NJS.GIF", "/srv/www/a/NJS.GIF"), "/srv/www/a/zr_kyr.gif");
  EXPECT_EQ(Remap("/a/page.htm", "/srv/www/a/page.htm"), "/srv/www/a/page.htm");
  EXPECT_EQ(Remap("/a/gif", "/srv/www/a/gif"), "/srv/www/a/gif");
  EXPECT_EQ(Remap("kyr.gif", "kyr.gif"),
            "1000 hitfunnel Physical path in URL map missing backslash.");
  EXPECT_EQ(Remap("/kyr.gif", "/w/kyr.gif", 13),
            "1000 hitfunnel Not enough memory to remap the URL.");
  EXPECT_EQ(Remap("/kyr.gif", "/w/kyr.gif", 14), "/w/zr_kyr.gif");
}

TEST(RemapURL, HostedServesEveryFileFromTheFirstSiteRoot) {
  TempRoot root("[logserver]\nhostedmodel = true\n");
  EXPECT_EQ(Remap("/KYR1/kyr.gif", "/srv/www/KYR1/kyr.gif"), "/srv/www/zr_kyr.gif");
  EXPECT_EQ(Remap("/KYR1/x.js", "/srv/www/KYR1/x.js"), "/srv/www/x.js");
  EXPECT_EQ(Remap("/k.gif", "/other/k.gif"), "/srv/www/zr_kyr.gif");
  EXPECT_EQ(Remap("/KYR1/kyr.gif", "/srv/www/KYR1/kyr.gif", 19),
            "1000 hitfunnel Not enough memory to remap the URL.");
}

TEST(RemapURL, HostedUrlLongerThanItsPathLeavesThePath) {
  TempRoot root("[logserver]\nhostedmodel = true\n");
  EXPECT_EQ(Remap("/a/very/long/url/kyr.gif", "/w/kyr.gif").substr(0, 14), "1000 hitfunnel");
  EXPECT_EQ(Remap("/a/kyr.gif", "/srv/a/kyr.gif"), "/srv/zr_kyr.gif");
}

}  // namespace
