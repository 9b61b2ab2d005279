#pragma once
// A configuration file of sections and "key = value" lines, parsed into
// memory with typed look-ups, and an in-place write-back that keeps the
// file's comments and layout.
//
// Locking: one process-wide recursive mutex guards every zrConfig object;
// each operation holds it for its whole run, so look-ups never see a
// half-loaded file.

#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/lfmthreadsafety.h"
#include "util/lfmquickstring.h"

class lfmMutex;

class zrConfig {
 public:
  enum OpenMode : int32_t { kReadOnly = 0, kWrite = 1, kReadWrite = 2 };
  // Longest piece of a line read at once; the rest is read as a line of its own.
  static constexpr size_t kLinePiece = 8190;
  static constexpr size_t kMaxFileName = 259;

  // Case-insensitive hash sampling up to five characters from the end of a
  // name (distances 1, 3, 8, 14, 18), folded to 0..4999.
  static uint32_t HashName(const std::string& name);

  zrConfig();
  // Closes the file without saving.
  virtual ~zrConfig();
  zrConfig(const zrConfig&) = delete;
  zrConfig& operator=(const zrConfig&) = delete;

  // Opens `path` as a stream ("r", "w", or "r+" falling back to "w+"), with up
  // to 3 attempts a second apart unless the file does not exist. Stores the
  // path and the mode on success. Returns the stream or null.
  virtual std::FILE* Open(const char* path, int32_t mode);
  // Clears the object, then reads `path` into it. False when the file cannot
  // be opened or read.
  virtual bool Load(const char* path, int32_t mode);
  // Closes the stream; saves first when asked and the object is dirty.
  virtual bool Close(bool saveIfDirty);
  // Writes the object back into its file, keeping comments and layout:
  // through a temporary file that then replaces the file atomically; when
  // that fails the temporary file is kept and false returned. False too when
  // opened read-only or the file is not writable. Clears the dirty flag on
  // success, and the object when `clearAfter`.
  virtual bool Save(bool clearAfter);
  virtual void Clear();

  void SetOpenMode(int32_t mode);
  int32_t GetOpenMode() const;
  void SetFileName(const char* name);
  std::string GetFileName() const;
  std::string GetCurrentSection() const;
  // Makes `name` current; creates it when `create`, else returns false when
  // it does not exist.
  bool SelectSection(const char* name, bool create);
  std::string GetDefaultSection() const;
  void SetDefaultSection(const char* name);
  bool RemoveKey(const char* key, const char* section = nullptr);
  bool RemoveSection(const char* name);

  // Look-ups: `section` null means the current section. A missing key gives
  // the default.
  // "true"/"1" and "false"/"0" (any case); anything else gives the default.
  bool GetBool(const char* key, bool def, const char* section = nullptr) const;
  std::string GetString(const char* key, const char* def, const char* section = nullptr) const;
  lfmString GetString(const char* key, const lfmString& def, const char* section = nullptr) const;
  // Leading decimal number; no number gives 0.
  double GetDouble(const char* key, double def, const char* section = nullptr) const;
  // As GetString; the text stays valid until the next GetValue on this object.
  const char* GetValue(const char* key, const char* def, const char* section = nullptr);
  // Optional sign and leading digits; no digits give 0; values beyond the
  // 32-bit range saturate.
  int32_t GetInt(const char* key, int32_t def, const char* section = nullptr) const;
  // The conversion GetInt applies to a value's text.
  static int32_t ToInt(const char* text);
  bool HasKey(const char* key, const char* section = nullptr) const;

  struct Setting {
    std::string section;  // as first written ("defaults" before any header)
    std::string key;      // as first written
    std::string value;
  };
  // Every setting held, section by section in the order they were first
  // met, each section's settings in file order.
  std::vector<Setting> AllSettings() const;
  // The settings the last load ignored because their key came again in the
  // same section (the first occurrence wins), in file order.
  std::vector<Setting> IgnoredRepeats() const;

