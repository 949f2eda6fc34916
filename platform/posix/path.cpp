#include "platform/posix/path.h"

#include <ctype.h>
#include <stdlib.h>

#include "platform/posix/cp932.h"
#include "platform/win32.h"

namespace win32compat {

bool ToPosixPath(const char* win_path, std::string* posix_path) {
  std::string path;
  if (win_path == nullptr || *win_path == '\0') {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  // In UTF-8 every byte below 0x80 is an ASCII character, so a backslash
  // that survives the conversion is a separator, never a trail byte.
  if (!Cp932ToUtf8(win_path, &path)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  if (path.compare(0, 2, "//") == 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  if (path.size() >= 2 && path[1] == ':' && isalpha(static_cast<unsigned char>(path[0]))) {
    const char variable[] = {'W', 'I', 'N', '3', '2', '_', 'D', 'R', 'I', 'V', 'E', '_',
                             static_cast<char>(toupper(static_cast<unsigned char>(path[0]))),
                             '\0'};
    const char* root = getenv(variable);
    if (root == nullptr || *root == '\0') {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return false;
    }
    std::string rest = path.substr(2);
    path = root;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (rest.empty() || rest[0] != '/') path += '/';
    path += rest;
  }
  *posix_path = std::move(path);
  return true;
}

}  // namespace win32compat
