#include "server/http/http_options.h"

#include <set>

#include "server/standalone/listen_socket.h"

namespace isapi_http {

namespace {

isapi::OptionTable OwnOptions(Options* options) {
  return {
      {"listen", "HOST:PORT", &options->listen,
       "the address to listen on: a name, an IPv4 address, [IPV6] ([::] takes IPv4 too), or "
       "nothing for every address; port 0 picks a free port"},
      {"access-log", "FILE|-", &options->access_log,
       "append a Common Log Format line per request to FILE, or write it to standard output "
       "with -"},
      {"request-timeout", "S", &options->request_timeout_seconds,
       "close a connection whose request has not arrived whole S seconds after it began, one "
       "kept open that long without a request, and one whose client takes nothing of its "
       "answer that long",
       1, isapi::kMaxRequestTimeoutSeconds},
  };
}

}  // namespace

const isapi::ProgramText kProgram = {
    "isapi-server", "Serves HTTP/1.1 through the extension module at PATH.",
    "\n"
    "Once it serves it prints \"listening on ADDRESS:PORT\" on standard output,\n"
    "and \"draining\" once a stop signal has closed the listening socket.\n"
    "Under systemd (Type=notify) it reports readiness. SIGHUP reopens the access log.\n"
    "SIGTERM or SIGINT: stop accepting, let answers under way finish within the\n"
    "drain timeout, close the other connections (idle, or still sending a\n"
    "request), wait for module calls still running, unload the module, exit 0.\n"
    "With worker processes the master forwards SIGHUP and the stop signals to\n"
    "them, and logs on standard error every worker that dies, with the request\n"
    "lines that were in the module.\n"};

const std::string& Usage() {
  static const std::string usage = [] {
    Options defaults;
    return isapi::ProgramUsage(kProgram, OwnOptions(&defaults));
  }();
  return usage;
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  std::set<std::string> given;
  if (!isapi::ParseProgramOptions(argc, argv, options, OwnOptions(options), &given, error)) {
    return false;
  }
  std::string host;
  uint16_t port = 0;
  if (!options->help && !options->version &&
      !isapi::ParseListenAddress(options->listen, &host, &port)) {
    *error = "--listen must be HOST:PORT with a port in 0..65535: " + options->listen;
    return false;
  }
  return true;
}

}  // namespace isapi_http
