#include "server/standalone/listen_socket.h"

#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <unistd.h>

namespace isapi {

int OpenListenSocket(const sockaddr* address, socklen_t length, std::string* reason) {
  int family = address->sa_family;
  int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int on = 1, off = 0;
  if (fd >= 0 && family != AF_UNIX) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (fd >= 0 && family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  if (fd < 0 || bind(fd, address, length) != 0 || listen(fd, SOMAXCONN) != 0) {
    *reason = strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

}  // namespace isapi
