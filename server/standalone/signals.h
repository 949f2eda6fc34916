// Signal handling for the host processes: the signals a host acts on are
// blocked in every thread and taken by one thread with WaitForSignal, so no
// handler ever runs inside the engine's or the module's code.
#pragma once

#include <signal.h>

#include <initializer_list>

namespace isapi {

// Blocks `signals` in the calling thread and returns them as a set. Threads
// started afterwards inherit the mask, so call it in main before any thread
// (the HTTP engine's, the module's) exists. Not thread-safe with respect
// to other signal-mask changes.
sigset_t BlockSignals(std::initializer_list<int> signals);

// Ignores SIGPIPE in the whole process (and the processes it forks), so
// that writing to a peer that went away gives EPIPE instead of ending it.
void IgnoreSigpipe();

// Waits until one of `set` (blocked by BlockSignals) is pending and returns
// its number, taking it off the pending list. With `timeout_ms` >= 0 it
// returns 0 when that time passes without one. Thread-safe.
int WaitForSignal(const sigset_t& set, int timeout_ms = -1);

}  // namespace isapi
