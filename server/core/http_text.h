// Small text helpers for HTTP, shared by every front end and the host core.
// All of them work on bytes (ASCII rules only, no locale), take the text
// as a string_view that need not be NUL-terminated and are safe to call
// from any thread.
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

namespace isapi {

struct HeaderField {
  std::string name;
  std::string value;
};

// Whether `c` may appear in an HTTP token (RFC 9110 tchar): letters,
// digits and !#$%&'*+-.^_`|~.
bool IsTokenChar(unsigned char c);

// Whether `text` is a token: one or more token characters. Header names
// and methods must be tokens.
bool IsToken(std::string_view text);

// Whether `text` holds a control byte other than HTAB, or DEL, which a
// status line or a header value must not carry (a bare CR among them).
bool HasControl(std::string_view text);

char AsciiLower(char c);
char AsciiUpper(char c);

// ASCII case-insensitive equality: "Content-Length" equals "content-LENGTH".
// Bytes outside A-Z/a-z compare exactly.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// `text` without leading and trailing blanks (spaces and tabs).
std::string_view TrimBlanks(std::string_view text);

// The value of a hexadecimal digit ('a' and 'A' are 10), -1 for any other
// byte.
int HexDigit(char c);

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

// Whether `text` may be a Host field value or the authority of an
// absolute-form target: empty (a target without authority), or a host and
// an optional ":port" of digits. The host is a bracketed IPv6 literal (hex
// digits, ':' and '.') or a name of letters, digits, "-._~", "%" and
// "!$&'()*+,;="; a name starts with no '.' and holds no "..", so that it
// is safe as a path component. Anything else (a blank, '/', '@', a control
// or non-ASCII byte, an empty host before a port) is invalid: 400.
bool IsValidHost(std::string_view text);

// Splits an absolute-form request-target ("http://example.com:8080/a?b")
// into its authority ("example.com:8080") and the origin form of the rest
// ("/a?b"; a missing path is "/"). Returns false, leaving both alone, when
// `target` does not start with a scheme and "://".
bool SplitAbsoluteForm(std::string_view target, std::string_view* authority,
                       std::string* origin);

// Splits a request-target in origin form into its percent-decoded path and
// its raw query (text after the first '?', "" when none). Dot segments of
// the decoded path are merged ("/a/%2e%2e/b" and "/a/..%2fb" are "/b",
// "/a/." is "/a/"), so that whatever maps the path to files sees it
// plain. Returns false for a target that does not start with '/', has a
// malformed %-escape, decodes to a NUL byte or climbs above the root; the
// front end answers 400 then.
bool SplitTarget(std::string_view target, std::string* path, std::string* query);

// Whether HTTP lets the connection persist after a request of `protocol`
// with `headers`: not when any Connection line lists "close"; otherwise
// HTTP/1.1, or HTTP/1.0 whose Connection lines list "keep-alive".
bool ClientAllowsKeepAlive(std::string_view protocol, const std::vector<HeaderField>& headers);

// The reason phrase of common status codes ("Not Found"), "" for others.
const char* ReasonPhrase(int status);

// "404 Not Found", or "599" for a code without a known reason phrase.
std::string StatusText(int status);

}  // namespace isapi
