#include "server/standalone/connection_loop.h"

#include <errno.h>
#include <linux/sockios.h>
#include <poll.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <system_error>

#include "server/core/body_spool.h"

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

// One connection's answers on their way to the peer: sent at once as far
// as the socket takes them, the rest held (memory, then a temporary file)
// and sent as the peer takes it. Used by one thread at a time (see Channel).
class ConnectionLoops::Output final : public Channel {
 public:
  Output(int fd, const LoopSettings& settings) : fd_(fd), settings_(settings) {}

  bool Send(std::string_view bytes) override {
    if (lost_) return false;
    // While bytes are held the peer is behind: its socket is tried again
    // once a window's worth more is held, not on every small write.
    if (held_ > 0 && held_since_flush_ >= kBodyWindow) {
      held_since_flush_ = 0;
      if (!Flush()) return false;
    }
    if (held_ == 0) {
      ssize_t sent;
      do {
        sent = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      } while (sent < 0 && errno == EINTR);
      if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Lose();
      if (sent > 0) {
        bytes.remove_prefix(static_cast<size_t>(sent));
        pushed_ += sent;
      }
      if (bytes.empty()) return true;
      held_since_ = last_taken_ = Clock::now();
      acked_ = pushed_ - Queued();
    }
    if (!Hold(bytes)) return Lose();
    held_ += bytes.size();
    held_since_flush_ += bytes.size();
    // The peer is judged on every write, so that a module streaming to a
    // peer that fell behind learns it, whatever the buffer holds.
    for (;;) {
      if (Overdue(Clock::now())) return Lose();
      if (held_ <= settings_.answer_buffer) return true;
      pollfd room = {fd_, POLLOUT, 0};
      if (poll(&room, 1, MillisecondsUntil(Due())) > 0 && !Flush()) return false;
    }
  }

  size_t PeekInput(void* buffer, size_t size) override {
    size_t have = std::min(read_ahead_.size(), size);
    memcpy(buffer, read_ahead_.data(), have);
    if (have < size) {
      ssize_t count = recv(fd_, static_cast<char*>(buffer) + have, size - have,
                           MSG_PEEK | MSG_DONTWAIT);
      if (count > 0) have += static_cast<size_t>(count);
    }
    return have;
  }

  // The bytes after the request, for PeekInput, while Answer runs.
  void set_read_ahead(std::string_view bytes) { read_ahead_ = bytes; }

  // Sends held bytes while the socket takes them. False once the peer is
  // lost.
  bool Flush() {
    int64_t pushed_before = pushed_;
    while (held_ > 0) {
      ssize_t sent;
      if (memory_sent_ < memory_.size()) {
        sent = send(fd_, memory_.data() + memory_sent_, memory_.size() - memory_sent_,
                    MSG_NOSIGNAL);
      } else if (file_.unread() > 0) {
        sent = file_.SendTo(fd_);
      } else {
        // Only the tail is left: it becomes the memory part.
        file_.Clear();
        memory_.swap(tail_);
        continue;
      }
      if (sent < 0 && errno == EINTR) continue;
      if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (sent <= 0) return Lose();
      held_ -= static_cast<uint64_t>(sent);
      pushed_ += sent;
      if (held_ == 0) held_time_ += Clock::now() - held_since_;
      if (memory_sent_ < memory_.size()) memory_sent_ += static_cast<size_t>(sent);
      if (memory_sent_ == memory_.size()) {
        // An idle connection keeps no buffer.
        std::string().swap(memory_);
        memory_sent_ = 0;
      }
      // Its space goes back as soon as its bytes are out.
      if (memory_.empty() && file_.unread() == 0 && tail_.empty()) file_.Clear();
    }
    if (pushed_ != pushed_before && held_ > 0) Look(Clock::now());
    return true;
  }

