// Command line of isapi-fcgi.
#pragma once

#include <stddef.h>

#include <string>

#include "server/standalone/supervisor.h"

namespace isapi_fcgi {

struct Options {
  bool help = false;     // --help: print Usage() and exit
  bool version = false;  // --version: print the version and exit
  std::string module_path;
  // Where to listen: a filesystem path for a Unix socket ("unix:"
  // stripped), or HOST:PORT for TCP (see isapi::ParseListenAddress). ""
  // when --socket is not given: the listening socket is then inherited as
  // standard input.
  std::string bind_address;
  bool unix_socket = false;
  // Of a Unix socket it creates, as php-fpm's listen.mode and listen.group
  // do, so that a web server of another user may connect: the file's mode
  // (-1: what the umask leaves) and group (name or number; "": the user's).
  int socket_mode = -1;
  std::string socket_group;
  bool allow_root = false;
  int threads = 1;  // ParseOptions sets the CPU count unless --threads is given
  size_t max_params = 64 * 1024;
  int request_timeout_seconds = 30;
  int idle_timeout_seconds = 75;  // a kept connection without a request
  isapi::ServeSettings serve;  // --workers, --drain-timeout, --request-terminate-timeout
};

constexpr long kMinParams = 1024;
constexpr long kMaxParams = 16 * 1024 * 1024;
constexpr int kMaxRequestTimeoutSeconds = 3600;

// Parses the command line (see Usage), the options of isapi::ServeSettings
// included (each also as --name=value). --help and --version end the
// parse. Returns false with a one-line reason in *error for a missing or
// repeated option, an unknown argument, an empty path, a --socket that is
// neither unix:PATH nor HOST:PORT, a thread count outside 1..isapi::kMaxThreads, a parameter
// limit outside kMinParams..kMaxParams, a timeout outside
// 1..kMaxRequestTimeoutSeconds, a socket mode that is not octal 0..0777, or
// a socket mode or group without a Unix socket.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

// The text printed for --help and after a command-line error.
const char* Usage();

}  // namespace isapi_fcgi
