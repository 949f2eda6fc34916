#include "server/standalone/signals.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>

namespace isapi {

sigset_t BlockSignals(std::initializer_list<int> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (int number : signals) sigaddset(&set, number);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return set;
}

void IgnoreSigpipe() { signal(SIGPIPE, SIG_IGN); }

int WaitForSignal(const sigset_t& set, int timeout_ms) {
  timespec timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
  for (;;) {
    int number = timeout_ms < 0 ? sigwaitinfo(&set, nullptr)
                                : sigtimedwait(&set, nullptr, &timeout);
    if (number > 0) return number;
    if (errno == EAGAIN) return 0;
    // EINTR: a signal outside the set was handled; wait on.
  }
}

}  // namespace isapi
