#include "server/fcgi/fcgi_options.h"

#include <unistd.h>

#include "server/core/http_text.h"
#include "server/core/options.h"

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
  std::string_view host, port_text;
  uint64_t port = 0;
  if (!isapi::SplitHostPort(text, &host, &port_text) ||
      !isapi::ParseDecimal(port_text, 65535, &port) || port == 0) {
    *error = "--socket must be unix:PATH or HOST:PORT with a port in 1..65535: " + text;
    return false;
  }
  options->bind_address = text;
  options->unix_socket = false;
  return true;
}

int CpuCount() {
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count < 1 ? 1 : count > kMaxThreads ? kMaxThreads : static_cast<int>(count);
}

}  // namespace

const char* Usage() {
  return "usage: isapi-fcgi --module PATH [--socket unix:PATH|HOST:PORT] [--threads N]\n"
         "                  [--max-params BYTES] [--request-timeout SECONDS]\n"
         "                  [--idle-timeout SECONDS]\n"
         "                  [--workers N] [--drain-timeout S] [--request-terminate-timeout S]\n"
         "Without --socket, standard input must be a listening socket.";
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  std::vector<isapi::KnownOption> known = {{"--module", true},
                                           {"--socket", true},
                                           {"--threads", true},
                                           {"--max-params", true},
                                           {"--request-timeout", true},
                                           {"--idle-timeout", true}};
  known.insert(known.end(), isapi::kServeOptions.begin(), isapi::kServeOptions.end());
  isapi::OptionValues values;
  if (!isapi::ParseCommandLine(argc, argv, known, &values, error)) {
    return false;
  }
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
  uint64_t threads = static_cast<uint64_t>(CpuCount());
  uint64_t max_params = options->max_params;
  uint64_t timeout = static_cast<uint64_t>(options->request_timeout_seconds);
  uint64_t idle_timeout = static_cast<uint64_t>(options->idle_timeout_seconds);
  if (!isapi::NumberOption(values, "--threads", 1, kMaxThreads, &threads, error) ||
      !isapi::NumberOption(values, "--max-params", kMinParams, kMaxParams, &max_params, error) ||
      !isapi::NumberOption(values, "--request-timeout", 1, kMaxRequestTimeoutSeconds, &timeout,
                           error) ||
      !isapi::NumberOption(values, "--idle-timeout", 1, kMaxRequestTimeoutSeconds, &idle_timeout,
                           error)) {
    return false;
  }
  options->threads = static_cast<int>(threads);
  options->max_params = static_cast<size_t>(max_params);
  options->request_timeout_seconds = static_cast<int>(timeout);
  options->idle_timeout_seconds = static_cast<int>(idle_timeout);
  return isapi::ReadServeOptions(values, &options->serve, error);
}

}  // namespace isapi_fcgi
