#pragma once
// File information records, directory listings and the small file services
// shared by the log writers, the hit counter and the site map loader.
// Nothing here throws; failures are results.

#include <cstdint>
#include <list>
#include <string>

#include "platform/lfmplatform.h"
#include "util/lfmpathname.h"

class lfmFileInfo {
 public:
  lfmFileInfo() = default;
  // From a directory-listing entry found in `directory`.
  lfmFileInfo(const std::string& directory, const lfmDirEntry& entry);
  // From a file-status call; a failed call leaves an empty record (no name,
  // all values 0).
  explicit lfmFileInfo(const std::string& path);
  virtual ~lfmFileInfo() = default;

  // Re-reads the record from a file-status call on `path`.
  void Refresh(const std::string& path);

  const lfmPathName& Name() const { return name_; }
  uint64_t Size() const { return size_; }
  int64_t AccessTime() const { return accessTime_; }
  int64_t ModifyTime() const { return modifyTime_; }
  int64_t CreateTime() const { return createTime_; }
  uint32_t Attributes() const { return attributes_; }
  uint32_t Mode() const { return mode_; }
  bool IsWritable() const { return (mode_ & kModeOwnerWrite) != 0; }
  bool IsReadOnly() const { return !IsWritable(); }

 private:
  lfmPathName name_;
  uint64_t size_ = 0;
  int64_t accessTime_ = 0;
  int64_t modifyTime_ = 0;
  int64_t createTime_ = 0;
  uint32_t attributes_ = 0;
  uint32_t mode_ = 0;
};

// Records are appended at the tail.
using lfmFileList = std::list<lfmFileInfo>;

class lfmFileUtil {
 public:
  // Appends every file (not directory) of `directory` that matches `pattern`
  // ("name.ext" with "*" and "?"; a missing name or extension is "*") to
  // `list`; with `fullStatus` each record is refreshed from a status call.
  // 0 on success, 1 when there is no list or the directory does not exist.
  static int ListFiles(const std::string& directory, const std::string& pattern, lfmFileList* list,
                       bool fullStatus);
  // Creates `path` and every missing parent. Drive and UNC roots are never
  // created. 0 on success (also when it existed), 1 when a directory could
  // not be created. `securityAttributes` is passed to the platform as is.
  static int MakePath(const std::string& path, void* securityAttributes = nullptr);
  // Whether files can be written in directory `path`: it is a writable
  // directory, or it does not exist and its nearest existing ancestor is a
  // writable directory (MakePath would make it). False with a short reason
  // ("not a directory: <path>", "not writable: <path>") in *why.
  static bool CanWriteIn(const std::string& path, std::string* why);
  // Deletes a file, clearing its read-only state first. Always 0.
  static int RemoveFile(const std::string& path);
  // Renames without replacing an existing target: 0 or the error number.
  static int Rename(const std::string& from, const std::string& to);

  // Wildcard match ("*", "?"), ASCII case ignored; a pattern ending in ".*"
  // also matches a name without a dot.
  static bool MatchPattern(const std::string& pattern, const std::string& name);
};
