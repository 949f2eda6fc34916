// A listening socket for a server under test, made before the server
// starts: the test binds port 0, so the kernel picks a free port and no
// other process can take it before the server does (binding, closing and
// passing the number on leaves that window open).
#pragma once

#include <stdint.h>
#include <sys/socket.h>

#include <string>
#include <vector>

namespace test_support {

// A TCP socket listening on 127.0.0.1 at a port the kernel chose, or with
// SOCK_DGRAM a UDP socket bound there (nginx's QUIC). The descriptor is
// close-on-exec; hand it to a child under a fixed number (dup2 in the
// child clears the flag on the copy).
class LoopbackListener {
 public:
  // Throws std::runtime_error when the socket cannot be made.
  explicit LoopbackListener(int type = SOCK_STREAM);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  int fd() const { return fd_; }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// The environment entry ("NGINX=3;4;") that makes nginx take over the
// listening descriptors `fds` it inherited: a `listen` directive for the
// same address then uses one instead of binding. nginx 1.22 needs its
// master process for this (with `master_process off` it crashes on an
// inherited socket).
std::string NginxInheritedSocketEnv(const std::vector<int>& fds);

}  // namespace test_support
