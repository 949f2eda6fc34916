// The FastCGI responder: takes connections from the web server on a
// listening socket, receives one request on each, runs it through the
// module and sends the answer.
//
// Connections are served by isapi::ConnectionLoops (connection_loop.h). A
// request with FCGI_KEEP_CONN leaves its connection open once its answer
// has gone out whole, so that the web server's pool of kept connections is
// reused; the default idle timeout outlasts nginx's upstream
// keepalive_timeout (60 s), so that nginx, which knows when it will use a
// connection again, normally closes first.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "server/standalone/connection_loop.h"
#include "server/core/host_core.h"
#include "server/fcgi/fcgi_record.h"

namespace isapi_fcgi {

struct ResponderSettings {
  isapi::LoopSettings loop;  // loop.max_connections is also reported to the web server
  Limits limits;
};

// Answers one complete request through its connection's `channel`: a
// responder request runs through `module`; a parameter block over the
// limit gets 431, a request without REQUEST_METHOD 400, a body over the
// limit 413. Once the web server aborts the request (ABORT_REQUEST, among
// the bytes after the request) or the channel loses it, the module's
// writes fail. Returns whether the whole answer was queued. Thread-safe.
bool AnswerRequest(isapi::Module* module, isapi::Channel* channel, ResponderRequest request);

class Responder : public isapi::Protocol {
 public:
  // `module` and `listen_fd` (a non-blocking listening socket) must stay
  // valid until the responder is stopped.
  Responder(isapi::Module* module, int listen_fd, const ResponderSettings& settings);

  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;

  // See isapi::ConnectionLoops.
  bool Start(std::string* error) { return loops_.Start(error); }
  // Closes the listening socket. Requests already begun are still
  // received, within `drain` and their own deadline, and answered.
  void Stop(std::chrono::milliseconds drain) {
    loops_.StopAccepting(drain);
    loops_.Wait();
  }

  std::unique_ptr<isapi::Conversation> Open(int fd) override;

 private:
  isapi::Module* module_;
  Limits limits_;
  isapi::ConnectionLoops loops_;
};

}  // namespace isapi_fcgi
