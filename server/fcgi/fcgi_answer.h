// The module's answer as FastCGI records: a CGI response (Status line, the
// module's header block, a blank line, the body) in FCGI_STDOUT records,
// then the end of the request. The web server in front frames it for its
// client.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>

#include "server/core/host_core.h"

namespace isapi_fcgi {

// Where the records go: the connection to the web server.
class RecordOutput {
 public:
  virtual ~RecordOutput() = default;
  // Sends all of `bytes`; false when they cannot be delivered (the web
  // server went away or stopped reading past the deadline).
  virtual bool Send(std::string_view bytes) = 0;
  // Whether the web server aborted the request, so that the module's next
  // write fails as it would for a departed HTTP client.
  virtual bool Abandoned() { return false; }
};

// An answer the module did not frame itself (no Content-Length, no chunked
// encoding) is held back up to this many body bytes and sent with a
// Content-Length of its own, so that GET and HEAD carry the same headers.
// A longer one goes out as it comes, without a length.
constexpr size_t kMaxHeldBody = 1024 * 1024;

class AnswerSink : public isapi::ResponseSink {
 public:
  // `out` must outlive the sink.
  AnswerSink(uint16_t request_id, bool client_keeps_alive, RecordOutput* out);

  bool SendHead(const isapi::ResponseHead& head) override;
  bool WriteBody(const void* data, size_t size) override;
  void Finish(bool complete) override;
  bool ClientKeepsAlive() override { return client_keeps_alive_; }

  // Sends what is still held, then, for a complete answer, the end of the
  // stream and END_REQUEST. `withheld_body_bytes` is what the module wrote
  // to an answer without a body (ServeResult::withheld_body_bytes, for
  // HEAD): the Content-Length added is that of the same answer to GET. An
  // answer cut short (fewer body bytes than its Content-Length, a failed
  // write) gets no END_REQUEST, so the web server sees it as broken.
  // Returns whether the whole answer was sent.
  bool End(uint64_t withheld_body_bytes = 0);

  // Sends an answer the front end gives itself: a status, no body.
  bool SendBareStatus(int status);

 private:
  bool Emit(std::string_view stdout_bytes);
  bool Flush();
  bool ReleaseHeldHead(bool with_length);

  uint16_t request_id_;
  bool client_keeps_alive_;
  RecordOutput* out_;
  std::string pending_;     // records not yet sent
  std::string held_head_;   // Status line and header block, without the blank line
  std::string held_body_;
  bool holding_ = false;    // head held back to add Content-Length
  uint64_t body_length_ = 0;  // body bytes written while holding
  bool complete_ = false;
  bool failed_ = false;
};

}  // namespace isapi_fcgi
