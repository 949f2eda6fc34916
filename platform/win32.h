// The Win32 surface the extension module is written against.
//
// On Windows this is <windows.h> and nothing else. On POSIX systems it
// declares the few Win32 types and calls the module makes; they are
// implemented by the shared library libwin32compat.so (platform/posix/),
// which the module links dynamically.
//
// Binary interface of libwin32compat.so for hosts that load the module:
// every function below has C linkage and default visibility. The last-error
// value is per thread. A host that answers a module callback with FALSE
// calls SetLastError() from this same library on the same thread before
// returning, so that the module's GetLastError() sees the Win32 error number
// (ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_INDEX, ...), exactly as on
// Windows. Link the host against libwin32compat.so (or dlopen it with
// RTLD_GLOBAL before the module) so that host and module share one copy.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else

#include <stdint.h>

typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef char CHAR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef void* LPVOID;
typedef void* HANDLE;
typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED* LPOVERLAPPED;

#define WINAPI
#define TRUE 1
#define FALSE 0

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFFu)

#define GENERIC_READ 0x80000000u
#define FILE_SHARE_READ 0x00000001u
#define OPEN_EXISTING 3u

// Win32 error numbers, with their Windows values.
#define NO_ERROR 0u
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_WRITE_FAULT 29u
#define ERROR_READ_FAULT 30u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_NETNAME_DELETED 64u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_NO_DATA 232u
#define ERROR_MORE_DATA 234u
#define ERROR_CONNECTION_ABORTED 1236u
#define ERROR_INVALID_INDEX 1413u

#if defined(W32COMPAT_BUILD)
#define W32COMPAT_API __attribute__((visibility("default")))
#else
#define W32COMPAT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Sets the calling thread's last-error value. Thread-safe: each thread has
// its own value, which starts at 0.
W32COMPAT_API void SetLastError(DWORD error);

// Returns the calling thread's last-error value.
W32COMPAT_API DWORD GetLastError(void);

// Reads the value of `key` in section `section` of the profile (INI) file
// `file_name`, with the rules of Windows under the Japanese ANSI code page
// 932: ASCII case-insensitive names, blanks trimmed, one pair of matching
// quotes removed, a UTF-16LE file with a BOM converted to cp932. Copies at
// most size - 1 bytes and a NUL into `out` and returns the number of bytes
// copied; with size 0 nothing is written and 0 is returned. A missing or
// unreadable file, section or key yields `default_value` (NULL means "").
// Section and key must not be NULL. `file_name` is a cp932 path (see
// CreateFileA). Thread-safe; the file is read afresh on every call.
W32COMPAT_API DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                             LPCSTR default_value, LPSTR out,
                                             DWORD size, LPCSTR file_name);

// Opens an existing regular file for reading. `path` is cp932 text: it is
// converted to UTF-8, every backslash that is not the trail byte of a
// double-byte character separates components, and a drive-letter path
// "X:\..." resolves under the directory named by the environment variable
// WIN32_DRIVE_X (no such variable: the path does not exist). Only
// desired_access GENERIC_READ with OPEN_EXISTING is supported. A directory,
// FIFO, socket or device fails at once (ERROR_ACCESS_DENIED) without
// blocking. The descriptor is close-on-exec. The file's size is taken
// here, with the check that it is a regular file (see GetFileSize). A path
// whose UTF-8 form is PATH_MAX bytes or longer is not found.
// Returns INVALID_HANDLE_VALUE on failure, with the last error set
// (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED, ...).
// The caller owns the handle and releases it with CloseHandle. Thread-safe.
W32COMPAT_API HANDLE CreateFileA(LPCSTR path, DWORD desired_access,
                                 DWORD share_mode,
                                 LPSECURITY_ATTRIBUTES security,
                                 DWORD creation_disposition,
                                 DWORD flags_and_attributes, HANDLE template_file);

// Returns the low 32 bits of the file's size and stores the high 32 bits in
// *size_high when it is not NULL. The size is the one the file had when
// CreateFileA opened it; the file is not measured again, so the call makes
// no system call. A file that grows or shrinks after the open keeps that
// size here, while ReadFile reads what the file holds when it reads: a read
// of the size taken at open gets fewer bytes from a file that shrank, and
// only the bytes up to that size from one that grew; the count it reports
// is what was read. On failure (a handle not open through CreateFileA)
// returns INVALID_FILE_SIZE with the last error set to ERROR_INVALID_HANDLE;
// a successful call sets the last error to NO_ERROR. Thread-safe.
W32COMPAT_API DWORD GetFileSize(HANDLE file, LPDWORD size_high);

// Reads up to `count` bytes, retrying interrupted and short reads until
// `count` bytes or end of file, and stores the number read in *bytes_read.
// Returns FALSE with the last error set on a read error. Overlapped I/O is
// not supported: `overlapped` must be NULL.
W32COMPAT_API BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count,
                            LPDWORD bytes_read, LPOVERLAPPED overlapped);

// Closes a handle returned by CreateFileA. Returns FALSE with
// ERROR_INVALID_HANDLE for INVALID_HANDLE_VALUE or a handle not open.
W32COMPAT_API BOOL CloseHandle(HANDLE handle);

#ifdef __cplusplus
}
#endif

#endif  // _WIN32
