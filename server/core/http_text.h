// Small text helpers for HTTP, shared by every front end and the host core.
// All of them work on bytes (ASCII rules only, no locale), take the text
// as a string_view that need not be NUL-terminated, allocate nothing and
// are safe to call from any thread.
#pragma once

#include <stdint.h>

#include <string_view>

namespace isapi {

// Whether `c` may appear in an HTTP token (RFC 9110 tchar): letters,
// digits and !#$%&'*+-.^_`|~.
bool IsTokenChar(unsigned char c);

// Whether `text` is a token: one or more token characters. Header names
// and methods must be tokens.
bool IsToken(std::string_view text);

// ASCII case-insensitive equality: "Content-Length" equals "content-LENGTH".
// Bytes outside A-Z/a-z compare exactly.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// Parses a decimal number made of digits only: no sign, no blanks, no
// base prefix; leading zeros are allowed ("007" is 7). Returns false, and
// leaves *value alone, for empty text, any other byte, or a number greater
// than `max` (overflow included, whatever the number of digits).
bool ParseDecimal(std::string_view text, uint64_t max, uint64_t* value);

// Splits "host[:port]" as found in a Host header or a listen address.
// A host that starts with '[' is an IPv6 literal and runs to the matching
// ']' (brackets kept in *host): "[::1]:80" gives "[::1]" and "80".
// Otherwise the host ends at the only ':': "example.com:8080" gives
// "example.com" and "8080". No ':' leaves *port empty; so does a ':'
// with nothing after it. Returns false for an unclosed '[', anything but
// ":port" after ']', or more than one ':' outside brackets (an IPv6
// address without brackets is ambiguous). The port is not checked here:
// pass it to ParseDecimal. An empty host is returned as it is.
bool SplitHostPort(std::string_view text, std::string_view* host, std::string_view* port);

}  // namespace isapi
