#include "server/fcgi/fcgi_record.h"

#include <string.h>

#include <algorithm>

namespace isapi_fcgi {

namespace {

constexpr uint8_t kVersion = 1;
constexpr size_t kBeginRequestSize = 8;

// Reads one pair length at `*at`; false when it does not fit in `block`.
bool ReadLength(std::string_view block, size_t* at, size_t* length) {
  if (*at >= block.size()) return false;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(block.data()) + *at;
  if ((bytes[0] & 0x80) == 0) {
    *length = bytes[0];
    *at += 1;
    return true;
  }
  if (block.size() - *at < 4) return false;
  *length = (size_t{bytes[0] & 0x7fu} << 24) | (size_t{bytes[1]} << 16) |
            (size_t{bytes[2]} << 8) | bytes[3];
  *at += 4;
  return true;
}

void AppendLength(size_t length, std::string* out) {
  if (length < 0x80) {
    out->push_back(static_cast<char>(length));
    return;
  }
  out->push_back(static_cast<char>(0x80 | ((length >> 24) & 0x7f)));
  out->push_back(static_cast<char>((length >> 16) & 0xff));
  out->push_back(static_cast<char>((length >> 8) & 0xff));
  out->push_back(static_cast<char>(length & 0xff));
}

bool IsKnownType(uint8_t type) { return type >= kBeginRequest && type <= kUnknownType; }

}  // namespace

bool ParseParams(std::string_view block, Params* params) {
  size_t at = 0;
  while (at < block.size()) {
    size_t name_length = 0, value_length = 0;
    if (!ReadLength(block, &at, &name_length) || !ReadLength(block, &at, &value_length)) {
      return false;
    }
    size_t left = block.size() - at;
    if (name_length > left || value_length > left - name_length) return false;
    params->emplace_back(std::string(block.substr(at, name_length)),
                         std::string(block.substr(at + name_length, value_length)));
    at += name_length + value_length;
  }
  return true;
}

void AppendParam(std::string_view name, std::string_view value, std::string* out) {
  AppendLength(name.size(), out);
  AppendLength(value.size(), out);
  out->append(name.data(), name.size());
  out->append(value.data(), value.size());
}

void AppendRecord(uint8_t type, uint16_t request_id, std::string_view content, std::string* out) {
  const char header[kRecordHeaderSize] = {
      static_cast<char>(kVersion),          static_cast<char>(type),
      static_cast<char>(request_id >> 8),   static_cast<char>(request_id & 0xff),
      static_cast<char>(content.size() >> 8), static_cast<char>(content.size() & 0xff),
      0,                                    0};
  out->append(header, sizeof header);
  out->append(content.data(), content.size());
}

void AppendStream(uint8_t type, uint16_t request_id, std::string_view content, std::string* out) {
  for (size_t at = 0; at < content.size(); at += kMaxRecordContent) {
    AppendRecord(type, request_id, content.substr(at, kMaxRecordContent), out);
  }
}

void AppendEndRequest(uint16_t request_id, uint32_t app_status, ProtocolStatus status,
                      std::string* out) {
  const char body[8] = {static_cast<char>(app_status >> 24),
                        static_cast<char>((app_status >> 16) & 0xff),
                        static_cast<char>((app_status >> 8) & 0xff),
                        static_cast<char>(app_status & 0xff),
                        static_cast<char>(status),
                        0,
                        0,
                        0};
  AppendRecord(kEndRequest, request_id, std::string_view(body, sizeof body), out);
}

RecordReader::Result RecordReader::Next(const char* data, size_t size, size_t* used,
                                        Record* record) {
  *used = 0;
  if (bad_) return Result::kBadVersion;
  // Padding of the previous record.
  size_t skip = std::min(padding_left_, size);
  padding_left_ -= skip;
  *used += skip;

  if (header_bytes_ < kRecordHeaderSize) {
    size_t take = std::min(kRecordHeaderSize - header_bytes_, size - *used);
    memcpy(header_ + header_bytes_, data + *used, take);
    header_bytes_ += take;
    *used += take;
    if (header_bytes_ < kRecordHeaderSize) return Result::kNeedMore;
    if (header_[0] != kVersion) {
      bad_ = true;
      return Result::kBadVersion;
    }
    content_length_ = (size_t{header_[4]} << 8) | header_[5];
    content_.clear();
  }

  size_t take = std::min(content_length_ - content_.size(), size - *used);
  content_.append(data + *used, take);
  *used += take;
  if (content_.size() < content_length_) return Result::kNeedMore;

  record->type = header_[1];
  record->request_id = static_cast<uint16_t>((header_[2] << 8) | header_[3]);
  record->content = content_;
  header_bytes_ = 0;
  padding_left_ = header_[6];
  // Padding that is already here is taken now, so a record that ends the
  // input does not leave its padding for a call that may never come.
  skip = std::min(padding_left_, size - *used);
  padding_left_ -= skip;
  *used += skip;
  return Result::kRecord;
}

RequestReader::Event RequestReader::Feed(const char* data, size_t size, size_t* used) {
  *used = 0;
  while (final_ == Event::kNeedMore && *used < size) {
    size_t taken = 0;
    Record record;
    RecordReader::Result result = records_.Next(data + *used, size - *used, &taken, &record);
    *used += taken;
    if (result == RecordReader::Result::kBadVersion) return Fail("not FastCGI version 1");
    if (result == RecordReader::Result::kRecord) final_ = OnRecord(record);
  }
  return final_;
}

RequestReader::Event RequestReader::Fail(const char* reason) {
  error_ = reason;
  final_ = Event::kError;
  return final_;
}

RequestReader::Event RequestReader::OnRecord(const Record& record) {
  if (!IsKnownType(record.type)) {
    const char body[8] = {static_cast<char>(record.type), 0, 0, 0, 0, 0, 0, 0};
    AppendRecord(kUnknownType, 0, std::string_view(body, sizeof body), &replies_);
    return Event::kNeedMore;
  }
  if (record.request_id == 0) return OnManagementRecord(record);
  switch (record.type) {
    case kBeginRequest:
      return OnBeginRequest(record);
    case kParams:
    case kStdin:
    case kData:
    case kAbortRequest:
      if (stage_ == Stage::kIdle || record.request_id != request_.id) return Event::kNeedMore;
      if (record.type == kParams) return OnParams(record);
      if (record.type == kStdin) return OnStdin(record);
      if (record.type == kAbortRequest) {
        AppendEndRequest(request_.id, 0, kRequestComplete, &replies_);
        return Event::kEnded;
      }
      return Event::kNeedMore;
    default:
      return Fail("a record type only an application sends");
  }
}

RequestReader::Event RequestReader::OnManagementRecord(const Record& record) {
  if (record.type == kBeginRequest || record.type == kParams || record.type == kStdin ||
      record.type == kAbortRequest || record.type == kData) {
    return Fail("an application record with request id 0");
  }
  if (record.type != kGetValues) {
    const char body[8] = {static_cast<char>(record.type), 0, 0, 0, 0, 0, 0, 0};
    AppendRecord(kUnknownType, 0, std::string_view(body, sizeof body), &replies_);
    return Event::kNeedMore;
  }
  Params asked;
  if (!ParseParams(record.content, &asked)) return Fail("malformed FCGI_GET_VALUES");
  std::string answer;
  std::string max = std::to_string(limits_.max_connections);
  for (const auto& [name, ignored] : asked) {
    if (name == "FCGI_MAX_CONNS" || name == "FCGI_MAX_REQS") {
      AppendParam(name, max, &answer);
    } else if (name == "FCGI_MPXS_CONNS") {
      AppendParam(name, "0", &answer);
    }
  }
  // Three known names at most, so the answer always fits one record.
  if (answer.size() > kMaxRecordContent) answer.clear();
  AppendRecord(kGetValuesResult, 0, answer, &replies_);
  return Event::kNeedMore;
}

RequestReader::Event RequestReader::OnBeginRequest(const Record& record) {
  if (record.content.size() != kBeginRequestSize) return Fail("BEGIN_REQUEST of a wrong size");
  if (stage_ != Stage::kIdle) {
    if (record.request_id == request_.id) return Fail("BEGIN_REQUEST for a running request");
    AppendEndRequest(record.request_id, 0, kCantMpxConn, &replies_);
    return Event::kNeedMore;
  }
  const unsigned char* body = reinterpret_cast<const unsigned char*>(record.content.data());
  uint16_t role = static_cast<uint16_t>((body[0] << 8) | body[1]);
  request_.id = record.request_id;
  request_.keep_conn = (body[2] & kKeepConnFlag) != 0;
  stage_ = Stage::kParams;
  if (role != kResponderRole) {
    AppendEndRequest(record.request_id, 0, kUnknownRole, &replies_);
    return Event::kEnded;
  }
  return Event::kNeedMore;
}

RequestReader::Event RequestReader::OnParams(const Record& record) {
  if (stage_ != Stage::kParams) return Fail("PARAMS after the parameters ended");
  if (!record.content.empty()) {
    if (!request_.params_too_large &&
        record.content.size() > limits_.max_params - param_block_.size()) {
      request_.params_too_large = true;
      std::string().swap(param_block_);
    }
    if (!request_.params_too_large) param_block_.append(record.content);
    return Event::kNeedMore;
  }
  stage_ = Stage::kStdin;
  if (!request_.params_too_large && !ParseParams(param_block_, &request_.params)) {
    return Fail("malformed parameter block");
  }
  std::string().swap(param_block_);
  return Event::kNeedMore;
}

RequestReader::Event RequestReader::OnStdin(const Record& record) {
  if (stage_ != Stage::kStdin) return Fail("STDIN before the parameters ended");
  if (record.content.empty()) {
    stage_ = Stage::kDone;
    return Event::kRequest;
  }
  if (request_.body_too_large) return Event::kNeedMore;
  if (record.content.size() > limits_.max_body - request_.body_length) {
    request_.body_too_large = true;
    std::string().swap(request_.body);
    request_.spool.Clear();
    return Event::kNeedMore;
  }
  request_.body_length += record.content.size();
  if (!request_.spool.Append(record.content.data(), record.content.size(), &request_.body)) {
    request_.body_lost = true;
  }
  return Event::kNeedMore;
}

}  // namespace isapi_fcgi
