#include "server/fcgi/fcgi_options.h"

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

}  // namespace

const char* Usage() {
  return "usage: isapi-fcgi --module PATH --socket unix:PATH|HOST:PORT [--threads N]";
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  isapi::OptionValues values;
  if (!isapi::ParseCommandLine(argc, argv, {{"--module", true}, {"--socket", true},
                                            {"--threads", true}},
                               &values, error)) {
    return false;
  }
  if (values.count("--module") == 0 || values.count("--socket") == 0) {
    *error = values.count("--module") != 0 ? "--socket is required" : "--module is required";
    return false;
  }
  options->module_path = values["--module"];
  if (options->module_path.empty()) {
    *error = "--module needs a path";
    return false;
  }
  if (!ParseSocket(values["--socket"], options, error)) return false;
  uint64_t threads = static_cast<uint64_t>(options->threads);
  if (!isapi::NumberOption(values, "--threads", 1, kMaxThreads, &threads, error)) return false;
  options->threads = static_cast<int>(threads);
  return true;
}

}  // namespace isapi_fcgi
