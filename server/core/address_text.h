// Socket addresses as text, the one way every front end shows them.
#pragma once

#include <stdint.h>
#include <sys/socket.h>

#include <string>
#include <string_view>
#include <vector>

#include "server/core/http_text.h"

namespace isapi {

// The numeric host ("127.0.0.1", "::1") and port of an IPv4 or IPv6
// address. An IPv4 peer of a dual-stack socket (::ffff:127.0.0.1) shows as
// its IPv4 address. Returns false, leaving both alone, for other families.
bool AddressText(const sockaddr* address, std::string* host, uint16_t* port);

// "127.0.0.1:8080" or "[::1]:8080"; "unix:PATH" for a Unix socket; "" for
// any other family.
std::string AddressWithPort(const sockaddr* address);

// SERVER_NAME: the host part of the request's Host header, else
// `local_addr` (HTTP/1.0 without Host, or a Host SplitHostPort refuses).
std::string ServerName(const std::vector<HeaderField>& headers, std::string_view local_addr);

}  // namespace isapi
