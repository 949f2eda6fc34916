// Holds a request body that arrives before the module is called, in
// bounded memory: the first kBodyWindow bytes in the request itself (what
// the module finds in lpbData), the rest in an unlinked temporary file
// that ReadClient then reads, as nginx spools bodies it buffers.
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
  // fewer than kBodyWindow bytes, the rest to the file (made in $TMPDIR,
  // else /tmp, on first use). Returns false when the file cannot be made
  // or written; the body is then incomplete.
  bool Append(const char* data, size_t size, std::string* memory);

  // Makes `request` read what was spooled after its `body`.
  void AttachTo(Request* request);

  // Forgets the spooled bytes and closes the file, ready for another body.
  void Clear();

  long Read(void* buffer, size_t size) override;

 private:
  int fd_ = -1;
  uint64_t written_ = 0;
  uint64_t read_ = 0;
};

}  // namespace isapi
