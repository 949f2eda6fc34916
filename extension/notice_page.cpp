#include <stdlib.h>
#include <string.h>

#include "extension/module.h"

namespace {

constexpr size_t kPathSize = 1024;
constexpr size_t kCookieValueSize = 1024;

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
  char* cookie = ReadServerVariable(ecb, "HTTP_COOKIE");
  if (cookie == NULL) return;
  char color[kCookieValueSize];
  memset(color, 0, sizeof color);
  const char* found = strstr(cookie, kColorCookie);
  if (found != NULL) {
    const char* value = found + strlen(kColorCookie);
    size_t length = strcspn(value, ";\n");
    if (length > sizeof color - 1) length = sizeof color - 1;
    memcpy(color, value, length);
  }
  free(cookie);
  TraceLog("Cookie(orvane-color) : %s", color);
}

// Reads the whole open file into a fresh heap block with one zero byte
// past its end. FALSE (nothing held) when the size cannot be had, does not
// fit in memory, or the read fails.
bool ReadWholeFile(HANDLE file, char** page, DWORD* page_length) {
  DWORD size_high = 0;
  DWORD size = GetFileSize(file, &size_high);
  // A failed query answers INVALID_FILE_SIZE; a real size of 4 GiB - 1 or
  // more cannot be read with one DWORD count either, so both are refused.
  if (size == INVALID_FILE_SIZE || size_high != 0) return false;
  char* buffer = static_cast<char*>(malloc(size_t{size} + 1));
  if (buffer == NULL) return false;
  memset(buffer, 0, size_t{size} + 1);
  DWORD bytes_read = 0;
  if (!ReadFile(file, buffer, size, &bytes_read, NULL) || bytes_read > size) {
    free(buffer);
    return false;
  }
  *page = buffer;
  *page_length = bytes_read;
  return true;
}

}  // namespace

BOOL SendNoticePage(EXTENSION_CONTROL_BLOCK* ecb, int result_code) {
  char config_path[kPathSize];
  memset(config_path, 0, sizeof config_path);
  if (!BuildConfigPath(config_path)) return FALSE;

  TraceColorCookie(ecb);

  char page_path[kPathSize];
  memset(page_path, 0, sizeof page_path);
  GetPrivateProfileStringA("Template", "err", "", page_path, sizeof page_path, config_path);
  if (page_path[0] == '\0') return FALSE;
  if (!DeriveNoticePagePath(page_path)) return FALSE;

  TraceLog("%s", config_path);
  TraceLog("%s", page_path);

  HANDLE file =
      CreateFileA(page_path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  char* page = NULL;
  DWORD page_length = 0;
  bool have_page = ReadWholeFile(file, &page, &page_length);
  CloseHandle(file);
  if (!have_page) return FALSE;

  SendResponseHeader(ecb, result_code);
  ecb->WriteClient(ecb->ConnID, page, &page_length, HSE_IO_SYNC);
  free(page);
  return TRUE;
}
