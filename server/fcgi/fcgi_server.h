// The FastCGI front end: worker threads that take responder requests from a
// shared listening socket and run them through the host core.
#pragma once

#include <fcgiapp.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "server/fcgi/fcgi_options.h"
#include "server/core/host_core.h"

namespace isapi_fcgi {

// Bodies larger than this are refused with 413 before the module sees them.
constexpr size_t kMaxBodyBytes = 16 * 1024 * 1024;

// Opens the listening socket `options` name (FCGX_OpenSocket). A Unix
// socket path is only taken over when nothing is there or a dead socket is
// left from an earlier run: another file, or a socket some process still
// answers on, is refused. Returns the descriptor, or -1 with a one-line
// reason in *error. libfcgi itself ends the process (message on stderr)
// when it cannot resolve the host or bind.
int OpenListenSocket(const Options& options, std::string* error);

// Answers one accepted request on `request`'s connection and closes that
// connection: a responder request runs through `module`; any other role
// gets 500, a request without REQUEST_METHOD 400, a body over kMaxBodyBytes
// 413. When the module's answer is cut short (fewer body bytes than its
// Content-Length, or the web server went away) the connection is closed
// without the end-of-request record, so the web server sees the answer as
// broken rather than complete. Thread-safe for distinct requests.
void ServeRequest(isapi::Module* module, FCGX_Request* request);

// A pool of worker threads accepting on one listening socket.
class Server {
 public:
  // `module` and `listen_fd` must stay valid until Stop() has returned.
  Server(isapi::Module* module, int listen_fd);
  // Calls Stop().
  ~Server();

  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Starts `threads` workers. Returns false with the reason in *error when a
  // thread cannot be created; the workers already started keep running
  // until Stop(). Call once.
  bool Start(int threads, std::string* error);

  // Stops accepting (shuts the listening socket down, which wakes every
  // worker blocked in accept) and waits until each worker has finished the
  // connection it was serving. Connections still waiting in the listen
  // queue are refused by the kernel. Later calls do nothing.
  void Stop();

 private:
  void Work();

  isapi::Module* module_;
  int listen_fd_;
  std::vector<std::thread> workers_;
  std::atomic<bool> stopping_{false};
};

}  // namespace isapi_fcgi
