#include "diag/lfmexceptioncontroller.h"

#include "diag/lfmdebuglog.h"
#include "runtime/lfmmutex.h"
#include "util/lfmstderr.h"
#include "util/whexceptiontexts.h"

namespace {

lfmMutex& ReportLock() {
  // Never destroyed: reports may be made while statics are torn down.
  // Non-recursive: the debug log a report goes to never reports through
  // this controller (its own failures go to standard error).
  static lfmMutex* m = new lfmMutex(lfmMutex::kNonRecursive);
  return *m;
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
      const int32_t code = e.Code();
      if (code == whText::kEnvNotSet.Code()) {
        // Without the root the audit file cannot be located.
        lfmStdErr::WriteFallback(report);
      } else if (code >= 1000) {
        lfmDebugLog::Instance().Log(MESS_ERROR_EXCEPTION, report.c_str());
      } else if (code >= 100) {
        lfmDebugLog::Instance().Log(MESS_WARN_EXCEPTION, report.c_str());
      } else {
        lfmDebugLog::Instance().Log(MESS_DEBUG_EXCEPTION, report.c_str());
      }
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

void lfmExceptionController::ReportAndRethrow(const whException& e, const whMethodId& current) {
  ProcessException(e, current);
  throw;
}
