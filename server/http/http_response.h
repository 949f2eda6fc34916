// The module's answer as HTTP/1.1 on the client's connection.
#pragma once

#include <stddef.h>

#include <atomic>
#include <string>

#include "server/standalone/connection_loop.h"
#include "server/core/host_core.h"

namespace isapi_http {

// Appends the status line and headers of `head` to *out: a Date line,
// "Connection: close" unless `keep_alive` ("Connection: keep-alive" for an
// HTTP/1.0 client that keeps it), the module's header block, the length
// the core knows but the module did not give, and
// "Transfer-Encoding: chunked" when `chunked`.
void AppendHead(const isapi::ResponseHead& head, bool http10, bool chunked, bool keep_alive,
                std::string* out);

// Sends one answer to the client through its connection's channel. A body
// of unknown length is chunked for HTTP/1.1 and ends with the connection
// for HTTP/1.0. The head goes out with the first body bytes, so that a
// held answer leaves in one system call.
class HttpResponseSink : public isapi::ResponseSink {
 public:
  // `client_keeps_alive`: what the request asked for. Once `*stopping`,
  // the connection closes after the answer.
  HttpResponseSink(isapi::Channel* channel, bool http10, bool client_keeps_alive,
             const std::atomic<bool>* stopping)
      : channel_(channel),
        http10_(http10),
        keep_alive_(client_keeps_alive),
        stopping_(stopping) {}

  bool SendHead(const isapi::ResponseHead& head) override;
  bool WriteBody(const void* data, size_t size) override;
  // An answer cut short is left unfinished (no last chunk), and the
  // connection is then closed, before the announced length.
  void Finish(bool complete) override;
  bool ClientKeepsAlive() override { return keep_alive_ && !*stopping_; }

  // Whether the whole answer went out and the connection may carry another
  // request.
  bool keeps() const { return complete_ && !failed_ && keep_alive_; }

 private:
  bool Flush();

  isapi::Channel* channel_;
  bool http10_;
  bool keep_alive_;
  const std::atomic<bool>* stopping_;
  bool chunked_ = false;
  bool complete_ = false;
  bool failed_ = false;
  std::string pending_;  // not yet sent
};

}  // namespace isapi_http
