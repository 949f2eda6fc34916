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
// The loops never wait on a peer. A module's answer leaves the module's
// thread as fast as it writes it: what the socket does not take at once is
// held for its connection (memory, then an unlinked temporary file, as
// nginx buffers an upstream's answer) and sent as epoll reports room, so a
// slow reader costs buffer space, not a thread. A connection reads no
// further request until its answer is out. Past LoopSettings::answer_buffer
// the module's writes wait for the peer; a peer that takes nothing for the
// send timeout, or falls below the minimum rate, is dropped.
//
// A connection whose answer went out whole and that may carry another
// request waits in an epoll instance the threads share (registered once,
// edge-triggered), not in its thread's: whichever thread is free takes up
// its next request, so kept connections never wait behind a thread busy
// in the module. A kept connection left idle past the idle timeout is
// closed.
#pragma once

#include <stddef.h>
#include <stdint.h>

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

// The loop's side of one connection, through which a conversation answers
// a request: the loop owns the connection's bytes both ways, and sends
// what is queued as the peer takes it, without a thread waiting on the
// peer. Used by one thread at a time: the one in Conversation::Answer, or
// a thread of the module while that call waits for it.
class Channel {
 public:
  virtual ~Channel() = default;

  // Queues `bytes` for the peer: what the peer does not take at once is
  // held, in memory and then in an unlinked temporary file, and sent as the
  // peer takes it, also after Answer has returned. Returns at once unless
  // the connection then holds more than LoopSettings::answer_buffer; then
  // waits until the peer has taken enough. False, now and for every later
  // call, once the peer is lost: gone, taking nothing for the send
  // timeout, or slower than LoopSettings::min_send_rate.
  virtual bool Send(std::string_view bytes) = 0;

  // Copies up to `size` bytes that arrived after the request to `buffer`
  // without taking them; returns the count.
  virtual size_t PeekInput(void* buffer, size_t size) = 0;
};

// One connection's protocol: reads its requests from the bytes that
// arrive, one at a time, and answers each. Used by one thread at a time.
//
// The loop owns the connection's unconsumed input: it hands the
// conversation every byte not consumed yet, oldest first, and holds what
// the conversation leaves (a request head that has not ended) to hand
// again with what arrives next, up to a bound the conversation sets.
class Conversation {
 public:
  enum class Event {
    kNeedMore,  // nothing to act on before more bytes arrive
    kRequest,   // a request has arrived whole: call Answer
    kError,     // the connection must close, once replies() has gone out
  };

  virtual ~Conversation() = default;

  // Consumes bytes from the front of `input` until an event other than
  // kNeedMore, or until what is left is not enough to go on with, and
  // stores the count consumed in *consumed. The bytes left are handed
  // again at the start of the next call's `input`, which is never empty.
  virtual Event Feed(std::string_view input, size_t* consumed) = 0;

  // The most bytes Feed may leave unconsumed while it waits for more. The
  // loop holds no more: past it, it calls RefuseInput instead of waiting.
  // 0: Feed consumes all it is given until an event.
  virtual size_t max_unconsumed() const { return 0; }

  // Ends a connection whose peer sent more than max_unconsumed() bytes
  // that Feed could not go on with; replies() may say why.
  virtual void RefuseInput() {}

  // Bytes to send now, before acting on Feed's event (protocol replies,
  // the answer to a request refused while it arrives). The caller sends
  // them and clears the string.
  virtual std::string* replies() = 0;

  // Whether a request has begun to arrive.
  virtual bool started() const = 0;

  // Answers the request Feed reported through `channel`. Returns whether
  // the connection may carry another request once the answer has gone
  // out; then the conversation is ready for it.
  virtual bool Answer(Channel* channel) = 0;
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
  // the peer may take nothing of an answer (the send timeout, as nginx's
  // send_timeout).
  std::chrono::milliseconds request_timeout{30000};
  // How long a kept connection may wait for its next request.
  std::chrono::milliseconds idle_timeout{75000};
  // Bytes of answer one connection may hold for its peer before the
  // module's writes wait for the peer (nginx's proxy_max_temp_file_size).
  uint64_t answer_buffer = uint64_t{1} << 30;
  // Bytes per second a peer must take, on average, of what is held for it,
  // once it has been held one send timeout; a slower peer is lost (as
  // HTTP.sys's minBytesPerSecond). 0: no minimum.
  uint64_t min_send_rate = 240;
};

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
  class Output;
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
