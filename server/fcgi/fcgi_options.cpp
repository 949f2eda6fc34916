#include "server/fcgi/fcgi_options.h"

#include <charconv>
#include <set>

#include "server/standalone/listen_socket.h"

namespace isapi_fcgi {

namespace {

const char kUnixPrefix[] = "unix:";

// `mode_text` takes --socket-mode, which ParseMode then reads.
isapi::OptionTable OwnOptions(Options* options, std::string* mode_text) {
  return {
      {"socket", "unix:PATH|HOST:PORT", &options->bind_address,
       "listen on a Unix socket it creates at PATH, or on TCP at HOST:PORT (a name, an IPv4 "
       "address, [IPV6], or nothing for every address; port 0 picks a free port); without "
       "--socket, standard input must be a listening socket (systemd's StandardInput=socket, "
       "a web server)"},
      {"socket-mode", "MODE", mode_text,
       "the Unix socket's mode, octal (0660: owner and group)"},
      {"socket-group", "GROUP", &options->socket_group,
       "the Unix socket's group (www-data: nginx may connect)"},
      {"max-params", "BYTES", &options->max_params, "limit of a request's FastCGI parameters",
       kMinParams, kMaxParams},
      {"request-timeout", "S", &options->request_timeout_seconds,
       "seconds a request may take to arrive, and the web server may take nothing of an "
       "answer",
       1, isapi::kMaxRequestTimeoutSeconds},
      {"idle-timeout", "S", &options->idle_timeout_seconds,
       "seconds a kept connection may wait for its next request", 1, kMaxIdleTimeoutSeconds},
  };
}

// Splits --socket into a Unix socket's path or a TCP address.
bool ParseSocket(Options* options, std::string* error) {
  std::string text = options->bind_address;
  if (text.compare(0, sizeof kUnixPrefix - 1, kUnixPrefix) == 0) {
    options->bind_address = text.substr(sizeof kUnixPrefix - 1);
    options->unix_socket = true;
    if (options->bind_address.empty()) {
      *error = "--socket unix: needs a path";
      return false;
    }
    return true;
  }
  std::string host;
  uint16_t port = 0;
  if (!isapi::ParseListenAddress(text, &host, &port)) {
    *error = "--socket must be unix:PATH or HOST:PORT with a port in 0..65535: " + text;
    return false;
  }
  return true;
}

bool ParseMode(const std::string& text, Options* options, std::string* error) {
  unsigned mode = 0;
  auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), mode, 8);
  if (text.empty() || failure != std::errc() || end != text.data() + text.size() ||
      mode > 0777) {
    *error = "--socket-mode must be octal 0..0777: " + text;
    return false;
  }
  options->socket_mode = static_cast<int>(mode);
  return true;
}

}  // namespace

const isapi::ProgramText kProgram = {
    "isapi-fcgi", "Serves the extension module at PATH to a web server over FastCGI.",
    "\n"
    "Once it serves it prints \"listening on ADDRESS\" on standard output (ADDRESS:\n"
    "HOST:PORT, or unix:PATH). SIGTERM or SIGINT: stop accepting, finish the\n"
    "requests in progress, unload the module, exit 0.\n"};

const std::string& Usage() {
  static const std::string usage = [] {
    Options defaults;
    std::string mode_text;
    return isapi::ProgramUsage(kProgram, OwnOptions(&defaults, &mode_text));
  }();
  return usage;
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  std::set<std::string> given;
  std::string mode_text;
  if (!isapi::ParseProgramOptions(argc, argv, options, OwnOptions(options, &mode_text), &given,
                                  error)) {
    return false;
  }
  if (options->help || options->version) return true;
  if (given.count("--socket") != 0 && !ParseSocket(options, error)) return false;
  if ((given.count("--socket-mode") != 0 || given.count("--socket-group") != 0) &&
      !options->unix_socket) {
    *error = "--socket-mode and --socket-group need --socket unix:PATH";
    return false;
  }
  if (given.count("--socket-mode") != 0 && !ParseMode(mode_text, options, error)) return false;
  if (given.count("--socket-group") != 0 && options->socket_group.empty()) {
    *error = "--socket-group needs a group";
    return false;
  }
  return true;
}

}  // namespace isapi_fcgi
