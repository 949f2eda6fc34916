// From a parsed request line and header fields to the host core's
// isapi::Request, and which requests this server refuses before the
// module sees them. Free of sockets and of the parser, so it is tested
// on its own.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "server/core/host_core.h"

namespace isapi_http {

// The addresses of one client connection, looked up once when it opens.
struct ConnectionAddresses {
  std::string remote_addr;  // "127.0.0.1", "::1"
  uint16_t remote_port = 0;
  std::string local_addr;
  uint16_t local_port = 0;
};

// Returns the status (400, 413 or 501) for a request this server refuses
// once its request line and headers are in, or 0:
//   400  a method that is not a token, a target with a control byte, blank
//        or DEL, HTTP/1.1 without Host, a header name that is not a token,
//        a control byte (a bare CR) in a header value, more than one
//        Content-Length, a Content-Length that is
//        not a plain decimal, Content-Length together with
//        Transfer-Encoding (the framing would be ambiguous),
//        Transfer-Encoding in HTTP/1.0, more than one Host, or a Host that
//        isapi::IsValidHost refuses;
//   413  a Content-Length above `max_body` (a chunked body is counted as
//        it arrives);
//   501  a Transfer-Encoding other than "chunked".
// The caller closes the connection after a refusal, so that nothing the
// client sent after it is read as another request.
int RefuseRequest(std::string_view method, std::string_view target, std::string_view version,
                  const std::vector<isapi::HeaderField>& headers, uint64_t max_body);

// The longest chunk extension (the text between a chunk's size and its
// CRLF) of a chunked body: a client has no use for more, and the parser
// holds it whole.
constexpr size_t kMaxChunkExtensionBytes = 4096;

// Whether `unparsed`, what of a chunked body waits for more bytes before
// the parser can take it, starts with a chunk line whose extension is
// already past kMaxChunkExtensionBytes: a runaway, refused at once with 400
// rather than waited for.
bool RunawayChunkExtension(std::string_view unparsed);

// Fills in `request`, whose headers (in arrival order) and body are already
// there, from the request line and the connection: method, target, path
// and query, protocol, addresses, SERVER_NAME (the Host header's host
// part, else the local address), whether the body comes chunked, and the
// server software. An absolute-form target ("http://host/path") gives the
// path and query, and its authority replaces the Host header. Returns 0,
// or 400 for a target that isapi::SplitTarget refuses (a path above the
// root among them) or an authority isapi::IsValidHost refuses.
int MapRequest(std::string_view method, std::string_view target, std::string_view version,
               const ConnectionAddresses& addresses, isapi::Request* request);

}  // namespace isapi_http
