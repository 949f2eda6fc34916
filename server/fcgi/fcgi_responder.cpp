#include "server/fcgi/fcgi_responder.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <list>
#include <system_error>

#include "server/core/calls_in_flight.h"
#include "server/fcgi/fcgi_answer.h"
#include "server/fcgi/fcgi_request.h"

namespace isapi_fcgi {

namespace {

using Clock = std::chrono::steady_clock;

// After accept fails for want of descriptors or memory, or with the
// connection limit reached, a thread leaves the listening socket alone this
// long instead of spinning on it (a slot another thread frees is seen at
// the next try).
constexpr std::chrono::milliseconds kAcceptRetry{100};

int MillisecondsUntil(Clock::time_point when) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
  // One more millisecond, so that the wait never ends just before `when`.
  return left.count() < 0 ? 0 : static_cast<int>(std::min<long long>(left.count() + 1, 1 << 30));
}

// Sends to a non-blocking socket, waiting for room until a deadline.
class SocketOutput : public RecordOutput {
 public:
  SocketOutput(int fd, std::chrono::milliseconds timeout)
      : fd_(fd), deadline_(Clock::now() + timeout) {}

  bool Send(std::string_view bytes) override {
    while (!bytes.empty()) {
      ssize_t sent = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent > 0) {
        bytes.remove_prefix(static_cast<size_t>(sent));
        continue;
      }
      if (sent < 0 && errno == EINTR) continue;
      if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      pollfd room = {fd_, POLLOUT, 0};
      if (poll(&room, 1, MillisecondsUntil(deadline_)) <= 0 && Clock::now() >= deadline_) {
        return false;
      }
    }
    return true;
  }

 private:
  int fd_;
  Clock::time_point deadline_;
};

}  // namespace

void AnswerRequest(isapi::Module* module, int fd, ResponderRequest request,
                   std::chrono::milliseconds write_timeout) {
  SocketOutput out(fd, write_timeout);
  isapi::Request http;
  RequestFromParams(request.params, &http);
  http.body = std::move(request.body);
  AnswerSink sink(request.id, isapi::ClientAllowsKeepAlive(http), &out);
  uint64_t withheld_body_bytes = 0;
  if (request.params_too_large) {
    sink.SendBareStatus(431);
  } else if (http.method.empty()) {
    sink.SendBareStatus(400);
  } else if (request.body_too_large) {
    sink.SendBareStatus(413);
  } else {
    isapi::CallInFlight call(http.method, http.target, http.protocol);
    withheld_body_bytes = module->Serve(http, &sink).withheld_body_bytes;
  }
  sink.End(withheld_body_bytes);
}

// One thread's connections: accepted, read under their deadlines, and
// answered when complete. Used by its own thread only.
class Responder::EventLoop {
 public:
  explicit EventLoop(Responder* owner) : owner_(owner) {}
  ~EventLoop() {
    if (epoll_fd_ >= 0) close(epoll_fd_);
  }

