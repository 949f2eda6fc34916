// isapi-server's use of libmicrohttpd: one HTTP/1.1 daemon that serves
// every request through one extension module (see host_core.h).
//
// Threading: by default a pool of epoll threads. Each thread serves many
// connections and runs the module for them in turn, so a module call that
// blocks holds up every other connection of its thread. With a thread per
// connection the module runs on the connection's own thread, so a call
// that blocks holds up only its own connection; the global connection
// limit bounds the number of threads.
//
// The module's answer is collected in memory (see http_response.h) and
// handed to libmicrohttpd once HttpExtensionProc has returned, which lets
// a failed answer still become a clean 500.
#pragma once

#include <microhttpd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

#include "server/core/host_core.h"
#include "server/http/access_log.h"

namespace isapi_http {

class HttpServer {
 public:
  // `module` and `log` must outlive the server.
  HttpServer(isapi::Module* module, AccessLog* log) : module_(module), log_(log) {}
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Serves the connections of `listen_fd` (a listening socket, left open
  // until StopAccepting) from `pool_threads` epoll threads, or from a
  // thread per connection, with at most `connection_limit` connections
  // open at once. A request must arrive whole (request line, headers, body)
  // within `request_timeout_seconds` of the connection opening or of the
  // previous answer being sent; otherwise its connection is closed. A body
  // longer than `max_body` gets 413. Returns
  // false with a one-line reason in *error when libmicrohttpd cannot start.
  bool Start(int listen_fd, bool thread_per_connection, unsigned pool_threads,
             unsigned connection_limit, unsigned request_timeout_seconds, uint64_t max_body,
             std::string* error);

  // Closes the listening socket; from now on every answer carries
  // "Connection: close".
  void StopAccepting();

  // Call after StopAccepting. Requests whose answer has begun (the module
  // was called) may finish and be sent until `deadline_ms` has passed;
  // then every connection still open (idle, still sending its request, or
  // slow to read its answer) is closed and the daemon stops. A module call
  // still running at the deadline is waited for; its answer is lost.
  void Drain(unsigned deadline_ms);

 private:
  struct ConnectionState;

  static void NotifyConnection(void* cls, MHD_Connection* connection, void** socket_context,
                               MHD_ConnectionNotificationCode code);
  static void* BeginRequest(void* cls, const char* uri, MHD_Connection* connection);
  static void EndRequest(void* cls, MHD_Connection* connection, void** request_context,
                         MHD_RequestTerminationCode code);
  static MHD_Result HandleRequest(void* cls, MHD_Connection* connection, const char* url,
                                  const char* method, const char* version,
                                  const char* upload_data, size_t* upload_data_size,
                                  void** request_context);

  // Queues the 4xx `status` for a request the module never sees, and logs it.
  MHD_Result Refuse(MHD_Connection* connection, const char* method, const char* version,
                    ConnectionState* state, int status);
  MHD_Result Serve(MHD_Connection* connection, const char* method, const char* version,
                   ConnectionState* state);

  // Closes, once a second, the connections whose request is overdue.
  // libmicrohttpd's only clock is the idle timeout, which every byte
  // restarts, so a client that trickles its request would hold its
  // connection for ever.
  void WatchRequestDeadlines();
  void StopWatching();

  isapi::Module* module_;
  AccessLog* log_;
  MHD_Daemon* daemon_ = nullptr;
  std::atomic<bool> draining_{false};
  std::mutex mutex_;
  std::condition_variable answered_;
  std::atomic<int> answering_{0};  // requests from the module call until sent

  int64_t request_timeout_ms_ = 0;
  uint64_t max_body_ = 0;
  std::mutex connections_mutex_;  // guards connections_ and stop_watching_
  std::unordered_set<ConnectionState*> connections_;
  std::condition_variable watch_wake_;
  bool stop_watching_ = false;
  std::thread watcher_;

};

}  // namespace isapi_http
