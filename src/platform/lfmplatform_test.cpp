#include "platform/lfmplatform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/temproot.h"
#include "util/lfmclock.h"

namespace {

void WriteString(lfmPlatform* os, lfmFileHandle h, const std::string& s) {
  int err = 0;
  ASSERT_EQ(os->Write(h, s.data(), s.size(), &err), static_cast<int64_t>(s.size())) << err;
}

TEST(PlatformFiles, OpenFlagsKeepTheirMeaning) {
  TempDir dir;
  lfmPlatform* os = lfmPlatform::Current();
  const std::string f = dir.File("a.log");
  int err = 0;
  EXPECT_EQ(os->Open(f, kOpenWriteOnly, kOpenPermission, &err), kInvalidFileHandle);
  EXPECT_EQ(err, ENOENT);

  lfmFileHandle h =
      os->Open(f, kOpenWriteOnly | kOpenCreate | kOpenExclusive, kOpenPermission, &err);
  ASSERT_NE(h, kInvalidFileHandle);
  WriteString(os, h, "first\r\n");
  EXPECT_EQ(os->Size(h, &err), 7);
  ASSERT_TRUE(os->Close(h, &err));

  // Exclusive creation of an existing file fails.
  EXPECT_EQ(os->Open(f, kOpenWriteOnly | kOpenCreate | kOpenExclusive, kOpenPermission, &err),
            kInvalidFileHandle);
  EXPECT_EQ(err, EEXIST);

  h = os->Open(f, kOpenWriteOnly | kOpenAppend | kOpenUntranslated, kOpenPermission, &err);
  ASSERT_NE(h, kInvalidFileHandle);
  WriteString(os, h, "second\r\n");
  os->Close(h, &err);
  EXPECT_EQ(ReadFileText(f), "first\r\nsecond\r\n");

  h = os->Open(f, kOpenReadWrite | kOpenTruncate, kOpenPermission, &err);
  ASSERT_NE(h, kInvalidFileHandle);
  EXPECT_EQ(os->Size(h, &err), 0);
  WriteString(os, h, "abcdef");
  EXPECT_EQ(os->Seek(h, 2, 0, &err), 2);
  char buf[8] = {};
  EXPECT_EQ(os->Read(h, buf, sizeof buf, &err), 4);
  EXPECT_STREQ(buf, "cdef");
  EXPECT_TRUE(os->Truncate(h, 3, &err));
  EXPECT_EQ(os->Size(h, &err), 3);
  os->Close(h, &err);
}

TEST(PlatformFiles, BackslashPathsWork) {
  TempDir dir;
  lfmPlatform* os = lfmPlatform::Current();
  std::string win = dir.Path() + "\\sub";
  ASSERT_EQ(os->MakeDirectory(win), 0);
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("sub")));
  std::FILE* f = os->OpenStream(win + "\\x.cfg", "w", nullptr);
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  lfmFileStatus st;
  ASSERT_TRUE(os->Stat(win + "\\x.cfg", &st));
  EXPECT_TRUE(st.mode & kModeRegular);
  EXPECT_TRUE(st.mode & kModeOwnerWrite);
}

TEST(PlatformFiles, RenameReplacesOnlyWhenAsked) {
  TempDir dir;
  lfmPlatform* os = lfmPlatform::Current();
  std::ofstream(dir.File("a")) << "A";
  std::ofstream(dir.File("b")) << "B";
  EXPECT_EQ(os->Rename(dir.File("a"), dir.File("b"), false), EEXIST);
  EXPECT_EQ(ReadFileText(dir.File("b")), "B");
  EXPECT_EQ(os->Rename(dir.File("a"), dir.File("b"), true), 0);
  EXPECT_EQ(ReadFileText(dir.File("b")), "A");
  EXPECT_FALSE(std::filesystem::exists(dir.File("a")));
  EXPECT_EQ(os->Rename(dir.File("missing"), dir.File("c"), false), ENOENT);
}

TEST(PlatformFiles, ListDirectoryMarksDirectoriesAndReadOnlyFiles) {
  TempDir dir;
  lfmPlatform* os = lfmPlatform::Current();
  std::ofstream(dir.File("f.log")) << "12345";
  std::filesystem::create_directory(dir.File("d"));
  std::ofstream(dir.File("ro")) << "x";
  ASSERT_EQ(os->SetWritable(dir.File("ro"), false), 0);
  std::vector<lfmDirEntry> entries;
  ASSERT_TRUE(os->ListDirectory(dir.Path(), &entries));
  ASSERT_EQ(entries.size(), 3u);
  for (const lfmDirEntry& e : entries) {
    if (e.name == "f.log") {
      EXPECT_EQ(e.size, 5u);
      EXPECT_EQ(e.attributes, 0u);
    } else if (e.name == "d") {
      EXPECT_TRUE(e.attributes & kAttrDirectory);
    } else {
      EXPECT_EQ(e.name, "ro");
      EXPECT_TRUE(e.attributes & kAttrReadOnly);
    }
  }
  EXPECT_FALSE(os->ListDirectory(dir.File("missing"), &entries));
}

TEST(PlatformFiles, MappedViewWritesReachTheFile) {
  TempDir dir;
  lfmPlatform* os = lfmPlatform::Current();
  const uint32_t g = os->AllocationGranularity();
  ASSERT_GT(g, 0u);
  int err = 0;
  lfmFileHandle h =
      os->Open(dir.File("m.log"), kOpenReadWrite | kOpenCreate, kOpenPermission, &err);
  ASSERT_NE(h, kInvalidFileHandle);
  ASSERT_TRUE(os->Truncate(h, 2 * g, &err));
  char* view = static_cast<char*>(os->MapView(h, g, g, &err));  // the second window
  ASSERT_NE(view, nullptr) << err;
  std::memcpy(view, "line\r\n", 6);
  EXPECT_TRUE(os->FlushView(view, g, true, &err));
  EXPECT_TRUE(os->UnmapView(view, g, &err));
  ASSERT_TRUE(os->Truncate(h, g + 6, &err));  // cut to the data written
  os->Close(h, &err);
  std::string content = ReadFileText(dir.File("m.log"));
  ASSERT_EQ(content.size(), g + 6u);
  EXPECT_EQ(content.substr(g), "line\r\n");
  // An offset off the granularity is refused, not rounded.
  h = os->Open(dir.File("m.log"), kOpenReadWrite, kOpenPermission, &err);
  EXPECT_EQ(os->MapView(h, 1, 16, &err), nullptr);
  os->Close(h, &err);
}

TEST(Clock, SetAdvanceAndFileTime) {
  lfmClock::SetSecondsForTest(1081343109);
  EXPECT_EQ(lfmClock::Now(), 1081343109);
  // 100-ns units since 1601.
  EXPECT_EQ(lfmClock::NowFileTime(), 1081343109ULL * 10000000ULL + 116444736000000000ULL);
  lfmClock::AdvanceForTest(1500000);
  EXPECT_EQ(lfmClock::Now(), 1081343110);
  lfmClock::SetForTest(-1);  // just before 1970 rounds down, not towards it
  EXPECT_EQ(lfmClock::Now(), -1);
  lfmClock::ReleaseForTest();
  time_t real = lfmClock::Now();
  EXPECT_GT(real, 1700000000);  // after 2023: the real clock is back
}

}  // namespace
