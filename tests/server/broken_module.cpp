// Modules the host must refuse to start with. Built three times:
// MISSING_VERSION leaves out GetExtensionVersion; HANGING_VERSION's
// GetExtensionVersion never returns (it waits until the process is killed);
// otherwise GetExtensionVersion refuses with ERROR_ACCESS_DENIED.
#include <unistd.h>

#include "isapi/isapi.h"

extern "C" {

#if defined(HANGING_VERSION)
ISAPI_EXPORT BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO*) {
  for (;;) pause();
}
#elif !defined(MISSING_VERSION)
ISAPI_EXPORT BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO*) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
#endif

ISAPI_EXPORT DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK*) {
  return HSE_STATUS_ERROR;
}

}  // extern "C"
