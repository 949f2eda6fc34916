// A bench-only extension module that answers every request with the same
// bytes as orvanehp (its header block and the example notice page) from
// memory, with no file work. Hosting it measures what a host costs per
// request on its own.
//
// The page is read once, at GetExtensionVersion, from the file named by
// MEMORY_MODULE_PAGE (default: the example installation's notice page).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "isapi/isapi.h"

namespace {

const char kHeader[] =
    "Content-type: text/html\r\n"
    "Cache-Control: no-cache\r\n"
    "Pragma: no-cache\r\n"
    "TrResult: -1\r\n"
    "\r\n";

std::string page;

bool ReadPage(const char* path) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return false;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) page.append(buffer, got);
  bool ok = !ferror(file);
  fclose(file);
  return ok;
}

}  // namespace

extern "C" {

ISAPI_EXPORT BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO* info) {
  const char* path = getenv("MEMORY_MODULE_PAGE");
  if (!ReadPage(path != nullptr && *path != '\0' ? path : DEFAULT_PAGE)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  info->dwExtensionVersion = kIsapiVersion;
  snprintf(info->lpszExtensionDesc, HSE_MAX_EXT_DLL_NAME_LEN, "bench: notice page from memory");
  return TRUE;
}

ISAPI_EXPORT DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  char header[sizeof kHeader];
  memcpy(header, kHeader, sizeof kHeader);
  DWORD length = sizeof kHeader - 1;
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, nullptr, &length,
                             reinterpret_cast<LPDWORD>(header));
  DWORD size = static_cast<DWORD>(page.size());
  ecb->WriteClient(ecb->ConnID, page.data(), &size, HSE_IO_SYNC);
  return HSE_STATUS_SUCCESS;
}

ISAPI_EXPORT BOOL WINAPI TerminateExtension(DWORD) { return TRUE; }

}  // extern "C"
