#include "server/core/answer.h"

#include <algorithm>

#include "server/core/response_head.h"

namespace isapi {
namespace {

bool StatusHasBody(int status) { return status != 204 && status != 304; }

}  // namespace

ResponseHead BareHead(int status, bool has_body, bool keep_conn) {
  ResponseHead head;
  head.status = status;
  head.status_text = StatusText(status);
  head.keep_conn = keep_conn;
  head.status_has_body = StatusHasBody(status);
  head.has_body = has_body && head.status_has_body;
  head.framing = head.status_has_body ? Framing::kHeldLength : Framing::kFrontEnd;
  return head;
}

void SendBareAnswer(ResponseSink* sink, int status, bool has_body) {
  bool sent = sink->SendHead(BareHead(status, has_body, false));
  sink->Finish(sent);
}

ModuleResponse::Outcome ModuleResponse::Begin(std::string_view status, std::string_view block, bool keep_conn) {
  if (began_) return Outcome::kRefused;
  began_ = true;
  std::string_view body;
  if (!ParseResponseHead(status, block, &head_, &chunked_, &body)) {
    rejected_ = true;
    return Outcome::kRefused;
  }
  head_.keep_conn = keep_conn;
  head_.status_has_body = StatusHasBody(head_.status);
  head_.has_body = !head_request_ && head_.status_has_body;
  return Write(body);
}

ModuleResponse::Outcome ModuleResponse::Write(std::string_view bytes) {
  if (!began_ || rejected_) return Outcome::kRefused;
  if (hold_failed_) return Outcome::kNotKept;
  if (!client_gone_ && sink_->ClientGone()) client_gone_ = true;
  if (client_gone_) return Outcome::kClientGone;
  body_written_ = body_written_ || !bytes.empty();
  bool coding_ok = true;
  std::string_view data = bytes;
  if (chunked_) {
    decoded_.clear();
    coding_ok = decoder_.Feed(bytes, &decoded_);
    data = decoded_;
  }
  bool overrun = false;
  if (head_.framing == Framing::kContentLength &&
      data.size() > head_.content_length - body_bytes_) {
    data = data.substr(0, static_cast<size_t>(head_.content_length - body_bytes_));
    overrun = true;
  }
  // Counted without a body too: HEAD then carries the length GET would.
  body_bytes_ += data.size();
  if (head_.has_body) {
    Outcome delivered = Deliver(data);
    if (delivered != Outcome::kTaken) return delivered;
  }
  return overrun || !coding_ok ? Outcome::kRefused : Outcome::kTaken;
}

ModuleResponse::Outcome ModuleResponse::Deliver(std::string_view data) {
  if (data.empty()) return Outcome::kTaken;
  if (!streaming_) {
    if (held_bytes() + data.size() <= hold_limit_) {
      if (Hold(data)) return Outcome::kTaken;
      hold_failed_ = true;
      return Outcome::kNotKept;
    }
    // The write that passes the limit goes on after what was held, rather
    // than through the file.
    if (!Release()) return Outcome::kClientGone;
  }
  if (!sink_->WriteBody(data.data(), data.size())) {
    client_gone_ = true;
    return Outcome::kClientGone;
  }
  sent_bytes_ += data.size();
  return Outcome::kTaken;
}

bool ModuleResponse::Release() {
  streaming_ = true;
  if (!sink_->SendHead(head_) || !SendHeld()) {
    client_gone_ = true;
    return false;
  }
  return true;
}

bool ModuleResponse::Hold(std::string_view data) {
  size_t to_memory = std::min(data.size(), kBodyWindow - held_.size());
  held_.append(data.substr(0, to_memory));
  data.remove_prefix(to_memory);
  if (staged_.size() + data.size() < kBodyWindow) {
    staged_.append(data);
    return true;
  }
  // held_ is full, so both go to the file; a big write without a copy
  bool kept = held_file_.Append(staged_.data(), staged_.size(), &held_) &&
              held_file_.Append(data.data(), data.size(), &held_);
  staged_.clear();
  return kept;
}

bool ModuleResponse::SendHeld() {
  bool sent = held_.empty() || sink_->WriteBody(held_.data(), held_.size());
  if (sent) sent_bytes_ += held_.size();
  std::string piece;
  while (sent && held_file_.unread() > 0) {
    piece.resize(static_cast<size_t>(std::min<uint64_t>(held_file_.unread(), kBodyWindow)));
    long got = held_file_.Read(piece.data(), piece.size());
    sent = got > 0 && sink_->WriteBody(piece.data(), static_cast<size_t>(got));
    if (sent) sent_bytes_ += static_cast<uint64_t>(got);
  }
  if (sent && !staged_.empty()) {
    sent = sink_->WriteBody(staged_.data(), staged_.size());
    if (sent) sent_bytes_ += staged_.size();
  }
  std::string().swap(held_);
  std::string().swap(staged_);
  held_file_.Clear();
  return sent;
}

bool ModuleResponse::BodyComplete() const {
  // A module may write nothing for HEAD; what it does write must be whole.
  if (!head_.has_body && !body_written_) return true;
  if (chunked_) return decoder_.done();
  return head_.framing != Framing::kContentLength || body_bytes_ == head_.content_length;
}

ServeResult ModuleResponse::End() {
  if (streaming_) {
    sink_->Finish(!client_gone_ && BodyComplete());
    return ServeResult{head_.status, sent_bytes_};
  }
  if (!began_ || rejected_ || hold_failed_ || !BodyComplete()) {
    // Nothing has left yet, so the failure can still be a clean answer.
    head_ = BareHead(500, !head_request_, true);
    head_.replaces_module_answer = !hold_failed_;
    held_.clear();
    staged_.clear();
    held_file_.Clear();
  } else if (head_.framing != Framing::kContentLength) {
    uint64_t length = body_bytes_;
    // A module that writes nothing for HEAD leaves the length unknown.
    bool known = head_.has_body || (length > 0 && head_.status_has_body);
    head_.framing = known ? Framing::kHeldLength : Framing::kFrontEnd;
    head_.content_length = known ? length : 0;
  }
  bool delivered = sink_->SendHead(head_) && SendHeld();
  sink_->Finish(delivered);
  return ServeResult{head_.status, sent_bytes_};
}

}  // namespace isapi
