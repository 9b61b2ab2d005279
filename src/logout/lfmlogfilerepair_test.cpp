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
  const std::string runOn(lfmLogFileRepair::kMaxTornLine + 1, 'x');
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
      {"data ending at a block's end, then blocks of padding",
       std::string(65534, 'x') + "\r\n" + std::string(3 * 65536 + 7, '\0'),
       std::string(65534, 'x') + "\r\n", 3 * 65536 + 7, 0},
      {"a header cut short goes whole", "#Remark: x\r\n#Soft", "", 0, 17},
      {"a whole header stays", "#Remark: x\r\n#Fields: a b\r\nxy" + nuls,
       "#Remark: x\r\n#Fields: a b\r\n", 70000, 2},
      {"a run longer than any line is kept", "a\r\n" + runOn + nuls, "a\r\n" + runOn, 70000, 0},
      {"the longest line that is cut", "a\r\n" + runOn.substr(1), "a\r\n", 0,
       static_cast<uint64_t>(lfmLogFileRepair::kMaxTornLine)},
      {"a NUL inside a line is data", std::string("a\0b\r\n", 5), std::string("a\0b\r\n", 5), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempRoot root;
    root.Write("x.log", c.before);
    lfmLogFileRepair::Result r = lfmLogFileRepair::Repair(root.File("x.log"));
    EXPECT_EQ(r.state, lfmLogFileRepair::kExamined);
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

TEST(LogFileRepair, OnlyTheLogOutputsClosedFilesAreExamined) {
  TempRoot root;
  for (const char* name : {"hlg_open.log", "hlg_closed.log", "app.log", "hlg_x.txt"})
    root.Write(name, "a\r\nb");
  lfmPlatform* p = lfmPlatform::Current();
  int err = 0;
  lfmFileHandle writer = p->Open(root.File("hlg_open.log"), kOpenWriteOnly | kOpenAppend, 0, &err);
  ASSERT_NE(writer, kInvalidFileHandle);
  ASSERT_TRUE(p->MarkWriting(writer));
  auto ours = [](const std::string& name) { return lfmLogFileRepair::IsLogFileName(name, "hlg"); };
  EXPECT_EQ(lfmLogFileRepair::RepairDirectory(root.Path(), ".log", ours), 1);
  EXPECT_EQ(root.Read("hlg_closed.log"), "a\r\n");
  for (const char* name : {"hlg_open.log", "app.log", "hlg_x.txt"})
    EXPECT_EQ(root.Read(name), "a\r\nb") << name;
  EXPECT_EQ(lfmLogFileRepair::Repair(root.File("hlg_open.log")).state, lfmLogFileRepair::kInUse);
  p->Close(writer, &err);
  // The writer's mark ends with its handle (as it would with its process).
  EXPECT_EQ(lfmLogFileRepair::Repair(root.File("hlg_open.log")).torn, 1u);

  // Where the file system cannot tell a live writer, a log file is left.
  root.Write("hlg_closed.log", "a\r\nb");
  root.Platform().noFileLocks = true;
  EXPECT_EQ(lfmLogFileRepair::RepairDirectory(root.Path(), ".log", ours), 0);
  EXPECT_EQ(root.Read("hlg_closed.log"), "a\r\nb");

  // The names the log output gives its files, in every model.
  for (const char* name : {"hlg_dec_07_2026.log", "kyraaaaaaaaaaaaaaaaaaaaaa_7k8y_hlg_dec.log",
                           "kyr-2026-12-07-01-03617-web01.log",
                           "kyrcccccccccccccccccccccc_9u9f-kyr-2026-12-07-01-03617-web01.log"})
    EXPECT_TRUE(lfmLogFileRepair::IsLogFileName(name, "hlg")) << name;
  for (const char* name : {"app.log", "myhlg.log", "kyr.audit.log"})
    EXPECT_FALSE(lfmLogFileRepair::IsLogFileName(name, "hlg")) << name;
}

}  // namespace
