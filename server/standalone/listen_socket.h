// The listening socket of a standalone host, opened before any worker
// starts, so that every worker accepts on the one socket.
#pragma once

#include <sys/socket.h>

#include <string>

namespace isapi {

// Binds a new stream socket to `address` and listens on it. TCP sockets
// reuse the address of an earlier run's connections in TIME_WAIT, and an
// IPv6 one takes IPv4 clients too. Returns a non-blocking, close-on-exec
// descriptor, or -1 with strerror's text in *reason.
int OpenListenSocket(const sockaddr* address, socklen_t length, std::string* reason);

}  // namespace isapi
