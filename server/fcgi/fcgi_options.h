// Command line of isapi-fcgi.
#pragma once

#include <stddef.h>

#include <string>

#include "server/core/supervisor.h"

namespace isapi_fcgi {

struct Options {
  std::string module_path;
  // Where to listen: a filesystem path for a Unix socket ("unix:"
  // stripped), or "HOST:PORT" / ":PORT" for TCP. "" when --socket is not
  // given: the listening socket is then inherited as standard input.
  std::string bind_address;
  bool unix_socket = false;
  int threads = 1;  // ParseOptions sets the CPU count unless --threads is given
  size_t max_params = 64 * 1024;
  int request_timeout_seconds = 30;
  int idle_timeout_seconds = 75;  // a kept connection without a request
  isapi::ServeSettings serve;  // --workers, --drain-timeout, --request-terminate-timeout
};

constexpr int kMaxThreads = 1024;
constexpr long kMinParams = 1024;
constexpr long kMaxParams = 16 * 1024 * 1024;
constexpr int kMaxRequestTimeoutSeconds = 3600;

// Parses `--module PATH [--socket unix:PATH|HOST:PORT] [--threads N]
// [--max-params BYTES] [--request-timeout SECONDS] [--idle-timeout SECONDS]`
// and the options of isapi::ServeSettings (each also accepted as
// --name=value). Returns false with a one-line reason in *error for a
// missing or repeated option, an unknown argument, an empty path, a port
// outside 1..65535, a thread count outside 1..kMaxThreads, a parameter
// limit outside kMinParams..kMaxParams or a timeout outside
// 1..kMaxRequestTimeoutSeconds.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

// The usage text printed with a parse error.
const char* Usage();

}  // namespace isapi_fcgi
