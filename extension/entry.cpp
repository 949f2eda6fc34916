// The module's exported entry points and the flow of one request.
#include <string.h>

#include "extension/module.h"

namespace {

const char kExtensionDescription[] = "orvane HP Translation CGI module";

// The remote address buffer keeps two zero bytes past what the host is
// offered, so it reads as a terminated string whatever the host writes.
constexpr DWORD kRemoteAddressOffer = 255;
constexpr size_t kRemoteAddressSize = 257;

void TraceRemoteAddress(EXTENSION_CONTROL_BLOCK* ecb) {
  char name[] = "REMOTE_ADDR";
  char address[kRemoteAddressSize];
  memset(address, 0, sizeof address);
  DWORD size = kRemoteAddressOffer;
  if (!ecb->GetServerVariable(ecb->ConnID, name, address, &size)) {
    memset(address, 0, sizeof address);
  }
  TraceLog("Log(Remoto IP ADDRESS) : %s", address);
}

void TraceQueryString(EXTENSION_CONTROL_BLOCK* ecb) {
  ServerVariable query(ecb, "QUERY_STRING");
  if (query.value() == NULL) return;
  TraceLog("QUERY_STRING : %s", query.value());
}

void SendFallbackPage(EXTENSION_CONTROL_BLOCK* ecb) {
  SendResponseHeader(ecb, kResultNotTranslated);
  DWORD length = sizeof kFallbackPage;
  ecb->WriteClient(ecb->ConnID, const_cast<unsigned char*>(kFallbackPage), &length,
                   HSE_IO_SYNC);
}

}  // namespace

extern "C" {

ISAPI_EXPORT BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO* info) {
  info->dwExtensionVersion = kIsapiVersion;
  memcpy(info->lpszExtensionDesc, kExtensionDescription, sizeof kExtensionDescription);
  return TRUE;
}

ISAPI_EXPORT DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  // Each variable is a call to the host, made for the trace alone.
  if (kTraceOn) {
    TraceLog("CGI DEBUG START!!");
    TraceRemoteAddress(ecb);
    TraceQueryString(ecb);
  }
  if (!SendNoticePage(ecb, kResultNotTranslated)) SendFallbackPage(ecb);
  return HSE_STATUS_SUCCESS;
}

ISAPI_EXPORT BOOL WINAPI TerminateExtension(DWORD) { return TRUE; }

}  // extern "C"
