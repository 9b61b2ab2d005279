#include "diag/lfmeventlog.h"

#include <atomic>

#include "config/lfmenv.h"
#include "platform/lfmplatform.h"
#include "runtime/lfmmutex.h"
#include "util/whexception.h"

namespace {

constexpr size_t kMaxPath = 260;

std::atomic<bool> g_registered{false};

lfmMutex& RegistrationLock() {
  // Non-recursive: a message raised while registering finds the flag set
  // (it is set first) and never asks for the lock again.
  static lfmMutex* m = new lfmMutex(lfmMutex::kNonRecursive);
  return *m;
}

lfmSysLogLevel LevelOf(uint16_t level) {
  if (level == kMessageWarning)
    return lfmSysLogLevel::kWarning;
  if (level == kMessageInformation)
    return lfmSysLogLevel::kInformation;
  return lfmSysLogLevel::kError;
}

}  // namespace

std::string lfmEventLog::MessageFilePath() {
  std::string root;
  try {
    root = lfmEnv::GetRoot();
  } catch (const whException&) {
    return std::string();
  }
  std::string path = root;
  if (path.empty() || (path.back() != '\\' && path.back() != '/'))
    path += '\\';
  path += "bin\\lfmeventmsg.dll";
  if (path.size() >= kMaxPath)
    return std::string();
  return path;
}

void lfmEventLog::Register() noexcept {
  if (g_registered.load(std::memory_order_acquire))
    return;
  try {
    lfmScopedGuard guard(RegistrationLock());
    if (g_registered.load(std::memory_order_relaxed))
      return;
    // Marked first: one attempt per process, successful or not.
    g_registered.store(true, std::memory_order_release);
    lfmPlatform::Current()->SystemLogRegister(kSource, MessageFilePath(),
                                              lfmMessageCatalogue::kCategoryCount);
  } catch (...) {
  }
}

void lfmEventLog::Report(const lfmMessage& m, const char* const* args, size_t count,
                         int32_t systemDebugLevel) noexcept {
  try {
    Register();
    if (m.level != kMessageAlways && m.level > systemDebugLevel)
      return;
    lfmSystemEvent ev;
    ev.level = LevelOf(m.level);
    ev.category = m.category->number;
    ev.categoryName = m.category->name;
    ev.eventId = m.eventId;
    for (size_t i = 0; i < count && i < kMaxArgs && args[i]; ++i)
      ev.strings.emplace_back(args[i]);
    ev.text = lfmMessageCatalogue::Format(m, args, count);
    lfmPlatform::Current()->SystemLogReport(kSource, ev);
  } catch (...) {
  }
}

void lfmEventLog::ResetForTest() {
  g_registered.store(false, std::memory_order_release);
}
