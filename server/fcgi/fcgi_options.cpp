#include "server/fcgi/fcgi_options.h"

#include <ctype.h>
#include <string.h>
#include <unistd.h>

namespace isapi_fcgi {

namespace {

const char kUnixPrefix[] = "unix:";

// A decimal number in [low, high], digits only.
bool ParseNumber(const std::string& text, long low, long high, long* value) {
  if (text.empty() || text.size() > 9) return false;
  long number = 0;
  for (char c : text) {
    if (!isdigit(static_cast<unsigned char>(c))) return false;
    number = number * 10 + (c - '0');
  }
  if (number < low || number > high) return false;
  *value = number;
  return true;
}

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
  size_t colon = text.rfind(':');
  long port = 0;
  if (colon == std::string::npos || !ParseNumber(text.substr(colon + 1), 1, 65535, &port)) {
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
         "Without --socket, standard input must be a listening socket.";
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  bool have_module = false, have_socket = false, have_threads = false, have_max_params = false,
       have_timeout = false;
  options->threads = CpuCount();
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::string value;
    size_t equals = name.find('=');
    if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      *error = "missing value for " + name;
      return false;
    }

    bool* seen = name == "--module"            ? &have_module
                 : name == "--socket"          ? &have_socket
                 : name == "--threads"         ? &have_threads
                 : name == "--max-params"      ? &have_max_params
                 : name == "--request-timeout" ? &have_timeout
                                               : nullptr;
    if (seen == nullptr) {
      *error = "unknown argument: " + name;
      return false;
    }
    if (*seen) {
      *error = name + " given twice";
      return false;
    }
    *seen = true;

    if (name == "--module") {
      if (value.empty()) {
        *error = "--module needs a path";
        return false;
      }
      options->module_path = value;
    } else if (name == "--socket") {
      if (!ParseSocket(value, options, error)) return false;
    } else if (name == "--threads") {
      long threads = 0;
      if (!ParseNumber(value, 1, kMaxThreads, &threads)) {
        *error = "--threads must be a number in 1.." + std::to_string(kMaxThreads) + ": " + value;
        return false;
      }
      options->threads = static_cast<int>(threads);
    } else if (name == "--max-params") {
      long bytes = 0;
      if (!ParseNumber(value, kMinParams, kMaxParams, &bytes)) {
        *error = "--max-params must be a number in " + std::to_string(kMinParams) + ".." +
                 std::to_string(kMaxParams) + ": " + value;
        return false;
      }
      options->max_params = static_cast<size_t>(bytes);
    } else {
      long seconds = 0;
      if (!ParseNumber(value, 1, kMaxRequestTimeoutSeconds, &seconds)) {
        *error = "--request-timeout must be a number of seconds in 1.." +
                 std::to_string(kMaxRequestTimeoutSeconds) + ": " + value;
        return false;
      }
      options->request_timeout_seconds = static_cast<int>(seconds);
    }
  }
  if (!have_module) {
    *error = "--module is required";
    return false;
  }
  return true;
}

}  // namespace isapi_fcgi
