// isapi-server: a standalone HTTP/1.1 server on libmicrohttpd that serves
// every request through one extension module. See http_host.h for how it
// drives libmicrohttpd and http_options.cpp for the command line.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>

#include "server/core/host_core.h"
#include "server/core/signals.h"
#include "server/http/access_log.h"
#include "server/http/http_host.h"
#include "server/http/http_options.h"

namespace {

// With a thread pool, thousands of connections cost little; a thread per
// connection costs a thread each, so it keeps to fewer.
constexpr unsigned kPoolConnectionLimit = 4096;
constexpr unsigned kThreadPerConnectionLimit = 512;
// Descriptors kept free of connections: the listener, epoll and wake-up
// descriptors, the access log, and the module's files.
constexpr rlim_t kReservedDescriptors = 64;

// Raises the soft descriptor limit to the hard one, as nginx's
// worker_rlimit_nofile does, and returns the connection limit it allows.
unsigned ConnectionLimit(unsigned wanted) {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return wanted;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted + kReservedDescriptors) {
    return wanted;
  }
  return limit.rlim_cur > 2 * kReservedDescriptors
             ? static_cast<unsigned>(limit.rlim_cur - kReservedDescriptors)
             : static_cast<unsigned>(limit.rlim_cur / 2);
}

}  // namespace

int main(int argc, char** argv) {
  isapi_http::Options options;
  bool help = false;
  std::string error;
  if (!isapi_http::ParseOptions(argc, argv, &options, &help, &error)) {
    fprintf(stderr, "isapi-server: %s\n%s", error.c_str(), isapi_http::Usage());
    return 2;
  }
  if (help) {
    fputs(isapi_http::Usage(), stdout);
    return 0;
  }
  sockaddr_storage address;
  if (!isapi_http::ParseListenAddress(options.listen, &address)) {
    fprintf(stderr, "isapi-server: --listen wants IPV4:PORT or [IPV6]:PORT, got \"%s\"\n",
            options.listen.c_str());
    return 2;
  }
  unsigned pool_size = options.threads;  // 0: a thread per connection
  if (pool_size == 0 && !options.thread_per_connection) {
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    pool_size = static_cast<unsigned>(std::clamp<long>(cpus, 1, isapi_http::kMaxThreads));
  }
  if (geteuid() == 0 && !options.allow_root) {
    fprintf(stderr,
            "isapi-server: refusing to run the module as root; run it as an unprivileged "
            "user, or pass --allow-root\n");
    return 2;
  }
  isapi_http::AccessLog log;
  if (!log.Open(options.access_log)) {
    fprintf(stderr, "isapi-server: cannot open access log %s: %s\n",
            options.access_log.c_str(), strerror(errno));
    return 1;
  }
  std::unique_ptr<isapi::Module> module = isapi::Module::Load(options.module_path, &error);
  if (module == nullptr) {
    fprintf(stderr, "isapi-server: %s\n", error.c_str());
    return 1;
  }

  // Every thread libmicrohttpd starts inherits this mask, so the signals
  // reach only WaitForSignal below: SIGHUP reopens the access log, the
  // others stop the server.
  sigset_t signals = isapi::BlockSignals({SIGTERM, SIGINT, SIGHUP});
  {
    isapi_http::HttpHost host(module.get(), &log);
    unsigned connection_limit =
        ConnectionLimit(pool_size == 0 ? kThreadPerConnectionLimit : kPoolConnectionLimit);
    if (!host.Start(address, pool_size, connection_limit, options.request_timeout_seconds,
                    &error)) {
      fprintf(stderr, "isapi-server: %s\n", error.c_str());
      return 1;
    }
    printf("listening on %s\n", host.ListeningAddress().c_str());
    fflush(stdout);
    // Does nothing outside systemd (no NOTIFY_SOCKET).
    sd_notify(0, "READY=1");
    while (isapi::WaitForSignal(signals) == SIGHUP) {
      if (!log.Reopen()) {
        fprintf(stderr, "isapi-server: cannot reopen access log %s: %s; still writing to the "
                "old file\n", options.access_log.c_str(), strerror(errno));
      }
    }
    sd_notify(0, "STOPPING=1");
    host.StopAccepting();
    printf("draining\n");
    fflush(stdout);
    host.Drain(options.drain_timeout_seconds * 1000);
  }
  module->Terminate();
  return 0;
}
