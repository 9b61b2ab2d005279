#pragma once
// What the Linux module offers its host, kyrhost, beside the three filter
// entry points: a configuration check and a few facts a server's console
// and health check need. The Windows DLL does not export these; IIS knows
// only the three filter entry points.

#include "filter/isapi.h"

// KyrFilterInfo's items.
enum : DWORD {
  KYR_INFO_CONTENT_FILE = 1,     // "contentfilename", e.g. "/zr_kyr.gif"
  KYR_INFO_LOG_FAULT = 2,        // why no hit can be logged now, one line; empty when hits can
  KYR_INFO_AUDIT_FILE = 3,       // the audit file's path; empty when there is none
  KYR_INFO_ENTRIES_WRITTEN = 4,  // messages written since the module loaded, decimal
  KYR_INFO_ENTRIES_STDERR = 5,   // of those, written to standard error instead, decimal
};

extern "C" {
// Reads the configuration as GetFilterVersion would and examines it, writing
// every settings report and warning to standard output, one line each, and
// opening no log, busy, backup or audit file. TRUE when a start would log
// hits. The host calls TerminateFilter afterwards and loads nothing else.
typedef BOOL(WINAPI* KyrCheckFilterProc)(void);
// Copies item `item` as text into `buffer` (NUL-terminated, cut to `size`)
// and returns its full length without the NUL; 0 for an unknown item or
// when the settings cannot be read. Thread-safe once GetFilterVersion has
// returned.
typedef DWORD(WINAPI* KyrFilterInfoProc)(DWORD item, char* buffer, DWORD size);
}
