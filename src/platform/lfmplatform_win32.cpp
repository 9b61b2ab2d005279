// Win32 implementation of the platform interface. Declared here so that the
// Windows build has its place; it is completed together with the Windows
// build of the filter DLL.
#if defined(_WIN32)

#include <windows.h>

#include "platform/lfmplatform.h"

#error "The Win32 platform layer is not implemented yet."

#endif  // _WIN32
