#include "server/core/connection_loop.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

namespace isapi {

namespace {

using Clock = std::chrono::steady_clock;

// After accept fails for want of descriptors or memory, or with the
// connection limit reached, a thread leaves the listening socket alone this
// long instead of spinning on it (a slot another thread frees is seen at
// the next try).
constexpr std::chrono::milliseconds kAcceptRetry{100};

// How long a connection closed after an answer or a refusal may keep
// sending before it is closed for good (see Linger).
constexpr std::chrono::milliseconds kLinger{5000};

int MillisecondsUntil(Clock::time_point when) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
  // One more millisecond, so that the wait never ends just before `when`.
  return left.count() < 0 ? 0 : static_cast<int>(std::min<long long>(left.count() + 1, 1 << 30));
}

}  // namespace

bool SendAll(int fd, std::string_view bytes, std::chrono::milliseconds timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  while (!bytes.empty()) {
    ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<size_t>(sent));
      deadline = Clock::now() + timeout;
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd room = {fd, POLLOUT, 0};
    if (poll(&room, 1, MillisecondsUntil(deadline)) <= 0 && Clock::now() >= deadline) {
      return false;
    }
  }
  return true;
}

// A connection, owned by one event loop while it receives or answers a
// request, and by the ConnectionLoops while it waits idle for the next.
struct ConnectionLoops::Connection {
  Connection(int fd, std::unique_ptr<Conversation> conversation)
      : fd(fd), conversation(std::move(conversation)) {}
  int fd;
  Clock::time_point deadline;  // for its request, or for waiting idle
  std::unique_ptr<Conversation> conversation;
  bool watched = false;     // registered with its loop's epoll
  bool idle_armed = false;  // ever registered with the idle epoll
  bool idle = false;        // in ConnectionLoops::idle_ (guarded by idle_mutex_)
  bool lingering = false;   // answered for the last time; what arrives is dropped
  std::list<Connection*>::iterator self;  // in its loop's receiving_, or in idle_
};

// One thread's connections: accepted or taken up from the idle ones, read
// under their deadlines, and answered when complete. Used by its own
// thread only.
class ConnectionLoops::EventLoop {
 public:
  EventLoop(ConnectionLoops* owner, bool sweeps_idle) : owner_(owner), sweeps_idle_(sweeps_idle) {}
  ~EventLoop() {
    if (epoll_fd_ >= 0) close(epoll_fd_);
  }

