// The worker's file cache: served from memory within a second, revalidated
// by the file's modification time, size and inode after that; large files
// handed out open; nothing outside the web root, links or not.

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
    EXPECT_EQ(cache_.Lookup(dir_, path_, f, when), expected);
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
  EXPECT_EQ(cache_.Lookup(dir_, dir_, f, t0_), FileCache::Kind::kDirectory);
  EXPECT_EQ(cache_.Lookup(dir_, dir_ + "/none", f, t0_), FileCache::Kind::kMissing);
  EXPECT_EQ(cache_.Lookup(dir_, path_ + "/below-a-file", f, t0_), FileCache::Kind::kMissing);
  EXPECT_EQ(cache_.Lookup(dir_, "/etc/passwd", f, t0_), FileCache::Kind::kForbidden);
  EXPECT_EQ(cache_.Lookup(dir_ + "/sub", dir_ + "/f.gif", f, t0_), FileCache::Kind::kForbidden);
}

TEST_F(FileCacheTest, LargeFilesAreHandedOutOpenNotRead) {
  std::string large(FileCache::kMaxCachedFile + 1, 'x');
  large.back() = 'y';
  Write(large);
  FileCache::File f;
  ASSERT_EQ(cache_.Lookup(dir_, path_, f, t0_), FileCache::Kind::kFile);
  EXPECT_EQ(f.data, nullptr);
  ASSERT_NE(f.stream, nullptr);
  EXPECT_EQ(f.size, large.size());
  EXPECT_EQ(f.contentType, "image/gif");
  char last = 0;
  EXPECT_EQ(pread(f.stream->Get(), &last, 1, static_cast<off_t>(large.size() - 1)), 1);
  EXPECT_EQ(last, 'y');
  EXPECT_EQ(cache_.CachedBytes(), 0u);

  // No size is refused any more (a sparse file costs no disk).
  ASSERT_EQ(truncate(path_.c_str(), off_t{65} << 20), 0);
  ASSERT_EQ(cache_.Lookup(dir_, path_, f, t0_), FileCache::Kind::kFile);
  EXPECT_EQ(f.size, uint64_t{65} << 20);
}

// Links inside the web root, and out of it, as the kernel resolves them
// and as the fallback does.
TEST_F(FileCacheTest, NothingOutsideTheWebRootIsServedThroughALink) {
  std::string outside = dir_ + "/outside";
  std::string root = dir_ + "/www";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root + "/sub").c_str(), 0755), 0);
  std::ofstream(outside + "/secret") << "secret";
  std::ofstream(root + "/page.html") << "page";
  struct Link {
    const char* name;
    std::string target;
  };
  const Link links[] = {
      {"/etcdir", outside},
      {"/abs.html", outside + "/secret"},
      {"/rel.html", "../outside/secret"},
      {"/sub/up", "../.."},
      {"/alias.html", "page.html"},
      {"/sub/back.html", "../page.html"},
      {"/subdir", "sub"},
      {"/proc", "/proc/self/root/etc"},
      {"/absin.html", root + "/page.html"},
  };
  for (const Link& l : links)
    ASSERT_EQ(symlink(l.target.c_str(), (root + l.name).c_str()), 0) << l.name;

  struct Case {
    const char* path;
    FileCache::Kind kind;
    const char* content;
  };
  const Case cases[] = {
      {"/etcdir/secret", FileCache::Kind::kForbidden, nullptr},
      {"/etcdir", FileCache::Kind::kForbidden, nullptr},
      {"/abs.html", FileCache::Kind::kForbidden, nullptr},
      {"/rel.html", FileCache::Kind::kForbidden, nullptr},
      {"/sub/up/outside/secret", FileCache::Kind::kForbidden, nullptr},
      {"/proc/hostname", FileCache::Kind::kForbidden, nullptr},
      {"/alias.html", FileCache::Kind::kFile, "page"},
      {"/sub/back.html", FileCache::Kind::kFile, "page"},
      {"/subdir/back.html", FileCache::Kind::kFile, "page"},
      {"/subdir", FileCache::Kind::kDirectory, nullptr},
      {"/absin.html", FileCache::Kind::kFile, "page"},
  };
  for (bool fallback : {false, true}) {
    FileCache cache;
    if (fallback)
      cache.UseRealPathCheckForTest();
    for (const Case& c : cases) {
      FileCache::File f;
      FileCache::Kind kind = cache.Lookup(root, root + c.path, f, t0_);
      // The fallback may find a path through /proc missing rather than
      // forbidden; either way it is not served.
      if (kind != FileCache::Kind::kMissing || c.kind != FileCache::Kind::kForbidden) {
        EXPECT_EQ(kind, c.kind) << c.path << (fallback ? " (fallback)" : "");
      }
      EXPECT_EQ(f.data ? *f.data : "", c.content ? c.content : "") << c.path;
    }
  }
  // The file system's own root, given as "".
  FileCache::File f;
  EXPECT_EQ(FileCache().Lookup("", root + "/page.html", f, t0_), FileCache::Kind::kFile);
}

