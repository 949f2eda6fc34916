// The event loops both standalone hosts serve their connections from: a
// listening socket, N threads, and a protocol (HTTP/1.1 for isapi-server,
// FastCGI for isapi-fcgi) that turns the bytes of one connection into
// requests and answers them.
//
// Threads: N threads, each an epoll loop of its own. Every thread waits on
// the shared listening socket (EPOLLEXCLUSIVE, so a new connection wakes one
// idle thread), reads all the connections it accepted at once, each under a
// deadline counted from its accept, and answers a request on the spot, in
// the thread that read it, once it has arrived whole (body included). A
// client that connects and goes silent, or sends half a request, therefore
// costs a descriptor and a few bytes until its deadline, never a thread. A
// module call holds up only the connections its own thread is still
// receiving; a thread busy in the module takes no new connections. Serving
// in the thread that read the request keeps a request on one CPU with no
// hand-over between threads, which a receiving thread feeding a worker
// queue costs on every request.
//
// A connection whose answer went out whole and that may carry another
// request waits in an epoll instance the threads share (EPOLLONESHOT), not
// in its thread's: whichever thread is free takes up its next request, so
// kept connections never wait behind a thread busy in the module. A kept
// connection left idle past the idle timeout is closed.
#pragma once

#include <stddef.h>

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace isapi {

// One connection's protocol: reads its requests from the bytes that
// arrive, one at a time, and answers each. Used by one thread at a time.
class Conversation {
 public:
  enum class Event {
    kNeedMore,  // every byte given was taken; nothing to act on yet
    kRequest,   // a request has arrived whole: call Answer
    kError,     // the connection must close, once replies() has gone out
  };

  virtual ~Conversation() = default;

  // Takes bytes from `data` until an event other than kNeedMore or until
  // all `size` bytes are taken; stores the count taken in *used. `size` may
  // be 0 to act on bytes the conversation kept from earlier calls.
  virtual Event Feed(const char* data, size_t size, size_t* used) = 0;

  // Bytes to send now, before acting on Feed's event (protocol replies,
  // the answer to a request refused while it arrives). The caller sends
  // them and clears the string.
  virtual std::string* replies() = 0;

  // Whether a request has begun to arrive.
  virtual bool started() const = 0;

  // Whether the conversation holds bytes it took but has not acted on,
  // which the next Feed (of 0 bytes) acts on.
  virtual bool has_pending_input() const { return false; }

  // Answers the request Feed reported, writing to `fd` (connected and
  // non-blocking) with SendAll's `write_timeout`; `read_ahead`
  // holds the bytes that arrived after the request. Returns whether the
  // connection may carry another request; then it is ready for it.
  virtual bool Answer(int fd, std::string_view read_ahead,
                      std::chrono::milliseconds write_timeout) = 0;
};

// Makes the conversation of each new connection.
class Protocol {
 public:
  virtual ~Protocol() = default;
  // For the accepted connection `fd`; nullptr refuses it (closed unanswered).
  // Called by every loop thread.
  virtual std::unique_ptr<Conversation> Open(int fd) = 0;
};

struct LoopSettings {
  int threads = 1;
  unsigned max_connections = 1024;  // open at once; more wait in the listen queue
  // How long a connection may take to deliver a whole request (counted from
  // its accept, or from the first byte after waiting idle), and how long
  // the peer may leave an answer untaken (see SendAll).
  std::chrono::milliseconds request_timeout{30000};
  // How long a kept connection may wait for its next request.
  std::chrono::milliseconds idle_timeout{75000};
};

// Sends all of `bytes` to the non-blocking socket `fd`, waiting for room
// as long as the peer takes some bytes at least every `timeout` (as
// nginx's send_timeout does), so that a slow reader still gets a long
// answer. False when the peer is gone or took nothing for `timeout`.
bool SendAll(int fd, std::string_view bytes, std::chrono::milliseconds timeout);

class ConnectionLoops {
 public:
  // `protocol` and `listen_fd` (a non-blocking listening socket) must stay
  // valid until Stop() has returned.
  ConnectionLoops(Protocol* protocol, int listen_fd, const LoopSettings& settings);
  // Stops as StopAccepting with no drain time and Wait do, unless they ran.
  ~ConnectionLoops();

  ConnectionLoops(const ConnectionLoops&) = delete;
  ConnectionLoops& operator=(const ConnectionLoops&) = delete;

  // Starts the threads. Returns false with the reason in *error when a
  // thread or an epoll instance cannot be made; what was started keeps
  // running until Stop(). Call once.
  bool Start(std::string* error);

  // Stops accepting and closes the connections that have not begun a
  // request, kept ones included, then closes the listening socket (this
  // process's copy of it). Requests already begun may still arrive within
  // `drain` (and their own deadline) and are answered; a connection still
  // receiving after that is closed. Connections still in the listen queue
  // are left to the kernel. Returns without waiting for a thread inside
  // the module. Call once.
  void StopAccepting(std::chrono::milliseconds drain);

  // After StopAccepting: returns when every answer under way has been
  // sent and the threads have ended.
  void Wait();

 private:
  struct Connection;
  class EventLoop;

  void CloseConnection(Connection* connection);
  // Until the first idle connection is due; one idle timeout when none is.
  int MillisecondsUntilIdleDeadline();
  void CloseOverdueIdle(std::chrono::steady_clock::time_point now);

  Protocol* protocol_;
  int listen_fd_;
  LoopSettings settings_;
  int stop_fd_ = -1;        // eventfd, readable once Stop() was called
  int idle_epoll_fd_ = -1;  // kept connections waiting for their next request
  std::atomic<std::chrono::steady_clock::time_point> drain_deadline_{};
  std::mutex idle_mutex_;
  std::list<Connection*> idle_;  // in deadline order
  bool keeping_stopped_ = false;  // guarded by idle_mutex_: StopAccepting ran
  std::atomic<unsigned> open_connections_{0};
  std::vector<std::unique_ptr<EventLoop>> loops_;
  std::vector<std::thread> threads_;
  // Shared while a loop accepts or (un)watches the listening socket,
  // exclusive while StopAccepting closes it.
  std::shared_mutex listen_mutex_;
  bool listen_closed_ = false;  // guarded by listen_mutex_
  bool stopped_ = false;
};

}  // namespace isapi