  // Makes the epoll instance, watching the stop descriptor and the idle
  // connections. False on failure.
  bool Open() {
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    epoll_event stop = {};
    stop.events = EPOLLIN;
    stop.data.ptr = &owner_->stop_fd_;
    epoll_event idle = {};
    idle.events = EPOLLIN;
    idle.data.ptr = &owner_->idle_epoll_fd_;
    return epoll_fd_ >= 0 && epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, owner_->stop_fd_, &stop) == 0 &&
           epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, owner_->idle_epoll_fd_, &idle) == 0;
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
        } else if (source == &owner_->idle_epoll_fd_) {
          if (!stopping_) TakeUpIdle();
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
      while (!receiving_.empty() && receiving_.front()->deadline <= now) {
        Close(receiving_.front());
      }
      if (sweeps_idle_) owner_->CloseOverdueIdle(now);
      if (!watching_listen_ && !stopping_ && now >= retry_accept_at_) WatchListenSocket(true);
    }
  }

  // Takes the listening socket out of this loop's epoll; called by
  // StopAccepting, from another thread, with the socket's lock held.
  void ForgetListenSocket() { epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, owner_->listen_fd_, nullptr); }

 private:
  int TimeoutMs() const {
    int timeout = -1;
    if (!receiving_.empty()) timeout = MillisecondsUntil(receiving_.front()->deadline);
    if (!watching_listen_ && !stopping_) {
      int retry = MillisecondsUntil(retry_accept_at_);
      timeout = timeout < 0 ? retry : std::min(timeout, retry);
    }
    if (sweeps_idle_ && !stopping_) {
      int idle = owner_->MillisecondsUntilIdleDeadline();
      if (idle >= 0) timeout = timeout < 0 ? idle : std::min(timeout, idle);
    }
    return timeout;
  }

  void WatchListenSocket(bool watch) {
    if (watch == watching_listen_) return;
    std::shared_lock<std::shared_mutex> lock(owner_->listen_mutex_);
    if (owner_->listen_closed_) {
      watching_listen_ = false;
      return;
    }
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
    int fd = -1;
    bool pause = false;
    {
      std::shared_lock<std::shared_mutex> lock(owner_->listen_mutex_);
      if (owner_->listen_closed_) return;
      // Counted before the accept, so that threads accepting at once
      // cannot pass the limit together.
      if (++owner_->open_connections_ > owner_->settings_.max_connections) {
        pause = true;
      } else {
        fd = accept4(owner_->listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        // Out of descriptors or memory: try again a little later.
        pause = fd < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                errno != ECONNABORTED;
      }
      if (fd < 0) --owner_->open_connections_;
    }
    if (pause) PauseAccepting();
    if (fd < 0) return;
    std::unique_ptr<Conversation> conversation = owner_->protocol_->Open(fd);
    if (!conversation) {
      close(fd);
      --owner_->open_connections_;
      return;
    }
    // A web server sends its whole request right after connecting, so it
    // has often arrived already: then the connection never enters epoll.
    Receive(new Connection(fd, std::move(conversation)));
  }

  // Takes up a kept connection whose next request has begun to arrive
  // (or that the web server closed). Any loop may: a kept connection
  // belongs to no thread while it waits.
  void TakeUpIdle() {
    epoll_event event;
    if (epoll_wait(owner_->idle_epoll_fd_, &event, 1, 0) != 1) return;  // another loop took it
    auto* connection = static_cast<Connection*>(event.data.ptr);
    {
      std::lock_guard<std::mutex> lock(owner_->idle_mutex_);
      if (connection->idle) owner_->idle_.erase(connection->self);
      connection->idle = false;
    }
    Receive(connection);
  }

  // Makes `connection` one this loop receives on, under a new deadline,
  // and reads what has arrived.
  void Receive(Connection* connection) {
    connection->deadline = Clock::now() + owner_->settings_.request_timeout;
    receiving_.push_back(connection);
    connection->self = std::prev(receiving_.end());
    if (!OnReadable(connection)) return;
    epoll_event event = {};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.ptr = connection;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, connection->fd, &event) != 0) {
      Close(connection);
    } else {
      connection->watched = true;
    }
  }

  // Reads what has arrived and acts on it. False when the connection has
  // left receiving_ (closed, or kept idle).
  bool OnReadable(Connection* connection) {
    ssize_t count = recv(connection->fd, buffer_.data(), buffer_.size(), 0);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    if (count <= 0) {
      Close(connection);
      return false;
    }
    if (connection->lingering) return true;
    const char* data = buffer_.data();
    size_t left = static_cast<size_t>(count);
    for (;;) {
      size_t used = 0;
      Conversation* conversation = connection->conversation.get();
      Conversation::Event event = conversation->Feed(data, left, &used);
      data += used;
      left -= used;
      std::string* replies = conversation->replies();
      if (!replies->empty()) {
        // Replies are small; a peer that lets them pile up unread loses
        // its connection rather than costing memory.
        ssize_t sent = send(connection->fd, replies->data(), replies->size(),
                            MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent != static_cast<ssize_t>(replies->size())) event = Conversation::Event::kError;
        replies->clear();
      }
      if (event == Conversation::Event::kNeedMore) {
        if (!stopping_ || conversation->started()) return true;
        Close(connection);
        return false;
      }
      if (event != Conversation::Event::kRequest) {
        // A refused request's body may still be on its way.
        Linger(connection);
        return true;
      }
      if (!conversation->Answer(connection->fd, std::string_view(data, left),
                                owner_->settings_.request_timeout) ||
          stopping_) {
        char next;
        if (left > 0 || conversation->has_pending_input() ||
            recv(connection->fd, &next, 1, MSG_PEEK | MSG_DONTWAIT) > 0) {
          Linger(connection);
          return true;
        }
        Close(connection);
        return false;
      }
      if (left == 0 && !conversation->has_pending_input()) {
        KeepIdle(connection);
        return false;
      }
      // The next request has begun in the same read: a new deadline for it.
      connection->deadline = Clock::now() + owner_->settings_.request_timeout;
      receiving_.splice(receiving_.end(), receiving_, connection->self);
    }
  }

  // Closes the connection once the peer has seen its last answer: closing
  // with bytes of the peer's still unread (a refused body, requests sent
  // after "Connection: close") makes the kernel send a reset, which can
  // destroy that answer before the peer reads it. So only the sending side
  // is shut, and what still arrives is dropped until the peer closes or
  // kLinger has passed, as nginx's lingering close does.
  void Linger(Connection* connection) {
    shutdown(connection->fd, SHUT_WR);
    connection->lingering = true;
    connection->deadline = std::min(connection->deadline, Clock::now() + kLinger);
    // Back into deadline order.
    receiving_.erase(connection->self);
    auto at = receiving_.end();
    while (at != receiving_.begin() && (*std::prev(at))->deadline > connection->deadline) --at;
    connection->self = receiving_.insert(at, connection);
  }

  // Hands a connection whose answer went out whole to the idle ones, where
  // it costs no thread until its next request arrives.
  void KeepIdle(Connection* connection) {
    if (connection->watched) epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, connection->fd, nullptr);
    connection->watched = false;
    receiving_.erase(connection->self);
    bool armed;
    {
      std::lock_guard<std::mutex> lock(owner_->idle_mutex_);
      // Answered while StopAccepting ran, before this loop saw the stop.
      if (owner_->keeping_stopped_) {
        owner_->CloseConnection(connection);
        return;
      }
      connection->deadline = Clock::now() + owner_->settings_.idle_timeout;
      owner_->idle_.push_back(connection);
      connection->self = std::prev(owner_->idle_.end());
      connection->idle = true;
      armed = connection->idle_armed;
      connection->idle_armed = true;
    }
    // From here on another loop may take it up: this one touches it no more.
    epoll_event event = {};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    event.data.ptr = connection;
    if (epoll_ctl(owner_->idle_epoll_fd_, armed ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, connection->fd,
                  &event) != 0) {
      // Never seen by another loop, so this one still owns it.
      {
        std::lock_guard<std::mutex> lock(owner_->idle_mutex_);
        if (connection->idle) owner_->idle_.erase(connection->self);
        connection->idle = false;
      }
      owner_->CloseConnection(connection);
    }
  }

  void Close(Connection* connection) {
    receiving_.erase(connection->self);
    owner_->CloseConnection(connection);
  }

  void StopReceiving() {
    stopping_ = true;
    WatchListenSocket(false);
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, owner_->idle_epoll_fd_, nullptr);
    for (auto at = receiving_.begin(); at != receiving_.end();) {
      Connection* connection = *at++;
      if (!connection->conversation->started()) {
        Close(connection);
      } else {
        connection->deadline = std::min(connection->deadline, owner_->drain_deadline_.load());
      }
    }
  }

  ConnectionLoops* owner_;
  bool sweeps_idle_;  // this loop closes the idle connections past their deadline
  int epoll_fd_ = -1;
  std::list<Connection*> receiving_;  // in deadline order
  std::vector<char> buffer_ = std::vector<char>(64 * 1024);
  bool watching_listen_ = false;
  bool stopping_ = false;
  Clock::time_point retry_accept_at_{};
};

