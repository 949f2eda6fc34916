// The open behind CreateFileA, for the library's own readers.
#pragma once

#include <stdint.h>

#include "platform/win32.h"

namespace win32compat {

// Opens the file at a Win32 ANSI path for reading, as CreateFileA with
// GENERIC_READ and OPEN_EXISTING does: anything but a regular file is
// refused with ERROR_ACCESS_DENIED. Stores the file's size at the open in
// *size, taken from the check's own fstat, which spares a reader that
// reads the file whole the second one GetFileSize would make. Returns
// INVALID_HANDLE_VALUE with the last error set when it fails.
HANDLE OpenRegularFile(const char* path, uint64_t* size);

}  // namespace win32compat
