#include "server/core/body_spool.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace isapi {
namespace {

// An anonymous file: it never shows in the directory and vanishes with its
// descriptor, even when the process is killed.
int OpenAnonymousFile() {
  const char* dir = getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp";
  return open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

}  // namespace

BodySpool::BodySpool(BodySpool&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      written_(std::exchange(other.written_, 0)),
      read_(std::exchange(other.read_, 0)) {}

BodySpool& BodySpool::operator=(BodySpool&& other) noexcept {
  if (this != &other) {
    Clear();
    fd_ = std::exchange(other.fd_, -1);
    written_ = std::exchange(other.written_, 0);
    read_ = std::exchange(other.read_, 0);
  }
  return *this;
}

bool BodySpool::Append(const char* data, size_t size, std::string* memory) {
  if (fd_ < 0 && memory->size() < kBodyWindow) {
    size_t take = std::min(size, kBodyWindow - memory->size());
    memory->append(data, take);
    data += take;
    size -= take;
  }
  if (size == 0) return true;
  if (fd_ < 0 && (fd_ = OpenAnonymousFile()) < 0) return false;
  while (size > 0) {
    ssize_t done = pwrite(fd_, data, size, static_cast<off_t>(written_));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    written_ += static_cast<uint64_t>(done);
    data += done;
    size -= static_cast<size_t>(done);
  }
  return true;
}

void BodySpool::AttachTo(Request* request) {
  request->body_rest = written_ > 0 ? this : nullptr;
  request->body_length = request->body.size() + written_;
}

void BodySpool::Clear() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  written_ = 0;
  read_ = 0;
}

long BodySpool::Read(void* buffer, size_t size) {
  size = static_cast<size_t>(std::min<uint64_t>(size, written_ - read_));
  if (size == 0) return 0;
  ssize_t done;
  do {
    done = pread(fd_, buffer, size, static_cast<off_t>(read_));
  } while (done < 0 && errno == EINTR);
  if (done <= 0) return -1;
  read_ += static_cast<uint64_t>(done);
  return done;
}

long BodySpool::SendTo(int socket) {
  off_t offset = static_cast<off_t>(read_);
  ssize_t sent;
  do {
    sent = sendfile(socket, fd_, &offset, static_cast<size_t>(unread()));
  } while (sent < 0 && errno == EINTR);
  if (sent > 0) read_ += static_cast<uint64_t>(sent);
  return sent;
}

}  // namespace isapi
