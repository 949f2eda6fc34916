#include "tests/support/child.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "tests/support/wait.h"

namespace test_support {

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::string& log_path, const std::vector<std::pair<int, int>>& inherit,
             bool own_group)
    : own_group_(own_group) {
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  // Both sides set the group, so that it exists whichever runs first.
  if (own_group) setpgid(pid_ > 0 ? pid_ : 0, 0);
  if (pid_ > 0) return;
  if (!log_path.empty()) {
    int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (log >= 0) {
      dup2(log, 1);
      dup2(log, 2);
    }
  }
  // dup2 clears close-on-exec on the copy the child keeps; a descriptor
  // already in place needs it cleared by hand.
  for (const auto& [from, to] : inherit) {
    if (from == to) {
      fcntl(to, F_SETFD, 0);
    } else {
      dup2(from, to);
    }
  }
  for (const std::string& entry : env) putenv(const_cast<char*>(entry.c_str()));
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execv(args[0], args.data());
  _exit(127);
}

Child::~Child() {
  if (pid_ <= 0) return;
  // The group outlives its leader while a member is left, so its id is not
  // reused before the members are gone.
  if (own_group_) kill(-pid_, SIGKILL);
  if (!reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void Child::Signal(int signal) const {
  if (!reaped_) kill(pid_, signal);
}

int Child::WaitExit(std::chrono::milliseconds timeout) {
  if (reaped_) return exit_code_;
  int status = 0;
  if (!WaitForChildExit(pid_, timeout, &status)) return -1;
  reaped_ = true;
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return exit_code_;
}

}  // namespace test_support
