// How Win32 ANSI paths name files on a POSIX file system.
#pragma once

#include <limits.h>
#include <stddef.h>

#include <string>

namespace win32compat {

// Room for the longest path the system opens, terminator included.
constexpr size_t kMaxPosixPath = PATH_MAX;

// Converts a Win32 ANSI path (cp932 text) to the POSIX path of the same
// file, NUL-terminated in `posix_path`: the text becomes UTF-8, each
// backslash outside a double-byte character becomes '/', and a drive-letter
// path "X:\rest" or "X:rest" becomes "$WIN32_DRIVE_X/rest" (letter
// upper-cased). Relative and rooted paths without a drive keep their place
// ("\data\x" is "/data/x").
// Returns false, leaving `posix_path` unchanged, with the last error set to
// ERROR_PATH_NOT_FOUND when the path cannot name a file here: its drive has
// no WIN32_DRIVE_X variable (or an empty one), it is a UNC or device path
// ("\\server\share", "\\.\x"), or its UTF-8 form (with the drive's directory
// in place of the drive) takes kMaxPosixPath bytes or more;
// ERROR_INVALID_NAME when empty. Bytes that are not cp932 characters are
// taken as Windows takes them (a lone lead byte is U+30FB). Thread-safe as
// long as nobody changes the environment meanwhile. Allocates nothing.
bool ToPosixPath(const char* win_path, char (&posix_path)[kMaxPosixPath]);

// The same, into a string.
bool ToPosixPath(const char* win_path, std::string* posix_path);

}  // namespace win32compat
