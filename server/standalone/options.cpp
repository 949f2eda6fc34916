#include "server/standalone/options.h"

#include <stdio.h>
#include <unistd.h>

#include <algorithm>

#include "server/core/http_text.h"

namespace isapi {

namespace {

// Columns of --help: lines end before kWidth, and an option's description
// starts at kHelpColumn.
constexpr size_t kWidth = 80;
constexpr size_t kHelpColumn = 23;

bool Store(const Option& option, const std::string& value, std::string* error) {
  if (bool* const* flag = std::get_if<bool*>(&option.target)) {
    **flag = true;
    return true;
  }
  if (std::string* const* text = std::get_if<std::string*>(&option.target)) {
    **text = value;
    return true;
  }
  uint64_t number = 0;
  if (!ParseDecimal(value, option.high, &number) || number < option.low) {
    *error = std::string("--") + option.name + " must be a number in " +
             std::to_string(option.low) + ".." + std::to_string(option.high) + ": " + value;
    return false;
  }
  if (unsigned* const* small = std::get_if<unsigned*>(&option.target)) {
    **small = static_cast<unsigned>(number);
  } else {
    *std::get<uint64_t*>(option.target) = number;
  }
  return true;
}

// "--threads N", "--allow-root".
std::string Spelling(const Option& option) {
  std::string spelling = std::string("--") + option.name;
  if (option.value_name != nullptr) spelling += std::string(" ") + option.value_name;
  return spelling;
}

// The text after an option's help: its range and default, or its default.
std::string Bounds(const Option& option) {
  std::string shown_default;
  if (option.default_text != nullptr) {
    shown_default = std::string(": ") + option.default_text;
  } else if (const unsigned* const* small = std::get_if<unsigned*>(&option.target)) {
    shown_default = " " + std::to_string(**small);
  } else if (const uint64_t* const* large = std::get_if<uint64_t*>(&option.target)) {
    shown_default = " " + std::to_string(**large);
  } else if (const std::string* const* text = std::get_if<std::string*>(&option.target)) {
    return (*text)->empty() ? "" : " (default " + **text + ")";
  } else {
    return "";
  }
  return " (" + std::to_string(option.low) + "-" + std::to_string(option.high) + ", default" +
         shown_default + ")";
}

// Appends `word` at `*column` of the current line of *out, after a space,
// or at `indent` of a new line when the current one would reach kWidth.
void AppendWord(const std::string& word, size_t indent, size_t* column, std::string* out) {
  if (*column > indent && *column + 1 + word.size() >= kWidth) {
    *out += "\n" + std::string(indent, ' ');
    *column = indent;
  } else if (*column > indent) {
    *out += ' ';
    ++*column;
  }
  *out += word;
  *column += word.size();
}

// Appends the words of `text` as AppendWord does.
void AppendWrapped(const std::string& text, size_t indent, size_t* column, std::string* out) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = std::min(text.find(' ', start), text.size());
    AppendWord(text.substr(start, end - start), indent, column, out);
    start = end + 1;
  }
}

}  // namespace

bool ParseCommandLine(int argc, const char* const* argv, const OptionTable& table,
                      std::set<std::string>* given, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument.compare(0, 2, "--") != 0) {
      *error = "unexpected argument: " + argument;
      return false;
    }
    size_t equals = argument.find('=');
    std::string name = argument.substr(0, equals);
    auto option = std::find_if(table.begin(), table.end(), [&](const Option& candidate) {
      return name.compare(2, std::string::npos, candidate.name) == 0;
    });
    if (option == table.end()) {
      *error = "unknown option: " + name;
      return false;
    }
    if (!given->insert(name).second) {
      *error = name + " given twice";
      return false;
    }
    std::string value;
    if (option->value_name == nullptr && equals != std::string::npos) {
      *error = name + " takes no value";
      return false;
    }
    if (option->value_name != nullptr) {
      if (equals != std::string::npos) {
        value = argument.substr(equals + 1);
      } else if (i + 1 == argc) {
        *error = "missing value for " + name;
        return false;
      } else {
        value = argv[++i];
      }
    }
    if (!Store(*option, value, error)) return false;
  }
  return true;
}

unsigned ThreadsPerCpu() {
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  return static_cast<unsigned>(std::clamp<long>(cpus, 1, kMaxThreads));
}

