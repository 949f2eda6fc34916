#include "tests/support/loopback_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace test_support {

LoopbackListener::LoopbackListener(int type) {
  fd_ = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      (type == SOCK_STREAM && listen(fd_, SOMAXCONN) != 0) ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd_ >= 0) close(fd_);
    throw std::runtime_error("cannot bind a loopback port");
  }
  port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() { close(fd_); }

std::string NginxInheritedSocketEnv(const std::vector<int>& fds) {
  std::string env = "NGINX=";
  for (int fd : fds) env += std::to_string(fd) + ";";
  return env;
}

}  // namespace test_support
