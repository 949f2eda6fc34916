// The command line of the standalone programs (isapi-server, isapi-fcgi):
// one table of options per program both reads the command line and writes
// its --help, so that the ranges checked are the ranges shown. Both take
// options the same way:
//
//   --name value   --name=value   --flag
//
// Only long options exist, spelled out whole. An option may appear once;
// anything that is not a declared option (a positional argument, an unknown
// name, "-x") is an error. Errors are one line, naming the option, for
// "prog: <error>".
#pragma once

#include <stdint.h>

#include <set>
#include <string>
#include <variant>
#include <vector>

#include "server/standalone/supervisor.h"

namespace isapi {

// One option of a command line and where its value goes.
struct Option {
  const char* name;        // "threads" for --threads
  const char* value_name;  // "N" in --help; nullptr for a flag
  // A flag sets its bool, a text replaces its string, a number (digits
  // only, within [low, high]) replaces its unsigned or uint64_t.
  std::variant<bool*, std::string*, unsigned*, uint64_t*> target;
  const char* help;  // for --help; a number's range and default follow it
  uint64_t low = 0;
  uint64_t high = 0;
  // A number's default in --help when the target's starting value does not
  // say it: "one per CPU", "no limit".
  const char* default_text = nullptr;
};

using OptionTable = std::vector<Option>;

// Parses argv[1..argc) into the targets of `table` and adds the name of each
// option given, with its dashes ("--socket"), to *given. Returns false with a one-line reason in *error:
// "unknown option: --x", "unexpected argument: x", "--x given twice",
// "missing value for --x", "--flag takes no value", "--x must be a number
// in LOW..HIGH: TEXT". A text may be empty ("--x=" or "--x ''") and may
// start with '-' ("--x -"); the caller checks what it means.
bool ParseCommandLine(int argc, const char* const* argv, const OptionTable& table,
                      std::set<std::string>* given, std::string* error);

// The most threads --threads gives a program: more would only contend for
// the same CPUs.
constexpr unsigned kMaxThreads = 64;
constexpr unsigned kMaxRequestTimeoutSeconds = 3600;
constexpr unsigned kMaxWorkers = 64;
constexpr unsigned kMaxDrainTimeoutSeconds = 3600;
constexpr unsigned kMaxRequestTerminateTimeoutSeconds = 3600;
constexpr uint64_t kMaxHoldLimit = 1024 * 1024 * 1024;
// cbTotalBytes is 32 bits wide and its all-ones value means "unknown".
constexpr uint64_t kMaxRequestBodyLimit = 0xFFFFFFFE;
constexpr uint64_t kMaxAnswerBuffer = uint64_t{1} << 40;
constexpr uint64_t kMaxMinSendRate = uint64_t{1} << 30;

// One thread per CPU, within 1..kMaxThreads: --threads when none is given.
unsigned ThreadsPerCpu();

// The options every standalone program takes.
struct CommonOptions {
  bool help = false;     // --help: print the usage and exit
  bool version = false;  // --version: print the version and exit
  std::string module_path;
  unsigned threads = ThreadsPerCpu();  // event loops, each running the module
  unsigned request_timeout_seconds = 30;
  bool allow_root = false;
  ServeSettings serve;
};

// What sets one standalone program apart on its command line.
struct ProgramText {
  const char* name;   // "isapi-server": starts the usage and every message
  const char* about;  // the line under the usage line
  const char* notes;  // what follows the options in --help
};

// The whole table of a program: --module, the program's `own` options,
// --threads, the options of ServeSettings, --allow-root, --help, --version.
OptionTable ProgramOptions(CommonOptions* common, const OptionTable& own);

// Parses a program's command line (see ProgramOptions). Stops after
// --help or --version; otherwise --module must name a path. False with a
// one-line reason in *error.
bool ParseProgramOptions(int argc, const char* const* argv, CommonOptions* common,
                         const OptionTable& own, std::set<std::string>* given,
                         std::string* error);

// The --help text of a program whose own options are `own_defaults`: a
// table whose targets hold their defaults.
std::string ProgramUsage(const ProgramText& program, const OptionTable& own_defaults);

// The start both programs share, after the parse: prints the error and the
// usage (exit status 2), the usage for --help or the version for --version
// (0), or refuses to run the module as root without --allow-root (2).
// Returns -1 when the program should go on.
int StartProgram(const ProgramText& program, bool parsed, const std::string& error,
                 const CommonOptions& common, const std::string& usage);

}  // namespace isapi
