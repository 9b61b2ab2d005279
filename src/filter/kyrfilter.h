#pragma once
// The filter module's entry points (exported with C linkage; see isapi.h)
// and what the module does when a worker thread ends.

#include "filter/isapi.h"

// Registration values written by GetFilterVersion.
constexpr DWORD kFilterRevision = 0x40000;
constexpr DWORD kFilterFlags = SF_NOTIFY_ORDER_HIGH | SF_NOTIFY_PREPROC_HEADERS |
                               SF_NOTIFY_URL_MAP | SF_NOTIFY_SEND_RESPONSE |
                               SF_NOTIFY_NONSECURE_PORT | SF_NOTIFY_SECURE_PORT;
constexpr const char* kFilterDescription = "Tallyspring Data Collector";

// Releases the calling thread's pooled objects (validity record, cookie,
// parse map, request record, in that order). A thread that ends releases
// its objects by itself (each pool's thread-exit hook); this is for a host
// that recycles a thread for other work, and for tests.
void ReleaseThreadObjects();
