// isapi-server: a standalone HTTP/1.1 server on libmicrohttpd that serves
// every request through one extension module. See http_host.h for how it
// drives libmicrohttpd and http_options.cpp for the command line.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>

#include "server/core/host_core.h"
#include "server/core/signals.h"
#include "server/http/access_log.h"
#include "server/http/http_host.h"
#include "server/http/http_options.h"

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
  // reach only WaitForSignal below.
  sigset_t stop_signals = isapi::BlockSignals({SIGTERM, SIGINT});
  {
    isapi_http::HttpHost host(module.get(), &log);
    if (!host.Start(address, pool_size, &error)) {
      fprintf(stderr, "isapi-server: %s\n", error.c_str());
      return 1;
    }
    printf("listening on %s\n", host.ListeningAddress().c_str());
    fflush(stdout);
    isapi::WaitForSignal(stop_signals);
    host.Stop();
  }
  module->Terminate();
  return 0;
}
