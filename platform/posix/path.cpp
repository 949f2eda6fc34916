#include "platform/posix/path.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "platform/posix/cp932.h"
#include "platform/win32.h"

namespace win32compat {

namespace {

// Writes the part of a drive path below the drive's root to `out`, with "."
// and ".." resolved as Windows resolves them: ".." at the root stays at the
// root, so no path leaves the directory its drive is mapped to. The result
// is never longer than `rest`. Returns its length.
size_t DriveRelative(const char* rest, size_t rest_length, char* out) {
  size_t length = 0;
  size_t start = 0;
  while (start <= rest_length) {
    const char* slash = static_cast<const char*>(memchr(rest + start, '/', rest_length - start));
    const size_t end = slash == nullptr ? rest_length : static_cast<size_t>(slash - rest);
    const char* part = rest + start;
    const size_t part_length = end - start;
    if (part_length == 2 && part[0] == '.' && part[1] == '.') {
      while (length > 0 && out[length - 1] != '/') --length;
      if (length > 0) --length;
    } else if (part_length != 0 && !(part_length == 1 && part[0] == '.')) {
      if (length > 0) out[length++] = '/';
      memcpy(out + length, part, part_length);
      length += part_length;
    }
    start = end + 1;
  }
  if (rest_length > 0 && rest[rest_length - 1] == '/' && length > 0) out[length++] = '/';
  return length;
}

bool Refuse(DWORD error) {
  SetLastError(error);
  return false;
}

}  // namespace

bool ToPosixPath(const char* win_path, char (&posix_path)[kMaxPosixPath]) {
  if (win_path == nullptr || *win_path == '\0') return Refuse(ERROR_INVALID_NAME);
  // In UTF-8 every byte below 0x80 is an ASCII character, so a backslash
  // that survives the conversion is a separator, never a trail byte.
  char path[kMaxPosixPath];
  const size_t length = Cp932ToUtf8(win_path, strlen(win_path), path, sizeof path);
  if (length >= sizeof path) return Refuse(ERROR_PATH_NOT_FOUND);
  for (char* slash = static_cast<char*>(memchr(path, '\\', length)); slash != nullptr;
       slash = static_cast<char*>(memchr(slash, '\\', path + length - slash))) {
    *slash = '/';
  }
  if (length >= 2 && path[0] == '/' && path[1] == '/') return Refuse(ERROR_PATH_NOT_FOUND);
  if (!(length >= 2 && path[1] == ':' && isalpha(static_cast<unsigned char>(path[0])))) {
    memcpy(posix_path, path, length);
    posix_path[length] = '\0';
    return true;
  }
  const char variable[] = {'W', 'I', 'N', '3', '2', '_', 'D', 'R', 'I', 'V', 'E', '_',
                           static_cast<char>(toupper(static_cast<unsigned char>(path[0]))), '\0'};
  const char* root = getenv(variable);
  if (root == nullptr || *root == '\0') return Refuse(ERROR_PATH_NOT_FOUND);
  size_t root_length = strlen(root);
  while (root_length > 0 && root[root_length - 1] == '/') --root_length;
  // Resolving "." and ".." only shortens the rest, so this bounds the result.
  if (root_length + 1 + (length - 2) >= kMaxPosixPath) return Refuse(ERROR_PATH_NOT_FOUND);
  memcpy(posix_path, root, root_length);
  posix_path[root_length] = '/';
  const size_t below = DriveRelative(path + 2, length - 2, posix_path + root_length + 1);
  posix_path[root_length + 1 + below] = '\0';
  return true;
}

bool ToPosixPath(const char* win_path, std::string* posix_path) {
  char mapped[kMaxPosixPath];
  if (!ToPosixPath(win_path, mapped)) return false;
  *posix_path = mapped;
  return true;
}

}  // namespace win32compat
