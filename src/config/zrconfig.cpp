#include "config/zrconfig.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/lfmplatform.h"
#include "runtime/lfmmutex.h"
#include "util/lfmclock.h"
#include "util/lfmstderr.h"
#include "util/lfmtimefuncs.h"
#include "util/lfmutility.h"

namespace {

const char kBanner[] = "# Edited by Vantorell";
const char kTrimSet[] = " \t\n\r";
// The UTF-8 byte-order mark some editors put at the start of a text file.
const char kBom[] = "\xEF\xBB\xBF";
constexpr size_t kBomLength = sizeof kBom - 1;

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(kTrimSet);
  if (b == std::string::npos)
    return std::string();
  size_t e = s.find_last_not_of(kTrimSet);
  return s.substr(b, e - b + 1);
}

enum class LineKind { kEmpty, kComment, kHeader, kSetting };

// Classifies a trimmed line; for a header fills `name` (empty for "[]"), for
// a setting `key` and `value`.
LineKind Classify(const std::string& line, std::string* name, std::string* key,
                  std::string* value) {
  if (line.empty())
    return LineKind::kEmpty;
  char c = line[0];
  if (c == '#' || c == ';' || c == '/')
    return LineKind::kComment;
  if (c == '[' || c == ']') {
    size_t b = line.find_first_not_of("[]");
    size_t e = b == std::string::npos ? std::string::npos : line.find_first_of("[]", b);
    *name = b == std::string::npos
                ? std::string()
                : Trim(line.substr(b, e == std::string::npos ? std::string::npos : e - b));
    return LineKind::kHeader;
  }
  size_t eq = line.find('=');
  *key = Trim(line.substr(0, eq));
  *value = eq == std::string::npos ? std::string() : Trim(line.substr(eq + 1));
  return LineKind::kSetting;
}

const char* StreamMode(int32_t mode) {
  switch (mode) {
    case zrConfig::kWrite:
      return "w";
    case zrConfig::kReadWrite:
      return "r+";
    default:
      return "r";
  }
}

// Opens a stream with up to three attempts a second apart; a missing file
// ends the attempts at once.
std::FILE* OpenWithRetry(const std::string& path, const char* mode, const char* fallbackMode) {
  lfmPlatform* os = lfmPlatform::Current();
  for (int attempt = 0; attempt < 3; ++attempt) {
    int err = 0;
    std::FILE* f = os->OpenStream(path, mode, &err);
    if (!f && fallbackMode)
      f = os->OpenStream(path, fallbackMode, &err);
    if (f)
      return f;
    if (err == ENOENT)
      return nullptr;
    if (attempt < 2)
      os->SleepMs(1000);
  }
  return nullptr;
}

std::string TempNameFor(const std::string& path) {
  size_t sep = path.find_last_of("/\\");
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (sep != std::string::npos && dot < sep))
    return path + ".new";
  return path.substr(0, dot) + ".new";
}

void ReportFailure(const char* what, const std::string& a, const std::string* b, int err) {
  std::string line = "zrConfig: ";
  line += what;
  line += "(" + a;
  if (b)
    line += ", " + *b;
  line += ") failed: " + lfmPlatform::Current()->ErrorText(err) + " (" + std::to_string(err) + ").";
  lfmStdErr::WriteLine(line.c_str());
}

}  // namespace

lfmMutex& zrConfig::ConfigLock() {
  // Never destroyed: configuration objects may outlive other statics.
  // Recursive: every operation holds it for its whole run and operations
  // call one another (Load opens and reads, lfmEnv::Load calls Load, the
  // settings sections read their values with it held).
  static lfmMutex* m = new lfmMutex(lfmMutex::kRecursive);
  return *m;
}

uint32_t zrConfig::HashName(const std::string& name) {
  static const size_t kDistances[] = {1, 3, 8, 14, 18};
  uint32_t h = 0;
  for (size_t d : kDistances) {
    if (d > name.size())
      break;
    unsigned char c = static_cast<unsigned char>(name[name.size() - d]);
    h = 5 * h + static_cast<unsigned char>(lfmUtility::FoldCase(static_cast<char>(c)));
  }
  return h % 5000;
}

bool zrConfig::NameEq::operator()(const std::string& a, const std::string& b) const {
  return lfmUtility::EqualsNoCase(a, b);
}