  // Makes the epoll instance, watching the stop descriptor. False on failure.
  bool Open() {
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    epoll_event stop = {};
    stop.events = EPOLLIN;
    stop.data.ptr = &owner_->stop_fd_;
    return epoll_fd_ >= 0 && epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, owner_->stop_fd_, &stop) == 0;
  }

  void Run() {
    std::vector<epoll_event> events(64);
    WatchListenSocket(true);
    while (!(stopping_ && receiving_.empty())) {
      int count = epoll_wait(epoll_fd_, events.data(), static_cast<int>(events.size()),
                             TimeoutMs());
      bool stop = false;
      for (int i = 0; i < count; ++i) {
        void* source = events[i].data.ptr;
        if (source == &owner_->listen_fd_) {
          AcceptOne();
        } else if (source == &owner_->stop_fd_) {
          stop = true;
        } else {
          OnReadable(static_cast<Connection*>(source));
        }
      }
      // After the events of this round: closing a connection earlier could
      // leave a later event pointing at it.
      if (stop && !stopping_) {
        StopReceiving();
        // It stays readable; watched any longer, it would spin this loop.
        epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, owner_->stop_fd_, nullptr);
      }
      Clock::time_point now = Clock::now();
      while (!receiving_.empty() && receiving_.front().deadline <= now) {
        Close(&receiving_.front());
      }
      if (!watching_listen_ && !stopping_ && now >= retry_accept_at_) WatchListenSocket(true);
    }
  }

 private:
  struct Connection {
    int fd;
    Clock::time_point deadline;
    RequestReader reader;
    bool watched;  // registered with epoll
    std::list<Connection>::iterator self;
  };

  int TimeoutMs() const {
    int timeout = -1;
    if (!receiving_.empty()) timeout = MillisecondsUntil(receiving_.front().deadline);
    if (!watching_listen_ && !stopping_) {
      int retry = MillisecondsUntil(retry_accept_at_);
      timeout = timeout < 0 ? retry : std::min(timeout, retry);
    }
    return timeout;
  }

  void WatchListenSocket(bool watch) {
    if (watch == watching_listen_) return;
    epoll_event event = {};
    event.events = EPOLLIN | EPOLLEXCLUSIVE;
    event.data.ptr = &owner_->listen_fd_;
    if (epoll_ctl(epoll_fd_, watch ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, owner_->listen_fd_,
                  &event) == 0) {
      watching_listen_ = watch;
    }
  }

  // Leaves the listening socket to the other threads for a while.
  void PauseAccepting() {
    WatchListenSocket(false);
    retry_accept_at_ = Clock::now() + kAcceptRetry;
  }

  // One connection per wake-up, so that a burst spreads over the threads.
  void AcceptOne() {
    if (owner_->open_connections_ >= owner_->settings_.limits.max_connections) {
      PauseAccepting();
      return;
    }
    int fd = accept4(owner_->listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors or memory: try again a little later.
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
        PauseAccepting();
      }
      return;
    }
    ++owner_->open_connections_;
    receiving_.push_back(Connection{fd, Clock::now() + owner_->settings_.request_timeout,
                                    RequestReader(owner_->settings_.limits), false, {}});
    Connection* connection = &receiving_.back();
    connection->self = std::prev(receiving_.end());
    // A web server sends its whole request right after connecting, so it
    // has often arrived already: then the connection never enters epoll.
    if (!OnReadable(connection)) return;
    epoll_event event = {};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.ptr = connection;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) != 0) {
      Close(connection);
    } else {
      connection->watched = true;
    }
  }

  // Reads what has arrived and acts on it. False when the connection has
  // left receiving_ (closed, or answered).
  bool OnReadable(Connection* connection) {
    ssize_t count = recv(connection->fd, buffer_.data(), buffer_.size(), 0);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    if (count <= 0) {
      Close(connection);
      return false;
    }
    size_t used = 0;
    RequestReader::Event event =
        connection->reader.Feed(buffer_.data(), static_cast<size_t>(count), &used);
    std::string* replies = connection->reader.replies();
    if (!replies->empty()) {
      // Answers to management records are small; a peer that lets them
      // pile up unread loses its connection rather than costing memory.
      ssize_t sent = send(connection->fd, replies->data(), replies->size(),
                          MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent != static_cast<ssize_t>(replies->size())) event = RequestReader::Event::kError;
      replies->clear();
    }
    if (event == RequestReader::Event::kRequest) {
      AnswerRequest(owner_->module_, connection->fd, std::move(connection->reader.request()),
                    owner_->settings_.request_timeout);
      Close(connection);
      return false;
    }
    if (event != RequestReader::Event::kNeedMore ||
        (stopping_ && !connection->reader.started())) {
      Close(connection);
      return false;
    }
    return true;
  }

  // close() also takes the descriptor out of epoll.
  void Close(Connection* connection) {
    close(connection->fd);
    receiving_.erase(connection->self);
    --owner_->open_connections_;
  }

  void StopReceiving() {
    stopping_ = true;
    WatchListenSocket(false);
    for (auto at = receiving_.begin(); at != receiving_.end();) {
      Connection* connection = &*at++;
      if (!connection->reader.started()) Close(connection);
    }
  }

  Responder* owner_;
  int epoll_fd_ = -1;
  std::list<Connection> receiving_;  // in accept order, so deadline order
  std::vector<char> buffer_ = std::vector<char>(64 * 1024);
  bool watching_listen_ = false;
  bool stopping_ = false;
  Clock::time_point retry_accept_at_{};
};

Responder::Responder(isapi::Module* module, int listen_fd, const ResponderSettings& settings)
    : module_(module), listen_fd_(listen_fd), settings_(settings) {}

Responder::~Responder() {
  Stop();
  if (stop_fd_ >= 0) close(stop_fd_);
}

bool Responder::Start(std::string* error) {
  stop_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (stop_fd_ < 0) {
    *error = std::string("cannot make an eventfd: ") + strerror(errno);
    return false;
  }
  for (int i = 0; i < settings_.threads; ++i) {
    loops_.push_back(std::make_unique<EventLoop>(this));
    if (!loops_.back()->Open()) {
      *error = std::string("cannot set up epoll: ") + strerror(errno);
      return false;
    }
  }
  try {
    for (auto& loop : loops_) threads_.emplace_back(&EventLoop::Run, loop.get());
  } catch (const std::system_error& e) {
    *error = std::string("cannot start a thread: ") + e.what();
    return false;
  }
  return true;
}

void Responder::Stop() {
  if (stopped_) return;
  stopped_ = true;
  // Never read, so it stays readable and every loop sees it.
  uint64_t one = 1;
  ssize_t written = write(stop_fd_, &one, sizeof one);
  (void)written;
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

}  // namespace isapi_fcgi
