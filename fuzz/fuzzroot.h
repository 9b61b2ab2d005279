#pragma once
// The per-process installation root of the fuzzers that read settings from
// it: cfg/kyr.cfg turns the debug log off (so that raising warnings writes
// nothing and no run looks for another configuration) and then holds
// `config`; log/ and `dirs` exist; ZR_ROOT points at it; it is removed when
// the process exits.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <system_error>

inline std::string& ScratchRootPath() {
  static std::string path;
  return path;
}

inline void RemoveScratchRoot() {
  std::error_code ec;
  std::filesystem::remove_all(ScratchRootPath(), ec);
}

// Makes the root named after `name` on the first call; every call returns it.
inline const std::string& ScratchRoot(const char* name, const std::string& config = "",
                                      std::initializer_list<const char*> dirs = {}) {
  std::string& path = ScratchRootPath();
  if (path.empty()) {
    auto p = std::filesystem::temp_directory_path() /
             (std::string(name) + "-" + std::to_string(getpid()));
    for (const char* d : {"cfg", "log"})
      std::filesystem::create_directories(p / d);
    for (const char* d : dirs)
      std::filesystem::create_directories(p / d);
    std::ofstream(p / "cfg" / "kyr.cfg") << "[auditlog]\ndebuglevel = 0\n" << config;
    path = p.string();
    setenv("ZR_ROOT", path.c_str(), 1);
    std::atexit(RemoveScratchRoot);
  }
  return path;
}