OptionTable ProgramOptions(CommonOptions* common, const OptionTable& own) {
  ServeSettings* serve = &common->serve;
  OptionTable table = {
      {"module", "PATH", &common->module_path, "the module (.so) to load; required"}};
  table.insert(table.end(), own.begin(), own.end());
  table.insert(
      table.end(),
      {{"threads", "N", &common->threads,
        "serve from N threads, each running the module for the requests it reads; as many "
        "module calls as threads may block at once",
        1, kMaxThreads, "one per CPU"},
       {"workers", "N", &serve->workers,
        "serve from N worker processes under a master that replaces any that dies; 0: serve "
        "in this one process, which a crash of the module then ends",
        0, kMaxWorkers},
       {"drain-timeout", "S", &serve->drain_timeout_seconds,
        "on SIGTERM, give requests under way up to S seconds to arrive and be answered; a "
        "worker still busy after that (and a grace period) is ended",
        0, kMaxDrainTimeoutSeconds},
       {"request-terminate-timeout", "S", &serve->request_terminate_timeout_seconds,
        "end a worker whose module call has run S seconds; needs --workers 1 or more", 1,
        kMaxRequestTerminateTimeoutSeconds, "no limit"},
       {"hold-limit", "BYTES", &serve->hold_limit,
        "hold an answer whole while its body stays within BYTES, so that a module that fails "
        "gets a clean 500; a longer answer streams",
        0, kMaxHoldLimit},
       {"max-request-body", "BYTES", &serve->max_request_body,
        "answer 413 to a request whose body is longer", 0, kMaxRequestBodyLimit},
       {"answer-buffer", "BYTES", &serve->answer_buffer,
        "hold up to BYTES of answer a client has not taken yet, in memory and then in a "
        "deleted file in $TMPDIR (else /tmp), so that the module's thread need not wait for "
        "the client; past that, the module's writes wait for the client",
        0, kMaxAnswerBuffer},
       {"min-send-rate", "BYTES", &serve->min_send_rate,
        "close a connection whose client takes an answer held for it slower than BYTES a "
        "second on average, once the request timeout has passed (0: no minimum); the "
        "module's next write then fails",
        0, kMaxMinSendRate},
       {"allow-root", nullptr, &common->allow_root,
        "run the module even as root (refused otherwise: the module would have every right "
        "on the machine)"},
       {"help", nullptr, &common->help, "show this text"},
       {"version", nullptr, &common->version, "show the version"}});
  return table;
}

bool ParseProgramOptions(int argc, const char* const* argv, CommonOptions* common,
                         const OptionTable& own, std::set<std::string>* given,
                         std::string* error) {
  if (!ParseCommandLine(argc, argv, ProgramOptions(common, own), given, error)) return false;
  if (common->help || common->version) return true;
  if (common->module_path.empty()) {
    *error = "--module PATH is required";
    return false;
  }
  if (common->serve.request_terminate_timeout_seconds != 0 && common->serve.workers == 0) {
    *error = "--request-terminate-timeout needs --workers 1 or more";
    return false;
  }
  return true;
}

std::string ProgramUsage(const ProgramText& program, const OptionTable& own_defaults) {
  CommonOptions defaults;
  OptionTable table = ProgramOptions(&defaults, own_defaults);
  std::string usage = std::string("usage: ") + program.name + " ";
  size_t indent = usage.size();
  size_t column = indent;
  for (const Option& option : table) {
    bool* const* flag = std::get_if<bool*>(&option.target);
    if (flag != nullptr && (*flag == &defaults.help || *flag == &defaults.version)) continue;
    std::string* const* text = std::get_if<std::string*>(&option.target);
    std::string shown = Spelling(option);
    if (text == nullptr || *text != &defaults.module_path) shown = "[" + shown + "]";
    AppendWord(shown, indent, &column, &usage);
  }
  usage += std::string("\n       ") + program.name + " --help | --version\n\n" + program.about +
           "\n";
  for (const Option& option : table) {
    std::string spelling = Spelling(option);
    usage += "  " + spelling;
    column = 2 + spelling.size();
    if (column >= kHelpColumn) {
      usage += "\n";
      column = 0;
    }
    usage += std::string(kHelpColumn - column, ' ');
    column = kHelpColumn;
    AppendWrapped(option.help + Bounds(option), kHelpColumn, &column, &usage);
    usage += "\n";
  }
  return usage + "Options take their value as --name VALUE or --name=VALUE.\n" + program.notes;
}

int StartProgram(const ProgramText& program, bool parsed, const std::string& error,
                 const CommonOptions& common, const std::string& usage) {
  if (!parsed) {
    fprintf(stderr, "%s: %s\n%s", program.name, error.c_str(), usage.c_str());
    return 2;
  }
  if (common.help) {
    fputs(usage.c_str(), stdout);
    return 0;
  }
  if (common.version) {
    printf("%s %s\n", program.name, ORVANE_VERSION);
    return 0;
  }
  if (geteuid() == 0 && !common.allow_root) {
    fprintf(stderr,
            "%s: refusing to run the module as root; run it as an unprivileged user, or pass "
            "--allow-root\n",
            program.name);
    return 2;
  }
  return -1;
}

}  // namespace isapi
