#include "config/lfmenv.h"

#include <cstring>
#include <memory>

#include "platform/lfmplatform.h"
#include "runtime/lfmmutex.h"
#include "util/lfmpathname.h"
#include "util/lfmutility.h"
#include "util/whexceptiontexts.h"

namespace {

const char kModule[] = "./src/config/lfmenv.cpp";
using whText::kConfigLoad;
using whText::kEnvNotSet;
const char kRootPrefix[] = "%zr_root%";
constexpr size_t kRootPrefixLength = sizeof kRootPrefix - 1;

// A value resolved once under its own mutex.
struct Cached {
  lfmMutex mu;
  bool resolved LFM_GUARDED_BY(mu) = false;
  std::string value LFM_GUARDED_BY(mu);
};

Cached& RootCache() {
  static Cached* c = new Cached;
  return *c;
}
Cached& FileNameCache() {
  static Cached* c = new Cached;
  return *c;
}
Cached& DebugLevelCache() {
  static Cached* c = new Cached;
  return *c;
}

// The process-wide state below is never destroyed: messages and reports may
// still be raised, and reach for the configuration, while statics are torn
// down at exit.
lfmMutex& InstanceMutex() {
  // Non-recursive: loading the instance reads only the environment and the
  // configuration file, never the instance.
  static lfmMutex* m = new lfmMutex(lfmMutex::kNonRecursive);
  return *m;
}

std::unique_ptr<lfmEnv>& InstanceSlot() {
  static auto* instance = new std::unique_ptr<lfmEnv>;
  return *instance;
}

// Resolves `name` once. An absent variable takes `def`; with no default it
// throws code 1012 and stays unresolved, so a later call looks again.
std::string Resolve(Cached& c, const char* name, const char* def) {
  lfmScopedGuard guard(c.mu);
  if (!c.resolved) {
    std::string v;
    if (!lfmEnv::LookupVariable(name, &v)) {
      if (!def)
        throw whException("lfmEnv", "GetRoot()", kModule, __LINE__, kEnvNotSet, name);
      v = def;
    }
    c.value = v;
    c.resolved = true;
  }
  return c.value;
}

}  // namespace

bool lfmEnv::LookupVariable(const char* name, std::string* value) {
  if (!name || !value)
    return false;
  // An empty value counts as absent, in either store: an empty ZR_ROOT
  // would otherwise make the file system's root the installation root.
  lfmPlatform* os = lfmPlatform::Current();
  std::string v;
  if ((!os->GetEnvironment(name, &v) || v.empty()) && (!os->GetNamedValue(name, &v) || v.empty()))
    return false;
  if (v.size() > kMaxVariable)
    v.resize(kMaxVariable);
  *value = v;
  return true;
}

bool lfmEnv::LookupVariable(const char* name, char* buffer, size_t size) {
  std::string v;
  if (!buffer || size == 0 || !LookupVariable(name, &v))
    return false;
  size_t n = v.size() < size - 1 ? v.size() : size - 1;
  std::memcpy(buffer, v.data(), n);
  buffer[n] = '\0';
  return true;
}

std::string lfmEnv::GetRoot() {
  return Resolve(RootCache(), "ZR_ROOT", nullptr);
}

std::string lfmEnv::GetConfigFileName() {
  return Resolve(FileNameCache(), "ZR_CFGFILE", "kyr.cfg");
}

std::string lfmEnv::GetDebugLevelText() {
  return Resolve(DebugLevelCache(), "ZR_DEBUG_LEVEL", "");
}

std::string lfmEnv::GetConfigPath() {
  std::string path = GetRoot();
  if (!lfmUtility::EndsWithSeparator(path))
    path += lfmPathName::kNativeSeparator;
  path += "cfg";
  path += lfmPathName::kNativeSeparator;
  path += GetConfigFileName();
  return path;
}

lfmEnv& lfmEnv::Instance() {
  lfmScopedGuard guard(InstanceMutex());
  std::unique_ptr<lfmEnv>& slot = InstanceSlot();
  if (!slot) {
    slot.reset(new lfmEnv());
    slot->SelectSection("defaults", true);
  }
  if (!slot->IsLoaded())
    slot->Load(GetConfigPath().c_str());
  return *slot;
}

bool lfmEnv::IsLoaded() const {
  lfmScopedGuard guard(ConfigLock());
  return loaded_;
}

void lfmEnv::Load(const char* path) {
  lfmScopedGuard guard(ConfigLock());
  if (loaded_) {
    Close(false);
    loaded_ = false;
  }
  if (!zrConfig::Load(path, kReadOnly)) {
    throw whException("lfmEnv", "Load()", kModule, __LINE__, kConfigLoad, path ? path : "");
  }
  loaded_ = true;
}

std::string lfmEnv::ExpandRoot(const std::string& path) {
  Instance();
  if (!lfmUtility::StartsWithNoCase(path, kRootPrefix))
    return path;
  std::string result = GetRoot();
  if (!lfmUtility::EndsWithSeparator(result))
    result += lfmPathName::kNativeSeparator;
  size_t rest = kRootPrefixLength;
  if (rest < path.size() && lfmUtility::IsSeparator(path[rest]))
    ++rest;
  result.append(path, rest, std::string::npos);
  return result;
}

std::string lfmEnv::ExpandDirectory(const std::string& path) {
  if (path.empty())
    return path;
  std::string dir = lfmPathName::Normalize(ExpandRoot(path));
  if (!lfmUtility::EndsWithSeparator(dir))
    dir += lfmPathName::kNativeSeparator;
  return dir;
}

void lfmEnv::ResetForTest() {
  {
    lfmScopedGuard guard(InstanceMutex());
    InstanceSlot().reset();
  }
  for (Cached* c : {&RootCache(), &FileNameCache(), &DebugLevelCache()}) {
    lfmScopedGuard guard(c->mu);
    c->resolved = false;
    c->value.clear();
  }
}
