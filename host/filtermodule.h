#pragma once
// The filter module as kyrhost sees it: a shared library loaded with dlopen
// that exports the three ISAPI entry points. Load() calls GetFilterVersion
// once; afterwards the notification mask decides what each request is
// shown. Not copyable; the library stays loaded for the life of the object.

#include <string>

#include "filter/isapi.h"

namespace kyrhost {

class FilterModule {
 public:
  using FilterProc = DWORD(WINAPI*)(HTTP_FILTER_CONTEXT*, DWORD, void*);

  FilterModule() = default;
  ~FilterModule();
  FilterModule(const FilterModule&) = delete;
  FilterModule& operator=(const FilterModule&) = delete;

  // Loads `path`, resolves the three exports and calls GetFilterVersion.
  // On failure returns false with a sentence for the operator in `error`
  // (missing file, missing export, the module refused to start); nothing
  // stays loaded then.
  bool Load(const std::string& path, std::string& error);

  // The configuration check: loads `path` and runs its KyrCheckFilter (the
  // module writes its reports and warnings to standard output), then its
  // TerminateFilter. 0 when the configuration is usable, 1 when it is not,
  // 2 when the module cannot be loaded or has no check; then a sentence for
  // the operator in `error`. The library stays loaded.
  int Check(const std::string& path, std::string& error);

  // The module's KyrFilterInfo item (kyrhostapi.h); empty when the module
  // does not offer it.
  std::string Info(DWORD item) const;

  // Stands a module made of plain functions in (tests). `terminate` may be null.
  void UseForTest(FilterProc proc, DWORD flags, BOOL(WINAPI* terminate)(DWORD) = nullptr);

  // Whether a request on a secure (HTTPS) or plain port is shown
  // `notification`: the module registered for it, and for that kind of port
  // (a module that names neither kind of port gets both, as IIS does).
  bool Wants(DWORD notification, bool secure) const {
    if ((flags_ & notification) == 0)
      return false;
    DWORD ports = flags_ & (SF_NOTIFY_SECURE_PORT | SF_NOTIFY_NONSECURE_PORT);
    return ports == 0 || (ports & (secure ? SF_NOTIFY_SECURE_PORT : SF_NOTIFY_NONSECURE_PORT));
  }
  FilterProc Proc() const { return proc_; }
  DWORD Flags() const { return flags_; }
  DWORD Version() const { return version_; }
  const std::string& Description() const { return description_; }

  // Calls TerminateFilter once (later calls do nothing). The module writes
  // out every log here.
  void Terminate();

  // For a module that would not start: where its messages went, as the end
  // of a sentence ("the audit file ... tells why").
  std::string WhereMessagesWent() const;

 private:
  void* handle_ = nullptr;
  FilterProc proc_ = nullptr;
  BOOL(WINAPI* terminate_)(DWORD) = nullptr;
  DWORD(WINAPI* info_)(DWORD, char*, DWORD) = nullptr;
  DWORD flags_ = 0;
  DWORD version_ = 0;
  std::string description_;
  bool terminated_ = false;
};

}  // namespace kyrhost
