// Test programs are executables, not the DLL, so no DllMain sees their
// threads end. A TLS callback, which the loader calls for executables too,
// does what the DLL's thread-detach notification does: it releases the
// ending thread's pooled objects and runs the thread-local slots' hooks.
#if defined(_WIN32)

#include <windows.h>

#include "filter/kyrfilter.h"
#include "platform/lfmplatform.h"

namespace {

void NTAPI OnThreadEvent(PVOID, DWORD reason, PVOID) {
  if (reason != DLL_THREAD_DETACH)
    return;
  try {
    ReleaseThreadObjects();
  } catch (...) {
  }
  lfmPlatform::ThreadExit();
}

}  // namespace

// The runtime's TLS directory calls every pointer placed between its
// .CRT$XLA and .CRT$XLZ markers.
extern "C" __attribute__((section(".CRT$XLF"), used))
const PIMAGE_TLS_CALLBACK kyr_test_thread_exit = OnThreadEvent;

#endif  // _WIN32
