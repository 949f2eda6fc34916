// The process of a standalone host after its command line: the worker
// processes, their supervisor, and the readiness report.
//
// With --workers N (N >= 1, default 1) the process that main runs becomes a
// master: it owns the listening socket, never loads the module, and keeps
// N worker processes running. Each worker loads the module, serves on the
// inherited socket, and ends the module (TerminateExtension) when it exits.
// A worker that dies is replaced, and the master logs the signal and the
// request line of every call that was inside the module (see
// calls_in_flight.h). One that died during a module call is replaced at
// once, however often: a crashing request costs only itself. Workers that
// keep ending right after they start with no call in the module (it fails
// or crashes as it loads) are restarted ever more slowly (rapid-fail
// protection), so a module that cannot start never makes the master spin. With --workers 0 the one
// process loads the module and serves itself; a crash then ends the host.
//
// Signals to the master: SIGTERM or SIGINT drains every worker within the
// drain timeout (a worker still running after it, plus a grace period, is
// killed); SIGHUP makes every worker reopen its logs. Readiness reaches
// systemd once, from the master, when every first worker serves; workers
// never see NOTIFY_SOCKET. Readiness reaches the operator at the same
// time, on standard output: "listening on ADDRESS" (see ListenSocketName),
// once the listening socket is served.
#pragma once

#include <string>

#include "server/core/host_core.h"

namespace isapi {

// A front end's part in serving, called by RunProcess in whichever process
// serves (a worker, or the one process with --workers 0).
class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  // Starts serving `module` on the listening socket. False with a one-line
  // reason in *error.
  virtual bool Start(Module* module, std::string* error) = 0;
  // SIGHUP: reopen the files it writes.
  virtual void ReopenLogs() {}
  // A stop signal: close the listening socket (this process's copy of it),
  // let answers under way finish within `drain_timeout_seconds`, and stop
  // serving.
  virtual void Stop(unsigned drain_timeout_seconds) = 0;
};

// The command line's say in serving.
struct ServeSettings {
  unsigned workers = 1;  // 0: serve in this process
  unsigned drain_timeout_seconds = 10;
  // A module call running longer costs its worker (the master kills it);
  // 0: no limit.
  unsigned request_terminate_timeout_seconds = 0;
  uint64_t hold_limit = kDefaultHoldLimit;  // see Module::set_hold_limit
  // A request whose body is longer gets 413 without reaching the module:
  // IIS's maxAllowedContentLength and its default.
  uint64_t max_request_body = 30000000;
  // See LoopSettings (connection_loop.h).
  uint64_t answer_buffer = uint64_t{1} << 30;
  uint64_t min_send_rate = 240;
};

// Loads the module at `module_path` and serves through `front_end` until a
// stop signal, as `settings` ask. `listen_fd` is the front end's listening
// socket: a master closes its own copy as it stops, so that new connections
// are refused once every worker has closed its copy too. `program`
// ("isapi-server") starts every message. Call from main before any thread
// exists. Returns the exit status for main: 0 after a stop signal, 1 when
// serving could not start (the reason is on standard error).
int RunProcess(const char* program, const std::string& module_path, int listen_fd,
               const ServeSettings& settings, FrontEnd* front_end);

}  // namespace isapi
