// Win32 ANSI paths to POSIX paths: drive mapping, separators inside cp932
// text, and the paths that cannot name a file here.
#include "platform/posix/path.h"

#include <limits.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "tests/support/temp_dir.h"

namespace {

using win32compat::ToPosixPath;
using test_support::DriveMapping;

struct Mapped {
  const char* win_path;
  const char* posix_path;
};

TEST(ToPosixPath, MapsDrivesAndSeparators) {
  DriveMapping drive_c('C', "/srv/c");
  DriveMapping drive_d('D', "/srv/d/");
  DriveMapping drive_r('R', "/");
  const Mapped cases[] = {
      {"C:\\inetpub\\app.ini", "/srv/c/inetpub/app.ini"},
      {"c:\\lower", "/srv/c/lower"},
      {"C:/mixed\\slashes", "/srv/c/mixed/slashes"},
      {"C:relative.ini", "/srv/c/relative.ini"},
      {"C:", "/srv/c/"},
      {"D:\\trailing", "/srv/d/trailing"},
      {"R:\\etc\\x", "/etc/x"},
      {"R:rel", "/rel"},
      {"C:\\..\\..\\escape", "/srv/c/escape"},
      {"C:\\a\\.\\b\\..\\c", "/srv/c/a/c"},
      {"\\rooted\\x", "/rooted/x"},
      {"plain\\relative", "plain/relative"},
      {"/opt/orvane\\data\\dremgate_j.ini", "/opt/orvane/data/dremgate_j.ini"},
      {"\x95\x5c\\x.ini", "\xe8\xa1\xa8/x.ini"},  // 表: trail byte 5C
      {"C:\\\x83\x5c\x83\x74\x83\x67", "/srv/c/\xe3\x82\xbd\xe3\x83\x95\xe3\x83\x88"},  // ソフト
  };
  for (const Mapped& c : cases) {
    std::string posix;
    ASSERT_TRUE(ToPosixPath(c.win_path, &posix)) << c.win_path;
    EXPECT_EQ(posix, c.posix_path) << c.win_path;
  }
}

TEST(ToPosixPath, TakesBytesOnlyWindowsMapsAsWindowsDoes) {
  DriveMapping drive_c('C', "/srv/c");
  std::string posix;
  // 0x80 is U+0080; a lead byte at the end becomes KATAKANA MIDDLE DOT.
  ASSERT_TRUE(ToPosixPath("C:\\a\x80\\b\x81", &posix));
  EXPECT_EQ(posix, "/srv/c/a\xc2\x80/b\xe3\x83\xbb");
}

TEST(ToPosixPath, RefusesWhatCannotNameAFile) {
  DriveMapping drive_c('C', "/srv/c");
  DriveMapping empty_e('E', "");
  const std::string too_long = "C:\\" + std::string(PATH_MAX, 'a');
  const struct {
    const char* win_path;
    DWORD error;
  } cases[] = {
      {"Q:\\unmapped", ERROR_PATH_NOT_FOUND},
      {"E:\\empty-mapping", ERROR_PATH_NOT_FOUND},
      {"\\\\server\\share\\x", ERROR_PATH_NOT_FOUND},
      {"//server/share/x", ERROR_PATH_NOT_FOUND},
      {"\\\\.\\pipe\\x", ERROR_PATH_NOT_FOUND},
      {"\\\\?\\C:\\x", ERROR_PATH_NOT_FOUND},
      {too_long.c_str(), ERROR_PATH_NOT_FOUND},
      {too_long.c_str() + 3, ERROR_PATH_NOT_FOUND},
      {"", ERROR_INVALID_NAME},
      {nullptr, ERROR_INVALID_NAME},
  };
  for (const auto& c : cases) {
    std::string posix = "unchanged";
    SetLastError(0);
    EXPECT_FALSE(ToPosixPath(c.win_path, &posix)) << (c.win_path ? c.win_path : "(null)");
    EXPECT_EQ(GetLastError(), c.error) << (c.win_path ? c.win_path : "(null)");
    EXPECT_EQ(posix, "unchanged");
  }
}

}  // namespace
