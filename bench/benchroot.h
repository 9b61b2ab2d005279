#pragma once
// The scratch installation root of a benchmark program: made once per run
// under KYR_BENCH_DIR (default /tmp, which chooses the file system the logs
// go to), with empty "cfg" and "log" directories, and named to the module
// through ZR_ROOT. The program writes cfg/kyr.cfg itself.

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

inline const std::string& BenchRoot() {
  static const std::string root = [] {
    const char* base = std::getenv("KYR_BENCH_DIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kyrbench-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    std::string dir = ::mkdtemp(name.data()) ? name.data() : "/tmp";
    ::mkdir((dir + "/cfg").c_str(), 0755);
    ::mkdir((dir + "/log").c_str(), 0755);
    ::setenv("ZR_ROOT", dir.c_str(), 1);
    return dir;
  }();
  return root;
}
