// CreateFileA, GetFileSize, ReadFile, CloseHandle and the per-thread last
// error, over real files in a scratch directory mapped to drive T:.
#include <fcntl.h>
#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "tests/support/temp_dir.h"

namespace {

using test_support::DriveMapping;
using test_support::TempDir;

class File : public ::testing::Test {
 protected:
  static HANDLE Open(const char* path) {
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  }

  TempDir dir_;
  DriveMapping drive_{'T', dir_.path()};
};

TEST_F(File, ReadsAWholeFileInOneCall) {
  std::string content(300000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
  dir_.Write("data.bin", content);

  HANDLE file = Open("T:\\data.bin");
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD high = 99;
  EXPECT_EQ(GetFileSize(file, &high), content.size());
  EXPECT_EQ(high, 0u);
  std::string read(content.size() + 10, '\0');
  DWORD bytes_read = 0;
  ASSERT_TRUE(ReadFile(file, &read[0], static_cast<DWORD>(read.size()), &bytes_read, nullptr));
  EXPECT_EQ(bytes_read, content.size());
  EXPECT_EQ(read.substr(0, bytes_read), content);
  ASSERT_TRUE(ReadFile(file, &read[0], 10, &bytes_read, nullptr));
  EXPECT_EQ(bytes_read, 0u) << "at end of file";
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_FALSE(CloseHandle(file)) << "a second close";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(File, SizeAbove4GiBHasAHighPart) {
  const std::string path = dir_.Write("sparse.bin", "");
  if (truncate(path.c_str(), (int64_t{5} << 30) + 3) != 0) GTEST_SKIP() << "no sparse files here";
  HANDLE file = Open("T:\\sparse.bin");
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD high = 0;
  EXPECT_EQ(GetFileSize(file, &high), (DWORD{1} << 30) + 3);
  EXPECT_EQ(high, 1u);
  EXPECT_EQ(GetLastError(), NO_ERROR);
  CloseHandle(file);
}

TEST_F(File, DescriptorIsCloseOnExec) {
  dir_.Write("x.txt", "x");
  HANDLE file = Open("T:\\x.txt");
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  // A handle is its descriptor plus one.
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(file) - 1);
  const int flags = fcntl(fd, F_GETFD);
  ASSERT_NE(flags, -1) << "the handle names no open descriptor";
  EXPECT_NE(flags & FD_CLOEXEC, 0);
  CloseHandle(file);
}

// As on Windows, the size is the file's size at the call, not at the open.
TEST_F(File, SizeAndReadsFollowTheFileAsItChanges) {
  dir_.Write("grows.txt", "12345");
  HANDLE file = Open("T:\\grows.txt");
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  dir_.Write("grows.txt", "123456789");  // rewritten in place: the same file
  char buffer[16];
  DWORD bytes_read = 0;
  EXPECT_EQ(GetFileSize(file, nullptr), 9u);
  ASSERT_TRUE(ReadFile(file, buffer, 9, &bytes_read, nullptr));
  EXPECT_EQ(std::string(buffer, bytes_read), "123456789");
  CloseHandle(file);

  dir_.Write("shrinks.txt", "123456789");
  file = Open("T:\\shrinks.txt");
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  dir_.Write("shrinks.txt", "abc");
  EXPECT_EQ(GetFileSize(file, nullptr), 3u);
  ASSERT_TRUE(ReadFile(file, buffer, 9, &bytes_read, nullptr));
  EXPECT_EQ(std::string(buffer, bytes_read), "abc");
  CloseHandle(file);
}

TEST_F(File, OnlyRegularFilesOpen) {
  ASSERT_EQ(mkdir((dir_.path() + "/folder").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((dir_.path() + "/fifo").c_str(), 0600), 0);
  const struct {
    const char* path;
    DWORD error;
  } cases[] = {
      {"T:\\folder", ERROR_ACCESS_DENIED},
      {"T:\\fifo", ERROR_ACCESS_DENIED},  // no writer: must not wait for one
      {"T:\\missing.txt", ERROR_FILE_NOT_FOUND},
      {"T:\\folder\\missing.txt", ERROR_FILE_NOT_FOUND},
      {"U:\\unmapped.txt", ERROR_PATH_NOT_FOUND},
      {"\\\\server\\share\\x.txt", ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(Open(c.path), INVALID_HANDLE_VALUE) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
  }
}

TEST_F(File, OpensCp932NamesWithTrailByte5C) {
  dir_.Write("\xe8\xa1\xa8/\xe3\x82\xbd.txt", "hyo");  // 表/ソ.txt
  HANDLE file = Open("T:\\\x95\x5c\\\x83\x5c.txt");
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  char buffer[8];
  DWORD bytes_read = 0;
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &bytes_read, nullptr));
  EXPECT_EQ(std::string(buffer, bytes_read), "hyo");
  CloseHandle(file);
}

TEST_F(File, RejectsWhatIsNotSupported) {
  dir_.Write("x.txt", "x");
  SetLastError(0);
  EXPECT_EQ(CreateFileA("T:\\x.txt", GENERIC_READ, 0, nullptr, 2 /* CREATE_ALWAYS */, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);

  HANDLE file = Open("T:\\x.txt");
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  char buffer[4];
  DWORD bytes_read = 0;
  EXPECT_FALSE(
      ReadFile(file, buffer, sizeof buffer, &bytes_read, reinterpret_cast<LPOVERLAPPED>(buffer)));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  CloseHandle(file);

  EXPECT_EQ(GetFileSize(INVALID_HANDLE_VALUE, nullptr), INVALID_FILE_SIZE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_EQ(GetFileSize(file, nullptr), INVALID_FILE_SIZE) << "a closed handle";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, buffer, sizeof buffer, &bytes_read, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  // NULL is no handle, and must not close standard input.
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(LastError, IsPerThread) {
  SetLastError(ERROR_MORE_DATA);
  DWORD seen_by_other = 1;
  std::thread other([&] {
    seen_by_other = GetLastError();
    SetLastError(ERROR_NO_DATA);
  });
  other.join();
  EXPECT_EQ(seen_by_other, NO_ERROR);
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
}

}  // namespace
