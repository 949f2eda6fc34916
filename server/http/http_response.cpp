#include "server/http/http_response.h"

#include <string.h>

#include <algorithm>

#include "server/core/http_text.h"

namespace isapi_http {

namespace {

void FreeBytes(void* cls) { delete static_cast<std::string*>(cls); }

// Body of a queued response that ends early or is the module's own
// chunks; libmicrohttpd reads it through ReadResponseBody and frees it
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

}  // namespace

bool BufferedSink::SendHead(const isapi::ResponseHead& head) {
  head_ = head;
  return true;
}

bool BufferedSink::WriteBody(const void* data, size_t size) {
  if (body_.size() + size > kMaxResponseBody) {
    overflow_ = true;
    return false;
  }
  body_.append(static_cast<const char*>(data), size);
  return true;
}

MHD_Response* BuildResponse(BufferedSink* sink, bool keep_alive, isapi::ServeResult* served) {
  const isapi::ResponseHead& head = sink->head();
  if (sink->overflow()) {
    // Nothing is on the wire yet, so the answer can still be a clean 500.
    served->status = MHD_HTTP_INTERNAL_SERVER_ERROR;
    served->body_bytes = 0;
    MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    return response;
  }
  MHD_Response* response;
  if (head.has_body && sink->complete() && head.framing != isapi::Framing::kModuleChunked) {
    // The whole body is here, so Content-Length frames it, whether the
    // module gave one or left the framing to this server, and
    // libmicrohttpd sends head and body with one system call.
    auto* bytes = new std::string(sink->TakeBody());
    response = MHD_create_response_from_buffer_with_free_callback_cls(
        bytes->size(), bytes->data(), FreeBytes, bytes);
  } else {
    uint64_t size = head.framing == isapi::Framing::kContentLength ? head.content_length
                                                                    : MHD_SIZE_UNKNOWN;
    auto* body = new ResponseBody{sink->TakeBody(), sink->complete()};
    response = MHD_create_response_from_callback(size, 16 * 1024, ReadResponseBody, body,
                                                 FreeResponseBody);
  }
  for (const isapi::HeaderField& field : head.headers) {
    if (isapi::EqualsIgnoreCase(field.name, MHD_HTTP_HEADER_CONTENT_LENGTH)) continue;
    MHD_add_response_header(response, field.name.c_str(), field.value.c_str());
  }
  if (!keep_alive || !head.keep_conn || !sink->complete()) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  }
  return response;
}

MHD_Result QueueRefusal(MHD_Connection* connection, unsigned status) {
  MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

}  // namespace isapi_http