  // Setters create the section and key as needed, count the change and mark
  // the object dirty.
  void SetBool(const char* key, bool value, const char* section = nullptr);
  void SetString(const char* key, const char* value, const char* section = nullptr);
  void SetString(const char* key, const lfmString& value, const char* section = nullptr);
  void SetDouble(const char* key, double value, const char* section = nullptr);
  void SetValue(const char* key, const char* value, const char* section = nullptr);
  void SetInt(const char* key, int32_t value, const char* section = nullptr);

  void SetDirty(bool dirty);
  bool IsDirty() const;
  int32_t GetChangeCount() const;
  int32_t SectionsRead() const;
  int32_t SettingsRead() const;
  // Keeps settings with empty values (off by default; the filter never sets it).
  void SetKeepEmptyValues(bool keep);

  // The process-wide configuration lock.
  static lfmMutex& ConfigLock();

 protected:
  struct NameHash {
    size_t operator()(const std::string& s) const { return HashName(s); }
  };
  struct NameEq {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  struct Entry {
    std::string key;  // as first written
    std::string value;
    uint64_t order;  // creation order, for a stable write-back
  };
  using Settings = std::unordered_map<std::string, Entry, NameHash, NameEq>;
  struct Section {
    std::string name;
    Settings settings{100};
    uint64_t order = 0;
  };
  using Sections = std::unordered_map<std::string, Section, NameHash, NameEq>;

  // Callers hold the configuration lock.
  const Entry* Find(const char* key, const char* section) const LFM_REQUIRES(ConfigLock());
  void Store(const char* key, const char* value, const char* section) LFM_REQUIRES(ConfigLock());
  Section& SectionFor(const std::string& name) LFM_REQUIRES(ConfigLock());
  void ReadLines(std::FILE* f, bool* readError) LFM_REQUIRES(ConfigLock());
  // The write-back's text: `in` (the current file, may be null) with every
  // setting given its value in memory, removed settings dropped, old banners
  // dropped, settings the file did not mention added to their sections, and
  // a new banner at the end.
  void WriteMerged(std::FILE* in, std::FILE* out, bool* readError) const LFM_REQUIRES(ConfigLock());
  static void WriteSetting(std::FILE* out, const Entry& e);
  // Writes in creation order.
  static void WriteSettings(std::FILE* out, const Settings& settings);
  // Returns one trimmed line (or line piece); false at end of file. A line
  // ends at LF, CR or CR LF. For the file's first line pass `byteOrderMark`:
  // a leading UTF-8 byte-order mark is dropped and reported there.
  static bool NextLine(std::FILE* f, std::string* line, bool* readError,
                       bool* byteOrderMark = nullptr);

  int32_t openMode_ LFM_GUARDED_BY(ConfigLock()) = kReadOnly;
  int32_t changeCount_ LFM_GUARDED_BY(ConfigLock()) = 0;
  int32_t dirty_ LFM_GUARDED_BY(ConfigLock()) = 0;
  std::FILE* file_ LFM_GUARDED_BY(ConfigLock()) = nullptr;
  std::string scratch_ LFM_GUARDED_BY(ConfigLock());
  std::string fileName_ LFM_GUARDED_BY(ConfigLock());
  int32_t sectionsRead_ LFM_GUARDED_BY(ConfigLock()) = 0;
  int32_t settingsRead_ LFM_GUARDED_BY(ConfigLock()) = 0;
  std::string defaultSection_ LFM_GUARDED_BY(ConfigLock()) = "defaults";
  std::string currentSection_ LFM_GUARDED_BY(ConfigLock());
  Sections sections_ LFM_GUARDED_BY(ConfigLock()){100};
  std::vector<Setting> repeats_ LFM_GUARDED_BY(ConfigLock());
  bool keepEmpty_ LFM_GUARDED_BY(ConfigLock()) = false;
  uint64_t nextOrder_ LFM_GUARDED_BY(ConfigLock()) = 0;
};
