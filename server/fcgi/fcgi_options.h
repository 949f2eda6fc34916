// Command line of isapi-fcgi.
#pragma once

#include <string>

namespace isapi_fcgi {

struct Options {
  std::string module_path;
  // What FCGX_OpenSocket binds: a filesystem path for a Unix socket
  // ("unix:" stripped), or "HOST:PORT" / ":PORT" for TCP.
  std::string bind_address;
  bool unix_socket = false;
  int threads = 8;
};

constexpr int kMaxThreads = 1024;

// Parses `--module PATH --socket unix:PATH|HOST:PORT [--threads N]`
// (also accepted as --name=value). Returns false with a one-line reason in
// *error for a missing or repeated option, an unknown argument, an empty
// path, a port outside 1..65535 or a thread count outside 1..kMaxThreads.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

// The usage text printed with a parse error.
const char* Usage();

}  // namespace isapi_fcgi
