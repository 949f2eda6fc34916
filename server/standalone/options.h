// The command-line parser every front end uses, so that all of them take
// options the same way:
//
//   --name value   --name=value   --flag
//
// Only long options exist. An option may appear once; anything that is not
// a declared option (a positional argument, an unknown name, "-x") is an
// error. Errors are one line, naming the option, for "prog: <error>".
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace isapi {

struct KnownOption {
  const char* name;  // with its dashes: "--module"
  bool takes_value;  // false for a flag such as "--help"
};

// The options a command line gave: name (with dashes) -> value, "" for a
// flag. An option that was not given has no entry.
using OptionValues = std::map<std::string, std::string>;

// Parses argv[1..argc) against `known_options` into *values. Returns false with a
// one-line reason in *error: "unknown option: --x", "unexpected argument:
// x", "--x given twice", "missing value for --x", "--flag takes no value".
// A value may be empty ("--x=" or "--x ''") and may start with '-'
// ("--x -"); the caller checks what it means.
bool ParseCommandLine(int argc, const char* const* argv,
                      const std::vector<KnownOption>& known_options, OptionValues* values,
                      std::string* error);

// The most threads --threads gives any front end: more would only contend
// for the same CPUs.
constexpr unsigned kMaxThreads = 64;

// The --threads of a front end when none is given: one per CPU, within
// 1..kMaxThreads.
unsigned ThreadsPerCpu();

// Reads the decimal option `name` when it was given: digits only, within
// [low, high]. Returns true and leaves *value alone when the option is
// absent; returns false with "--name must be a number in LOW..HIGH: TEXT"
// in *error when it is not such a number.
bool NumberOption(const OptionValues& values, const char* name, uint64_t low, uint64_t high,
                  uint64_t* value, std::string* error);

// "PROGRAM VERSION\n", what --version prints: the project's version, which
// every program of the project shares.
std::string VersionLine(const char* program);

}  // namespace isapi
