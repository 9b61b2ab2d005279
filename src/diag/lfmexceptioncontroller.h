#pragma once

#include <utility>

#include "util/lfmstderr.h"
#include "util/whexception.h"

class lfmExceptionController {
 public:
  // Turns a caught exception into one report naming the catching method
  // (`current`) and the throw site, and raises it: code 1012 (the root is
  // unknown, so nothing else can be located) to standard error only, every
  // other code through the diagnostics output by its severity.
  // Thread-safe: serialised on the exception-report lock, which is always
  // taken before the audit file's lock. Never throws.
  static void ProcessException(const whException& e, const whMethodId& current) noexcept;

  // Reports `e` as caught in `current`, then throws on the very object the
  // handler caught (`throw;`, not a copy). Call it only inside the handler
  // that caught `e`: the method id is then built on the throwing path alone,
  // and a stage that does not throw pays nothing for its report.
  [[noreturn]] static void ReportAndRethrow(const whException& e, const whMethodId& current);

  // Runs `body` where nothing may escape: an entry point, a thread body, a
  // background step. A whException is reported as caught in `site`; any
  // other exception writes the fixed line `unknownLine` to standard error.
  // Returns true when `body` returned, false when it threw. Never throws.
  template <typename Body>
  static bool RunAtBoundary(const whMethodId& site, const char* unknownLine, Body&& body) noexcept {
    try {
      std::forward<Body>(body)();
      return true;
    } catch (const whException& e) {
      ProcessException(e, site);
    } catch (...) {
      lfmStdErr::WriteLine(unknownLine);
    }
    return false;
  }

  // The report text for `e` caught in `current`, cut to 10000 characters.
  static std::string FormatReport(const whException& e, const whMethodId& current);
};

// Longest exception report; longer reports are cut.
constexpr size_t kExceptionReportMax = 10000;
