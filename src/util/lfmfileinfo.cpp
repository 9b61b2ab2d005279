#include "util/lfmfileinfo.h"

#include <cctype>
#include <cerrno>
#include <vector>

#include "util/lfmutility.h"

lfmFileInfo::lfmFileInfo(const std::string& directory, const lfmDirEntry& entry)
    : size_(entry.size),
      accessTime_(entry.accessTime),
      modifyTime_(entry.modifyTime),
      createTime_(entry.createTime),
      attributes_(entry.attributes) {
  std::string full = directory;
  if (!full.empty() && !lfmUtility::EndsWithSeparator(full))
    full += lfmPathName::kNativeSeparator;
  name_.Parse(full + entry.name);
  mode_ = 0x100 /*owner read*/ | ((entry.attributes & kAttrReadOnly) ? 0u : kModeOwnerWrite);
  mode_ |= (entry.attributes & kAttrDirectory) ? kModeDirectory : kModeRegular;
}

lfmFileInfo::lfmFileInfo(const std::string& path) {
  Refresh(path);
}

void lfmFileInfo::Refresh(const std::string& path) {
  lfmFileStatus st;
  if (path.empty() || !lfmPlatform::Current()->Stat(path, &st)) {
    *this = lfmFileInfo();
    return;
  }
  name_.Parse(path);
  size_ = st.size;
  accessTime_ = st.accessTime;
  modifyTime_ = st.modifyTime;
  createTime_ = st.createTime;
  mode_ = st.mode;
  attributes_ = (st.mode & kModeDirectory) ? kAttrDirectory : 0;
  if (!(st.mode & kModeOwnerWrite))
    attributes_ |= kAttrReadOnly;
}

namespace {

bool MatchFrom(const char* p, const char* n) {
  // Iterative glob with single-star backtracking.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*n) {
    if (*p == '*') {
      star = p++;
      resume = n;
    } else if (*p == '?' || (*p && lfmUtility::FoldCase(*p) == lfmUtility::FoldCase(*n))) {
      ++p;
      ++n;
    } else if (star) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (*p == '*')
    ++p;
  return *p == '\0';
}

}  // namespace

bool lfmFileUtil::MatchPattern(const std::string& pattern, const std::string& name) {
  if (MatchFrom(pattern.c_str(), name.c_str()))
    return true;
  if (pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0 &&
      name.find('.') == std::string::npos) {
    return MatchFrom(pattern.substr(0, pattern.size() - 2).c_str(), name.c_str());
  }
  return false;
}

int lfmFileUtil::ListFiles(const std::string& directory, const std::string& pattern,
                           lfmFileList* list, bool fullStatus) {
  if (!list)
    return 1;
  lfmPlatform* os = lfmPlatform::Current();
  if (directory.empty() || !os->Access(directory, kAccessExists))
    return 1;
  lfmPathName pat;
  pat.Parse(pattern);
  std::string name = pat.FileName().empty() ? "*" : pat.FileName();
  std::string ext = pat.Extension().empty() ? "*" : pat.Extension();
  std::string search = name + "." + ext;
  std::vector<lfmDirEntry> entries;
  if (!os->ListDirectory(directory, &entries))
    return 1;
  std::string dir = directory;
  if (!lfmUtility::EndsWithSeparator(dir))
    dir += lfmPathName::kNativeSeparator;
  for (const lfmDirEntry& e : entries) {
    if (e.attributes & kAttrDirectory)
      continue;
    if (!MatchPattern(search, e.name))
      continue;
    list->emplace_back(directory, e);
    if (fullStatus)
      list->back().Refresh(dir + e.name);
  }
  return 0;
}

int lfmFileUtil::MakePath(const std::string& path, void* /*securityAttributes*/) {
  lfmPlatform* os = lfmPlatform::Current();
  if (path.empty())
    return 0;
  if (os->Access(path, kAccessExists))
    return 0;
  const char sep = lfmPathName::kNativeSeparator;
  std::string p = path;
  for (char& c : p) {
    if (lfmUtility::IsSeparator(c))
      c = sep;
  }

  std::vector<std::string> prefixes;
  size_t pos = 0;
  if (p.size() >= 5 && p[0] == sep && p[1] == sep) {
    // UNC root: \\server\share, never created.
    size_t server = p.find(sep, 2);
    size_t share = server == std::string::npos ? std::string::npos : p.find(sep, server + 1);
    size_t end = share == std::string::npos ? p.size() : share;
    prefixes.push_back(p.substr(0, end));
    pos = end;
  } else if (p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':') {
    size_t end = (p.size() >= 3 && p[2] == sep) ? 3 : 2;
    prefixes.push_back(p.substr(0, end));
    pos = end;
  }
  size_t rootEntries = prefixes.size();
  if (pos < p.size() && p[pos] == sep)
    ++pos;
  for (size_t i = pos; i < p.size(); ++i) {
    if (p[i] == sep)
      prefixes.push_back(p.substr(0, i));
  }
  if (prefixes.empty() || prefixes.back() != p)
    prefixes.push_back(p);

  for (size_t i = 0; i < prefixes.size(); ++i) {
    const std::string& dir = prefixes[i];
    if (dir.empty() || os->Access(dir, kAccessExists))
      continue;
    if (i < rootEntries)
      return 1;  // a missing drive or share cannot be made
    int err = os->MakeDirectory(dir);
    if (err != 0 && !(err == EEXIST && lfmPathName::IsDirectory(dir)))
      return 1;
  }
  return 0;
}

bool lfmFileUtil::CanWriteIn(const std::string& path, std::string* why) {
  lfmPlatform* os = lfmPlatform::Current();
  std::string dir = path;
  while (dir.size() > 1 && lfmUtility::IsSeparator(dir.back()))
    dir.pop_back();
  if (dir.empty())
    dir = os->CurrentDirectory();
  // Up to the nearest part of the path that exists.
  while (!os->Access(dir, kAccessExists)) {
    size_t cut = dir.find_last_of("/\\");
    if (cut == std::string::npos) {
      dir = os->CurrentDirectory();
      break;
    }
    dir.erase(cut == 0 ? 1 : cut);
  }
  if (!lfmPathName::IsDirectory(dir)) {
    *why = "not a directory: " + dir;
    return false;
  }
  if (!os->Access(dir, kAccessWrite)) {
    *why = "not writable: " + dir;
    return false;
  }
  return true;
}

int lfmFileUtil::RemoveFile(const std::string& path) {
  lfmFileInfo info(path);
  if (!info.Name().IsEmpty() && info.IsReadOnly())
    lfmPlatform::Current()->SetWritable(path, true);
  lfmPlatform::Current()->Remove(path);
  return 0;
}

int lfmFileUtil::Rename(const std::string& from, const std::string& to) {
  return lfmPlatform::Current()->Rename(from, to, false);
}
