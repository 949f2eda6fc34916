#include "server/http/http_options.h"

#include "server/standalone/listen_socket.h"
#include "server/standalone/options.h"

namespace isapi_http {

const char* Usage() {
  static const std::string usage =
      std::string("usage: isapi-server --module PATH [--listen HOST:PORT]\n"
         "                    [--threads N] [--access-log FILE|-]\n"
         "                    [--request-timeout S] [--workers N] [--drain-timeout S]\n"
         "                    [--request-terminate-timeout S] [--answer-buffer BYTES]\n"
         "                    [--min-send-rate BYTES] [--allow-root]\n"
         "\n"
         "Serves HTTP/1.1 through the extension module at PATH.\n"
         "  --module PATH        the module (.so) to load; required\n"
         "  --listen HOST:PORT   the address to listen on: a name, an IPv4 address,\n"
         "                       [IPV6] ([::] takes IPv4 too), or nothing for every\n"
         "                       address; port 0 picks a free port (default\n"
         "                       127.0.0.1:8080)\n"
         "  --threads N          serve from N (1-64) threads (default: one per CPU), each\n"
         "                       running the module for the requests it reads; as many\n"
         "                       module calls as threads may block at once\n"
         "  --access-log FILE|-  append a Common Log Format line per request to FILE,\n"
         "                       or write it to standard output with -\n"
         "  --request-timeout S  close a connection whose request has not arrived whole\n"
         "                       S seconds (1-3600, default 30) after it began, one\n"
         "                       kept open that long without a request, and one whose\n"
         "                       client takes nothing of its answer that long\n") +
         isapi::kServeOptionsUsage +
         "  --allow-root         run the module even as root (refused otherwise: the\n"
         "                       module would have every right on the machine)\n"
         "  --help               show this text\n"
         "  --version            show the version\n"
         "Options take their value as --name VALUE or --name=VALUE.\n"
         "\n"
         "Once it serves it prints \"listening on ADDRESS:PORT\" on standard output,\n"
         "and \"draining\" once a stop signal has closed the listening socket. Under\n"
         "systemd (Type=notify) it reports readiness. SIGHUP reopens the access log.\n"
         "SIGTERM or SIGINT: stop accepting, let answers under way finish within the\n"
         "drain timeout, close the other connections (idle, or still sending a\n"
         "request), wait for module calls still running, unload the module, exit 0.\n"
         "With worker processes the master forwards SIGHUP and the stop signals to\n"
         "them, and logs on standard error every worker that dies, with the request\n"
         "lines that were in the module.\n";
  return usage.c_str();
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  std::vector<isapi::KnownOption> known = {
      {"--help", false},         {"--version", false},
      {"--module", true},        {"--listen", true},
      {"--access-log", true},    {"--threads", true},
      {"--request-timeout", true}, {"--allow-root", false}};
  known.insert(known.end(), isapi::kServeOptions.begin(), isapi::kServeOptions.end());
  isapi::OptionValues values;
  if (!isapi::ParseCommandLine(argc, argv, known, &values, error)) {
    return false;
  }
  options->help = values.count("--help") != 0;
  options->version = values.count("--version") != 0;
  if (options->help || options->version) return true;
  uint64_t threads = isapi::ThreadsPerCpu();
  if (!isapi::NumberOption(values, "--threads", 1, isapi::kMaxThreads, &threads, error)) {
    return false;
  }
  options->threads = static_cast<unsigned>(threads);
  if (!isapi::ReadServeOptions(values, &options->serve, error)) return false;
  uint64_t request_timeout = options->request_timeout_seconds;
  if (!isapi::NumberOption(values, "--request-timeout", 1, kMaxRequestTimeoutSeconds,
                           &request_timeout, error)) {
    return false;
  }
  options->request_timeout_seconds = static_cast<unsigned>(request_timeout);
  options->allow_root = values.count("--allow-root") != 0;
  options->module_path = values["--module"];
  options->access_log = values["--access-log"];
  if (values.count("--listen") != 0) options->listen = values["--listen"];
  if (options->module_path.empty()) {
    *error = "--module PATH is required";
    return false;
  }
  std::string host;
  uint16_t port = 0;
  if (!isapi::ParseListenAddress(options->listen, &host, &port)) {
    *error = "--listen must be HOST:PORT with a port in 0..65535: " + options->listen;
    return false;
  }
  return true;
}

}  // namespace isapi_http
