// The FastCGI responder: takes connections from the web server on a
// listening socket, receives one request on each, runs it through the
// module and sends the answer.
//
// Threads: one receiving thread and a pool of workers. The receiving
// thread accepts every connection and reads all of them at once with epoll,
// each under a deadline counted from its accept, until its request (the
// parameters and the whole body) has arrived. Only a complete request goes
// to a worker, which runs the module and writes the answer. A peer that
// connects and goes silent, or sends half a record, therefore costs a
// descriptor and a few bytes until its deadline, never a worker: the
// workers only ever wait for the module and for the web server taking the
// answer. A design with workers that each accept and read their own
// connection cannot give that, since every silent peer would hold a worker
// for the whole deadline.
//
// Each connection carries one request and is closed after its answer,
// whatever FCGI_KEEP_CONN asks: a kept connection would hold resources
// while the web server leaves it idle.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/core/host_core.h"
#include "server/fcgi/fcgi_record.h"

namespace isapi_fcgi {

struct ResponderSettings {
  int threads = 1;  // workers running the module
  Limits limits;    // limits.max_connections also bounds the open connections
  // How long a connection may take to deliver its whole request, and how
  // long an answer may take to be accepted by the web server.
  std::chrono::milliseconds request_timeout{30000};
};

// Answers one complete request on `fd` (a connected, non-blocking socket)
// and leaves the socket open: a responder request runs through `module`; a
// parameter block over the limit gets 431, a request without
// REQUEST_METHOD 400, a body over the limit 413. Writing the answer waits
// at most `write_timeout` for the web server to take it. Thread-safe.
void AnswerRequest(isapi::Module* module, int fd, ResponderRequest request,
                   std::chrono::milliseconds write_timeout);

class Responder {
 public:
  // `module` and `listen_fd` (a non-blocking listening socket) must stay
  // valid until Stop() has returned.
  Responder(isapi::Module* module, int listen_fd, const ResponderSettings& settings);
  // Calls Stop().
  ~Responder();

  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;

  // Starts the receiving thread and the workers. Returns false with the
  // reason in *error when a thread or the epoll instance cannot be made;
  // what was started keeps running until Stop(). Call once.
  bool Start(std::string* error);

  // Stops accepting and closes the connections that have not begun a
  // request; requests already begun are still received (each within its
  // deadline) and answered. Returns when every answer has been sent.
  // Connections still in the listen queue are left to the kernel. Later
  // calls do nothing.
  void Stop();

 private:
  struct Connection {
    int fd;
    std::chrono::steady_clock::time_point deadline;
    RequestReader reader;
    bool watched;  // registered with epoll
    std::list<Connection>::iterator self;
  };
  struct Job {
    int fd = -1;
    ResponderRequest request;
  };

  void Receive();
  void AcceptAll();
  // Reads what has arrived and acts on it. False when the connection has
  // left receiving_ (closed, or its request handed to the workers).
  bool OnReadable(Connection* connection);
  void Close(Connection* connection);
  void StopReceiving();
  void WatchListenSocket(bool watch);
  int ReceiveTimeoutMs() const;
  void Work();
  void Wake();

  isapi::Module* module_;
  int listen_fd_;
  ResponderSettings settings_;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;  // eventfd: Stop() and freed connection slots

  // Owned by the receiving thread.
  std::list<Connection> receiving_;  // in accept order, so deadline order
  std::vector<char> read_buffer_ = std::vector<char>(64 * 1024);
  bool watching_listen_ = false;
  bool stopping_receive_ = false;
  std::chrono::steady_clock::time_point retry_accept_at_{};

  std::mutex mutex_;
  std::condition_variable jobs_ready_;
  std::deque<Job> jobs_;
  unsigned open_connections_ = 0;  // receiving, queued or being answered
  bool stop_requested_ = false;
  bool receiving_done_ = false;
  bool slot_wanted_ = false;  // the receiving thread waits for a free slot

  std::thread receiver_;
  std::vector<std::thread> workers_;
  bool stopped_ = false;
};

}  // namespace isapi_fcgi
