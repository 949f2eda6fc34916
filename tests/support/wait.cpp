#include "tests/support/wait.h"

#include <errno.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test_support {
namespace {

using Clock = std::chrono::steady_clock;

// Polls `fd` for input until it is readable (true) or `deadline` passes.
bool WaitReadable(int fd, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd ready = {fd, POLLIN, 0};
    int polled = poll(&ready, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (polled > 0) return true;
    if (polled == 0 || errno != EINTR) return false;
  }
}

}  // namespace

bool WaitForChildExit(pid_t pid, std::chrono::milliseconds timeout, int* status) {
  // A process descriptor turns readable when the process ends; unlike
  // SIGCHLD it needs no handler that would touch the whole test binary.
  // Through syscall(): glibc 2.36's <sys/pidfd.h> declares pidfd_open
  // without C linkage.
  int process = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (process < 0) return false;
  bool ended = WaitReadable(process, Clock::now() + timeout);
  close(process);
  return ended && waitpid(pid, status, 0) == pid;
}

bool WaitForWrites(const std::string& dir, std::chrono::milliseconds timeout,
                   const std::function<bool()>& done) {
  Clock::time_point deadline = Clock::now() + timeout;
  int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (watch < 0) return done();
  // Watched before the first look, so that no write falls between the two.
  inotify_add_watch(watch, dir.c_str(), IN_CREATE | IN_MODIFY);
  bool result = done();
  while (!result && WaitReadable(watch, deadline)) {
    alignas(inotify_event) char events[4096];
    while (read(watch, events, sizeof events) > 0) {
    }
    result = done();
  }
  close(watch);
  return result;
}

}  // namespace test_support
