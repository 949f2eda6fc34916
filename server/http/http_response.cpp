#include "server/http/http_response.h"

#include <time.h>

#include <charconv>

namespace isapi_http {

namespace {

// "Date: Tue, 08 Dec 2026 09:30:00 GMT\r\n", made once a second per thread.
const std::string& DateLine() {
  thread_local time_t made = 0;
  thread_local std::string line;
  time_t now = time(nullptr);
  if (now != made) {
    tm parts;
    gmtime_r(&now, &parts);
    char text[64];
    strftime(text, sizeof text, "Date: %a, %d %b %Y %H:%M:%S GMT\r\n", &parts);
    line = text;
    made = now;
  }
  return line;
}

}  // namespace

void AppendHead(const isapi::ResponseHead& head, bool http10, bool chunked, bool keep_alive,
                std::string* out) {
  out->append("HTTP/1.1 ").append(head.status_text).append("\r\n");
  out->append(DateLine());
  if (!keep_alive) {
    out->append("Connection: close\r\n");
  } else if (http10) {
    out->append("Connection: keep-alive\r\n");
  }
  out->append(head.header_block);
  if (head.framing == isapi::Framing::kHeldLength) {
    out->append("Content-Length: ").append(std::to_string(head.content_length)).append("\r\n");
  }
  if (chunked) out->append("Transfer-Encoding: chunked\r\n");
  out->append("\r\n");
}

bool HttpResponseSink::SendHead(const isapi::ResponseHead& head) {
  bool unknown_length = head.has_body && head.framing == isapi::Framing::kFrontEnd;
  chunked_ = unknown_length && !http10_;
  // Without a length or chunks, only the end of the connection ends the body.
  keep_alive_ = keep_alive_ && !*stopping_ && head.keep_conn && !(unknown_length && http10_);
  AppendHead(head, http10_, chunked_, keep_alive_, &pending_);
  return true;
}

bool HttpResponseSink::WriteBody(const void* data, size_t size) {
  if (failed_) return false;
  if (chunked_) {
    char digits[16];
    char* end = std::to_chars(digits, digits + sizeof digits, size, 16).ptr;
    pending_.append(digits, end).append("\r\n");
  }
  pending_.append(static_cast<const char*>(data), size);
  if (chunked_) pending_.append("\r\n");
  return Flush();
}

void HttpResponseSink::Finish(bool complete) {
  complete_ = complete;
  if (!complete_) return;
  if (chunked_) pending_.append("0\r\n\r\n");
  Flush();
}

bool HttpResponseSink::Flush() {
  if (!failed_ && !pending_.empty()) failed_ = !channel_->Send(pending_);
  pending_.clear();
  return !failed_;
}

}  // namespace isapi_http
