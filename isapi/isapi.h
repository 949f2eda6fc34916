// The Internet Server extension interface (ISAPI 4.0): the records,
// constants and callback signatures that pass between a web server (the
// host) and an extension module, in the published member order. The layout
// matches the platform's <httpext.h>: 144 bytes for the control block on
// 32-bit Windows, 192 on 64-bit Windows and on LP64 POSIX systems.
#pragma once

#include <stddef.h>

#include "platform/win32.h"

// Entry points of a module carry default visibility on POSIX; on Windows
// the module's export list (.def) names them.
#if defined(_WIN32)
#define ISAPI_EXPORT
#else
#define ISAPI_EXPORT __attribute__((visibility("default")))
#endif

typedef void* HCONN;

constexpr DWORD kIsapiVersion = 0x00040000u;  // MAKELONG(0, 4): version 4.0

constexpr size_t HSE_LOG_BUFFER_LEN = 80;
constexpr size_t HSE_MAX_EXT_DLL_NAME_LEN = 256;

// HttpExtensionProc results.
constexpr DWORD HSE_STATUS_SUCCESS = 1;
constexpr DWORD HSE_STATUS_SUCCESS_AND_KEEP_CONN = 2;
constexpr DWORD HSE_STATUS_PENDING = 3;
constexpr DWORD HSE_STATUS_ERROR = 4;

// ServerSupportFunction requests.
constexpr DWORD HSE_REQ_SEND_RESPONSE_HEADER = 3;
constexpr DWORD HSE_REQ_DONE_WITH_SESSION = 4;
constexpr DWORD HSE_REQ_IS_KEEP_CONN = 1008;
constexpr DWORD HSE_REQ_SEND_RESPONSE_HEADER_EX = 1016;

// WriteClient flags.
constexpr DWORD HSE_IO_SYNC = 0x1;
constexpr DWORD HSE_IO_ASYNC = 0x2;

// TerminateExtension flags.
constexpr DWORD HSE_TERM_ADVISORY_UNLOAD = 0x1;
constexpr DWORD HSE_TERM_MUST_UNLOAD = 0x2;

typedef struct _HSE_VERSION_INFO {
  DWORD dwExtensionVersion;
  CHAR lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN];
} HSE_VERSION_INFO, *LPHSE_VERSION_INFO;

typedef struct _HSE_SEND_HEADER_EX_INFO {
  LPCSTR pszStatus;
  LPCSTR pszHeader;
  DWORD cchStatus;
  DWORD cchHeader;
  BOOL fKeepConn;
} HSE_SEND_HEADER_EX_INFO, *LPHSE_SEND_HEADER_EX_INFO;

typedef struct _EXTENSION_CONTROL_BLOCK {
  DWORD cbSize;
  DWORD dwVersion;
  HCONN ConnID;
  DWORD dwHttpStatusCode;
  CHAR lpszLogData[HSE_LOG_BUFFER_LEN];
  LPSTR lpszMethod;
  LPSTR lpszQueryString;
  LPSTR lpszPathInfo;
  LPSTR lpszPathTranslated;
  DWORD cbTotalBytes;
  DWORD cbAvailable;
  LPBYTE lpbData;
  LPSTR lpszContentType;
  BOOL(WINAPI* GetServerVariable)(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size);
  BOOL(WINAPI* WriteClient)(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD flags);
  BOOL(WINAPI* ReadClient)(HCONN conn, LPVOID buffer, LPDWORD size);
  BOOL(WINAPI* ServerSupportFunction)(HCONN conn, DWORD hse_request, LPVOID buffer,
                                      LPDWORD size, LPDWORD data_type);
} EXTENSION_CONTROL_BLOCK, *LPEXTENSION_CONTROL_BLOCK;

static_assert(sizeof(HSE_VERSION_INFO) == 260, "HSE_VERSION_INFO layout");
static_assert(sizeof(EXTENSION_CONTROL_BLOCK) == (sizeof(void*) == 8 ? 192 : 144),
              "EXTENSION_CONTROL_BLOCK layout");
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, ServerSupportFunction) ==
                  (sizeof(void*) == 8 ? 184 : 140),
              "EXTENSION_CONTROL_BLOCK layout");

// The module's entry points, as the host resolves them by name.
typedef BOOL(WINAPI* PFN_GETEXTENSIONVERSION)(HSE_VERSION_INFO* info);
typedef DWORD(WINAPI* PFN_HTTPEXTENSIONPROC)(EXTENSION_CONTROL_BLOCK* ecb);
typedef BOOL(WINAPI* PFN_TERMINATEEXTENSION)(DWORD flags);
