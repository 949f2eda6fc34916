// Command line of isapi-fcgi.
#pragma once

#include <stdint.h>

#include <string>

#include "server/standalone/options.h"

namespace isapi_fcgi {

struct Options : isapi::CommonOptions {
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
  uint64_t max_params = 64 * 1024;
  unsigned idle_timeout_seconds = 75;  // a kept connection without a request
};

constexpr uint64_t kMinParams = 1024;
constexpr uint64_t kMaxParams = 16 * 1024 * 1024;
constexpr unsigned kMaxIdleTimeoutSeconds = 3600;

// The program's name and the text around its options in --help.
extern const isapi::ProgramText kProgram;

// Parses the command line (see Usage). --help and --version end the parse.
// Returns false with a one-line reason in *error for what
// isapi::ParseProgramOptions refuses, a --socket that is neither unix:PATH
// nor HOST:PORT, a socket mode that is not octal 0..0777, an empty socket
// group, or a socket mode or group without a Unix socket.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

// The text printed for --help and after a command-line error.
const std::string& Usage();

}  // namespace isapi_fcgi
