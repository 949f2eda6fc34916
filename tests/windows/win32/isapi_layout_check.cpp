// Compile-time proof that host/isapi.h declares the records, callbacks and
// constants of the platform's <httpext.h>: same member types (calling
// convention included), offsets and sizes. This file has no code; it only
// has to compile in every Windows build.
#include <stddef.h>

#include <type_traits>

#include "isapi/isapi.h"

// <httpext.h> defines the constants as macros of the same names, so ours
// are captured before it is read.
namespace ours {
constexpr DWORD kLogBufferLength = HSE_LOG_BUFFER_LEN;
constexpr DWORD kDescriptionLength = HSE_MAX_EXT_DLL_NAME_LEN;
constexpr DWORD kStatusSuccess = HSE_STATUS_SUCCESS;
constexpr DWORD kStatusSuccessAndKeepConn = HSE_STATUS_SUCCESS_AND_KEEP_CONN;
constexpr DWORD kStatusPending = HSE_STATUS_PENDING;
constexpr DWORD kStatusError = HSE_STATUS_ERROR;
constexpr DWORD kSendResponseHeader = HSE_REQ_SEND_RESPONSE_HEADER;
constexpr DWORD kDoneWithSession = HSE_REQ_DONE_WITH_SESSION;
constexpr DWORD kIsKeepConn = HSE_REQ_IS_KEEP_CONN;
constexpr DWORD kSendResponseHeaderEx = HSE_REQ_SEND_RESPONSE_HEADER_EX;
constexpr DWORD kIoSync = HSE_IO_SYNC;
constexpr DWORD kIoAsync = HSE_IO_ASYNC;
constexpr DWORD kAdvisoryUnload = HSE_TERM_ADVISORY_UNLOAD;
constexpr DWORD kMustUnload = HSE_TERM_MUST_UNLOAD;
}  // namespace ours

// <windows.h> is already in, so its include guards keep everything but the
// extension records themselves out of this namespace.
namespace sdk {
#include <httpext.h>
}  // namespace sdk

static_assert(ours::kLogBufferLength == HSE_LOG_BUFFER_LEN, "HSE_LOG_BUFFER_LEN");
static_assert(ours::kDescriptionLength == HSE_MAX_EXT_DLL_NAME_LEN, "HSE_MAX_EXT_DLL_NAME_LEN");
static_assert(ours::kStatusSuccess == HSE_STATUS_SUCCESS, "HSE_STATUS_SUCCESS");
static_assert(ours::kStatusSuccessAndKeepConn == HSE_STATUS_SUCCESS_AND_KEEP_CONN,
              "HSE_STATUS_SUCCESS_AND_KEEP_CONN");
static_assert(ours::kStatusPending == HSE_STATUS_PENDING, "HSE_STATUS_PENDING");
static_assert(ours::kStatusError == HSE_STATUS_ERROR, "HSE_STATUS_ERROR");
static_assert(ours::kSendResponseHeader == HSE_REQ_SEND_RESPONSE_HEADER,
              "HSE_REQ_SEND_RESPONSE_HEADER");
static_assert(ours::kDoneWithSession == HSE_REQ_DONE_WITH_SESSION, "HSE_REQ_DONE_WITH_SESSION");
static_assert(ours::kIsKeepConn == HSE_REQ_IS_KEEP_CONN, "HSE_REQ_IS_KEEP_CONN");
static_assert(ours::kSendResponseHeaderEx == HSE_REQ_SEND_RESPONSE_HEADER_EX,
              "HSE_REQ_SEND_RESPONSE_HEADER_EX");
static_assert(ours::kIoSync == HSE_IO_SYNC, "HSE_IO_SYNC");
static_assert(ours::kIoAsync == HSE_IO_ASYNC, "HSE_IO_ASYNC");
static_assert(ours::kAdvisoryUnload == HSE_TERM_ADVISORY_UNLOAD, "HSE_TERM_ADVISORY_UNLOAD");
static_assert(ours::kMustUnload == HSE_TERM_MUST_UNLOAD, "HSE_TERM_MUST_UNLOAD");
static_assert(kIsapiVersion == MAKELONG(0, 4), "extension version 4.0");

static_assert(std::is_same<::HCONN, sdk::HCONN>::value, "HCONN");

#define SAME_RECORD(record)                                                  \
  static_assert(sizeof(::record) == sizeof(sdk::record), #record " size");   \
  static_assert(alignof(::record) == alignof(sdk::record), #record " alignment")

// The type comparison covers the callbacks' calling convention: on 32-bit
// Windows a missing WINAPI makes the function pointer types differ.
#define SAME_MEMBER(record, member)                                            \
  static_assert(offsetof(::record, member) == offsetof(sdk::record, member),   \
                #record "::" #member " offset");                               \
  static_assert(sizeof(::record::member) == sizeof(sdk::record::member),       \
                #record "::" #member " size");                                 \
  static_assert(std::is_same<decltype(::record::member),                       \
                             decltype(sdk::record::member)>::value,            \
                #record "::" #member " type")

SAME_RECORD(HSE_VERSION_INFO);
SAME_MEMBER(HSE_VERSION_INFO, dwExtensionVersion);
SAME_MEMBER(HSE_VERSION_INFO, lpszExtensionDesc);

SAME_RECORD(HSE_SEND_HEADER_EX_INFO);
SAME_MEMBER(HSE_SEND_HEADER_EX_INFO, pszStatus);
SAME_MEMBER(HSE_SEND_HEADER_EX_INFO, pszHeader);
SAME_MEMBER(HSE_SEND_HEADER_EX_INFO, cchStatus);
SAME_MEMBER(HSE_SEND_HEADER_EX_INFO, cchHeader);
SAME_MEMBER(HSE_SEND_HEADER_EX_INFO, fKeepConn);

SAME_RECORD(EXTENSION_CONTROL_BLOCK);
SAME_MEMBER(EXTENSION_CONTROL_BLOCK, cbSize);
SAME_MEMBER(EXTENSION_CONTROL_BLOCK, dwVersion);
SAME_MEMBER(EXTENSION_CONTROL_BLOCK, ConnID);
SAME_MEMBER(EXTENSION_CONTROL_BLOCK, dwHttpStatusCode);
SAME_MEMBER(EXTENSION_CONTROL_BLOCK, lpszLogData);
SAME_MEMBER(EXTENSION_CONTROL_BLOCK, lpszMethod);
SAME_MEMBER(EXTENSION_CONTROL_BLOCK, lpszQueryString);
SAME_MEMBER(EXTENSION_CONTROL_BLOCK, lpszPathInfo);
SAME_MEMBER(EXTENSION_CONTROL_BLOCK, lpszPathTranslated);
SAME_MEMBER(EXTENSION_CONTROL_BLOCK, cbTotalBytes);
SAME_MEMBER(EXTENSION_CONTROL_BLOCK, cbAvailable);
SAME_MEMBER(EXTENSION_CONTROL_BLOCK, lpbData);
SAME_MEMBER(EXTENSION_CONTROL_BLOCK, lpszContentType);
SAME_MEMBER(EXTENSION_CONTROL_BLOCK, GetServerVariable);
SAME_MEMBER(EXTENSION_CONTROL_BLOCK, WriteClient);
SAME_MEMBER(EXTENSION_CONTROL_BLOCK, ReadClient);
SAME_MEMBER(EXTENSION_CONTROL_BLOCK, ServerSupportFunction);
