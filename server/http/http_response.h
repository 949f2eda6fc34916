// The module's answer, collected in memory and handed to libmicrohttpd.
#pragma once

#include <microhttpd.h>
#include <stddef.h>

#include <string>

#include "server/core/host_core.h"

namespace isapi_http {

// The largest answer body collected; beyond it the answer becomes a 500.
constexpr size_t kMaxResponseBody = 64 * 1024 * 1024;

// Collects one answer of the module. Used by one request at a time (the
// host core serialises the calls).
class BufferedSink : public isapi::ResponseSink {
 public:
  explicit BufferedSink(bool client_keeps_alive) : client_keeps_alive_(client_keeps_alive) {}

  bool SendHead(const isapi::ResponseHead& head) override;
  bool WriteBody(const void* data, size_t size) override;
  void Finish(bool complete) override { complete_ = complete; }
  bool ClientKeepsAlive() override { return client_keeps_alive_; }

  const isapi::ResponseHead& head() const { return head_; }
  std::string TakeBody() { return std::move(body_); }
  bool complete() const { return complete_; }
  bool overflow() const { return overflow_; }

 private:
  bool client_keeps_alive_;
  isapi::ResponseHead head_;
  std::string body_;
  bool complete_ = false;
  bool overflow_ = false;
};

// Turns the collected answer into a libmicrohttpd response (the caller
// queues and destroys it). The whole body frames itself with
// Content-Length; an answer without body bytes (HEAD, 204, 304) keeps the
// module's Content-Length; a short body ends in an error, which closes the
// connection; the module's own chunks pass through. A body over
// kMaxResponseBody becomes an empty 500 that closes the connection, and
// *served says so. "Connection: close" is added when `keep_alive` is
// false, the module asked to close, or the body is short.
MHD_Response* BuildResponse(BufferedSink* sink, bool keep_alive, isapi::ServeResult* served);

// Queues an empty answer with `status` that closes the connection, for a
// request refused before the module sees it.
MHD_Result QueueRefusal(MHD_Connection* connection, unsigned status);

}  // namespace isapi_http
