#include "server/http/http_options.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>

#include "server/core/http_text.h"
#include "server/standalone/options.h"

namespace isapi_http {

const char* Usage() {
  static const std::string usage =
      std::string("usage: isapi-server --module PATH [--listen ADDRESS:PORT]\n"
         "                    [--threads N] [--access-log FILE|-]\n"
         "                    [--request-timeout S] [--workers N] [--drain-timeout S]\n"
         "                    [--request-terminate-timeout S] [--answer-buffer BYTES]\n"
         "                    [--min-send-rate BYTES] [--allow-root]\n"
         "\n"
         "Serves HTTP/1.1 through the extension module at PATH.\n"
         "  --module PATH        the module (.so) to load; required\n"
         "  --listen ADDR:PORT   address and port to listen on: IPV4:PORT or [IPV6]:PORT\n"
         "                       (default 127.0.0.1:8080; [::]:PORT takes IPv4 too);\n"
         "                       port 0 picks a free port\n"
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
         "Once listening it prints \"listening on ADDRESS:PORT\" on standard output,\n"
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
  return true;
}

bool ParseListenAddress(const std::string& text, sockaddr_storage* address) {
  std::string_view host, port_text;
  uint64_t port = 0;
  if (!isapi::SplitHostPort(text, &host, &port_text) ||
      !isapi::ParseDecimal(port_text, 65535, &port)) {
    return false;
  }
  memset(address, 0, sizeof *address);
  if (!host.empty() && host.front() == '[') {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(address);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    std::string literal(host.substr(1, host.size() - 2));
    return inet_pton(AF_INET6, literal.c_str(), &v6->sin6_addr) == 1;
  }
  auto* v4 = reinterpret_cast<sockaddr_in*>(address);
  v4->sin_family = AF_INET;
  v4->sin_port = htons(static_cast<uint16_t>(port));
  return inet_pton(AF_INET, std::string(host).c_str(), &v4->sin_addr) == 1;
}

}  // namespace isapi_http