  // Whether the peer is to be lost now (see Due). The socket may hold
  // bytes the peer has taken without reporting room yet (a socket reports
  // room only once much of its buffer is free), so they are counted
  // before the peer is judged.
  bool Overdue(Clock::time_point now) {
    if (now < Due()) return false;
    Look(now);
    return now >= Due();
  }

  // When the peer, at its pace so far, will be lost unless it takes more:
  // after taking nothing for the send timeout, or once it falls below the
  // minimum rate. The rate counts only the time bytes wait for the peer
  // (as HTTP.sys and Kestrel count it), less one send timeout of grace, so
  // that a module slow to write costs its peer nothing. The far future
  // while nothing is held.
  Clock::time_point Due() const {
    if (held_ == 0) return Clock::time_point::max();
    Clock::time_point due = last_taken_ + settings_.request_timeout;
    if (settings_.min_send_rate > 0) {
      using Seconds = std::chrono::duration<double>;
      // Held time left before the rate falls short; within what a
      // time_point can hold.
      double left = Seconds(settings_.request_timeout - held_time_).count() +
                    static_cast<double>(taken_) / static_cast<double>(settings_.min_send_rate);
      due = std::min(due, held_since_ + std::chrono::duration_cast<Clock::duration>(
                                            Seconds(std::min(left, 1e9))));
    }
    return due;
  }

  uint64_t held() const { return held_; }
  bool lost() const { return lost_; }

 private:
  // Keeps `bytes` after those held. Once the file is in use, small writes
  // gather in tail_ and reach the file a window at a time.
  bool Hold(std::string_view bytes) {
    if (file_.unread() == 0) return file_.Append(bytes.data(), bytes.size(), &memory_);
    tail_.append(bytes);
    if (tail_.size() < kBodyWindow) return true;
    // With the file in use, Append takes nothing more into memory.
    bool written = file_.Append(tail_.data(), tail_.size(), &memory_);
    tail_.clear();
    return written;
  }

  // Bytes the socket holds that the peer has not taken.
  int64_t Queued() const {
    int queued = 0;
    ioctl(fd_, SIOCOUTQ, &queued);
    return queued;
  }

  // Counts what the peer took of held bytes since the last look.
  void Look(Clock::time_point now) {
    int64_t acked = pushed_ - Queued();
    if (acked <= acked_) return;
    taken_ += static_cast<uint64_t>(acked - acked_);
    acked_ = acked;
    last_taken_ = now;
  }

  // Gives up on the peer: the held bytes go, and the peer learns that
  // nothing more will come.
  bool Lose() {
    lost_ = true;
    held_ = 0;
    std::string().swap(memory_);
    memory_sent_ = 0;
    file_.Clear();
    std::string().swap(tail_);
    shutdown(fd_, SHUT_RDWR);
    return false;
  }

  int fd_;
  const LoopSettings& settings_;
  std::string_view read_ahead_;
  bool lost_ = false;
  std::string memory_;  // the first held bytes
  size_t memory_sent_ = 0;
  BodySpool file_;      // the held bytes after memory_
  std::string tail_;    // the held bytes after file_, gathered for it
  uint64_t held_ = 0;   // in memory_ and file_, not yet sent
  uint64_t held_since_flush_ = 0;
  // Bytes handed to the socket, and of those the ones the peer had taken
  // at the last look.
  int64_t pushed_ = 0;
  int64_t acked_ = 0;
  // For the minimum rate: bytes the peer took while bytes were held, the
  // time they waited for it before, and since when bytes are held now.
  uint64_t taken_ = 0;
  Clock::duration held_time_{};
  Clock::time_point held_since_;
  Clock::time_point last_taken_;
};

