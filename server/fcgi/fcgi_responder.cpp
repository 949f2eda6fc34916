#include "server/fcgi/fcgi_responder.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "server/fcgi/fcgi_answer.h"
#include "server/fcgi/fcgi_request.h"

namespace isapi_fcgi {

namespace {

using Clock = std::chrono::steady_clock;

// After accept fails for want of descriptors or memory, accepting pauses
// this long instead of spinning on the listening socket.
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
    withheld_body_bytes = module->Serve(http, &sink).withheld_body_bytes;
  }
  sink.End(withheld_body_bytes);
}

Responder::Responder(isapi::Module* module, int listen_fd, const ResponderSettings& settings)
    : module_(module), listen_fd_(listen_fd), settings_(settings) {}

Responder::~Responder() {
  Stop();
  if (epoll_fd_ >= 0) close(epoll_fd_);
  if (wake_fd_ >= 0) close(wake_fd_);
}

bool Responder::Start(std::string* error) {
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event wake = {};
  wake.events = EPOLLIN;
  wake.data.ptr = &wake_fd_;
  if (epoll_fd_ < 0 || wake_fd_ < 0 || epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &wake) != 0) {
    *error = std::string("cannot set up epoll: ") + strerror(errno);
    return false;
  }
  try {
    for (int i = 0; i < settings_.threads; ++i) workers_.emplace_back(&Responder::Work, this);
    receiver_ = std::thread(&Responder::Receive, this);
  } catch (const std::system_error& e) {
    *error = std::string("cannot start a thread: ") + e.what();
    return false;
  }
  return true;
}

void Responder::Stop() {
  if (stopped_) return;
  stopped_ = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_requested_ = true;
  }
  Wake();
  if (receiver_.joinable()) receiver_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    receiving_done_ = true;
  }
  jobs_ready_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

void Responder::Wake() {
  uint64_t one = 1;
  // A failed write means the counter is full: a wake-up is pending already.
  ssize_t written = write(wake_fd_, &one, sizeof one);
  (void)written;
}

void Responder::Receive() {
  std::vector<epoll_event> events(64);
  WatchListenSocket(true);
  while (!(stopping_receive_ && receiving_.empty())) {
    int count = epoll_wait(epoll_fd_, events.data(), static_cast<int>(events.size()),
                           ReceiveTimeoutMs());
    bool woken = false;
    for (int i = 0; i < count; ++i) {
      void* source = events[i].data.ptr;
      if (source == &listen_fd_) {
        AcceptAll();
      } else if (source == &wake_fd_) {
        uint64_t ignored;
        woken = read(wake_fd_, &ignored, sizeof ignored) > 0 || woken;
      } else {
        OnReadable(static_cast<Connection*>(source));
      }
    }
    if (woken && !stopping_receive_) {
      std::lock_guard<std::mutex> lock(mutex_);
      woken = stop_requested_;
    }
    // After the events of this round: closing a connection earlier could
    // leave a later event pointing at it.
    if (woken && !stopping_receive_) StopReceiving();

    Clock::time_point now = Clock::now();
    while (!receiving_.empty() && receiving_.front().deadline <= now) Close(&receiving_.front());
    if (!watching_listen_ && !stopping_receive_ && now >= retry_accept_at_) {
      std::lock_guard<std::mutex> lock(mutex_);
      slot_wanted_ = open_connections_ >= settings_.limits.max_connections;
      if (!slot_wanted_) WatchListenSocket(true);
    }
  }
}

int Responder::ReceiveTimeoutMs() const {
  int timeout = -1;
  if (!receiving_.empty()) timeout = MillisecondsUntil(receiving_.front().deadline);
  if (!watching_listen_ && !stopping_receive_ && retry_accept_at_ > Clock::now()) {
    int retry = MillisecondsUntil(retry_accept_at_);
    timeout = timeout < 0 ? retry : std::min(timeout, retry);
  }
  return timeout;
}

void Responder::WatchListenSocket(bool watch) {
  if (watch == watching_listen_) return;
  epoll_event event = {};
  event.events = EPOLLIN;
  event.data.ptr = &listen_fd_;
  if (epoll_ctl(epoll_fd_, watch ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, listen_fd_, &event) == 0) {
    watching_listen_ = watch;
  }
}

void Responder::AcceptAll() {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (open_connections_ >= settings_.limits.max_connections) {
        WatchListenSocket(false);
        return;
      }
    }
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        // Out of descriptors or memory: try again a little later.
        WatchListenSocket(false);
        retry_accept_at_ = Clock::now() + kAcceptRetry;
      }
      return;
    }
    receiving_.push_back(Connection{fd, Clock::now() + settings_.request_timeout,
                                    RequestReader(settings_.limits), false, {}});
    Connection* connection = &receiving_.back();
    connection->self = std::prev(receiving_.end());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++open_connections_;
    }
    // A web server sends its whole request right after connecting, so it
    // has often arrived already: then the connection never enters epoll.
    if (!OnReadable(connection)) continue;
    epoll_event event = {};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.ptr = connection;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) != 0) {
      Close(connection);
    } else {
      connection->watched = true;
    }
  }
}

bool Responder::OnReadable(Connection* connection) {
  ssize_t count = recv(connection->fd, read_buffer_.data(), read_buffer_.size(), 0);
  if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
  if (count <= 0) {
    Close(connection);
    return false;
  }

  size_t used = 0;
  RequestReader::Event event =
      connection->reader.Feed(read_buffer_.data(), static_cast<size_t>(count), &used);
  std::string* replies = connection->reader.replies();
  if (!replies->empty()) {
    // Answers to management records are small; a peer that lets them pile
    // up unread loses its connection rather than costing memory.
    ssize_t sent = send(connection->fd, replies->data(), replies->size(),
                        MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent != static_cast<ssize_t>(replies->size())) event = RequestReader::Event::kError;
    replies->clear();
  }
  if (event == RequestReader::Event::kRequest) {
    if (connection->watched) epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, connection->fd, nullptr);
    Job job{connection->fd, std::move(connection->reader.request())};
    receiving_.erase(connection->self);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    jobs_ready_.notify_one();
    return false;
  }
  if (event != RequestReader::Event::kNeedMore ||
      (stopping_receive_ && !connection->reader.started())) {
    Close(connection);
    return false;
  }
  return true;
}

void Responder::Close(Connection* connection) {
  close(connection->fd);
  receiving_.erase(connection->self);
  std::lock_guard<std::mutex> lock(mutex_);
  --open_connections_;
}

void Responder::StopReceiving() {
  stopping_receive_ = true;
  WatchListenSocket(false);
  for (auto at = receiving_.begin(); at != receiving_.end();) {
    Connection* connection = &*at++;
    if (!connection->reader.started()) Close(connection);
  }
}

void Responder::Work() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      jobs_ready_.wait(lock, [this] { return !jobs_.empty() || receiving_done_; });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    AnswerRequest(module_, job.fd, std::move(job.request), settings_.request_timeout);
    close(job.fd);
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --open_connections_;
      wake = slot_wanted_;
      slot_wanted_ = false;
    }
    if (wake) Wake();
  }
}

}  // namespace isapi_fcgi
