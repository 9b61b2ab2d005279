// The file layer: buffering, write failures, memory-mapped files, lazy
// files and the finishing of busy files.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>

#include "logout/lfmbufferedfile.h"
#include "logout/lfmlogfile.h"
#include "logout/lfmmemmapfile.h"
#include "tests/support/temproot.h"
#include "util/lfmfileinfo.h"

namespace {

constexpr int kFlags = lfmLogFile::kOpenFlags;
constexpr int kPerm = lfmLogFile::kPermission;

class FileLayerTest : public ::testing::Test {
 protected:
  explicit FileLayerTest(const std::string& config = "") : root_(config) {
    lfmFileUtil::MakePath(root_.File("out"));
  }
  std::string Path(const std::string& name) { return root_.File("out/" + name); }
  TempRoot root_;
};

TEST_F(FileLayerTest, BufferedFileHoldsRecordsUntilFlushAndWritesEveryByteOfShortWrites) {
  lfmBufferedFile f(64, 0);
  ASSERT_TRUE(f.Open(Path("a.log"), kFlags, kPerm, 0));
  f.Write("abc\r\n", 5);
  EXPECT_EQ(ReadFileText(Path("a.log")), "");
  EXPECT_EQ(f.Size(), 5u);

  root_.Platform().shortWriteMax = 3;
  std::string big(100, 'x');  // larger than the whole buffer: written straight through, whole
  f.Write(big.data(), big.size());
  EXPECT_EQ(ReadFileText(Path("a.log")), "abc\r\n" + big);
  f.Write("end\r\n", 5);
  f.Close();
  EXPECT_EQ(ReadFileText(Path("a.log")), "abc\r\n" + big + "end\r\n");

  // Reopened for append, the size counts what the file already holds.
  ASSERT_TRUE(f.Open(Path("a.log"), kFlags, kPerm, 0));
  EXPECT_EQ(f.Size(), 110u);
}

TEST_F(FileLayerTest, FullDiskIsReportedAndTheNextWriteWritesTheKeptBytes) {
  lfmBufferedFile f(64, 0);
  ASSERT_TRUE(f.Open(Path("a.log"), kFlags, kPerm, 0));
  f.Write("one\r\n", 5);
  root_.Platform().writeError = ENOSPC;
  std::string fd = std::to_string(f.Descriptor());
  EXPECT_EQ(ThrownText([&] { f.Flush(0); }), "1030 lfmBufferedFile A write to file (" +
                                                 Path("a.log") + " handle: " + fd +
                                                 ") failed. Out of disk space");
  EXPECT_TRUE(f.IsOpen());
  root_.Platform().writeError = 0;
  f.Write("two\r\n", 5);
  f.Close();
  EXPECT_EQ(ReadFileText(Path("a.log")), "one\r\ntwo\r\n");
}

TEST_F(FileLayerTest, BadDescriptorClosesTheObjectAndOtherErrorsNameTheirErrno) {
  lfmBaseFile plain;
  ASSERT_TRUE(plain.Open(Path("p.log"), kFlags, kPerm, 0));
  root_.Platform().writeError = EIO;
  EXPECT_NE(ThrownText([&] { plain.Write("x", 1); }).find(") failed. Errno: 5"), std::string::npos);
  EXPECT_TRUE(plain.IsOpen());

  lfmBufferedFile f(64, 0);
  ASSERT_TRUE(f.Open(Path("a.log"), kFlags, kPerm, 0));
  f.Write("kept\r\n", 6);
  root_.Platform().writeError = EBADF;
  EXPECT_NE(ThrownText([&] {
              f.Close();
            }).find(") failed. Bad file handle. Resetting the internal controller."),
            std::string::npos);
  EXPECT_FALSE(f.IsOpen());
  root_.Platform().writeError = 0;
  ASSERT_TRUE(f.Open(Path("a.log"), kFlags, kPerm, 0));
  f.Close();
  EXPECT_EQ(ReadFileText(Path("a.log")), "kept\r\n");
}

TEST_F(FileLayerTest, HandedOutBufferKeepsItsPlaceAndAFailedWriteOutKeepsEveryByte) {
  lfmBufferedFile f(16, 0);
  ASSERT_TRUE(f.Open(Path("a.log"), kFlags, kPerm, 0));
  lfmBaseFile::WriteOut out;
  EXPECT_FALSE(f.WriteDetaching("0123456789\r\n", 12, &out));  // fits
  ASSERT_TRUE(f.WriteDetaching("abcdefgh\r\n", 10, &out));     // full: the held bytes go out
  // Meanwhile records are buffered behind them, past the buffer size.
  std::string big(40, 'z');
  f.Write(big.data(), big.size());
  EXPECT_EQ(ReadFileText(Path("a.log")), "");
  EXPECT_EQ(f.Size(), 62u);
  EXPECT_EQ(f.PendingBytes(), 62u);

  root_.Platform().shortWriteMax = 5;
  root_.Platform().writeError = ENOSPC;
  EXPECT_NE(ThrownText([&] { out.Complete(); }).find("failed. Out of disk space"),
            std::string::npos);
  EXPECT_FALSE(out.Pending());
  root_.Platform().writeError = 0;
  f.Close();
  EXPECT_EQ(ReadFileText(Path("a.log")), "0123456789\r\nabcdefgh\r\n" + big);

  // A bad descriptor during a write-out closes the object; the bytes wait
  // for the next open.
  ASSERT_TRUE(f.Open(Path("b.log"), kFlags, kPerm, 0));
  f.Write("0123456789\r\n", 12);
  ASSERT_TRUE(f.WriteDetaching("abcdefgh\r\n", 10, &out));
  root_.Platform().writeError = EBADF;
  EXPECT_NE(ThrownText([&] { out.Complete(); }).find("Bad file handle."), std::string::npos);
  EXPECT_FALSE(f.IsOpen());
  root_.Platform().writeError = 0;
  ASSERT_TRUE(f.Open(Path("b.log"), kFlags, kPerm, 0));
  f.Close();
  EXPECT_EQ(ReadFileText(Path("b.log")), "0123456789\r\nabcdefgh\r\n");
}

TEST_F(FileLayerTest, WritersGoOnWhileAWriteOutRunsAndFlushesWaitForIt) {
  lfmBufferedFile f(16, 0);
  ASSERT_TRUE(f.Open(Path("a.log"), kFlags, kPerm, 0));
  lfmBaseFile::WriteOut out;
  f.Write("0123456789\r\n", 12);
  ASSERT_TRUE(f.WriteDetaching("abcdefgh\r\n", 10, &out));
  root_.Platform().holdWrites = true;
  std::thread writer([&] { out.Complete(); });
  while (root_.Platform().heldWrites.load() == 0)
    std::this_thread::yield();
  // Not held up by the write-out (a wait here would never end).
  f.Write("more\r\n", 6);
  std::thread flusher([&] { f.Flush(0); });
  root_.Platform().holdWrites = false;
  writer.join();
  flusher.join();
  f.Close();
  EXPECT_EQ(ReadFileText(Path("a.log")), "0123456789\r\nabcdefgh\r\nmore\r\n");
}

TEST_F(FileLayerTest, AWriterFillingTheBufferDuringAWriteOutWaitsAndHandsOutItsOwnBlock) {
  lfmBufferedFile f(16, 0);
  ASSERT_TRUE(f.Open(Path("a.log"), kFlags, kPerm, 0));
  lfmBaseFile::WriteOut first;
  lfmBaseFile::WriteOut second;
  f.Write("0123456789\r\n", 12);
  ASSERT_TRUE(f.WriteDetaching("abcdefgh\r\n", 10, &first));
  root_.Platform().holdWrites = true;
  std::thread writer([&] { first.Complete(); });
  while (root_.Platform().heldWrites.load() == 0)
    std::this_thread::yield();
  // The buffer holds 10 of 16 bytes: the next record does not fit beside
  // the write-out in flight. Growing the buffer would buffer it at once and
  // hand nothing out.
  bool handedOut = false;
  std::thread next([&] { handedOut = f.WriteDetaching("ABCDEFGH\r\n", 10, &second); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  root_.Platform().holdWrites = false;
  writer.join();
  next.join();
  EXPECT_TRUE(handedOut);
  EXPECT_EQ(f.PendingBytes(), 20u);
  second.Complete();
  f.Close();
  EXPECT_EQ(ReadFileText(Path("a.log")), "0123456789\r\nabcdefgh\r\nABCDEFGH\r\n");
}

TEST_F(FileLayerTest, AppendOwnedTakesOnlyARecordThatAnOpenIdleBufferHasRoomFor) {
  struct Case {
    const char* what;
    uint32_t bufferSize;
    bool open;
    std::string held;  // buffered before
    size_t record;
    bool taken;
  };
  const Case cases[] = {
      {"fits", 16, true, "", 10, true},
      {"fills it exactly", 16, true, "012345", 10, true},
      {"one byte over", 16, true, "0123456", 10, false},
      {"closed", 16, false, "", 10, false},
      {"no buffer", 0, true, "", 10, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    lfmBufferedFile f(c.bufferSize, 0);
    const std::string name = Path(std::string(c.what) + ".log");
    if (c.open) {
      ASSERT_TRUE(f.Open(name, kFlags, kPerm, 0));
    }
    if (!c.held.empty())
      f.Write(c.held.data(), c.held.size());
    const std::string record(c.record, 'r');
    EXPECT_EQ(f.AppendOwned(record.data(), record.size()), c.taken);
    EXPECT_EQ(f.PendingBytes(), c.held.size() + (c.taken ? c.record : 0));
    f.Close();
    EXPECT_EQ(c.open ? ReadFileText(name) : "", c.held + (c.taken ? record : ""));
  }
  // Nothing is taken beside a write-out in flight: it settles the buffer.
  lfmBufferedFile f(16, 0);
  ASSERT_TRUE(f.Open(Path("w.log"), kFlags, kPerm, 0));
  lfmBaseFile::WriteOut out;
  f.Write("0123456789\r\n", 12);
  ASSERT_TRUE(f.WriteDetaching("abcdefgh\r\n", 10, &out));
  EXPECT_FALSE(f.AppendOwned("x", 1));
  out.Complete();
  EXPECT_TRUE(f.AppendOwned("x", 1));
  f.Close();
  EXPECT_EQ(ReadFileText(Path("w.log")), "0123456789\r\nabcdefgh\r\nx");
  lfmBaseFile plain;
  ASSERT_TRUE(plain.Open(Path("p.log"), kFlags, kPerm, 0));
  EXPECT_FALSE(plain.AppendOwned("x", 1));
}

TEST_F(FileLayerTest, UsageErrorsCarryTheirTexts) {
  lfmBufferedFile f(8, 0);
  EXPECT_EQ(ThrownText([&] { f.Write("x", 1); }),
            "1010 lfmBufferedFile Incorrect usage: Attempted to write to unopen file: ");
  ASSERT_TRUE(f.Open(Path("a.log"), kFlags, kPerm, 0));
  EXPECT_EQ(ThrownText([&] { f.Open(Path("b.log"), kFlags, kPerm, 0); }),
            "1010 lfmBufferedFile Incorrect usage: Attempted to open file: " + Path("b.log") +
                ".  Another file is already open: " + Path("a.log"));
  EXPECT_NE(ThrownText([&] {
              f.BufferWrite("0123456789", 10);
            }).find("The attempted buffer write is too large for the internal buffer"),
            std::string::npos);
  lfmBaseFile plain;
  EXPECT_EQ(ThrownText([&] { plain.BufferWrite("x", 1); }),
            "1010 lfmBaseFile Incorrect usage: Attempted a buffered write when the object does "
            "not have a buffer.");
  EXPECT_FALSE(plain.Open(root_.File("missing/dir/x.log"), kFlags, kPerm, 0));
}

TEST_F(FileLayerTest, MappedFileShrinksToItsDataAndAppendsAfterItsLastByte) {
  const uint64_t g = lfmMemMapFile::Granularity();
  const std::string path = Path("m.log");
  {
    lfmMemMapFile f(4 * g);
    ASSERT_TRUE(f.Open(path, kFlags, kPerm, 0));
    f.Write("hello", 5);
    EXPECT_EQ(ReadFileText(path).size(), 4 * g);  // reserved while open
    f.Close();
  }
  EXPECT_EQ(ReadFileText(path), "hello");

  // A file left at its reserved size ends at its last non-zero byte.
  WriteFileText(path, "abc" + std::string(2 * g - 3, '\0'));
  {
    lfmBufferedMMFile f(16, 4 * g);
    ASSERT_TRUE(f.Open(path, kFlags, kPerm, 0));
    EXPECT_EQ(f.Size(), 3u);
    f.Write("de", 2);
    f.Close();
  }
  EXPECT_EQ(ReadFileText(path), "abcde");

  // Data that ends exactly at a block's end.
  WriteFileText(path, std::string(g, 'q') + std::string(g, '\0'));
  lfmMemMapFile full(2 * g);
  ASSERT_TRUE(full.Open(path, kFlags, kPerm, 0));
  EXPECT_EQ(full.Size(), g);
  // A record that would pass the maximum is refused whole.
  std::string tooLong(g + 1, 'r');
  EXPECT_EQ(ThrownText([&] { full.Write(tooLong.data(), tooLong.size()); }),
            "1010 lfmMemMapFile Incorrect usage: Attempted to write to passed eof, file: " + path);
  full.Close();
  EXPECT_EQ(ReadFileText(path), std::string(g, 'q'));
}

TEST_F(FileLayerTest, MappedWritesCrossIntoTheNextWindowAndReopenThere) {
  const uint64_t g = lfmMemMapFile::Granularity();
  const uint64_t window = lfmMemMapFile::kDefaultWindow;
  const std::string path = Path("big.log");
  const std::string chunk(1 << 20, 'c');
  {
    lfmMemMapFile f(window + 4 * g);
    ASSERT_TRUE(f.Open(path, kFlags, kPerm, 0));
    for (uint64_t written = 0; written + chunk.size() <= window - 3; written += chunk.size())
      f.Write(chunk.data(), chunk.size());
    f.Write(chunk.data(), window - 3 - f.Size());
    f.Write("<cross>", 7);  // 3 bytes in the first window, 4 in the second
    EXPECT_EQ(f.Size(), window + 4);
    f.Close();
  }
  {
    lfmMemMapFile f(window + 4 * g);
    ASSERT_TRUE(f.Open(path, kFlags, kPerm, 0));  // data ends in the second window
    EXPECT_EQ(f.Size(), window + 4);
    f.Write("!", 1);
    f.Close();
  }
  std::string text = ReadFileText(path);
  ASSERT_EQ(text.size(), window + 5);
  EXPECT_EQ(text.substr(window - 4), "c<cross>!");
}

class MappedLogFileTest : public FileLayerTest {
 protected:
  MappedLogFileTest() : FileLayerTest("[logserver]\nusememmappedfile = true\n") {}
};

TEST_F(MappedLogFileTest, AFailedMappedOpenContinuesAsPlainBufferedAfterTheData) {
  const uint64_t g = lfmMemMapFile::Granularity();
  // An existing file whose data end cannot be searched (its last block
  // cannot be mapped) must not be written over from a guessed end.
  const std::string existing = std::string(2 * g + 5, 'd');
  struct Case {
    const char* what;
    uint64_t maxSize;
    std::string before;
    int mapError;
    int viewsBeforeFailure;
  } cases[] = {
      {"no maximum", 0, "", 0, 0},
      {"data end unknown", 4 * g, existing, EIO, 0},
      // The window cannot be mapped after the reservation: it must not stay
      // behind as zeros that the plain file would count as data.
      {"new file, window fails", 4 * g, "", EIO, 0},
      {"existing file, window fails", 4 * g, "0123456789", EIO, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = Path(std::string(c.what) + ".log");
    if (!c.before.empty())
      WriteFileText(path, c.before);
    lfmLogFile lf(64, c.maxSize);
    EXPECT_EQ(lf.GetKind(), lfmLogFile::kMapped);
    root_.Platform().mapViewError = c.mapError;
    root_.Platform().mapViewsBeforeFailure = c.viewsBeforeFailure;
    ASSERT_TRUE(lf.Open(path, kFlags, kPerm, 0));
    root_.Platform().mapViewError = 0;
    EXPECT_EQ(lf.GetKind(), lfmLogFile::kBuffered);
    EXPECT_EQ(lf.HeaderWritten(), !c.before.empty());
    lf.Write("line\r\n", 6, 1);
    lf.Close();
    EXPECT_EQ(lf.GetKind(), lfmLogFile::kMapped);
    EXPECT_EQ(ReadFileText(path), c.before + "line\r\n");
  }
}

TEST_F(FileLayerTest, LazyFileHoldsNoHandleBetweenItsFlushesAndKeepsBytesOverAFailedOpen) {
  root_.Write("cfg/kyr.cfg", "[logserver]\nbufferflushrate = 60\n");
  const std::string path = root_.File("lazy/l.log");
  lfmLogFile lf(32, 0);
  lf.Name() = path;
  lf.SetLazyClose(true);
  lf.Write("0123456789\r\n", 12, 100);
  lf.Write("abcdefghij\r\n", 12, 101);
  EXPECT_FALSE(lf.IsOpen());

  // The next record does not fit: the flush needs the file, whose directory
  // is missing and cannot be made. The buffered records are kept.
  root_.Platform().mkdirError = EACCES;
  EXPECT_EQ(ThrownText([&] { lf.Write("ABCDEFGHIJ\r\n", 12, 102); }),
            "1029 lfmLogFileController Failed to open the following file: " + path);
  EXPECT_EQ(lf.PendingBytes(), 24u);

  // Once it can be, the write-out makes the directory again.
  root_.Platform().mkdirError = 0;
  lf.Write("ABCDEFGHIJ\r\n", 12, 103);
  EXPECT_NE(ReadFileText(root_.File("log/kyr.audit"))
                .find("Created log file directory " + root_.File("lazy/")),
            std::string::npos);
  EXPECT_FALSE(lf.IsOpen());
  EXPECT_EQ(ReadFileText(path), "0123456789\r\nabcdefghij\r\nABCDEFGHIJ\r\n");

  lf.Write("tail\r\n", 6, 104);
  lf.Flush(120);  // within bufferflushrate of the last flush: nothing
  EXPECT_EQ(lf.PendingBytes(), 6u);
  lf.Flush(200);
  EXPECT_FALSE(lf.IsOpen());
  EXPECT_EQ(lf.PendingBytes(), 0u);
  EXPECT_EQ(Count(ReadFileText(path), "tail\r\n"), 1u);
}

TEST_F(FileLayerTest, FinishingABusyFileNeverReplacesData) {
  WriteFileText(Path("x.kyrbusy"), "new\r\n");
  WriteFileText(Path("x.log"), "old\r\n");
  EXPECT_TRUE(lfmLogFile::FinishBusyFile(Path("x.kyrbusy")));
  EXPECT_EQ(ReadFileText(Path("x.log")), "old\r\n");
  EXPECT_EQ(ReadFileText(Path("x(2).log")), "new\r\n");

  WriteFileText(Path("y.kyrbusy"), "");
  EXPECT_FALSE(lfmLogFile::FinishBusyFile(Path("y.kyrbusy")));
  WriteFileText(Path("z.kyrbusy"), "data\r\n");
  WriteFileText(Path("z.log"), "");
  EXPECT_TRUE(lfmLogFile::FinishBusyFile(Path("z.kyrbusy")));
  EXPECT_EQ(ReadFileText(Path("z.log")), "data\r\n");
  EXPECT_EQ(ListDir(root_.File("out")), (std::vector<std::string>{"x(2).log", "x.log", "z.log"}));
}

}  // namespace