zrConfig::zrConfig() = default;

zrConfig::~zrConfig() {
  lfmScopedGuard guard(ConfigLock());
  if (file_)
    std::fclose(file_);
  file_ = nullptr;
}

std::FILE* zrConfig::Open(const char* path, int32_t mode) {
  lfmScopedGuard guard(ConfigLock());
  if (!path || !*path)
    return nullptr;
  std::FILE* f = OpenWithRetry(path, StreamMode(mode), mode == kReadWrite ? "w+" : nullptr);
  if (!f)
    return nullptr;
  if (file_)
    std::fclose(file_);
  file_ = f;
  SetFileName(path);
  openMode_ = mode;
  return f;
}

bool zrConfig::NextLine(std::FILE* f, std::string* line, bool* readError, bool* byteOrderMark) {
  std::string raw;
  bool ended = false;
  int c = 0;
  while (raw.size() < kLinePiece) {
    c = std::getc(f);
    if (c == EOF)
      break;
    if (c == '\n') {
      ended = true;
      break;
    }
    if (c == '\r') {  // CR or CR LF
      int next = std::getc(f);
      if (next != '\n' && next != EOF)
        std::ungetc(next, f);
      ended = true;
      break;
    }
    raw += static_cast<char>(c);
  }
  if (c == EOF && std::ferror(f))
    *readError = true;
  if (!ended && raw.empty() && c == EOF)
    return false;
  if (byteOrderMark) {
    *byteOrderMark = raw.compare(0, kBomLength, kBom) == 0;
    if (*byteOrderMark)
      raw.erase(0, kBomLength);
  }
  raw.resize(strnlen(raw.c_str(), raw.size()));  // a NUL ends the line's text
  *line = Trim(raw);
  return true;
}

zrConfig::Section& zrConfig::SectionFor(const std::string& name) {
  auto it = sections_.find(name);
  if (it != sections_.end())
    return it->second;
  Section& s = sections_[name];
  s.name = name;
  s.order = nextOrder_++;
  ++changeCount_;
  return s;
}

void zrConfig::ReadLines(std::FILE* f, bool* readError) {
  std::string line, name, key, value;
  Section* current = &SectionFor(currentSection_);
  bool bom = false;
  for (bool* first = &bom; NextLine(f, &line, readError, first); first = nullptr) {
    switch (Classify(line, &name, &key, &value)) {
      case LineKind::kEmpty:
      case LineKind::kComment:
        break;
      case LineKind::kHeader:
        if (name.empty())
          break;
        current = &SectionFor(name);
        currentSection_ = current->name;
        ++sectionsRead_;
        break;
      case LineKind::kSetting:
        if (key.empty() || (value.empty() && !keepEmpty_))
          break;
        if (current->settings.count(key)) {
          repeats_.push_back({current->name, key, value});
          break;  // the first occurrence wins
        }
        current->settings.emplace(key, Entry{key, value, nextOrder_++});
        ++settingsRead_;
        break;
    }
  }
}

bool zrConfig::Load(const char* path, int32_t mode) {
  lfmScopedGuard guard(ConfigLock());
  Clear();
  currentSection_ = defaultSection_;
  SectionFor(currentSection_);
  std::FILE* f = Open(path, mode);
  if (!f)
    return false;
  bool readError = false;
  ReadLines(f, &readError);
  std::fclose(f);
  file_ = nullptr;
  SetFileName(path);
  currentSection_ = defaultSection_;
  return !readError;
}

bool zrConfig::Close(bool saveIfDirty) {
  lfmScopedGuard guard(ConfigLock());
  if (file_)
    std::fclose(file_);
  file_ = nullptr;
  if (saveIfDirty && dirty_)
    return Save(false);
  return true;
}

void zrConfig::WriteSetting(std::FILE* out, const Entry& e) {
  std::fprintf(out, "%s = %s\n", e.key.c_str(), e.value.c_str());
}

void zrConfig::WriteSettings(std::FILE* out, const Settings& settings) {
  std::vector<const Entry*> sorted;
  for (const auto& kv : settings)
    sorted.push_back(&kv.second);
  std::sort(sorted.begin(), sorted.end(),
            [](const Entry* a, const Entry* b) { return a->order < b->order; });
  for (const Entry* e : sorted)
    WriteSetting(out, *e);
}

