// Start-up repair of log files left unfinished: what is cut, what is kept,
// and that a file another writer holds open is not touched.
#include "logout/lfmlogfilerepair.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/lfmplatform.h"
#include "tests/support/temproot.h"

namespace {

TEST(LogFileRepair, CutsTrailingPaddingAndAnIncompleteLastLineOnly) {
  const std::string nuls(70000, '\0');  // more than one read block
  const std::string longTail(70000, 'x');
  struct Case {
    const char* name;
    std::string before, after;
    uint64_t padding, torn;
  } cases[] = {
      {"whole", "a\r\nb\r\n", "a\r\nb\r\n", 0, 0},
      {"empty", "", "", 0, 0},
      {"padding after whole lines", "a\r\nb\r\n" + nuls, "a\r\nb\r\n", 70000, 0},
      {"one padding byte", "a\r\n" + std::string(1, '\0'), "a\r\n", 1, 0},
      {"torn line", "a\r\nbc", "a\r\n", 0, 2},
      {"torn line ending in CR, then padding", "a\r\nbc\r" + nuls, "a\r\n", 70000, 3},
      {"torn line longer than a block", "a\r\n" + longTail, "a\r\n", 0, 70000},
      {"no line end at all", "abc", "", 0, 3},
      {"padding only", std::string(5, '\0'), "", 5, 0},
      {"a NUL inside a line is data", std::string("a\0b\r\n", 5), std::string("a\0b\r\n", 5), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempRoot root;
    root.Write("x.log", c.before);
    lfmLogFileRepair::Result r = lfmLogFileRepair::Repair(root.File("x.log"));
    EXPECT_TRUE(r.taken);
    EXPECT_EQ(r.padding, c.padding);
    EXPECT_EQ(r.torn, c.torn);
    EXPECT_EQ(r.size, static_cast<int64_t>(c.after.size()));
    EXPECT_EQ(root.Read("x.log"), c.after);
    bool reported = root.Exists("log/kyr.audit") &&
                    root.Read("log/kyr.audit")
                            .find("The log file " + root.File("x.log") + " was left unfinished") !=
                        std::string::npos;
    EXPECT_EQ(reported, c.padding + c.torn > 0);
  }
}

TEST(LogFileRepair, AFileThatIsBeingWrittenIsLeftAloneAndOnlyLogFilesAreExamined) {
  TempRoot root;
  root.Write("open.log", "a\r\nb");
  root.Write("closed.log", "a\r\nb");
  root.Write("other.txt", "a\r\nb");
  lfmPlatform* p = lfmPlatform::Current();
  int err = 0;
  lfmFileHandle writer = p->Open(root.File("open.log"), kOpenWriteOnly | kOpenAppend, 0, &err);
  ASSERT_NE(writer, kInvalidFileHandle);
  ASSERT_TRUE(p->MarkWriting(writer));
  EXPECT_EQ(lfmLogFileRepair::RepairDirectory(root.Path(), {".log"}), 1);
  EXPECT_EQ(root.Read("open.log"), "a\r\nb");
  EXPECT_EQ(root.Read("closed.log"), "a\r\n");
  EXPECT_EQ(root.Read("other.txt"), "a\r\nb");
  EXPECT_FALSE(lfmLogFileRepair::Repair(root.File("open.log")).taken);
  p->Close(writer, &err);
  // The writer's mark ends with its handle (as it would with its process).
  EXPECT_EQ(lfmLogFileRepair::Repair(root.File("open.log")).torn, 1u);
}

}  // namespace
