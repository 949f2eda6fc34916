// CreateFileA, GetFileSize, ReadFile and CloseHandle over POSIX descriptors.
// A handle is the descriptor plus one, so no table or lock is needed and
// neither NULL nor INVALID_HANDLE_VALUE can name an open file.
// FILE_SHARE_READ is accepted and has no effect: POSIX has no mandatory
// sharing modes, so an open never fails because of another reader or writer.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/file.h"
#include "platform/posix/path.h"
#include "platform/win32.h"

namespace {

int DescriptorOf(HANDLE handle) {
  intptr_t value = reinterpret_cast<intptr_t>(handle);
  return value >= 1 && value <= INT32_MAX ? static_cast<int>(value - 1) : -1;
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd) + 1); }

DWORD Win32ErrorOf(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EIO:
      return ERROR_READ_FAULT;
    default:
      return ERROR_ACCESS_DENIED;
  }
}

}  // namespace

HANDLE win32compat::OpenRegularFile(const char* path, uint64_t* size) {
  char posix_path[kMaxPosixPath];
  if (!ToPosixPath(path, posix_path)) return INVALID_HANDLE_VALUE;
  // O_NONBLOCK keeps the open of a FIFO without a writer from waiting; such
  // files are refused right after. The flag has no effect on reads of a
  // regular file, so it stays set.
  int fd = open(posix_path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    SetLastError(Win32ErrorOf(errno));
    return INVALID_HANDLE_VALUE;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return HandleOf(fd);
}

extern "C" {

W32COMPAT_API HANDLE CreateFileA(LPCSTR path, DWORD desired_access, DWORD,
                                 LPSECURITY_ATTRIBUTES, DWORD creation_disposition,
                                 DWORD, HANDLE) {
  if (desired_access != GENERIC_READ || creation_disposition != OPEN_EXISTING) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  uint64_t size;
  return win32compat::OpenRegularFile(path, &size);
}

W32COMPAT_API DWORD GetFileSize(HANDLE file, LPDWORD size_high) {
  const int fd = DescriptorOf(file);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size_high != nullptr) *size_high = static_cast<DWORD>(size >> 32);
  SetLastError(NO_ERROR);
  return static_cast<DWORD>(size);
}

W32COMPAT_API BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD bytes_read,
                            LPOVERLAPPED overlapped) {
  int fd = DescriptorOf(file);
  if (fd < 0 || overlapped != nullptr || bytes_read == nullptr ||
      (buffer == nullptr && count != 0)) {
    SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  char* out = static_cast<char*>(buffer);
  DWORD total = 0;
  while (total < count) {
    ssize_t got = read(fd, out + total, count - total);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *bytes_read = total;
      SetLastError(Win32ErrorOf(errno));
      return FALSE;
    }
    if (got == 0) break;
    total += static_cast<DWORD>(got);
  }
  *bytes_read = total;
  return TRUE;
}

W32COMPAT_API BOOL CloseHandle(HANDLE handle) {
  int fd = DescriptorOf(handle);
  // close() may report EINTR after the descriptor is already released, so
  // it is never retried.
  if (fd < 0 || (close(fd) != 0 && errno == EBADF)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
