#pragma once
// A file path or URL split into its parts, and parts joined back into a path.
// "\" and "/" are both separators on input; the parts and the full text use
// the native separator ("/" on POSIX, "\" on Windows) after any "://".

#include <string>

class lfmPathName {
 public:
  // At most this many characters of a path are examined.
  static constexpr size_t kMaxPath = 260;
  static const char kNativeSeparator;

  lfmPathName() = default;
  explicit lfmPathName(const std::string& path) { Parse(path); }
  virtual ~lfmPathName() = default;

  // Splits `path` into its parts (all parts are reset first; an empty text
  // leaves them empty).
  virtual void Parse(const std::string& path);
  // Re-parses the stored full text.
  void Reparse() { Parse(std::string(full_)); }
  // Joins the given parts (null ones are left out) into a path and parses it.
  // With all five null, recomposes from the object's own parts. Returns the
  // full text; empty when there are no parts.
  virtual const std::string& Compose(const char* scheme, const char* host, const char* directory,
                                     const char* fileName, const char* extension);
  const std::string& Recompose() { return Compose(nullptr, nullptr, nullptr, nullptr, nullptr); }

  // The file name with its extension, as it stands at the end of the full text.
  virtual std::string FileNameWithExtension() const;
  // Directory, file name and extension: the full text without scheme and host.
  virtual std::string DirectoryAndFile() const;

  // Path tests, on any path.
  static bool IsDirectory(const std::string& path);
  // True when the access test (kAccess* mode) succeeds.
  static bool Exists(const std::string& path, int mode);

  virtual void SetScheme(const std::string& s);
  virtual void SetHost(const std::string& s);
  virtual void SetDirectory(const std::string& s);
  virtual void SetFileName(const std::string& s);
  virtual void SetExtension(const std::string& s);

  const std::string& FullText() const { return full_; }
  const std::string& Scheme() const { return scheme_; }
  const std::string& Host() const { return host_; }
  const std::string& Directory() const { return directory_; }
  const std::string& NetworkPath() const { return networkPath_; }
  const std::string& FileName() const { return fileName_; }
  const std::string& Extension() const { return extension_; }
  bool IsRemote() const { return remote_; }
  bool HasSchemeAndHost() const { return !scheme_.empty() && !host_.empty(); }
  bool IsEmpty() const { return full_.empty(); }

  // Separator normalisation of stored text: after an optional "://" and the
  // "/" characters that follow it, every separator among the next 260
  // characters becomes the native one.
  static std::string Normalize(const std::string& text);

 private:
  void ClearParts();

  std::string full_;
  std::string scheme_;
  std::string host_;
  std::string directory_;
  std::string networkPath_;
  std::string fileName_;
  std::string extension_;
  bool remote_ = false;
};
