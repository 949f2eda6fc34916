// Holds a body in bounded memory: the first kBodyWindow bytes in a string
// of the caller's, the rest in an unlinked temporary file, as nginx spools
// the bodies it buffers. A request body that arrives before the module is
// called keeps its first bytes in the request itself (what the module
// finds in lpbData), and ReadClient reads the rest from the file; an
// answer the client has not taken yet waits in a connection's spool, which
// sends the file's part straight from the file (see connection_loop.h);
// and the core keeps an answer it holds the same way (answer.h).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "server/core/host_core.h"

namespace isapi {

class BodySpool final : public BodyReader {
 public:
  BodySpool() = default;
  ~BodySpool() override { Clear(); }
  BodySpool(BodySpool&& other) noexcept;
  BodySpool& operator=(BodySpool&& other) noexcept;
  BodySpool(const BodySpool&) = delete;
  BodySpool& operator=(const BodySpool&) = delete;

  // Adds the next `size` bytes of the body: to `memory` while it holds
  // fewer than kBodyWindow bytes and the file is not in use, the rest to
  // the file (made in $TMPDIR, else /tmp, on first use). Returns false when
  // the file cannot be made or written; the body is then incomplete.
  bool Append(const char* data, size_t size, std::string* memory);

  // Makes `request` read what was spooled after its `body`.
  void AttachTo(Request* request);

  // Forgets the spooled bytes and closes the file, ready for another body.
  void Clear();

  long Read(void* buffer, size_t size) override;

  // Sends what Read has not taken from the file to the non-blocking socket
  // `socket`, as much as it takes now; returns the count (as Read does) or
  // -1 with errno set.
  long SendTo(int socket);

  // Bytes in the file that Read or SendTo have not taken yet.
  uint64_t unread() const { return written_ - read_; }

 private:
  int fd_ = -1;
  uint64_t written_ = 0;
  uint64_t read_ = 0;
};

}  // namespace isapi
