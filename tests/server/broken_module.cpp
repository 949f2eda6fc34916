// Modules the host must refuse to start with. Built twice:
// MISSING_VERSION leaves out GetExtensionVersion; otherwise
// GetExtensionVersion refuses with ERROR_ACCESS_DENIED.
#include "isapi/isapi.h"

extern "C" {

#ifndef MISSING_VERSION
ISAPI_EXPORT BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO*) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
#endif

ISAPI_EXPORT DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK*) {
  return HSE_STATUS_ERROR;
}

}  // extern "C"