TEST_F(FileCacheTest, RevalidationDoesNotFollowALinkChangedToLeaveTheRoot) {
  std::string root = dir_ + "/www";
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  std::ofstream(root + "/page.html") << "page";
  std::ofstream(dir_ + "/secret") << "secret";
  ASSERT_EQ(symlink("page.html", (root + "/link.html").c_str()), 0);
  FileCache::File f;
  ASSERT_EQ(cache_.Lookup(root, root + "/link.html", f, t0_), FileCache::Kind::kFile);
  EXPECT_EQ(*f.data, "page");
  ASSERT_EQ(unlink((root + "/link.html").c_str()), 0);
  ASSERT_EQ(symlink("../secret", (root + "/link.html").c_str()), 0);
  EXPECT_EQ(cache_.Lookup(root, root + "/link.html", f, t0_ + std::chrono::seconds(2)),
            FileCache::Kind::kForbidden);
  EXPECT_EQ(f.data, nullptr);
  EXPECT_EQ(cache_.CachedBytes(), 0u);
}

// A deployment swaps the web root (a link to a release directory): from
// the next second on, files come from the new one.
TEST_F(FileCacheTest, ASwappedWebRootIsFollowedWithinASecond) {
  for (const char* release : {"/r1", "/r2"}) {
    ASSERT_EQ(mkdir((dir_ + release).c_str(), 0755), 0);
    std::ofstream(dir_ + release + "/page.html") << release;
  }
  std::string root = dir_ + "/current";
  ASSERT_EQ(symlink("r1", root.c_str()), 0);
  FileCache::File f;
  ASSERT_EQ(cache_.Lookup(root, root + "/page.html", f, t0_), FileCache::Kind::kFile);
  EXPECT_EQ(*f.data, "/r1");
  ASSERT_EQ(unlink(root.c_str()), 0);
  ASSERT_EQ(symlink("r2", root.c_str()), 0);
  ASSERT_EQ(cache_.Lookup(root, root + "/page.html", f, t0_ + std::chrono::milliseconds(999)),
            FileCache::Kind::kFile);
  EXPECT_EQ(*f.data, "/r1");
  ASSERT_EQ(cache_.Lookup(root, root + "/page.html", f, t0_ + std::chrono::seconds(1)),
            FileCache::Kind::kFile);
  EXPECT_EQ(*f.data, "/r2");
}

TEST(ContentTypeTest, ByExtensionInAnyCase) {
  EXPECT_EQ(FileCache::ContentType("/a/zr_kyr.GIF"), "image/gif");
  EXPECT_EQ(FileCache::ContentType("/a/index.html"), "text/html; charset=utf-8");
  EXPECT_EQ(FileCache::ContentType("/a/kyrtag.js"), "text/javascript; charset=utf-8");
  EXPECT_EQ(FileCache::ContentType("/a.d/noextension"), "application/octet-stream");
}

}  // namespace
}  // namespace kyrhost
