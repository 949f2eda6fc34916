// isapi-server: a standalone HTTP/1.1 server that serves
// every request through one extension module. See http_server.h for its
// HTTP, http_options.cpp for the command line and
// server/standalone/supervisor.h for its worker processes.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <memory>
#include <string>

#include "server/standalone/descriptor_limit.h"
#include "server/standalone/listen_socket.h"
#include "server/standalone/options.h"
#include "server/standalone/supervisor.h"
#include "server/http/access_log.h"
#include "server/http/http_server.h"
#include "server/http/http_options.h"

namespace {

// An open connection costs a descriptor and a few KiB, not a thread.
constexpr unsigned kConnectionLimit = 4096;
// Descriptors kept free of connections: the listener, epoll and wake-up
// descriptors, the access log, and the module's files.
constexpr rlim_t kReservedDescriptors = 64;

// Raises the descriptor limit and returns the connection limit it allows.
unsigned ConnectionLimit(unsigned wanted) {
  rlim_t descriptors = isapi::RaiseDescriptorLimit();
  if (descriptors == RLIM_INFINITY || descriptors >= wanted + kReservedDescriptors) {
    return wanted;
  }
  return descriptors > 2 * kReservedDescriptors
             ? static_cast<unsigned>(descriptors - kReservedDescriptors)
             : static_cast<unsigned>(descriptors / 2);
}

class HttpFrontEnd : public isapi::FrontEnd {
 public:
  HttpFrontEnd(const isapi_http::Options& options, int listen_fd)
      : options_(options), listen_fd_(listen_fd) {}

  bool Start(isapi::Module* module, std::string* error) override {
    // Opened by each worker, so that a worker's reopen on SIGHUP closes the
    // old file for good.
    if (!log_.Open(options_.access_log)) {
      *error = "cannot open access log " + options_.access_log + ": " + strerror(errno);
      return false;
    }
    isapi_http::ServerSettings settings;
    settings.loop.threads = static_cast<int>(options_.threads);
    settings.loop.max_connections = ConnectionLimit(kConnectionLimit);
    settings.loop.request_timeout = std::chrono::seconds(options_.request_timeout_seconds);
    settings.loop.idle_timeout = settings.loop.request_timeout;
    settings.loop.answer_buffer = options_.serve.answer_buffer;
    settings.loop.min_send_rate = options_.serve.min_send_rate;
    settings.max_body = options_.serve.max_request_body;
    server_ = std::make_unique<isapi_http::HttpServer>(module, &log_, listen_fd_, settings);
    return server_->Start(error);
  }

  void ReopenLogs() override {
    if (!log_.Reopen()) {
      fprintf(stderr, "isapi-server: cannot reopen access log %s: %s; still writing to the "
              "old file\n", options_.access_log.c_str(), strerror(errno));
    }
  }

  void Stop(unsigned drain_timeout_seconds) override {
    server_->StopAccepting(std::chrono::seconds(drain_timeout_seconds));
    printf("draining\n");
    fflush(stdout);
    server_->Wait();
    server_.reset();
  }

 private:
  const isapi_http::Options& options_;
  int listen_fd_;
  isapi_http::AccessLog log_;
  std::unique_ptr<isapi_http::HttpServer> server_;
};

}  // namespace

int main(int argc, char** argv) {
  isapi_http::Options options;
  std::string error;
  bool parsed = isapi_http::ParseOptions(argc, argv, &options, &error);
  int status =
      isapi::StartProgram(isapi_http::kProgram, parsed, error, options, isapi_http::Usage());
  if (status >= 0) return status;
  int listen_fd = isapi::OpenListenSocket(options.listen, &error);
  if (listen_fd < 0) {
    fprintf(stderr, "isapi-server: %s\n", error.c_str());
    return 1;
  }
  HttpFrontEnd front_end(options, listen_fd);
  return isapi::RunProcess(isapi_http::kProgram.name, options.module_path, listen_fd,
                           options.serve, &front_end);
}
