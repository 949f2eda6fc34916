#include "server/standalone/options.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "server/core/http_text.h"

namespace isapi {

bool ParseCommandLine(int argc, const char* const* argv,
                      const std::vector<KnownOption>& known_options, OptionValues* values,
                      std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::string value;
    bool inline_value = false;
    if (name.compare(0, 2, "--") != 0) {
      *error = "unexpected argument: " + name;
      return false;
    }
    size_t equals = name.find('=');
    if (equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
      inline_value = true;
    }
    const KnownOption* option = nullptr;
    for (const KnownOption& candidate : known_options) {
      if (name == candidate.name) option = &candidate;
    }
    if (option == nullptr) {
      *error = "unknown option: " + name;
      return false;
    }
    if (values->count(name) != 0) {
      *error = name + " given twice";
      return false;
    }
    if (!option->takes_value && inline_value) {
      *error = name + " takes no value";
      return false;
    }
    if (option->takes_value && !inline_value) {
      if (i + 1 == argc) {
        *error = "missing value for " + name;
        return false;
      }
      value = argv[++i];
    }
    (*values)[name] = value;
  }
  return true;
}

bool NumberOption(const OptionValues& values, const char* name, uint64_t low, uint64_t high,
                  uint64_t* value, std::string* error) {
  auto found = values.find(name);
  if (found == values.end()) return true;
  uint64_t number = 0;
  if (!ParseDecimal(found->second, high, &number) || number < low) {
    *error = std::string(name) + " must be a number in " + std::to_string(low) + ".." +
             std::to_string(high) + ": " + found->second;
    return false;
  }
  *value = number;
  return true;
}

std::string VersionLine(const char* program) {
  return std::string(program) + " " + ORVANE_VERSION + "\n";
}

unsigned ThreadsPerCpu() {
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  return static_cast<unsigned>(std::clamp<long>(cpus, 1, kMaxThreads));
}

}  // namespace isapi
