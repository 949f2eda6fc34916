// The one way the tests run another program: a child process that is
// killed (SIGKILL) and reaped on destruction if it still runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

class Child {
 public:
  // Starts argv[0] (a path) with `env` added to this process's environment
  // ("NAME=value" entries). Standard output and standard error go to
  // `log_path` when given. Each pair of `inherit` hands the descriptor
  // `first` of this process to the child as descriptor `second` (0 for
  // standard input). A child that leads its own process group
  // (`own_group`) takes the whole group with it: a server whose workers
  // would otherwise outlive a master killed or crashed. Throws
  // std::runtime_error when fork fails.
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
        const std::string& log_path = "",
        const std::vector<std::pair<int, int>>& inherit = {}, bool own_group = false);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  void Signal(int signal) const;
  // The exit code, 128 + signal number when killed by a signal, or -1 when
  // the child is still running after `timeout`. Once reaped, the same code
  // at once.
  int WaitExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  pid_t pid_ = -1;
  bool own_group_ = false;
  bool reaped_ = false;
  int exit_code_ = -1;
};

}  // namespace test_support
