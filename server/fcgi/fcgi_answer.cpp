#include "server/fcgi/fcgi_answer.h"

#include "server/fcgi/fcgi_record.h"

namespace isapi_fcgi {

namespace {

// Records are gathered up to this size before they are sent.
constexpr size_t kSendChunk = 64 * 1024;

// Statuses that may carry a body, and so a Content-Length.
bool MayHaveBody(int status) { return status >= 200 && status != 204 && status != 304; }

}  // namespace

AnswerSink::AnswerSink(uint16_t request_id, bool client_keeps_alive, RecordOutput* out)
    : request_id_(request_id), client_keeps_alive_(client_keeps_alive), out_(out) {}

bool AnswerSink::SendHead(const isapi::ResponseHead& head) {
  std::string text = "Status: " + head.status_text + "\r\n" + head.header_block;
  if (head.framing == isapi::Framing::kFrontEnd && MayHaveBody(head.status)) {
    held_head_ = std::move(text);
    holding_ = true;
    return true;
  }
  return Emit(text + "\r\n");
}

bool AnswerSink::WriteBody(const void* data, size_t size) {
  if (failed_ || out_->Abandoned()) {
    failed_ = true;
    return false;
  }
  std::string_view bytes(static_cast<const char*>(data), size);
  if (holding_) {
    if (held_body_.size() + size <= kMaxHeldBody) {
      held_body_.append(bytes);
      body_length_ += size;
      return true;
    }
    if (!ReleaseHeldHead(false)) return false;
  }
  return Emit(bytes);
}

void AnswerSink::Finish(bool complete) { complete_ = complete; }

bool AnswerSink::SendBareStatus(int status) {
  complete_ = true;
  std::string reason = isapi::ReasonPhrase(status);
  return Emit("Status: " + std::to_string(status) + (reason.empty() ? "" : " " + reason) +
              "\r\nContent-Length: 0\r\n\r\n");
}

bool AnswerSink::End(uint64_t withheld_body_bytes) {
  if (holding_) {
    // A GET answer this long would not have been held, so went out without a length.
    body_length_ += withheld_body_bytes;
    ReleaseHeldHead(complete_ && body_length_ <= kMaxHeldBody);
  }
  if (complete_ && !failed_) {
    AppendRecord(kStdout, request_id_, "", &pending_);
    AppendEndRequest(request_id_, 0, kRequestComplete, &pending_);
  }
  return Flush() && complete_;
}

bool AnswerSink::ReleaseHeldHead(bool with_length) {
  holding_ = false;
  if (with_length) held_head_ += "Content-Length: " + std::to_string(body_length_) + "\r\n";
  held_head_ += "\r\n";
  bool sent = Emit(held_head_) && Emit(held_body_);
  std::string().swap(held_head_);
  std::string().swap(held_body_);
  return sent;
}

bool AnswerSink::Emit(std::string_view stdout_bytes) {
  if (failed_) return false;
  AppendStream(kStdout, request_id_, stdout_bytes, &pending_);
  return pending_.size() < kSendChunk || Flush();
}

bool AnswerSink::Flush() {
  if (!failed_ && !pending_.empty()) failed_ = !out_->Send(pending_);
  pending_.clear();
  return !failed_;
}

}  // namespace isapi_fcgi
