#include "diag/lfmexceptioncontroller.h"

#include "diag/lfmstderr.h"
#include "runtime/lfmmutex.h"

namespace {

lfmMutex& ReportLock() {
  static lfmMutex m(lfmMutex::kRecursive);
  return m;
}

}  // namespace

std::string lfmExceptionController::FormatReport(const whException& e, const whMethodId& current) {
  std::string r;
  r.reserve(e.Message().size() + 256);
  r += e.Message();
  r += "\nCurrent Method: ";
  r += current.ClassName();
  r += "::";
  r += current.MethodName();
  r += "\nSource Method : ";
  r += e.SourceClassName();
  r += "::";
  r += e.SourceMethodName();
  r += "\nSource File   : ";
  r += e.SourceFile();
  r += "\nSource Line   : ";
  r += std::to_string(e.Line());
  if (r.size() > kExceptionReportMax)
    r.resize(kExceptionReportMax);
  return r;
}

void lfmExceptionController::ProcessException(const whException& e,
                                              const whMethodId& current) noexcept {
  try {
    lfmScopedGuard guard(ReportLock());
    try {
      std::string report = FormatReport(e, current);
      // Every code goes to standard error until the message catalogue is in
      // place; code 1012 will keep doing so, as the audit file cannot be
      // located without the root.
      lfmStdErr::WriteFallback(report);
    } catch (const whException& inner) {
      std::string line =
          "lfmExceptionController::ProcessException()  Failed to write exception to debug log "
          "file: ";
      line += inner.Message();
      lfmStdErr::WriteLine(line.c_str());
    } catch (...) {
      lfmStdErr::WriteLine(
          "Caught unknown exception in lfmExceptionController::ProcessException()");
    }
  } catch (...) {
    lfmStdErr::WriteLine("Caught unknown exception in lfmExceptionController::ProcessException()");
  }
}