void zrConfig::WriteMerged(std::FILE* in, std::FILE* out, bool* readError) const {
  // Settings still to be written, by section; entries leave as they are written.
  Sections work = sections_;
  std::string current = defaultSection_;
  std::string lastWritten;
  auto flushSection = [&](const std::string& name) {
    auto it = work.find(name);
    if (it == work.end())
      return;
    WriteSettings(out, it->second.settings);
    work.erase(it);
  };

  if (in) {
    std::string line, name, key, value;
    bool bom = false;
    for (bool* first = &bom; NextLine(in, &line, readError, first); first = nullptr) {
      if (first && bom)
        std::fputs(kBom, out);  // kept for the editor that wrote it
      switch (Classify(line, &name, &key, &value)) {
        case LineKind::kEmpty:
          std::fputs("\n", out);
          break;
        case LineKind::kComment:
          if (!lfmUtility::StartsWithNoCase(line, kBanner))
            std::fprintf(out, "%s\n", line.c_str());
          break;
        case LineKind::kHeader:
          if (name.empty()) {
            std::fprintf(out, "%s\n", line.c_str());
            break;
          }
          if (!NameEq()(name, current))
            flushSection(current);
          std::fprintf(out, "[%s]\n", name.c_str());
          current = name;
          lastWritten = name;
          break;
        case LineKind::kSetting: {
          auto sec = work.find(current);
          if (sec == work.end())
            break;
          auto it = sec->second.settings.find(key);
          if (it == sec->second.settings.end())
            break;  // removed, or written already
          WriteSetting(out, it->second);
          sec->second.settings.erase(it);
          if (sec->second.settings.empty())
            work.erase(sec);
          break;
        }
      }
    }
  }

  // What the file did not mention: the current section first (it may need
  // no header), then the others in the order they were created.
  std::vector<const Section*> rest;
  for (const auto& kv : work) {
    if (!kv.second.settings.empty())
      rest.push_back(&kv.second);
  }
  std::sort(rest.begin(), rest.end(), [&](const Section* a, const Section* b) {
    bool ac = NameEq()(a->name, current), bc = NameEq()(b->name, current);
    if (ac != bc)
      return ac;
    return a->order < b->order;
  });
  for (const Section* s : rest) {
    if (!NameEq()(s->name, lastWritten))
      std::fprintf(out, "[%s]\n", s->name.c_str());
    lastWritten = s->name;
    WriteSettings(out, s->settings);
  }

  std::tm tm{};
  if (lfmPlatform::Current()->LocalTime(lfmClock::Now(), &tm)) {
    std::fprintf(out, "%s: %s %02d, %04d - %02d:%02d:%02d\n", kBanner,
                 lfmTimeFuncs::GetFullMonthName(tm.tm_mon + 1), tm.tm_mday, tm.tm_year + 1900,
                 tm.tm_hour, tm.tm_min, tm.tm_sec);
  }
}

bool zrConfig::Save(bool clearAfter) {
  lfmScopedGuard guard(ConfigLock());
  if (!dirty_) {
    if (clearAfter)
      Clear();
    return true;
  }
  if (openMode_ == kReadOnly || fileName_.empty())
    return false;
  lfmPlatform* os = lfmPlatform::Current();
  bool exists = os->Stat(fileName_, nullptr);
  if (exists && !os->Access(fileName_, kAccessWrite))
    return false;

  // The merge pass reads the current file. A file opened for rewriting
  // (kWrite) contributes nothing; it is not truncated here, so a failed save
  // never destroys it.
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (exists && openMode_ != kWrite) {
    file_ = OpenWithRetry(fileName_, "r", nullptr);
    if (!file_)
      return false;
  }
  const std::string tempName = TempNameFor(fileName_);
  std::FILE* out = OpenWithRetry(tempName, "w+", nullptr);
  if (!out) {
    if (file_)
      std::fclose(file_);
    file_ = nullptr;
    return false;
  }

  bool readError = false;
  WriteMerged(file_, out, &readError);
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
  }

  bool writeFailed = std::fflush(out) != 0 || std::ferror(out) != 0;
  writeFailed = (std::fclose(out) != 0) || writeFailed;
  if (writeFailed || readError) {
    // The old file is still intact: drop the incomplete copy.
    int err = os->Remove(tempName);
    if (err != 0)
      ReportFailure("unlink", tempName, nullptr, err);
    return false;
  }
  int err = os->Rename(tempName, fileName_, true);
  if (err != 0) {
    // The old file is untouched and the new content stays in the temporary file.
    ReportFailure("rename", tempName, &fileName_, err);
    return false;
  }
  dirty_ = 0;
  if (clearAfter)
    Clear();
  return true;
}

