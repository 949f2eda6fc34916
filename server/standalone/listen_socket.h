// The listening socket of a standalone host, opened before any worker
// starts, so that every worker accepts on the one socket.
#pragma once

#include <stdint.h>
#include <sys/socket.h>

#include <string>

namespace isapi {

// Splits an address to listen on, as --listen and --socket take it:
// HOST:PORT, where HOST is a name, an IPv4 address, an IPv6 address in
// brackets, or nothing (":PORT": every address), and PORT is 0..65535 (0:
// the kernel picks a free port). *host comes without brackets. Returns
// false for anything else.
bool ParseListenAddress(const std::string& text, std::string* host, uint16_t* port);

// Opens a TCP socket listening on `address` (see ParseListenAddress): a
// name is resolved, and the first of its addresses that can be bound is
// taken. Returns the descriptor that BindListener gives, or -1 with a
// one-line reason in *error.
int OpenListenSocket(const std::string& address, std::string* error);

// Binds a new stream socket to `address` and listens on it. TCP sockets
// reuse the address of an earlier run's connections in TIME_WAIT, and an
// IPv6 one takes IPv4 clients too. Returns a non-blocking, close-on-exec
// descriptor, or -1 with strerror's text in *reason.
int BindListener(const sockaddr* address, socklen_t length, std::string* reason);

// "127.0.0.1:8080", "[::1]:8080" or "unix:/run/x.sock": where the listening
// socket `fd` is bound; "fd N" when that cannot be read.
std::string ListenSocketName(int fd);

}  // namespace isapi
