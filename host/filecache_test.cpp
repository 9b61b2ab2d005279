// The worker's file cache: served from memory within a second, revalidated
// by the file's modification time, size and inode after that.

#include "host/filecache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace kyrhost {
namespace {

class FileCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kyrhost_cache_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/f.gif";
  }
  void TearDown() override { ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0); }
  void Write(const std::string& content) { std::ofstream(path_, std::ios::binary) << content; }
  std::string Read(FileCache::Clock::time_point when,
                   FileCache::Kind expected = FileCache::Kind::kFile) {
    FileCache::File f;
    EXPECT_EQ(cache_.Lookup(path_, f, when), expected);
    return f.data ? *f.data : "<none>";
  }

  std::string dir_;
  std::string path_;
  FileCache cache_;
  FileCache::Clock::time_point t0_ = FileCache::Clock::now();
};

TEST_F(FileCacheTest, ChangedFileIsServedAfterItsRevalidation) {
  Write("one");
  EXPECT_EQ(Read(t0_), "one");
  EXPECT_EQ(cache_.CachedBytes(), 3u);
  Write("three");  // another size
  EXPECT_EQ(Read(t0_ + std::chrono::milliseconds(500)), "one");
  EXPECT_EQ(Read(t0_ + std::chrono::seconds(2)), "three");
  EXPECT_EQ(cache_.CachedBytes(), 5u);

  // Same size, later modification time.
  Write("THREE");
  struct timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + 5, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  EXPECT_EQ(Read(t0_ + std::chrono::seconds(4)), "THREE");

  ASSERT_EQ(unlink(path_.c_str()), 0);
  Read(t0_ + std::chrono::seconds(6), FileCache::Kind::kMissing);
  EXPECT_EQ(cache_.CachedBytes(), 0u);
}

TEST_F(FileCacheTest, KindsOfPaths) {
  FileCache::File f;
  EXPECT_EQ(cache_.Lookup(dir_, f, t0_), FileCache::Kind::kDirectory);
  EXPECT_EQ(cache_.Lookup(dir_ + "/none", f, t0_), FileCache::Kind::kMissing);
  EXPECT_EQ(cache_.Lookup(path_ + "/below-a-file", f, t0_), FileCache::Kind::kMissing);
  Write(std::string(FileCache::kMaxCachedFile + 1, 'x'));
  EXPECT_EQ(Read(t0_).size(), FileCache::kMaxCachedFile + 1);  // served, not kept
  EXPECT_EQ(cache_.CachedBytes(), 0u);
}

TEST(ContentTypeTest, ByExtensionInAnyCase) {
  EXPECT_EQ(FileCache::ContentType("/a/zr_kyr.GIF"), "image/gif");
  EXPECT_EQ(FileCache::ContentType("/a/index.html"), "text/html; charset=utf-8");
  EXPECT_EQ(FileCache::ContentType("/a/kyrtag.js"), "text/javascript; charset=utf-8");
  EXPECT_EQ(FileCache::ContentType("/a.d/noextension"), "application/octet-stream");
}

}  // namespace
}  // namespace kyrhost
