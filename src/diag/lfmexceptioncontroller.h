#pragma once

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

  // The report text for `e` caught in `current`, cut to 10000 characters.
  static std::string FormatReport(const whException& e, const whMethodId& current);
};

// Longest exception report; longer reports are cut.
constexpr size_t kExceptionReportMax = 10000;
