// The filter module loaded the way a host loads it: only the three entry
// points are reachable, and a tag request driven through them is logged.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include "filter/isapi.h"
#include "tests/support/fakeiis.h"
#include "tests/support/filtertest.h"
#include "tests/support/temproot.h"

namespace {

using GetFilterVersionFn = BOOL (*)(HTTP_FILTER_VERSION*);
using TerminateFilterFn = BOOL (*)(DWORD);

TEST(FilterModule, LogsATagRequestThroughItsExports) {
  TempDir root;
  ASSERT_EQ(system(("mkdir -p " + root.Path() + "/cfg " + root.Path() + "/log").c_str()), 0);
  WriteFileText(root.File("cfg/kyr.cfg"), FilterConfig("trackfirsttimecookies = false"));
  // The module reads its root from the real environment.
  setenv("ZR_ROOT", root.Path().c_str(), 1);

  void* module = dlopen(KYR_FILTER_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto getVersion = reinterpret_cast<GetFilterVersionFn>(dlsym(module, "GetFilterVersion"));
  auto proc = reinterpret_cast<FakeIIS::FilterProc>(dlsym(module, "HttpFilterProc"));
  auto terminate = reinterpret_cast<TerminateFilterFn>(dlsym(module, "TerminateFilter"));
  ASSERT_TRUE(getVersion && proc && terminate);
  EXPECT_EQ(dlsym(module, "_ZN12lfmLogHelper7StartUpEb"), nullptr);  // internals stay hidden

  HTTP_FILTER_VERSION v{};
  ASSERT_EQ(getVersion(&v), TRUE);
  EXPECT_EQ(v.dwFlags, 0x85043u);
  auto iis = FakeIIS::Get("/kyr.gif", "kyruri=/index.htm&kyrqry=a%3D1");
  EXPECT_EQ(iis->Run(proc), static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
  EXPECT_EQ(iis->physicalPath, "/srv/www/zr_kyr.gif");
  EXPECT_EQ(terminate(0), TRUE);
  dlclose(module);
  unsetenv("ZR_ROOT");

  std::vector<std::string> lines = DataLines(ReadAll(root.File("weblog")));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(" 192.0.2.7 - - GET /index.htm a=1 200 - - - - -"), std::string::npos)
      << lines[0];
}

}  // namespace