void zrConfig::Clear() {
  lfmScopedGuard guard(ConfigLock());
  sections_.clear();
  repeats_.clear();
  changeCount_ = 0;
  sectionsRead_ = 0;
  settingsRead_ = 0;
  defaultSection_ = "defaults";
  currentSection_.clear();
}

void zrConfig::SetOpenMode(int32_t mode) {
  lfmScopedGuard guard(ConfigLock());
  openMode_ = mode;
}

int32_t zrConfig::GetOpenMode() const {
  lfmScopedGuard guard(ConfigLock());
  return openMode_;
}

void zrConfig::SetFileName(const char* name) {
  lfmScopedGuard guard(ConfigLock());
  fileName_ = name ? name : "";
  if (fileName_.size() > kMaxFileName)
    fileName_.resize(kMaxFileName);
}

std::string zrConfig::GetFileName() const {
  lfmScopedGuard guard(ConfigLock());
  return fileName_;
}

std::string zrConfig::GetCurrentSection() const {
  lfmScopedGuard guard(ConfigLock());
  return currentSection_;
}

bool zrConfig::SelectSection(const char* name, bool create) {
  lfmScopedGuard guard(ConfigLock());
  if (!name)
    return false;
  auto it = sections_.find(name);
  if (it == sections_.end()) {
    if (!create)
      return false;
    currentSection_ = SectionFor(name).name;
    return true;
  }
  currentSection_ = it->second.name;
  return true;
}

std::string zrConfig::GetDefaultSection() const {
  lfmScopedGuard guard(ConfigLock());
  return defaultSection_;
}

void zrConfig::SetDefaultSection(const char* name) {
  lfmScopedGuard guard(ConfigLock());
  defaultSection_ = name ? name : "";
}

bool zrConfig::RemoveKey(const char* key, const char* section) {
  lfmScopedGuard guard(ConfigLock());
  if (!key)
    return false;
  auto it = sections_.find(section ? section : currentSection_);
  if (it == sections_.end())
    return false;
  bool removed = it->second.settings.erase(key) > 0;
  dirty_ = 1;
  return removed;
}

bool zrConfig::RemoveSection(const char* name) {
  lfmScopedGuard guard(ConfigLock());
  if (!name)
    return false;
  bool removed = sections_.erase(name) > 0;
  dirty_ = 1;
  return removed;
}

const zrConfig::Entry* zrConfig::Find(const char* key, const char* section) const {
  if (!key)
    return nullptr;
  auto it = sections_.find(section ? std::string(section) : currentSection_);
  if (it == sections_.end())
    return nullptr;
  auto e = it->second.settings.find(key);
  return e == it->second.settings.end() ? nullptr : &e->second;
}

void zrConfig::Store(const char* key, const char* value, const char* section) {
  if (!key || !*key)
    return;
  Section& s = SectionFor(section ? std::string(section) : currentSection_);
  auto it = s.settings.find(key);
  if (it == s.settings.end()) {
    s.settings.emplace(key, Entry{key, value ? value : "", nextOrder_++});
  } else {
    it->second.value = value ? value : "";
  }
  ++changeCount_;
  dirty_ = 1;
}

bool zrConfig::HasKey(const char* key, const char* section) const {
  lfmScopedGuard guard(ConfigLock());
  return Find(key, section) != nullptr;
}

bool zrConfig::GetBool(const char* key, bool def, const char* section) const {
  lfmScopedGuard guard(ConfigLock());
  const Entry* e = Find(key, section);
  if (!e)
    return def;
  if (lfmUtility::EqualsNoCase(e->value, "false") || e->value == "0")
    return false;
  if (lfmUtility::EqualsNoCase(e->value, "true") || e->value == "1")
    return true;
  return def;
}

