#include "server/fcgi/fcgi_options.h"

#include <ctype.h>
#include <string.h>

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

}  // namespace

const char* Usage() {
  return "usage: isapi-fcgi --module PATH --socket unix:PATH|HOST:PORT [--threads N]";
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  bool have_module = false, have_socket = false, have_threads = false;
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

    bool* seen = name == "--module"    ? &have_module
                 : name == "--socket"  ? &have_socket
                 : name == "--threads" ? &have_threads
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
    } else {
      long threads = 0;
      if (!ParseNumber(value, 1, kMaxThreads, &threads)) {
        *error = "--threads must be a number in 1.." + std::to_string(kMaxThreads) + ": " + value;
        return false;
      }
      options->threads = static_cast<int>(threads);
    }
  }
  if (!have_module || !have_socket) {
    *error = have_module ? "--socket is required" : "--module is required";
    return false;
  }
  return true;
}

}  // namespace isapi_fcgi
