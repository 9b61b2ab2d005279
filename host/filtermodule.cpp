#include "host/filtermodule.h"

#include <dlfcn.h>

#include <cstring>

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
  HTTP_FILTER_VERSION version{};
  version.dwServerFilterVersion = HTTP_FILTER_REVISION;
  if (!getVersion(&version)) {
    error = "the filter module " + path +
            " refused to start (GetFilterVersion returned FALSE); its audit file under the "
            "installation root's log directory tells why";
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
