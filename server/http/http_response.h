// The module's answer, collected in memory and handed to libmicrohttpd.
#pragma once

#include <microhttpd.h>
#include <stddef.h>

#include <string>

#include "server/core/host_core.h"

namespace isapi_http {

// The largest answer body collected: a bound on memory, beyond which the
// module's writes fail and the answer is cut short.
constexpr size_t kMaxResponseBody = 64 * 1024 * 1024;

// Collects the answers of one connection, one request at a time (the host
// core serialises the calls of a request), and queues them on
// libmicrohttpd.
class BufferedSink : public isapi::ResponseSink {
 public:
  // Starts collecting a new answer.
  void Reset(bool client_keeps_alive);

  bool SendHead(const isapi::ResponseHead& head) override;
  bool WriteBody(const void* data, size_t size) override;
  void Finish(bool complete) override { complete_ = complete; }
  bool ClientKeepsAlive() override { return client_keeps_alive_; }

  // Queues the collected answer on `connection`. A body whose length is
  // known (the module's Content-Length, or held whole by the core) goes
  // out with it; one of unknown length is chunked for HTTP/1.1 and ends
  // with the connection for HTTP/1.0; a body cut short ends in an error,
  // which closes the connection before the announced length or the last
  // chunk. "Connection: close" is added when `keep_alive` is false, the
  // module asked to close, or the body is short.
  MHD_Result Queue(MHD_Connection* connection, bool keep_alive);

 private:
  bool client_keeps_alive_ = true;
  isapi::ResponseHead head_;
  std::string body_;
  bool complete_ = false;
};

}  // namespace isapi_http
