// isapi-fcgi: serves an extension module to a web server over FastCGI.
//
//   isapi-fcgi --module PATH [--socket unix:PATH|HOST:PORT] [--threads N]
//              [--max-params BYTES] [--request-timeout SECONDS]
//
// Without --socket the listening socket is standard input, as a FastCGI
// web server or systemd (StandardInput=socket) hands it over.
//
// SIGTERM or SIGINT: stop accepting, finish the requests in progress, end
// the module (TerminateExtension) and exit 0.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "server/core/descriptor_limit.h"
#include "server/core/host_core.h"
#include "server/core/signals.h"
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

}  // namespace

int main(int argc, char** argv) {
  isapi_fcgi::Options options;
  std::string error;
  if (!isapi_fcgi::ParseOptions(argc, argv, &options, &error)) {
    fprintf(stderr, "isapi-fcgi: %s\n%s\n", error.c_str(), isapi_fcgi::Usage());
    return 2;
  }

  // A descriptor per web server connection.
  isapi::RaiseDescriptorLimit();
  // Every thread blocks the stop signals; the main thread takes them.
  sigset_t stop_signals = isapi::BlockSignals({SIGTERM, SIGINT});

  bool own_socket = !options.bind_address.empty();
  int listen_fd = STDIN_FILENO;
  if (own_socket) {
    listen_fd = isapi_fcgi::OpenListenSocket(options, &error);
    if (listen_fd < 0) {
      fprintf(stderr, "isapi-fcgi: %s\n", error.c_str());
      return 1;
    }
  } else if (!isapi_fcgi::AdoptInheritedListenSocket()) {
    fprintf(stderr,
            "isapi-fcgi: no --socket given and standard input is not a listening socket\n%s\n",
            isapi_fcgi::Usage());
    return 2;
  }
  struct stat socket_file {};
  bool remove_socket_file = own_socket && options.unix_socket;
  if (remove_socket_file) lstat(options.bind_address.c_str(), &socket_file);

  std::unique_ptr<isapi::Module> module = isapi::Module::Load(options.module_path, &error);
  if (module == nullptr) {
    fprintf(stderr, "isapi-fcgi: %s\n", error.c_str());
    if (remove_socket_file) RemoveSocketFile(options.bind_address, socket_file);
    return 1;
  }
  fprintf(stderr, "isapi-fcgi: serving %s (%s) on %s%s with %d threads\n",
          options.module_path.c_str(), module->description().c_str(),
          isapi_fcgi::SocketName(listen_fd).c_str(), own_socket ? "" : " (inherited)",
          options.threads);

  isapi_fcgi::ResponderSettings settings;
  settings.threads = options.threads;
  settings.limits.max_params = options.max_params;
  settings.request_timeout = std::chrono::seconds(options.request_timeout_seconds);
  int exit_code = 0;
  {
    isapi_fcgi::Responder responder(module.get(), listen_fd, settings);
    if (responder.Start(&error)) {
      int received = isapi::WaitForSignal(stop_signals);
      fprintf(stderr, "isapi-fcgi: %s received, finishing requests in progress\n",
              strsignal(received));
    } else {
      fprintf(stderr, "isapi-fcgi: %s\n", error.c_str());
      exit_code = 1;
    }
  }
  module->Terminate();
  close(listen_fd);
  if (remove_socket_file) RemoveSocketFile(options.bind_address, socket_file);
  return exit_code;
}
