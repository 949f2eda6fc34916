// The listening socket of isapi-fcgi: one it opens itself (--socket), or
// one it inherits as standard input, as FastCGI web servers and systemd
// socket activation (StandardInput=socket) hand it over.
#pragma once

#include <string>

#include "server/fcgi/fcgi_options.h"

namespace isapi_fcgi {

// Opens the listening socket `options` name: a Unix socket at
// options.bind_address, or TCP on HOST:PORT (isapi::OpenListenSocket). A
// Unix socket path is only taken over when nothing is there or a dead
// socket is left from an earlier run: another file, or a socket some
// process still answers on, is refused. The new socket file gets
// options.socket_mode and options.socket_group before it listens. Returns
// a non-blocking, close-on-exec descriptor, or -1 with a one-line reason in
// *error.
int OpenSocket(const Options& options, std::string* error);

// Whether standard input is a listening stream socket. When it is, makes it
// non-blocking and close-on-exec and returns true.
bool AdoptInheritedListenSocket();

}  // namespace isapi_fcgi
