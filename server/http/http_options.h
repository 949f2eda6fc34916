// Command line of isapi-server.
#pragma once

#include <string>

#include "server/standalone/options.h"

namespace isapi_http {

struct Options : isapi::CommonOptions {
  std::string listen = "127.0.0.1:8080";  // see isapi::ParseListenAddress
  std::string access_log;                 // "" for none, "-" for standard output
};

// The program's name and the text around its options in --help.
extern const isapi::ProgramText kProgram;

// The text printed for --help and after a command-line error.
const std::string& Usage();

// Parses the command line (see Usage). --help and --version end the
// parse. Returns false with a one-line reason in *error for what
// isapi::ParseProgramOptions refuses or a --listen that is not HOST:PORT.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

}  // namespace isapi_http
