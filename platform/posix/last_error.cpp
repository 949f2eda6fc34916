#include "platform/win32.h"

namespace {

thread_local DWORD last_error = NO_ERROR;

}  // namespace

extern "C" {

W32COMPAT_API void SetLastError(DWORD error) { last_error = error; }

W32COMPAT_API DWORD GetLastError(void) { return last_error; }

}  // extern "C"
