// The access log of isapi-server: one Common Log Format line per request.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <mutex>
#include <string>
#include <string_view>

#include "server/core/host_core.h"

namespace isapi_http {

// Appends log lines to a file or standard output. Write is thread-safe.
class AccessLog {
 public:
  AccessLog() = default;
  ~AccessLog();
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;

  // "" logs nothing, "-" writes to standard output, anything else is a
  // file opened for appending (created when missing). Returns false with
  // errno set when the file cannot be opened.
  bool Open(const std::string& name);

  // Opens the file again by its name, for log rotation (SIGHUP): lines
  // written afterwards go to the file now at that name. Returns false with
  // errno set, and keeps writing to the old file, when it cannot be opened.
  // Thread-safe with Write.
  bool Reopen();

  // Writes one line for an answered request:
  //   REMOTE_ADDR - - [07/Dec/2026:23:00:00 +0000] "METHOD TARGET PROTOCOL" STATUS BYTES
  // BYTES is "-" for an empty body. Every field that came from the client
  // (method, target, protocol) goes through EscapeLogField.
  void Write(const isapi::Request& request, int status, uint64_t body_bytes);

 private:
  std::mutex mutex_;
  std::string name_;
  FILE* file_ = nullptr;
  bool owns_file_ = false;
};

// `text` with every byte outside printable ASCII, '"' and '\' written as
// \xHH, so that a client's bytes can neither end a field or line early nor
// reach a terminal as control sequences.
std::string EscapeLogField(std::string_view text);

}  // namespace isapi_http
