#include "util/lfmpathname.h"

#include "platform/lfmplatform.h"
#include "util/lfmutility.h"

#if defined(_WIN32)
const char lfmPathName::kNativeSeparator = '\\';
#else
const char lfmPathName::kNativeSeparator = '/';
#endif

namespace {

// Index just past "://" and the "/" characters that follow it; 0 without a scheme.
size_t AfterScheme(const std::string& s) {
  size_t sch = s.find("://");
  if (sch == std::string::npos)
    return 0;
  size_t start = sch + 3;
  while (start < s.size() && s[start] == '/')
    ++start;
  return start;
}

}  // namespace

std::string lfmPathName::Normalize(const std::string& text) {
  std::string s = text;
  size_t start = AfterScheme(s);
  for (size_t i = start; i < s.size() && i < start + kMaxPath; ++i) {
    if (lfmUtility::IsSeparator(s[i]))
      s[i] = kNativeSeparator;
  }
  return s;
}

void lfmPathName::ClearParts() {
  full_.clear();
  scheme_.clear();
  host_.clear();
  directory_.clear();
  networkPath_.clear();
  fileName_.clear();
  extension_.clear();
  remote_ = false;
}

void lfmPathName::Parse(const std::string& path) {
  ClearParts();
  if (path.empty())
    return;
  std::string work = path.substr(0, kMaxPath);
  for (char& c : work) {
    if (c == '\\')
      c = '/';
  }

  std::string rest = work;
  size_t sch = work.find("://");
  if (sch != std::string::npos) {
    scheme_ = work.substr(0, sch);
    size_t slash = work.find('/', sch + 1);
    rest = slash == std::string::npos ? std::string() : work.substr(slash);
    if (rest.find("///") != std::string::npos)
      rest.erase(0, 1);
  }
  if (rest.size() >= 2 && rest[0] == '/' && rest[1] == '/') {
    rest.erase(0, 2);
    if (!lfmUtility::EqualsNoCase(scheme_, "file")) {
      size_t slash = rest.find('/');
      host_ = rest.substr(0, slash);
      rest = slash == std::string::npos ? std::string() : rest.substr(slash);
    }
  }
  remote_ =
      lfmUtility::StartsWithNoCase(scheme_, "ftp") || lfmUtility::StartsWithNoCase(scheme_, "http");

  if (rest.find('/') != std::string::npos) {
    std::string dir = rest;
    bool whole =
        rest.find('*') == std::string::npos && !remote_ && IsDirectory(host_.empty() ? work : path);
    if (!whole)
      dir.erase(dir.rfind('/') + 1);
    std::string after = rest.substr(dir.size());
    while (dir.size() > 1 && dir.back() == '/')
      dir.pop_back();
    directory_ = Normalize(dir);
    rest = after;
  } else if (rest == "." || rest == "..") {
    directory_ = rest;
    rest.clear();
  }

  size_t dot = rest.rfind('.');
  if (dot != std::string::npos) {
    extension_ = rest.substr(dot + 1);
    fileName_ = rest.substr(0, dot);
  } else {
    fileName_ = rest;
  }

  full_ = Normalize(path.substr(0, kMaxPath));
  if (!host_.empty()) {
    networkPath_ = std::string(2, kNativeSeparator) + host_ + directory_;
  } else {
    networkPath_ = directory_;
  }
}

const std::string& lfmPathName::Compose(const char* scheme, const char* host, const char* directory,
                                        const char* fileName, const char* extension) {
  std::string s, h, d, f, e;
  if (!scheme && !host && !directory && !fileName && !extension) {
    s = scheme_, h = host_, d = directory_, f = fileName_, e = extension_;
  } else {
    s = scheme ? scheme : "";
    h = host ? host : "";
    d = directory ? directory : "";
    f = fileName ? fileName : "";
    e = extension ? extension : "";
  }
  std::string text;
  text.reserve(s.size() + h.size() + d.size() + f.size() + e.size() + 16);
  if (!s.empty()) {
    text += s;
    if (text.find("://") == std::string::npos)
      text += "://";
  }
  if (!h.empty()) {
    if (text.find("://") == std::string::npos)
      text += "//";
    text += h;
  }
  text += d;
  if (!f.empty() || !e.empty()) {
    if (!text.empty() && !lfmUtility::EndsWithSeparator(text) &&
        !(text.size() >= 3 && text.compare(text.size() - 3, 3, "://") == 0))
      text += kNativeSeparator;
    text += f;
  }
  if (!e.empty()) {
    text += '.';
    text += e;
  }
  Parse(text);
  return full_;
}

std::string lfmPathName::FileNameWithExtension() const {
  if (fileName_.empty() && extension_.empty())
    return std::string();
  size_t start = AfterScheme(full_);
  size_t pos = lfmUtility::AfterLastSeparator(std::string_view(full_).substr(start));
  return full_.substr(start + pos);
}

std::string lfmPathName::DirectoryAndFile() const {
  size_t start = AfterScheme(full_);
  if (!host_.empty()) {
    size_t h = full_.find(host_, start);
    if (h != std::string::npos)
      start = h + host_.size();
  }
  return full_.substr(start);
}

bool lfmPathName::IsDirectory(const std::string& path) {
  if (path.empty())
    return false;
  std::string p = Normalize(path);
  lfmFileStatus st;
  lfmPlatform* os = lfmPlatform::Current();
  if (os->Stat(p, &st))
    return (st.mode & kModeDirectory) != 0;
  if (p.size() > 1 && lfmUtility::EndsWithSeparator(p)) {
    p.pop_back();
    if (os->Stat(p, &st))
      return (st.mode & kModeDirectory) != 0;
  }
  return false;
}

bool lfmPathName::Exists(const std::string& path, int mode) {
  return !path.empty() && lfmPlatform::Current()->Access(path, mode);
}

void lfmPathName::SetScheme(const std::string& s) {
  scheme_ = s;
  Recompose();
}
void lfmPathName::SetHost(const std::string& s) {
  host_ = s;
  Recompose();
}
void lfmPathName::SetDirectory(const std::string& s) {
  directory_ = s;
  Recompose();
}
void lfmPathName::SetFileName(const std::string& s) {
  fileName_ = s;
  Recompose();
}
void lfmPathName::SetExtension(const std::string& s) {
  extension_ = s;
  Recompose();
}
