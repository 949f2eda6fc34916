#include "platform/posix/path.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "platform/posix/cp932.h"
#include "platform/win32.h"

namespace win32compat {

namespace {

// The part of a drive path below the drive's root, with "." and ".."
// resolved as Windows resolves them: ".." at the root stays at the root, so
// no path leaves the directory its drive is mapped to.
std::string DriveRelative(const std::string& rest) {
  std::string below;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('/', start);
    if (end == std::string::npos) end = rest.size();
    const std::string part = rest.substr(start, end - start);
    if (part == "..") {
      const size_t slash = below.rfind('/');
      below.erase(slash == std::string::npos ? 0 : slash);
    } else if (!part.empty() && part != ".") {
      if (!below.empty()) below += '/';
      below += part;
    }
    start = end + 1;
  }
  if (!rest.empty() && rest.back() == '/' && !below.empty()) below += '/';
  return below;
}

}  // namespace

bool ToPosixPath(const char* win_path, std::string* posix_path) {
  if (win_path == nullptr || *win_path == '\0') {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  // In UTF-8 every byte below 0x80 is an ASCII character, so a backslash
  // that survives the conversion is a separator, never a trail byte.
  std::string path = Cp932ToUtf8(win_path, strlen(win_path));
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
    std::string rest = DriveRelative(path.substr(2));
    path = root;
    while (!path.empty() && path.back() == '/') path.pop_back();
    path += '/';
    path += rest;
  }
  *posix_path = std::move(path);
  return true;
}

}  // namespace win32compat
