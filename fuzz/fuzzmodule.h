#pragma once
// The set-up the fuzzers that drive the filter module share: log writes
// discarded (so that fuzzing does not fill the disk), a fresh root with the
// given configuration, and the module started on it.
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "filter/isapi.h"
#include "platform/lfmplatform.h"

// Log writes are counted as written and discarded.
class DiscardingPlatform : public lfmPlatformWrapper {
 public:
  int64_t Write(lfmFileHandle, const void*, size_t n, int*) override {
    return static_cast<int64_t>(n);
  }
};

// Installs the discarding platform, makes a temporary root named after
// `name` with cfg/kyr.cfg holding `config` and an empty log directory, points
// ZR_ROOT at it and starts the module (aborting when it refuses). Returns the
// root; `*version` receives what GetFilterVersion gave.
inline std::string StartModuleOnFreshRoot(const char* name, const std::string& config,
                                          HTTP_FILTER_VERSION* version) {
  static DiscardingPlatform platform;
  lfmPlatform::Install(&platform);
  std::string pattern = std::string("/tmp/") + name + "-XXXXXX";
  std::string root = mkdtemp(pattern.data()) ? pattern : "/tmp";
  mkdir((root + "/cfg").c_str(), 0755);
  mkdir((root + "/log").c_str(), 0755);
  std::ofstream(root + "/cfg/kyr.cfg") << config;
  setenv("ZR_ROOT", root.c_str(), 1);
  if (!GetFilterVersion(version))
    abort();
  return root;
}