ConnectionLoops::ConnectionLoops(Protocol* protocol, int listen_fd, const LoopSettings& settings)
    : protocol_(protocol), listen_fd_(listen_fd), settings_(settings) {}

ConnectionLoops::~ConnectionLoops() {
  StopAccepting(std::chrono::milliseconds(0));
  Wait();
  if (stop_fd_ >= 0) close(stop_fd_);
  if (idle_epoll_fd_ >= 0) close(idle_epoll_fd_);
}

// close() also takes the descriptor out of every epoll instance.
void ConnectionLoops::CloseConnection(Connection* connection) {
  close(connection->fd);
  delete connection;
  --open_connections_;
}

int ConnectionLoops::MillisecondsUntilIdleDeadline() {
  std::lock_guard<std::mutex> lock(idle_mutex_);
  if (!idle_.empty()) return MillisecondsUntil(idle_.front()->deadline);
  // Another loop may make a connection idle while the sweeping one waits,
  // without waking it. Every idle connection gets the same timeout, so one
  // that arrives later is due later than this wake-up.
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(settings_.idle_timeout).count());
}

void ConnectionLoops::CloseOverdueIdle(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(idle_mutex_);
  while (!idle_.empty() && idle_.front()->deadline <= now) {
    Connection* connection = idle_.front();
    idle_.pop_front();
    connection->idle = false;
    // Its end of file wakes the loop that takes it up, which closes it:
    // a loop may be taking it up right now, so only that loop may free it.
    shutdown(connection->fd, SHUT_RDWR);
  }
}

bool ConnectionLoops::Start(std::string* error) {
  stop_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  idle_epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  if (stop_fd_ < 0 || idle_epoll_fd_ < 0) {
    *error = std::string("cannot make an eventfd or epoll instance: ") + strerror(errno);
    return false;
  }
  for (int i = 0; i < settings_.threads; ++i) {
    loops_.push_back(std::make_unique<EventLoop>(this, i == 0));
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

void ConnectionLoops::StopAccepting(std::chrono::milliseconds drain) {
  if (stopped_) return;
  stopped_ = true;
  drain_deadline_ = Clock::now() + drain;
  // Never read, so it stays readable and every loop sees it.
  uint64_t one = 1;
  ssize_t written = write(stop_fd_, &one, sizeof one);
  (void)written;
  // A loop inside the module sees the stop only later, so the listening
  // socket leaves every loop's epoll here, and is closed once no loop is
  // accepting on it.
  {
    std::unique_lock<std::shared_mutex> lock(listen_mutex_);
    for (auto& loop : loops_) loop->ForgetListenSocket();
    listen_closed_ = true;
    close(listen_fd_);
  }
  // No loop takes up a kept connection any more; its client learns now
  // that it must connect again, and Wait closes it.
  std::lock_guard<std::mutex> lock(idle_mutex_);
  keeping_stopped_ = true;
  for (Connection* connection : idle_) shutdown(connection->fd, SHUT_RDWR);
}

void ConnectionLoops::Wait() {
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
  // The loops are gone: the kept connections no loop took up are left.
  for (Connection* connection : idle_) CloseConnection(connection);
  idle_.clear();
}

}  // namespace isapi
