#pragma once
// A fresh installation root for one test: a temporary directory with
// "cfg/kyr.cfg" and an empty "log" directory, ZR_ROOT pointing at it through
// a TestPlatform, and every process-wide setting, the configuration and the
// debug log forgotten before and after.

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/testplatform.h"

class TempRoot {
 public:
  // `config` is written as cfg/kyr.cfg.
  explicit TempRoot(const std::string& config = "");
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& Path() const { return root_; }
  // root, the native separator, `relative` with its "/" made native: the
  // form of the names the system builds.
  std::string File(const std::string& relative) const;
  void Write(const std::string& relative, const std::string& content) const;
  std::string Read(const std::string& relative) const;
  bool Exists(const std::string& relative) const;
  TestPlatform& Platform() { return platform_; }

 private:
  TestPlatform platform_;
  std::string root_;
};

// Forgets every settings section, the configuration, the debug log and the
// system log registration.
void ResetProcessStateForTest();

// Occurrences of `what` in `text`.
size_t Count(const std::string& text, const std::string& what);

// "<code> <class> <message>" of the whException `f` throws, or
// "no exception".
std::string ThrownText(const std::function<void()>& f);

// Seconds since 1970 of a UTC calendar time.
time_t UtcTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

// Names of the regular files in `dir`, sorted (empty when it does not exist).
std::vector<std::string> ListDir(const std::string& dir);

// `path` with every "/" turned into the native separator.
std::string NativePath(const std::string& path);

// Whole-file helpers for tests.
std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, const std::string& text);

// A fresh empty temporary directory, removed with its content at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& Path() const { return path_; }
  // As TempRoot::File.
  std::string File(const std::string& relative) const;

 private:
  std::string path_;
};
