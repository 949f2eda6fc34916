// isapi-fcgi: serves an extension module to a web server over FastCGI; see
// fcgi_options.cpp for the command line.
//
// Without --socket the listening socket is standard input, as a FastCGI
// web server or systemd (StandardInput=socket) hands it over. Worker
// processes serve it under a master: see server/standalone/supervisor.h.
//
// SIGTERM or SIGINT: stop accepting, finish the requests in progress, end
// the module (TerminateExtension) and exit 0.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "server/standalone/descriptor_limit.h"
#include "server/standalone/options.h"
#include "server/standalone/supervisor.h"
#include "server/fcgi/fcgi_options.h"
#include "server/fcgi/fcgi_responder.h"
#include "server/fcgi/fcgi_socket.h"

namespace {

// Removes the Unix socket this process created, unless another process
// has put a new file in its place since.
void RemoveSocketFile(const std::string& path, const struct stat& created) {
  struct stat now;
  if (lstat(path.c_str(), &now) == 0 && now.st_dev == created.st_dev &&
      now.st_ino == created.st_ino) {
    unlink(path.c_str());
  }
}

class FcgiFrontEnd : public isapi::FrontEnd {
 public:
  FcgiFrontEnd(const isapi_fcgi::Options& options, int listen_fd)
      : options_(options), listen_fd_(listen_fd) {}

  bool Start(isapi::Module* module, std::string* error) override {
    isapi_fcgi::ResponderSettings settings;
    settings.limits.max_params = options_.max_params;
    settings.limits.max_body = options_.serve.max_request_body;
    settings.loop.threads = static_cast<int>(options_.threads);
    settings.loop.max_connections = settings.limits.max_connections;
    settings.loop.request_timeout = std::chrono::seconds(options_.request_timeout_seconds);
    settings.loop.idle_timeout = std::chrono::seconds(options_.idle_timeout_seconds);
    settings.loop.answer_buffer = options_.serve.answer_buffer;
    settings.loop.min_send_rate = options_.serve.min_send_rate;
    responder_ = std::make_unique<isapi_fcgi::Responder>(module, listen_fd_, settings);
    return responder_->Start(error);
  }

  // A worker's master also ends a worker that outlasts the drain timeout.
  void Stop(unsigned drain_timeout_seconds) override {
    fprintf(stderr, "isapi-fcgi: stopping, finishing requests in progress\n");
    responder_->Stop(std::chrono::seconds(drain_timeout_seconds));
    responder_.reset();
  }

 private:
  const isapi_fcgi::Options& options_;
  int listen_fd_;
  std::unique_ptr<isapi_fcgi::Responder> responder_;
};

}  // namespace

int main(int argc, char** argv) {
  isapi_fcgi::Options options;
  std::string error;
  bool parsed = isapi_fcgi::ParseOptions(argc, argv, &options, &error);
  int status =
      isapi::StartProgram(isapi_fcgi::kProgram, parsed, error, options, isapi_fcgi::Usage());
  if (status >= 0) return status;

  // A descriptor per web server connection.
  isapi::RaiseDescriptorLimit();
  bool own_socket = !options.bind_address.empty();
  int listen_fd = STDIN_FILENO;
  if (own_socket) {
    listen_fd = isapi_fcgi::OpenSocket(options, &error);
    if (listen_fd < 0) {
      fprintf(stderr, "isapi-fcgi: %s\n", error.c_str());
      return 1;
    }
  } else if (!isapi_fcgi::AdoptInheritedListenSocket()) {
    fprintf(stderr,
            "isapi-fcgi: no --socket given and standard input is not a listening socket\n%s",
            isapi_fcgi::Usage().c_str());
    return 2;
  }
  struct stat socket_file {};
  bool remove_socket_file = own_socket && options.unix_socket;
  if (remove_socket_file) lstat(options.bind_address.c_str(), &socket_file);

  FcgiFrontEnd front_end(options, listen_fd);
  status = isapi::RunProcess(isapi_fcgi::kProgram.name, options.module_path, listen_fd,
                             options.serve, &front_end);
  if (remove_socket_file) RemoveSocketFile(options.bind_address, socket_file);
  return status;
}
