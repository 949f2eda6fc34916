// isapi-server's HTTP/1.1: each connection's requests parsed by Boost.Beast's
// parser (strict RFC 9112 framing), checked, and run through one extension
// module on the isapi::ConnectionLoops (connection_loop.h) that isapi-fcgi
// uses too.
//
// A request is answered once it has arrived whole: its body is spooled
// (isapi::BodySpool) while it arrives, under the body limit. The answer
// follows the core's rule (host_core.h) and leaves for the connection's
// channel as the core releases it: a held answer in one piece, a longer
// one as the module writes it. The loop sends it on as the client takes
// it, so a slow client costs buffer space, not the module's thread.
#pragma once

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "server/standalone/connection_loop.h"
#include "server/core/host_core.h"
#include "server/http/access_log.h"

namespace isapi_http {

struct ServerSettings {
  isapi::LoopSettings loop;
  uint64_t max_body = 30000000;  // a longer request body gets 413
};

class HttpServer : public isapi::Protocol {
 public:
  // `module` and `log` must outlive the server; so must `listen_fd`, a
  // non-blocking listening socket.
  HttpServer(isapi::Module* module, AccessLog* log, int listen_fd,
             const ServerSettings& settings);

  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // See isapi::ConnectionLoops::Start.
  bool Start(std::string* error) { return loops_.Start(error); }

  // Closes the listening socket and the idle connections; every answer
  // from now on carries "Connection: close". A request still arriving has
  // `drain` to arrive.
  void StopAccepting(std::chrono::milliseconds drain) {
    stopping_ = true;
    loops_.StopAccepting(drain);
  }
  // After StopAccepting: returns when every answer under way has gone out.
  void Wait() { loops_.Wait(); }

  // Refuses a connection beyond kPerAddressLimit from one address.
  std::unique_ptr<isapi::Conversation> Open(int fd) override;

  // Open connections from one client address at most.
  static constexpr unsigned kPerAddressLimit = 64;

 private:
  class Conversation;
  void Forget(const std::string& remote_addr);

  isapi::Module* module_;
  AccessLog* log_;
  uint64_t max_body_;
  std::atomic<bool> stopping_{false};
  std::mutex addresses_mutex_;
  std::map<std::string, unsigned> connections_per_address_;
  isapi::ConnectionLoops loops_;
};

}  // namespace isapi_http
