// Command line of isapi-server.
#pragma once

#include <string>

#include "server/standalone/supervisor.h"

namespace isapi_http {

struct Options {
  bool help = false;     // --help: print Usage() and exit
  bool version = false;  // --version: print the version and exit
  std::string module_path;
  std::string listen = "127.0.0.1:8080";  // see isapi::ParseListenAddress
  std::string access_log;  // "" for none, "-" for standard output
  unsigned threads = 1;    // event loops, each running the module for its
                           // requests; ParseOptions sets one per CPU
                           // unless --threads is given
  unsigned request_timeout_seconds = 30;
  bool allow_root = false;
  isapi::ServeSettings serve;  // --workers, --drain-timeout, --request-terminate-timeout
};

constexpr unsigned kMaxRequestTimeoutSeconds = 3600;

// The text printed for --help and after a command-line error.
const char* Usage();

// Parses the command line (see Usage; --name value and --name=value).
// --help and --version end the parse. Returns false with a
// one-line reason in *error for a missing --module, a --listen that is not
// HOST:PORT, or what isapi::ParseCommandLine refuses.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

}  // namespace isapi_http
