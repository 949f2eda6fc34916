#include "server/fcgi/fcgi_answer.h"

#include "server/fcgi/fcgi_record.h"

namespace isapi_fcgi {

namespace {

// Records are gathered up to this size before they are sent.
constexpr size_t kSendChunk = 64 * 1024;

}  // namespace

FcgiResponseSink::FcgiResponseSink(uint16_t request_id, bool client_keeps_alive,
                                   RecordOutput* out)
    : request_id_(request_id), client_keeps_alive_(client_keeps_alive), out_(out) {}

bool FcgiResponseSink::SendHead(const isapi::ResponseHead& head) {
  // CGI reads an answer without Status as "200 OK"; a web server that
  // passes the line on to its client as a header (Caddy) then has none.
  std::string text = head.status_text == "200 OK" ? "" : "Status: " + head.status_text + "\r\n";
  text += head.header_block;
  if (head.framing == isapi::Framing::kHeldLength) {
    text += "Content-Length: " + std::to_string(head.content_length) + "\r\n";
  }
  return Emit(text + "\r\n");
}

bool FcgiResponseSink::WriteBody(const void* data, size_t size) {
  if (failed_ || out_->Abandoned()) {
    failed_ = true;
    return false;
  }
  return Emit(std::string_view(static_cast<const char*>(data), size));
}

void FcgiResponseSink::Finish(bool complete) {
  complete_ = complete;
  if (complete_ && !failed_) {
    AppendRecord(kStdout, request_id_, "", &pending_);
    AppendEndRequest(request_id_, 0, kRequestComplete, &pending_);
  }
  Flush();
}

bool FcgiResponseSink::Emit(std::string_view stdout_bytes) {
  if (failed_) return false;
  AppendStream(kStdout, request_id_, stdout_bytes, &pending_);
  return pending_.size() < kSendChunk || Flush();
}

bool FcgiResponseSink::Flush() {
  if (!failed_ && !pending_.empty()) failed_ = !out_->Send(pending_);
  pending_.clear();
  return !failed_;
}

}  // namespace isapi_fcgi
