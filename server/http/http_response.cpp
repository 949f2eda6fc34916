#include "server/http/http_response.h"

#include <string.h>

#include <algorithm>

#include "server/core/http_text.h"

namespace isapi_http {

namespace {

void FreeBytes(void* cls) { delete static_cast<std::string*>(cls); }

// Body of a queued response that ends early or has no length;
// libmicrohttpd reads it through ReadResponseBody and frees it
// through FreeResponseBody.
struct ResponseBody {
  std::string bytes;
  bool complete;  // false: the module wrote less than its Content-Length
};

ssize_t ReadResponseBody(void* cls, uint64_t pos, char* out, size_t max) {
  auto* body = static_cast<ResponseBody*>(cls);
  if (pos >= body->bytes.size()) {
    return body->complete ? MHD_CONTENT_READER_END_OF_STREAM
                          : MHD_CONTENT_READER_END_WITH_ERROR;
  }
  size_t count = std::min(max, body->bytes.size() - static_cast<size_t>(pos));
  memcpy(out, body->bytes.data() + pos, count);
  return static_cast<ssize_t>(count);
}

void FreeResponseBody(void* cls) { delete static_cast<ResponseBody*>(cls); }

void AddHeaders(MHD_Response* response, const isapi::ResponseHead& head, bool close) {
  for (const isapi::HeaderField& field : head.headers) {
    if (isapi::EqualsIgnoreCase(field.name, MHD_HTTP_HEADER_CONTENT_LENGTH)) continue;
    MHD_add_response_header(response, field.name.c_str(), field.value.c_str());
  }
  if (close) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
}

MHD_Result QueueOnce(MHD_Connection* connection, unsigned status, MHD_Response* response) {
  MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

}  // namespace

void BufferedSink::Reset(bool client_keeps_alive) {
  client_keeps_alive_ = client_keeps_alive;
  body_.clear();
  complete_ = false;
}

bool BufferedSink::SendHead(const isapi::ResponseHead& head) {
  // Assignment reuses the capacity of the previous answer's head.
  head_ = head;
  return true;
}

bool BufferedSink::WriteBody(const void* data, size_t size) {
  if (body_.size() + size > kMaxResponseBody) return false;
  body_.append(static_cast<const char*>(data), size);
  return true;
}

MHD_Result BufferedSink::Queue(MHD_Connection* connection, bool keep_alive) {
  const unsigned status = static_cast<unsigned>(head_.status);
  const bool close = !keep_alive || !head_.keep_conn || !complete_;
  if (!head_.has_body || !complete_ || head_.framing == isapi::Framing::kFrontEnd) {
    // Without a body (HEAD, 204, 304) libmicrohttpd reads nothing, but
    // still announces `size` as Content-Length unless it is unknown; an
    // unknown length is chunked for HTTP/1.1 and ends with the connection
    // for HTTP/1.0.
    uint64_t size = head_.framing == isapi::Framing::kFrontEnd ? MHD_SIZE_UNKNOWN
                                                               : head_.content_length;
    auto* body = new ResponseBody{body_, complete_};
    MHD_Response* response = MHD_create_response_from_callback(
        size, 16 * 1024, ReadResponseBody, body, FreeResponseBody);
    AddHeaders(response, head_, close);
    return QueueOnce(connection, status, response);
  }
  // The whole body is here and its length known, so libmicrohttpd sends
  // head and body with one system call.
  auto* bytes = new std::string(std::move(body_));
  MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
      bytes->size(), bytes->data(), FreeBytes, bytes);
  AddHeaders(response, head_, close);
  return QueueOnce(connection, status, response);
}

}  // namespace isapi_http
