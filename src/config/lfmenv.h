#pragma once
// The installation root, the configuration file's name and the debug level
// override, each resolved once from the environment (or the platform's store
// of named values), and the one process-wide configuration object.

#include <string>

#include "config/zrconfig.h"

class lfmEnv : public zrConfig {
 public:
  // Longest value taken from a named variable; longer values are cut.
  static constexpr size_t kMaxVariable = 4095;

  // The process-wide configuration, created on first use and loaded whenever
  // it is not loaded yet. Throws code 1012 when ZR_ROOT is not set and code
  // 1011 when the configuration file cannot be loaded; a later call tries
  // again. Thread-safe.
  static lfmEnv& Instance();

  using zrConfig::Load;
  // Loads `path` read-only, first closing an earlier file without saving.
  // Throws code 1011 when it cannot be loaded; the object stays unloaded.
  void Load(const char* path);
  bool IsLoaded() const;

  // ZR_ROOT exactly as found. Throws code 1012 when it is not set or empty;
  // nothing is cached then, so a later call tries again.
  static std::string GetRoot();
  // ZR_CFGFILE, or "kyr.cfg".
  static std::string GetConfigFileName();
  // ZR_DEBUG_LEVEL, or empty.
  static std::string GetDebugLevelText();
  // root + separator + "cfg" + separator + file name.
  static std::string GetConfigPath();
  // A named variable: the environment first, then the platform's store; an
  // empty value counts as absent. The value is cut to `size` - 1 characters
  // (at most 4095).
  static bool LookupVariable(const char* name, char* buffer, size_t size);
  static bool LookupVariable(const char* name, std::string* value);
  // Replaces a leading "%zr_root%" (any case) by the root and one separator.
  // Other paths are returned unchanged. Makes sure the configuration is loaded.
  static std::string ExpandRoot(const std::string& path);
  // A directory setting as stored: root-expanded, separators made native,
  // and a separator appended when missing. An empty text stays empty.
  static std::string ExpandDirectory(const std::string& path);

  // For tests only: forgets the instance and every cached value.
  static void ResetForTest();

 private:
  lfmEnv() = default;
  bool loaded_ = false;
};
