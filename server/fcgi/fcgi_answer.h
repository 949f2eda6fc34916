// The module's answer as FastCGI records: a CGI response (a Status line
// unless the status is a plain "200 OK", the module's header block, a
// blank line, the body) in FCGI_STDOUT records, then the end of the
// request. The web server in front frames it for its client.
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
  // Queues all of `bytes` for the web server; false when they cannot be
  // delivered (it went away, or took them too slowly).
  virtual bool Send(std::string_view bytes) = 0;
  // Whether the web server aborted the request, so that the module's next
  // write fails as it would for a departed HTTP client.
  virtual bool Abandoned() { return false; }
};

class FcgiResponseSink : public isapi::ResponseSink {
 public:
  // `out` must outlive the sink.
  FcgiResponseSink(uint16_t request_id, bool client_keeps_alive, RecordOutput* out);

  // A length the core knows but the module did not give (a held answer)
  // becomes a Content-Length line after the module's block.
  bool SendHead(const isapi::ResponseHead& head) override;
  bool WriteBody(const void* data, size_t size) override;
  // Sends what is still gathered, then, for a complete answer, the end of
  // the stream and END_REQUEST. An answer cut short gets no END_REQUEST, so
  // the web server sees it as broken.
  void Finish(bool complete) override;
  bool ClientKeepsAlive() override { return client_keeps_alive_; }

  // Whether the whole answer was sent.
  bool sent() const { return complete_ && !failed_; }

 private:
  bool Emit(std::string_view stdout_bytes);
  bool Flush();

  uint16_t request_id_;
  bool client_keeps_alive_;
  RecordOutput* out_;
  std::string pending_;  // records not yet sent
  bool complete_ = false;
  bool failed_ = false;
};

}  // namespace isapi_fcgi
