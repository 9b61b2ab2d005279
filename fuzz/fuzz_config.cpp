// Feeds arbitrary bytes to the configuration file reader and its write-back.
#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "config/zrconfig.h"

namespace {
std::string ScratchDir() {
  static std::string dir = [] {
    auto p =
        std::filesystem::temp_directory_path() / ("kyrfuzz-config-" + std::to_string(getpid()));
    std::filesystem::create_directories(p);
    return p.string();
  }();
  return dir;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = ScratchDir() + "/kyr.cfg";
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  zrConfig cfg;
  if (!cfg.Load(path.c_str(), zrConfig::kReadWrite))
    return 0;
  cfg.GetInt("heartbeatrate", 60, "logserver");
  cfg.GetBool("hostedmodel", false, "logserver");
  cfg.GetDouble("x", 0.0, "defaults");
  cfg.GetString("logdirectory", "", "logserver");
  cfg.SetInt("fuzzed", static_cast<int32_t>(size), "logserver");
  cfg.Save(false);
  zrConfig again;
  if (again.Load(path.c_str(), zrConfig::kReadOnly) &&
      again.GetInt("fuzzed", -1, "logserver") != static_cast<int32_t>(size)) {
    __builtin_trap();  // a value written back must read back
  }
  return 0;
}
