#include "filter/iiscontenthandler.h"

#include <atomic>
#include <cstring>
#include <string>
#include <string_view>

#include "logout/lfmlogserversettings.h"
#include "runtime/lfmmutex.h"
#include "util/lfmutility.h"
#include "util/whexception.h"

namespace {

const char kClass[] = "hitfunnel";
const char kMethod[] = "RemapURL()";
const char kModule[] = "./src/filter/iiscontenthandler.cpp";

struct SiteRoot {
  lfmMutex lock;
  std::atomic<bool> computed{false};
  std::string text;  // written once under `lock` before `computed`
};

// Never destroyed: request threads may remap while the process ends.
SiteRoot& TheSiteRoot() {
  static SiteRoot* r = new SiteRoot();
  return *r;
}

[[noreturn]] void Fail(int line, const char* text) {
  throw whException(kClass, kMethod, kModule, line, 1000, text);
}

// True for a file part like "kyr.gif" or "NJS.GIF": longer than "gif" and
// ending in ".gif" in any letter case.
bool IsTagImage(const char* file) {
  size_t n = std::strlen(file);
  return n > 3 && lfmUtility::EndsWithNoCase(file, ".gif");
}

// The physical path's length; fails when the buffer holds no terminator.
size_t PathLength(const HTTP_FILTER_URL_MAP* map, int line) {
  const void* end = std::memchr(map->pszPhysicalPath, '\0', map->cbPathBuff);
  if (!end)
    Fail(line, "The physical path of the URL map is not terminated within its buffer.");
  return static_cast<size_t>(static_cast<const char*>(end) - map->pszPhysicalPath);
}

}  // namespace

void RemapURL(HTTP_FILTER_URL_MAP* map) {
  if (!map || !map->pszURL || !map->pszPhysicalPath || map->cbPathBuff == 0)
    Fail(__LINE__, "The URL map is incomplete.");
  const char* url = map->pszURL;
  const char* file = url + lfmUtility::AfterLastSeparator(url);
  // A view of the settings' text or of the URL, both stable for the call.
  const bool tagImage = IsTagImage(file);
  std::string_view name;
  if (tagImage) {
    std::string_view content = lfmLogServerSettings::ContentFileName();
    name = (!content.empty() && content[0] == '/') ? content.substr(1) : content;
  } else {
    name = file;
  }
  size_t size = map->cbPathBuff;

  if (lfmLogServerSettings::HostedModel()) {
    SiteRoot& root = TheSiteRoot();
    if (!root.computed.load(std::memory_order_acquire)) {
      lfmScopedGuard guard(root.lock);
      if (!root.computed.load(std::memory_order_relaxed)) {
        size_t pathLength = PathLength(map, __LINE__);
        size_t urlLength = std::strlen(url);
        // The path ends with the URL's text (native separators); what is
        // left, with the separator that stands for the URL's first "/", is
        // the site root.
        if (urlLength == 0 || urlLength > pathLength)
          Fail(__LINE__, "The URL is longer than its physical path; the site root is unknown.");
        root.text.assign(map->pszPhysicalPath, pathLength - urlLength + 1);
        root.computed.store(true, std::memory_order_release);
      }
    }
    size_t rootLength = root.text.size();
    if (rootLength + name.size() >= size)
      Fail(__LINE__, "Not enough memory to remap the URL.");
    std::memcpy(map->pszPhysicalPath, root.text.data(), rootLength);
    std::memcpy(map->pszPhysicalPath + rootLength, name.data(), name.size());
    map->pszPhysicalPath[rootLength + name.size()] = '\0';
    return;
  }

  if (!tagImage)
    return;
  size_t pathLength = PathLength(map, __LINE__);
  size_t cut = lfmUtility::AfterLastSeparator(std::string_view(map->pszPhysicalPath, pathLength));
  if (cut == 0)
    Fail(__LINE__, "Physical path in URL map missing backslash.");
  size_t slash = cut - 1;
  if (slash + name.size() + 1 >= size)
    Fail(__LINE__, "Not enough memory to remap the URL.");
  std::memcpy(map->pszPhysicalPath + cut, name.data(), name.size());
  map->pszPhysicalPath[cut + name.size()] = '\0';
}

void ResetSiteRootForTest() {
  SiteRoot& root = TheSiteRoot();
  lfmScopedGuard guard(root.lock);
  root.text.clear();
  root.computed.store(false, std::memory_order_release);
}