std::vector<zrConfig::Setting> zrConfig::AllSettings() const {
  lfmScopedGuard guard(ConfigLock());
  std::vector<const Section*> sections;
  for (const auto& s : sections_)
    sections.push_back(&s.second);
  std::sort(sections.begin(), sections.end(),
            [](const Section* a, const Section* b) { return a->order < b->order; });
  std::vector<Setting> out;
  for (const Section* section : sections) {
    std::vector<const Entry*> entries;
    for (const auto& e : section->settings)
      entries.push_back(&e.second);
    std::sort(entries.begin(), entries.end(),
              [](const Entry* a, const Entry* b) { return a->order < b->order; });
    for (const Entry* e : entries)
      out.push_back({section->name, e->key, e->value});
  }
  return out;
}

std::vector<zrConfig::Setting> zrConfig::IgnoredRepeats() const {
  lfmScopedGuard guard(ConfigLock());
  return repeats_;
}

std::string zrConfig::GetString(const char* key, const char* def, const char* section) const {
  lfmScopedGuard guard(ConfigLock());
  const Entry* e = Find(key, section);
  if (e)
    return e->value;
  return def ? def : "";
}

lfmString zrConfig::GetString(const char* key, const lfmString& def, const char* section) const {
  lfmScopedGuard guard(ConfigLock());
  const Entry* e = Find(key, section);
  return e ? lfmString(e->value.c_str()) : def;
}

double zrConfig::GetDouble(const char* key, double def, const char* section) const {
  lfmScopedGuard guard(ConfigLock());
  const Entry* e = Find(key, section);
  if (!e)
    return def;
  return std::strtod(e->value.c_str(), nullptr);
}

const char* zrConfig::GetValue(const char* key, const char* def, const char* section) {
  lfmScopedGuard guard(ConfigLock());
  const Entry* e = Find(key, section);
  if (!e)
    return def;
  scratch_ = e->value;
  return scratch_.c_str();
}

int32_t zrConfig::GetInt(const char* key, int32_t def, const char* section) const {
  lfmScopedGuard guard(ConfigLock());
  const Entry* e = Find(key, section);
  if (!e)
    return def;
  return ToInt(e->value.c_str());
}

int32_t zrConfig::ToInt(const char* text) {
  if (!text)
    return 0;
  errno = 0;
  long long v = std::strtoll(text, nullptr, 10);
  if (v > INT32_MAX)
    return INT32_MAX;
  if (v < INT32_MIN)
    return INT32_MIN;
  return static_cast<int32_t>(v);
}

void zrConfig::SetBool(const char* key, bool value, const char* section) {
  lfmScopedGuard guard(ConfigLock());
  Store(key, value ? "True" : "False", section);
}

void zrConfig::SetString(const char* key, const char* value, const char* section) {
  lfmScopedGuard guard(ConfigLock());
  Store(key, value, section);
}

void zrConfig::SetString(const char* key, const lfmString& value, const char* section) {
  lfmScopedGuard guard(ConfigLock());
  Store(key, value.c_str(), section);
}

void zrConfig::SetDouble(const char* key, double value, const char* section) {
  char buf[512];
  std::snprintf(buf, sizeof buf, "%f", value);
  lfmScopedGuard guard(ConfigLock());
  Store(key, buf, section);
}

void zrConfig::SetValue(const char* key, const char* value, const char* section) {
  lfmScopedGuard guard(ConfigLock());
  Store(key, value, section);
}

void zrConfig::SetInt(const char* key, int32_t value, const char* section) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d", value);
  lfmScopedGuard guard(ConfigLock());
  Store(key, buf, section);
}

void zrConfig::SetDirty(bool dirty) {
  lfmScopedGuard guard(ConfigLock());
  dirty_ = dirty ? 1 : 0;
}

bool zrConfig::IsDirty() const {
  lfmScopedGuard guard(ConfigLock());
  return dirty_ != 0;
}

int32_t zrConfig::GetChangeCount() const {
  lfmScopedGuard guard(ConfigLock());
  return changeCount_;
}

int32_t zrConfig::SectionsRead() const {
  lfmScopedGuard guard(ConfigLock());
  return sectionsRead_;
}

int32_t zrConfig::SettingsRead() const {
  lfmScopedGuard guard(ConfigLock());
  return settingsRead_;
}

void zrConfig::SetKeepEmptyValues(bool keep) {
  lfmScopedGuard guard(ConfigLock());
  keepEmpty_ = keep;
}
