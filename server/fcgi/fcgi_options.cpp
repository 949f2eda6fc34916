#include "server/fcgi/fcgi_options.h"

#include <unistd.h>

#include <charconv>

#include "server/standalone/listen_socket.h"
#include "server/standalone/options.h"

namespace isapi_fcgi {

namespace {

const char kUnixPrefix[] = "unix:";

bool ParseSocket(const std::string& text, Options* options, std::string* error) {
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
  options->bind_address = text;
  options->unix_socket = false;
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

const char* Usage() {
  static const std::string usage =
      std::string(
          "usage: isapi-fcgi --module PATH [--socket unix:PATH|HOST:PORT]\n"
          "                  [--socket-mode MODE] [--socket-group GROUP] [--threads N]\n"
          "                  [--max-params BYTES] [--request-timeout S] [--idle-timeout S]\n"
          "                  [--workers N] [--drain-timeout S] [--request-terminate-timeout S]\n"
          "                  [--hold-limit BYTES] [--answer-buffer BYTES]\n"
          "                  [--min-send-rate BYTES] [--allow-root]\n"
          "\n"
          "Serves the extension module at PATH to a web server over FastCGI.\n"
          "  --module PATH        the module (.so) to load; required\n"
          "  --socket unix:PATH   listen on a Unix socket it creates at PATH\n"
          "  --socket HOST:PORT   listen on TCP: HOST is a name, an IPv4 address, [IPV6],\n"
          "                       or nothing for every address; port 0 picks a free port;\n"
          "                       without --socket, standard input must be a listening\n"
          "                       socket (systemd's StandardInput=socket, a web server)\n"
          "  --socket-mode MODE   the Unix socket's mode, octal (0660: owner and group)\n"
          "  --socket-group GROUP the Unix socket's group (www-data: nginx may connect)\n"
          "  --threads N          requests in the module at once (1-1024, default: one\n"
          "                       per CPU)\n"
          "  --max-params BYTES   limit of a request's FastCGI parameters\n"
          "                       (1024-16777216, default 65536)\n"
          "  --request-timeout S  seconds a request may take to arrive, and the web\n"
          "                       server may take nothing of an answer (1-3600,\n"
          "                       default 30)\n"
          "  --idle-timeout S     seconds a kept connection may wait for its next\n"
          "                       request (1-3600, default 75)\n") +
      isapi::kServeOptionsUsage +
      "  --allow-root         run the module even as root (refused otherwise: the\n"
      "                       module would have every right on the machine)\n"
      "  --help               show this text\n"
      "  --version            show the version\n"
      "Options take their value as --name VALUE or --name=VALUE.\n"
      "\n"
      "Once it serves it prints \"listening on ADDRESS\" on standard output (ADDRESS:\n"
      "HOST:PORT, or unix:PATH). SIGTERM or SIGINT: stop accepting, finish the\n"
      "requests in progress, unload the module, exit 0.\n";
  return usage.c_str();
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  std::vector<isapi::KnownOption> known = {{"--help", false},
                                           {"--version", false},
                                           {"--module", true},
                                           {"--socket", true},
                                           {"--socket-mode", true},
                                           {"--socket-group", true},
                                           {"--allow-root", false},
                                           {"--threads", true},
                                           {"--max-params", true},
                                           {"--request-timeout", true},
                                           {"--idle-timeout", true}};
  known.insert(known.end(), isapi::kServeOptions.begin(), isapi::kServeOptions.end());
  isapi::OptionValues values;
  if (!isapi::ParseCommandLine(argc, argv, known, &values, error)) {
    return false;
  }
  options->help = values.count("--help") != 0;
  options->version = values.count("--version") != 0;
  if (options->help || options->version) return true;
  if (values.count("--module") == 0) {
    *error = "--module is required";
    return false;
  }
  options->module_path = values["--module"];
  if (options->module_path.empty()) {
    *error = "--module needs a path";
    return false;
  }
  if (values.count("--socket") != 0 && !ParseSocket(values["--socket"], options, error)) {
    return false;
  }
  uint64_t threads = isapi::ThreadsPerCpu();
  uint64_t max_params = options->max_params;
  uint64_t timeout = static_cast<uint64_t>(options->request_timeout_seconds);
  uint64_t idle_timeout = static_cast<uint64_t>(options->idle_timeout_seconds);
  if (!isapi::NumberOption(values, "--threads", 1, isapi::kMaxThreads, &threads, error) ||
      !isapi::NumberOption(values, "--max-params", kMinParams, kMaxParams, &max_params, error) ||
      !isapi::NumberOption(values, "--request-timeout", 1, kMaxRequestTimeoutSeconds, &timeout,
                           error) ||
      !isapi::NumberOption(values, "--idle-timeout", 1, kMaxRequestTimeoutSeconds, &idle_timeout,
                           error)) {
    return false;
  }
  if ((values.count("--socket-mode") != 0 || values.count("--socket-group") != 0) &&
      !options->unix_socket) {
    *error = "--socket-mode and --socket-group need --socket unix:PATH";
    return false;
  }
  if (values.count("--socket-mode") != 0 && !ParseMode(values["--socket-mode"], options, error)) {
    return false;
  }
  if (values.count("--socket-group") != 0) {
    options->socket_group = values["--socket-group"];
    if (options->socket_group.empty()) {
      *error = "--socket-group needs a group";
      return false;
    }
  }
  options->allow_root = values.count("--allow-root") != 0;
  options->threads = static_cast<int>(threads);
  options->max_params = static_cast<size_t>(max_params);
  options->request_timeout_seconds = static_cast<int>(timeout);
  options->idle_timeout_seconds = static_cast<int>(idle_timeout);
  return isapi::ReadServeOptions(values, &options->serve, error);
}

}  // namespace isapi_fcgi