// A connection, owned by one event loop while it receives or answers a
// request, and by the ConnectionLoops while it waits idle for the next.
struct ConnectionLoops::Connection {
  Connection(int fd, std::unique_ptr<Conversation> conversation, const LoopSettings& settings)
      : fd(fd), conversation(std::move(conversation)), output(fd, settings) {}
  int fd;
  // For its request, for waiting idle, or, while it sends, Output::Due.
  Clock::time_point deadline;
  std::unique_ptr<Conversation> conversation;
  Output output;
  // The bytes that arrived and the conversation has not consumed yet.
  std::string input;
  // Its loop waits for room to send held bytes of an answer (what arrived
  // after the request waits in `input`), and whether the connection may
  // carry another request once the answer is out.
  bool sending = false;
  bool keep = false;
  uint32_t watched_events = 0;  // registered with its loop's epoll for these
  // Registered with the idle epoll (once, edge-triggered), and whether
  // that registration reports events now: a connection its loop watches
  // itself has it switched off, so that its bytes wake no other loop.
  bool idle_registered = false;
  bool idle_listening = false;
  // Guarded by idle_mutex_: in ConnectionLoops::idle_; left idle past its
  // deadline, taken out of idle_ and shut down, for the loop that takes up
  // its last event to close; and whether another loop took an event of it
  // from the idle epoll while a loop owned it.
  bool idle = false;
  bool expired = false;
  bool missed_event = false;
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
          auto* connection = static_cast<Connection*>(source);
          if (connection->sending) {
            OnWritable(connection);
          } else {
            OnReadable(connection);
          }
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
        Connection* connection = receiving_.front();
        bool drained = stopping_ && now >= owner_->drain_deadline_.load();
        if (connection->sending && !drained && !connection->output.Overdue(now)) {
          Reschedule(connection, SendDeadline(connection));
        } else {
          Close(connection);
        }
      }
      if (sweeps_idle_) owner_->CloseOverdueIdle(now);
      if (!watching_listen_ && !stopping_ && now >= retry_accept_at_) WatchListenSocket(true);
    }
  }

  // Odd while the loop may hold an event of the idle epoll (see TakeUpIdle).
  uint64_t taking() const { return taking_.load(); }

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
    Receive(new Connection(fd, std::move(conversation), owner_->settings_));
  }

  // Takes up a kept connection whose next request has begun to arrive
  // (or that the web server closed). Any loop may: a kept connection
  // belongs to no thread while it waits.
  //
  // The idle epoll also reports connections a loop owns (their requests
  // arrive while they stay registered, see KeepIdle): such an event is
  // only noted for the owner. While this loop may hold such an event,
  // taking_ is odd, and a registered connection is freed only once every
  // loop has let go of the events it took before the connection closed
  // (see CloseConnection).
  void TakeUpIdle() {
    ++taking_;
    Connection* connection = nullptr;
    epoll_event event;
    if (epoll_wait(owner_->idle_epoll_fd_, &event, 1, 0) == 1) {
      auto* taken = static_cast<Connection*>(event.data.ptr);
      std::lock_guard<std::mutex> lock(owner_->idle_mutex_);
      if (taken->idle) {
        owner_->idle_.erase(taken->self);
        taken->idle = false;
        connection = taken;
      } else if (taken->expired) {
        taken->expired = false;
        connection = taken;
      } else {
        taken->missed_event = true;
      }
    }
    ++taking_;
    if (connection != nullptr) Receive(connection);
  }


  // Makes `connection` one this loop receives on, under a new deadline,
  // and reads what has arrived.
  void Receive(Connection* connection) {
    connection->deadline = Clock::now() + owner_->settings_.request_timeout;
    receiving_.push_back(connection);
    connection->self = std::prev(receiving_.end());
    if (OnReadable(connection) && connection->watched_events == 0) {
      Watch(connection, EPOLLIN | EPOLLRDHUP);
    }
  }

  // Has this loop's epoll watch `connection` for `events`. False when it
  // cannot; the connection is then closed.
  bool Watch(Connection* connection, uint32_t events) {
    if (connection->watched_events == events) return true;
    epoll_event event = {};
    event.events = events;
    event.data.ptr = connection;
    int operation = connection->watched_events == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    if (epoll_ctl(epoll_fd_, operation, connection->fd, &event) != 0) {
      Close(connection);
      return false;
    }
    connection->watched_events = events;
    if (connection->idle_listening) {
      epoll_event silent = {};
      silent.data.ptr = connection;
      epoll_ctl(owner_->idle_epoll_fd_, EPOLL_CTL_MOD, connection->fd, &silent);
      connection->idle_listening = false;
    }
    return true;
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
    return Act(connection, std::string_view(buffer_.data(), static_cast<size_t>(count)));
  }

  // Sends what the socket takes of a held answer; once it is all out, goes
  // on as after an answer sent at once.
  void OnWritable(Connection* connection) {
    Output& output = connection->output;
    if (!output.Flush()) {
      Close(connection);
      return;
    }
    if (output.held() > 0) {
      Reschedule(connection, SendDeadline(connection));
      return;
    }
    connection->sending = false;
    bool keep = connection->keep && !stopping_;
    bool more_input = !connection->input.empty();
    if (keep && !more_input) {
      KeepIdle(connection);
      return;
    }
    if (!Watch(connection, EPOLLIN | EPOLLRDHUP)) return;
    if (!keep) {
      EndAfterLastAnswer(connection, more_input);
      return;
    }
    Reschedule(connection, Clock::now() + owner_->settings_.request_timeout);
    Act(connection, {});
  }

  // Acts on the bytes that `arrived`, after those the connection holds:
  // feeds them to the conversation and answers every request they
  // complete. False when the connection has left receiving_ (closed, or
  // kept idle).
  bool Act(Connection* connection, std::string_view arrived) {
    std::string_view input = arrived;
    if (!connection->input.empty()) {
      connection->input.append(arrived);
      input = connection->input;
    }
    Conversation* conversation = connection->conversation.get();
    for (;;) {
      size_t consumed = 0;
      Conversation::Event event = conversation->Feed(input, &consumed);
      input.remove_prefix(consumed);
      if (event == Conversation::Event::kNeedMore &&
          input.size() > conversation->max_unconsumed()) {
        conversation->RefuseInput();
        event = Conversation::Event::kError;
      }
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
        if (!stopping_ || conversation->started()) {
          KeepUnconsumed(connection, input);
          return true;
        }
        Close(connection);
        return false;
      }
      if (event != Conversation::Event::kRequest) {
        // A refused request's body may still be on its way.
        Linger(connection);
        return true;
      }
      Output& output = connection->output;
      output.set_read_ahead(input);
      bool keep = conversation->Answer(&output) && !stopping_;
      output.set_read_ahead({});
      if (output.lost()) {
        Close(connection);
        return false;
      }
      if (output.held() > 0) {
        // Nothing more is read until the answer is out, so that one
        // connection holds one answer at most.
        connection->sending = true;
        connection->keep = keep;
        KeepUnconsumed(connection, input);
        if (!Watch(connection, EPOLLOUT)) return false;
        Reschedule(connection, SendDeadline(connection));
        return true;
      }
      if (!keep) return EndAfterLastAnswer(connection, !input.empty());
      if (input.empty()) {
        KeepUnconsumed(connection, input);
        KeepIdle(connection);
        return false;
      }
      // The next request has begun in the same read: a new deadline for it.
      Reschedule(connection, Clock::now() + owner_->settings_.request_timeout);
    }
  }

  // Holds `rest`, the end of the bytes Act was handed that the
  // conversation left, as the connection's input.
  static void KeepUnconsumed(Connection* connection, std::string_view rest) {
    std::string& input = connection->input;
    if (rest.empty()) {
      // A connection waiting for its next request keeps no buffer.
      std::string().swap(input);
    } else if (input.empty()) {
      input.assign(rest);
    } else {
      input.erase(0, input.size() - rest.size());
    }
  }

  // After the last answer on `connection` has gone out: lingers when the
  // peer has sent more (`more_input`, or bytes still in the socket),
  // closes otherwise. False when the connection has left receiving_.
  bool EndAfterLastAnswer(Connection* connection, bool more_input) {
    char next;
    if (more_input || recv(connection->fd, &next, 1, MSG_PEEK | MSG_DONTWAIT) > 0) {
      Linger(connection);
      return true;
    }
    Close(connection);
    return false;
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
    std::string().swap(connection->input);
    Reschedule(connection, std::min(connection->deadline, Clock::now() + kLinger));
  }

  // When a connection sending a held answer is to be looked at again: when
  // its peer is due (Output::Due), or once the drain time of a stop is up.
  Clock::time_point SendDeadline(Connection* connection) {
    Clock::time_point due = connection->output.Due();
    return stopping_ ? std::min(due, owner_->drain_deadline_.load()) : due;
  }

  // Gives a connection in receiving_ a new deadline, keeping the list in
  // deadline order.
  void Reschedule(Connection* connection, Clock::time_point deadline) {
    connection->deadline = deadline;
    receiving_.erase(connection->self);
    auto at = receiving_.end();
    while (at != receiving_.begin() && (*std::prev(at))->deadline > deadline) --at;
    connection->self = receiving_.insert(at, connection);
  }

  // Hands a connection whose answer went out whole to the idle ones, where
  // it costs no thread until its next request arrives.
  //
  // A connection is registered with the idle epoll once, edge-triggered,
  // and stays registered while loops take it up and hand it back, so that
  // a request answered at once costs no epoll_ctl (a one-shot registration
  // would need re-arming after every answer). An edge that came while a
  // loop owned it was taken by a loop that could not act on it
  // (missed_event): the registration is then modified, which reports the
  // bytes waiting again, before the connection is handed over.
  void KeepIdle(Connection* connection) {
    if (connection->watched_events != 0) {
      epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, connection->fd, nullptr);
    }
    connection->watched_events = 0;
    receiving_.erase(connection->self);
    bool arm = !connection->idle_listening;
    for (;;) {
      if (arm) {
        epoll_event event = {};
        event.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
        event.data.ptr = connection;
        int operation = connection->idle_registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
        if (epoll_ctl(owner_->idle_epoll_fd_, operation, connection->fd, &event) != 0) {
          owner_->CloseConnection(connection);
          return;
        }
        connection->idle_registered = true;
        connection->idle_listening = true;
      }
      std::unique_lock<std::mutex> lock(owner_->idle_mutex_);
      // Answered while StopAccepting ran, before this loop saw the stop.
      if (owner_->keeping_stopped_) {
        lock.unlock();
        owner_->CloseConnection(connection);
        return;
      }
      if (connection->missed_event) {
        connection->missed_event = false;
        arm = true;
        continue;
      }
      connection->deadline = Clock::now() + owner_->settings_.idle_timeout;
      owner_->idle_.push_back(connection);
      connection->self = std::prev(owner_->idle_.end());
      connection->idle = true;
      // From here on another loop may take it up: this one touches it no more.
      return;
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
      // A request under way may still arrive, and an answer under way go
      // out, within the drain time.
      if (!connection->sending && !connection->conversation->started()) {
        Close(connection);
      } else {
        connection->deadline = std::min(connection->deadline, owner_->drain_deadline_.load());
      }
    }
  }

  ConnectionLoops* owner_;
  std::atomic<uint64_t> taking_{0};
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

// close() also takes the descriptor out of every epoll instance. An event
// of the idle epoll taken just before may still point at the connection:
// each loop that was taking one then is waited for (see TakeUpIdle), which
// is seldom and brief, and cheaper than a lock around every take.
void ConnectionLoops::CloseConnection(Connection* connection) {
  close(connection->fd);
  if (connection->idle_registered) {
    for (auto& loop : loops_) {
      uint64_t taking = loop->taking();
      if (taking % 2 == 0) continue;
      while (loop->taking() == taking) std::this_thread::yield();
    }
  }
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
    connection->expired = true;
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
