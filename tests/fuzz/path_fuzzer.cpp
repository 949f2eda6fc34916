// The mapping of Windows ANSI paths to POSIX paths, on arbitrary paths.
//
// Input: the path's bytes (up to the first NUL). Drives C: and D: are
// mapped, D: with a trailing slash; no other drive is.
#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "platform/posix/cp932.h"
#include "platform/posix/path.h"
#include "platform/win32.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

const char kDriveC[] = "/drive/c";
const char kDriveD[] = "/drive/d/";

void MapOnlyDrivesCAndD() {
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    unsetenv((std::string("WIN32_DRIVE_") + letter).c_str());
  }
  setenv("WIN32_DRIVE_C", kDriveC, 1);
  setenv("WIN32_DRIVE_D", kDriveD, 1);
}

// Whether every component of `rest` is a plain name: no "." or "..", and
// no empty one except after a final '/'.
bool OnlyPlainNames(const std::string& rest) {
  size_t start = 0;
  while (start < rest.size()) {
    size_t end = rest.find('/', start);
    if (end == std::string::npos) end = rest.size();
    const std::string part = rest.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  MapOnlyDrivesCAndD();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string win_path = std::string(reinterpret_cast<const char*>(data), size).c_str();
  std::string utf8 = win32compat::Cp932ToUtf8(win_path.data(), win_path.size());
  for (char& c : utf8) {
    if (c == '\\') c = '/';
  }
  const bool unc = utf8.compare(0, 2, "//") == 0;
  const bool drive =
      utf8.size() >= 2 && utf8[1] == ':' && isalpha(static_cast<unsigned char>(utf8[0]));
  const char letter = drive ? static_cast<char>(toupper(static_cast<unsigned char>(utf8[0]))) : 0;

  // The longest the POSIX form can be: the drive's directory, a '/', and
  // the rest after "X:", which resolving "." and ".." only shortens.
  const size_t longest = drive ? strlen(kDriveC) + 1 + utf8.size() - 2 : utf8.size();

  SetLastError(NO_ERROR);
  std::string posix;
  const bool mapped = win32compat::ToPosixPath(win_path.c_str(), &posix);
  const DWORD error = GetLastError();
  // Both forms of the call give the same answer.
  char fixed[win32compat::kMaxPosixPath];
  SetLastError(NO_ERROR);
  FUZZ_CHECK(win32compat::ToPosixPath(win_path.c_str(), fixed) == mapped);
  FUZZ_CHECK(GetLastError() == error);
  if (!mapped) {
    if (win_path.empty()) {
      FUZZ_CHECK(error == ERROR_INVALID_NAME);
    } else {
      FUZZ_CHECK(error == ERROR_PATH_NOT_FOUND);
      FUZZ_CHECK(unc || (drive && letter != 'C' && letter != 'D') ||
                 longest >= win32compat::kMaxPosixPath);
    }
    return 0;
  }
  FUZZ_CHECK(posix == fixed);
  FUZZ_CHECK(posix.size() < win32compat::kMaxPosixPath);
  FUZZ_CHECK(!win_path.empty() && !unc);
  FUZZ_CHECK(posix.find('\\') == std::string::npos);
  if (!drive) {
    // A path without a drive keeps its place, only its separators change.
    FUZZ_CHECK(posix == utf8);
    return 0;
  }
  // A drive path stays below its drive's directory.
  FUZZ_CHECK(letter == 'C' || letter == 'D');
  const std::string root = letter == 'C' ? "/drive/c/" : "/drive/d/";
  FUZZ_CHECK(posix.compare(0, root.size(), root) == 0);
  FUZZ_CHECK(OnlyPlainNames(posix.substr(root.size())));
  return 0;
}
