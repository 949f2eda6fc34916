// Bounded waits on what a child process does, woken by the kernel when it
// happens rather than by polling on a timer.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

namespace test_support {

// Waits at most `timeout` for the child `pid` to end, and reaps it. True
// with its wait status in *status; false while it still runs.
bool WaitForChildExit(pid_t pid, std::chrono::milliseconds timeout, int* status);

// Waits at most `timeout` until `done()` holds. It is asked at once and again
// whenever a file directly under `dir` is created or written, so that a test
// can wait for a line in a log a child writes there. Returns done()'s last
// answer.
bool WaitForWrites(const std::string& dir, std::chrono::milliseconds timeout,
                   const std::function<bool()>& done);

}  // namespace test_support
