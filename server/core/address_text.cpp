#include "server/core/address_text.h"

#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/un.h>

namespace isapi {

bool AddressText(const sockaddr* address, std::string* host, uint16_t* port) {
  sockaddr_in unmapped{};
  socklen_t length = sizeof(sockaddr_in);
  if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    length = sizeof(sockaddr_in6);
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
      unmapped.sin_family = AF_INET;
      unmapped.sin_port = v6->sin6_port;
      memcpy(&unmapped.sin_addr, &v6->sin6_addr.s6_addr[12], sizeof unmapped.sin_addr);
      address = reinterpret_cast<const sockaddr*>(&unmapped);
      length = sizeof unmapped;
    }
  } else if (address->sa_family != AF_INET) {
    return false;
  }
  char host_text[NI_MAXHOST], port_text[NI_MAXSERV];
  if (getnameinfo(address, length, host_text, sizeof host_text, port_text, sizeof port_text,
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return false;
  }
  uint64_t number = 0;
  ParseDecimal(port_text, 65535, &number);
  *host = host_text;
  *port = static_cast<uint16_t>(number);
  return true;
}

std::string AddressWithPort(const sockaddr* address) {
  if (address->sa_family == AF_UNIX) {
    const auto* path = reinterpret_cast<const sockaddr_un*>(address)->sun_path;
    return "unix:" + std::string(path, strnlen(path, sizeof(sockaddr_un::sun_path)));
  }
  std::string host;
  uint16_t port = 0;
  if (!AddressText(address, &host, &port)) return std::string();
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return host + ":" + std::to_string(port);
}

std::string ServerName(const std::vector<HeaderField>& headers, std::string_view local_addr) {
  for (const HeaderField& field : headers) {
    if (!EqualsIgnoreCase(field.name, "Host")) continue;
    std::string_view host, port;
    if (SplitHostPort(field.value, &host, &port) && !host.empty()) return std::string(host);
    break;
  }
  return std::string(local_addr);
}

}  // namespace isapi
