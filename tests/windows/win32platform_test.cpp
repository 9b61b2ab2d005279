// The Win32 side of the platform layer, checked against the system itself.

#include <windows.h>

#include <gtest/gtest.h>

#include "platform/lfmplatform.h"

namespace {

TEST(Win32Platform, AllocationGranularityIsTheSystems) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  EXPECT_EQ(lfmPlatform::Default()->AllocationGranularity(), info.dwAllocationGranularity);
}

}  // namespace
