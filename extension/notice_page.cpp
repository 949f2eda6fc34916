#include <stdlib.h>
#include <string.h>

#include "extension/module.h"

namespace {

constexpr size_t kPathSize = 1024;
constexpr size_t kCookieValueSize = 1024;
// Pages up to this size are read into a buffer on the stack.
constexpr size_t kSmallPageSize = 16 * 1024;

const char kDefaultInstallDir[] = "C:\\Program Files\\Orvane";
const char kConfigFileSuffix[] = "\\data\\dremgate_j.ini";
const char kTemplateSuffix[] = "\\template\\dremerror.html";
const char kNoticePageSuffix[] = "\\help\\nohp.html";
const char kColorCookie[] = "orvane-color=";

// Joins the installation directory and the configuration file's place in
// it, as they are. FALSE when the result would not fit in kPathSize.
bool BuildConfigPath(char (&path)[kPathSize]) {
  const char* install_dir = getenv("ORVANE_INSDIR");
  if (install_dir == NULL) install_dir = kDefaultInstallDir;
  size_t dir_length = strlen(install_dir);
  if (dir_length + sizeof kConfigFileSuffix > kPathSize) return false;
  memcpy(path, install_dir, dir_length);
  memcpy(path + dir_length, kConfigFileSuffix, sizeof kConfigFileSuffix);
  return true;
}

// Rewrites the configured error template path into the notice page path:
// the first "\template\dremerror.html" becomes "\help\nohp.html" and ends
// the path. FALSE when the value names no such template.
bool DeriveNoticePagePath(char (&path)[kPathSize]) {
  char* match = strstr(path, kTemplateSuffix);
  if (match == NULL) return false;
  memcpy(match, kNoticePageSuffix, sizeof kNoticePageSuffix);
  return true;
}

// Traces the colour preference the client's cookie carries, if any.
void TraceColorCookie(EXTENSION_CONTROL_BLOCK* ecb) {
  ServerVariable cookie(ecb, "HTTP_COOKIE");
  if (cookie.value() == NULL) return;
  char color[kCookieValueSize];
  color[0] = '\0';
  const char* found = strstr(cookie.value(), kColorCookie);
  if (found != NULL) {
    const char* value = found + strlen(kColorCookie);
    size_t length = strcspn(value, ";\n");
    if (length > sizeof color - 1) length = sizeof color - 1;
    memcpy(color, value, length);
    color[length] = '\0';
  }
  TraceLog("Cookie(orvane-color) : %s", color);
}

// Reads the whole open file into `small` when it fits, else into a fresh
// heap block stored in *larger for the caller to free. FALSE (nothing held)
// when the size cannot be had, does not fit in memory, or the read fails.
// The page's length is the number of bytes read, which differs from the
// size only when the file changed since it was opened.
bool ReadWholeFile(HANDLE file, char (&small)[kSmallPageSize], char** page, char** larger,
                   DWORD* page_length) {
  DWORD size_high = 0;
  DWORD size = GetFileSize(file, &size_high);
  // A failed query answers INVALID_FILE_SIZE; a real size of 4 GiB - 1 or
  // more cannot be read with one DWORD count either, so both are refused.
  if (size == INVALID_FILE_SIZE || size_high != 0) return false;
  char* buffer = small;
  if (size > sizeof small) {
    buffer = static_cast<char*>(malloc(size));
    if (buffer == NULL) return false;
  }
  DWORD bytes_read = 0;
  if (!ReadFile(file, buffer, size, &bytes_read, NULL) || bytes_read > size) {
    if (buffer != small) free(buffer);
    return false;
  }
  *page = buffer;
  *larger = buffer != small ? buffer : NULL;
  *page_length = bytes_read;
  return true;
}

}  // namespace

BOOL SendNoticePage(EXTENSION_CONTROL_BLOCK* ecb, int result_code) {
  char config_path[kPathSize];
  if (!BuildConfigPath(config_path)) return FALSE;

  if (kTraceOn) TraceColorCookie(ecb);

  char page_path[kPathSize];
  GetPrivateProfileStringA("Template", "err", "", page_path, sizeof page_path, config_path);
  if (page_path[0] == '\0') return FALSE;
  if (!DeriveNoticePagePath(page_path)) return FALSE;

  TraceLog("%s", config_path);
  TraceLog("%s", page_path);

  HANDLE file =
      CreateFileA(page_path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  char small_page[kSmallPageSize];
  char* page = NULL;
  char* larger_page = NULL;
  DWORD page_length = 0;
  bool have_page = ReadWholeFile(file, small_page, &page, &larger_page, &page_length);
  CloseHandle(file);
  if (!have_page) return FALSE;

  SendResponseHeader(ecb, result_code);
  ecb->WriteClient(ecb->ConnID, page, &page_length, HSE_IO_SYNC);
  free(larger_page);
  return TRUE;
}
