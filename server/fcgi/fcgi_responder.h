// The FastCGI responder: takes connections from the web server on a
// listening socket, receives one request on each, runs it through the
// module and sends the answer.
//
// Threads: N threads (--threads, one per CPU by default), each an epoll
// loop of its own. Every thread waits on the shared listening socket
// (EPOLLEXCLUSIVE, so a new connection wakes one idle thread), reads all
// the connections it accepted at once, each under a deadline counted from
// its accept, and runs a request through the module on the spot once its
// parameters and whole body have arrived. A peer that connects and goes
// silent, or sends half a record, therefore costs a descriptor and a few
// bytes until its deadline, never a thread. A module call holds up only the
// connections its own thread is still receiving, and a web server sends its
// request right after connecting, so those are rare; a thread busy in the
// module takes no new connections. Serving in the thread that read the
// request keeps a request on one CPU with no hand-over between threads,
// which a receiving thread feeding a worker queue costs on every request.
//
// A request with FCGI_KEEP_CONN leaves its connection open once its answer
// has gone out whole. The kept connection then waits in an epoll instance
// the threads share (EPOLLONESHOT), not in its thread's: whichever thread
// is free takes up its next request, so a web server's pool of kept
// connections never waits behind a thread busy in the module. A kept
// connection left idle past the idle timeout is closed; the default
// outlasts nginx's upstream keepalive_timeout (60 s), so that nginx, which
// knows when it will use a connection again, normally closes first.
#pragma once

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "server/core/host_core.h"
#include "server/fcgi/fcgi_record.h"

namespace isapi_fcgi {

struct ResponderSettings {
  int threads = 1;  // event loops, each running the module for its requests
  Limits limits;    // limits.max_connections also bounds the open connections
  // How long a connection may take to deliver its whole request, and how
  // long an answer may take to be accepted by the web server.
  std::chrono::milliseconds request_timeout{30000};
  // How long a kept connection may wait for its next request.
  std::chrono::milliseconds idle_timeout{75000};
};

// Answers one complete request on `fd` (a connected, non-blocking socket)
// and leaves the socket open: a responder request runs through `module`; a
// parameter block over the limit gets 431, a request without
// REQUEST_METHOD 400, a body over the limit 413. Writing the answer waits
// at most `write_timeout` for the web server to take it. Once the web
// server aborts the request (ABORT_REQUEST, in `read_ahead`, the bytes
// already read after the request, or still in the socket), the module's
// writes fail. Returns whether the whole answer was sent.
// Thread-safe.
bool AnswerRequest(isapi::Module* module, int fd, ResponderRequest request,
                   std::string_view read_ahead, std::chrono::milliseconds write_timeout);

class Responder {
 public:
  // `module` and `listen_fd` (a non-blocking listening socket) must stay
  // valid until Stop() has returned.
  Responder(isapi::Module* module, int listen_fd, const ResponderSettings& settings);
  // Calls Stop().
  ~Responder();

  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;

  // Starts the threads. Returns false with the reason in *error when a
  // thread or an epoll instance cannot be made; what was started keeps
  // running until Stop(). Call once.
  bool Start(std::string* error);

  // Stops accepting and closes the connections that have not begun a
  // request, kept ones included; requests already begun are still received
  // (each within its deadline) and answered. Returns when every answer has been sent.
  // Connections still in the listen queue are left to the kernel. Later
  // calls do nothing.
  void Stop();

 private:
  struct Connection;
  class EventLoop;

  void CloseConnection(Connection* connection);
  // Until the first idle connection is due; one idle timeout when none is.
  int MillisecondsUntilIdleDeadline();
  void CloseOverdueIdle(std::chrono::steady_clock::time_point now);

  isapi::Module* module_;
  int listen_fd_;
  ResponderSettings settings_;
  int stop_fd_ = -1;  // eventfd, readable once Stop() was called
  int idle_epoll_fd_ = -1;  // kept connections waiting for their next request
  std::mutex idle_mutex_;
  std::list<Connection*> idle_;  // in deadline order
  std::atomic<unsigned> open_connections_{0};
  std::vector<std::unique_ptr<EventLoop>> loops_;
  std::vector<std::thread> threads_;
  bool stopped_ = false;
};

}  // namespace isapi_fcgi
