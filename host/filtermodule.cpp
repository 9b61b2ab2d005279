#include "host/filtermodule.h"

#include <dlfcn.h>

#include <cstring>

#include "filter/kyrhostapi.h"

namespace kyrhost {

FilterModule::~FilterModule() {
  // The module's thread-local objects and static state may still be
  // referenced by exiting threads; the library is left mapped.
}

bool FilterModule::Load(const std::string& path, std::string& error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    error = "cannot load the filter module " + path + ": " + (why ? why : "unknown error");
    return false;
  }
  using GetVersion = BOOL(WINAPI*)(HTTP_FILTER_VERSION*);
  auto getVersion = reinterpret_cast<GetVersion>(dlsym(handle, "GetFilterVersion"));
  auto proc = reinterpret_cast<FilterProc>(dlsym(handle, "HttpFilterProc"));
  auto terminate = reinterpret_cast<BOOL(WINAPI*)(DWORD)>(dlsym(handle, "TerminateFilter"));
  const char* missing = !getVersion  ? "GetFilterVersion"
                        : !proc      ? "HttpFilterProc"
                        : !terminate ? "TerminateFilter"
                                     : nullptr;
  if (missing) {
    error = "the filter module " + path + " does not export " + missing;
    dlclose(handle);
    return false;
  }
  info_ = reinterpret_cast<KyrFilterInfoProc>(dlsym(handle, "KyrFilterInfo"));
  HTTP_FILTER_VERSION version{};
  version.dwServerFilterVersion = HTTP_FILTER_REVISION;
  if (!getVersion(&version)) {
    error = "the filter module " + path + " refused to start (GetFilterVersion returned FALSE); " +
            WhereMessagesWent();
    // Not unloaded: a module that failed half-way may have threads running.
    return false;
  }
  version.lpszFilterDesc[sizeof version.lpszFilterDesc - 1] = '\0';
  handle_ = handle;
  proc_ = proc;
  terminate_ = terminate;
  flags_ = version.dwFlags;
  version_ = version.dwFilterVersion;
  description_ = version.lpszFilterDesc;
  return true;
}

int FilterModule::Check(const std::string& path, std::string& error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    error = "cannot load the filter module " + path + ": " + (why ? why : "unknown error");
    return 2;
  }
  auto check = reinterpret_cast<KyrCheckFilterProc>(dlsym(handle, "KyrCheckFilter"));
  auto terminate = reinterpret_cast<BOOL(WINAPI*)(DWORD)>(dlsym(handle, "TerminateFilter"));
  if (!check || !terminate) {
    error = "the filter module " + path + " offers no configuration check";
    return 2;
  }
  handle_ = handle;
  terminate_ = terminate;
  info_ = reinterpret_cast<KyrFilterInfoProc>(dlsym(handle, "KyrFilterInfo"));
  BOOL usable = check();
  Terminate();
  return usable ? 0 : 1;
}

std::string FilterModule::Info(DWORD item) const {
  if (!info_)
    return "";
  char buffer[4096];
  DWORD length = info_(item, buffer, sizeof buffer);
  if (length < sizeof buffer)
    return std::string(buffer, length);
  std::string text(length + 1, '\0');
  length = info_(item, &text[0], static_cast<DWORD>(text.size()));
  text.resize(length < text.size() ? length : text.size() - 1);
  return text;
}

std::string FilterModule::WhereMessagesWent() const {
  std::string audit = Info(KYR_INFO_AUDIT_FILE);
  std::string toStderr = Info(KYR_INFO_ENTRIES_STDERR);
  if (!toStderr.empty() && toStderr != "0")
    return "the messages above tell why";
  if (!audit.empty())
    return "the audit file " + audit + " tells why";
  return "the installation root's log directory or the system log may tell why";
}

void FilterModule::UseForTest(FilterProc proc, DWORD flags, BOOL(WINAPI* terminate)(DWORD)) {
  proc_ = proc;
  flags_ = flags;
  terminate_ = terminate;
}

void FilterModule::Terminate() {
  if (terminated_)
    return;
  terminated_ = true;
  if (terminate_)
    terminate_(0);
}

}  // namespace kyrhost
