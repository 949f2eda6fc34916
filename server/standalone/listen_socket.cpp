#include "server/standalone/listen_socket.h"

#include <errno.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <unistd.h>

#include <string_view>

#include "server/core/address_text.h"
#include "server/core/http_text.h"

namespace isapi {

bool ParseListenAddress(const std::string& text, std::string* host, uint16_t* port) {
  std::string_view host_part, port_text;
  uint64_t number = 0;
  if (!SplitHostPort(text, &host_part, &port_text) || !ParseDecimal(port_text, 65535, &number)) {
    return false;
  }
  if (!host_part.empty() && host_part.front() == '[') {
    host_part = host_part.substr(1, host_part.size() - 2);
    in6_addr unused;
    if (inet_pton(AF_INET6, std::string(host_part).c_str(), &unused) != 1) return false;
  }
  *host = host_part;
  *port = static_cast<uint16_t>(number);
  return true;
}

int OpenListenSocket(const std::string& address, std::string* error) {
  std::string host;
  uint16_t port = 0;
  if (!ParseListenAddress(address, &host, &port)) {
    *error = "not HOST:PORT: " + address;
    return -1;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  int status = getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(),
                           &hints, &found);
  if (status != 0) {
    *error = "cannot resolve " + address + ": " + gai_strerror(status);
    return -1;
  }
  std::string reason = "no address";
  int fd = -1;
  for (addrinfo* at = found; at != nullptr && fd < 0; at = at->ai_next) {
    fd = BindListener(at->ai_addr, at->ai_addrlen, &reason);
  }
  freeaddrinfo(found);
  if (fd < 0) *error = "cannot listen on " + address + ": " + reason;
  return fd;
}

int BindListener(const sockaddr* address, socklen_t length, std::string* reason) {
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

std::string ListenSocketName(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  std::string name;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    name = AddressWithPort(reinterpret_cast<sockaddr*>(&address));
  }
  return name.empty() ? "fd " + std::to_string(fd) : name;
}

}  // namespace isapi
